// Many processes on one file: every rule between clients holds across
// processes as between the clients of one process. The other process is a
// peer (peer.cpp) driven through pipes; a test that must know the peer waits
// for a lock reads that from the file's lock space, never from a clock.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <set>
#include <thread>

#include "tests/btrengine/sharing/peer_process.h"
#include "tests/btrengine/sharing/record.h"
#include "tests/btrengine/stores.h"
#include "tests/btrengine/tamper.h"
#include "tests/btrengine/waits.h"

namespace btr::test::sharing {
namespace {

namespace fs = std::filesystem;

// Waits a request with a wait bias makes: short where a wait must end in
// 84, for good where it must be granted.
const std::string kShortWait = "BTRKIT_LOCK_WAIT_MS=50", kLongWait = "BTRKIT_LOCK_WAIT_MS=600000";

// One side of a two-process test: this process or the peer, with the same
// calls, so that a table of cases runs in both directions.
class Side {
public:
    virtual ~Side() = default;
    virtual std::string Name() const = 0;
    int Open(const std::string& path, int mode = 0) { return OpenAs(path, mode); }
    virtual int Close() = 0;
    // A get (any op, bias included) of record `id` on key 0, or a step or
    // get direct (`id`: the position); the record read is Id(), Counter(), Text().
    int Get(int op, int32_t id = 0) { return GetAt(op, id); }
    virtual int Insert(int32_t id, int32_t counter, const std::string& text) = 0;
    virtual int Update(int32_t id, int32_t counter, const std::string& text) = 0;
    virtual int Delete() = 0;
    int Unlock(int key, uint32_t pos = 0) { return UnlockAt(key, pos); }
    virtual uint32_t Position() = 0;
    virtual int Txn(int op) = 0;
    virtual long Count() = 0;
    int32_t Id() const { return FId; }
    int32_t Counter() const { return FCounter; }
    const std::string& Text() const { return FText; }

protected:
    virtual int OpenAs(const std::string& path, int mode) = 0;
    virtual int GetAt(int op, int32_t id) = 0;
    virtual int UnlockAt(int key, uint32_t pos) = 0;

    int32_t FId = -1, FCounter = -1;
    std::string FText;
};

class Here : public Side {
public:
    explicit Here(uint16_t client = 1) : FH(Client(client)) {}
    std::string Name() const override { return "this process"; }
    int OpenAs(const std::string& path, int mode) override { return FH.Open(path, static_cast<uint8_t>(mode)); }
    int Close() override { return FH.Close(); }
    int GetAt(int op, int32_t id) override {
        const int st = op % 100 == 23 ? FH.GetBy(static_cast<uint16_t>(op), static_cast<uint32_t>(id))
                                      : FH.Get(static_cast<uint16_t>(op), 0, Int32Key(id));
        FId = st ? -1 : test::IdOf(FH.Record);
        FCounter = st ? -1 : CounterOf(FH.Record);
        FText = st ? "-" : TextOf(FH.Record);
        return st;
    }
    int Insert(int32_t id, int32_t counter, const std::string& text) override { return FH.Insert(Record(id, counter, text)); }
    int Update(int32_t id, int32_t counter, const std::string& text) override { return FH.Update(Record(id, counter, text)); }
    int Delete() override { return FH.Delete(); }
    int UnlockAt(int key, uint32_t pos) override { return FH.Unlock(static_cast<uint8_t>(key), pos); }
    uint32_t Position() override { return FH.Position(); }
    int Txn(int op) override { return Transaction(static_cast<uint16_t>(op), FH.Owner()); }
    long Count() override {
        uint8_t buf[512];
        int32_t len = sizeof buf;
        return FH.Call(15, buf, len, nullptr, 0, 0) ? -1 : Get32(buf + 6);
    }
    Handle& H() { return FH; }

private:
    Handle FH;
};

class There : public Side {
public:
    explicit There(Peer& peer, int handle = 0) : FP(peer), FN(std::string(" ").append(std::to_string(handle)).append(" ")) {}
    std::string Name() const override { return "the peer"; }
    int OpenAs(const std::string& path, int mode) override {
        return FP.Status("open" + FN + path + " " + std::to_string(mode));
    }
    int Close() override { return FP.Status("close" + FN); }
    // Sends a get and leaves its answer for Got (a get that waits).
    void Start(int op, int32_t id = 0) { FP.Send("get" + FN + std::to_string(op) + " 0 " + std::to_string(id)); }
    int Got() {
        const std::string reply = FP.Reply();
        std::istringstream in(reply);
        int st = -999;
        in >> st >> FId >> FCounter >> FText;
        return st;
    }
    int GetAt(int op, int32_t id) override {
        Start(op, id);
        return Got();
    }
    int Insert(int32_t id, int32_t counter, const std::string& text) override { return Write("insert", id, counter, text); }
    int Update(int32_t id, int32_t counter, const std::string& text) override { return Write("update", id, counter, text); }
    int Delete() override { return FP.Status("delete" + FN); }
    int UnlockAt(int key, uint32_t pos) override {
        return FP.Status("unlock" + FN + std::to_string(key) + " " + std::to_string(pos));
    }
    uint32_t Position() override { return static_cast<uint32_t>(Peer::Numbers(FP.Ask("pos" + FN)).back()); }
    int Txn(int op) override { return FP.Status("txn" + FN + std::to_string(op)); }
    long Count() override {
        const auto v = Peer::Numbers(FP.Ask("stat" + FN));
        return v[0] ? -1 : v.back();
    }

private:
    int Write(const char* cmd, int32_t id, int32_t counter, const std::string& text) {
        return FP.Status(cmd + FN + std::to_string(id) + " " + std::to_string(counter) + " " + (text.empty() ? "-" : text));
    }
    Peer& FP;
    std::string FN;
};

// A file of records 1..5 (counter 0, text "v0"), open here and in a peer.
class Sharing : public ::testing::Test {
protected:
    void SetUp() override { Start({kShortWait}); }
    void Start(const std::vector<std::string>& peerEnv) {
        P = std::make_unique<Peer>(std::vector<std::string>{}, peerEnv);
        Me = std::make_unique<Here>();
        Them = std::make_unique<There>(*P);
        ASSERT_EQ(Create(Path(), FileSpec()), 0);
        ASSERT_EQ(Me->Open(Path()), 0);
        for (int32_t id = 1; id <= 5; ++id) ASSERT_EQ(Me->Insert(id, 0, "v0"), 0);
        ASSERT_EQ(Them->Open(Path()), 0);
    }
    void TearDown() override {
        Transaction(25, Client(1));
        Them.reset();
        P.reset();
    }
    LockWaitMs FWait{"50"}; // this process's waits end quickly unless a test says otherwise
    std::string Path() const { return FDir.File("S.DAT"); }
    // Both sides, each as the one acting first.
    std::vector<std::pair<Side*, Side*>> BothWays() { return {{Me.get(), Them.get()}, {Them.get(), Me.get()}}; }

