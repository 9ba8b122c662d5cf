// Two clients (and two threads) on one file: record locks, version
// conflicts, transactions and their isolation, stop and reset.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "tests/btrengine/harness.h"
#include "tests/btrengine/stores.h"
#include "tests/btrengine/waits.h"

namespace btr::test {
namespace {

constexpr size_t kLen = 16;

class TwoClients : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(A.Make(FDir.File("T.DAT"), Spec(kLen).Key({{1, 4, 1}})), 0);
        ASSERT_EQ(B.Open(FDir.File("T.DAT")), 0);
        for (int id = 1; id <= 5; ++id) ASSERT_EQ(A.Insert(Rec(kLen, id, "v0")), 0);
    }
    void TearDown() override {
        Transaction(25, A.Owner());
        Transaction(25, B.Owner());
    }
    // Reads record `id` on handle h with a lock bias.
    static int16_t Read(Handle& h, int32_t id, uint16_t bias = 0) {
        return h.Get(static_cast<uint16_t>(5 + bias), 0, Int32Key(id));
    }

    Place FDir;
    Handle A{Client(1)}, B{Client(2)};
};

TEST_F(TwoClients, SingleRecordLocks) {
    ASSERT_EQ(Read(A, 1, 200), 0);
    EXPECT_EQ(Read(B, 1, 200), 84);
    EXPECT_EQ(Read(B, 1, 0), 0); // a plain read is not refused
    EXPECT_EQ(B.Update(Rec(kLen, 1, "b")), 84);
    EXPECT_EQ(B.Delete(), 84);
    // A handle holds one single lock: taking another releases the first.
    ASSERT_EQ(Read(A, 2, 200), 0);
    EXPECT_EQ(Read(B, 1, 200), 0);
    EXPECT_EQ(Read(B, 2, 200), 84);
    // Update releases it.
    ASSERT_EQ(A.Update(Rec(kLen, 2, "a")), 0);
    EXPECT_EQ(Read(B, 2, 200), 0);
    // Unlock with a key number releases it; none held answers 0.
    EXPECT_EQ(B.Unlock(), 0);
    EXPECT_EQ(B.Unlock(), 0);
    EXPECT_EQ(Read(A, 2, 200), 0);
}

TEST_F(TwoClients, HandlesOfOneClientShareLocksButReleaseTheirOwn) {
    Handle a2{A.Owner()};
    ASSERT_EQ(a2.Open(FDir.File("T.DAT")), 0);
    ASSERT_EQ(Read(A, 3, 200), 0);
    EXPECT_EQ(Read(a2, 3, 200), 0); // same client
    ASSERT_EQ(A.Unlock(), 0);
    EXPECT_EQ(Read(B, 3, 200), 84); // a2 still holds it
    ASSERT_EQ(a2.Close(), 0);       // closing releases the handle's locks
    EXPECT_EQ(Read(B, 3, 200), 0);
}

TEST_F(TwoClients, MultipleRecordLocksAccumulateUntilUnlocked) {
    ASSERT_EQ(Read(A, 1, 400), 0);
    const uint32_t p1 = A.Position();
    ASSERT_EQ(Read(A, 2, 400), 0);
    const uint32_t p2 = A.Position();
    ASSERT_EQ(Read(A, 3, 400), 0);
    EXPECT_EQ(Read(B, 1, 200), 84);
    EXPECT_EQ(Read(B, 2, 400), 84);
    // Release one by position; a position not locked answers 81.
    ASSERT_EQ(A.Unlock(255, p1), 0);
    EXPECT_EQ(A.Unlock(255, p1), 81);
    EXPECT_EQ(Read(B, 1, 200), 0);
    EXPECT_EQ(Read(B, 2, 200), 84);
    // Release all of them.
    ASSERT_EQ(A.Unlock(254), 0);
    EXPECT_EQ(Read(B, 2, 200), 0);
    EXPECT_EQ(Read(B, 3, 400), 0);
    EXPECT_EQ(A.Unlock(255, p2), 81);
}

TEST_F(TwoClients, ConflictingChangesAnswer80) {
    ASSERT_EQ(Read(A, 4), 0);
    ASSERT_EQ(Read(B, 4), 0);
    ASSERT_EQ(B.Update(Rec(kLen, 4, "b")), 0);
    EXPECT_EQ(A.Update(Rec(kLen, 4, "a")), 80); // A's copy is stale
    EXPECT_EQ(A.Delete(), 80);
    ASSERT_EQ(Read(A, 4), 0); // re-read, then it goes through
    EXPECT_EQ(A.Update(Rec(kLen, 4, "a")), 0);
}

