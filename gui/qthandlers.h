// Message boxes and the quit request on Qt: after InstallQtHandlers, the
// library's MessageBox shows a QMessageBox and PostQuitMessage ends the Qt
// event loop with the given code.
#pragma once

namespace btr {

// Needs the application object (QApplication); raises Exception without one.
// The previous handlers come back with RemoveQtHandlers, or by themselves
// when the application object is destroyed. Installing twice is harmless.
void InstallQtHandlers();
void RemoveQtHandlers();

} // namespace btr
