// Requests with a structure in the data buffer: chunk reads and writes,
// truncation, extended reads; and percentages.
#include <gtest/gtest.h>

#include <numeric>

#include "tests/btrengine/harness.h"
#include "tests/btrengine/stores.h"

namespace btr::test {
namespace {

constexpr uint32_t kRandom = 0x80000000u, kDirect = 0x80000001u, kNextInRecord = 0x40000000u;

uint64_t Address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// A variable-length file: 8-byte fixed part (the id, then 4 bytes), key 0 on
// the id; one record of 100 bytes 0..99 (the id 7 in the first four).
class Chunks : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(H.Make(FDir.File("V.DAT"), Spec(8, 1024, 1).Key({{1, 4, 1}})), 0);
        FRecord.resize(100);
        std::iota(FRecord.begin(), FRecord.end(), uint8_t{0});
        Put32(FRecord.data(), 7);
        ASSERT_EQ(H.Insert(FRecord), 0);
        FPos = H.Position();
    }
    // Get direct/chunk (23) or update chunk (53) with `request` in a buffer of
    // `cap` bytes (its own size by default); Out gets the bytes returned.
    int16_t Send(uint16_t op, Bytes request, int32_t cap = -1) {
        if (cap < 0) cap = static_cast<int32_t>(request.size());
        request.resize(std::max(request.size(), static_cast<size_t>(cap)));
        int32_t len = cap;
        const int16_t st = H.Call(op, request.data(), len, nullptr, 0, op == 23 ? 254 : 0);
        Out.assign(request.begin(), request.begin() + std::max(len, 0));
        return st;
    }
    // Get direct/chunk with chunk descriptors (offset, length).
    int16_t Read(std::vector<std::pair<uint32_t, uint32_t>> chunks, uint32_t sub = kRandom) {
        Bytes d = Pack(FPos, sub, static_cast<uint32_t>(chunks.size()));
        for (auto [off, len] : chunks) d = Pack(d, off, len);
        return Send(23, d, 1000);
    }
    int16_t Write(uint32_t offset, const Bytes& bytes) {
        return Send(53, Pack(kRandom, 1u, offset, static_cast<uint32_t>(bytes.size()), bytes));
    }
    int16_t Truncate(int32_t at) { return Send(53, Pack(0x80000004u, at)); }
    Bytes Stored() {
        EXPECT_EQ(H.Get(5, 0, Int32Key(7)), 0);
        return H.Record;
    }

    Place FDir;
    Handle H;
    Bytes FRecord, Out;
    uint32_t FPos = 0;
};

TEST_F(Chunks, RandomNextInRecordAndDirectReads) {
    ASSERT_EQ(Read({{10, 5}, {50, 3}}), 0);
    EXPECT_EQ(Out, (Bytes{10, 11, 12, 13, 14, 50, 51, 52}));
    // Next-in-record: each offset counts from the end of the chunk before.
    ASSERT_EQ(Read({{10, 2}, {0, 2}, {3, 1}}, kRandom | kNextInRecord), 0);
    EXPECT_EQ(Out, (Bytes{10, 11, 12, 13, 17}));
    ASSERT_EQ(Read({{95, 20}}), 0); // cut short at the end
    EXPECT_EQ(Out, (Bytes{95, 96, 97, 98, 99}));
    EXPECT_EQ(Read({{100, 1}}), 103);
    // Direct: the chunks go to the given addresses, the length back counts them.
    uint8_t a[4] = {}, b[3] = {};
    ASSERT_EQ(Send(23, Pack(FPos, kDirect, 2u, 20u, 4u, Address(a), 40u, 3u, Address(b))), 0);
    EXPECT_EQ(Out.size(), 7u);
    EXPECT_EQ(Bytes(a, a + 4), (Bytes{20, 21, 22, 23}));
    EXPECT_EQ(Bytes(b, b + 3), (Bytes{40, 41, 42}));
}

