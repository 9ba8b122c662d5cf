// btrstudio on the offscreen platform: the demo's dictionary opened, a
// field's type changed through the grid's drop-down, saved, the data file
// created from it and records browsed; and a screenshot under Xvfb.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QLineEdit>
#include <QListWidget>
#include <QTest>

#include <cstdlib>
#include <filesystem>
#include <set>

#include "apps/btrstudio/studio.h"
#include "engine/btrfile.h"
#include "platform/ui.h"
#include "tests/support/tempdir.h"

namespace btr::studio {
namespace {

class Studio : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string cmd = "'" BTRTOOL "' demo '" + FDir.Path().string() + "' >/dev/null 2>&1";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        FDict = FDir.File("DEMO.DIC");
        FOld = SetMessageBoxHandler([this](const std::string& text, const std::string&, uint32_t) {
            Asked.push_back(text);
            return IDYES;
        });
    }
    void TearDown() override { SetMessageBoxHandler(FOld); }
    static void Settle() {
        for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
    }
    int Row(TDictGrid& grid, int col, const std::string& text) {
        for (int r = 1; r < grid.RowCount(); ++r)
            if (grid.Cells(col, r) == text) return r;
        return -1;
    }

    test::TempDir FDir;
    std::string FDict;
    std::vector<std::string> Asked;
    TMessageBoxHandler FOld;
};

TEST_F(Studio, ChangeATypeSaveCreateAndBrowse) {
    TStudioWindow w;
    w.show();
    w.OpenDictionary(FDict);
    Settle();
    ASSERT_EQ(w.FileList()->count(), 2);
    ASSERT_EQ(w.FileList()->item(0)->text().toStdString(), "CLIENTS.DAT");
    TDictGrid& fields = w.FieldGrid();
    const int balance = Row(fields, TStudioWindow::fcName, "Balance");
    ASSERT_GT(balance, 0);
    EXPECT_EQ(fields.Cells(TStudioWindow::fcType, balance), "Decimal");
    EXPECT_EQ(fields.Cells(TStudioWindow::fcOffset, balance), "60");

    // F3 in the type cell opens the type list; the user picks Longint.
    std::vector<std::string> offered;
    w.Chooser = [&](const std::vector<std::string>& choices, const std::string& current) {
        offered = choices;
        EXPECT_EQ(current, "Decimal");
        return std::optional<std::string>("Longint");
    };
    fields.FocusCell(TStudioWindow::fcType, balance);
    fields.ShowEditor();
    Settle();
    auto* line = static_cast<QLineEdit*>(fields.InplaceEditor()->Widget());
    QTest::keyClick(line, Qt::Key_F3);
    EXPECT_EQ(offered.size(), 22u);
    EXPECT_EQ(line->text().toStdString(), "Longint");
    fields.HideEditor();
    EXPECT_EQ(fields.Cells(TStudioWindow::fcType, balance), "Longint");
    EXPECT_EQ(fields.Cells(TStudioWindow::fcLength, balance), "4"); // a Longint is 4 bytes
    // A length typed for a fixed-length type does not stick.
    fields.FocusCell(TStudioWindow::fcLength, balance);
    fields.ShowEditor();
    static_cast<QLineEdit*>(fields.InplaceEditor()->Widget())->setText("7");
    fields.HideEditor();
    EXPECT_EQ(fields.Cells(TStudioWindow::fcLength, balance), "4");

    w.Save();
    {
        TDictFile dict(FDict);
        dict.SetReadOnly(true);
        dict.SetActive(true);
        const auto files = apps::ReadDictionary(dict);
        ASSERT_EQ(files.size(), 2u);
        const auto& balanceField = files[0].fields[4];
        EXPECT_EQ(balanceField.name, "Balance");
        EXPECT_EQ(balanceField.type, 3);
        EXPECT_EQ(balanceField.length, 4);
        EXPECT_EQ(files[0].segments.size(), 3u); // the keys came back as they were
        EXPECT_EQ(files[0].segments[1].flags & kfSegmented, kfSegmented);
    }

    // The data file made from the new description: 60 + 4 bytes, empty.
    w.CreateDataFile();
    ASSERT_EQ(Asked.size(), 1u); // the overwrite question, answered yes
    TBtrieveFile file;
    file.SetFileName(FDir.File("CLIENTS.DAT"));
    file.SetActive(true);
    EXPECT_EQ(file.RecordLen(), 64);
    EXPECT_EQ(file.NumberOfRecords(), 0);
    file.SetActive(false);

    // Orders, browsed, then only client 7's on key 1.
    w.FileList()->setCurrentRow(1);
    Settle();
    TDataWindow* data = w.OpenData();
    Settle();
    TDataSetModel& model = data->Model();
    while (model.canFetchMore({})) model.fetchMore({});
    EXPECT_EQ(model.rowCount(), 4000);
    data->ApplyRange(1, "7", "7");
    while (model.canFetchMore({})) model.fetchMore({});
    ASSERT_GT(model.rowCount(), 0);
    EXPECT_LT(model.rowCount(), 40);
    for (int r = 0; r < model.rowCount(); ++r) EXPECT_EQ(model.data(model.index(r, 1)).toString(), "7");
}

TEST_F(Studio, BadDescriptionsAreRefusedWithoutWriting) {
    TStudioWindow w;
    w.OpenDictionary(FDict);
    TDictGrid& keys = w.KeyGrid();
    keys.SetCells(TStudioWindow::kcField, 1, "NoSuchField");
    EXPECT_THROW(w.Save(), Exception);
    keys.SetCells(TStudioWindow::kcField, 1, "Code");
    keys.SetCells(TStudioWindow::kcFlags, 1, "sideways");
    EXPECT_THROW(w.Save(), Exception);
    w.FieldGrid().SetCells(TStudioWindow::fcType, 1, "Nonsense");
    EXPECT_THROW(w.Save(), Exception);
    TDictFile dict(FDict);
    dict.SetReadOnly(true);
    dict.SetActive(true);
    EXPECT_EQ(apps::ReadDictionary(dict)[0].fields[0].type, 3); // untouched
}

TEST(StudioScreen, ADrawnWindowUnderXvfb) {
    test::TempDir dir;
    ASSERT_EQ(std::system(("'" BTRTOOL "' demo '" + dir.Path().string() + "' >/dev/null 2>&1").c_str()), 0);
    const std::string shot = dir.File("shot.png");
    const std::string cmd = "env -u QT_QPA_PLATFORM xvfb-run -a -s '-screen 0 1024x768x24' '" BTRSTUDIO "' '" +
                            dir.File("DEMO.DIC") + "' --file ORDERS.DAT --data --screenshot '" + shot + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    QImage image(QString::fromStdString(shot));
    ASSERT_FALSE(image.isNull());
    std::set<QRgb> colours;
    int dark = 0;
    for (int y = 0; y < image.height(); y += 3)
        for (int x = 0; x < image.width(); x += 3) {
            colours.insert(image.pixel(x, y));
            dark += qGray(image.pixel(x, y)) < 90 ? 1 : 0;
        }
    EXPECT_GT(colours.size(), 3u);
    EXPECT_GT(dark, 100); // text was drawn
}

} // namespace
} // namespace btr::studio

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // The build lists the tests too, with no display and no ctest environment.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
