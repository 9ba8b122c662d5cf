#include "gui/grids.h"

#include <QAbstractScrollArea>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QScrollBar>
#include <algorithm>
#include <limits>

#include "gui/qtbridge.h"

namespace btr {

namespace {

constexpr int kNoLimit = std::numeric_limits<int>::max();
constexpr int kSizingMargin = 3; // pixels either side of a column border

// Counts a nested store of the editor's text while it lives.
class TEditUpdate {
public:
    explicit TEditUpdate(int& counter) : FCounter(counter) { ++FCounter; }
    ~TEditUpdate() { --FCounter; }
    TEditUpdate(const TEditUpdate&) = delete;
    TEditUpdate& operator=(const TEditUpdate&) = delete;

private:
    int& FCounter;
};

} // namespace

// ---------------------------------------------------------------------------
// The editor's window

class TInplaceEditWindow : public QLineEdit {
public:
    explicit TInplaceEditWindow(TInplaceEdit* edit) : FEdit(edit) {
        setFrame(false);
        setFocusPolicy(Qt::StrongFocus);
        setMaxLength(kNoLimit);
        connect(this, &QLineEdit::textChanged, this, [this] {
            if (FEdit) FEdit->ApplyMaxLength();
        });
        // Only edits by the user; texts set through the API report themselves.
        connect(this, &QLineEdit::textEdited, this, [this] {
            if (TInplaceEdit* e = FEdit) RunHandled([e] { e->Change(); });
        });
    }
    void Detach() { FEdit = nullptr; }

protected:
    void keyPressEvent(QKeyEvent* event) override {
        QPointer<TInplaceEditWindow> alive(this);
        if (TInplaceEdit* edit = FEdit) {
            if (const uint16_t key = qt::VirtualKey(*event)) {
                bool consumed = false;
                const TShiftState shift = qt::ShiftState(*event);
                if (!RunHandled([&] { consumed = edit->KeyDown(key, shift); })) consumed = true;
                if (!alive) return;
                if (consumed) {
                    event->accept();
                    return;
                }
            }
        }
        QLineEdit::keyPressEvent(event);
        // The grid has heard of the key already (KeyDown); it must not get
        // it a second time as a key its editor ignored.
        event->accept();
    }

private:
    TInplaceEdit* FEdit;
};

// ---------------------------------------------------------------------------
// TInplaceEdit

namespace {
QLineEdit* LineOf(const TControl* c) {
    return static_cast<QLineEdit*>(c->Widget());
}
} // namespace

TInplaceEdit::TInplaceEdit(TComponent* AOwner) : TControl(AOwner) {
    SetWidget(new TInplaceEditWindow(this));
    SetVisible(false); // shown by its grid when it edits a cell
}

TInplaceEdit::~TInplaceEdit() {
    if (auto* w = static_cast<TInplaceEditWindow*>(Widget())) w->Detach();
}

std::string TInplaceEdit::Text() const {
    QLineEdit* line = LineOf(this);
    return line ? qt::FromQ(line->text()) : std::string();
}

void TInplaceEdit::SetText(std::string_view value) {
    if (!LineOf(this) || Text() == value) return;
    LoadText(value);
    Change();
}

void TInplaceEdit::LoadText(std::string_view value) {
    QLineEdit* line = LineOf(this);
    if (!line) return;
    // Never cut a text that is longer than the limit: the limit is for typing.
    line->setMaxLength(kNoLimit);
    line->setText(qt::ToQ(value));
    ApplyMaxLength();
}

void TInplaceEdit::ApplyMaxLength() {
    QLineEdit* line = LineOf(this);
    if (!line) return;
    const int length = static_cast<int>(line->text().size());
    const int limit = FMaxLength > 0 ? std::max(FMaxLength, length) : kNoLimit;
    if (line->maxLength() != limit) line->setMaxLength(limit);
}

void TInplaceEdit::SelectAll() {
    if (QLineEdit* line = LineOf(this)) line->selectAll();
}

void TInplaceEdit::Deselect() {
    if (QLineEdit* line = LineOf(this)) {
        line->deselect();
        line->end(false);
    }
}

int TInplaceEdit::SelStart() const {
    QLineEdit* line = LineOf(this);
    if (!line) return 0;
    return line->hasSelectedText() ? line->selectionStart() : line->cursorPosition();
}

int TInplaceEdit::SelLength() const {
    QLineEdit* line = LineOf(this);
    return line ? static_cast<int>(line->selectedText().size()) : 0;
}

bool TInplaceEdit::CaretAtStart() const {
    const int length = static_cast<int>(qt::ToQ(Text()).size());
    return SelStart() == 0 && (SelLength() == 0 || SelLength() == length);
}

bool TInplaceEdit::CaretAtEnd() const {
    const int length = static_cast<int>(qt::ToQ(Text()).size());
    return (SelLength() == 0 && SelStart() == length) || (SelStart() == 0 && SelLength() == length);
}

void TInplaceEdit::SetMaxLength(int value) {
    FMaxLength = std::max(0, value);
    ApplyMaxLength();
}

void TInplaceEdit::SetTextRect(int ALeft, int ATop, int ARight, int ABottom) {
    FTextRect = {ALeft, ATop, ARight, ABottom};
    if (QLineEdit* line = LineOf(this))
        line->setTextMargins(std::max(0, ALeft), std::max(0, ATop), std::max(0, Width() - ARight),
                             std::max(0, Height() - ABottom));
}

void TInplaceEdit::ScrollCaret() {
    // The line editor keeps its caret in view itself; repaint with the margins.
    if (QLineEdit* line = LineOf(this)) line->update();
}

void TInplaceEdit::UpdateContents() {
    if (!FGrid) return;
    const int col = FGrid->Col();
    const int row = FGrid->Row();
    const bool cell = col < FGrid->ColCount() && row < FGrid->RowCount();
    LoadText(cell ? FGrid->GetEditText(col, row) : std::string());
    SetMaxLength(FGrid->GetEditLimit());
}

void TInplaceEdit::BoundsChanged() {
    SetTextRect(2, 2, Width() - 2, Height());
    ScrollCaret();
}

void TInplaceEdit::Change() {
    if (FGrid) FGrid->WMCommand(EN_CHANGE);
}

bool TInplaceEdit::KeyDown(uint16_t Key, TShiftState Shift) {
    if (Key == 0) return true;
    if (!FGrid) return false;
    TStringGrid* grid = FGrid;
    auto toGrid = [&] {
        uint16_t k = Key;
        grid->KeyDown(k, Shift);
        return true;
    };
    const TGridOptions options = grid->Options();
    // Left and right leave the cell at the text's edges only while the editor
    // is always shown; otherwise they move the caret.
    const bool forward = options.Contains(goAlwaysShowEditor);
    switch (Key) {
    case VK_UP:
    case VK_DOWN:
    case VK_PRIOR:
    case VK_NEXT:
    case VK_ESCAPE:
    case VK_RETURN:
        return toGrid();
    case VK_TAB:
        if (options.Contains(goTabs) && !Shift.Contains(ssAlt)) return toGrid();
        break;
    case VK_LEFT:
    case VK_HOME:
        if (forward && CaretAtStart()) return toGrid();
        break;
    case VK_RIGHT:
    case VK_END:
        if (forward && CaretAtEnd()) return toGrid();
        break;
    case VK_F2: {
        uint16_t k = Key;
        if (grid->OnKeyDown) grid->OnKeyDown(grid, k, Shift);
        if (k != 0) Deselect();
        return true;
    }
    default:
        break;
    }
    uint16_t k = Key;
    if (grid->OnKeyDown) grid->OnKeyDown(grid, k, Shift);
    return k == 0;
}

// ---------------------------------------------------------------------------
// The grid's window

class TGridWindow : public QAbstractScrollArea {
public:
    explicit TGridWindow(TStringGrid* grid) : FGrid(grid) {
        setFocusPolicy(Qt::StrongFocus);
        viewport()->setMouseTracking(true);
        viewport()->setAutoFillBackground(false);
        verticalScrollBar()->setTracking(false);
    }
    void Detach() { FGrid = nullptr; }

