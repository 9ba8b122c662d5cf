#include "gui/qthandlers.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>
#include <mutex>

#include "gui/qtbridge.h"
#include "platform/exceptions.h"
#include "platform/ui.h"

namespace btr {

namespace {

// Styles the platform layer does not name, with their Win32 values.
constexpr uint32_t kAbortRetryIgnore = 0x02;
constexpr uint32_t kRetryCancel = 0x05;
constexpr uint32_t kDefButton3 = 0x200;
constexpr int kIdAbort = 3;
constexpr int kIdRetry = 4;
constexpr int kIdIgnore = 5;

std::mutex gLock;
bool gInstalled = false;
TMessageBoxHandler gOldBox;
TQuitHandler gOldQuit;
QMetaObject::Connection gWatch;

struct Choice {
    QMessageBox::StandardButton button;
    int answer;
};

std::vector<Choice> Buttons(uint32_t flags) {
    switch (flags & 0x0F) {
    case MB_OKCANCEL:
        return {{QMessageBox::Ok, IDOK}, {QMessageBox::Cancel, IDCANCEL}};
    case kAbortRetryIgnore:
        return {{QMessageBox::Abort, kIdAbort},
                {QMessageBox::Retry, kIdRetry},
                {QMessageBox::Ignore, kIdIgnore}};
    case MB_YESNOCANCEL:
        return {
            {QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}, {QMessageBox::Cancel, IDCANCEL}};
    case MB_YESNO:
        return {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}};
    case kRetryCancel:
        return {{QMessageBox::Retry, kIdRetry}, {QMessageBox::Cancel, IDCANCEL}};
    default:
        return {{QMessageBox::Ok, IDOK}};
    }
}

QMessageBox::Icon IconOf(uint32_t flags) {
    switch (flags & 0xF0) {
    case MB_ICONERROR:
        return QMessageBox::Critical;
    case MB_ICONQUESTION:
        return QMessageBox::Question;
    case MB_ICONWARNING:
        return QMessageBox::Warning;
    case MB_ICONINFORMATION:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

int ShowBox(const std::string& text, const std::string& caption, uint32_t flags) {
    const std::vector<Choice> choices = Buttons(flags);
    QMessageBox box(IconOf(flags), qt::ToQ(caption), qt::ToQ(text));
    QMessageBox::StandardButtons all;
    for (const Choice& c : choices) all |= c.button;
    box.setStandardButtons(all);
    size_t def = 0;
    if ((flags & 0xF00) == MB_DEFBUTTON2) def = 1;
    if ((flags & 0xF00) == kDefButton3) def = 2;
    if (def >= choices.size()) def = 0;
    box.setDefaultButton(choices[def].button);
    // Closing the box answers like its Cancel button, if it has one.
    for (const Choice& c : choices)
        if (c.answer == IDCANCEL) box.setEscapeButton(c.button);
    const int result = box.exec();
    for (const Choice& c : choices)
        if (result == c.button) return c.answer;
    return choices[def].answer;
}

int QtMessageBox(const std::string& text, const std::string& caption, uint32_t flags) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) {
        RemoveQtHandlers();
        return MessageBox(text, caption, flags);
    }
    if (QThread::currentThread() == app->thread()) return ShowBox(text, caption, flags);
    // Boxes belong to the GUI thread; other threads wait for the answer.
    int answer = IDCANCEL;
    QMetaObject::invokeMethod(
        app, [&] { answer = ShowBox(text, caption, flags); }, Qt::BlockingQueuedConnection);
    return answer;
}

void QtQuit(int exitCode) {
    // Queued, like a quit message: a request made before the loop runs ends
    // it as soon as it starts.
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app, [exitCode] { QCoreApplication::exit(exitCode); }, Qt::QueuedConnection);
}

} // namespace

void InstallQtHandlers() {
    QCoreApplication* app = QCoreApplication::instance();
    if (!qobject_cast<QApplication*>(app))
        throw Exception("InstallQtHandlers needs a QApplication");
    std::lock_guard guard(gLock);
    if (gInstalled) return;
    gOldBox = SetMessageBoxHandler(QtMessageBox);
    gOldQuit = SetQuitHandler(QtQuit);
    gWatch = QObject::connect(app, &QObject::destroyed, [] { RemoveQtHandlers(); });
    gInstalled = true;
}

void RemoveQtHandlers() {
    std::lock_guard guard(gLock);
    if (!gInstalled) return;
    SetMessageBoxHandler(std::move(gOldBox));
    SetQuitHandler(std::move(gOldQuit));
    gOldBox = nullptr;
    gOldQuit = nullptr;
    QObject::disconnect(gWatch);
    gInstalled = false;
}

} // namespace btr
