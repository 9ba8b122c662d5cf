// Message boxes and the application's quit request, replaceable by the host:
// the default box writes to standard error and answers from a terminal when
// there is one, else with the button that changes nothing (No for a yes/no
// question, Cancel where there is one, OK for a box that only informs), so
// nothing is destroyed unasked; the default quit handler records the exit
// code for the host to read.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace btr {

// Style flags and answers, with the values of the Win32 message box.
constexpr uint32_t MB_OK = 0x00;
constexpr uint32_t MB_OKCANCEL = 0x01;
constexpr uint32_t MB_YESNOCANCEL = 0x03;
constexpr uint32_t MB_YESNO = 0x04;
constexpr uint32_t MB_ICONERROR = 0x10;
constexpr uint32_t MB_ICONQUESTION = 0x20;
constexpr uint32_t MB_ICONWARNING = 0x30;
constexpr uint32_t MB_ICONINFORMATION = 0x40;
constexpr uint32_t MB_DEFBUTTON2 = 0x100;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// text and caption are UTF-8; returns one of the ID* answers.
using TMessageBoxHandler =
    std::function<int(const std::string& text, const std::string& caption, uint32_t flags)>;
using TQuitHandler = std::function<void(int exitCode)>;

int MessageBox(const std::string& text, const std::string& caption, uint32_t flags);
// Installs a handler (an empty one restores the default); returns the old one.
TMessageBoxHandler SetMessageBoxHandler(TMessageBoxHandler handler);

void PostQuitMessage(int exitCode);
TQuitHandler SetQuitHandler(TQuitHandler handler);
// The code the default quit handler recorded, if any quit was asked for.
std::optional<int> QuitRequested();
void ResetQuitRequest();

} // namespace btr