    void SyncScrollBars() {
        if (FSyncing) {
            FSyncAgain = true;
            return;
        }
        FSyncing = true;
        // Showing or hiding a bar resizes the viewport, which asks again.
        for (int pass = 0; pass < 4; ++pass) {
            FSyncAgain = false;
            if (!FGrid) break;
            QScrollBar* v = verticalScrollBar();
            const int visible = FGrid->VisibleRowCount();
            v->setRange(0, std::max(0, MaxTopRow() - 1));
            v->setPageStep(std::max(1, visible));
            v->setSingleStep(1);
            v->setValue(FGrid->FTopRow - 1);
            QScrollBar* h = horizontalScrollBar();
            h->setRange(0, std::max(0, FGrid->TotalWidth() - viewport()->width()));
            h->setPageStep(std::max(1, viewport()->width()));
            h->setSingleStep(std::max(1, FGrid->FDefaultColWidth / 4));
            h->setValue(FGrid->FLeftOffset);
            FGrid->FTopRow = 1 + v->value();
            FGrid->FLeftOffset = h->value();
            if (!FSyncAgain) break;
        }
        FSyncing = false;
    }

    int MaxTopRow() const {
        return std::max(1, FGrid->FRowCount - std::max(1, FGrid->VisibleRowCount()));
    }

protected:
    void paintEvent(QPaintEvent* event) override {
        if (!FGrid) return;
        QPainter p(viewport());
        const TStringGrid& g = *FGrid;
        const QPalette& pal = palette();
        const QRect area = viewport()->rect();
        p.fillRect(event->rect(), pal.base());
        const int h = g.FDefaultRowHeight;
        const int pitch = h + 1;
        const bool focused = hasFocus();
        const bool rowSelect = g.FOptions.Contains(goRowSelect);

        auto drawRow = [&](int row, int y) {
            const bool fixed = row == 0;
            int x = -g.FLeftOffset;
            for (int col = 0; col < g.FColCount && x < area.width(); ++col) {
                const int w = g.FColWidths[static_cast<size_t>(col)];
                const QRect cell(x, y, w, h);
                if (x + w + 1 > 0 && w > 0) {
                    const bool current = !fixed && row == g.FRow && (col == g.FCol || rowSelect);
                    QColor back = fixed ? pal.button().color() : pal.base().color();
                    QColor fore = fixed ? pal.buttonText().color() : pal.text().color();
                    if (current) {
                        back = pal.highlight().color();
                        fore = pal.highlightedText().color();
                    }
                    p.fillRect(cell, back);
                    p.setPen(fore);
                    p.setClipRect(cell);
                    p.drawText(
                        cell.adjusted(2, 0, -2, 0),
                        Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                        qt::ToQ(g.FCells[static_cast<size_t>(row)][static_cast<size_t>(col)]));
                    p.setClipping(false);
                    if (current && col == g.FCol && focused) {
                        QPen pen(fore, 1, Qt::DotLine);
                        p.setPen(pen);
                        p.drawRect(cell.adjusted(0, 0, -1, -1));
                    }
                    const bool vert = g.FOptions.Contains(fixed ? goFixedVertLine : goVertLine);
                    const bool horz = g.FOptions.Contains(fixed ? goFixedHorzLine : goHorzLine);
                    p.setPen(fixed ? pal.dark().color() : pal.mid().color());
                    if (vert) p.drawLine(x + w, y, x + w, y + h);
                    if (horz) p.drawLine(x, y + h, x + w, y + h);
                }
                x += w + 1;
            }
        };
        for (int row = g.FTopRow, y = pitch; row < g.FRowCount && y < area.height();
             ++row, y += pitch)
            drawRow(row, y);
        drawRow(0, 0); // the header row stays on top while rows scroll
    }

