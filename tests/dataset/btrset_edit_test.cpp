// TBDataSet writing on the embedded engine: BLOB values in the variable part,
// edits under record locks against a second client, master-detail cascades
// and engine transactions.
#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <thread>

#include "dataset/btrset.h"
#include "engine/btrerrors.h"
#include "engine/btrv.h"
#include "framework/dberrors.h"
#include "platform/endian.h"
#include "platform/threads.h"
#include "tests/dictionary/dict_support.h"

namespace btr {
namespace {

using test::DictBuilder;
using test::FieldSpec;

constexpr uint16_t kTyped = 0x0100;
constexpr uint16_t kDup = 0x0001, kMod = 0x0002, kSegmented = 0x0010;

// NOTES.DAT: variable-length records, three BLOB-type fields after the fixed data.
const std::vector<FieldSpec> kNoteFields = {
    {"Code", 3, 4},   // 0
    {"Name", 9, 21},  // 4
    {"Memo", 19, 8},  // 25
    {"Pic", 20, 8},   // 33
    {"Data", 18, 8},  // 41
};
constexpr int kNoteLen = 49;
constexpr int kMemoAt = 25, kPicAt = 33, kDataAt = 41;

std::string Text(const std::vector<uint8_t>& b) { return {b.begin(), b.end()}; }

class Writing : public test::DictDirTest {
protected:
    void SetUp() override {
        DictDirTest::SetUp();
        FBuilder->AddFile("NOTES.DAT", "", 1);
        FBuilder->AddFields("NOTES.DAT", kNoteFields);
        FBuilder->AddSegments("NOTES.DAT", {{"Code", kTyped}});

        FBuilder->AddFile("MASTER.DAT");
        FBuilder->AddFields("MASTER.DAT", {{"Code", 3, 4}, {"Title", 9, 21}});
        FBuilder->AddSegments("MASTER.DAT", {{"Code", kTyped | kMod}});
        // Details: key 0 the master's code then a number of their own.
        for (const char* name : {"LINES.DAT", "TAGS.DAT"}) {
            FBuilder->AddFile(name);
            FBuilder->AddFields(name, {{"MasterCode", 3, 4}, {"N", 3, 4}, {"What", 9, 11}});
            FBuilder->AddSegments(name, {{"MasterCode", kTyped | kDup | kMod | kSegmented}, {"N", kTyped | kDup | kMod}});
        }
        // A detail of LINES: its key is (line number N, own number).
        FBuilder->AddFile("PARTS.DAT");
        FBuilder->AddFields("PARTS.DAT", {{"LineN", 3, 4}, {"P", 3, 4}});
        FBuilder->AddSegments("PARTS.DAT", {{"LineN", kTyped | kDup | kMod | kSegmented}, {"P", kTyped | kDup | kMod}});
        // A detail of MASTER by Title, with room for two characters of it.
        FBuilder->AddFile("SHORT.DAT");
        FBuilder->AddFields("SHORT.DAT", {{"Ref", 9, 3}, {"X", 3, 4}});
        FBuilder->AddSegments("SHORT.DAT", {{"Ref", kTyped | kDup | kMod}});
        // A detail of MASTER by Title, case-insensitive.
        FBuilder->AddFile("NAMED.DAT");
        FBuilder->AddFields("NAMED.DAT", {{"Ref", 9, 21}, {"X", 3, 4}});
        FBuilder->AddSegments("NAMED.DAT", {{"Ref", kTyped | kDup | kMod | kfNoCase}});
        for (const char* name : {"NOTES.DAT", "MASTER.DAT", "LINES.DAT", "TAGS.DAT", "PARTS.DAT", "SHORT.DAT", "NAMED.DAT"})
            FBuilder->Dict().CreateFile(name);
    }
    void TearDown() override {
        FSets.clear();
        DictDirTest::TearDown();
    }

    TBDataSet& Open(const std::string& base, const std::string& indexFields = "") {
        auto ds = std::make_unique<TBDataSet>();
        ds->SetDictName(FDir.File("DICT.DAT"));
        ds->SetBaseName(FDir.File(base));
        if (!indexFields.empty()) ds->SetIndexFields(indexFields);
        ds->Open();
        FSets.push_back(std::move(ds));
        return *FSets.back();
    }

