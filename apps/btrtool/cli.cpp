#include "apps/btrtool/cli.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace btr::tool {

Args::Args(std::vector<std::string> words, const std::vector<std::string>& flags) {
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (w.size() < 3 || w.compare(0, 2, "--") != 0) {
            FPositional.push_back(w);
            continue;
        }
        const size_t eq = w.find('=');
        std::string name = w.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
        if (eq != std::string::npos) {
            FOptions.emplace(name, w.substr(eq + 1));
        } else if (std::find(flags.begin(), flags.end(), name) != flags.end()) {
            FOptions.emplace(name, "");
        } else {
            if (i + 1 >= words.size()) throw UsageError("--" + name + " needs a value");
            FOptions.emplace(name, words[++i]);
        }
    }
}

const std::string& Args::At(size_t i, const char* what) const {
    if (i >= FPositional.size()) throw UsageError(std::string("missing ") + what);
    return FPositional[i];
}

std::optional<std::string> Args::Option(const std::string& name) const {
    auto it = FOptions.find(name);
    if (it == FOptions.end()) return std::nullopt;
    return it->second;
}

std::vector<std::string> Args::Options(const std::string& name) const {
    std::vector<std::string> out;
    for (auto [it, end] = FOptions.equal_range(name); it != end; ++it) out.push_back(it->second);
    return out;
}

bool Args::Flag(const std::string& name) const { return FOptions.count(name) > 0; }

long Args::Number(const std::string& name, long fallback) const {
    const auto v = Option(name);
    if (!v) return fallback;
    try {
        size_t used = 0;
        const long n = std::stol(*v, &used);
        if (used == v->size() && n >= 0) return n;
    } catch (const std::exception&) {
    }
    throw UsageError("--" + name + " wants a number, not \"" + *v + "\"");
}

void Args::Expect(size_t min, size_t max, const std::vector<std::string>& known) const {
    if (FPositional.size() < min) throw UsageError("too few arguments");
    if (FPositional.size() > max) throw UsageError("unexpected argument \"" + FPositional[max] + "\"");
    for (const auto& [name, value] : FOptions)
        if (name != "help" && std::find(known.begin(), known.end(), name) == known.end())
            throw UsageError("unknown option --" + name);
}

std::vector<Command>& Commands() {
    static std::vector<Command> commands;
    return commands;
}

Progress::Progress(std::string label, uint64_t total)
    : FLabel(std::move(label)), FTotal(total), FTerminal(isatty(STDERR_FILENO) == 1),
      FStart(std::chrono::steady_clock::now()), FLastDraw(FStart) {}

Progress::~Progress() { Done(); }

void Progress::Step(uint64_t n) {
    FDone += n;
    if (!FTerminal) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - FStart < std::chrono::seconds(1) || now - FLastDraw < std::chrono::milliseconds(100)) return;
    FLastDraw = now;
    Draw(false);
}

void Progress::Done() {
    if (FFinished) return;
    FFinished = true;
    if (FShown) Draw(true);
}

void Progress::Draw(bool final) {
    FShown = true;
    constexpr int kWidth = 30;
    const double part = FTotal ? std::min(1.0, double(FDone) / double(FTotal)) : 0.0;
    const int filled = static_cast<int>(part * kWidth);
    std::fprintf(stderr, "\r%s [%s%s] %llu/%llu", FLabel.c_str(), std::string(static_cast<size_t>(filled), '#').c_str(),
                 std::string(static_cast<size_t>(kWidth - filled), ' ').c_str(), static_cast<unsigned long long>(FDone),
                 static_cast<unsigned long long>(FTotal));
    if (final) std::fputc('\n', stderr);
    std::fflush(stderr);
}

} // namespace btr::tool