// An update that moves a unique key: the value must be no other record's,
// as it stands when the update is made; a record that changed or went since
// it was read answers that first; a refusal writes nothing, and a
// transaction goes on after it.
TEST_F(TwoClients, AnUpdateMovingAUniqueKeyMeetsTheValuesAsTheyAre) {
    struct Case {
        const char* what;
        std::function<void(Handle& b)> meanwhile; // what B does after A read record 1
        bool transaction;
        int32_t to;
        int16_t status;
        Ids after;
    };
    const std::vector<Case> cases = {
        {"a free value", [](Handle&) {}, false, 10, 0, {2, 3, 4, 5, 10}},
        {"a taken value", [](Handle&) {}, false, 2, 5, {1, 2, 3, 4, 5}},
        {"a taken value in a transaction", [](Handle&) {}, true, 2, 5, {1, 2, 3, 4, 5}},
        {"a value another client took since", [](Handle& b) { ASSERT_EQ(b.Insert(Rec(kLen, 20, "b")), 0); }, false, 20, 5,
         {1, 2, 3, 4, 5, 20}},
        {"a value another client freed since",
         [](Handle& b) {
             ASSERT_EQ(Read(b, 2), 0);
             ASSERT_EQ(b.Delete(), 0);
         },
         false, 2, 0, {2, 3, 4, 5}},
        {"a taken value, the record changed since",
         [](Handle& b) {
             ASSERT_EQ(Read(b, 1), 0);
             ASSERT_EQ(b.Update(Rec(kLen, 1, "b")), 0);
         },
         false, 2, 80, {1, 2, 3, 4, 5}},
        {"a taken value, the record deleted since",
         [](Handle& b) {
             ASSERT_EQ(Read(b, 1), 0);
             ASSERT_EQ(b.Delete(), 0);
         },
         false, 2, 8, {2, 3, 4, 5}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Handle a{Client(3)}, b{Client(4)};
        const std::string path = FDir.File("U.DAT");
        ASSERT_EQ(a.Make(path, Spec(kLen).Key({{1, 4, 1}}, kMod)), 0);
        ASSERT_EQ(b.Open(path), 0);
        for (int id = 1; id <= 5; ++id) ASSERT_EQ(a.Insert(Rec(kLen, id, "v0")), 0);
        if (c.transaction) {
            ASSERT_EQ(Transaction(19, a.Owner()), 0);
        }
        ASSERT_EQ(Read(a, 1), 0);
        c.meanwhile(b);
        EXPECT_EQ(a.Update(Rec(kLen, c.to, "a")), c.status);
        if (c.transaction) {
            // Refused, not spoilt: the transaction's next change stands.
            ASSERT_EQ(Read(a, 3), 0);
            ASSERT_EQ(a.Update(Rec(kLen, 3, "in")), 0);
            ASSERT_EQ(Transaction(20, a.Owner()), 0);
            ASSERT_EQ(Read(b, 3), 0);
            EXPECT_EQ(b.Record, Rec(kLen, 3, "in"));
        }
        EXPECT_EQ(b.Walk(), c.after);
        ASSERT_EQ(a.Close(), 0);
        ASSERT_EQ(b.Close(), 0);
    }
}

TEST_F(TwoClients, AWaitingLockIsGrantedWhenTheHolderLetsGo) {
    const LockWaitMs granted("600000"); // however slow the machine
    ASSERT_EQ(Read(A, 5, 200), 0);
    auto waiter = std::async(std::launch::async, [&] { return Read(B, 5, 100); });
    ASSERT_TRUE(SomeoneWaits(FDir.File("T.DAT")));
    ASSERT_EQ(A.Update(Rec(kLen, 5, "changed")), 0); // lets go
    EXPECT_EQ(waiter.get(), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(B.Record.data()) + 4), "changed") << "the record as it is when granted";
    EXPECT_EQ(B.Update(Rec(kLen, 5, "b")), 0);
    EXPECT_EQ(Read(A, 5, 200), 0);
}

TEST_F(TwoClients, AWaitThatNeverEndsAnswers84AndACycleAnswers78) {
    ASSERT_EQ(Read(A, 1, 200), 0);
    {
        const LockWaitMs shortWait("50");
        EXPECT_EQ(Read(B, 1, 100), 84); // held for longer than the wait
        EXPECT_EQ(Read(B, 1, 300), 84);
    }
    const LockWaitMs granted("600000");
    ASSERT_EQ(Read(B, 2, 200), 0);
    // A waits for record 2 (held by B) while B asks for record 1 (held by A).
    Handle a2{A.Owner()};
    ASSERT_EQ(a2.Open(FDir.File("T.DAT")), 0);
    auto aWaits = std::async(std::launch::async, [&] { return Read(a2, 2, 100); });
    ASSERT_TRUE(SomeoneWaits(FDir.File("T.DAT")));
    Handle b2{B.Owner()};
    ASSERT_EQ(b2.Open(FDir.File("T.DAT")), 0);
    EXPECT_EQ(Read(b2, 1, 100), 78);
    ASSERT_EQ(B.Unlock(), 0); // the cycle is not closed: A's wait goes on and is granted
    EXPECT_EQ(aWaits.get(), 0);
}