    Place FDir;
    std::unique_ptr<Peer> P;
    std::unique_ptr<Here> Me;
    std::unique_ptr<There> Them;
};

TEST_F(Sharing, LockConflictsHoldInBothDirectionsForEveryBias) {
    for (auto [holder, other] : BothWays()) {
        for (int bias : {100, 200, 300, 400}) {
            SCOPED_TRACE(holder->Name() + " holds with bias " + std::to_string(bias));
            ASSERT_EQ(holder->Get(5 + bias, 1), 0);
            const uint32_t pos = holder->Position();
            for (int asked : {100, 200, 300, 400}) EXPECT_EQ(other->Get(5 + asked, 1), 84) << "asked with " << asked;
            EXPECT_EQ(other->Get(23 + 200, static_cast<int32_t>(pos)), 84) << "get direct";
            EXPECT_EQ(other->Get(5, 1), 0) << "a read without a lock";
            EXPECT_EQ(other->Update(1, 9, "other"), 84);
            EXPECT_EQ(other->Delete(), 84);
            EXPECT_EQ(other->Get(5 + 200, 2), 0) << "another record";
            EXPECT_EQ(other->Unlock(0), 0);
            // Released the way it was taken: the other side gets it at once.
            ASSERT_EQ(bias >= 300 ? holder->Unlock(255, pos) : holder->Unlock(0), 0);
            EXPECT_EQ(other->Get(5 + 200, 1), 0);
            EXPECT_EQ(holder->Get(5 + 400, 1), 84);
            ASSERT_EQ(other->Unlock(0), 0);
        }
        // Multiple-record locks accumulate across the processes' view too.
        ASSERT_EQ(holder->Get(5 + 400, 1), 0);
        ASSERT_EQ(holder->Get(5 + 400, 2), 0);
        EXPECT_EQ(other->Get(5 + 200, 1), 84);
        EXPECT_EQ(other->Get(5 + 200, 2), 84);
        ASSERT_EQ(holder->Unlock(254), 0);
        EXPECT_EQ(other->Get(5 + 400, 1), 0);
        EXPECT_EQ(other->Get(5 + 400, 2), 0);
        ASSERT_EQ(other->Unlock(254), 0);
    }
}

// A get that had to wait answers with the record as the holder left it: the
// new image after an update (and the waiter's own update then goes
// through), not-found after a delete, the next record for a get-next.
TEST_F(Sharing, AWaitedGetReturnsTheRecordAsItIsWhenGranted) {
    TearDown();
    Start({kLongWait});
    There& waiter = *Them;
    const struct {
        const char* what;
        bool deletes;
        int op;       // the waiter's get, bias 100 added
        int status;   // what it answers
        int32_t read; // the record it reads
    } cases[] = {
        {"get equal, the holder updates", false, 5, 0, 2},
        {"get next, the holder updates", false, 6, 0, 2},
        {"get direct, the holder updates", false, 23, 0, 2},
        {"get equal, the holder deletes", true, 5, 4, -1},
        {"get next, the holder deletes", true, 6, 0, 3},
        {"get direct, the holder deletes", true, 23, 43, -1},
    };
    int32_t round = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        round++;
        // Record 2 afresh; the waiter stands on record 1.
        if (Me->Get(5, 2) == 0) {
            ASSERT_EQ(Me->Delete(), 0);
        }
        ASSERT_EQ(Me->Insert(2, 0, "old"), 0);
        ASSERT_EQ(Me->Get(5 + 200, 2), 0);
        const uint32_t pos = Me->Position();
        ASSERT_EQ(waiter.Get(5, 1), 0);
        waiter.Start(c.op + 100, c.op == 23 ? static_cast<int32_t>(pos) : 2);
        ASSERT_TRUE(SomeoneWaits(Path())) << "the peer does not wait";
        if (c.deletes) ASSERT_EQ(Me->Delete(), 0);
        else ASSERT_EQ(Me->Update(2, round, "new"), 0);
        ASSERT_EQ(waiter.Got(), c.status);
        EXPECT_EQ(waiter.Id(), c.read);
        if (c.read == 2) {
            EXPECT_EQ(waiter.Counter(), round);
            EXPECT_EQ(waiter.Text(), "new");
            EXPECT_EQ(waiter.Update(2, 100 + round, "waiter"), 0) << "the waiter's lock is on the record as it is";
            ASSERT_EQ(Me->Get(5, 2), 0);
            EXPECT_EQ(Me->Counter(), 100 + round);
        }
        waiter.Unlock(0);
    }
}

TEST_F(Sharing, AWaitCycleAcrossProcessesAnswers78) {
    TearDown();
    Start({kLongWait});
    ::setenv("BTRKIT_LOCK_WAIT_MS", "600000", 1); // (FWait unsets it at the end)
    ASSERT_EQ(Me->Get(5 + 200, 1), 0);
    ASSERT_EQ(Them->Get(5 + 200, 2), 0);
    Them->Start(5 + 100, 1); // the peer waits for this process
    ASSERT_TRUE(SomeoneWaits(Path()));
    EXPECT_EQ(Me->Get(5 + 100, 2), 78); // and this process would wait for the peer
    ASSERT_EQ(Me->Unlock(0), 0);
    EXPECT_EQ(Them->Got(), 0);
    EXPECT_EQ(Them->Id(), 1);
}

// A process forked without a new program is another client to its parent:
// the clients each makes afterwards have tags of their own, so the parent's
// wait for a record the child holds is a wait (84 once it lasts), not a
// cycle through itself (78).
TEST_F(Sharing, AForkedChildsClientsAreNotItsParents) {
    int toParent[2], toChild[2];
    ASSERT_EQ(::pipe(toParent), 0);
    ASSERT_EQ(::pipe(toChild), 0);
    const pid_t kid = ::fork();
    ASSERT_GE(kid, 0);
    char byte = 0;
    if (kid == 0) {
        Here child(7);
        const bool held = child.Open(Path()) == 0 && child.Get(5 + 200, 1) == 0;
        const bool told = ::write(toParent[1], held ? "h" : "-", 1) == 1 && ::read(toChild[0], &byte, 1) == 1;
        ::_exit(held && told ? 0 : 1);
    }
    ASSERT_EQ(::read(toParent[0], &byte, 1), 1);
    Here parent(8);
    EXPECT_EQ(byte, 'h');
    EXPECT_EQ(parent.Open(Path()), 0);
    EXPECT_EQ(parent.Get(5 + 100, 1), 84);
    EXPECT_EQ(::write(toChild[1], "x", 1), 1);
    int status = -1;
    ::waitpid(kid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]}) ::close(fd);
}

