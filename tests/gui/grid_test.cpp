#include <QAbstractScrollArea>
#include <QMouseEvent>
#include <QScrollBar>

#include "tests/gui/guitest.h"

namespace btr {
namespace {

using test::AllowEditing;
using test::Column;
using test::EditorOpen;
using test::FillColumn;
using test::Line;
using test::ShowGrid;

class TestGrid : public TStringGrid {
public:
    using TStringGrid::RowMoved;
    using TStringGrid::SetEditText;
    int Limit = 0;
    int Created = 0;
    int GetEditLimit() override { return Limit; }
    TInplaceEdit* CreateEditor() override {
        ++Created;
        return TStringGrid::CreateEditor();
    }
};

struct Edit {
    int col, row;
    std::string value;
    bool operator==(const Edit&) const = default;
};

class Grid : public test::GuiTest {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        grid.OnSetEditText = [this](TComponent* sender, int c, int r, const std::string& v) {
            EXPECT_EQ(sender, &grid);
            edits.push_back({c, r, v});
        };
        ShowGrid(grid);
    }
    void Key(Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
        QTest::keyClick(grid.Widget(), key, mods);
    }
    void EditKey(Qt::Key key) { test::EditKey(grid, key); }
    QPoint CellCenter(int c, int r) {
        const TRect rc = grid.CellRect(c, r);
        return {(rc.Left + rc.Right) / 2, (rc.Top + rc.Bottom) / 2};
    }

