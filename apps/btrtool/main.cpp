// btrtool: Btrieve files and their dictionaries from the command line.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "apps/btrtool/cli.h"
#include "engine/btrerrors.h"
#include "platform/exceptions.h"
#include "platform/ui.h"

using namespace btr;
using namespace btr::tool;

namespace {

void PrintCommands() {
    std::printf("usage: btrtool COMMAND [ARGS] [--help]\n\nCommands:\n");
    size_t width = 0;
    for (const Command& c : Commands()) width = std::max(width, c.name.size());
    for (const Command& c : Commands()) std::printf("  %-*s %s\n", int(width), c.name.c_str(), c.usage.c_str());
    std::printf("\nbtrtool COMMAND --help describes one command.\n");
}

// The command whose words start the arguments, the longest name first.
const Command* Find(const std::vector<std::string>& words, size_t& used) {
    const Command* best = nullptr;
    for (const Command& c : Commands()) {
        std::vector<std::string> parts;
        for (size_t at = 0; at <= c.name.size();) {
            const size_t sp = c.name.find(' ', at);
            parts.push_back(c.name.substr(at, sp == std::string::npos ? std::string::npos : sp - at));
            if (sp == std::string::npos) break;
            at = sp + 1;
        }
        if (parts.size() > words.size() || (best && parts.size() <= used)) continue;
        if (std::equal(parts.begin(), parts.end(), words.begin())) {
            best = &c;
            used = parts.size();
        }
    }
    return best;
}

// The first line of an error message (engine texts are one line already).
std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    return text;
}

// Prints the command's failure once: its own message, then whatever the
// library reported on the way that the message does not already say.
int Fail(const Command& cmd, const std::string& message) {
    std::vector<std::string> said;
    if (!message.empty()) said.push_back(message);
    for (const std::string& e : ShownErrors())
        if (std::none_of(said.begin(), said.end(), [&](const std::string& s) { return s.find(e) != std::string::npos; }))
            said.push_back(e);
    if (said.empty()) said.push_back("nothing done");
    for (const std::string& s : said) std::fprintf(stderr, "btrtool %s: %s\n", cmd.name.c_str(), OneLine(s).c_str());
    return cmd.failStatus;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    if (words.empty() || words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
        PrintCommands();
        return words.empty() ? 2 : 0;
    }
    if (words[0] == "--version") {
        std::printf("btrtool %s\n", BTRKIT_VERSION);
        return 0;
    }
    size_t used = 0;
    const Command* cmd = Find(words, used);
    if (!cmd) {
        std::fprintf(stderr, "btrtool: unknown command \"%s\" (btrtool --help lists them)\n", words[0].c_str());
        return 2;
    }
    words.erase(words.begin(), words.begin() + static_cast<long>(used));
    try {
        std::vector<std::string> flags = cmd->flags;
        flags.push_back("help");
        if (std::find(flags.begin(), flags.end(), "yes") != flags.end()) flags.push_back("force");
        const Args args(words, flags);
        if (args.Flag("help")) {
            std::printf("usage: btrtool %s %s\n\n%s\n", cmd->name.c_str(), cmd->usage.c_str(), cmd->help.c_str());
            return 0;
        }
        SetAnswerYes(args.Flag("yes") || args.Flag("force"));
        InstallMessageBoxes(cmd->name);
        const int status = cmd->run(args);
        // A read error the library only showed still fails the command.
        if (!ShownErrors().empty()) return Fail(*cmd, "");
        return status;
    } catch (const UsageError& e) {
        std::fprintf(stderr, "btrtool %s: %s\nusage: btrtool %s %s\n", cmd->name.c_str(), e.what(), cmd->name.c_str(),
                     cmd->usage.c_str());
        return 2;
    } catch (const EAbort&) {
        return Fail(*cmd, "");
    } catch (const std::exception& e) {
        return Fail(*cmd, e.what());
    }
}