// Another process's transaction: its changes unseen until its end, the
// file's changes refused (85) meanwhile, reads allowed; an abort leaves nothing.
TEST_F(Sharing, TransactionsAreIsolatedAcrossProcesses) {
    for (auto [writer, reader] : BothWays()) {
        for (int end : {20, 21}) {
            SCOPED_TRACE(writer->Name() + (end == 20 ? " ends" : " aborts"));
            ASSERT_EQ(writer->Txn(1019), 0);
            ASSERT_EQ(writer->Insert(6, 0, "tx"), 0);
            ASSERT_EQ(writer->Get(5, 1), 0);
            ASSERT_EQ(writer->Delete(), 0);
            ASSERT_EQ(writer->Get(5, 2), 0);
            ASSERT_EQ(writer->Update(2, 5, "tx"), 0);
            EXPECT_EQ(writer->Count(), 5);
            EXPECT_EQ(reader->Get(5, 6), 4);
            EXPECT_EQ(reader->Get(5, 1), 0);
            EXPECT_EQ(reader->Get(5, 2), 0);
            EXPECT_EQ(reader->Text(), "v0");
            EXPECT_EQ(reader->Count(), 5);
            EXPECT_EQ(reader->Insert(7, 0, "r"), 85);
            EXPECT_EQ(reader->Update(2, 0, "r"), 85);
            EXPECT_EQ(reader->Txn(19), 0);
            EXPECT_EQ(reader->Insert(7, 0, "r"), 85);
            EXPECT_EQ(reader->Txn(21), 0);
            ASSERT_EQ(writer->Txn(end), 0);
            EXPECT_EQ(reader->Get(5, 6), end == 20 ? 0 : 4);
            EXPECT_EQ(reader->Get(5, 1), end == 20 ? 4 : 0);
            ASSERT_EQ(reader->Get(5, 2), 0);
            EXPECT_EQ(reader->Text(), end == 20 ? "tx" : "v0");
            EXPECT_EQ(reader->Count(), 5);
            // Put back as it was, from the reader's side: it may change the file now.
            if (end == 20) {
                ASSERT_EQ(reader->Update(2, 0, "v0"), 0);
                ASSERT_EQ(reader->Get(5, 6), 0);
                ASSERT_EQ(reader->Delete(), 0);
                ASSERT_EQ(reader->Insert(1, 0, "v0"), 0);
            }
        }
    }
}