    void keyPressEvent(QKeyEvent* event) override {
        TStringGrid* grid = FGrid;
        if (!grid) return;
        QPointer<TGridWindow> alive(this);
        event->accept();
        if (const uint16_t vk = qt::VirtualKey(*event)) {
            uint16_t key = vk;
            const TShiftState shift = qt::ShiftState(*event);
            if (!RunHandled([&] { grid->KeyDown(key, shift); }) || !alive || key == 0) return;
        }
        // Typing into a cell starts an edit that replaces its text.
        const QString text = event->text();
        if (text.isEmpty() || !text[0].isPrint() ||
            (event->modifiers() & (Qt::ControlModifier | Qt::AltModifier)))
            return;
        if (!grid->FOptions.Contains(goEditing)) return;
        RunHandled([&] {
            // An editor that is open already takes the text where it stands.
            const bool fresh = !grid->EditorShowing();
            grid->ShowEditor();
            if (!grid->EditorShowing()) return;
            if (fresh) grid->FInplaceEdit->SelectAll();
            grid->FInplaceEdit->SetFocus();
            if (QLineEdit* line = LineOf(grid->FInplaceEdit)) line->insert(text);
        });
    }

    bool focusNextPrevChild(bool next) override {
        // Tab moves between cells when the grid says so.
        if (FGrid && FGrid->FOptions.Contains(goTabs)) return false;
        return QAbstractScrollArea::focusNextPrevChild(next);
    }