    // The fixed part and the variable part of NOTES.DAT's record `code`, as stored.
    struct Stored {
        std::vector<uint8_t> fixed, var;
        TBLOBData At(int ofs) const {
            TBLOBData d;
            std::memcpy(&d, fixed.data() + ofs, sizeof d);
            return d;
        }
        std::string Value(int ofs) const {
            const TBLOBData d = At(ofs);
            if (d.Size == 0) return "";
            return std::string(var.begin() + d.Ofs, var.begin() + d.Ofs + d.Size);
        }
    };
    Stored Read(int32_t code) {
        Stored s;
        s.fixed.assign(kNoteLen, 0);
        TBtrieveFile f;
        f.SetFileName(FDir.File("NOTES.DAT"));
        f.SetDataBuffer(s.fixed.data(), kNoteLen);
        f.SetActive(true);
        f.MakeKey({&code});
        f.Get(5, 0);
        EXPECT_EQ(f.Status(), 0);
        std::vector<uint8_t> buf(200000);
        const uint32_t n = f.GetChunk(f.GetPosition(), kNoteLen, static_cast<uint32_t>(buf.size()), buf.data());
        s.var.assign(buf.begin(), buf.begin() + n);
        return s;
    }

    TBDataSet& NoteWith(int32_t code, const std::string& memo, const std::string& pic, const std::string& data) {
        TBDataSet& ds = Open("NOTES.DAT");
        ds.Append();
        ds.FieldByName("Code")->SetAsInteger(code);
        if (!memo.empty()) ds.FieldByName("Memo")->SetAsString(memo);
        if (!pic.empty()) ds.FieldByName("Pic")->SetAsAnsiString(pic);
        if (!data.empty()) ds.FieldByName("Data")->SetAsAnsiString(data);
        ds.Post();
        return ds;
    }