// Both processes write, alone and in transactions that end or are aborted:
// after every step each counts what the other counts, a transaction its own
// changes besides. An older file (no counter) gets one from the first stat
// that may write it, not while the other's transaction holds the file.
TEST_F(Sharing, RecordCountsAgreeWhileBothProcessesWrite) {
    long want = 5;
    auto both = [&](const char* what) {
        SCOPED_TRACE(what);
        EXPECT_EQ(Me->Count(), want);
        EXPECT_EQ(Them->Count(), want);
    };
    int32_t next = 100;
    for (const bool older : {false, true}) {
        SCOPED_TRACE(older ? "an older file" : "a file with its counter");
        if (older) {
            if (FDir.Server()) break;
            ASSERT_EQ(Me->Close(), 0);
            ASSERT_EQ(Them->Close(), 0);
            ASSERT_TRUE(Tamper(Path(), kDropCounter));
            ASSERT_EQ(Me->Open(Path()), 0);
            ASSERT_EQ(Them->Open(Path()), 0);
            ASSERT_EQ(Them->Txn(19), 0);
            ASSERT_EQ(Them->Insert(next++, 0, "t"), 0);
            EXPECT_EQ(Me->Count(), want); // walked: the file is held
            EXPECT_EQ(Them->Count(), want + 1);
            ASSERT_EQ(Them->Txn(20), 0);
            ++want;
            both("after the older file's first transaction");
        }
        for (auto [w, o] : BothWays()) {
            SCOPED_TRACE(w->Name() + " writes");
            ASSERT_EQ(w->Insert(next++, 0, "n"), 0);
            ++want;
            both("an insert");
            ASSERT_EQ(o->Insert(next++, 0, "n"), 0);
            ++want;
            both("an insert by the other");
            ASSERT_EQ(w->Get(5, next - 1), 0);
            ASSERT_EQ(w->Delete(), 0);
            --want;
            both("a delete of the other's record");
            EXPECT_EQ(w->Insert(next - 2, 0, "again"), 5);
            both("a refused insert");
            for (int end : {21, 20}) {
                SCOPED_TRACE(end == 20 ? "ended" : "aborted");
                ASSERT_EQ(w->Txn(19), 0);
                ASSERT_EQ(w->Insert(next++, 0, "t"), 0);
                ASSERT_EQ(w->Insert(next++, 0, "t"), 0);
                ASSERT_EQ(w->Get(5, next - 1), 0);
                ASSERT_EQ(w->Delete(), 0);
                EXPECT_EQ(w->Count(), want + 1);
                EXPECT_EQ(o->Count(), want);
                ASSERT_EQ(w->Txn(end), 0);
                if (end == 20) ++want;
                both("the transaction's end");
            }
        }
    }
    if (FDir.Server()) return;
    ASSERT_EQ(Me->Close(), 0);
    ASSERT_EQ(Them->Close(), 0);
    EXPECT_EQ(CounterAndCount(Path()), std::to_string(want) + "/" + std::to_string(want));
}

TEST_F(Sharing, ExclusiveOpensAndReplacingCreates) {
    Here second(2);
    for (auto [first, other] : BothWays()) {
        SCOPED_TRACE(first->Name() + " has the file open");
        EXPECT_EQ(other->Close(), 0);
        EXPECT_EQ(other->Open(Path(), 252), 88);
        EXPECT_EQ(Create(Path(), FileSpec()), 88);
        ASSERT_EQ(first->Close(), 0);
        ASSERT_EQ(other->Open(Path(), 252), 0); // alone now
        for (int mode : {0, 254, 252}) EXPECT_EQ(first->Open(Path(), mode), 88) << "mode " << mode;
        EXPECT_EQ(second.Open(Path()), 88);
        EXPECT_EQ(Create(Path(), FileSpec()), 88);
        EXPECT_EQ(other->Insert(6, 0, "ex"), 0);
        ASSERT_EQ(other->Close(), 0);
        ASSERT_EQ(first->Open(Path()), 0);
        ASSERT_EQ(other->Open(Path()), 0);
        EXPECT_EQ(first->Get(5, 6), 0);
        ASSERT_EQ(first->Delete(), 0);
    }
    ASSERT_EQ(Me->Close(), 0);
    ASSERT_EQ(Them->Close(), 0);
    EXPECT_EQ(Create(Path(), FileSpec()), 0); // nobody has it open
    ASSERT_EQ(Them->Open(Path()), 0);
    EXPECT_EQ(Them->Count(), 0);
}

