// Currency: where a handle stands after each operation, and the answers for
// reads without a position, on another key, past the ends, with short buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "tests/btrengine/harness.h"
#include "tests/btrengine/stores.h"

namespace btr::test {
namespace {

constexpr size_t kLen = 16;

// Key 0: the integer id; key 1: an 8-byte string with duplicates, modifiable.
class Currency : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(H.Make(FDir.File("C.DAT"), Spec(kLen).Key({{1, 4, 1}}).Key({{5, 8, 0}}, kDup | kMod)), 0);
        for (int id : {30, 10, 50, 20, 40}) ASSERT_EQ(H.Insert(Rec(kLen, id, id < 30 ? "low" : "high")), 0);
    }
    Place FDir;
    Handle H;
};

TEST_F(Currency, GetsAnswerInTurnFromAFreshHandle) {
    // Each row goes on from where the one before left the handle.
    const struct {
        uint16_t op;
        uint8_t keyNum;
        int32_t value; // the key value asked
        int16_t status;
        int32_t id; // the record read
    } rows[] = {
        {6, 0, 0, 8, 0},   {7, 0, 0, 8, 0},   // no position yet
        {12, 0, 0, 0, 10}, {6, 1, 0, 7, 0},   // positioned on key 0, asked on key 1
        {6, 0, 0, 0, 20},  {13, 0, 0, 0, 50}, {6, 0, 0, 9, 0}, // past the last
        {12, 0, 0, 0, 10}, {7, 0, 0, 9, 0},   // before the first
        {12, 9, 0, 6, 0},  {12, 255, 0, 6, 0}, // no such key
        {5, 0, 25, 4, 0},  {8, 0, 20, 0, 30}, {9, 0, 20, 0, 20}, {10, 0, 20, 0, 10}, {11, 0, 25, 0, 20},
        {9, 0, 41, 0, 50}, {8, 0, 50, 4, 0},  {10, 0, 10, 4, 0},
        {62, 0, 0, 0, 10}, {56, 0, 0, 0, 20}, // key-only first and next
    };
    Handle h;
    ASSERT_EQ(h.Open(FDir.File("C.DAT")), 0);
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE("row " + std::to_string(i) + ", op " + std::to_string(rows[i].op));
        EXPECT_EQ(h.Get(rows[i].op, rows[i].keyNum, Int32Key(rows[i].value)), rows[i].status);
        if (rows[i].status) continue;
        EXPECT_EQ(Get32(h.Key.data()), uint32_t(rows[i].id)); // the key buffer gets the record's key
        if (rows[i].op > 50) {
            EXPECT_TRUE(h.Record.empty());
        } else {
            EXPECT_EQ(IdOf(h.Record), rows[i].id);
        }
    }
    ASSERT_EQ(h.Get(55, 1, {'h', 'i', 'g', 'h'}), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(h.Key.data()), 4), "high");
}

TEST_F(Currency, EveryKeyedGetRefusesAKeyBufferShorterThanTheKey) {
    Handle h;
    ASSERT_EQ(h.Open(FDir.File("C.DAT")), 0);
    ASSERT_EQ(IdRead(h, h.Get(12, 0)), 10); // the next and previous gets have a place to go on from
    for (uint16_t base = 5; base <= 13; ++base) {
        for (uint16_t op : {base, uint16_t(base + 50)}) { // the record gets and the key-only gets
            for (const auto& [keyNum, keyLen] : {std::pair{0, 3}, std::pair{1, 7}, std::pair{0, 0}}) {
                if (keyNum == 1 && (base == 6 || base == 7)) continue; // next and previous stay on key 0
                SCOPED_TRACE("op " + std::to_string(op) + ", key " + std::to_string(keyNum) + ", length " +
                             std::to_string(keyLen));
                // The bytes past the length given are the caller's: the key
                // value sits in front, guards after it.
                uint8_t key[16];
                std::memset(key, 0xEE, sizeof key);
                Put32(key, 20);
                uint8_t rec[kLen] = {};
                int32_t len = kLen;
                const auto kn = static_cast<uint8_t>(keyNum);
                EXPECT_EQ(h.Call(op, rec, len, key, static_cast<uint8_t>(keyLen), kn), 21);
                EXPECT_EQ(Get32(key), 20u);
                EXPECT_TRUE(std::all_of(key + 4, key + sizeof key, [](uint8_t b) { return b == 0xEE; }));
                EXPECT_TRUE(std::all_of(rec, rec + kLen, [](uint8_t b) { return b == 0; }));
                len = kLen;
                EXPECT_EQ(h.Call(op, rec, len, nullptr, 8, kn), 21);
            }
        }
    }
    // Nothing moved: the handle goes on from the first record.
    EXPECT_EQ(IdRead(h, h.Get(6, 0)), 20);
}