    std::vector<std::unique_ptr<TBDataSet>> FSets;
};

// ---- BLOB values -----------------------------------------------------------------

TEST_F(Writing, BlobsWrittenWhileInsertingAreSharedThenStoredInDictionaryOrder) {
    TBDataSet& ds = Open("NOTES.DAT");
    ds.Append();
    ds.FieldByName("Code")->SetAsInteger(1);
    // Written out of dictionary order; the variable part is laid out in it.
    ds.FieldByName("Data")->SetAsAnsiString(std::string("\x00\x01\x02", 3));
    ds.FieldByName("Memo")->SetAsString("Заметка");
    // A second stream sees what the first wrote, before anything is posted.
    EXPECT_EQ(ds.FieldByName("Memo")->AsString(), "Заметка");
    EXPECT_FALSE(ds.FieldByName("Memo")->IsNull());
    EXPECT_TRUE(ds.FieldByName("Pic")->IsNull());
    ds.Post();

    const Stored s = Read(1);
    const std::string memo1251 = Utf8ToAnsi("Заметка");
    EXPECT_EQ(s.At(kMemoAt).Ofs, 0);
    EXPECT_EQ(s.At(kMemoAt).Size, static_cast<int32_t>(memo1251.size()));
    EXPECT_EQ(s.At(kPicAt).Size, 0); // never touched: stays null
    EXPECT_EQ(s.At(kDataAt).Ofs, static_cast<int32_t>(memo1251.size()));
    EXPECT_EQ(Text(s.var), memo1251 + std::string("\x00\x01\x02", 3));

    TBDataSet& again = Open("NOTES.DAT");
    EXPECT_EQ(again.FieldByName("Memo")->AsString(), "Заметка");
    EXPECT_EQ(again.FieldByName("Data")->AsAnsiString(), std::string("\x00\x01\x02", 3));
    EXPECT_EQ(again.FieldByName("Pic")->AsString(), "");
}

TEST_F(Writing, AnEditRewritesTheWholeVariablePartWithFreshDescriptors) {
    NoteWith(1, "memo", "picture", "data");
    TBDataSet& ds = Open("NOTES.DAT");
    ds.Edit();
    ds.FieldByName("Pic")->SetAsAnsiString("P");
    ds.Post();
    Stored s = Read(1);
    EXPECT_EQ(Text(s.var), "memoPdata"); // shorter: the old tail is gone
    EXPECT_EQ(s.Value(kMemoAt), "memo");
    EXPECT_EQ(s.Value(kPicAt), "P");
    EXPECT_EQ(s.Value(kDataAt), "data");
    EXPECT_EQ(s.At(kDataAt).Ofs, 5);

    // An edit that touches no BLOB still writes every value in order.
    ds.Edit();
    ds.FieldByName("Name")->SetAsString("x");
    ds.FieldByName("Memo")->Clear();
    ds.Post();
    s = Read(1);
    EXPECT_EQ(Text(s.var), "Pdata");
    EXPECT_EQ(s.At(kMemoAt).Size, 0);
    EXPECT_EQ(s.Value(kPicAt), "P");
    EXPECT_EQ(ds.FieldByName("Name")->AsString(), "x");
}

TEST_F(Writing, ABlobWithoutAFieldObjectIsCarriedOver) {
    NoteWith(1, "memo", "picture", "data");
    TBDataSet ds;
    ds.SetDictName(FDir.File("DICT.DAT"));
    ds.SetBaseName(FDir.File("NOTES.DAT"));
    for (const char* name : {"Code", "Memo"}) {
        TField* f = std::strcmp(name, "Code") == 0 ? static_cast<TField*>(new TIntegerField(&ds))
                                                   : static_cast<TField*>(new TMemoField(&ds));
        f->SetFieldName(name);
        f->SetDataSet(&ds);
    }
    ds.Open();
    ds.Edit();
    ds.FieldByName("Memo")->SetAsString("a much longer memo than before");
    ds.Post();
    const Stored s = Read(1);
    EXPECT_EQ(s.Value(kMemoAt), "a much longer memo than before");
    EXPECT_EQ(s.Value(kPicAt), "picture");
    EXPECT_EQ(s.Value(kDataAt), "data");
}

TEST_F(Writing, CancellingDiscardsWrittenValues) {
    TBDataSet& ds = NoteWith(1, "kept", "", "");
    ds.Edit();
    ds.FieldByName("Memo")->SetAsString("thrown away");
    EXPECT_EQ(ds.FieldByName("Memo")->AsString(), "thrown away");
    ds.Cancel();
    EXPECT_EQ(ds.FieldByName("Memo")->AsString(), "kept");
    EXPECT_EQ(Read(1).Value(kMemoAt), "kept");

    ds.Append();
    ds.FieldByName("Code")->SetAsInteger(2);
    ds.FieldByName("Memo")->SetAsString("never stored");
    ds.Cancel();
    ds.Append();
    ds.FieldByName("Code")->SetAsInteger(3);
    EXPECT_TRUE(ds.FieldByName("Memo")->IsNull()); // the cancelled insert's value is gone
    ds.Post();
    EXPECT_EQ(Read(3).var.size(), 0u);
}

TEST_F(Writing, StreamsShareOneBufferAndAWriteStreamStartsEmpty) {
    TBDataSet& ds = NoteWith(1, "old text", "", "");
    auto* memo = static_cast<TBlobField*>(ds.FieldByName("Memo"));
    EXPECT_THROW(ds.CreateBlobStream(memo, bmWrite), EDatabaseError); // browsing
    ds.Edit();
    {
        auto reader = ds.CreateBlobStream(memo, bmReadWrite);
        EXPECT_EQ(reader->Size(), 8);
        reader->Seek(0, TSeekOrigin::soEnd);
        reader->WriteBuffer("!", 1);
        auto second = ds.CreateBlobStream(memo, bmRead);
        EXPECT_EQ(second->Size(), 9);
        char buf[16] = {};
        second->Seek(4, TSeekOrigin::soBeginning);
        EXPECT_EQ(second->Read(buf, sizeof buf), 5);
        EXPECT_STREQ(buf, "text!");
        EXPECT_EQ(second->Write("x", 1), 0); // a read stream writes nothing
        auto writer = ds.CreateBlobStream(memo, bmWrite);
        EXPECT_EQ(writer->Size(), 0);
        EXPECT_EQ(writer->Read(buf, 1), 0); // a write stream reads nothing
        writer->WriteBuffer("new", 3);
        EXPECT_EQ(reader->Size(), 3);
    }
    EXPECT_TRUE(memo->Modified());
    ds.Post();
    EXPECT_EQ(Read(1).Value(kMemoAt), "new");
}

TEST_F(Writing, VariablePartStreamSeeksReadsAndCuts) {
    const std::string big(40000, 'b');
    TBDataSet& ds = NoteWith(1, "", "", big);
    NoteWith(2, "m", "", "");
    ds.First();
    auto var = ds.CreateVarStream();
    ASSERT_TRUE(var);
    EXPECT_EQ(var->GetVarLen(), 40000);
    EXPECT_EQ(var->Seek(-10, TSeekOrigin::soEnd), 39990); // past the first 32768-byte chunk
    char buf[100];
    EXPECT_EQ(var->Read(buf, sizeof buf), 10); // short: the end is now the limit
    EXPECT_EQ(var->VarSizeMax(), 40000);
    var->SetSize(50000); // beyond the limit: ignored
    EXPECT_EQ(var->GetVarLen(), 40000);
    var->SetSize(39000);
    EXPECT_EQ(var->GetVarLen(), 39000);
    // A write that would leave a gap is refused by the engine: an error, not a count.
    var->Seek(39010, TSeekOrigin::soBeginning);
    EXPECT_THROW(var->Write("x", 1), EDatabaseError);
    EXPECT_EQ(var->GetVarLen(), 39000);

    // Cutting needs the file on this record.
    ds.Next();
    EXPECT_THROW(
        try { var->SetSize(100); } catch (const EDatabaseError& e) {
            EXPECT_EQ(e.Message(), "Физическая позиция в файле изменилась до операции записи части записи");
            throw;
        },
        EDatabaseError);

    // No variable part to offer: inserting, or a fixed-length file.
    ds.Append();
    EXPECT_FALSE(ds.CreateVarStream());
    ds.Cancel();
    EXPECT_FALSE(Open("MASTER.DAT").CreateVarStream());
}

TEST_F(Writing, LocateComparesBlobValuesOfTheRecordsItWalks) {
    NoteWith(1, "первая", "", "");
    NoteWith(2, "", "", "x");
    NoteWith(3, "вторая", "", "");
    TBDataSet& ds = NoteWith(4, "вторая", "", "");
    ds.First();
    ASSERT_TRUE(ds.Locate("Memo", Variant("вторая"), {}));
    EXPECT_EQ(ds.FieldByName("Code")->AsInteger(), 3);
    ASSERT_TRUE(ds.Locate("Code;Memo", VarArrayOf({Variant(4), Variant("вторая")}), {}));
    EXPECT_EQ(ds.FieldByName("Code")->AsInteger(), 4);
    ASSERT_TRUE(ds.Locate("Data", Variant("x"), {}));
    EXPECT_EQ(ds.FieldByName("Code")->AsInteger(), 2);
    EXPECT_FALSE(ds.Locate("Memo", Variant("третья"), {}));
    EXPECT_EQ(ds.Lookup("Memo", Variant("первая"), "Code").AsInteger(), 1);
}

// ---- edits, locks and a second client ------------------------------------------

// Another client: a thread of its own holding one dataset, told what to do.
class OtherClient {
public:
    OtherClient(const std::string& dict, const std::string& base)
        : FThread([this, dict, base] { Run(dict, base); }) {}
    ~OtherClient() {
        Do(nullptr);
        FThread.join();
    }
    // Runs `job` on the other client's thread and waits for it.
    void Do(std::function<void(TBDataSet&)> job) {
        std::promise<std::exception_ptr> done;
        auto answer = done.get_future();
        {
            std::lock_guard lock(FMutex);
            FJob = std::move(job);
            FDone = &done;
            FHasJob = true;
        }
        FWake.notify_one();
        if (auto e = answer.get()) std::rethrow_exception(e);
    }

private:
    void Run(const std::string& dict, const std::string& base) {
        TBDataSet ds;
        ds.SetDictName(dict);
        ds.SetBaseName(base);
        bool open = false;
        for (;;) {
            std::unique_lock lock(FMutex);
            FWake.wait(lock, [this] { return FHasJob; });
            FHasJob = false;
            auto job = std::move(FJob);
            auto* done = FDone;
            lock.unlock();
            std::exception_ptr error;
            try {
                if (!open) ds.Open(), open = true;
                if (job) job(ds);
            } catch (...) {
                error = std::current_exception();
            }
            if (!job) {
                ds.Close();
                done->set_value(error);
                return;
            }
            done->set_value(error);
        }
    }

