#include "gui/qtbridge.h"

namespace btr::qt {

uint16_t VirtualKey(const QKeyEvent& event) {
    const int key = event.key();
    if ((key >= Qt::Key_0 && key <= Qt::Key_9) || (key >= Qt::Key_A && key <= Qt::Key_Z))
        return static_cast<uint16_t>(key); // same codes as the virtual keys
    if (key >= Qt::Key_F1 && key <= Qt::Key_F12)
        return static_cast<uint16_t>(VK_F1 + (key - Qt::Key_F1));
    switch (key) {
    case Qt::Key_Backspace:
        return VK_BACK;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return VK_TAB;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return VK_RETURN;
    case Qt::Key_Escape:
        return VK_ESCAPE;
    case Qt::Key_Space:
        return VK_SPACE;
    case Qt::Key_PageUp:
        return VK_PRIOR;
    case Qt::Key_PageDown:
        return VK_NEXT;
    case Qt::Key_End:
        return VK_END;
    case Qt::Key_Home:
        return VK_HOME;
    case Qt::Key_Left:
        return VK_LEFT;
    case Qt::Key_Up:
        return VK_UP;
    case Qt::Key_Right:
        return VK_RIGHT;
    case Qt::Key_Down:
        return VK_DOWN;
    case Qt::Key_Insert:
        return VK_INSERT;
    case Qt::Key_Delete:
        return VK_DELETE;
    default:
        return 0;
    }
}

TShiftState ShiftState(Qt::KeyboardModifiers modifiers) {
    TShiftState s;
    if (modifiers & Qt::ShiftModifier) s.Include(ssShift);
    if (modifiers & Qt::AltModifier) s.Include(ssAlt);
    if (modifiers & Qt::ControlModifier) s.Include(ssCtrl);
    return s;
}

TShiftState ShiftState(const QKeyEvent& event) {
    TShiftState s = ShiftState(event.modifiers());
    // Shift+Tab arrives as its own key.
    if (event.key() == Qt::Key_Backtab) s.Include(ssShift);
    return s;
}

bool CursorShape(TCursor cursor, Qt::CursorShape& shape) {
    switch (cursor) {
    case crNone:
        shape = Qt::BlankCursor;
        return true;
    case crArrow:
        shape = Qt::ArrowCursor;
        return true;
    case crCross:
        shape = Qt::CrossCursor;
        return true;
    case crIBeam:
        shape = Qt::IBeamCursor;
        return true;
    case crSizeNESW:
        shape = Qt::SizeBDiagCursor;
        return true;
    case crSizeNS:
        shape = Qt::SizeVerCursor;
        return true;
    case crSizeNWSE:
        shape = Qt::SizeFDiagCursor;
        return true;
    case crSizeWE:
        shape = Qt::SizeHorCursor;
        return true;
    case crUpArrow:
        shape = Qt::UpArrowCursor;
        return true;
    case crHourGlass:
    case crSQLWait:
        shape = Qt::WaitCursor;
        return true;
    case crDrag:
        shape = Qt::DragMoveCursor;
        return true;
    case crNoDrop:
    case crNo:
        shape = Qt::ForbiddenCursor;
        return true;
    case crHSplit:
        shape = Qt::SplitHCursor;
        return true;
    case crVSplit:
        shape = Qt::SplitVCursor;
        return true;
    case crMultiDrag:
        shape = Qt::DragCopyCursor;
        return true;
    case crAppStart:
        shape = Qt::BusyCursor;
        return true;
    case crHelp:
        shape = Qt::WhatsThisCursor;
        return true;
    case crHandPoint:
        shape = Qt::PointingHandCursor;
        return true;
    case crSizeAll:
        shape = Qt::SizeAllCursor;
        return true;
    default:
        return false;
    }
}

} // namespace btr::qt