// A record deleted while some client still holds a lock on its position (a
// multiple-record lock outlives the delete) leaves the position behind: a
// new record never starts out locked.
// Whom a client waits for is known to the others at once, also while its
// transaction has changed files and is not yet over.
TEST_F(TwoClients, ACycleAnswers78EvenBetweenTransactionsUnderWay) {
    const LockWaitMs granted("600000");
    Handle x{A.Owner()}, y{B.Owner()};
    ASSERT_EQ(x.Make(FDir.File("X.DAT"), Spec(kLen).Key({{1, 4, 1}})), 0);
    ASSERT_EQ(y.Make(FDir.File("Y.DAT"), Spec(kLen).Key({{1, 4, 1}})), 0);
    ASSERT_EQ(Transaction(19, A.Owner()), 0);
    ASSERT_EQ(Transaction(19, B.Owner()), 0);
    ASSERT_EQ(x.Insert(Rec(kLen, 1, "a")), 0);
    ASSERT_EQ(y.Insert(Rec(kLen, 1, "b")), 0);
    ASSERT_EQ(Read(A, 1, 200), 0);
    ASSERT_EQ(Read(B, 2, 200), 0);
    Handle a2{A.Owner()};
    ASSERT_EQ(a2.Open(FDir.File("T.DAT")), 0);
    auto aWaits = std::async(std::launch::async, [&] { return Read(a2, 2, 100); });
    const bool known = SomeoneWaits(FDir.File("T.DAT"));
    EXPECT_TRUE(known) << "A's wait is not known while its transaction is under way";
    Handle b2{B.Owner()};
    ASSERT_EQ(b2.Open(FDir.File("T.DAT")), 0);
    if (known) {
        EXPECT_EQ(Read(b2, 1, 100), 78);
    }
    ASSERT_EQ(B.Unlock(), 0); // A's wait is granted, whatever came before
    EXPECT_EQ(aWaits.get(), 0);
    EXPECT_EQ(Transaction(20, A.Owner()), 0);
    EXPECT_EQ(Transaction(20, B.Owner()), 0);
    EXPECT_EQ(y.Walk(), Ids{1});
}

TEST_F(TwoClients, ANewRecordNeverStartsOutLocked) {
    ASSERT_EQ(A.Get(13 + 400), 0); // the last record, under a multiple-record lock
    const uint32_t last = A.Position();
    ASSERT_EQ(A.Delete(), 0);
    ASSERT_EQ(A.Insert(Rec(kLen, 10, "new")), 0); // its own lock counts too
    EXPECT_NE(A.Position(), last);
    ASSERT_EQ(A.Unlock(0), 0);
    ASSERT_EQ(B.Insert(Rec(kLen, 9, "new")), 0);
    EXPECT_NE(B.Position(), last);
    EXPECT_EQ(Read(B, 9, 200), 0);
    EXPECT_EQ(Read(B, 10, 200), 0);
}

TEST_F(TwoClients, TransactionsAreIsolatedUntilTheyEnd) {
    EXPECT_EQ(Transaction(20, A.Owner()), 39);
    EXPECT_EQ(Transaction(21, A.Owner()), 39);
    ASSERT_EQ(Transaction(19, A.Owner()), 0);
    EXPECT_EQ(Transaction(19, A.Owner()), 37);
    EXPECT_EQ(Transaction(1019, A.Owner()), 37);
    ASSERT_EQ(A.Insert(Rec(kLen, 6, "tx")), 0);
    ASSERT_EQ(Read(A, 1), 0);
    ASSERT_EQ(A.Delete(), 0);
    EXPECT_EQ(A.Walk().size(), 5u); // A sees its own changes
    EXPECT_EQ(B.Walk().size(), 5u); // B sees the committed state
    EXPECT_EQ(Read(B, 6), 4);
    EXPECT_EQ(Read(B, 1), 0);
    EXPECT_EQ(B.Insert(Rec(kLen, 7, "b")), 85); // the file is A's to change now
    ASSERT_EQ(Read(B, 2), 0);
    EXPECT_EQ(B.Update(Rec(kLen, 2, "b")), 85);
    ASSERT_EQ(Transaction(20, A.Owner()), 0);
    EXPECT_EQ(Read(B, 6), 0);
    EXPECT_EQ(Read(B, 1), 4);
    EXPECT_EQ(B.Insert(Rec(kLen, 7, "b")), 0);
}