    std::mutex FMutex;
    std::condition_variable FWake;
    std::function<void(TBDataSet&)> FJob;
    std::promise<std::exception_ptr>* FDone = nullptr;
    bool FHasJob = false;
    std::thread FThread;
};

TEST_F(Writing, EditingALockedRecordWaitsThenFailsAndStaysBrowsing) {
    TBDataSet& ds = NoteWith(1, "", "", "");
    OtherClient other(FDir.File("DICT.DAT"), FDir.File("NOTES.DAT"));
    other.Do([](TBDataSet& o) { o.Edit(); }); // holds the lock
    ds.DataFile()->SetMaxRetry(2);
    ds.DataFile()->SetRetryDelay(10);
    try {
        ds.Edit();
        FAIL() << "edited a locked record";
    } catch (const EBtrieve& e) {
        EXPECT_EQ(e.Error(), 84);
    }
    EXPECT_EQ(ds.State(), dsBrowse);
    other.Do([](TBDataSet& o) { o.Cancel(); }); // unlocks
    ds.Edit();
    ds.Cancel();
}

TEST_F(Writing, EditsRereadTheRecordAndConflictingUpdatesReport80) {
    TBDataSet& ds = NoteWith(1, "", "", "");
    ds.Edit();
    ds.FieldByName("Name")->SetAsString("first");
    ds.Post();
    OtherClient other(FDir.File("DICT.DAT"), FDir.File("NOTES.DAT"));
    other.Do([](TBDataSet& o) {
        o.Edit();
        o.FieldByName("Name")->SetAsString("theirs");
        o.Post();
    });
    EXPECT_EQ(ds.FieldByName("Name")->AsString(), "first"); // fetched before
    ds.Edit();
    EXPECT_EQ(ds.FieldByName("Name")->AsString(), "theirs"); // the edit starts from disk
    ds.Cancel();

    // Without locks both may edit; the later post finds the record changed.
    ds.SetLocking(false);
    ds.Edit();
    other.Do([](TBDataSet& o) {
        o.SetLocking(false);
        o.Edit();
        o.FieldByName("Name")->SetAsString("again");
        o.Post();
    });
    ds.FieldByName("Name")->SetAsString("mine");
    try {
        ds.Post();
        FAIL() << "posted over another client's change";
    } catch (const EDatabaseError& e) {
        EXPECT_NE(e.Message().find("Запись была изменена другой станцией"), std::string::npos) << e.Message();
    }
    ds.Cancel();
    EXPECT_EQ(Open("NOTES.DAT").FieldByName("Name")->AsString(), "again");
}

TEST_F(Writing, WithoutLockingAnEditLeavesTheRecordFreeToLock) {
    TBDataSet& ds = NoteWith(1, "", "", "");
    ds.SetLocking(false);
    ds.Edit();
    OtherClient other(FDir.File("DICT.DAT"), FDir.File("NOTES.DAT"));
    // The other client's edit would raise 84 if the first one held a lock.
    const auto otherEdits = [](TBDataSet& o) {
        o.DataFile()->SetMaxRetry(0);
        o.Edit();
        EXPECT_EQ(o.State(), dsEdit);
        o.Cancel();
    };
    EXPECT_NO_THROW(other.Do(otherEdits));
    ds.Cancel();
    // Turning locking off in the middle of an edit releases the lock at once.
    ds.SetLocking(true);
    ds.Edit();
    ds.SetLocking(false);
    EXPECT_NO_THROW(other.Do(otherEdits));
    ds.Cancel();
}

TEST_F(Writing, AddRecordInsertsAFreshBufferWithoutPositioning) {
    TBDataSet& ds = Open("MASTER.DAT");
    ds.AppendRecord({Variant(5), Variant("five")});
    ds.InsertRecord({Variant(3), Variant("three")});
    ds.First();
    EXPECT_EQ(ds.FieldByName("Code")->AsInteger(), 3);
    ds.Next();
    EXPECT_EQ(ds.FieldByName("Title")->AsString(), "five");
}

// ---- master-detail -----------------------------------------------------------------

class MasterDetail : public Writing {
protected:
    void SetUp() override {
        Writing::SetUp();
        master = &Open("MASTER.DAT");
        lines = &Open("LINES.DAT", "MasterCode");
        tags = &Open("TAGS.DAT", "MasterCode");
        tags->SetName("Tags");
        for (int code : {7, 9}) master->AppendRecord({Variant(code), Variant("m")});
        for (int n = 1; n <= 3; ++n) lines->AppendRecord({Variant(7), Variant(n), Variant("l")});
        lines->AppendRecord({Variant(9), Variant(1), Variant("l9")});
        for (int n = 1; n <= 2; ++n) tags->AppendRecord({Variant(7), Variant(n), Variant("t")});
        master->SetMasterFields("Code");
        lines->SetMasterSet(master);
        tags->SetMasterSet(master);
        master->First();
    }
    // The MasterCode of every record of a detail file, in key order.
    std::vector<int> Codes(const std::string& base) {
        TBDataSet& ds = Open(base);
        std::vector<int> codes;
        for (ds.First(); !ds.Eof(); ds.Next()) codes.push_back(ds.Fields()[0]->AsInteger());
        return codes;
    }
    TBDataSet *master = nullptr, *lines = nullptr, *tags = nullptr;
};

TEST_F(MasterDetail, ChangedMasterFieldsMoveEveryDetailRecord) {
    master->Edit();
    master->FieldByName("Code")->SetAsInteger(8);
    master->Post();
    EXPECT_EQ(Codes("LINES.DAT"), (std::vector<int>{8, 8, 8, 9}));
    EXPECT_EQ(Codes("TAGS.DAT"), (std::vector<int>{8, 8}));
    EXPECT_EQ(Codes("MASTER.DAT"), (std::vector<int>{8, 9}));
    // Each detail keeps the old values as its range: nothing left in it.
    EXPECT_TRUE(lines->IsEmpty());
    EXPECT_TRUE(tags->IsEmpty());
}

TEST_F(MasterDetail, UnchangedMasterFieldsTouchNoDetail) {
    lines->Last();
    master->Edit();
    master->FieldByName("Title")->SetAsString("renamed");
    master->Post();
    EXPECT_EQ(lines->FieldByName("What")->AsString(), "l9"); // not ranged, not moved
    EXPECT_EQ(Codes("LINES.DAT"), (std::vector<int>{7, 7, 7, 9}));
}

TEST_F(MasterDetail, AMismatchedDetailStopsThePostBeforeAnythingIsWritten) {
    tags->SetIndexFields("MasterCode;N");
    master->Edit();
    master->FieldByName("Code")->SetAsInteger(8);
    try {
        master->Post();
        FAIL() << "posted with a mismatched detail";
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), "Tags: MasterSet's MasterFields property doesn't match IndexFields");
    }
    master->Cancel();
    EXPECT_EQ(Codes("MASTER.DAT"), (std::vector<int>{7, 9}));
    EXPECT_EQ(Codes("LINES.DAT"), (std::vector<int>{7, 7, 7, 9})); // the first detail is untouched too
}

