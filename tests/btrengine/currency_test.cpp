// Currency: where a handle stands after each operation, and the answers for
// reads without a position, on another key, past the ends, with short buffers.
#include <gtest/gtest.h>

#include "tests/btrengine/harness.h"

namespace btr::test {
namespace {

constexpr size_t kLen = 16;

// Key 0: the integer id; key 1: an 8-byte string with duplicates, modifiable.
class Currency : public ::testing::Test {
protected:
    void SetUp() override {
        Spec spec(kLen);
        spec.Key({{1, 4, 1}});
        spec.Key({{5, 8, 0}}, kDup | kMod);
        ASSERT_EQ(Create(FDir.File("C.DAT"), spec), 0);
        ASSERT_EQ(H.Open(FDir.File("C.DAT")), 0);
        for (int id : {30, 10, 50, 20, 40}) ASSERT_EQ(H.Insert(Rec(kLen, id, id < 30 ? "low" : "high")), 0);
    }
    TempDir FDir;
    Handle H;
};

TEST_F(Currency, NextAndPreviousNeedAPositionOnTheSameKey) {
    Handle fresh;
    ASSERT_EQ(fresh.Open(FDir.File("C.DAT")), 0);
    EXPECT_EQ(fresh.Get(6), 8);
    EXPECT_EQ(fresh.Get(7), 8);
    ASSERT_EQ(fresh.Get(12, 0), 0);
    EXPECT_EQ(fresh.Get(6, 1), 7); // positioned on key 0
    EXPECT_EQ(fresh.Get(6, 0), 0);
    EXPECT_EQ(IdOf(fresh.Record), 20);
    EXPECT_EQ(fresh.Get(13, 0), 0);
    EXPECT_EQ(fresh.Get(6, 0), 9); // past the last
    EXPECT_EQ(fresh.Get(12, 0), 0);
    EXPECT_EQ(fresh.Get(7, 0), 9); // before the first
    EXPECT_EQ(fresh.Get(12, 9), 6); // no key 9
    EXPECT_EQ(fresh.Get(12, 255), 6);
}

TEST_F(Currency, KeyedSearches) {
    EXPECT_EQ(H.Get(5, 0, Int32Key(25)), 4);
    ASSERT_EQ(H.Get(8, 0, Int32Key(20)), 0); // greater
    EXPECT_EQ(IdOf(H.Record), 30);
    ASSERT_EQ(H.Get(9, 0, Int32Key(20)), 0); // greater or equal
    EXPECT_EQ(IdOf(H.Record), 20);
    ASSERT_EQ(H.Get(10, 0, Int32Key(20)), 0); // less
    EXPECT_EQ(IdOf(H.Record), 10);
    ASSERT_EQ(H.Get(11, 0, Int32Key(25)), 0); // less or equal
    EXPECT_EQ(IdOf(H.Record), 20);
    EXPECT_EQ(H.Get(8, 0, Int32Key(50)), 4);
    EXPECT_EQ(H.Get(10, 0, Int32Key(10)), 4);
    // The key buffer gets the record's key.
    ASSERT_EQ(H.Get(9, 0, Int32Key(41)), 0);
    EXPECT_EQ(Get32(H.Key.data()), 50u);
    // A key buffer shorter than the key.
    uint8_t rec[kLen], key[2] = {};
    int32_t len = kLen;
    EXPECT_EQ(H.Call(5, rec, len, key, sizeof key, 0), 21);
    EXPECT_EQ(H.Call(5, rec, len, nullptr, 4, 0), 21);
}

TEST_F(Currency, KeyOnlyGetsReturnNoRecord) {
    ASSERT_EQ(H.Get(62, 0), 0); // key-only get first
    EXPECT_TRUE(H.Record.empty());
    EXPECT_EQ(Get32(H.Key.data()), 10u);
    ASSERT_EQ(H.Get(56, 0), 0); // key-only next
    EXPECT_EQ(Get32(H.Key.data()), 20u);
    ASSERT_EQ(H.Get(55, 1, {'h', 'i', 'g', 'h', 0, 0, 0, 0}), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(H.Key.data()), 4), "high");
}

TEST_F(Currency, InsertUpdateDeleteAndGetDirectSetThePosition) {
    ASSERT_EQ(H.Insert(Rec(kLen, 35, "mid"), 0), 0);
    ASSERT_EQ(H.Get(6, 0), 0); // next after the inserted record on key 0
    EXPECT_EQ(IdOf(H.Record), 40);
    ASSERT_EQ(H.Get(5, 0, Int32Key(20)), 0);
    const uint32_t pos20 = H.Position();
    ASSERT_NE(pos20, 0u);
    // An update that moves the record on key 1 moves the position with it.
    ASSERT_EQ(H.Get(5, 1, {'l', 'o', 'w', 0, 0, 0, 0, 0}), 0);
    EXPECT_EQ(IdOf(H.Record), 10);
    ASSERT_EQ(H.Update(Rec(kLen, 10, "zzz"), 1), 0);
    EXPECT_EQ(H.Get(6, 1), 9); // "zzz" is last on key 1
    // Delete: next and previous continue from where the record was.
    ASSERT_EQ(H.Get(5, 0, Int32Key(30)), 0);
    ASSERT_EQ(H.Delete(), 0);
    EXPECT_EQ(H.Position(), 0u); // no current record
    uint8_t p[4];
    int32_t len = 4;
    EXPECT_EQ(H.Call(22, p, len, nullptr, 0, 0), 8);
    EXPECT_EQ(H.Update(Rec(kLen, 30, "x")), 8);
    EXPECT_EQ(H.Delete(), 8);
    ASSERT_EQ(H.Get(6, 0), 0);
    EXPECT_EQ(IdOf(H.Record), 35);
    ASSERT_EQ(H.Get(5, 0, Int32Key(40)), 0);
    ASSERT_EQ(H.Delete(), 0);
    ASSERT_EQ(H.Get(7, 0), 0);
    EXPECT_EQ(IdOf(H.Record), 35);
    // Get direct: the record at a position, currency on the key asked.
    ASSERT_EQ(H.GetDirect(pos20, 0), 0);
    EXPECT_EQ(IdOf(H.Record), 20);
    ASSERT_EQ(H.Get(6, 0), 0);
    EXPECT_EQ(IdOf(H.Record), 35);
    ASSERT_EQ(H.GetDirect(pos20, 255), 0); // physical currency only
    EXPECT_EQ(H.Get(6, 0), 8);
    EXPECT_EQ(H.GetDirect(987654), 43);
    EXPECT_EQ(H.GetDirect(pos20, 7), 6);
    len = 2;
    EXPECT_EQ(H.Call(22, p, len, nullptr, 0, 0), 22);
}

TEST_F(Currency, StepsWalkPhysicalOrder) {
    std::vector<int32_t> ids;
    for (int16_t st = H.Get(33); st == 0; st = H.Get(24)) ids.push_back(IdOf(H.Record));
    EXPECT_EQ(ids, (std::vector<int32_t>{30, 10, 50, 20, 40})); // as inserted
    ids.clear();
    for (int16_t st = H.Get(34); st == 0; st = H.Get(35)) ids.push_back(IdOf(H.Record));
    EXPECT_EQ(ids, (std::vector<int32_t>{40, 20, 50, 10, 30}));
    // A step sets no logical position.
    ASSERT_EQ(H.Get(33), 0);
    EXPECT_EQ(H.Get(6, 0), 8);
    // Steps continue past a deleted record.
    ASSERT_EQ(H.Get(24), 0);
    ASSERT_EQ(H.Delete(), 0);
    ASSERT_EQ(H.Get(24), 0);
    EXPECT_EQ(IdOf(H.Record), 50);
    Handle fresh;
    ASSERT_EQ(fresh.Open(FDir.File("C.DAT")), 0);
    EXPECT_EQ(fresh.Get(24), 8);
}

TEST_F(Currency, ShortDataBuffers) {
    ASSERT_EQ(H.Get(12, 0, {}, 8), 22); // the fixed part does not fit: nothing
    EXPECT_TRUE(H.Record.empty());
    EXPECT_EQ(H.Insert(std::vector<uint8_t>(8, 1)), 22);
    ASSERT_EQ(H.Get(12, 0), 0);
    EXPECT_EQ(H.Update(std::vector<uint8_t>(8, 1)), 22);
    uint8_t key[16];
    int32_t len = kLen;
    EXPECT_EQ(H.Call(12, nullptr, len, key, sizeof key, 0), 22);
    EXPECT_EQ(BTRCALLID(12, H.Block(), key, nullptr, key, sizeof key, 0, H.Owner().Id()), 22); // no length
}

// A variable-length file: the fixed part must fit, the rest is cut to fit.
TEST(CurrencyVariable, LongRecordsAreCutToTheBuffer) {
    TempDir dir;
    Spec spec(8, 1024, 1);
    spec.Key({{1, 4, 1}});
    ASSERT_EQ(Create(dir.File("V.DAT"), spec), 0);
    Handle h;
    ASSERT_EQ(h.Open(dir.File("V.DAT")), 0);
    std::vector<uint8_t> rec = Rec(3000, 1, std::string(2996, 'v'));
    ASSERT_EQ(h.Insert(rec), 0);
    ASSERT_EQ(h.Get(12, 0, {}, 5000), 0);
    EXPECT_EQ(h.Record, rec);
    ASSERT_EQ(h.Get(12, 0, {}, 100), 22);
    EXPECT_EQ(h.Record.size(), 100u);
    EXPECT_TRUE(std::equal(h.Record.begin(), h.Record.end(), rec.begin()));
    ASSERT_EQ(h.Get(12, 0, {}, 7), 22);
    EXPECT_TRUE(h.Record.empty());
}

} // namespace
} // namespace btr::test
