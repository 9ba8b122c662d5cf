#include "platform/ui.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <mutex>

namespace btr {

namespace {

std::mutex gLock;
TMessageBoxHandler gBoxHandler;
TQuitHandler gQuitHandler;
std::optional<int> gQuitCode;

// The answer when no person can be asked: the button that changes nothing
// (No, Cancel) whatever the box's default button, OK for a box that only
// informs.
int SafeAnswer(uint32_t flags) {
    switch (flags & 0x0F) {
    case MB_OKCANCEL: return IDCANCEL;
    case MB_YESNO: return IDNO;
    case MB_YESNOCANCEL: return IDCANCEL;
    default: return IDOK;
    }
}

int ConsoleBox(const std::string& text, const std::string& caption, uint32_t flags) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    const uint32_t kind = flags & 0x0F;
    if (kind == MB_OK || !isatty(STDIN_FILENO) || !isatty(STDERR_FILENO)) return SafeAnswer(flags);
    const bool yesNo = kind == MB_YESNO || kind == MB_YESNOCANCEL;
    for (;;) {
        std::fprintf(stderr, yesNo ? "[y/n] " : "[o/c] ");
        std::string line;
        if (!std::getline(std::cin, line)) return SafeAnswer(flags);
        const char c = line.empty() ? 0 : static_cast<char>(line[0] | 0x20);
        if (yesNo && c == 'y') return IDYES;
        if (yesNo && c == 'n') return IDNO;
        if (!yesNo && c == 'o') return IDOK;
        if (!yesNo && c == 'c') return IDCANCEL;
    }
}

} // namespace

int MessageBox(const std::string& text, const std::string& caption, uint32_t flags) {
    TMessageBoxHandler handler;
    {
        std::lock_guard lock(gLock);
        handler = gBoxHandler;
    }
    return handler ? handler(text, caption, flags) : ConsoleBox(text, caption, flags);
}

TMessageBoxHandler SetMessageBoxHandler(TMessageBoxHandler handler) {
    std::lock_guard lock(gLock);
    std::swap(handler, gBoxHandler);
    return handler;
}

void PostQuitMessage(int exitCode) {
    TQuitHandler handler;
    {
        std::lock_guard lock(gLock);
        handler = gQuitHandler;
        if (!handler) gQuitCode = exitCode;
    }
    if (handler) handler(exitCode);
}

TQuitHandler SetQuitHandler(TQuitHandler handler) {
    std::lock_guard lock(gLock);
    std::swap(handler, gQuitHandler);
    return handler;
}

std::optional<int> QuitRequested() {
    std::lock_guard lock(gLock);
    return gQuitCode;
}

void ResetQuitRequest() {
    std::lock_guard lock(gLock);
    gQuitCode.reset();
}

} // namespace btr
