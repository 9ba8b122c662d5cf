#include "gui/buttons.h"

#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QWidget>
#include <algorithm>

namespace btr {

class TSpeedButtonWindow : public QWidget {
public:
    TSpeedButtonWindow(TSpeedButton* button) : FButton(button) {
        setFocusPolicy(Qt::NoFocus);
        setAttribute(Qt::WA_OpaquePaintEvent);
    }
    void Detach() { FButton = nullptr; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        const QRect r = rect();
        const QPalette& pal = palette();
        const bool down = FButton && FButton->FPressed;
        p.fillRect(r, pal.button());
        // A raised edge, sunken while pressed.
        p.setPen(down ? pal.dark().color() : pal.light().color());
        p.drawLine(r.topLeft(), r.topRight());
        p.drawLine(r.topLeft(), r.bottomLeft());
        p.setPen(down ? pal.light().color() : pal.shadow().color());
        p.drawLine(r.bottomLeft(), r.bottomRight());
        p.drawLine(r.topRight(), r.bottomRight());
        if (!FButton || FButton->FGlyph.Empty()) return;

        const TBitmap& glyph = FButton->FGlyph;
        const int count = FButton->FNumGlyphs;
        const int w = glyph.Width() / count;
        // Picture 1 is shown when disabled, 2 when pressed, if the glyph has them.
        int index = 0;
        if (!isEnabled() && count > 1)
            index = 1;
        else if (down && count > 2)
            index = 2;
        QImage image = glyph.Image().copy(index * w, 0, w, glyph.Height());
        const QRgb transparent = glyph.TransparentColor();
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (image.pixel(x, y) == transparent) image.setPixel(x, y, 0);
        QPoint at((r.width() - w) / 2, (r.height() - glyph.Height()) / 2);
        if (down) at += QPoint(1, 1);
        p.drawImage(at, image);
    }

    void mousePressEvent(QMouseEvent* e) override {
        if (!FButton || e->button() != Qt::LeftButton) return;
        FButton->FPressed = true;
        update();
    }

    void mouseMoveEvent(QMouseEvent* e) override {
        if (!FButton || !(e->buttons() & Qt::LeftButton)) return;
        const bool inside = rect().contains(e->position().toPoint());
        if (inside != FButton->FPressed) {
            FButton->FPressed = inside;
            update();
        }
    }

    void mouseReleaseEvent(QMouseEvent* e) override {
        if (!FButton || e->button() != Qt::LeftButton) return;
        const bool click = FButton->FPressed && rect().contains(e->position().toPoint());
        FButton->FPressed = false;
        update();
        if (click) {
            TSpeedButton* b = FButton;
            RunHandled([b] { b->Click(); });
        }
    }

private:
    TSpeedButton* FButton;
};

TSpeedButton::TSpeedButton(TComponent* AOwner) : TControl(AOwner) {
    SetWidget(new TSpeedButtonWindow(this));
    SetBounds(0, 0, 23, 22);
}

TSpeedButton::~TSpeedButton() {
    if (auto* w = static_cast<TSpeedButtonWindow*>(Widget())) w->Detach();
}

void TSpeedButton::SetGlyph(const TBitmap& value) {
    FGlyph = value;
    Invalidate();
}

void TSpeedButton::SetNumGlyphs(int value) {
    FNumGlyphs = std::clamp(value, 1, 4);
    Invalidate();
}

void TSpeedButton::Click() {
    if (OnClick) OnClick(this);
}

} // namespace btr
