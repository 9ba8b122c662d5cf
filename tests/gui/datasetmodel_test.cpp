#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QTableView>

#include "gui/datasetmodel.h"
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

} // namespace
} // namespace btr
