// Shared pieces of the GUI tests.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QApplication>
#include <QImage>
#include <QLineEdit>
#include <QTest>
#include <string>
#include <vector>

#include "gui/grids.h"
#include "platform/ui.h"

namespace btr::test {

inline void Settle() {
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}

inline void ShowGrid(TStringGrid& grid, int width = 400, int height = 200) {
    grid.SetBounds(0, 0, width, height);
    grid.Show();
    Settle();
}

// Column texts from row 1 on; the grid gets as many rows as texts.
inline void FillColumn(TStringGrid& grid, int col, const std::vector<std::string>& texts) {
    grid.SetRowCount(static_cast<int>(texts.size()) + 1);
    for (size_t i = 0; i < texts.size(); ++i) grid.SetCells(col, static_cast<int>(i) + 1, texts[i]);
}

inline std::vector<std::string> Column(const TStringGrid& grid, int col) {
    std::vector<std::string> texts;
    for (int row = 1; row < grid.RowCount(); ++row) texts.push_back(grid.Cells(col, row));
    return texts;
}

inline QLineEdit* Line(const TStringGrid& grid) {
    return grid.InplaceEditor() ? static_cast<QLineEdit*>(grid.InplaceEditor()->Widget()) : nullptr;
}

inline bool EditorOpen(const TStringGrid& grid) {
    return grid.InplaceEditor() && grid.InplaceEditor()->Visible();
}

inline void EditKey(const TStringGrid& grid, Qt::Key key) { QTest::keyClick(Line(grid), key); }

inline void AllowEditing(TStringGrid& grid, TGridOptions extra = {}) {
    grid.SetOptions(grid.Options() + TGridOptions{goEditing} + extra);
}

// Fetches every row a model has to give.
inline void FetchAll(QAbstractItemModel& model) {
    while (model.canFetchMore({})) model.fetchMore({});
}

// Pixels dark enough to be text.
inline int DarkPixels(const QImage& image) {
    int dark = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) dark += qGray(image.pixel(x, y)) < 100;
    return dark;
}

// Every message box a test causes is an error that reached the event loop:
// recorded here and checked at the end unless the test takes them.
class GuiTest : public ::testing::Test {
protected:
    void SetUp() override {
        FOld = SetMessageBoxHandler([this](const std::string& text, const std::string&, uint32_t) {
            Boxes.push_back(text);
            return IDOK;
        });
    }
    void TearDown() override {
        SetMessageBoxHandler(FOld);
        EXPECT_TRUE(Boxes.empty()) << "unexpected message box: " << (Boxes.empty() ? "" : Boxes[0]);
    }
    std::vector<std::string> Boxes;

private:
    TMessageBoxHandler FOld;
};

} // namespace btr::test