TEST_F(MasterDetail, ADetailThatCannotHoldTheNewValueStopsInsteadOfLooping) {
    TBDataSet& shorts = Open("SHORT.DAT", "Ref");
    for (int x : {1, 2}) shorts.AppendRecord({Variant("ab"), Variant(x)});
    master->Edit();
    master->FieldByName("Title")->SetAsString("ab");
    master->Post();
    lines->SetMasterSet(nullptr);
    tags->SetMasterSet(nullptr);
    master->SetMasterFields("Title");
    shorts.SetMasterSet(master);
    master->Edit();
    master->FieldByName("Title")->SetAsString("abc"); // stored as "ab" in the detail
    EXPECT_THROW(master->Post(), EDatabaseError);
    master->Cancel();
    EXPECT_EQ(Open("MASTER.DAT").FieldByName("Title")->AsString(), "ab");
}

TEST_F(MasterDetail, AFailedMasterPostLeavesTheDetailsAndACorrectedRetryMovesThem) {
    master->Edit();
    master->FieldByName("Code")->SetAsInteger(9); // taken: the master cannot be written
    EXPECT_THROW(master->Post(), EDatabaseError);
    EXPECT_EQ(Codes("LINES.DAT"), (std::vector<int>{7, 7, 7, 9}));
    EXPECT_EQ(Codes("TAGS.DAT"), (std::vector<int>{7, 7}));
    master->FieldByName("Code")->SetAsInteger(8);
    master->Post();
    EXPECT_EQ(Codes("MASTER.DAT"), (std::vector<int>{8, 9}));
    EXPECT_EQ(Codes("LINES.DAT"), (std::vector<int>{8, 8, 8, 9}));
    EXPECT_EQ(Codes("TAGS.DAT"), (std::vector<int>{8, 8}));
}

