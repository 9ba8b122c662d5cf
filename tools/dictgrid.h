// TDictGrid: a string grid for editing tables such as a dictionary's
// entries. The application supplies per-cell edit options (a drop-down
// button, a length limit) and the button's action; the grid adds row
// deletion and sorting by one column.
//
// The editor's change notifications are not acted on here (the grid's
// WMCommand does nothing): a cell takes the edited text when the editor
// leaves it, and only if the text differs, so OnSetEditText reports real
// changes once.
#pragma once

#include <functional>
#include <string>

#include "gui/buttons.h"
#include "gui/grids.h"

namespace btr {

// Opts: bit value 2 gives the cell's editor the drop-down button and lets F3
// run its action. MaxLen: the most characters the editor accepts, 0 for no
// limit. Both arrive as 0.
using TGetOptionsEvent =
    std::function<void(TComponent* Sender, int ACol, int ARow, int& Opts, int& MaxLen)>;
// s: the editor's text, which the handler may replace.
using TButtonClickEvent =
    std::function<void(TComponent* Sender, int ACol, int ARow, std::string& s)>;
// Greater than 0 when the first text sorts after the second.
using TStrCompProc = int (*)(const std::string& a, const std::string& b);

constexpr int EditOptionButton = 2;

class TDictGrid : public TStringGrid {
public:
    explicit TDictGrid(TComponent* AOwner = nullptr);

    TGetOptionsEvent OnGetEditOptions;
    TButtonClickEvent OnEditButtonClick;

    // Sorts the data rows (row 0 never moves) by the texts of column Col;
    // empty texts sink below the others, equal texts keep their order, and
    // the current row follows its contents. What Compare raises stops the
    // sort where it is.
    void SortByCol(int Col, TStrCompProc Compare);
    // Removes data row aRow, the rows below move up; raises
    // EInvalidGridOperation for a row that is not a data row.
    void DeleteRow(int aRow);

protected:
    TInplaceEdit* CreateEditor() override;
    int GetEditLimit() override;
    void SetEditText(int ACol, int ARow, const std::string& Value) override;
    void WMCommand(uint16_t NotifyCode) override;
    // The button's action: the grid is the Sender.
    void FButtonClick(TComponent* Sender);

private:
    friend class TNewInplaceEdit;
    void GetEditOptions(int& Opts, int& MaxLen);
};

// The in-place editor of a TDictGrid, with the drop-down button at its right
// edge. It works only inside a TDictGrid: elsewhere loading or placing it
// raises EInvalidCast.
class TNewInplaceEdit : public TInplaceEdit {
public:
    explicit TNewInplaceEdit(TComponent* AOwner);
    ~TNewInplaceEdit() override;

    void BoundsChanged() override;
    void UpdateContents() override;
    // Escape with a changed text restores StText (and closes the editor
    // unless it is always shown); F3 runs the button's action with this
    // editor as Sender.
    bool KeyDown(uint16_t Key, TShiftState Shift) override;

    TSpeedButton* Button() const { return FButton; }

    // The cell's text as the editor last loaded it.
    std::string StText;

private:
    TDictGrid& DictGrid() const;
    TSpeedButton* FButton = nullptr;
};

// The grid unit registers TDictGrid on the palette page "Btrieve".
namespace dictgrid {
void Register();
}

} // namespace btr