// What one process reads ahead or keeps (the rows of a scan, the record
// count, the next position and autoincrement value) never outlives the
// other process's change.
TEST_F(Sharing, NothingKeptSurvivesTheOtherProcessesChange) {
    using Read = std::vector<std::pair<int32_t, int32_t>>; // id, counter
    for (const auto& way : BothWays()) {
        Side* scanner = way.first;
        Side* changer = way.second; // (a lambda cannot capture a structured binding here)
        SCOPED_TRACE(changer->Name() + " changes");
        const struct {
            const char* what;
            std::function<int()> change;
            Read rest; // what the scan reads after record 2
        } cases[] = {
            {"deletes the next", [&] { return changer->Get(5, 3) ? -1 : changer->Delete(); }, {{4, 0}, {5, 0}}},
            {"inserts it back", [&] { return changer->Insert(3, 7, "back"); }, {{3, 7}, {4, 0}, {5, 0}}},
            {"updates it", [&] { return changer->Get(5, 3) ? -1 : changer->Update(3, 8, "upd"); }, {{3, 8}, {4, 0}, {5, 0}}},
            {"inserts after the last", [&] { return changer->Insert(6, 0, "new"); }, {{3, 8}, {4, 0}, {5, 0}, {6, 0}}},
            {"deletes that again", [&] { return changer->Get(5, 6) ? -1 : changer->Delete(); }, {{3, 8}, {4, 0}, {5, 0}}},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.what);
            ASSERT_EQ(scanner->Get(12), 0);
            ASSERT_EQ(scanner->Get(6), 0); // record 2, with what follows read ahead
            ASSERT_EQ(c.change(), 0);
            Read rest;
            while (scanner->Get(6) == 0) rest.emplace_back(scanner->Id(), scanner->Counter());
            EXPECT_EQ(rest, c.rest);
            EXPECT_EQ(scanner->Count(), long(c.rest.size()) + 2) << "the record count";
        }
        ASSERT_EQ(scanner->Get(5 + 200, 3), 0);
        EXPECT_EQ(scanner->Update(3, 0, "v0"), 0) << "no stale version";
    }
    // Positions and autoincrement values given out in turn by both processes never meet.
    const std::string autoPath = FDir.File("AUTO.DAT");
    ASSERT_EQ(Create(autoPath, Spec(kLen).Key({{1, 4, 15}})), 0);
    Here a(3);
    There b(*P, 1);
    ASSERT_EQ(a.Open(autoPath), 0);
    ASSERT_EQ(b.Open(autoPath), 0);
    std::set<uint32_t> positions;
    for (int i = 0; i < 6; ++i) {
        Side& s = i % 2 ? static_cast<Side&>(b) : a;
        ASSERT_EQ(s.Insert(0, i, "auto"), 0) << i;
        positions.insert(s.Position());
    }
    EXPECT_EQ(positions.size(), 6u);
    std::vector<int32_t> ids;
    for (int st = a.Get(12); st == 0; st = a.Get(6)) ids.push_back(a.Id());
    EXPECT_EQ(ids, (std::vector<int32_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(b.Count(), 6);
}

// Until the server has no session left of the process `pid` (its sessions
// are named after it); false after a minute.
bool SessionsGone(pid_t pid) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    for (std::string n; n != "0";) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        if (!ServerSql("SELECT count(*) FROM pg_stat_activity WHERE application_name='btrkit " + std::to_string(pid) + "'", &n))
            return false;
        if (n != "0") std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST_F(Sharing, AKilledProcessLeavesNoLocksAndNoTransaction) {
    ASSERT_EQ(Them->Txn(19), 0);
    ASSERT_EQ(Them->Insert(6, 0, "gone"), 0);
    ASSERT_EQ(Them->Get(5, 4), 0);
    ASSERT_EQ(Them->Update(4, 9, "gone"), 0);
    ASSERT_EQ(Them->Get(5 + 200, 1), 0);
    ASSERT_EQ(Them->Get(5 + 400, 2), 0);
    ASSERT_EQ(Them->Get(5 + 400, 3), 0);
    for (int32_t id : {1, 2, 3, 4}) EXPECT_EQ(Me->Get(5 + 200, id), 84) << "record " << id; // 4: changed in its transaction
    EXPECT_EQ(Me->Insert(7, 0, "me"), 85);
    const pid_t peer = P->Pid();
    P->Kill();
    if (FDir.Server()) { // a server ends a dead client's session in its own time
        ASSERT_TRUE(SessionsGone(peer));
    }
    for (int32_t id : {1, 2, 3, 4}) EXPECT_EQ(Me->Get(5 + 400, id), 0) << "record " << id << " still locked";
    EXPECT_EQ(Me->Insert(7, 0, "me"), 0);
    EXPECT_EQ(Me->Get(5, 6), 4);
    ASSERT_EQ(Me->Get(5, 4), 0);
    EXPECT_EQ(Me->Text(), "v0");
    EXPECT_EQ(Me->Count(), 6);
    // And the file opens exclusively: nothing of the peer holds it.
    Here late(2);
    EXPECT_EQ(late.Open(Path(), 252), 88); // this process still has it open
    ASSERT_EQ(Me->Close(), 0);
    EXPECT_EQ(late.Open(Path(), 252), 0);
}

// A hard link, a symbolic link and a path through "..": one file, one set of
// locks, and inserts through all of them at once all land.
TEST_F(Sharing, LinksShareLocksAndData) {
    if (FDir.Server()) GTEST_SKIP() << "links are local files";
    fs::create_directory(FDir.File("sub"));
    const std::string hard = FDir.File("sub/HARD.DAT"), soft = FDir.File("SOFT.DAT"), dotted = FDir.File("sub/../S.DAT");
    fs::create_hard_link(Path(), hard);
    fs::create_symlink(Path(), soft);
    ASSERT_EQ(Me->Get(5 + 200, 1), 0);
    for (const std::string& via : {hard, soft, dotted}) {
        SCOPED_TRACE(via);
        There peer(*P, 2);
        ASSERT_EQ(peer.Open(via), 0);
        EXPECT_EQ(peer.Get(5 + 200, 1), 84);
        EXPECT_EQ(peer.Open(via, 252), 88);
        ASSERT_EQ(peer.Close(), 0);
    }
    ASSERT_EQ(Me->Unlock(0), 0);
    ASSERT_EQ(Them->Close(), 0);
    // Both processes insert at once, through different names.
    ASSERT_EQ(Them->Open(hard), 0);
    constexpr int32_t kEach = 300;
    P->Send("fill 0 1000 " + std::to_string(kEach));
    Here soft2(5);
    ASSERT_EQ(soft2.Open(soft), 0);
    for (int32_t id = 2000; id < 2000 + kEach; ++id) {
        int st;
        while ((st = soft2.Insert(id, 0, "s")) == 85) std::this_thread::yield();
        ASSERT_EQ(st, 0);
    }
    ASSERT_EQ(Peer::Numbers(P->Reply())[0], 0);
    EXPECT_EQ(Me->Count(), 5 + 2 * kEach);
    std::vector<int32_t> ids;
    for (int st = Me->Get(12); st == 0; st = Me->Get(6)) ids.push_back(Me->Id());
    EXPECT_EQ(ids.size(), size_t{5 + 2 * kEach});
    EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
    ASSERT_EQ(Them->Close(), 0);
    ASSERT_EQ(soft2.Close(), 0);
    ASSERT_EQ(Me->Close(), 0);
    sqlite3* db = nullptr;
    std::string check;
    ASSERT_EQ(sqlite3_open(Path().c_str(), &db), SQLITE_OK);
    sqlite3_exec(
        db, "PRAGMA integrity_check",
        [](void* out, int, char** v, char**) {
            *static_cast<std::string*>(out) += v[0] ? v[0] : "";
            return 0;
        },
        &check, nullptr);
    sqlite3_close(db);
    EXPECT_EQ(check, "ok");
}

// ---- files others may not write --------------------------------------------------

// Users of the read-only cases: as root the peer runs as one of these (root
// itself may write anywhere); otherwise the tests run as the current user,
// and those that need a second user are skipped.
constexpr int kReader = 65534, kWriter = 65533;
bool Root() { return ::geteuid() == 0; }
std::vector<std::string> As(int uid) { return Root() ? std::vector<std::string>{"--uid", std::to_string(uid)} : std::vector<std::string>{}; }

std::set<std::string> Listing(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

class SharingAccess : public ::testing::Test {
protected:
    void TearDown() override { // what the test made read-only goes with the rest
        if (FDir.Server()) return;
        for (const auto& e : fs::directory_iterator(FDir.Path()))
            if (e.is_directory()) ::chmod(e.path().c_str(), 0755);
    }
    void SetUp() override {
        if (FDir.Server()) GTEST_SKIP() << "permissions of local files";
    }
    // A file of three records in a directory of its own, closed: nothing beside it.
    std::string MakeFile(const std::string& name, mode_t dirMode) {
        const std::string dir = FDir.File(name);
        fs::create_directory(dir);
        const std::string path = dir + "/R.DAT";
        Handle h;
        EXPECT_EQ(h.Make(path, FileSpec()), 0);
        for (int32_t id = 1; id <= 3; ++id) EXPECT_EQ(h.Insert(Record(id, 0, "ro")), 0);
        EXPECT_EQ(h.Close(), 0);
        EXPECT_EQ(Listing(dir), std::set<std::string>{"R.DAT"});
        ::chmod(FDir.Path().c_str(), 0755);
        ::chmod(dir.c_str(), dirMode);
        return path;
    }
    Place FDir;
};

TEST_F(SharingAccess, AReadOnlyDirectoryOpensReadsAndAnswers46ToChanges) {
    const std::string path = MakeFile("ro", 0555);
    Peer peer(As(kReader));
    There r(peer);
    for (int mode : {0, 254}) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        ASSERT_EQ(r.Open(path, mode), 0);
        std::vector<int32_t> ids;
        for (int st = r.Get(12); st == 0; st = r.Get(6)) ids.push_back(r.Id());
        EXPECT_EQ(ids, (std::vector<int32_t>{1, 2, 3}));
        EXPECT_EQ(r.Count(), 3);
        EXPECT_EQ(r.Insert(4, 0, "no"), 46);
        ASSERT_EQ(r.Get(5 + 200, 2), 0);
        EXPECT_EQ(r.Update(2, 1, "no"), 46);
        EXPECT_EQ(r.Delete(), 46);
        EXPECT_EQ(r.Txn(19), 0);
        EXPECT_EQ(r.Insert(4, 0, "no"), 46);
        EXPECT_EQ(r.Txn(21), 0);
        ASSERT_EQ(r.Close(), 0);
    }
    EXPECT_EQ(Listing(FDir.File("ro")), std::set<std::string>{"R.DAT"});
}

// An older file (no counter) read by a process that may not write it: the
// reader walks the count, as it stands or through a writer's log, and adds
// nothing; the writer's first stat adds the counter, which the reader then
// reads too.
TEST_F(SharingAccess, AReaderThatMayNotWriteCountsAnOlderFileAndLeavesItAsItIs) {
    const std::string path = MakeFile("old", 0755);
    ASSERT_TRUE(Tamper(path, kDropCounter));
    ::chmod(FDir.File("old").c_str(), 0555);
    Peer peer(As(kReader));
    There reader(peer);
    ASSERT_EQ(reader.Open(path), 0); // as it stands: nothing beside it
    EXPECT_EQ(reader.Count(), 3);
    ASSERT_EQ(reader.Close(), 0);
    EXPECT_EQ(Listing(FDir.File("old")), std::set<std::string>{"R.DAT"});
    EXPECT_EQ(CounterAndCount(path), "");
    if (!Root()) return; // a writer beside the reader needs another user
    Handle writer;
    ASSERT_EQ(writer.Open(path), 0);
    ASSERT_EQ(reader.Open(path), 0); // through the writer's log
    EXPECT_EQ(reader.Count(), 3);
    ASSERT_EQ(writer.Insert(Record(4, 0, "w")), 0);
    EXPECT_EQ(reader.Count(), 4);
    uint8_t buf[512];
    int32_t len = sizeof buf;
    ASSERT_EQ(writer.Call(15, buf, len, nullptr, 0, 0), 0);
    EXPECT_EQ(Get32(buf + 6), 4u);
    EXPECT_EQ(reader.Count(), 4);
    ASSERT_EQ(writer.Insert(Record(5, 0, "w")), 0);
    EXPECT_EQ(reader.Count(), 5);
    ASSERT_EQ(reader.Close(), 0);
    ASSERT_EQ(writer.Close(), 0);
    EXPECT_EQ(CounterAndCount(path), "5/5");
}

// A reader without write permission (in a directory it may write) leaves
// nothing beside the file; another user's writer then works. While that
// reader reads the file as it stands, the writer's changes wait (85).
TEST_F(SharingAccess, AReaderLeavesNothingThatStopsAnotherUsersWriter) {
    if (!Root()) GTEST_SKIP() << "needs two other users: run as root";
    const std::string path = MakeFile("rw", 0777);
    ::chown(path.c_str(), kWriter, kWriter);
    ::chmod(path.c_str(), 0644);
    Peer readerPeer(As(kReader)), writerPeer(As(kWriter));
    There reader(readerPeer), writer(writerPeer);
    ASSERT_EQ(reader.Open(path), 0);
    ASSERT_EQ(reader.Get(12), 0);
    EXPECT_EQ(reader.Insert(4, 0, "no"), 46);
    EXPECT_EQ(Listing(FDir.File("rw")), std::set<std::string>{"R.DAT"});
    ASSERT_EQ(writer.Open(path), 0);
    EXPECT_EQ(writer.Insert(4, 0, "w"), 85);
    ASSERT_EQ(reader.Close(), 0);
    EXPECT_EQ(writer.Insert(4, 0, "w"), 0);
    // With the writer there first, the reader reads through its log.
    ASSERT_EQ(reader.Open(path), 0);
    EXPECT_EQ(reader.Count(), 4);
    EXPECT_EQ(writer.Insert(5, 0, "w"), 0);
    EXPECT_EQ(reader.Count(), 5);
    ASSERT_EQ(reader.Close(), 0);
    ASSERT_EQ(writer.Close(), 0);
    EXPECT_EQ(Listing(FDir.File("rw")), std::set<std::string>{"R.DAT"});
}

// Files that are no Btrieve file of ours answer 30 and are left exactly as
// they were, with nothing beside them.
TEST_F(SharingAccess, NothingIsLeftBesideFilesThatAreNotOurs) {
    const std::string dir = FDir.File("foreign");
    fs::create_directory(dir);
    std::ofstream(dir + "/TEXT.DAT") << std::string(5000, 'x');
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir + "/OTHER.DB").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE t(x); INSERT INTO t VALUES(1)", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    const auto before = fs::file_size(dir + "/OTHER.DB");
    std::ifstream in(dir + "/OTHER.DB", std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    for (const char* name : {"TEXT.DAT", "OTHER.DB"}) {
        Handle h;
        EXPECT_EQ(h.Open(dir + "/" + name), 30) << name;
        Peer peer;
        EXPECT_EQ(There(peer).Open(dir + "/" + name), 30) << name;
    }
    EXPECT_EQ(Listing(dir), (std::set<std::string>{"OTHER.DB", "TEXT.DAT"}));
    std::ifstream again(dir + "/OTHER.DB", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(again), {}), bytes);
    EXPECT_EQ(fs::file_size(dir + "/OTHER.DB"), before);
}

