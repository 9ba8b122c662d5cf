// Requests with a structure in the data buffer: chunk reads and writes,
// truncation, extended reads; and percentages.
#include <gtest/gtest.h>

#include <numeric>

#include "tests/btrengine/harness.h"

namespace btr::test {
namespace {

using Bytes = std::vector<uint8_t>;

void Append32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Append16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void Append64(Bytes& b, uint64_t v) {
    Append32(b, static_cast<uint32_t>(v));
    Append32(b, static_cast<uint32_t>(v >> 32));
}

// A variable-length file: 8-byte fixed part (the id, then 4 bytes), key 0 on the id.
class Chunks : public ::testing::Test {
protected:
    void SetUp() override {
        Spec spec(8, 1024, 1);
        spec.Key({{1, 4, 1}});
        ASSERT_EQ(Create(FDir.File("V.DAT"), spec), 0);
        ASSERT_EQ(H.Open(FDir.File("V.DAT")), 0);
        FRecord.resize(100);
        std::iota(FRecord.begin(), FRecord.end(), uint8_t{0});
        Put32(FRecord.data(), 7);
        ASSERT_EQ(H.Insert(FRecord), 0);
        FPos = H.Position();
    }
    // Get direct/chunk with random-chunk descriptors (offset, length).
    int16_t Read(std::vector<std::pair<uint32_t, uint32_t>> chunks, uint32_t sub = 0x80000000u, int32_t cap = 1000) {
        Bytes d;
        Append32(d, FPos);
        Append32(d, sub);
        Append32(d, static_cast<uint32_t>(chunks.size()));
        for (auto [off, len] : chunks) {
            Append32(d, off);
            Append32(d, len);
        }
        d.resize(static_cast<size_t>(std::max<int32_t>(cap, static_cast<int32_t>(d.size()))));
        int32_t len = cap;
        const int16_t st = H.Call(23, d.data(), len, nullptr, 0, 254);
        Out.assign(d.begin(), d.begin() + std::max(len, 0));
        return st;
    }
    int16_t Write(uint32_t offset, const Bytes& bytes, uint32_t sub = 0x80000000u) {
        Bytes d;
        Append32(d, sub);
        Append32(d, 1);
        Append32(d, offset);
        Append32(d, static_cast<uint32_t>(bytes.size()));
        d.insert(d.end(), bytes.begin(), bytes.end());
        int32_t len = static_cast<int32_t>(d.size());
        return H.Call(53, d.data(), len, nullptr, 0, 0);
    }
    int16_t Truncate(int32_t at) {
        Bytes d;
        Append32(d, 0x80000004u);
        Append32(d, static_cast<uint32_t>(at));
        int32_t len = static_cast<int32_t>(d.size());
        return H.Call(53, d.data(), len, nullptr, 0, 0);
    }
    Bytes Stored() {
        EXPECT_EQ(H.Get(5, 0, Int32Key(7)), 0);
        return H.Record;
    }

