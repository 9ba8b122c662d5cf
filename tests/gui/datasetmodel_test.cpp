#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QTableView>

#include "gui/datasetmodel.h"
#include "tests/framework/memdataset.h"

namespace btr {
namespace {

std::unique_ptr<test::TMemDataSet> People(int count) {
    auto ds = std::make_unique<test::TMemDataSet>(
        std::vector<test::MemColumn>{{"Code", ftInteger}, {"Name", ftString, 20}});
    ds->Open();
    for (int i = 1; i <= count; ++i) ds->AppendRecord({Variant(i), Variant("Имя " + std::to_string(i))});
    ds->First();
    return ds;
}

TEST(DataSetModel, ColumnsAreFieldsAndRowsArriveAsViewsScroll) {
    auto ds = People(500);
    TDataSetModel model(ds.get());
    model.SetBatchSize(50);
    EXPECT_EQ(model.columnCount(), 2);
    EXPECT_EQ(model.headerData(1, Qt::Horizontal).toString(), "Name");
    EXPECT_EQ(model.rowCount(), 0);
    while (model.canFetchMore({})) model.fetchMore({});
    ASSERT_EQ(model.rowCount(), 500); // far past any buffer ring
    EXPECT_EQ(model.data(model.index(0, 0)).toString(), "1");
    EXPECT_EQ(model.data(model.index(499, 1)).toString(), QString::fromUtf8("Имя 500"));
    EXPECT_EQ(ds->FieldByName("Code")->AsInteger(), 1); // the cursor is back where it was
}

TEST(DataSetModel, EditsArePostedToTheDataset) {
    auto ds = People(120);
    TDataSetModel model(ds.get());
    model.SetBatchSize(40);
    while (model.canFetchMore({})) model.fetchMore({});
    ASSERT_TRUE(model.flags(model.index(100, 1)) & Qt::ItemIsEditable);
    ASSERT_TRUE(model.setData(model.index(100, 1), QString::fromUtf8("Пётр")));
    EXPECT_EQ(ds->State(), dsBrowse);
    EXPECT_EQ(ds->FieldByName("Name")->AsString(), "Пётр");
    EXPECT_EQ(ds->FieldByName("Code")->AsInteger(), 101);
    EXPECT_EQ(model.data(model.index(100, 1)).toString(), QString::fromUtf8("Пётр"));
    EXPECT_FALSE(model.setData(model.index(100, 0), QString("x"), Qt::DisplayRole));
}

TEST(DataSetModel, FollowsTheDatasetAndShowsInAView) {
    auto ds = People(30);
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
    while (model.canFetchMore({})) model.fetchMore({});
    EXPECT_EQ(model.data(model.index(0, 1)).toString(), "Changed");

    ds->Close();
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_EQ(model.columnCount(), 0);
    ds->Open();
    while (model.canFetchMore({})) model.fetchMore({});
    EXPECT_EQ(model.rowCount(), 30);

    QImage shot(view.size(), QImage::Format_RGB32);
    view.render(&shot);
    int dark = 0; // text was drawn
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x) dark += qGray(shot.pixel(x, y)) < 100;
    EXPECT_GT(dark, 50);
}

} // namespace
} // namespace btr