// ---- stress ---------------------------------------------------------------------

// Four processes of two threads each, a fixed number of random operations
// each: counters incremented under locks (alone and in transactions),
// records inserted and deleted. After them: the record count is what the
// inserts and deletes left, every key indexes every record once, no unique
// key holds a value twice, and every acknowledged increment is there.
TEST(SharingStress, FourProcessesOfTwoThreadsKeepEveryInvariant) {
    Place dir;
    const std::string path = dir.File("STRESS.DAT");
    constexpr int32_t kCounters = 8;
    constexpr int kProcesses = 4, kOps = 150;
    {
        Handle h;
        ASSERT_EQ(h.Make(path, FileSpec()), 0);
        for (int32_t id = 1; id <= kCounters; ++id) ASSERT_EQ(h.Insert(Record(id, 0, "count")), 0);
        ASSERT_EQ(h.Close(), 0);
    }
    std::vector<std::unique_ptr<Peer>> peers;
    for (int w = 0; w < kProcesses; ++w) {
        peers.push_back(std::make_unique<Peer>());
        peers.back()->Send("stress " + path + " " + std::to_string(w + 1) + " " + std::to_string(kOps) + " " +
                           std::to_string(1234 + w));
    }
    long net = 0;
    std::vector<long> increments(kCounters + 1, 0);
    for (auto& p : peers) {
        const std::string reply = p->Reply(std::chrono::seconds(600));
        ASSERT_EQ(reply.substr(0, 5), "done ") << reply;
        const std::vector<long> v = Peer::Numbers(reply);
        ASSERT_EQ(v.size(), size_t{kCounters + 1});
        net += v[0];
        for (int32_t id = 1; id <= kCounters; ++id) increments[static_cast<size_t>(id)] += v[static_cast<size_t>(id)];
    }
    Handle h;
    ASSERT_EQ(h.Open(path), 0);
    uint8_t stat[512];
    int32_t len = sizeof stat;
    ASSERT_EQ(h.Call(15, stat, len, nullptr, 0, 0), 0);
    EXPECT_EQ(Get32(stat + 6), static_cast<uint32_t>(kCounters + net));
    Ids byId = h.Walk(0), byText = h.Walk(1), physical = h.Walk(0, 33, 24);
    EXPECT_EQ(byId.size(), static_cast<size_t>(kCounters + net));
    EXPECT_TRUE(std::adjacent_find(byId.begin(), byId.end(), std::greater_equal<int32_t>()) == byId.end())
        << "key 0 is unique and ascending";
    std::sort(byText.begin(), byText.end());
    std::sort(physical.begin(), physical.end());
    EXPECT_EQ(byText, byId);
    EXPECT_EQ(physical, byId);
    for (int32_t id = 1; id <= kCounters; ++id) {
        ASSERT_EQ(h.Get(5, 0, Int32Key(id)), 0);
        EXPECT_EQ(CounterOf(h.Record), increments[static_cast<size_t>(id)]) << "counter " << id;
    }
}