TEST_F(Chunks, MalformedRequestsWriteNothing) {
    const struct {
        const char* what;
        uint16_t op;
        Bytes request;
        int32_t cap;
        int16_t status;
    } rows[] = {
        {"unknown subfunction", 23, Pack(FPos, 0x12345678u, 1u, 0u, 1u), -1, 62},
        {"no chunks", 23, Pack(FPos, kRandom, 0u), -1, 62},
        {"more chunks than the buffer holds", 23, Pack(FPos, kRandom, 1000u), -1, 62},
        {"shorter than its header", 23, Pack(FPos, kRandom, 1u, 0u, 1u), 8, 62},
        {"a position that holds no record", 23, Pack(99999u, kRandom, 1u, 0u, 1u), -1, 43},
        {"update: unknown subfunction", 53, Pack(0x12345678u, 1u, 0u, 1u, uint8_t{0}), -1, 62},
        {"update: inline data shorter than said", 53, Pack(kRandom, 1u, 10u, 50u, uint8_t{1}), -1, 62},
        {"update: no data", 53, {}, 0, 62},
    };
    for (const auto& r : rows) EXPECT_EQ(Send(r.op, r.request, r.cap), r.status) << r.what;
    EXPECT_EQ(Stored(), FRecord);
}

TEST_F(Chunks, WritesExtendButLeaveNoGap) {
    ASSERT_EQ(Write(98, {0xA1, 0xA2, 0xA3, 0xA4}), 0);
    Bytes want = FRecord;
    want.resize(98);
    want.insert(want.end(), {0xA1, 0xA2, 0xA3, 0xA4});
    EXPECT_EQ(Stored(), want);
    EXPECT_EQ(Write(200, {1}), 103); // past the end: a gap
    EXPECT_EQ(Stored(), want);
    ASSERT_EQ(Write(0, {7, 0, 0, 0, 0xEE}), 0); // the fixed part, key unchanged
    want[4] = 0xEE;
    EXPECT_EQ(Stored(), want);
    EXPECT_EQ(Write(0, {8, 0, 0, 0}), 10); // key 0 is not modifiable
    // Direct: the data comes from the given address.
    const uint8_t src[2] = {0xB1, 0xB2};
    ASSERT_EQ(Send(53, Pack(kDirect, 1u, 30u, 2u, Address(src))), 0);
    want[30] = 0xB1, want[31] = 0xB2;
    EXPECT_EQ(Stored(), want);
}

TEST_F(Chunks, TruncationStopsAtTheFixedPart) {
    ASSERT_EQ(Truncate(30), 0);
    EXPECT_EQ(Stored(), Bytes(FRecord.begin(), FRecord.begin() + 30));
    EXPECT_EQ(Truncate(7), 28);
    EXPECT_EQ(Truncate(-1), 28);
    ASSERT_EQ(Truncate(8), 0);
    EXPECT_EQ(Stored().size(), 8u);
}

// Extended reads over ten records: id 0..9, a one-byte group id % 3, 'A' or
// 'a' by parity, and 9 - id at 8.
class Extended : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(H.Make(FDir.File("X.DAT"), Spec(12).Key({{1, 4, 1}})), 0);
        for (int32_t id = 0; id < 10; ++id)
            ASSERT_EQ(H.Insert(Pack(id, uint8_t(id % 3), id % 2 ? 'a' : 'A', uint16_t{0}, 9 - id)), 0);
    }
    struct Term {
        uint8_t type, comp, connector;
        uint16_t len, offset;
        Bytes value; // or the other field's offset, with comp + 64
    };
    // The request; answers decoded into the ids of the records returned.
    int16_t Run(uint16_t op, const char* sig, std::vector<Term> terms, uint16_t maxRecords, uint16_t maxReject = 0,
                int32_t cap = 1000, std::vector<std::pair<uint16_t, uint16_t>> fields = {{4, 0}}) {
        Bytes d = Pack(uint16_t{0}, sig[0], sig[1], maxReject, static_cast<uint16_t>(terms.size()));
        for (const Term& t : terms) d = Pack(d, t.type, t.len, t.offset, t.comp, t.connector, t.value);
        d = Pack(d, maxRecords, static_cast<uint16_t>(fields.size()));
        for (auto [len, off] : fields) d = Pack(d, len, off);
        Put16(d.data(), static_cast<uint16_t>(d.size()));
        d.resize(std::max(d.size(), static_cast<size_t>(cap)));
        int32_t len = cap;
        uint8_t key[4];
        const int16_t st = H.Call(op, d.data(), len, key, sizeof key, 0);
        Ids.clear();
        for (size_t i = 0, at = 2; len >= 2 && i < Get16(d.data()) && at + 6 <= static_cast<size_t>(len); ++i) {
            const uint16_t l = Get16(d.data() + at);
            Ids.push_back(l >= 4 ? static_cast<int32_t>(Get32(d.data() + at + 6)) : -1);
            at += 6u + l;
        }
        return st;
    }
    Place FDir;
    Handle H;
    std::vector<int32_t> Ids;
};