    void mousePressEvent(QMouseEvent* event) override { Press(event, false); }
    void mouseDoubleClickEvent(QMouseEvent* event) override { Press(event, true); }

    void mouseMoveEvent(QMouseEvent* event) override {
        if (!FGrid) return;
        const QPoint pt = event->position().toPoint();
        if (FSizingCol >= 0) {
            TStringGrid* grid = FGrid;
            const int width = std::max(0, FSizingWidth + pt.x() - FSizingStart);
            RunHandled([&] { grid->SetColWidths(FSizingCol, width); });
            return;
        }
        if (BorderAt(pt) >= 0)
            viewport()->setCursor(Qt::SizeHorCursor);
        else
            viewport()->unsetCursor();
    }

    void mouseReleaseEvent(QMouseEvent*) override { FSizingCol = -1; }

    void resizeEvent(QResizeEvent*) override {
        if (TStringGrid* grid = FGrid) RunHandled([grid] { grid->LayoutChanged(); });
    }

    void scrollContentsBy(int, int) override {
        TStringGrid* grid = FGrid;
        if (!grid) return;
        grid->FTopRow = 1 + verticalScrollBar()->value();
        grid->FLeftOffset = horizontalScrollBar()->value();
        if (!FSyncing && grid->EditorShowing()) RunHandled([grid] { grid->PlaceEditor(); });
        viewport()->update();
    }

    void focusInEvent(QFocusEvent* event) override {
        QAbstractScrollArea::focusInEvent(event);
        viewport()->update();
    }
    void focusOutEvent(QFocusEvent* event) override {
        QAbstractScrollArea::focusOutEvent(event);
        viewport()->update();
    }

private:
    // The column whose right border lies under a point of the header row.
    int BorderAt(QPoint pt) const {
        if (!FGrid || !FGrid->FOptions.Contains(goColSizing) || pt.y() < 0 ||
            pt.y() >= FGrid->FDefaultRowHeight)
            return -1;
        for (int col = 0; col < FGrid->FColCount; ++col) {
            const int right = FGrid->ColLeft(col) - FGrid->FLeftOffset +
                              FGrid->FColWidths[static_cast<size_t>(col)];
            if (std::abs(pt.x() - right) <= kSizingMargin) return col;
        }
        return -1;
    }

    void Press(QMouseEvent* event, bool twice) {
        TStringGrid* grid = FGrid;
        if (!grid || event->button() != Qt::LeftButton) return;
        setFocus(Qt::MouseFocusReason);
        const QPoint pt = event->position().toPoint();
        const int border = BorderAt(pt);
        if (border >= 0 && !twice) {
            FSizingCol = border;
            FSizingStart = pt.x();
            FSizingWidth = grid->FColWidths[static_cast<size_t>(border)];
            return;
        }
        int col, row;
        if (!grid->MouseToCell(pt.x(), pt.y(), col, row) || row < grid->FixedRows()) return;
        RunHandled([&] {
            // A click on the current cell (or a double click) starts editing it.
            if (col == grid->FCol && row == grid->FRow) {
                if (grid->FOptions.Contains(goEditing)) grid->ShowEditor();
            } else {
                grid->FocusCell(col, row);
                if (twice && grid->FOptions.Contains(goEditing)) grid->ShowEditor();
            }
        });
    }