// ---- the server store ---------------------------------------------------------------

// The server drops this process's connections (the network went, the server
// restarted): its locks and its transaction go at once, its handles answer
// 95, and a new open connects again.
TEST_F(Sharing, ALostConnectionAnswers95AndTheServerLetsGo) {
    if (!FDir.Server()) GTEST_SKIP() << "a server's connections";
    ASSERT_EQ(Me->Txn(19), 0);
    ASSERT_EQ(Me->Insert(6, 0, "lost"), 0);
    ASSERT_EQ(Me->Get(5 + 400, 1), 0);
    ASSERT_EQ(Me->Get(5 + 400, 2), 0);
    EXPECT_EQ(Them->Get(5 + 200, 1), 84);
    EXPECT_EQ(Them->Insert(7, 0, "them"), 85);
    ASSERT_TRUE(ServerSql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name='btrkit " +
                          std::to_string(::getpid()) + "'"));
    ASSERT_TRUE(SessionsGone(::getpid()));
    for (int32_t id : {1, 2}) EXPECT_EQ(Them->Get(5 + 400, id), 0) << "record " << id << " still locked";
    EXPECT_EQ(Them->Insert(7, 0, "them"), 0);
    EXPECT_EQ(Them->Get(5, 6), 4) << "the lost transaction's insert";
    EXPECT_EQ(Me->Get(5, 3), 95);
    EXPECT_EQ(Me->Insert(8, 0, "me"), 95);
    EXPECT_EQ(Me->Get(12), 95);
    EXPECT_EQ(Me->Txn(20), 95);
    EXPECT_EQ(Me->Close(), 0);
    ASSERT_EQ(Me->Open(Path()), 0) << "a new open connects again";
    EXPECT_EQ(Me->Count(), 6);
    EXPECT_EQ(Me->Get(5 + 200, 1), 84) << "the peer still holds it";

    // Ended again while the client's handle is idle: the first to find out is
    // the same client's open of another file (or a create), which connects
    // anew; the idle handle answers 95 when it speaks.
    const std::string other = FDir.File("OTHER.DAT");
    ASSERT_EQ(Create(other, FileSpec()), 0);
    ASSERT_TRUE(ServerSql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name='btrkit " +
                          std::to_string(::getpid()) + "'"));
    ASSERT_TRUE(SessionsGone(::getpid()));
    Here again;
    EXPECT_EQ(again.Open(other), 0) << "an open on an ended connection";
    EXPECT_EQ(again.Count(), 0);
    EXPECT_EQ(Create(FDir.File("AFTER.DAT"), FileSpec()), 0) << "a create on an ended connection";
    EXPECT_EQ(Me->Get(5, 3), 95);
    EXPECT_EQ(again.Close(), 0);
}

