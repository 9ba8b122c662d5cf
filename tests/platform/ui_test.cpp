#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

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

TEST(Ui, DefaultBoxWithoutTerminalAnswersWithTheButtonThatChangesNothing) {
    // No terminal on standard input, whatever ran the test.
    const int saved = dup(STDIN_FILENO);
    const int null = open("/dev/null", O_RDONLY);
    ASSERT_GE(saved, 0);
    ASSERT_GE(null, 0);
    dup2(null, STDIN_FILENO);
    const struct {
        uint32_t flags;
        int answer;
    } rows[] = {
        {MB_YESNO | MB_ICONQUESTION, IDNO},
        {MB_YESNO | MB_DEFBUTTON2, IDNO},
        {MB_YESNOCANCEL, IDCANCEL},
        {MB_YESNOCANCEL | MB_DEFBUTTON2, IDCANCEL},
        {MB_OKCANCEL, IDCANCEL},
        {MB_OK | MB_ICONERROR, IDOK},
        {MB_OK | MB_ICONINFORMATION, IDOK},
    };
    for (const auto& r : rows) EXPECT_EQ(MessageBox("q", "c", r.flags), r.answer) << r.flags;
    dup2(saved, STDIN_FILENO);
    close(saved);
    close(null);
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
