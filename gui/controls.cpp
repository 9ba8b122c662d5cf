#include "gui/controls.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QPointer>
#include <QWidget>
#include <algorithm>

#include "gui/qtbridge.h"
#include "platform/exceptions.h"
#include "platform/ui.h"

namespace btr {

// Watches the control's window for size changes made by the window system
// (layouts, the user resizing a form), so aligned children follow.
class TControlWatcher : public QObject {
public:
    explicit TControlWatcher(TControl* control) : FControl(control) {}
    void Detach() { FControl = nullptr; }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (FControl && event->type() == QEvent::Resize) {
            TControl* c = FControl;
            RunHandled([c] { c->SizeChanged(); });
        }
        return false;
    }

private:
    TControl* FControl;
};

struct TControl::Impl {
    QPointer<QWidget> widget;
    std::unique_ptr<TControlWatcher> watcher;
};

TControl::TControl(TComponent* AOwner) : TComponent(AOwner), FImpl(std::make_unique<Impl>()) {}

TControl::~TControl() {
    if (FImpl->watcher) FImpl->watcher->Detach();
    // Owned components first, while this window still holds theirs.
    BeginDestroy();
    DestroyComponents();
    // Children owned elsewhere stay alive, without a parent.
    while (!FControls.empty()) FControls.back()->SetParent(nullptr);
    if (FParent) {
        auto& siblings = FParent->FControls;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
        FParent = nullptr;
    }
    delete FImpl->widget.data();
}

QWidget* TControl::Widget() const {
    return FImpl->widget.data();
}

QWidget* TControl::ClientWidget() const {
    return Widget();
}

void TControl::SetWidget(QWidget* widget) {
    FImpl->widget = widget;
    FImpl->watcher = std::make_unique<TControlWatcher>(this);
    widget->installEventFilter(FImpl->watcher.get());
}

TControl* TControl::Controls(int index) const {
    if (index < 0 || index >= ControlCount()) throw ERangeError("Control index out of bounds");
    return FControls[static_cast<size_t>(index)];
}

void TControl::SetParent(TControl* AParent) {
    if (AParent == FParent) return;
    for (TControl* p = AParent; p; p = p->FParent)
        if (p == this)
            throw Exception("A control cannot have itself or a child of its own as parent");
    if (FParent) {
        auto& siblings = FParent->FControls;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
    }
    FParent = AParent;
    QWidget* w = Widget();
    if (AParent) {
        AParent->FControls.push_back(this);
        if (w) {
            w->setParent(AParent->ClientWidget());
            w->setVisible(FVisible);
        }
        AParent->AlignControls();
    } else if (w) {
        w->hide();
        w->setParent(nullptr);
    }
}

void TControl::SetParentWidget(QWidget* parent) {
    SetParent(nullptr);
    if (QWidget* w = Widget()) {
        w->setParent(parent);
        if (parent) w->setVisible(FVisible);
    }
}

void TControl::SetVisible(bool value) {
    FVisible = value;
    if (QWidget* w = Widget()) {
        if (w->parentWidget() || value || !w->isHidden()) w->setVisible(value);
    }
    // Hidden controls take no room among the aligned ones.
    if (FParent && FAlign != alNone) FParent->AlignControls();
}

int TControl::Left() const {
    return Widget() ? Widget()->x() : 0;
}
int TControl::Top() const {
    return Widget() ? Widget()->y() : 0;
}
int TControl::Width() const {
    return Widget() ? Widget()->width() : 0;
}
int TControl::Height() const {
    return Widget() ? Widget()->height() : 0;
}
void TControl::SetLeft(int value) {
    SetBounds(value, Top(), Width(), Height());
}
void TControl::SetTop(int value) {
    SetBounds(Left(), value, Width(), Height());
}
void TControl::SetWidth(int value) {
    SetBounds(Left(), Top(), value, Height());
}
void TControl::SetHeight(int value) {
    SetBounds(Left(), Top(), Width(), value);
}