TEST_F(Extended, FiltersInStrictLeftToRightOrder) {
    ASSERT_EQ(H.Get(12), 0); // on id 0
    // group == 0: "EG" starts with the record after the current one.
    EXPECT_EQ(Run(36, "EG", {{1, 1, 0, 1, 4, {0}}}, 0), 9);
    EXPECT_EQ(Ids, (std::vector<int32_t>{3, 6, 9}));
    ASSERT_EQ(H.Get(12), 0);
    EXPECT_EQ(Run(36, "UC", {{1, 1, 0, 1, 4, {0}}}, 0), 9); // "UC": the current record first
    EXPECT_EQ(Ids, (std::vector<int32_t>{0, 3, 6, 9}));
    // group == 1 or id >= 8 and ... : true before "or" accepts at once.
    ASSERT_EQ(H.Get(12), 0);
    EXPECT_EQ(Run(36, "UC", {{1, 1, 2, 1, 4, {1}}, {1, 5, 1, 4, 0, {8, 0, 0, 0}}, {1, 1, 0, 1, 4, {2}}}, 0), 9);
    EXPECT_EQ(Ids, (std::vector<int32_t>{1, 4, 7, 8}));
    // Case-insensitive (+128) and field against field (+64: id < the field at 8).
    ASSERT_EQ(H.Get(12), 0);
    EXPECT_EQ(Run(36, "UC", {{0, 1 + 128, 0, 1, 5, {'a'}}}, 3), 0);
    EXPECT_EQ(Ids, (std::vector<int32_t>{0, 1, 2}));
    ASSERT_EQ(H.Get(12), 0);
    EXPECT_EQ(Run(36, "UC", {{1, 3 + 64, 0, 4, 0, {8, 0}}}, 0), 9);
    EXPECT_EQ(Ids, (std::vector<int32_t>{0, 1, 2, 3, 4}));
}

TEST_F(Extended, LimitsAndContinuation) {
    ASSERT_EQ(H.Get(12), 0);
    EXPECT_EQ(Run(36, "UC", {}, 4), 0); // max records
    EXPECT_EQ(Ids, (std::vector<int32_t>{0, 1, 2, 3}));
    EXPECT_EQ(Run(36, "EG", {}, 4), 0); // continues after the last examined
    EXPECT_EQ(Ids, (std::vector<int32_t>{4, 5, 6, 7}));
    ASSERT_EQ(H.Get(12), 0);
    EXPECT_EQ(Run(36, "UC", {{1, 1, 0, 1, 4, {5}}}, 0, 3), 60); // rejects hit the limit
    EXPECT_TRUE(Ids.empty());
    // A buffer for two records: the third is not lost, it comes next.
    ASSERT_EQ(H.Get(12), 0);
    EXPECT_EQ(Run(36, "UC", {}, 0, 0, 2 + 2 * 10), 0);
    EXPECT_EQ(Ids, (std::vector<int32_t>{0, 1}));
    EXPECT_EQ(Run(36, "EG", {}, 2), 0);
    EXPECT_EQ(Ids, (std::vector<int32_t>{2, 3}));
    EXPECT_EQ(Run(36, "EG", {}, 0, 0, 30, {{100, 0}}), 97); // not one record fits
    // Backwards and in physical order.
    ASSERT_EQ(H.Get(13), 0);
    EXPECT_EQ(Run(37, "UC", {}, 3), 0);
    EXPECT_EQ(Ids, (std::vector<int32_t>{9, 8, 7}));
    ASSERT_EQ(H.Get(33), 0);
    EXPECT_EQ(Run(38, "EG", {}, 2), 0);
    EXPECT_EQ(Ids, (std::vector<int32_t>{1, 2}));
    ASSERT_EQ(H.Get(34), 0);
    EXPECT_EQ(Run(39, "UC", {}, 2), 0);
    EXPECT_EQ(Ids, (std::vector<int32_t>{9, 8}));
}