    TStringGrid* FGrid;
    bool FSyncing = false;
    bool FSyncAgain = false;
    int FSizingCol = -1;
    int FSizingStart = 0;
    int FSizingWidth = 0;
};

// ---------------------------------------------------------------------------
// TStringGrid

TStringGrid::TStringGrid(TComponent* AOwner) : TControl(AOwner) {
    FCells.assign(static_cast<size_t>(FRowCount),
                  std::vector<std::string>(static_cast<size_t>(FColCount)));
    FColWidths.assign(static_cast<size_t>(FColCount), FDefaultColWidth);
    SetWidget(new TGridWindow(this));
    SetBounds(0, 0, 320, 120);
    LayoutChanged();
}

TStringGrid::~TStringGrid() {
    if (TGridWindow* w = Window()) w->Detach();
    BeginDestroy();
    DestroyComponents();
    if (FInplaceEdit) RemoveFreeNotification(FInplaceEdit);
    FInplaceEdit = nullptr;
}

TGridWindow* TStringGrid::Window() const {
    return static_cast<TGridWindow*>(Widget());
}

QWidget* TStringGrid::ClientWidget() const {
    return Window() ? Window()->viewport() : nullptr;
}

void TStringGrid::CheckCell(int ACol, int ARow) const {
    if (ACol < 0 || ARow < 0 || ACol >= FColCount || ARow >= FRowCount)
        throw EInvalidGridOperation("Grid index out of range");
}

std::string TStringGrid::Cells(int ACol, int ARow) const {
    CheckCell(ACol, ARow);
    return FCells[static_cast<size_t>(ARow)][static_cast<size_t>(ACol)];
}

void TStringGrid::SetCells(int ACol, int ARow, std::string_view value) {
    CheckCell(ACol, ARow);
    FCells[static_cast<size_t>(ARow)][static_cast<size_t>(ACol)] = value;
    // An open editor on this cell shows what the program stored.
    if (FEditUpdate == 0 && EditorShowing() && ACol == FInplaceCol && ARow == FInplaceRow)
        LoadEditor();
    InvalidateCell(ACol, ARow);
}

void TStringGrid::SetColCount(int value) {
    if (value < 1) throw EInvalidGridOperation("A grid needs at least one column");
    if (value == FColCount) return;
    for (auto& row : FCells) row.resize(static_cast<size_t>(value));
    FColWidths.resize(static_cast<size_t>(value), FDefaultColWidth);
    FColCount = value;
    if (FInplaceCol >= value) FInplaceCol = FInplaceRow = -1; // its cell is gone
    ClampCurrent();
    LayoutChanged();
}

void TStringGrid::SetRowCount(int value) {
    if (value < FixedRows()) throw EInvalidGridOperation("A grid keeps its fixed row");
    if (value == FRowCount) return;
    FCells.resize(static_cast<size_t>(value),
                  std::vector<std::string>(static_cast<size_t>(FColCount)));
    FRowCount = value;
    if (FInplaceRow >= value) FInplaceCol = FInplaceRow = -1;
    ClampCurrent();
    LayoutChanged();
}

void TStringGrid::ClampCurrent() {
    const int col = std::clamp(FCol, 0, FColCount - 1);
    const int row = std::clamp(FRow, FixedRows(), std::max(FixedRows(), FRowCount - 1));
    MoveCurrent(col, row);
    if (EditorShowing() && !CanEditShow()) HideEdit();
}

void TStringGrid::FocusCell(int ACol, int ARow) {
    if (ACol == FCol && ARow == FRow) return;
    CheckCell(ACol, ARow);
    if (ARow < FixedRows()) throw EInvalidGridOperation("The fixed row cannot be the current row");
    MoveCurrent(ACol, ARow);
}

void TStringGrid::MoveCurrent(int ACol, int ARow) {
    if (ACol == FCol && ARow == FRow) return;
    const bool showing = EditorShowing();
    if (showing) {
        UpdateText(); // raises before anything moved
        FInplaceCol = FInplaceRow = -1;
    }
    FCol = ACol;
    FRow = ARow;
    ScrollInView();
    if (showing || FOptions.Contains(goAlwaysShowEditor)) {
        if (FOptions.Contains(goAlwaysShowEditor) && CanEditShow()) {
            UpdateEdit();
        } else {
            HideEdit();
            FEditorMode = false;
        }
    }
    Invalidate();
}

void TStringGrid::SetTopRow(int value) {
    const int maxTop = std::max(1, FRowCount - std::max(1, VisibleRowCount()));
    FTopRow = std::clamp(value, 1, maxTop);
    if (TGridWindow* w = Window()) w->SyncScrollBars();
    if (EditorShowing()) PlaceEditor();
    Invalidate();
}

int TStringGrid::VisibleRowCount() const {
    QWidget* c = ClientWidget();
    if (!c) return 0;
    const int pitch = FDefaultRowHeight + 1;
    return std::max(0, (c->height() - pitch) / pitch);
}

void TStringGrid::SetDefaultColWidth(int value) {
    if (value < 0) throw EInvalidGridOperation("A column width cannot be negative");
    FDefaultColWidth = value;
    std::fill(FColWidths.begin(), FColWidths.end(), value);
    LayoutChanged();
}

void TStringGrid::SetDefaultRowHeight(int value) {
    if (value < 1) throw EInvalidGridOperation("A row needs a height of at least one pixel");
    FDefaultRowHeight = value;
    LayoutChanged();
}

int TStringGrid::ColWidths(int index) const {
    if (index < 0 || index >= FColCount) throw EInvalidGridOperation("Grid index out of range");
    return FColWidths[static_cast<size_t>(index)];
}

void TStringGrid::SetColWidths(int index, int value) {
    if (index < 0 || index >= FColCount) throw EInvalidGridOperation("Grid index out of range");
    if (value < 0) throw EInvalidGridOperation("A column width cannot be negative");
    if (FColWidths[static_cast<size_t>(index)] == value) return;
    FColWidths[static_cast<size_t>(index)] = value;
    LayoutChanged();
}

void TStringGrid::SetOptions(TGridOptions value) {
    if (value == FOptions) return;
    FOptions = value;
    if (TGridWindow* w = Window())
        w->verticalScrollBar()->setTracking(FOptions.Contains(goThumbTracking));
    if (EditorShowing() && !CanEditShow())
        HideEditor();
    else if (FOptions.Contains(goAlwaysShowEditor))
        ShowEditor();
    Invalidate();
}

void TStringGrid::SetEditorMode(bool value) {
    if (value)
        ShowEditor();
    else
        HideEditor();
}

void TStringGrid::ShowEditor() {
    FEditorMode = true;
    UpdateEdit();
}

void TStringGrid::HideEditor() {
    FEditorMode = false;
    HideEdit();
}

bool TStringGrid::CanEditShow() const {
    return FOptions.Contains(goEditing) && !FOptions.Contains(goRowSelect) && Window() &&
           FRow >= FixedRows() && FRow < FRowCount && FCol < FColCount;
}

// An editor whose window is gone (a Qt parent deleted it) edits nothing: its
// empty text must never reach a cell.
bool TStringGrid::EditorShowing() const {
    return FInplaceEdit && FInplaceEdit->Widget() && FInplaceEdit->Visible();
}

void TStringGrid::UpdateEdit() {
    if (!CanEditShow()) return;
    if (!FInplaceEdit) {
        TInplaceEdit* editor = CreateEditor();
        if (!editor) throw EInvalidGridOperation("CreateEditor made no editor");
        FInplaceEdit = editor;
        FreeNotification(editor); // however it goes, we hear of it
        editor->SetGrid(this);
        editor->SetParent(this);
        LoadEditor();
    } else if (FCol != FInplaceCol || FRow != FInplaceRow) {
        HideEdit();
        LoadEditor();
    }
    if (CanEditShow()) PlaceEditor();
}

void TStringGrid::LoadEditor() {
    // Until the cell is loaded the editor edits no cell, so a failed load
    // cannot write a stale text anywhere.
    FInplaceCol = FInplaceRow = -1;
    FInplaceEdit->UpdateContents();
    FInplaceCol = FCol;
    FInplaceRow = FRow;
    FInplaceEdit->SelectAll();
}

void TStringGrid::HideEdit() {
    if (!FInplaceEdit) return;
    UpdateText();
    FInplaceCol = FInplaceRow = -1;
    if (FInplaceEdit->Visible()) {
        const bool focused = FInplaceEdit->Focused();
        FInplaceEdit->Hide();
        if (focused) SetFocus();
    }
    Invalidate();
}

void TStringGrid::PlaceEditor() {
    if (!FInplaceEdit || FInplaceCol < 0) return;
    TRect r = CellGeometry(FInplaceCol, FInplaceRow);
    if (!RowInView(FInplaceRow)) {
        // Scrolled away: keep it open, out of sight.
        const int w = r.Width(), h = r.Height();
        r = {-w - 100, -h - 100, -100, -100};
    }
    FInplaceEdit->SetBounds(r.Left, r.Top, r.Width(), r.Height());
    if (!FInplaceEdit->Visible()) FInplaceEdit->Show();
    FInplaceEdit->BoundsChanged();
    if (Window() && Window()->hasFocus()) FInplaceEdit->SetFocus();
}

void TStringGrid::UpdateText() {
    if (!FInplaceEdit || !FInplaceEdit->Widget() || FInplaceCol < 0 || FInplaceRow < 0 ||
        FInplaceCol >= FColCount || FInplaceRow >= FRowCount)
        return;
    TEditUpdate guard(FEditUpdate);
    SetEditText(FInplaceCol, FInplaceRow, FInplaceEdit->Text());
}

TInplaceEdit* TStringGrid::CreateEditor() {
    return new TInplaceEdit(this);
}

int TStringGrid::GetEditLimit() {
    return 0;
}

std::string TStringGrid::GetEditText(int ACol, int ARow) {
    return Cells(ACol, ARow);
}

void TStringGrid::SetEditText(int ACol, int ARow, const std::string& Value) {
    {
        TEditUpdate guard(FEditUpdate);
        SetCells(ACol, ARow, Value);
    }
    if (OnSetEditText) OnSetEditText(this, ACol, ARow, Value);
}

void TStringGrid::RowMoved(int FromIndex, int ToIndex) {
    if (FromIndex < 0 || ToIndex < 0 || FromIndex >= FRowCount || ToIndex >= FRowCount)
        throw EInvalidGridOperation("Grid index out of range");
    if (FromIndex == ToIndex) return;
    auto rows = FCells.begin();
    if (FromIndex < ToIndex)
        std::rotate(rows + FromIndex, rows + FromIndex + 1, rows + ToIndex + 1);
    else
        std::rotate(rows + ToIndex, rows + FromIndex, rows + FromIndex + 1);
    Invalidate();
}

void TStringGrid::WMCommand(uint16_t NotifyCode) {
    if (NotifyCode == EN_CHANGE) UpdateText();
}

void TStringGrid::KeyDown(uint16_t& Key, TShiftState Shift) {
    if (OnKeyDown) OnKeyDown(this, Key, Shift);
    const bool always = FOptions.Contains(goAlwaysShowEditor);
    switch (Key) {
    case 0:
        return;
    case VK_RETURN:
        if (!FOptions.Contains(goEditing)) return;
        if (!EditorShowing()) {
            ShowEditor();
        } else if (always) {
            UpdateText();
            FInplaceEdit->SelectAll();
        } else {
            HideEditor(); // stores the text
        }
        return;
    case VK_F2:
        if (!FOptions.Contains(goEditing)) return;
        ShowEditor();
        if (EditorShowing()) FInplaceEdit->Deselect();
        return;
    case VK_ESCAPE:
        if (EditorShowing() && !always) HideEditor();
        return;
    default:
        break;
    }

    const int first = FixedRows();
    const int last = FRowCount - 1;
    if (last < first) return; // no data rows to move in
    const bool ctrl = Shift.Contains(ssCtrl);
    const int page = std::max(1, VisibleRowCount());
    int col = FCol, row = FRow;
    switch (Key) {
    case VK_UP:
        --row;
        break;
    case VK_DOWN:
        ++row;
        break;
    case VK_LEFT:
        --col;
        break;
    case VK_RIGHT:
        ++col;
        break;
    case VK_PRIOR:
        row -= page;
        break;
    case VK_NEXT:
        row += page;
        break;
    case VK_HOME:
        col = 0;
        if (ctrl) row = first;
        break;
    case VK_END:
        col = FColCount - 1;
        if (ctrl) row = last;
        break;
    case VK_TAB:
        if (!FOptions.Contains(goTabs) || Shift.Contains(ssAlt)) return;
        if (Shift.Contains(ssShift)) {
            if (col > 0)
                --col;
            else if (row > first) {
                col = FColCount - 1;
                --row;
            }
        } else if (col < FColCount - 1) {
            ++col;
        } else if (row < last) {
            col = 0;
            ++row;
        }
        break;
    default:
        return;
    }
    MoveCurrent(std::clamp(col, 0, FColCount - 1), std::clamp(row, first, last));
}

TRect TStringGrid::CellRect(int ACol, int ARow) const {
    if (ACol < 0 || ARow < 0 || ACol >= FColCount || ARow >= FRowCount || !RowInView(ARow))
        return {};
    const TRect r = CellGeometry(ACol, ARow);
    QWidget* c = ClientWidget();
    if (!c || r.Right <= 0 || r.Left >= c->width()) return {};
    return r;
}

bool TStringGrid::MouseToCell(int X, int Y, int& ACol, int& ARow) const {
    ACol = ARow = -1;
    if (X < 0 || Y < 0) return false;
    const int pitch = FDefaultRowHeight + 1;
    const int row = Y < pitch ? 0 : FTopRow + (Y - pitch) / pitch;
    if (row >= FRowCount) return false;
    const int x = X + FLeftOffset;
    for (int col = 0, left = 0; col < FColCount; ++col) {
        left += FColWidths[static_cast<size_t>(col)] + 1;
        if (x < left) {
            ACol = col;
            ARow = row;
            return true;
        }
    }
    return false;
}

int TStringGrid::ColLeft(int ACol) const {
    int x = 0;
    for (int col = 0; col < ACol; ++col) x += FColWidths[static_cast<size_t>(col)] + 1;
    return x;
}

int TStringGrid::TotalWidth() const {
    return ColLeft(FColCount);
}

TRect TStringGrid::CellGeometry(int ACol, int ARow) const {
    const int pitch = FDefaultRowHeight + 1;
    const int x = ColLeft(ACol) - FLeftOffset;
    const int y = ARow == 0 ? 0 : pitch + (ARow - FTopRow) * pitch;
    return {x, y, x + FColWidths[static_cast<size_t>(ACol)], y + FDefaultRowHeight};
}

bool TStringGrid::RowInView(int ARow) const {
    if (ARow == 0) return true;
    QWidget* c = ClientWidget();
    return c && ARow >= FTopRow && CellGeometry(0, ARow).Top < c->height();
}

void TStringGrid::ScrollInView() {
    const int visible = VisibleRowCount();
    if (FRow < FTopRow)
        FTopRow = FRow;
    else if (FRow >= FTopRow + std::max(1, visible))
        FTopRow = FRow - std::max(1, visible) + 1;
    if (QWidget* c = ClientWidget()) {
        const int left = ColLeft(FCol);
        const int right = left + FColWidths[static_cast<size_t>(FCol)];
        if (left < FLeftOffset)
            FLeftOffset = left;
        else if (right > FLeftOffset + c->width())
            FLeftOffset = std::min(left, right - c->width());
    }
    if (TGridWindow* w = Window()) w->SyncScrollBars();
    if (EditorShowing()) PlaceEditor();
}

void TStringGrid::LayoutChanged() {
    if (TGridWindow* w = Window()) w->SyncScrollBars();
    if (EditorShowing()) PlaceEditor();
    Invalidate();
}

void TStringGrid::Resize() {
    LayoutChanged();
}

void TStringGrid::InvalidateCell(int ACol, int ARow) {
    const TRect r = CellRect(ACol, ARow);
    if (QWidget* c = ClientWidget(); c && !r.IsEmpty())
        c->update(r.Left, r.Top, r.Width() + 1, r.Height() + 1);
}

void TStringGrid::Notification(TComponent* component, TOperation operation) {
    TControl::Notification(component, operation);
    if (operation == TOperation::opRemove && component == FInplaceEdit) {
        FInplaceEdit = nullptr;
        FInplaceCol = FInplaceRow = -1;
    }
}

} // namespace btr
