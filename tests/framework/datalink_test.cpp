// Data sources and links: what views are told, and when.
#include <gtest/gtest.h>

#include "tests/framework/testutil.h"

namespace btr::test {
namespace {

using Events = std::vector<std::string>;

TEST(DataLinks, FollowOpeningClosingAndEditingAndEditOnlyWhenAllowed) {
    Viewed v(2);
    std::vector<TDataSetState> states;
    v.source.OnStateChange = [&](TDataSource* s) { states.push_back(s->State()); };
    v.ds->Edit();
    v.ds->Cancel();
    v.ds->Close();
    v.ds->Open();
    EXPECT_EQ(v.Take(), (Events{"check browse", "editing", "record", "check browse", "not editing", "changed",
                                "inactive", "active"}));
    EXPECT_EQ(states, (std::vector<TDataSetState>{dsEdit, dsBrowse, dsInactive, dsBrowse}));
    v.source.SetEnabled(false);
    v.ds->Next();
    EXPECT_EQ(v.Take(), (Events{"inactive"})) << "a disabled source tells nothing";
    v.source.SetEnabled(true);
    EXPECT_EQ(v.Take(), (Events{"active"}));
    // A view puts the dataset into edit mode only with AutoEdit and while not read-only.
    v.source.SetAutoEdit(false);
    EXPECT_FALSE(v.link.Edit());
    v.source.SetAutoEdit(true);
    v.link.SetReadOnly(true);
    EXPECT_FALSE(v.link.Edit());
    v.link.SetReadOnly(false);
    EXPECT_TRUE(v.link.Edit());
    EXPECT_EQ(v.ds->State(), dsEdit);
}

TEST(DataLinks, ScrollDistanceIsTheMoveOfTheViewsWindow) {
    Viewed v(10, 3);
    v.ds->Next();
    v.ds->Next();
    EXPECT_EQ(v.Take(), (Events{"check browse", "scrolled 0", "check browse", "scrolled 0"}))
        << "moving inside the window";
    v.ds->Next();
    EXPECT_EQ(v.Take(), (Events{"check browse", "scrolled 1"}));
    EXPECT_EQ(v.link.RowIds(), (std::vector<int>{2, 3, 4}));
    EXPECT_EQ(v.link.ActiveRecord(), 2);
    v.ds->MoveBy(4);
    EXPECT_EQ(v.Take(), (Events{"check browse", "scrolled 4"}));
    v.ds->MoveBy(-2);
    v.ds->Prior();
    EXPECT_EQ(v.Take(), (Events{"check browse", "scrolled 0", "check browse", "scrolled -1"}));
    EXPECT_EQ(v.link.RowIds(), (std::vector<int>{5, 6, 7}));
    EXPECT_EQ(v.link.ActiveRecord(), 0);
    v.ds->First();
    EXPECT_EQ(v.Take(), (Events{"check browse", "changed"}));
    EXPECT_THROW(v.link.SetActiveRecord(3), ERangeError);
}

TEST(DataLinks, ViewsSmallerThanTheRingKeepTheirRows) {
    Viewed v(10, 5);
    RecordingLink small; // of one row
    small.SetDataSource(&v.source);
    v.ds->MoveBy(3);
    EXPECT_EQ(small.RowIds(), (std::vector<int>{4}));
    EXPECT_EQ(small.ActiveRecord(), 0);
    EXPECT_EQ(v.link.RowIds(), (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(v.link.ActiveRecord(), 3);
    EXPECT_EQ(small.MoveBy(1), 1);
    EXPECT_EQ(small.RowIds(), (std::vector<int>{5}));
}

TEST(DataLinks, FieldChangesReachViewsAndTheSourceButNotTheViewThatMadeThem) {
    Viewed v(2);
    std::vector<std::string> changed;
    v.source.OnDataChange = [&](TDataSource*, TField* f) { changed.push_back(f ? f->FieldName() : "-"); };
    int updates = 0;
    v.source.OnUpdateData = [&](TDataSource*) { ++updates; };
    v.ds->Edit();
    v.ds->FieldByName("Age")->SetAsInteger(1);
    v.ds->Post();
    EXPECT_EQ(v.Take(), (Events{"check browse", "editing", "record", "record Age", "update data", "check browse",
                                "not editing", "changed"}));
    EXPECT_EQ(changed, (std::vector<std::string>{"-", "Age", "-"}));
    EXPECT_EQ(updates, 1);
    // A view is not told about its own update.
    v.ds->Edit();
    v.Take();
    v.link.PendingName = "Mine";
    v.link.UpdateRecord();
    EXPECT_EQ(v.Take(), (Events{"update data"}));
    EXPECT_EQ(v.ds->FieldByName("Name")->AsString(), "Mine");
}

TEST(DataLinks, DisabledControlsHearOneChangeAtTheEnd) {
    Viewed v(10);
    v.ds->DisableControls();
    v.ds->DisableControls();
    v.ds->Last();
    v.ds->Edit();
    v.ds->FieldByName("Age")->SetAsInteger(3);
    v.ds->EnableControls();
    EXPECT_TRUE(v.Take().empty()) << "still disabled once";
    v.ds->EnableControls();
    EXPECT_EQ(v.Take(), (Events{"editing", "changed"}));
    v.ds->EnableControls();  // unbalanced: no effect
    EXPECT_FALSE(v.ds->ControlsDisabled());
    v.ds->DisableControls();
    v.ds->Cancel();
    v.ds->Close();
    v.ds->EnableControls();
    EXPECT_EQ(v.Take(), (Events{"inactive", "not editing"}));
}

TEST(DataLinks, ParticipantsMayGoAwayInAnyOrder) {
    auto ds = People(3);
    auto source = std::make_unique<TDataSource>();
    source->SetDataSet(ds.get());
    auto link = std::make_unique<RecordingLink>();
    link->SetDataSource(source.get());
    link->SetBufferCount(3);
    link.reset();
    EXPECT_EQ(ds->BufferCount(), 1) << "the ring shrinks when its view goes";
    link = std::make_unique<RecordingLink>();
    link->SetDataSource(source.get());
    source.reset();
    EXPECT_EQ(link->DataSource(), nullptr);
    EXPECT_FALSE(link->Active());
    source = std::make_unique<TDataSource>();
    source->SetDataSet(ds.get());
    link->SetDataSource(source.get());
    EXPECT_TRUE(link->Active());
    ds.reset();
    EXPECT_EQ(source->DataSet(), nullptr);
    EXPECT_FALSE(link->Active());
    EXPECT_EQ(source->State(), dsInactive);
}

TEST(DataLinks, BlockReadWalksWithoutTellingViews) {
    Viewed v(6);
    v.ds->SetBlockReadSize(10);
    EXPECT_EQ(v.ds->State(), dsBlockRead);
    v.Take();
    int seen = 0;
    for (v.ds->First(); !v.ds->Eof(); v.ds->Next()) ++seen;
    EXPECT_EQ(seen, 6);
    EXPECT_TRUE(v.Take().empty());
    v.ds->SetBlockReadSize(0);
    EXPECT_EQ(v.ds->State(), dsBrowse);
    EXPECT_EQ(CurrentId(*v.ds), 6);
    v.ds->SetBlockReadSize(5);
    v.ds->Close();
    EXPECT_EQ(v.ds->BlockReadSize(), 0);
}

} // namespace
} // namespace btr::test