    TempDir FDir;
    Handle H;
    Bytes FRecord, Out;
    uint32_t FPos = 0;
};

TEST_F(Chunks, RandomAndNextInRecordReads) {
    ASSERT_EQ(Read({{10, 5}, {50, 3}}), 0);
    EXPECT_EQ(Out, (Bytes{10, 11, 12, 13, 14, 50, 51, 52}));
    // Next-in-record: each offset counts from the end of the chunk before.
    ASSERT_EQ(Read({{10, 2}, {0, 2}, {3, 1}}, 0xC0000000u), 0);
    EXPECT_EQ(Out, (Bytes{10, 11, 12, 13, 17}));
    ASSERT_EQ(Read({{95, 20}}), 0); // cut short at the end
    EXPECT_EQ(Out, (Bytes{95, 96, 97, 98, 99}));
    EXPECT_EQ(Read({{100, 1}}), 103);
    EXPECT_EQ(Read({{5000, 1}}), 103);
}

TEST_F(Chunks, DirectReadsGoToTheGivenAddresses) {
    uint8_t a[4] = {}, b[3] = {};
    Bytes d;
    Append32(d, FPos);
    Append32(d, 0x80000001u);
    Append32(d, 2);
    Append32(d, 20), Append32(d, 4), Append64(d, reinterpret_cast<uintptr_t>(a));
    Append32(d, 40), Append32(d, 3), Append64(d, reinterpret_cast<uintptr_t>(b));
    int32_t len = static_cast<int32_t>(d.size());
    ASSERT_EQ(H.Call(23, d.data(), len, nullptr, 0, 254), 0);
    EXPECT_EQ(len, 7);
    EXPECT_EQ(Bytes(a, a + 4), (Bytes{20, 21, 22, 23}));
    EXPECT_EQ(Bytes(b, b + 3), (Bytes{40, 41, 42}));
}

TEST_F(Chunks, MalformedDescriptorsAnswer62) {
    EXPECT_EQ(Read({{0, 1}}, 0x12345678u), 62);
    EXPECT_EQ(Read({}, 0x80000000u), 62);
    Bytes d;
    Append32(d, FPos);
    Append32(d, 0x80000000u);
    Append32(d, 1000); // more chunks than the buffer holds
    int32_t len = static_cast<int32_t>(d.size());
    EXPECT_EQ(H.Call(23, d.data(), len, nullptr, 0, 254), 62);
    len = 8;
    EXPECT_EQ(H.Call(23, d.data(), len, nullptr, 0, 254), 62);
    Put32(d.data(), 99999);
    Put32(d.data() + 8, 1);
    d.resize(20, 0);
    len = 20;
    EXPECT_EQ(H.Call(23, d.data(), len, nullptr, 0, 254), 43);
}

TEST_F(Chunks, WritesExtendButLeaveNoGap) {
    ASSERT_EQ(H.Get(5, 0, Int32Key(7)), 0);
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
    // Inline data shorter than the descriptor says.
    Bytes d;
    Append32(d, 0x80000000u);
    Append32(d, 1);
    Append32(d, 10);
    Append32(d, 50);
    d.push_back(1);
    int32_t len = static_cast<int32_t>(d.size());
    EXPECT_EQ(H.Call(53, d.data(), len, nullptr, 0, 0), 62);
}

TEST_F(Chunks, TruncationStopsAtTheFixedPart) {
    ASSERT_EQ(H.Get(5, 0, Int32Key(7)), 0);
    ASSERT_EQ(Truncate(30), 0);
    EXPECT_EQ(Stored(), Bytes(FRecord.begin(), FRecord.begin() + 30));
    EXPECT_EQ(Truncate(7), 28);
    EXPECT_EQ(Truncate(-1), 28);
    ASSERT_EQ(Truncate(8), 0);
    EXPECT_EQ(Stored().size(), 8u);
    Handle other;
    ASSERT_EQ(other.Open(FDir.File("V.DAT")), 0);
    int32_t none = 0;
    EXPECT_EQ(other.Call(53, nullptr, none, nullptr, 0, 0), 62); // no data
}

// Extended reads over ten records: id 0..9 and a one-byte group id % 3.
class Extended : public ::testing::Test {
protected:
    void SetUp() override {
        Spec spec(12);
        spec.Key({{1, 4, 1}});
        ASSERT_EQ(Create(FDir.File("X.DAT"), spec), 0);
        ASSERT_EQ(H.Open(FDir.File("X.DAT")), 0);
        for (int32_t id = 0; id < 10; ++id) {
            Bytes r(12, 0);
            Put32(r.data(), static_cast<uint32_t>(id));
            r[4] = static_cast<uint8_t>(id % 3);
            r[5] = static_cast<uint8_t>(id % 2 ? 'a' : 'A');
            Put32(r.data() + 8, static_cast<uint32_t>(9 - id));
            ASSERT_EQ(H.Insert(r), 0);
        }
    }
    struct Term {
        uint8_t type, comp, connector;
        uint16_t len, offset;
        Bytes value; // or the other field's offset, with comp + 64
    };
    // The request; answers decoded into the ids of the records returned.
    int16_t Run(uint16_t op, const char* sig, std::vector<Term> terms, uint16_t maxRecords, uint16_t maxReject = 0,
                int32_t cap = 1000, std::vector<std::pair<uint16_t, uint16_t>> fields = {{4, 0}}) {
        Bytes d(2);
        d.push_back(static_cast<uint8_t>(sig[0]));
        d.push_back(static_cast<uint8_t>(sig[1]));
        Append16(d, maxReject);
        Append16(d, static_cast<uint16_t>(terms.size()));
        for (const Term& t : terms) {
            d.push_back(t.type);
            Append16(d, t.len);
            Append16(d, t.offset);
            d.push_back(t.comp);
            d.push_back(t.connector);
            d.insert(d.end(), t.value.begin(), t.value.end());
        }
        Append16(d, maxRecords);
        Append16(d, static_cast<uint16_t>(fields.size()));
        for (auto [len, off] : fields) {
            Append16(d, len);
            Append16(d, off);
        }
        Put16(d.data(), static_cast<uint16_t>(d.size()));
        d.resize(static_cast<size_t>(std::max<int32_t>(cap, static_cast<int32_t>(d.size()))));
        int32_t len = cap;
        uint8_t key[4];
        const int16_t st = H.Call(op, d.data(), len, key, sizeof key, 0);
        Ids.clear();
        if (len >= 2) {
            size_t at = 2;
            for (uint16_t i = 0, n = Get16(d.data()); i < n && at + 6 <= static_cast<size_t>(len); ++i) {
                const uint16_t l = Get16(d.data() + at);
                Ids.push_back(l >= 4 ? static_cast<int32_t>(Get32(d.data() + at + 6)) : -1);
                at += 6 + l;
            }
        }
        return st;
    }
    TempDir FDir;
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
    EXPECT_EQ(Run(36, "EG", {{1, 9, 0, 4, 0, {0, 0, 0, 0}}}, 1), 62);  // comparison 9
    EXPECT_EQ(Run(36, "EG", {{1, 1, 1, 4, 0, {0, 0, 0, 0}}}, 1), 62);  // "and" with nothing after
    EXPECT_EQ(Run(36, "EG", {{1, 1, 0, 3, 0, {0, 0, 0}}}, 1), 62);     // a 3-byte integer
    EXPECT_EQ(Run(36, "EG", {{3, 1, 0, 2, 0, {0, 0}}}, 1), 62);        // a 2-byte date
    Handle fresh;
    ASSERT_EQ(fresh.Open(FDir.File("X.DAT")), 0);
    Bytes d(16, 0);
    int32_t len = 16;
    EXPECT_EQ(fresh.Call(36, d.data(), len, nullptr, 0, 0), 62); // total length 0
}

TEST(Percentages, MonotoneExactAtTheEndsAndBack) {
    TempDir dir;
    Spec spec(16);
    spec.Key({{1, 4, 1}});
    spec.Key({{5, 8, 0}}, kDup);
    ASSERT_EQ(Create(dir.File("P.DAT"), spec), 0);
    Handle h;
    ASSERT_EQ(h.Open(dir.File("P.DAT")), 0);
    for (int32_t id = 0; id < 200; ++id) ASSERT_EQ(h.Insert(Rec(16, id * 7 - 500, "n" + std::to_string(id % 13))), 0);
    auto find = [&](uint8_t key) {
        uint8_t p[4];
        int32_t len = 4;
        EXPECT_EQ(h.Call(45, p, len, nullptr, 0, key), 0);
        return Get32(p);
    };
    for (uint8_t key : {uint8_t{0}, uint8_t{1}, uint8_t{255}}) {
        const uint16_t first = key == 255 ? 33 : 12, next = key == 255 ? 24 : 6;
        uint32_t last = 0;
        bool firstOne = true;
        for (int16_t st = h.Get(first, key == 255 ? 0 : key); st == 0; st = h.Get(next, key == 255 ? 0 : key)) {
            const uint32_t pct = find(key);
            if (firstOne) EXPECT_EQ(pct, 0u) << int(key);
            EXPECT_GE(pct, last) << int(key);
            EXPECT_LE(pct, 10000u);
            last = pct;
            firstOne = false;
        }
        EXPECT_EQ(last, 10000u) << int(key);
        // Get by percentage lands on the first and last records of the path.
        uint8_t buf[64] = {};
        int32_t len = sizeof buf;
        Put32(buf, 0);
        ASSERT_EQ(h.Call(44, buf, len, nullptr, 0, key), 0);
        const int32_t atZero = IdOf(Bytes(buf, buf + 16));
        Put32(buf, 10000);
        len = sizeof buf;
        ASSERT_EQ(h.Call(44, buf, len, nullptr, 0, key), 0);
        const int32_t atEnd = IdOf(Bytes(buf, buf + 16));
        ASSERT_EQ(h.Get(first, key == 255 ? 0 : key), 0);
        EXPECT_EQ(atZero, IdOf(h.Record)) << int(key);
        ASSERT_EQ(h.Get(key == 255 ? 34 : 13, key == 255 ? 0 : key), 0);
        EXPECT_EQ(atEnd, IdOf(h.Record)) << int(key);
    }
    // Halfway along an evenly spread key is near the middle record.
    uint8_t buf[64] = {};
    Put32(buf, 5000);
    int32_t len = sizeof buf;
    ASSERT_EQ(h.Call(44, buf, len, nullptr, 0, 0), 0);
    EXPECT_NEAR(IdOf(Bytes(buf, buf + 16)), 100 * 7 - 500, 2 * 7);
    Put32(buf, 10001);
    EXPECT_EQ(h.Call(44, buf, len, nullptr, 0, 0), 1);
    Put32(buf, 5000);
    EXPECT_EQ(h.Call(44, buf, len, nullptr, 0, 9), 6);
}

} // namespace
} // namespace btr::test
