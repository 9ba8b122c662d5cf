// The item model over datasets: the in-memory one, and a TBDataSet on the
// embedded engine with a dictionary-described file, both browsed far past the
// buffer ring and edited through the model.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QTableView>

#include "dataset/btrset.h"
#include "gui/datasetmodel.h"
#include "tests/dictionary/dict_support.h"
#include "tests/framework/testutil.h"
#include "tests/gui/guitest.h"

namespace btr {
namespace {

TEST(DataSetModel, RowsArriveInBatchesFarPastTheRingAndEditsArePosted) {
    auto ds = test::People(500);
    TDataSetModel model(ds.get());
    model.SetBatchSize(50);
    EXPECT_EQ(model.columnCount(), 3);
    EXPECT_EQ(model.headerData(1, Qt::Horizontal).toString(), "Name");
    EXPECT_EQ(model.rowCount(), 0);
    test::FetchAll(model);
    ASSERT_EQ(model.rowCount(), 500); // far past any buffer ring
    EXPECT_EQ(model.data(model.index(0, 0)).toString(), "1");
    EXPECT_EQ(model.data(model.index(499, 1)).toString(), "N500");
    EXPECT_EQ(test::CurrentId(*ds), 1); // the cursor is back where it was

    ASSERT_TRUE(model.flags(model.index(100, 1)) & Qt::ItemIsEditable);
    ASSERT_TRUE(model.setData(model.index(100, 1), QString("Peter")));
    EXPECT_EQ(ds->State(), dsBrowse);
    EXPECT_EQ(ds->FieldByName("Name")->AsString(), "Peter");
    EXPECT_EQ(test::CurrentId(*ds), 101);
    EXPECT_EQ(model.data(model.index(100, 1)).toString(), "Peter");
    EXPECT_FALSE(model.setData(model.index(100, 0), QString("x"), Qt::DisplayRole));
}

TEST(DataSetModel, FollowsTheDatasetAndShowsInAView) {
    auto ds = test::People(30);
    TDataSetModel model(ds.get());
    QTableView view;
    view.setModel(&model);
    view.resize(400, 300);
    view.show();
    QApplication::processEvents();
    EXPECT_GT(model.rowCount(), 0); // the view fetched what it shows

    // A change made outside the model reaches the rows it shows.
    ds->First();
    ds->Edit();
    ds->FieldByName("Name")->SetAsString("Changed");
    ds->Post();
    test::FetchAll(model);
    EXPECT_EQ(model.data(model.index(0, 1)).toString(), "Changed");

    ds->Close();
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_EQ(model.columnCount(), 0);
    ds->Open();
    test::FetchAll(model);
    EXPECT_EQ(model.rowCount(), 30);

    QImage shot(view.size(), QImage::Format_RGB32);
    view.render(&shot);
    EXPECT_GT(test::DarkPixels(shot), 50); // text was drawn
}

class BtrSetModel : public ::testing::Test {
protected:
    void SetUp() override {
        FOldDir = std::filesystem::current_path();
        std::filesystem::current_path(FDir.Path());
        {
            test::DictBuilder b(FDir.File("DICT.DAT"));
            b.AddFile("PEOPLE.DAT");
            b.AddFields("PEOPLE.DAT", {{"Code", 3, 4}, {"Name", 9, 21}, {"Town", 1, 15}});
            b.AddSegments("PEOPLE.DAT", {{"Code", 0x0100}, {"Town", 0x0100 | 0x0001 | 0x0002}});
            b.Dict().CreateFile("PEOPLE.DAT");
        }
        FSet.SetDictName(FDir.File("DICT.DAT"));
        FSet.SetBaseName(FDir.File("PEOPLE.DAT"));
        FSet.Open();
        for (int i = 1; i <= 700; ++i)
            FSet.AppendRecord({Variant(i), Variant("Имя " + std::to_string(i)), Variant(i % 2 ? "Тула" : "Омск")});
        FSet.First();
    }
    void TearDown() override {
        FSet.Close();
        std::filesystem::current_path(FOldDir);
    }

    test::TempDir FDir;
    std::filesystem::path FOldDir;
    TBDataSet FSet;
};

// The first fetch reads a batch, each later one twice the one before up to
// a cap; a reload starts small again.
TEST_F(BtrSetModel, BatchesGrowAsTheViewScrollsOn) {
    TDataSetModel model(&FSet);
    model.SetBatchSize(10);
    const int cap = 10 * TDataSetModel::kBatchGrowth;
    std::vector<int> want;
    for (int rows = 0, batch = 10; rows < 700; batch = std::min(2 * batch, cap)) want.push_back(rows = std::min(rows + batch, 700));
    std::vector<int> got;
    while (model.canFetchMore({})) {
        model.fetchMore({});
        got.push_back(model.rowCount());
    }
    EXPECT_EQ(got, want);
    EXPECT_EQ(model.data(model.index(699, 0)).toString(), "700");
    FSet.Refresh(); // the dataset changed: the model starts again
    EXPECT_EQ(model.rowCount(), 0);
    model.fetchMore({});
    EXPECT_EQ(model.rowCount(), 10);
}

TEST_F(BtrSetModel, BrowsesTheWholeFileInKeyOrderAndEditsReachTheFile) {
    TDataSetModel model(&FSet);
    model.SetBatchSize(64);
    ASSERT_EQ(model.columnCount(), 3);
    EXPECT_EQ(model.headerData(2, Qt::Horizontal).toString(), "Town");
    test::FetchAll(model);
    ASSERT_EQ(model.rowCount(), 700);
    EXPECT_EQ(model.data(model.index(0, 1)).toString(), QString::fromUtf8("Имя 1"));
    EXPECT_EQ(model.data(model.index(699, 0)).toString(), "700");
    EXPECT_EQ(model.data(model.index(698, 2)).toString(), QString::fromUtf8("Тула")); // 866 on disk
    ASSERT_TRUE(model.setData(model.index(450, 1), QString::fromUtf8("Пётр")));
    EXPECT_EQ(model.data(model.index(450, 1)).toString(), QString::fromUtf8("Пётр"));
    ASSERT_TRUE(model.setData(model.index(451, 1), QString())); // an empty cell between two others
    EXPECT_EQ(model.data(model.index(451, 1)).toString(), "");
    EXPECT_EQ(model.data(model.index(451, 2)).toString(), QString::fromUtf8("Омск"));
    // Read back through a dataset of its own: every cell of every row is its
    // field's display text, in key order.
    TBDataSet other;
    other.SetDictName(FDir.File("DICT.DAT"));
    other.SetBaseName(FDir.File("PEOPLE.DAT"));
    other.Open();
    int row = 0;
    for (other.First(); !other.Eof(); other.Next(), ++row)
        for (int c = 0; c < model.columnCount(); ++c)
            ASSERT_EQ(model.data(model.index(row, c)).toString(), QString::fromStdString(other.Fields()[c]->DisplayText()))
                << row << ", " << c;
    EXPECT_EQ(row, 700);
    ASSERT_TRUE(other.Locate("Code", Variant(451), {}));
    EXPECT_EQ(other.FieldByName("Name")->AsString(), "Пётр");
}

} // namespace
} // namespace btr
