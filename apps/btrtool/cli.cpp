#include "apps/btrtool/cli.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "engine/btrerrors.h"
#include "engine/btrfile.h"
#include "platform/ui.h"

namespace btr::tool {

Args::Args(std::vector<std::string> words, const std::vector<std::string>& flags) {
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (w == "-h") {
            FOptions.emplace("help", "");
            continue;
        }
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
    for (const auto& [name, value] : FOptions) {
        // --force is another spelling of --yes.
        const bool isKnown = std::find(known.begin(), known.end(), name == "force" ? "yes" : name) != known.end();
        if (name != "help" && !isKnown)
            throw UsageError("unknown option --" + name);
    }
}

std::vector<Command>& Commands() {
    static std::vector<Command> commands;
    return commands;
}

namespace {

bool gYes = false;
bool gSilent = false;
std::string gSubject;
std::string gCommand;

} // namespace

void SetAnswerYes(bool yes) { gYes = yes; }
void AgreeSilently() { gSilent = true; }
void SetSubject(const std::string& file) { gSubject = file; }

bool Ask(const std::string& question) {
    if (gSilent) return true;
    std::fprintf(stderr, "btrtool %s: %s", gCommand.c_str(), question.c_str());
    if (gYes) {
        std::fprintf(stderr, " yes\n");
        return true;
    }
    if (!isatty(STDIN_FILENO)) {
        std::fprintf(stderr, " no (--yes answers yes)\n");
        return false;
    }
    std::fprintf(stderr, " [y/N] ");
    char answer[16] = {};
    return std::fgets(answer, sizeof answer, stdin) && (answer[0] == 'y' || answer[0] == 'Y');
}

std::vector<std::string>& ShownErrors() {
    static std::vector<std::string> errors;
    return errors;
}

void ThrowShownErrors() {
    if (!ShownErrors().empty()) throw std::runtime_error(ShownErrors().front());
}

void InstallMessageBoxes(const std::string& command) {
    gCommand = command;
    SetMessageBoxHandler([](const std::string& text, const std::string& caption, uint32_t flags) {
        const uint32_t buttons = flags & 0x0F;
        if (buttons == MB_YESNO || buttons == MB_YESNOCANCEL) {
            const std::string about = gSubject.empty() ? "" : gSubject + ": ";
            return Ask(about + text) ? IDYES : IDNO;
        }
        if ((flags & 0xF0) == MB_ICONERROR) {
            ShownErrors().push_back(text);
        } else {
            std::fprintf(stderr, "btrtool %s: %s: %s\n", gCommand.c_str(), caption.c_str(), text.c_str());
        }
        return IDOK;
    });
    // A file another program holds is waited for, and the user sees why.
    SetRetryWaitHandler([](const TBtrieveFile& file, int32_t status, int retry, int maxRetry) {
        std::fprintf(stderr, "btrtool %s: %s: %s; waiting %.0f s (%d of %d)\n", gCommand.c_str(), file.FileName().c_str(),
                     StatusText(status).c_str(), file.RetryDelay() / 1000.0, retry, maxRetry);
    });
}

OutputFile::OutputFile(const std::string& path) : FPath(path) {
    if (IsStdout()) {
        FStream = stdout;
        return;
    }
    const std::filesystem::path target(path);
    std::string name = ".";
    name += target.filename().string();
    name += ".XXXXXX";
    FTemp = (target.parent_path() / name).string();
    const int fd = mkstemp(FTemp.data());
    if (fd < 0) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    // The new file gets the old one's permissions, or the usual ones.
    struct stat old{};
    mode_t mode;
    if (::stat(path.c_str(), &old) == 0) {
        mode = old.st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    fchmod(fd, mode);
    FStream = fdopen(fd, "w");
    if (!FStream) {
        close(fd);
        unlink(FTemp.c_str());
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    }
}

OutputFile::~OutputFile() {
    if (IsStdout() || !FStream) return;
    std::fclose(FStream);
    unlink(FTemp.c_str());
}

void OutputFile::Commit() {
    if (IsStdout()) {
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) throw std::runtime_error("cannot write standard output");
        return;
    }
    FILE* f = FStream;
    FStream = nullptr;
    const bool written = std::fflush(f) == 0 && !std::ferror(f) && fsync(fileno(f)) == 0;
    const int err = errno;
    if (std::fclose(f) != 0 || !written) {
        unlink(FTemp.c_str());
        throw std::runtime_error("cannot write " + FPath + ": " + std::strerror(err));
    }
    if (std::rename(FTemp.c_str(), FPath.c_str()) != 0) {
        const int e = errno;
        unlink(FTemp.c_str());
        throw std::runtime_error("cannot write " + FPath + ": " + std::strerror(e));
    }
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
