// TStringGrid, a grid of text cells with one fixed header row (row 0), and
// its in-place line editor TInplaceEdit.
//
// Editing: with goEditing in Options the current cell can be edited in
// place (Enter or F2, a click on the current cell, a double click, or typing
// into the cell). The editor loads the cell through UpdateContents; its text
// reaches the cell through SetEditText, on every change (the editor's change
// notification, WMCommand(EN_CHANGE)) and again when it leaves the cell.
// With goAlwaysShowEditor the editor stays open and follows the current cell.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "gui/controls.h"
#include "gui/keys.h"
#include "platform/sets.h"
#include "platform/exceptions.h"

namespace btr {

enum TGridOption {
    goFixedVertLine,
    goFixedHorzLine,
    goVertLine,
    goHorzLine,
    goRangeSelect,
    goDrawFocusSelected,
    goRowSizing,
    goColSizing,
    goRowMoving,
    goColMoving,
    goEditing,
    goTabs,
    goRowSelect,
    goAlwaysShowEditor,
    goThumbTracking,
};
static_assert(goAlwaysShowEditor == 13, "the host's option set places it at element 13");
using TGridOptions = TSet<TGridOption, 15>;

class EInvalidGridOperation : public Exception {
    using Exception::Exception;
};

// The change notification an editor sends to its grid.
constexpr uint16_t EN_CHANGE = 0x0300;

class TStringGrid;
class TGridWindow;
class TInplaceEditWindow;

class TInplaceEdit : public TControl {
public:
    explicit TInplaceEdit(TComponent* AOwner);
    ~TInplaceEdit() override;

    TStringGrid* Grid() const { return FGrid; }

    std::string Text() const;
    // Sets the text as an edit does (the grid hears of the change).
    void SetText(std::string_view value);
    void SelectAll();
    // Drops the selection and puts the caret after the last character.
    void Deselect();
    int SelStart() const;
    int SelLength() const;

    // The most characters that typing and pasting may produce; 0 is no limit.
    // A longer text that was loaded or set stays whole.
    int MaxLength() const { return FMaxLength; }
    void SetMaxLength(int value);

    // The rectangle, in the editor's coordinates, where the text is laid out
    // (the editor's text margins).
    void SetTextRect(int ALeft, int ATop, int ARight, int ABottom);
    TRect TextRect() const { return FTextRect; }
    // Brings the caret into view.
    void ScrollCaret();

    // Loads the grid's current cell: its text and its edit limit.
    virtual void UpdateContents();
    // Runs whenever the grid places the editor on a cell: sets the text
    // rectangle (2, 2, width - 2, height).
    virtual void BoundsChanged();
    // A key pressed in the editor; true when it was consumed, false to let
    // the line editor process it. Navigation keys go on to the grid.
    virtual bool KeyDown(uint16_t Key, TShiftState Shift);

protected:
    // After every change of the text that was not a load.
    virtual void Change();

private:
    friend class TStringGrid;
    friend class TInplaceEditWindow;
    void SetGrid(TStringGrid* grid) { FGrid = grid; }
    void LoadText(std::string_view value);
    void ApplyMaxLength();
    bool CaretAtStart() const;
    bool CaretAtEnd() const;

    TStringGrid* FGrid = nullptr;
    int FMaxLength = 0;
    TRect FTextRect;
};

class TStringGrid : public TControl {
public:
    explicit TStringGrid(TComponent* AOwner = nullptr);
    ~TStringGrid() override;

    QWidget* ClientWidget() const override;

    // Cell text (UTF-8). Raises EInvalidGridOperation outside the grid.
    std::string Cells(int ACol, int ARow) const;
    void SetCells(int ACol, int ARow, std::string_view value);

    // At least one column; at least the fixed row. Cells outside the new
    // size are dropped, new cells are empty.
    int ColCount() const { return FColCount; }
    void SetColCount(int value);
    int RowCount() const { return FRowCount; }
    void SetRowCount(int value);
    int FixedRows() const { return 1; }