TEST_F(Extended, MalformedRequestsAnswer62) {
    ASSERT_EQ(H.Get(12), 0);
    EXPECT_EQ(Run(36, "XX", {}, 1), 62);
    EXPECT_EQ(Run(36, "EG", {{1, 9, 0, 4, 0, {0, 0, 0, 0}}}, 1), 62); // comparison 9
    EXPECT_EQ(Run(36, "EG", {{1, 1, 1, 4, 0, {0, 0, 0, 0}}}, 1), 62); // "and" with nothing after
    EXPECT_EQ(Run(36, "EG", {{1, 1, 0, 3, 0, {0, 0, 0}}}, 1), 62);    // a 3-byte integer
    Handle fresh;
    ASSERT_EQ(fresh.Open(FDir.File("X.DAT")), 0);
    Bytes d(16, 0);
    int32_t len = 16;
    EXPECT_EQ(fresh.Call(36, d.data(), len, nullptr, 0, 0), 62); // total length 0
}

TEST(Percentages, MonotoneExactAtTheEndsAndBack) {
    Place dir;
    Handle h;
    ASSERT_EQ(h.Make(dir.File("P.DAT"), Spec(16).Key({{1, 4, 1}}).Key({{5, 8, 0}}, kDup)), 0);
    for (int32_t id = 0; id < 200; ++id)
        ASSERT_EQ(h.Insert(Rec(16, id * 7 - 500, std::string("n").append(std::to_string(id % 13)))), 0);
    for (uint8_t key : {uint8_t{0}, uint8_t{1}, uint8_t{255}}) {
        SCOPED_TRACE("key " + std::to_string(key));
        const bool physical = key == 255;
        const uint16_t next = physical ? 24 : 6;
        Ids ids;
        std::vector<uint32_t> pcts;
        for (int16_t st = h.Get(physical ? 33 : 12, physical ? 0 : key); st == 0; st = h.Get(next, physical ? 0 : key)) {
            uint8_t p[4];
            int32_t len = 4;
            ASSERT_EQ(h.Call(45, p, len, nullptr, 0, key), 0);
            pcts.push_back(Get32(p));
            ids.push_back(IdOf(h.Record));
        }
        ASSERT_EQ(ids.size(), 200u);
        EXPECT_EQ(pcts.front(), 0u);
        EXPECT_EQ(pcts.back(), 10000u);
        EXPECT_TRUE(std::is_sorted(pcts.begin(), pcts.end()));
        // Get by percentage lands on the first and last records of the path
        // and makes the record current there.
        EXPECT_EQ(IdRead(h, h.GetBy(44, 10000, key)), ids.back());
        EXPECT_EQ(IdRead(h, h.GetBy(44, 0, key)), ids.front());
        EXPECT_EQ(IdRead(h, h.Get(next, physical ? 0 : key)), ids[1]);
    }
    // Halfway along an evenly spread key is near the middle record.
    ASSERT_EQ(h.GetBy(44, 5000, 0), 0);
    EXPECT_NEAR(IdOf(h.Record), 100 * 7 - 500, 2 * 7);
    EXPECT_EQ(h.GetBy(44, 10001, 0), 1);
    EXPECT_EQ(h.GetBy(44, 5000, 9), 6);
}

} // namespace
} // namespace btr::test
