// The item model over a TBDataSet on the embedded engine: a dictionary-
// described file browsed far past the buffer ring and edited through the model.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTableView>

#include "dataset/btrset.h"
#include "gui/datasetmodel.h"
#include "tests/dictionary/dict_support.h"
#include "tests/gui/guitest.h"

namespace btr {
namespace {

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
    // Read back through a dataset of its own.
    TBDataSet other;
    other.SetDictName(FDir.File("DICT.DAT"));
    other.SetBaseName(FDir.File("PEOPLE.DAT"));
    other.Open();
    ASSERT_TRUE(other.Locate("Code", Variant(451), {}));
    EXPECT_EQ(other.FieldByName("Name")->AsString(), "Пётр");
}

TEST_F(BtrSetModel, AViewShowsTheRecords) {
    TDataSetModel model(&FSet);
    QTableView view;
    view.setModel(&model);
    view.resize(500, 300);
    view.show();
    QApplication::processEvents();
    EXPECT_GT(model.rowCount(), 0);
    view.scrollToBottom();
    QApplication::processEvents();
    test::FetchAll(model);
    EXPECT_EQ(model.rowCount(), 700);
    EXPECT_GT(test::DarkPixels(view.grab().toImage()), 50); // text was drawn
}

} // namespace
} // namespace btr