    // The current cell. Row is a data row (from 1); while the grid has no
    // data rows it stays 1. Setting a cell outside the grid raises
    // EInvalidGridOperation, except setting the current value again.
    int Col() const { return FCol; }
    void SetCol(int value) { FocusCell(value, FRow); }
    int Row() const { return FRow; }
    void SetRow(int value) { FocusCell(FCol, value); }
    void FocusCell(int ACol, int ARow);

    // The first data row in view, and how many data rows fit in full.
    int TopRow() const { return FTopRow; }
    void SetTopRow(int value);
    int VisibleRowCount() const;

    int DefaultColWidth() const { return FDefaultColWidth; }
    void SetDefaultColWidth(int value);
    int DefaultRowHeight() const { return FDefaultRowHeight; }
    void SetDefaultRowHeight(int value);
    int ColWidths(int index) const;
    void SetColWidths(int index, int value);

    TGridOptions Options() const { return FOptions; }
    void SetOptions(TGridOptions value);

    // Editing mode: set by ShowEditor, cleared by HideEditor.
    bool EditorMode() const { return FEditorMode; }
    void SetEditorMode(bool value);
    void ShowEditor();
    void HideEditor();
    // Null until the grid first needs an editor.
    TInplaceEdit* InplaceEditor() const { return FInplaceEdit; }

    // A cell's rectangle in the client area; empty when it is out of view.
    TRect CellRect(int ACol, int ARow) const;
    // The cell at a point of the client area; false when there is none.
    bool MouseToCell(int X, int Y, int& ACol, int& ARow) const;

    // Raised by SetEditText after the cell took the editor's text.
    std::function<void(TComponent* Sender, int ACol, int ARow, const std::string& Value)>
        OnSetEditText;
    // Every key the grid or its editor receives, before it acts; a handler
    // that sets Key to 0 consumes it.
    std::function<void(TComponent* Sender, uint16_t& Key, TShiftState Shift)> OnKeyDown;

protected:
    virtual TInplaceEdit* CreateEditor();
    // The edit limit of the current cell, 0 for none.
    virtual int GetEditLimit();
    virtual std::string GetEditText(int ACol, int ARow);
    // Stores an edited text into the cell and raises OnSetEditText.
    virtual void SetEditText(int ACol, int ARow, const std::string& Value);
    // Moves one row's contents (all columns) from one index to another; the
    // rows between shift by one. The current cell stays where it is.
    virtual void RowMoved(int FromIndex, int ToIndex);
    // A notification from the editor; EN_CHANGE stores its text.
    virtual void WMCommand(uint16_t NotifyCode);
    // Navigation and editing keys, from the grid and from its editor.
    virtual void KeyDown(uint16_t& Key, TShiftState Shift);

    // Stores the editor's text into the cell it is editing, if any.
    void UpdateText();
    void Notification(TComponent* component, TOperation operation) override;
    void Resize() override;

private:
    friend class TInplaceEdit;
    friend class TGridWindow;

    TGridWindow* Window() const;
    bool CanEditShow() const;
    bool EditorShowing() const;
    void UpdateEdit();
    void HideEdit();
    void LoadEditor();
    void PlaceEditor();
    void MoveCurrent(int ACol, int ARow);
    void ClampCurrent();
    void ScrollInView();
    void LayoutChanged();
    void CheckCell(int ACol, int ARow) const;
    int ColLeft(int ACol) const; // from the grid's left edge, unscrolled
    int TotalWidth() const;
    TRect CellGeometry(int ACol, int ARow) const;
    bool RowInView(int ARow) const;
    void InvalidateCell(int ACol, int ARow);

    std::vector<std::vector<std::string>> FCells; // [row][col]
    std::vector<int> FColWidths;
    int FColCount = 5;
    int FRowCount = 5;
    int FCol = 0;
    int FRow = 1;
    int FTopRow = 1;
    int FLeftOffset = 0; // horizontal scroll, pixels
    int FDefaultColWidth = 64;
    int FDefaultRowHeight = 24;
    TGridOptions FOptions{goFixedVertLine, goFixedHorzLine, goVertLine, goHorzLine, goRangeSelect};
    bool FEditorMode = false;
    TInplaceEdit* FInplaceEdit = nullptr;
    int FInplaceCol = -1;
    int FInplaceRow = -1;
    int FEditUpdate = 0; // > 0 while the editor's own text is being stored
};

} // namespace btr