// Titles as the details by Title hold them, in key order.
std::vector<std::string> Refs(TBDataSet& ds) {
    std::vector<std::string> out;
    for (ds.First(); !ds.Eof(); ds.Next()) out.push_back(ds.FieldByName("Ref")->AsString());
    return out;
}

TEST_F(MasterDetail, ADetailThatFailsTakesTheWholeCascadeBack) {
    lines->SetMasterSet(nullptr);
    tags->SetMasterSet(nullptr);
    TBDataSet& named = Open("NAMED.DAT", "Ref");
    TBDataSet& shorts = Open("SHORT.DAT", "Ref");
    for (int x : {1, 2, 3}) named.AppendRecord({Variant("ab"), Variant(x)});
    shorts.AppendRecord({Variant("ab"), Variant(1)});
    master->Edit();
    master->FieldByName("Title")->SetAsString("ab");
    master->Post();
    master->SetMasterFields("Title");
    named.SetMasterSet(master);
    shorts.SetMasterSet(master); // holds two characters of a title
    master->Edit();
    master->FieldByName("Title")->SetAsString("abc");
    EXPECT_THROW(master->Post(), EDatabaseError);
    named.SetRange({}, {});
    shorts.SetRange({}, {});
    EXPECT_EQ(Refs(named), (std::vector<std::string>{"ab", "ab", "ab"})); // moved, then taken back
    EXPECT_EQ(Refs(shorts), (std::vector<std::string>{"ab"}));
    master->FieldByName("Title")->SetAsString("AB"); // a change of case only
    master->Post();
    EXPECT_EQ(Open("MASTER.DAT").FieldByName("Title")->AsString(), "AB");
    named.SetRange({}, {});
    EXPECT_EQ(Refs(named), (std::vector<std::string>{"AB", "AB", "AB"}));
    shorts.SetRange({}, {});
    EXPECT_EQ(Refs(shorts), (std::vector<std::string>{"AB"}));
}

