// Navigation through the buffer ring, resynchronising, bookmarks, search.
#include <gtest/gtest.h>

#include "tests/framework/testutil.h"

namespace btr::test {
namespace {

class Ring : public ::testing::TestWithParam<bool> {};  // the dataset's answer at the ends

TEST_P(Ring, WalksBothWaysWithMoreRecordsThanBuffers) {
    Viewed v(10, 3, GetParam());
    EXPECT_EQ(v.ds->BufferCount(), 3);
    EXPECT_EQ(Ids(*v.ds), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(CurrentId(*v.ds), 10);  // Eof stays on the last record
    EXPECT_EQ(v.link.RowIds(), (std::vector<int>{8, 9, 10}));
    EXPECT_EQ(Ids(*v.ds, true), (std::vector<int>{10, 9, 8, 7, 6, 5, 4, 3, 2, 1}));
    EXPECT_EQ(CurrentId(*v.ds), 1);
    EXPECT_EQ(v.link.RowIds(), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(v.link.ActiveRecord(), 0);
}

TEST_P(Ring, MoveByCountsOnlyTheRecordsItPassed) {
    Viewed v(10, 4, GetParam());
    EXPECT_EQ(v.ds->MoveBy(6), 6);
    EXPECT_EQ(CurrentId(*v.ds), 7);
    EXPECT_EQ(v.ds->MoveBy(100), 3);
    EXPECT_TRUE(v.ds->Eof());
    EXPECT_EQ(v.ds->MoveBy(1), 0);
    EXPECT_EQ(v.ds->MoveBy(-4), -4);
    EXPECT_EQ(CurrentId(*v.ds), 6);
    EXPECT_FALSE(v.ds->Eof());
    EXPECT_EQ(v.ds->MoveBy(-100), -5);
    EXPECT_TRUE(v.ds->Bof());
    EXPECT_EQ(CurrentId(*v.ds), 1);
    // The link's rows always hold the current record.
    const auto rows = v.link.RowIds();
    EXPECT_EQ(rows[static_cast<size_t>(v.link.ActiveRecord())], 1);
}

INSTANTIATE_TEST_SUITE_P(EndResults, Ring, ::testing::Values(false, true));

TEST(Navigation, EmptyAndClosedDatasets) {
    TMemDataSet ds(PeopleColumns());
    ds.SetName("Empty");
    EXPECT_EQ(ErrorOf([&] { ds.Next(); }), "Empty: Cannot perform this operation on a closed dataset");
    ds.Open();
    EXPECT_TRUE(ds.IsEmpty());
    EXPECT_TRUE(ds.Bof());
    EXPECT_TRUE(ds.Eof());
    EXPECT_EQ(ds.MoveBy(5), 0);
    ds.Last();
    EXPECT_TRUE(ds.IsEmpty());
    EXPECT_TRUE(ds.FieldByName("Id")->IsNull());
    EXPECT_THROW(ds.Delete(), EDatabaseError);
    EXPECT_TRUE(ds.GetBookmark().empty());
}

TEST(Navigation, OpenCloseEventsAndFailures) {
    std::vector<std::string> log;
    TMemDataSet ds(PeopleColumns());
    LogEvents(ds, log);
    ds.Open();
    ds.Close();
    EXPECT_EQ(log, (std::vector<std::string>{"BeforeOpen", "InternalOpen", "AfterOpen", "BeforeClose",
                                             "InternalClose", "AfterClose"}));
    // A failure while opening releases what InternalOpen set up.
    ds.AfterOpen = [](TDataSet*) { throw EDatabaseError("after open"); };
    EXPECT_THROW(ds.Open(), EDatabaseError);
    EXPECT_TRUE(ds.Active()) << "an AfterOpen handler's error leaves the dataset open";
    ds.Close();
    log.clear();
    ds.AfterOpen = nullptr;
    ds.Columns.push_back({"Id", ftInteger});  // a duplicate field definition
    EXPECT_THROW(ds.Open(), EDatabaseError);
    EXPECT_FALSE(ds.Active());
    EXPECT_EQ(log, (std::vector<std::string>{"BeforeOpen", "InternalOpen", "InternalClose"}));
}

TEST(Navigation, ResyncExactCentresPlainKeepsTheRowAndRefreshRereads) {
    Viewed v(20, 5);
    v.ds->MoveBy(9);  // record 10, at the bottom row of the view
    EXPECT_EQ(v.link.RowIds(), (std::vector<int>{6, 7, 8, 9, 10}));
    v.ds->Resync({});
    EXPECT_EQ(v.link.RowIds(), (std::vector<int>{6, 7, 8, 9, 10}));
    v.ds->UpdateCursorPos();
    v.ds->Resync({rmExact, rmCenter});
    EXPECT_EQ(v.link.RowIds(), (std::vector<int>{8, 9, 10, 11, 12}));
    EXPECT_EQ(CurrentId(*v.ds), 10);
    // Near the end the ring fills from before.
    v.ds->Last();
    v.ds->UpdateCursorPos();  // exact mode re-reads the record the cursor is on
    v.ds->Resync({rmExact, rmCenter});
    EXPECT_EQ(v.link.RowIds(), (std::vector<int>{16, 17, 18, 19, 20}));
    // Exact mode on a vanished record is an error; plain mode moves on.
    v.ds->Rows.clear();
    EXPECT_THROW(v.ds->Resync({rmExact}), EDatabaseError);
    v.ds->Resync({});
    EXPECT_TRUE(v.ds->IsEmpty());
    // Refresh rereads: record 1 went behind the dataset's back, nothing is left before the current one.
    Viewed w(5, 3);
    w.ds->Next();
    w.ds->Rows.erase(w.ds->Rows.begin());
    w.ds->Refresh();
    EXPECT_EQ(CurrentId(*w.ds), 2);
    EXPECT_EQ(w.link.RowIds(), (std::vector<int>{2, 3, 4}));
}

TEST(Navigation, BufferCountFollowsTheLargestLink) {
    Viewed v(10, 2);
    RecordingLink big;
    big.SetDataSource(&v.source);
    big.SetBufferCount(6);
    EXPECT_EQ(v.ds->BufferCount(), 6);
    EXPECT_EQ(big.RowIds(), (std::vector<int>{1, 2, 3, 4, 5, 6}));
    v.ds->MoveBy(5);
    big.SetDataSource(nullptr);
    EXPECT_EQ(v.ds->BufferCount(), 2);
    EXPECT_EQ(CurrentId(*v.ds), 6) << "shrinking the ring keeps the current record";
    EXPECT_EQ(v.link.RowIds().back(), 6);
    EXPECT_EQ(Ids(*v.ds).size(), 10u);
}

TEST(Bookmarks, GoBackCompareAndValidate) {
    Viewed v(12, 3);
    v.ds->MoveBy(4);
    const TBookmark five = v.ds->GetBookmark();
    ASSERT_EQ(five.size(), 4u);
    v.ds->Last();
    const TBookmark twelve = v.ds->GetBookmark();
    v.ds->GotoBookmark(five);
    EXPECT_EQ(CurrentId(*v.ds), 5);
    EXPECT_EQ(v.link.RowIds(), (std::vector<int>{4, 5, 6}));
    EXPECT_EQ(v.ds->CompareBookmarks(five.data(), twelve.data()), -1);
    EXPECT_EQ(v.ds->CompareBookmarks(twelve.data(), five.data()), 1);
    EXPECT_EQ(v.ds->CompareBookmarks(nullptr, five.data()), -1);
    EXPECT_EQ(v.ds->CompareBookmarks(nullptr, BookmarkData(TBookmark())), 0);
    EXPECT_TRUE(v.ds->BookmarkValid(twelve));
    EXPECT_EQ(CurrentId(*v.ds), 5) << "validating leaves the current record";
    v.ds->Last();
    v.ds->Delete();
    EXPECT_FALSE(v.ds->BookmarkValid(twelve));
    EXPECT_THROW(v.ds->GotoBookmark(twelve), EDatabaseError);
    EXPECT_FALSE(v.ds->BookmarkValid(TBookmark{1, 2}));
    EXPECT_THROW(v.ds->GotoBookmark(TBookmark{1, 2}), EDatabaseError);
    v.ds->Prior();
    EXPECT_EQ(CurrentId(*v.ds), 10) << "the cursor is put back after a failed check";
}

TEST(Search, LocateAndLookupScanTheRecords) {
    Viewed v(8, 3);
    int scrolls = 0;
    v.ds->AfterScroll = [&](TDataSet*) { ++scrolls; };
    EXPECT_TRUE(v.ds->Locate("Name", "N6", {}));
    EXPECT_EQ(CurrentId(*v.ds), 6);
    EXPECT_EQ(scrolls, 1);
    EXPECT_TRUE(v.ds->Locate("Age;Name", VarArrayOf({30, "N3"}), {}));
    EXPECT_EQ(CurrentId(*v.ds), 3);
    EXPECT_FALSE(v.ds->Locate("Age;Name", VarArrayOf({30, "N4"}), {}));
    EXPECT_EQ(CurrentId(*v.ds), 3) << "a failed search keeps the record";
    EXPECT_TRUE(v.ds->Locate("Name", "n7", {loCaseInsensitive}));
    EXPECT_EQ(CurrentId(*v.ds), 7);
    EXPECT_FALSE(v.ds->Locate("Name", "n", {loPartialKey}));
    EXPECT_TRUE(v.ds->Locate("Name", "n", {loPartialKey, loCaseInsensitive}));
    EXPECT_EQ(CurrentId(*v.ds), 1);
    EXPECT_THROW(v.ds->Locate("Nope", 1, {}), EDatabaseError);
    EXPECT_THROW(v.ds->Locate("Age;Name", 30, {}), EDatabaseError);

    v.ds->MoveBy(2);
    EXPECT_EQ(v.ds->Lookup("Id", 5, "Name").AsString(), "N5");
    const Variant both = v.ds->Lookup("Name", "N4", "Id;Age");
    EXPECT_EQ(both, VarArrayOf({4, 40}));
    EXPECT_TRUE(v.ds->Lookup("Id", 99, "Name").IsNull());
    EXPECT_EQ(CurrentId(*v.ds), 3) << "Lookup leaves the cursor";
    v.ds->Next();
    EXPECT_EQ(CurrentId(*v.ds), 4);
}

TEST(Filtering, OnFilterRecordHidesRecordsBothWays) {
    Viewed v(10, 3);
    int calls = 0;
    v.ds->OnFilterRecord = [&](TDataSet* ds, bool& accept) {
        ++calls;
        EXPECT_EQ(ds->State(), dsFilter);
        accept = ds->FieldByName("Id")->AsInteger() % 2 == 0;
    };
    EXPECT_EQ(Ids(*v.ds).size(), 10u) << "the handler counts only while Filtered";
    EXPECT_EQ(calls, 0);
    v.ds->SetFiltered(true);
    EXPECT_EQ(CurrentId(*v.ds), 2) << "switching the filter on goes to the first record";
    EXPECT_EQ(Ids(*v.ds), (std::vector<int>{2, 4, 6, 8, 10}));
    EXPECT_EQ(Ids(*v.ds, true), (std::vector<int>{10, 8, 6, 4, 2}));
    EXPECT_EQ(v.ds->State(), dsBrowse);
    EXPECT_TRUE(v.ds->Locate("Id", 6, {}));
    EXPECT_FALSE(v.ds->Locate("Id", 5, {}));
    v.ds->OnFilterRecord = [](TDataSet*, bool&) { throw EDatabaseError("filter failed"); };
    EXPECT_THROW(v.ds->First(), EDatabaseError);
    EXPECT_EQ(v.ds->State(), dsBrowse) << "the filter state ends with the handler's error";
    v.ds->SetFiltered(false);
    EXPECT_EQ(Ids(*v.ds).size(), 10u);
}

} // namespace
} // namespace btr::test
