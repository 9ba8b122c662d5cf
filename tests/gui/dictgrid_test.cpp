#include <QImage>
#include <QLineEdit>
#include <QPixmap>
#include <QWidget>
#include <cstdlib>

#include "tests/gui/guitest.h"
#include "tools/dictgrid.h"

namespace btr {
namespace {

using test::Column;
using test::EditorOpen;
using test::FillColumn;
using test::Line;
using Texts = std::vector<std::string>;
using Keys = std::vector<uint16_t>;

int Ordinal(const std::string& a, const std::string& b) { return a.compare(b); }

class TestDictGrid : public TDictGrid {
public:
    using TDictGrid::SetEditText;
};

class DictGrid : public test::GuiTest {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        grid.SetColCount(2);
        grid.OnSetEditText = [this](TComponent*, int c, int r, const std::string& v) {
            notes.push_back(std::to_string(c) + "," + std::to_string(r) + "=" + v);
        };
        grid.OnKeyDown = [this](TComponent*, uint16_t& key, TShiftState) { keys.push_back(key); };
        test::ShowGrid(grid);
    }
    // Column 1 has the button and a limit of 8; column 0 neither.
    void GiveButtons() {
        grid.OnGetEditOptions = [this](TComponent* sender, int c, int r, int& opts, int& maxLen) {
            EXPECT_EQ(sender, &grid);
            EXPECT_EQ(opts, 0);
            EXPECT_EQ(maxLen, 0);
            EXPECT_EQ(c, grid.Col());
            EXPECT_EQ(r, grid.Row());
            ++optionCalls;
            opts = c == 1 ? EditOptionButton : 0;
            maxLen = c == 1 ? 8 : 0;
        };
    }
    void Editing(TGridOptions extra = {}) { test::AllowEditing(grid, extra); }
    TNewInplaceEdit* Editor() { return dynamic_cast<TNewInplaceEdit*>(grid.InplaceEditor()); }
    std::string EditorText() { return grid.InplaceEditor()->Text(); }
    void EditKey(Qt::Key key) { test::EditKey(grid, key); }
    void Type(const char* text) { QTest::keyClicks(Line(grid), text); }