TEST_F(MasterDetail, CascadesReachTheDetailsAFilterHides) {
    lines->OnFilterRecord = [](TDataSet* d, bool& accept) { accept = d->FieldByName("N")->AsInteger() != 2; };
    lines->SetFiltered(true);
    master->Edit();
    master->FieldByName("Code")->SetAsInteger(8);
    master->Post();
    EXPECT_EQ(Codes("LINES.DAT"), (std::vector<int>{8, 8, 8, 9}));
    master->SetDeleteChildren(true);
    ASSERT_TRUE(master->Locate("Code", Variant(8), {}));
    master->Delete();
    EXPECT_EQ(Codes("LINES.DAT"), (std::vector<int>{9}));
    EXPECT_EQ(Codes("TAGS.DAT"), (std::vector<int>{}));
    EXPECT_TRUE(lines->Filtered()); // the filter is the detail's own again
}

TEST_F(MasterDetail, DeletesCascadeThroughTwoLevelsOnlyWhenAsked) {
    TBDataSet& parts = Open("PARTS.DAT", "LineN");
    for (int line : {1, 2, 1}) parts.AppendRecord({Variant(line), Variant(line * 10)});
    parts.AppendRecord({Variant(4), Variant(40)});
    lines->SetMasterFields("N");
    parts.SetMasterSet(lines);
    lines->SetDeleteChildren(true);

    master->Delete(); // DeleteChildren off: only the master record
    EXPECT_EQ(Codes("MASTER.DAT"), (std::vector<int>{9}));
    EXPECT_EQ(Codes("LINES.DAT").size(), 4u);

    master->AppendRecord({Variant(7), Variant("again")});
    master->SetDeleteChildren(true);
    master->First();
    master->Delete();
    EXPECT_EQ(Codes("LINES.DAT"), (std::vector<int>{9}));
    EXPECT_EQ(Codes("TAGS.DAT"), (std::vector<int>{}));
    EXPECT_EQ(Codes("PARTS.DAT"), (std::vector<int>{4})); // parts of lines 1 and 2 went with them
    EXPECT_EQ(Codes("MASTER.DAT"), (std::vector<int>{9}));
}

