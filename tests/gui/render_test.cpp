#include <QImage>
#include <QPixmap>
#include <QWidget>
#include <cstdlib>

#include "tests/gui/guitest.h"
#include "tools/dictgrid.h"

namespace btr {
namespace {

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

class Render : public test::GuiTest {};

TEST_F(Render, TheGridDrawsHeaderCellsHighlightAndEditor) {
    TDictGrid grid;
    grid.SetColCount(3);
    grid.SetColWidths(1, 90);
    test::ShowGrid(grid, 320, 160);
    grid.SetCells(0, 0, "Field");
    grid.SetCells(1, 0, "Type");
    grid.SetCells(0, 1, "WWWW");
    grid.SetCells(1, 2, "Integer");
    grid.OnGetEditOptions = [](TComponent*, int c, int, int& opts, int&) {
        opts = c == 1 ? EditOptionButton : 0;
    };
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
    grid.SetOptions(grid.Options() + TGridOptions{goEditing});
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
    auto* editor = dynamic_cast<TNewInplaceEdit*>(grid.InplaceEditor());
    ASSERT_NE(editor, nullptr);
    const TRect b = editor->Button()->BoundsRect();
    const TRect arrow{edit.Left + b.Left + 2, edit.Top + b.Top + 2, edit.Left + b.Right - 2,
                      edit.Top + b.Bottom - 2};
    EXPECT_GT(OfColour(image, arrow, qRgb(0, 0, 0)), 8);
}

} // namespace
} // namespace btr
