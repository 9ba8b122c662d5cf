// TSpeedButton: a flat push button that shows a glyph and runs OnClick when
// it is clicked (pressed and released over it with the left button).
#pragma once

#include "gui/bitmaps.h"
#include "gui/controls.h"

namespace btr {

class TSpeedButton : public TControl {
public:
    explicit TSpeedButton(TComponent* AOwner = nullptr);
    ~TSpeedButton() override;

    // The picture; after changing it in place, call Invalidate.
    TBitmap& Glyph() { return FGlyph; }
    const TBitmap& Glyph() const { return FGlyph; }
    void SetGlyph(const TBitmap& value);
    // How many pictures the glyph holds side by side (up, disabled, down,
    // exclusive); 1 to 4, other values are brought into that range.
    int NumGlyphs() const { return FNumGlyphs; }
    void SetNumGlyphs(int value);
    bool Pressed() const { return FPressed; }

    TNotifyEvent OnClick;
    // Runs OnClick as a click does.
    virtual void Click();

private:
    friend class TSpeedButtonWindow;
    TBitmap FGlyph;
    int FNumGlyphs = 1;
    bool FPressed = false;
};

} // namespace btr