void TControl::SetBounds(int ALeft, int ATop, int AWidth, int AHeight) {
    QWidget* w = Widget();
    if (!w) return;
    AWidth = std::max(0, AWidth);
    AHeight = std::max(0, AHeight);
    const bool resized = AWidth != w->width() || AHeight != w->height();
    w->setGeometry(ALeft, ATop, AWidth, AHeight);
    // A hidden window hears of its new size only when shown; act now.
    if (resized) SizeChanged();
    if (FParent && FAlign != alNone) FParent->AlignControls();
}

TRect TControl::BoundsRect() const {
    return {Left(), Top(), Left() + Width(), Top() + Height()};
}

TRect TControl::ClientRect() const {
    QWidget* c = ClientWidget();
    return c ? TRect{0, 0, c->width(), c->height()} : TRect{};
}

void TControl::SetAlign(TAlign value) {
    if (value == FAlign) return;
    FAlign = value;
    if (FParent) FParent->AlignControls();
}

void TControl::SetCursor(TCursor value) {
    FCursor = value;
    QWidget* w = Widget();
    if (!w) return;
    Qt::CursorShape shape;
    if (qt::CursorShape(value, shape))
        w->setCursor(shape);
    else
        w->unsetCursor();
}

bool TControl::Enabled() const {
    return Widget() ? Widget()->isEnabled() : false;
}

void TControl::SetEnabled(bool value) {
    if (QWidget* w = Widget()) w->setEnabled(value);
}

void TControl::Invalidate() {
    if (QWidget* w = Widget()) w->update();
    QWidget* c = ClientWidget();
    if (c && c != Widget()) c->update();
}

bool TControl::Focused() const {
    return Widget() && Widget()->hasFocus();
}

void TControl::SetFocus() {
    if (QWidget* w = Widget()) w->setFocus(Qt::OtherFocusReason);
}

void TControl::SizeChanged() {
    AlignControls();
    Resize();
}

void TControl::AlignControls() {
    TRect area = ClientRect();
    // The host's order: top, bottom, left, right, then the client filler.
    for (TAlign kind : {alTop, alBottom, alLeft, alRight, alClient}) {
        for (TControl* c : FControls) {
            if (c->FAlign != kind || !c->FVisible) continue;
            QWidget* w = c->Widget();
            if (!w) continue;
            QRect r;
            switch (kind) {
            case alTop:
                r = QRect(area.Left, area.Top, area.Width(), w->height());
                area.Top += w->height();
                break;
            case alBottom:
                r = QRect(area.Left, area.Bottom - w->height(), area.Width(), w->height());
                area.Bottom -= w->height();
                break;
            case alLeft:
                r = QRect(area.Left, area.Top, w->width(), area.Height());
                area.Left += w->width();
                break;
            case alRight:
                r = QRect(area.Right - w->width(), area.Top, w->width(), area.Height());
                area.Right -= w->width();
                break;
            default:
                r = QRect(area.Left, area.Top, area.Width(), area.Height());
                break;
            }
            r.setWidth(std::max(0, r.width()));
            r.setHeight(std::max(0, r.height()));
            if (r != w->geometry()) {
                const bool resized = r.size() != w->size();
                w->setGeometry(r);
                if (resized) c->SizeChanged();
            }
        }
    }
}

void ShowException(const std::exception& e) {
    QString caption =
        QCoreApplication::instance() ? QCoreApplication::applicationName() : QString();
    MessageBox(e.what(), caption.isEmpty() ? std::string("Error") : qt::FromQ(caption),
               MB_OK | MB_ICONERROR);
}

bool RunHandled(const std::function<void()>& action) {
    try {
        action();
        return true;
    } catch (const EAbort&) {
    } catch (const std::exception& e) {
        ShowException(e);
    } catch (...) {
        MessageBox("Unknown error", "Error", MB_OK | MB_ICONERROR);
    }
    return false;
}

} // namespace btr