    TestDictGrid grid;
    Texts notes;
    Keys keys;
    int optionCalls = 0;
};

TEST_F(DictGrid, SortMovesWholeRowsTheCurrentRowFollowsAndTheEditorIsStoredFirst) {
    // Column 1 numbers the rows as they were: every row must arrive whole.
    const struct {
        const char* name;
        Texts texts;
        int row; // current before the sort
        TStrCompProc compare;
        Texts sorted;
    } cases[] = {
        {"apple moves up", {"pear", "apple", "plum"}, 2, Ordinal, {"apple", "pear", "plum"}},
        {"pear moves up and down again", {"apple", "pear", "plum"}, 2,
         [](const std::string& a, const std::string& b) { return b.compare(a); }, {"plum", "pear", "apple"}},
        {"empty texts sink, equal texts keep their order", {"", "b", "", "a", "c", ""}, 4,
         [](const std::string&, const std::string&) { return 0; }, {"b", "a", "c", "", "", ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FillColumn(grid, 0, c.texts);
        for (int r = 1; r < grid.RowCount(); ++r) grid.SetCells(1, r, std::to_string(r));
        grid.SetCells(0, 0, "Name");
        grid.SetRow(c.row);
        grid.SortByCol(0, c.compare);
        EXPECT_EQ(Column(grid, 0), c.sorted);
        for (int r = 1; r < grid.RowCount(); ++r)
            EXPECT_EQ(c.texts[std::stoul(grid.Cells(1, r)) - 1], grid.Cells(0, r)) << "row " << r;
        EXPECT_EQ(grid.Cells(1, grid.Row()), std::to_string(c.row));
        EXPECT_EQ(grid.Cells(0, 0), "Name");
    }
    // What the comparison raises stops the sort where it is.
    FillColumn(grid, 0, {"c", "b", "a"});
    grid.SetRow(3);
    static int calls;
    calls = 0;
    auto failing = [](const std::string& a, const std::string& b) {
        if (++calls == 2) throw Exception("compare failed");
        return a.compare(b);
    };
    EXPECT_THROW(grid.SortByCol(0, failing), Exception);
    EXPECT_EQ(Column(grid, 0), (Texts{"b", "c", "a"}));
    EXPECT_EQ(grid.Row(), 3);
    // An open editor's text is stored first, and the editor shown again.
    grid.SetRow(1);
    Editing({goAlwaysShowEditor});
    ASSERT_TRUE(EditorOpen(grid));
    Type("z");
    EXPECT_EQ(grid.Cells(0, 1), "b"); // typing alone stores nothing here
    grid.SortByCol(0, Ordinal);
    EXPECT_EQ(Column(grid, 0), (Texts{"a", "c", "z"}));
    EXPECT_EQ(grid.Row(), 3);
    ASSERT_TRUE(EditorOpen(grid));
    EXPECT_EQ(EditorText(), "z");
    EXPECT_EQ(notes, (Texts{"0,1=z"}));
    // With only the header row there is nothing to compare.
    grid.SetRowCount(1);
    calls = 0;
    grid.SortByCol(0, [](const std::string&, const std::string&) { return ++calls; });
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(grid.Cells(0, 0), "Name");
    EXPECT_EQ(grid.Row(), 1);
    EXPECT_TRUE(grid.EditorMode()); // asked for again; there is no cell to show it on
    EXPECT_FALSE(EditorOpen(grid));
    EXPECT_THROW(grid.SortByCol(0, nullptr), EInvalidGridOperation);
}

TEST_F(DictGrid, EscapeRestoresAChangedTextOrPassesTheKeyOn) {
    Editing();
    FillColumn(grid, 0, {"pear"});
    grid.ShowEditor();
    keys.clear();
    EditKey(Qt::Key_Escape); // unchanged: the grid's own Escape closes the editor
    EXPECT_EQ(keys, (Keys{VK_ESCAPE}));
    EXPECT_FALSE(EditorOpen(grid));
    grid.ShowEditor();
    Type("x");
    keys.clear();
    EditKey(Qt::Key_Escape); // changed: restored, closed, consumed
    EXPECT_EQ(EditorText(), "pear");
    EXPECT_FALSE(EditorOpen(grid));
    EXPECT_TRUE(keys.empty());
    Editing({goAlwaysShowEditor});
    Type("xy");
    EditKey(Qt::Key_Escape); // an always shown editor stays, its text selected
    EXPECT_TRUE(EditorOpen(grid));
    EXPECT_EQ(EditorText(), "pear");
    EXPECT_EQ(grid.InplaceEditor()->SelLength(), 4);
    EXPECT_EQ(grid.Cells(0, 1), "pear");
    EXPECT_TRUE(notes.empty());
}

TEST_F(DictGrid, CellsSetToTheirOwnTextRaiseNoNotification) {
    Editing();
    FillColumn(grid, 0, {"same", "other"});
    grid.ShowEditor();
    grid.HideEditor();
    QTest::keyClick(grid.Widget(), Qt::Key_F2);
    Type("x");
    EditKey(Qt::Key_Backspace); // typed and taken back
    grid.HideEditor();
    grid.SetEditText(0, 2, "other");
    EXPECT_TRUE(notes.empty());
    grid.SetEditText(0, 2, "changed");
    EXPECT_EQ(notes, (Texts{"0,2=changed"}));
    EXPECT_EQ(grid.Cells(0, 2), "changed");
}

TEST_F(DictGrid, DeleteRowMovesTheRowsBelowUpAndReloadsTheEditor) {
    FillColumn(grid, 0, {"a", "b", "c", "d"});
    for (int r = 1; r <= 4; ++r) grid.SetCells(1, r, std::to_string(r));
    grid.DeleteRow(2);
    EXPECT_EQ(grid.RowCount(), 4);
    EXPECT_EQ(Column(grid, 0), (Texts{"a", "c", "d"}));
    EXPECT_EQ(Column(grid, 1), (Texts{"1", "3", "4"}));
    EXPECT_THROW(grid.DeleteRow(0), EInvalidGridOperation); // the header is no data row
    EXPECT_THROW(grid.DeleteRow(4), EInvalidGridOperation);
    EXPECT_EQ(Column(grid, 0), (Texts{"a", "c", "d"}));
    grid.SetRow(3);
    grid.DeleteRow(3); // the current row, the last one
    EXPECT_EQ(Column(grid, 0), (Texts{"a", "c"}));
    EXPECT_EQ(grid.Row(), 2);
    grid.DeleteRow(2);
    grid.DeleteRow(1);
    EXPECT_EQ(grid.RowCount(), 1);
    EXPECT_THROW(grid.DeleteRow(1), EInvalidGridOperation);
    // An open editor's text is never stored, in no row, and no change is
    // reported: the editor reloads the current cell.
    Editing();
    const struct {
        const char* name;
        int edited, deleted;
        Texts left;
        int row;
        const char* reloaded;
    } cases[] = {
        {"the edited row itself", 2, 2, {"a", "c"}, 2, "c"},
        {"a row above it", 3, 1, {"b", "c"}, 2, "c"},
        {"a row below it", 1, 3, {"a", "b"}, 1, "a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FillColumn(grid, 0, {"a", "b", "c"});
        grid.SetRow(c.edited);
        grid.ShowEditor();
        Type("typed");
        notes.clear();
        grid.DeleteRow(c.deleted);
        EXPECT_EQ(Column(grid, 0), c.left);
        EXPECT_EQ(grid.Row(), c.row);
        EXPECT_EQ(EditorText(), c.reloaded);
        EXPECT_EQ(Editor()->StText, c.reloaded);
        grid.HideEditor();
        EXPECT_EQ(Column(grid, 0), c.left);
        EXPECT_TRUE(notes.empty());
    }
}

TEST_F(DictGrid, TheButtonFollowsTheCellOptions) {
    GiveButtons();
    Editing({goAlwaysShowEditor});
    FillColumn(grid, 1, {"Integer"});
    TNewInplaceEdit* editor = Editor();
    ASSERT_TRUE(editor && EditorOpen(grid));
    TSpeedButton* button = editor->Button();
    EXPECT_EQ(button->Parent(), editor);
    EXPECT_FALSE(button->Visible());
    EXPECT_EQ(editor->TextRect().Right, editor->Width() - 2);
    EXPECT_EQ(editor->MaxLength(), 0);
    QTest::keyClick(grid.Widget(), Qt::Key_Right);
    EXPECT_EQ(grid.InplaceEditor(), editor);
    EXPECT_TRUE(button->Visible());
    EXPECT_EQ(button->BoundsRect(), (TRect{editor->Width() - 20, 0, editor->Width(), editor->Height()}));
    EXPECT_EQ(editor->TextRect(), (TRect{2, 2, editor->Width() - 22, editor->Height()}));
    Type("LongerThanEight");
    EXPECT_EQ(editor->Text(), "LongerTh");
    grid.FocusCell(0, 1);
    EXPECT_FALSE(button->Visible());
}

TEST_F(DictGrid, TheButtonActionRunsOnF3WithTheEditorAndOnAClickWithTheGridAsSender) {
    GiveButtons();
    Editing();
    FillColumn(grid, 1, {"Integer"});
    grid.FocusCell(1, 1);
    grid.ShowEditor();
    TSpeedButton* button = Editor()->Button();
    ASSERT_TRUE(button->Visible());
    QTest::mouseClick(button->Widget(), Qt::LeftButton); // nothing assigned: nothing happens
    const int before = optionCalls;
    EditKey(Qt::Key_F3); // nor here, where the options are not even asked
    EXPECT_EQ(optionCalls, before);
    EXPECT_EQ(EditorText(), "Integer");
    TComponent* sender = nullptr;
    Texts seen;
    grid.OnEditButtonClick = [&](TComponent* from, int c, int r, std::string& s) {
        sender = from;
        seen.push_back(std::to_string(c) + "," + std::to_string(r) + ":" + s);
        s = s == "Integer" ? "Word" : "Date";
    };
    keys.clear();
    EditKey(Qt::Key_F3);
    EXPECT_EQ(sender, grid.InplaceEditor());
    EXPECT_EQ(EditorText(), "Word");
    EXPECT_EQ(keys, (Keys{VK_F3})); // still passed on
    QTest::mouseClick(button->Widget(), Qt::LeftButton);
    EXPECT_EQ(sender, &grid);
    EXPECT_EQ(seen, (Texts{"1,1:Integer", "1,1:Word"}));
    EXPECT_EQ(EditorText(), "Date");
    EXPECT_TRUE(notes.empty()); // stored when the editor leaves the cell
    EditKey(Qt::Key_Return);
    EXPECT_EQ(grid.Cells(1, 1), "Date");
    EXPECT_EQ(notes, (Texts{"1,1=Date"}));
    grid.FocusCell(0, 1); // a cell without the button: F3 only passes on
    grid.ShowEditor();
    EditKey(Qt::Key_F3);
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_EQ(keys.back(), VK_F3);
}

TEST_F(DictGrid, TheEditorWorksOnlyInADictionaryGrid) {
    struct Foreign : TStringGrid {
        TInplaceEdit* CreateEditor() override { return new TNewInplaceEdit(this); }
    } other;
    other.SetOptions({goEditing});
    EXPECT_THROW(other.ShowEditor(), EInvalidCast);
    other.SetCells(0, 1, "kept");
    other.HideEditor();
    EXPECT_EQ(other.Cells(0, 1), "kept");
}

// Pixels of a rectangle that are not of the given colour.
int Ink(const QImage& image, const TRect& r, QRgb ground) {
    int n = 0;
    for (int y = r.Top; y < r.Bottom; ++y)
        for (int x = r.Left; x < r.Right; ++x) n += image.pixel(x, y) != ground;
    return n;
}

int OfColour(const QImage& image, const TRect& r, QRgb colour) {
    return r.Width() * r.Height() - Ink(image, r, colour);
}

TEST_F(DictGrid, DrawsHeaderCellsHighlightAndEditor) {
    grid.SetColCount(3);
    grid.SetColWidths(1, 90);
    test::ShowGrid(grid, 320, 160);
    grid.SetCells(0, 0, "Field");
    grid.SetCells(1, 0, "Type");
    grid.SetCells(0, 1, "WWWW");
    grid.SetCells(1, 2, "Integer");
    GiveButtons();
    grid.FocusCell(2, 3);

    QWidget* client = grid.ClientWidget();
    const QPalette& pal = grid.Widget()->palette();
    QImage image = client->grab().toImage().convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(image.width(), client->width());
    const QRgb base = pal.base().color().rgb();
    const QRgb button = pal.button().color().rgb();
    const QRgb highlight = pal.highlight().color().rgb();

    // The header row on the button colour, with its text inked on it.
    const TRect header = grid.CellRect(0, 0);
    EXPECT_GT(OfColour(image, header, button), header.Width() * header.Height() / 2);
    EXPECT_GT(Ink(image, header, button), 10);
    EXPECT_EQ(Ink(image, grid.CellRect(2, 0), button), 0); // no text there
    // Text in a cell, an empty cell blank, the current cell highlighted.
    EXPECT_GT(Ink(image, grid.CellRect(0, 1), base), 20);
    EXPECT_EQ(Ink(image, grid.CellRect(0, 2), base), 0);
    const TRect current = grid.CellRect(2, 3);
    EXPECT_GT(OfColour(image, current, highlight), current.Width() * current.Height() / 2);
    // Grid lines between the cells.
    EXPECT_NE(image.pixel(grid.CellRect(0, 1).Right, grid.CellRect(0, 1).Top + 5), base);
    EXPECT_NE(image.pixel(grid.CellRect(0, 1).Left + 5, grid.CellRect(0, 1).Bottom), base);

    // The editor over a cell with its text and the drop-down arrow.
    Editing();
    grid.FocusCell(1, 2);
    grid.ShowEditor();
    grid.InplaceEditor()->Deselect();
    test::Settle();
    image = client->grab().toImage().convertToFormat(QImage::Format_RGB32);
    if (const char* dir = std::getenv("BTRKIT_GUI_SNAPSHOTS"))
        image.save(QString(dir) + "/dictgrid.png");
    const TRect edit = grid.InplaceEditor()->BoundsRect();
    EXPECT_EQ(edit, grid.CellRect(1, 2));
    const TRect textArea{edit.Left, edit.Top, edit.Right - 20, edit.Bottom};
    EXPECT_GT(Ink(image, textArea, base), 20);
    ASSERT_NE(Editor(), nullptr);
    const TRect b = Editor()->Button()->BoundsRect();
    const TRect arrow{edit.Left + b.Left + 2, edit.Top + b.Top + 2, edit.Left + b.Right - 2,
                      edit.Top + b.Bottom - 2};
    EXPECT_GT(OfColour(image, arrow, qRgb(0, 0, 0)), 8);
}

} // namespace
} // namespace btr
