// Editing: state changes with their events, posting, cancelling, deleting,
// the error events and the state checks.
#include <gtest/gtest.h>

#include <map>

#include "tests/framework/testutil.h"

namespace btr::test {
namespace {

// Logs every event of the dataset and its Internal* calls in one list.
struct Logged {
    explicit Logged(int rows) : ds(People(rows)) { LogEvents(*ds, log); }
    TField* F(const char* name) { return ds->FieldByName(name); }
    std::vector<std::string> Take() { return std::exchange(log, {}); }
    std::vector<std::string> log;
    std::unique_ptr<TMemDataSet> ds;
};

using Log = std::vector<std::string>;

TEST(Editing, EditPostRunsEventsInOrderAndStores) {
    Logged t(3);
    t.ds->Next();
    t.Take();
    t.ds->Edit();
    EXPECT_FALSE(t.ds->Modified());
    t.F("Name")->SetAsString("Changed");
    EXPECT_TRUE(t.ds->Modified());
    EXPECT_EQ(t.F("Name")->OldValue().AsString(), "N2");
    EXPECT_EQ(t.F("Name")->NewValue().AsString(), "Changed");
    EXPECT_TRUE(t.ds->Modified()) << "reading old and new values keeps the edit modified";
    t.ds->Post();
    EXPECT_EQ(t.Take(), (Log{"BeforeEdit", "InternalEdit", "AfterEdit", "BeforePost", "InternalPost", "AfterPost"}));
    EXPECT_EQ(t.ds->State(), dsBrowse);
    EXPECT_EQ(CurrentId(*t.ds), 2);
    EXPECT_TRUE(t.F("Name")->OldValue().IsNull()) << "no old value outside an edit";
    t.ds->First();
    t.ds->Next();
    EXPECT_EQ(t.F("Name")->AsString(), "Changed");
    // A new value set through NewValue is a change too.
    t.ds->Edit();
    t.F("Age")->SetNewValue(77);
    EXPECT_TRUE(t.ds->Modified());
    t.ds->Post();
    EXPECT_EQ(t.F("Age")->AsInteger(), 77);
    EXPECT_THROW(t.F("Age")->SetNewValue(1), EDatabaseError);
}

TEST(Editing, InsertLandsBeforeTheCurrentRecordAppendAtTheEnd) {
    Logged t(4);
    t.ds->MoveBy(2);  // record 3
    t.Take();
    t.ds->Insert();
    EXPECT_TRUE(t.F("Id")->IsNull());
    t.F("Id")->SetAsInteger(30);
    t.ds->Post();
    EXPECT_EQ(t.Take(), (Log{"BeforeInsert", "BeforeScroll", "InternalInsert", "OnNewRecord", "AfterInsert",
                             "AfterScroll", "BeforePost", "InternalPost", "AfterPost"}));
    EXPECT_EQ(CurrentId(*t.ds), 30);
    t.ds->Append();
    t.F("Id")->SetAsInteger(99);
    t.ds->Post();
    EXPECT_EQ(CurrentId(*t.ds), 99);
    EXPECT_EQ(Ids(*t.ds), (std::vector<int>{1, 2, 30, 3, 4, 99}));
}

TEST(Editing, InsertIntoAFullRingAndAnEmptyDataset) {
    Viewed v(0);
    TMemDataSet* ds = v.ds.get();
    ds->Insert();
    ds->FieldByName("Id")->SetAsInteger(1);
    ds->Post();
    for (int i = 2; i <= 5; ++i) ds->AppendRecord({i});
    ds->Last();
    ds->Insert();  // before record 5, the last row of a full ring
    ds->FieldByName("Id")->SetAsInteger(45);
    EXPECT_EQ(v.link.RowIds()[static_cast<size_t>(v.link.ActiveRecord())], 45);
    ds->Post();
    EXPECT_EQ(Ids(*ds), (std::vector<int>{1, 2, 3, 4, 45, 5}));
    // Scrolling away from an insert with data posts it; the next record follows.
    ds->First();
    ds->MoveBy(2);
    ds->Insert();
    ds->FieldByName("Id")->SetAsInteger(25);
    ds->Next();
    EXPECT_EQ(ds->State(), dsBrowse);
    EXPECT_EQ(CurrentId(*ds), 3);
    EXPECT_EQ(Ids(*ds), (std::vector<int>{1, 2, 25, 3, 4, 45, 5}));
}

TEST(Editing, CancelDiscardsUnmodifiedInsertsVanishAndDeleteMovesOn) {
    Logged t(3);
    t.ds->Edit();
    t.F("Name")->SetAsString("Lost");
    t.Take();
    t.ds->Cancel();
    EXPECT_EQ(t.Take(), (Log{"BeforeCancel", "InternalCancel", "AfterCancel"}));
    EXPECT_EQ(t.F("Name")->AsString(), "N1");
    t.ds->Insert();
    t.Take();
    t.ds->Cancel();
    EXPECT_EQ(t.Take(), (Log{"BeforeCancel", "BeforeScroll", "InternalCancel", "AfterCancel", "AfterScroll"}));
    EXPECT_EQ(CurrentId(*t.ds), 1);
    // Defaults from OnNewRecord alone do not make the record worth keeping.
    t.ds->OnNewRecord = [](TDataSet* ds) { ds->FieldByName("Age")->SetAsInteger(18); };
    t.ds->Append();
    EXPECT_EQ(t.F("Age")->AsInteger(), 18);
    EXPECT_FALSE(t.ds->Modified());
    t.ds->First();
    EXPECT_EQ(t.ds->Rows.size(), 3u);
    t.ds->Append();
    t.F("Id")->SetAsInteger(4);
    t.ds->First();  // leaving a modified insert posts it
    EXPECT_EQ(t.ds->Rows.size(), 4u);
    // Deleting moves to the next record.
    t.ds->Next();
    t.Take();
    t.ds->Delete();
    EXPECT_EQ(t.Take(), (Log{"BeforeDelete", "BeforeScroll", "InternalDelete", "AfterDelete", "AfterScroll"}));
    EXPECT_EQ(CurrentId(*t.ds), 3);
    t.ds->Last();
    t.ds->Delete();
    EXPECT_EQ(CurrentId(*t.ds), 3) << "deleting the last record shows the one before";
    t.ds->Insert();
    t.ds->Delete();  // deleting an insert cancels it
    EXPECT_EQ(t.ds->Rows.size(), 2u);
    t.ds->Delete();
    t.ds->Delete();
    EXPECT_TRUE(t.ds->IsEmpty());
    EXPECT_THROW(t.ds->Delete(), EDatabaseError);
}

TEST(Editing, StateChecksRaiseDatabaseErrors) {
    auto ds = People(2);
    TField* name = ds->FieldByName("Name");
    EXPECT_EQ(ErrorOf([&] { name->SetAsString("x"); }), "People: Dataset not in edit or insert mode");
    EXPECT_THROW(ds->Post(), EDatabaseError);
    EXPECT_NO_THROW(ds->Cancel());
    ds->ReadOnlyMode = true;
    EXPECT_THROW(ds->Edit(), EDatabaseError);
    EXPECT_THROW(ds->Append(), EDatabaseError);
    EXPECT_EQ(ds->State(), dsBrowse);
    ds->ReadOnlyMode = false;
    name->SetReadOnly(true);
    ds->Edit();
    EXPECT_THROW(name->SetAsString("x"), EDatabaseError);
    EXPECT_FALSE(name->CanModify());
    ds->Cancel();
    ds->Close();
    EXPECT_THROW(ds->Edit(), EDatabaseError);
    EXPECT_THROW(ds->Insert(), EDatabaseError);
}

TEST(Editing, RequiredFieldsAndValidation) {
    TMemDataSet ds({{"Id", ftInteger, 0, true}, {"Name", ftString, 10}});
    ds.Open();
    ds.Append();
    ds.FieldByName("Name")->SetAsString("no id");
    EXPECT_THROW(ds.Post(), EDatabaseError);
    EXPECT_EQ(ds.State(), dsInsert) << "a refused post keeps the edit";
    EXPECT_TRUE(ds.Rows.empty());
    std::string seen;
    ds.FieldByName("Id")->OnValidate = [&](TField* f) {
        seen = f->AsString();  // the value being set
        if (f->AsInteger() < 0) throw EDatabaseError("negative");
    };
    EXPECT_THROW(ds.FieldByName("Id")->SetAsInteger(-1), EDatabaseError);
    EXPECT_EQ(seen, "-1");
    EXPECT_TRUE(ds.FieldByName("Id")->IsNull()) << "a rejected value is not stored";
    ds.FieldByName("Id")->SetAsInteger(7);
    ds.Post();
    EXPECT_EQ(ds.Rows.size(), 1u);
}

// Post, edit and delete errors reach their events, which fail, abort or retry.
TEST(Editing, ErrorEventsFailAbortOrRetry) {
    // Both outlive the dataset, which logs its close.
    std::vector<std::string> log;
    std::map<std::string, int> failures; // how many more times each call fails
    auto ds = People(1);
    ds->OnInternal = [&](const std::string& call) {
        log.push_back(call);
        if (failures[call] == 0) return;
        --failures[call];
        if (call == "InternalEdit") throw EInOutError("locked", 11);
        DatabaseError("refused", ds.get());
    };
    int calls = 0;
    TDataAction answer = daFail;
    ds->OnPostError = [&](TDataSet*, EDatabaseError& e, TDataAction& action) {
        ++calls;
        EXPECT_STREQ(e.what(), "People: refused");
        action = answer;
    };
    ds->Edit();
    ds->FieldByName("Age")->SetAsInteger(0);
    failures["InternalPost"] = 1;
    EXPECT_THROW(ds->Post(), EDatabaseError);
    EXPECT_EQ(ds->State(), dsEdit);
    answer = daAbort;
    failures["InternalPost"] = 1;
    EXPECT_THROW(ds->Post(), EAbort);
    EXPECT_EQ(ds->State(), dsEdit);
    answer = daRetry;
    failures["InternalPost"] = 2;
    calls = 0;
    ds->Post();
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(ds->State(), dsBrowse);
    EXPECT_EQ(ds->FieldByName("Age")->AsInteger(), 0) << "the retried post stored the edit (was 10)";

    // Other errors reach the handler as database errors; failing passes the original on.
    std::string message;
    answer = daFail;
    ds->OnEditError = [&](TDataSet*, EDatabaseError& e, TDataAction& action) {
        message = e.Message();
        action = answer;
    };
    failures["InternalEdit"] = 2;
    EXPECT_THROW(ds->Edit(), EInOutError);
    EXPECT_EQ(message, "locked");
    EXPECT_EQ(ds->State(), dsBrowse);
    answer = daRetry;
    ds->Edit();
    EXPECT_EQ(ds->State(), dsEdit);
    ds->Cancel();

    ds->OnDeleteError = [](TDataSet*, EDatabaseError&, TDataAction& action) { action = daAbort; };
    failures["InternalDelete"] = 1;
    EXPECT_THROW(ds->Delete(), EAbort);
    EXPECT_EQ(ds->Rows.size(), 1u);
    EXPECT_EQ(ds->State(), dsBrowse);

    // A failing OnNewRecord undoes the insert.
    log.clear();
    ds->OnNewRecord = [](TDataSet*) { throw EDatabaseError("no defaults"); };
    EXPECT_THROW(ds->Append(), EDatabaseError);
    EXPECT_EQ(ds->State(), dsBrowse);
    EXPECT_EQ(log, (std::vector<std::string>{"InternalInsert", "InternalCancel"}));
    EXPECT_EQ(CurrentId(*ds), 1);
}

TEST(Editing, ScrollEventsComeInPairsAndInsertAndAppendRecordAddWithoutEditing) {
    Logged t(2);
    t.ds->Last();
    t.Take();
    t.ds->Next(); // already at the end
    t.ds->Prior();
    EXPECT_EQ(t.Take(), (Log{"BeforeScroll", "AfterScroll"}));
    t.ds->MoveBy(0);
    EXPECT_TRUE(t.Take().empty());
    t.ds->Last();
    t.Take();
    t.ds->InsertRecord({10, "Ten", Null()});
    EXPECT_EQ(t.Take(), (Log{"BeforeInsert", "BeforeScroll", "OnNewRecord", "AfterInsert", "BeforePost",
                             "InternalAddRecord", "AfterPost", "AfterScroll"}));
    EXPECT_EQ(t.ds->State(), dsBrowse);
    EXPECT_EQ(CurrentId(*t.ds), 10);
    EXPECT_TRUE(t.F("Age")->IsNull()) << "a null value leaves the field as the new record has it";
    t.ds->AppendRecord({20});
    EXPECT_THROW(t.ds->AppendRecord({1, "a", 2, "too many"}), EDatabaseError);
    EXPECT_THROW(t.ds->AppendRecord({"not a number"}), EConvertError);
    EXPECT_EQ(t.ds->State(), dsBrowse);
    EXPECT_EQ(Ids(*t.ds), (std::vector<int>{1, 10, 2, 20}));
}

TEST(Editing, CheckBrowseModeCollectsPendingEdits) {
    Viewed v(2);
    TMemDataSet* ds = v.ds.get();
    ds->Edit();
    v.link.PendingName = "Typed";
    ds->Next();  // the view's pending text is written and posted
    ds->Prior();
    EXPECT_EQ(ds->FieldByName("Name")->AsString(), "Typed");
    ds->Edit();
    v.link.PendingName.clear();
    ds->Refresh();  // nothing changed: cancelled, no post
    EXPECT_EQ(ds->State(), dsBrowse);
}

TEST(Editing, DestroyingAnOpenDatasetClosesItAndOnlyReportsAFailingClose) {
    std::vector<std::string> log;
    {
        auto ds = People(3);
        ds->Edit();
        LogEvents(*ds, log);
    }
    EXPECT_EQ(log, (std::vector<std::string>{"InternalClose"})) << "no close events, no cancel while destroying";
    log.clear();
    {
        auto ds = People(1);
        ds->OnInternal = [&](const std::string& call) {
            log.push_back(call);
            if (call == "InternalClose") throw EDatabaseError("cannot close");
        };
    }
    EXPECT_EQ(log, (std::vector<std::string>{"InternalClose", "InternalHandleException"}));
}

} // namespace
} // namespace btr::test