    TestGrid grid;
    std::vector<Edit> edits;
};

TEST_F(Grid, CellsResizeRangeChecksAndRowMoves) {
    grid.SetCells(4, 4, "corner"); // five by five to begin with
    grid.SetCells(0, 0, "Имя");
    EXPECT_THROW(grid.Cells(5, 0), EInvalidGridOperation);
    EXPECT_THROW(grid.SetCells(0, 5, "x"), EInvalidGridOperation);
    EXPECT_THROW(grid.Cells(-1, 0), EInvalidGridOperation);

    grid.SetRowCount(4);
    grid.SetRowCount(5);
    EXPECT_EQ(grid.Cells(4, 4), ""); // dropped with its row, not kept behind
    EXPECT_THROW(grid.SetRowCount(0), EInvalidGridOperation);
    EXPECT_THROW(grid.SetColCount(0), EInvalidGridOperation);
    EXPECT_EQ(grid.RowCount(), 5);
    EXPECT_EQ(grid.Cells(0, 0), "Имя");

    // The current cell stays inside the grid; only the header row left.
    grid.FocusCell(4, 4);
    grid.SetColCount(2);
    grid.SetRowCount(3);
    EXPECT_EQ(grid.Col(), 1);
    EXPECT_EQ(grid.Row(), 2);
    grid.SetRowCount(1);
    EXPECT_EQ(grid.Row(), 1);
    EXPECT_NO_THROW(grid.SetRow(1)); // setting it again is no move
    EXPECT_THROW(grid.SetRow(0), EInvalidGridOperation);
    // RowMoved carries every column and leaves the current row.
    FillColumn(grid, 0, {"a", "b", "c", "d"});
    for (int r = 1; r <= 4; ++r) grid.SetCells(1, r, std::to_string(r));
    grid.SetRow(2);
    grid.RowMoved(1, 3);
    EXPECT_EQ(Column(grid, 0), (std::vector<std::string>{"b", "c", "a", "d"}));
    EXPECT_EQ(Column(grid, 1), (std::vector<std::string>{"2", "3", "1", "4"}));
    grid.RowMoved(4, 1);
    EXPECT_EQ(Column(grid, 0), (std::vector<std::string>{"d", "b", "c", "a"}));
    EXPECT_EQ(grid.Row(), 2);
    EXPECT_THROW(grid.RowMoved(1, 5), EInvalidGridOperation);
    EXPECT_EQ(Column(grid, 0), (std::vector<std::string>{"d", "b", "c", "a"}));
}

TEST_F(Grid, KeyboardNavigationAfterOnKeyDown) {
    grid.SetRowCount(30);
    const int page = grid.VisibleRowCount();
    ASSERT_GT(page, 1);
    // One step: a key and the cell it leads to.
    auto step = [&](const char* name, Qt::Key key, Qt::KeyboardModifiers mods, int col, int row) {
        Key(key, mods);
        EXPECT_EQ(grid.Col(), col) << name;
        EXPECT_EQ(grid.Row(), row) << name;
    };
    step("Down", Qt::Key_Down, {}, 0, 2);
    step("Right", Qt::Key_Right, {}, 1, 2);
    step("Up", Qt::Key_Up, {}, 1, 1);
    step("Up at the first data row, never the header", Qt::Key_Up, {}, 1, 1);
    step("End", Qt::Key_End, {}, 4, 1);
    step("Home", Qt::Key_Home, {}, 0, 1);
    step("PageDown", Qt::Key_PageDown, {}, 0, 1 + page);
    step("PageUp", Qt::Key_PageUp, {}, 0, 1);
    step("Ctrl+End", Qt::Key_End, Qt::ControlModifier, 4, 29);
    EXPECT_EQ(grid.TopRow(), 30 - page); // the last row is in view
    step("Ctrl+Home", Qt::Key_Home, Qt::ControlModifier, 0, 1);
    EXPECT_EQ(grid.TopRow(), 1);
    // Tab moves between cells only with goTabs, wrapping at the row's ends.
    grid.FocusCell(4, 1);
    step("Tab without goTabs", Qt::Key_Tab, {}, 4, 1);
    grid.SetOptions(grid.Options() + TGridOptions{goTabs});
    step("Tab", Qt::Key_Tab, {}, 0, 2);
    step("Backtab", Qt::Key_Backtab, Qt::ShiftModifier, 4, 1);
    // OnKeyDown sees every key first and may consume it.
    std::vector<uint16_t> keys;
    grid.OnKeyDown = [&](TComponent*, uint16_t& key, TShiftState) {
        keys.push_back(key);
        if (key == VK_DOWN) key = 0;
    };
    step("Down consumed", Qt::Key_Down, {}, 4, 1);
    step("Home", Qt::Key_Home, {}, 0, 1);
    EXPECT_EQ(keys, (std::vector<uint16_t>{VK_DOWN, VK_HOME}));
}

TEST_F(Grid, MouseSelectsEditsAndSizesColumns) {
    QWidget* client = grid.ClientWidget();
    QTest::mouseClick(client, Qt::LeftButton, {}, CellCenter(2, 3));
    EXPECT_EQ(grid.Col(), 2);
    EXPECT_EQ(grid.Row(), 3);
    QTest::mouseClick(client, Qt::LeftButton, {}, CellCenter(1, 0)); // header: no move
    EXPECT_EQ(grid.Col(), 2);
    EXPECT_EQ(grid.Row(), 3);
    QTest::mouseClick(client, Qt::LeftButton, {}, CellCenter(2, 3)); // no goEditing
    EXPECT_FALSE(EditorOpen(grid));

    AllowEditing(grid, {goColSizing});
    QTest::mouseDClick(client, Qt::LeftButton, {}, CellCenter(0, 1));
    EXPECT_EQ(grid.Row(), 1);
    EXPECT_TRUE(EditorOpen(grid));
    grid.HideEditor();
    QTest::mouseClick(client, Qt::LeftButton, {}, CellCenter(0, 1)); // a click on the current cell
    EXPECT_TRUE(EditorOpen(grid));
    grid.HideEditor();

    const TRect header = grid.CellRect(0, 0);
    const QPoint border(header.Right, header.Top + 5);
    QTest::mousePress(client, Qt::LeftButton, {}, border);
    QMouseEvent move(QEvent::MouseMove, QPointF(border + QPoint(30, 0)),
                     client->mapToGlobal(QPointF(border + QPoint(30, 0))), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(client, &move);
    QTest::mouseRelease(client, Qt::LeftButton, {}, border + QPoint(30, 0));
    EXPECT_EQ(grid.ColWidths(0), 64 + 30);
}

TEST_F(Grid, EditingStoresEveryChangeAndNotifies) {
    grid.SetCells(0, 1, "old");
    EXPECT_EQ(grid.InplaceEditor(), nullptr); // made only when first needed
    QTest::keyClicks(grid.Widget(), "x"); // no way into an edit without goEditing
    Key(Qt::Key_Return);
    Key(Qt::Key_F2);
    grid.ShowEditor();
    EXPECT_FALSE(EditorOpen(grid));
    EXPECT_EQ(grid.Cells(0, 1), "old");
    AllowEditing(grid);
    Key(Qt::Key_Return);
    ASSERT_TRUE(EditorOpen(grid));
    EXPECT_EQ(grid.Created, 1);
    EXPECT_EQ(grid.InplaceEditor()->Text(), "old");
    EXPECT_EQ(grid.InplaceEditor()->SelLength(), 3); // selected: typing replaces
    QTest::keyClicks(Line(grid), "ne");
    EXPECT_EQ(grid.Cells(0, 1), "ne");
    EXPECT_EQ(edits, (std::vector<Edit>{{0, 1, "n"}, {0, 1, "ne"}}));
    EditKey(Qt::Key_Return);
    EXPECT_FALSE(EditorOpen(grid));

    // F2 edits with the caret at the end; Escape closes and keeps the text.
    Key(Qt::Key_F2);
    ASSERT_TRUE(EditorOpen(grid));
    EXPECT_EQ(grid.InplaceEditor()->SelLength(), 0);
    EXPECT_EQ(grid.InplaceEditor()->SelStart(), 2);
    QTest::keyClicks(Line(grid), "w");
    EditKey(Qt::Key_Escape);
    EXPECT_FALSE(EditorOpen(grid));
    EXPECT_EQ(grid.Cells(0, 1), "new");

    // Typing into the grid starts an edit that replaces the text.
    Key(Qt::Key_Down);
    grid.SetCells(0, 2, "xyz");
    QTest::keyClicks(grid.Widget(), "q");
    ASSERT_TRUE(EditorOpen(grid));
    EXPECT_EQ(grid.Cells(0, 2), "q");
    QTest::keyClicks(grid.Widget(), "r"); // the grid passes typing to its open editor
    EXPECT_EQ(grid.Cells(0, 2), "qr");
    EXPECT_EQ(grid.Created, 1); // the same editor throughout
    grid.SetOptions({goEditing, goRowSelect}); // whole-row selection edits nothing either
    EXPECT_FALSE(EditorOpen(grid));
    grid.ShowEditor();
    EXPECT_FALSE(EditorOpen(grid));
}

TEST_F(Grid, TheEditorShowsProgramStoresHidingStoresItsTextAndALimitCutsNothingLoaded) {
    AllowEditing(grid);
    grid.FocusCell(1, 2);
    grid.ShowEditor();
    grid.SetCells(1, 2, "same");
    EXPECT_EQ(grid.InplaceEditor()->Text(), "same");
    grid.HideEditor();
    EXPECT_EQ(edits, (std::vector<Edit>{{1, 2, "same"}}));
    grid.SetEditText(1, 2, "direct");
    EXPECT_EQ(grid.Cells(1, 2), "direct");
    EXPECT_EQ(edits.size(), 2u);
    // An edit limit never cuts a loaded text.
    grid.Limit = 3;
    grid.SetCells(0, 1, "longer text");
    grid.FocusCell(0, 1);
    grid.ShowEditor();
    EXPECT_EQ(grid.InplaceEditor()->Text(), "longer text");
    grid.InplaceEditor()->Deselect();
    QTest::keyClicks(Line(grid), "s"); // no room to grow
    EditKey(Qt::Key_Backspace);
    grid.HideEditor();
    EXPECT_EQ(grid.Cells(0, 1), "longer tex");
}

TEST_F(Grid, AlwaysShownEditorFollowsTheCurrentCell) {
    ShowGrid(grid, 400, 150);
    grid.SetRowCount(40);
    grid.SetCells(0, 1, "one");
    grid.SetCells(0, 2, "two");
    AllowEditing(grid, {goAlwaysShowEditor});
    ASSERT_TRUE(EditorOpen(grid));
    EXPECT_TRUE(grid.EditorMode());
    QTest::keyClicks(Line(grid), "1");
    EditKey(Qt::Key_Down);
    EXPECT_EQ(grid.Row(), 2);
    ASSERT_TRUE(EditorOpen(grid));
    EXPECT_EQ(grid.InplaceEditor()->Text(), "two");
    EXPECT_EQ(grid.Cells(0, 1), "1");
    EXPECT_EQ(grid.InplaceEditor()->BoundsRect(), grid.CellRect(0, 2));
    // The text rectangle keeps two pixels to the left, top and right.
    const TRect cell = grid.CellRect(0, 2);
    EXPECT_EQ(grid.InplaceEditor()->TextRect(), (TRect{2, 2, cell.Width() - 2, cell.Height()}));

    // Scrolling far down carries the editor with its cell.
    grid.FocusCell(0, 35);
    EXPECT_GT(grid.TopRow(), 1);
    EXPECT_EQ(grid.InplaceEditor()->BoundsRect(), grid.CellRect(0, 35));
    static_cast<QAbstractScrollArea*>(grid.Widget())->verticalScrollBar()->setValue(0);
    EXPECT_EQ(grid.TopRow(), 1);
    EXPECT_TRUE(grid.CellRect(0, 35).IsEmpty());
    EXPECT_LT(grid.InplaceEditor()->Top(), 0); // out of sight, still open
    EXPECT_TRUE(EditorOpen(grid));

    // Left moves the caret, and leaves the cell at the text's start.
    grid.SetCells(1, 2, "ab");
    grid.FocusCell(1, 2);
    grid.InplaceEditor()->Deselect();
    EditKey(Qt::Key_Left);
    EditKey(Qt::Key_Left);
    EXPECT_EQ(grid.Col(), 1);
    EditKey(Qt::Key_Left);
    EXPECT_EQ(grid.Col(), 0);
}

TEST_F(Grid, HandlerErrorsAreShownAndStopTheMoveAndADestroyedEditorIsForgotten) {
    AllowEditing(grid);
    grid.ShowEditor();
    grid.OnSetEditText = [](TComponent*, int, int, const std::string& v) {
        if (v == "bad") throw Exception("refused");
    };
    grid.InplaceEditor()->SetText("ok");
    EXPECT_THROW(grid.InplaceEditor()->SetText("bad"), Exception);
    EditKey(Qt::Key_Down);
    ASSERT_EQ(Boxes, (std::vector<std::string>{"refused"}));
    Boxes.clear();
    EXPECT_EQ(grid.Row(), 1);
    EXPECT_TRUE(EditorOpen(grid));
    // An editor destroyed elsewhere is forgotten, and made again when needed.
    delete grid.InplaceEditor();
    EXPECT_EQ(grid.InplaceEditor(), nullptr);
    grid.ShowEditor();
    EXPECT_TRUE(EditorOpen(grid));
    EXPECT_EQ(grid.Created, 2);
}

TEST_F(Grid, AGridWhoseFormWentKeepsItsCells) {
    grid.SetOptions({goEditing, goAlwaysShowEditor});
    {
        QWidget form;
        grid.SetParentWidget(&form);
        form.show();
        test::Settle();
        ASSERT_TRUE(EditorOpen(grid));
    } // the form deletes the grid's window and the editor's with it
    EXPECT_EQ(grid.Widget(), nullptr);
    grid.SetCells(0, 1, "still here");
    grid.FocusCell(1, 2);
    EXPECT_NO_THROW(grid.ShowEditor());
    EXPECT_EQ(grid.Cells(0, 1), "still here");
    EXPECT_EQ(grid.VisibleRowCount(), 0);
}

} // namespace
} // namespace btr