TEST_F(TwoClients, AbortLeavesNothing) {
    ASSERT_EQ(Transaction(1019 + 200, A.Owner()), 0); // concurrent, with a lock bias
    for (int id = 10; id < 20; ++id) ASSERT_EQ(A.Insert(Rec(kLen, id, "tx")), 0);
    ASSERT_EQ(Read(A, 3), 0);
    ASSERT_EQ(A.Update(Rec(kLen, 3, "changed")), 0);
    ASSERT_EQ(Transaction(21, A.Owner()), 0);
    EXPECT_EQ(A.Walk().size(), 5u);
    ASSERT_EQ(Read(A, 3), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(A.Record.data()) + 4), "v0");
}

TEST_F(TwoClients, AClosedHandlesChangesStayInTheTransaction) {
    Handle extra{A.Owner()};
    ASSERT_EQ(extra.Open(FDir.File("T.DAT")), 0);
    ASSERT_EQ(Transaction(19, A.Owner()), 0);
    ASSERT_EQ(extra.Insert(Rec(kLen, 8, "closed")), 0);
    ASSERT_EQ(extra.Close(), 0);
    EXPECT_EQ(Read(B, 8), 4);
    ASSERT_EQ(Transaction(20, A.Owner()), 0);
    EXPECT_EQ(Read(B, 8), 0);
    // Also when every handle of the file closed before the end.
    ASSERT_EQ(Transaction(19, A.Owner()), 0);
    ASSERT_EQ(A.Insert(Rec(kLen, 9, "closed")), 0);
    ASSERT_EQ(A.Close(), 0);
    ASSERT_EQ(B.Close(), 0);
    ASSERT_EQ(Transaction(21, A.Owner()), 0);
    ASSERT_EQ(B.Open(FDir.File("T.DAT")), 0);
    EXPECT_EQ(Read(B, 9), 4);
}

TEST_F(TwoClients, StopAndResetReleaseLocksAndUndoTheTransaction) {
    ASSERT_EQ(Read(A, 1, 400), 0);
    ASSERT_EQ(Transaction(19, A.Owner()), 0);
    ASSERT_EQ(A.Insert(Rec(kLen, 30, "gone")), 0);
    ASSERT_EQ(Transaction(25, A.Owner()), 0);
    EXPECT_EQ(Read(B, 1, 200), 0);
    EXPECT_EQ(Read(B, 30), 4);
    EXPECT_EQ(A.Get(12), 3); // its handles are closed
    EXPECT_EQ(Transaction(20, A.Owner()), 39);
    // Reset is the same for the calling client.
    ASSERT_EQ(A.Open(FDir.File("T.DAT")), 0);
    ASSERT_EQ(Transaction(19, A.Owner()), 0);
    ASSERT_EQ(A.Insert(Rec(kLen, 31, "gone")), 0);
    ASSERT_EQ(Transaction(28, A.Owner()), 0);
    EXPECT_EQ(Read(B, 31), 4);
    EXPECT_EQ(B.Insert(Rec(kLen, 31, "b")), 0);
}

TEST_F(TwoClients, ThreadsOfBothClientsKeepTheFileConsistent) {
    // Each thread inserts its own ids, reading and updating as it goes; a
    // lock or transaction conflict is retried.
    auto work = [&](Client c, int32_t base) {
        Handle h{c};
        if (h.Open(FDir.File("T.DAT")) != 0) return -1;
        for (int32_t i = 0; i < 200; ++i) {
            int16_t st;
            while ((st = h.Insert(Rec(kLen, base + i, "t"))) == 85) std::this_thread::yield();
            if (st != 0) return int(st);
            if (Read(h, base + i, 200) != 0) return -2;
            while ((st = h.Update(Rec(kLen, base + i, "u"))) == 85) std::this_thread::yield();
            if (st != 0) return int(st);
        }
        return 0;
    };
    std::vector<std::future<int>> threads;
    for (auto [c, base] : {std::pair{11, 1000}, {12, 2000}, {11, 3000}})
        threads.push_back(std::async(std::launch::async, work, Client(uint16_t(c)), base));
    for (auto& t : threads) EXPECT_EQ(t.get(), 0);
    EXPECT_EQ(A.Walk().size(), 5u + 600);
    Transaction(25, Client(11));
    Transaction(25, Client(12));
}

} // namespace
} // namespace btr::test
