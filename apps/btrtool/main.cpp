// btrtool: Btrieve files and their dictionaries from the command line.
#include <unistd.h>

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
    for (const Command& c : Commands()) std::printf("  %-12s %s\n", c.name.c_str(), c.usage.c_str());
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

// Every message the library shows goes to standard error. A question is
// answered yes with --yes, asked on the terminal when there is one, and
// otherwise answered no: nothing is overwritten unasked.
void InstallMessageBoxes(bool yes) {
    SetMessageBoxHandler([yes](const std::string& text, const std::string& caption, uint32_t flags) {
        const uint32_t buttons = flags & 0x0F;
        const bool question = buttons == MB_YESNO || buttons == MB_YESNOCANCEL;
        std::fprintf(stderr, "%s: %s", caption.c_str(), text.c_str());
        if (!question) {
            std::fprintf(stderr, "\n");
            return IDOK;
        }
        if (yes) {
            std::fprintf(stderr, " yes\n");
            return IDYES;
        }
        if (!isatty(STDIN_FILENO)) {
            std::fprintf(stderr, " no (--yes answers yes)\n");
            return IDNO;
        }
        std::fprintf(stderr, " [y/N] ");
        char answer[16] = {};
        const bool agreed = std::fgets(answer, sizeof answer, stdin) && (answer[0] == 'y' || answer[0] == 'Y');
        return agreed ? IDYES : IDNO;
    });
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    if (words.empty() || words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
        PrintCommands();
        return words.empty() ? 2 : 0;
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
        const Args args(words, flags);
        if (args.Flag("help")) {
            std::printf("usage: btrtool %s %s\n\n%s\n", cmd->name.c_str(), cmd->usage.c_str(), cmd->help.c_str());
            return 0;
        }
        InstallMessageBoxes(args.Flag("yes"));
        return cmd->run(args);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "btrtool %s: %s\nusage: btrtool %s %s\n", cmd->name.c_str(), e.what(), cmd->name.c_str(),
                     cmd->usage.c_str());
        return 2;
    } catch (const EAbort&) {
        std::fprintf(stderr, "btrtool %s: nothing done\n", cmd->name.c_str());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "btrtool %s: %s\n", cmd->name.c_str(), e.what());
        return 1;
    }
}