// One client's transaction over two files of a database, killed while its
// end is under way: both files have all of it, or neither has any.
TEST_F(Sharing, ATransactionOverTwoFilesIsWholeWhenTheClientDiesDuringItsEnd) {
    if (!FDir.Server()) GTEST_SKIP() << "a server transaction";
    const std::string a = FDir.File("A.DAT"), b = FDir.File("B.DAT");
    ASSERT_EQ(Create(a, FileSpec()), 0);
    ASSERT_EQ(Create(b, FileSpec()), 0);
    Here ha(3), hb(4);
    ASSERT_EQ(ha.Open(a), 0);
    ASSERT_EQ(hb.Open(b), 0);
    constexpr int kEach = 40;
    int whole = 0, none = 0;
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Peer peer;
        peer.Send("pair " + a + " " + b + " " + std::to_string(1000 * (round + 1)) + " " + std::to_string(kEach));
        ASSERT_EQ(peer.Reply(), "E");
        // Killed as soon as it asked for the end: before, during or after the commit.
        const pid_t pid = peer.Pid();
        peer.Kill();
        ASSERT_TRUE(SessionsGone(pid));
        const long before = round * kEach - none * kEach;
        const long na = ha.Count(), nb = hb.Count();
        EXPECT_EQ(na, nb) << "one file has the transaction, the other not";
        EXPECT_TRUE(na == before || na == before + kEach) << na << " records after " << before;
        (na == before ? none : whole)++;
        if (na != nb) break;
    }
    std::cout << whole << " ends landed whole before the kill, " << none << " were undone\n";
}

// On the server a create made inside the client's transaction is part of it:
// the file appears for others when the transaction ends (with what it put
// in), and never when it is aborted; a file it replaces is held (88) until
// then, and is the old one again after an abort.
TEST_F(Sharing, ACreateInATransactionAppearsWhenItEnds) {
    if (!FDir.Server()) GTEST_SKIP() << "a server transaction";
    Here mine(3);
    const Client& client = mine.H().Owner();
    auto create = [&client](const std::string& path) {
        std::string name = path;
        Bytes spec = FileSpec().Bytes();
        int32_t len = static_cast<int32_t>(spec.size());
        return BTRCALLID(14, nullptr, spec.data(), &len, name.data(), static_cast<uint8_t>(name.size() + 1), 0, client.Id());
    };
    const std::string replaced = FDir.File("OLD.DAT");
    ASSERT_EQ(create(replaced), 0);
    ASSERT_EQ(mine.Open(replaced), 0);
    ASSERT_EQ(mine.Insert(1, 0, "old"), 0);
    ASSERT_EQ(mine.Close(), 0);
    for (int end : {21, 20}) {
        SCOPED_TRACE(end == 20 ? "ended" : "aborted");
        const std::string made = FDir.File("NEW" + std::to_string(end) + ".DAT");
        ASSERT_EQ(mine.Txn(19), 0);
        ASSERT_EQ(create(made), 0);
        ASSERT_EQ(create(replaced), 0);
        for (const std::string& path : {made, replaced}) {
            ASSERT_EQ(mine.Open(path), 0);
            for (int32_t id = 1; id <= 3; ++id) ASSERT_EQ(mine.Insert(id, 0, "new"), 0);
            ASSERT_EQ(mine.Close(), 0);
        }
        There other(*P, 5);
        EXPECT_EQ(other.Open(made), 12);
        EXPECT_EQ(other.Open(replaced), 88);
        ASSERT_EQ(mine.Txn(end), 0);
        EXPECT_EQ(other.Open(made), end == 20 ? 0 : 12);
        if (end == 20) {
            EXPECT_EQ(other.Count(), 3);
            EXPECT_EQ(other.Close(), 0);
        }
        ASSERT_EQ(other.Open(replaced), 0);
        EXPECT_EQ(other.Count(), end == 20 ? 3 : 1);
        EXPECT_EQ(other.Close(), 0);
    }
}

} // namespace
} // namespace btr::test::sharing
