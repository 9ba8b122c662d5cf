// Conversions between the GUI layer's types and Qt's, for the layer's own
// sources (not installed).
#pragma once

#include <QCursor>
#include <QKeyEvent>
#include <QString>
#include <string>
#include <string_view>

#include "gui/controls.h"
#include "gui/keys.h"

namespace btr::qt {

inline QString ToQ(std::string_view utf8) {
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}
inline std::string FromQ(const QString& s) {
    return s.toStdString();
}

// The virtual-key code of a key event, 0 for keys the controls do not see
// through KeyDown.
uint16_t VirtualKey(const QKeyEvent& event);
TShiftState ShiftState(Qt::KeyboardModifiers modifiers);
TShiftState ShiftState(const QKeyEvent& event);
// The Qt cursor of a cursor identifier; crDefault gives no cursor of its own.
bool CursorShape(TCursor cursor, Qt::CursorShape& shape);

} // namespace btr::qt
