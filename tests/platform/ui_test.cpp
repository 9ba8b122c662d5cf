#include <gtest/gtest.h>

#include "platform/ui.h"

namespace btr {
namespace {

TEST(Ui, ScriptedMessageBoxAnswersAndRestores) {
    std::string seen;
    auto old = SetMessageBoxHandler([&](const std::string& text, const std::string& caption, uint32_t flags) {
        seen = caption + "|" + text + "|" + std::to_string(flags);
        return IDNO;
    });
    EXPECT_EQ(MessageBox("Перезаписать?", "Подтверждение", MB_YESNO | MB_ICONQUESTION), IDNO);
    EXPECT_EQ(seen, "Подтверждение|Перезаписать?|36");
    SetMessageBoxHandler(old);
}

TEST(Ui, DefaultBoxWithoutTerminalTakesTheDefaultButton) {
    // Test runs have no terminal on standard input.
    EXPECT_EQ(MessageBox("q", "c", MB_YESNO), IDYES);
    EXPECT_EQ(MessageBox("q", "c", MB_YESNO | MB_DEFBUTTON2), IDNO);
    EXPECT_EQ(MessageBox("e", "c", MB_OK | MB_ICONERROR), IDOK);
}

TEST(Ui, QuitIsRecordedOrHandled) {
    ResetQuitRequest();
    EXPECT_FALSE(QuitRequested());
    PostQuitMessage(999);
    EXPECT_EQ(QuitRequested(), 999);
    int handled = 0;
    SetQuitHandler([&](int code) { handled = code; });
    PostQuitMessage(3);
    EXPECT_EQ(handled, 3);
    EXPECT_EQ(QuitRequested(), 999); // the handler took it, nothing new recorded
    SetQuitHandler(nullptr);
}

} // namespace
} // namespace btr
