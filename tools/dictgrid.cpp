#include "tools/dictgrid.h"

#include "tools/registry.h"

#include "platform/exceptions.h"

namespace btr {

// ---------------------------------------------------------------------------
// TDictGrid

TDictGrid::TDictGrid(TComponent* AOwner) : TStringGrid(AOwner) {}

void TDictGrid::GetEditOptions(int& Opts, int& MaxLen) {
    Opts = 0;
    MaxLen = 0;
    if (OnGetEditOptions) OnGetEditOptions(this, Col(), Row(), Opts, MaxLen);
}

int TDictGrid::GetEditLimit() {
    int opts, maxLen;
    GetEditOptions(opts, maxLen);
    return maxLen;
}

void TDictGrid::SetEditText(int ACol, int ARow, const std::string& Value) {
    if (Cells(ACol, ARow) != Value) TStringGrid::SetEditText(ACol, ARow, Value);
}

TInplaceEdit* TDictGrid::CreateEditor() {
    return new TNewInplaceEdit(this);
}

// The host reflects a child's command back to it; this grid neither does
// that nor stores the text on each change.
void TDictGrid::WMCommand(uint16_t) {}

void TDictGrid::FButtonClick(TComponent*) {
    if (!OnEditButtonClick || !InplaceEditor()) return;
    std::string s = InplaceEditor()->Text();
    OnEditButtonClick(this, Col(), Row(), s);
    if (InplaceEditor()) InplaceEditor()->SetText(s);
}

void TDictGrid::DeleteRow(int aRow) {
    if (aRow < FixedRows() || aRow >= RowCount())
        throw EInvalidGridOperation("Grid index out of range");
    // Three steps and nothing else: what the editor holds is not stored
    // (its cell may be the row that goes, and OnSetEditText would report a
    // change to a row that is no longer there); the editor reloads instead.
    RowMoved(aRow, RowCount() - 1);
    SetRowCount(RowCount() - 1);
    if (InplaceEditor()) InplaceEditor()->UpdateContents();
}

void TDictGrid::SortByCol(int Col, TStrCompProc Compare) {
    if (!Compare) throw EInvalidGridOperation("SortByCol needs a comparison");
    HideEditor();
    int current = Row();
    const int n = RowCount() - 1;
    for (int pass = 1; pass <= n; ++pass) {
        bool clean = true;
        for (int i = 1; i <= RowCount() - pass - 1; ++i) {
            const std::string a = Cells(Col, i);
            const std::string b = Cells(Col, i + 1);
            if (Compare(a, b) > 0 || a.empty()) {
                RowMoved(i, i + 1);
                if (i + 1 == current)
                    current = i;
                else if (i == current)
                    current = i + 1;
                clean = false;
            }
        }
        if (clean) break;
    }
    SetRow(current);
    if (Options().Contains(goAlwaysShowEditor)) ShowEditor();
}

// ---------------------------------------------------------------------------
// TNewInplaceEdit

TNewInplaceEdit::TNewInplaceEdit(TComponent* AOwner) : TInplaceEdit(AOwner) {
    FButton = new TSpeedButton(this);
    FButton->SetAlign(alRight);
    FButton->SetWidth(20);
    FButton->SetNumGlyphs(1);
    FButton->Glyph().LoadFromResourceName("DOWNARROW");
    FButton->Invalidate();
    FButton->SetParent(this);
    FButton->SetCursor(crArrow);
}

TNewInplaceEdit::~TNewInplaceEdit() {
    delete FButton;
    FButton = nullptr;
}

TDictGrid& TNewInplaceEdit::DictGrid() const {
    auto* grid = dynamic_cast<TDictGrid*>(Grid());
    if (!grid) throw EInvalidCast();
    return *grid;
}

void TNewInplaceEdit::BoundsChanged() {
    int opts, maxLen;
    DictGrid().GetEditOptions(opts, maxLen);
    if (opts & EditOptionButton) {
        SetTextRect(2, 2, Width() - FButton->Width() - 2, Height());
        FButton->Show();
    } else {
        SetTextRect(2, 2, Width() - 2, Height());
        FButton->Hide();
    }
    ScrollCaret();
}

void TNewInplaceEdit::UpdateContents() {
    TInplaceEdit::UpdateContents();
    StText = Text();
    TDictGrid* grid = &DictGrid();
    FButton->OnClick = [grid](TComponent* Sender) { grid->FButtonClick(Sender); };
}

bool TNewInplaceEdit::KeyDown(uint16_t Key, TShiftState Shift) {
    if (Key == VK_ESCAPE) {
        TDictGrid& grid = DictGrid();
        if (Text() != StText) {
            SetText(StText);
            SelectAll();
            if (!grid.Options().Contains(goAlwaysShowEditor)) grid.HideEditor();
            Key = 0;
        }
    } else if (Key == VK_F3) {
        TDictGrid& grid = DictGrid();
        if (grid.OnGetEditOptions && grid.OnEditButtonClick) {
            int opts, maxLen;
            grid.GetEditOptions(opts, maxLen);
            if (opts & EditOptionButton) {
                std::string s = Text();
                grid.OnEditButtonClick(this, grid.Col(), grid.Row(), s);
                SetText(s);
            }
        }
    }
    return TInplaceEdit::KeyDown(Key, Shift);
}

void dictgrid::Register() {
    RegisterComponents(kPalettePage, {{"TDictGrid", [](TComponent& owner) -> TComponent* {
                                           return new TDictGrid(&owner);
                                       }}});
}

} // namespace btr