TEST_F(Currency, InsertUpdateDeleteAndGetDirectSetThePosition) {
    ASSERT_EQ(H.Insert(Rec(kLen, 35, "mid"), 0), 0);
    EXPECT_EQ(IdRead(H, H.Get(6, 0)), 40); // next after the inserted record on key 0
    ASSERT_EQ(H.Get(5, 0, Int32Key(20)), 0);
    const uint32_t pos20 = H.Position();
    ASSERT_NE(pos20, 0u);
    // An update that moves the record on key 1 moves the position with it.
    EXPECT_EQ(IdRead(H, H.Get(5, 1, {'l', 'o', 'w'})), 10);
    ASSERT_EQ(H.Update(Rec(kLen, 10, "zzz"), 1), 0);
    EXPECT_EQ(H.Get(6, 1), 9); // "zzz" is last on key 1
    // Delete: next and previous continue from where the record was.
    ASSERT_EQ(H.Get(5, 0, Int32Key(30)), 0);
    ASSERT_EQ(H.Delete(), 0);
    uint8_t p[4];
    int32_t len = 4;
    EXPECT_EQ(H.Call(22, p, len, nullptr, 0, 0), 8); // no current record
    EXPECT_EQ(H.Update(Rec(kLen, 30, "x")), 8);
    EXPECT_EQ(H.Delete(), 8);
    EXPECT_EQ(IdRead(H, H.Get(6, 0)), 35);
    ASSERT_EQ(H.Get(5, 0, Int32Key(40)), 0);
    ASSERT_EQ(H.Delete(), 0);
    EXPECT_EQ(IdRead(H, H.Get(7, 0)), 35);
    // Get direct: the record at a position, currency on the key asked.
    EXPECT_EQ(IdRead(H, H.GetBy(23, pos20, 0)), 20);
    EXPECT_EQ(IdRead(H, H.Get(6, 0)), 35);
    ASSERT_EQ(H.GetBy(23, pos20, 255), 0); // physical currency only
    EXPECT_EQ(H.Get(6, 0), 8);
    EXPECT_EQ(H.GetBy(23, 987654), 43);
    EXPECT_EQ(H.GetBy(23, pos20, 7), 6);
    len = 2;
    EXPECT_EQ(H.Call(22, p, len, nullptr, 0, 0), 22);
}

TEST_F(Currency, StepsWalkPhysicalOrder) {
    EXPECT_EQ(H.Walk(0, 33, 24), (Ids{30, 10, 50, 20, 40})); // as inserted
    EXPECT_EQ(H.Walk(0, 34, 35), (Ids{40, 20, 50, 10, 30}));
    // A step sets no logical position.
    ASSERT_EQ(H.Get(33), 0);
    EXPECT_EQ(H.Get(6, 0), 8);
    // Steps continue past a deleted record.
    ASSERT_EQ(H.Get(24), 0);
    ASSERT_EQ(H.Delete(), 0);
    EXPECT_EQ(IdRead(H, H.Get(24)), 50);
    Handle fresh;
    ASSERT_EQ(fresh.Open(FDir.File("C.DAT")), 0);
    EXPECT_EQ(fresh.Get(24), 8);
}

TEST_F(Currency, ShortDataBuffers) {
    ASSERT_EQ(H.Get(12, 0, {}, 8), 22); // the fixed part does not fit: nothing
    EXPECT_TRUE(H.Record.empty());
    EXPECT_EQ(H.Insert(Bytes(8, 1)), 22);
    ASSERT_EQ(H.Get(12, 0), 0);
    EXPECT_EQ(H.Update(Bytes(8, 1)), 22);
    EXPECT_EQ(H.Walk(), (Ids{10, 20, 30, 40, 50})); // neither wrote anything
    uint8_t key[16];
    int32_t len = kLen;
    EXPECT_EQ(H.Call(12, nullptr, len, key, sizeof key, 0), 22);
    EXPECT_EQ(BTRCALLID(12, H.Block(), key, nullptr, key, sizeof key, 0, H.Owner().Id()), 22); // no length
}

// A variable-length file: the fixed part must fit, the rest is cut to fit.
TEST(CurrencyVariable, LongRecordsAreCutToTheBuffer) {
    Place dir;
    Handle h;
    ASSERT_EQ(h.Make(dir.File("V.DAT"), Spec(8, 1024, 1).Key({{1, 4, 1}})), 0);
    const Bytes rec = Rec(3000, 1, std::string(2996, 'v'));
    ASSERT_EQ(h.Insert(rec), 0);
    ASSERT_EQ(h.Get(12, 0, {}, 5000), 0);
    EXPECT_EQ(h.Record, rec);
    ASSERT_EQ(h.Get(12, 0, {}, 100), 22);
    EXPECT_EQ(h.Record, Bytes(rec.begin(), rec.begin() + 100));
    ASSERT_EQ(h.Get(12, 0, {}, 7), 22);
    EXPECT_TRUE(h.Record.empty());
}

} // namespace
} // namespace btr::test
