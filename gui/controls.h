// The visual control base of the GUI layer. A control is a component (its
// owner destroys it) that owns one Qt widget, its window. Parent is the
// visual container, independent of the owner: a control placed in a parent
// shows inside the parent's client area, and aligned controls (Align) are
// laid out there whenever the parent's size changes.
//
// A control never lets an exception out into Qt's event loop: what an event
// handler raises is shown with ShowException (EAbort silently).
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <vector>

#include "platform/component.h"

class QWidget;

namespace btr {

struct TRect {
    int Left = 0;
    int Top = 0;
    int Right = 0;
    int Bottom = 0;

    int Width() const { return Right - Left; }
    int Height() const { return Bottom - Top; }
    bool IsEmpty() const { return Right <= Left || Bottom <= Top; }
    friend bool operator==(const TRect&, const TRect&) = default;
};

enum TAlign { alNone, alTop, alBottom, alLeft, alRight, alClient, alCustom };

// Cursor identifiers, with the host framework's values.
using TCursor = int;
constexpr TCursor crDefault = 0;
constexpr TCursor crNone = -1;
constexpr TCursor crArrow = -2;
constexpr TCursor crCross = -3;
constexpr TCursor crIBeam = -4;
constexpr TCursor crSizeNESW = -6;
constexpr TCursor crSizeNS = -7;
constexpr TCursor crSizeNWSE = -8;
constexpr TCursor crSizeWE = -9;
constexpr TCursor crUpArrow = -10;
constexpr TCursor crHourGlass = -11;
constexpr TCursor crDrag = -12;
constexpr TCursor crNoDrop = -13;
constexpr TCursor crHSplit = -14;
constexpr TCursor crVSplit = -15;
constexpr TCursor crMultiDrag = -16;
constexpr TCursor crSQLWait = -17;
constexpr TCursor crNo = -18;
constexpr TCursor crAppStart = -19;
constexpr TCursor crHelp = -20;
constexpr TCursor crHandPoint = -21;
constexpr TCursor crSizeAll = -22;

using TNotifyEvent = std::function<void(TComponent* Sender)>;

class TControl : public TComponent {
public:
    ~TControl() override;

    // The control's window; null only if Qt destroyed it (a Qt parent that
    // was deleted first), after which the control goes on without one.
    QWidget* Widget() const;
    // Where child controls are placed (the grid's viewport, for instance).
    virtual QWidget* ClientWidget() const;

    TControl* Parent() const { return FParent; }
    // Raises Exception for a parent that is this control or lies inside it.
    void SetParent(TControl* AParent);
    // Puts the control into a window that is not a control (a Qt form).
    void SetParentWidget(QWidget* parent);
    int ControlCount() const { return static_cast<int>(FControls.size()); }
    TControl* Controls(int index) const;

    // The control's own wish to be seen. A control without a parent shows
    // as a top-level window when Visible is set.
    bool Visible() const { return FVisible; }
    void SetVisible(bool value);
    void Show() { SetVisible(true); }
    void Hide() { SetVisible(false); }

    int Left() const;
    int Top() const;
    int Width() const;
    int Height() const;
    void SetLeft(int value);
    void SetTop(int value);
    void SetWidth(int value);
    void SetHeight(int value);
    void SetBounds(int ALeft, int ATop, int AWidth, int AHeight);
    TRect BoundsRect() const;
    // (0, 0, client width, client height).
    TRect ClientRect() const;

    TAlign Align() const { return FAlign; }
    void SetAlign(TAlign value);
    TCursor Cursor() const { return FCursor; }
    void SetCursor(TCursor value);
    bool Enabled() const;
    void SetEnabled(bool value);

    // Schedules a repaint.
    virtual void Invalidate();
    bool Focused() const;
    void SetFocus();

protected:
    explicit TControl(TComponent* AOwner);
    // Takes ownership of the control's window; called once by the derived
    // constructor.
    void SetWidget(QWidget* widget);
    // After the control's size changed, through the API or the window system.
    virtual void Resize() {}
    // Lays out the aligned child controls in the client area.
    void AlignControls();

private:
    friend class TControlWatcher;
    void SizeChanged();

    struct Impl;
    std::unique_ptr<Impl> FImpl;
    TControl* FParent = nullptr;
    std::vector<TControl*> FControls;
    bool FVisible = true;
    TAlign FAlign = alNone;
    TCursor FCursor = crDefault;
};

// Shows an error the way the host shows errors that reach its event loop: a
// message box with the error's text (EAbort shows nothing).
void ShowException(const std::exception& e);
// Runs action; what it raises is shown by ShowException. False when it raised.
bool RunHandled(const std::function<void()>& action);

} // namespace btr