TEST_F(MasterDetail, DeleteChildrenWithoutMasterFieldsIsRefused) {
    master->SetMasterFields("");
    master->SetDeleteChildren(true);
    EXPECT_THROW(master->Delete(), EDatabaseError);
    EXPECT_EQ(Codes("LINES.DAT").size(), 4u);
    EXPECT_EQ(Codes("MASTER.DAT").size(), 2u);
}

TEST_F(MasterDetail, LinksFollowDestructionAndRefuseCycles) {
    EXPECT_THROW(master->SetMasterSet(master), EDatabaseError);
    EXPECT_THROW(master->SetMasterSet(lines), EDatabaseError); // through a detail
    EXPECT_EQ(master->MasterSet(), nullptr);
    {
        TBDataSet temporary;
        temporary.SetMasterSet(master);
        EXPECT_EQ(master->Children().size(), 3u);
    }
    EXPECT_EQ(master->Children(), (std::vector<TBDataSet*>{lines, tags}));
    tags->SetMasterSet(lines); // moved, not added twice
    EXPECT_EQ(master->Children(), (std::vector<TBDataSet*>{lines}));
    auto owner = std::make_unique<TBDataSet>();
    lines->SetMasterSet(owner.get());
    owner.reset();
    EXPECT_EQ(lines->MasterSet(), nullptr);
}

// ---- transactions ------------------------------------------------------------------

int ClientsOfThisThread() { return ClientList->FindByThreadID(GetCurrentThreadId()) >= 0 ? 1 : 0; }

TEST_F(Writing, RollbackLeavesNothingAndCommitKeepsEveryFile) {
    TBDataSet& m = Open("MASTER.DAT");
    TBDataSet& l = Open("LINES.DAT");
    BStartTransaction();
    m.AppendRecord({Variant(1), Variant("gone")});
    BRollback();
    m.Refresh();
    EXPECT_TRUE(m.IsEmpty());

    BStartTransaction();
    m.AppendRecord({Variant(2), Variant("kept")});
    l.AppendRecord({Variant(2), Variant(1), Variant("kept")});
    BCommit();
    EXPECT_EQ(Open("MASTER.DAT").FieldByName("Code")->AsInteger(), 2);
    EXPECT_EQ(Open("LINES.DAT").FieldByName("What")->AsString(), "kept");
}

TEST(Transactions, AThreadWithoutFilesGetsAndDropsItsClient) {
    std::thread([] {
        EXPECT_EQ(ClientsOfThisThread(), 0);
        BStartTransaction();
        EXPECT_EQ(ClientsOfThisThread(), 1);
        BCommit();
        EXPECT_EQ(ClientsOfThisThread(), 0);
    }).join();
}

TEST(Transactions, AFailedBeginKeepsItsAcquisition) {
    std::thread([] {
        BStartTransaction();
        try {
            BStartTransaction();
            ADD_FAILURE() << "a second begin succeeded";
        } catch (const EDatabaseError& e) {
            EXPECT_EQ(e.Message(), "Ошибка транзакции. Код ошибки 37");
        }
        BRollback();
        EXPECT_EQ(ClientsOfThisThread(), 1); // the failed begin's acquisition is still held
        EXPECT_THROW(BRollback(), EDatabaseError); // 39: no transaction, but it balances
        EXPECT_EQ(ClientsOfThisThread(), 0);
    }).join();
}

TEST_F(Writing, AnEndWithoutABeginReleasesNothing) {
    TBDataSet& m = Open("MASTER.DAT");
    EXPECT_THROW(BCommit(), EDatabaseError);
    EXPECT_THROW(BRollback(), EDatabaseError);
    m.AppendRecord({Variant(1), Variant("still works")}); // the file's client is still there
    EXPECT_EQ(ClientsOfThisThread(), 1);
}

} // namespace
} // namespace btr
