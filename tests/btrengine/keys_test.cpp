// Key order for every type and flag, duplicates, unique and modifiable keys:
// records go in shuffled, a get-first/get-next walk must bring them back in
// key order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "tests/btrengine/harness.h"

namespace btr::test {
namespace {

using Bytes = std::vector<uint8_t>;

class KeyOrder : public ::testing::Test {
protected:
    // A file whose records are a 4-byte id followed by the key field.
    void Make(uint8_t type, uint16_t len, uint16_t flags = 0, const std::array<uint8_t, 256>* acs = nullptr) {
        FLen = len;
        Spec spec(static_cast<uint16_t>(4 + len));
        spec.Key({{5, len, type}}, flags);
        spec.Key({{1, 4, 1}});
        if (acs) spec.Collation("TEST", *acs);
        ASSERT_EQ(Create(FDir.File("K.DAT"), spec), 0);
        ASSERT_EQ(FH.Open(FDir.File("K.DAT")), 0);
    }
    void Put(int32_t id, const Bytes& field) {
        Bytes rec(4 + FLen, 0);
        Put32(rec.data(), static_cast<uint32_t>(id));
        std::copy(field.begin(), field.end(), rec.begin() + 4);
        ASSERT_EQ(FH.Insert(rec), 0) << "id " << id;
    }
    // Inserts the values in a shuffled order; ids are the positions in `sorted`.
    void PutShuffled(const std::vector<Bytes>& sorted) {
        std::vector<int32_t> order(sorted.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int32_t>(i);
        std::shuffle(order.begin(), order.end(), std::mt19937(7));
        for (int32_t i : order) Put(i, sorted[static_cast<size_t>(i)]);
    }
    std::vector<int32_t> Walk(uint8_t key = 0) {
        std::vector<int32_t> ids;
        for (int16_t st = FH.Get(12, key); st == 0; st = FH.Get(6, key)) ids.push_back(IdOf(FH.Record));
        return ids;
    }
    std::vector<int32_t> WalkBack(uint8_t key = 0) {
        std::vector<int32_t> ids;
        for (int16_t st = FH.Get(13, key); st == 0; st = FH.Get(7, key)) ids.push_back(IdOf(FH.Record));
        return ids;
    }
    static std::vector<int32_t> Iota(size_t n) {
        std::vector<int32_t> v(n);
        for (size_t i = 0; i < n; ++i) v[i] = static_cast<int32_t>(i);
        return v;
    }
    void ExpectSorted(const std::vector<Bytes>& sorted) {
        PutShuffled(sorted);
        EXPECT_EQ(Walk(), Iota(sorted.size()));
        auto back = Iota(sorted.size());
        std::reverse(back.begin(), back.end());
        EXPECT_EQ(WalkBack(), back);
    }

    TempDir FDir;
    Handle FH;
    uint16_t FLen = 0;
};

template <class T> Bytes LE(T v) {
    Bytes b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    return b;
}
Bytes Text(const std::string& s, size_t len) {
    Bytes b(len, 0);
    std::memcpy(b.data(), s.data(), std::min(s.size(), len));
    return b;
}

TEST_F(KeyOrder, SignedIntegersOfEveryWidth) {
    Make(1, 2);
    ExpectSorted({LE<int16_t>(-32768), LE<int16_t>(-300), LE<int16_t>(-1), LE<int16_t>(0), LE<int16_t>(1),
                  LE<int16_t>(255), LE<int16_t>(256), LE<int16_t>(32767)});
}

TEST_F(KeyOrder, EightByteIntegersAndAutoincrement) {
    Make(1, 8);
    ExpectSorted({LE<int64_t>(INT64_MIN), LE<int64_t>(-(int64_t{1} << 40)), LE<int64_t>(-1), LE<int64_t>(0),
                  LE<int64_t>(1), LE<int64_t>(int64_t{1} << 33), LE<int64_t>(INT64_MAX)});
}

TEST_F(KeyOrder, OneAndFourByteIntegers) {
    Make(1, 4);
    ExpectSorted({LE<int32_t>(INT32_MIN), LE<int32_t>(-65536), LE<int32_t>(-5), LE<int32_t>(0), LE<int32_t>(7),
                  LE<int32_t>(65536), LE<int32_t>(INT32_MAX)});
}

TEST_F(KeyOrder, FloatsWithNegativesAndFractions) {
    Make(2, 8);
    ExpectSorted({LE<double>(-1e300), LE<double>(-2.5), LE<double>(-1.0), LE<double>(-1e-300), LE<double>(0.0),
                  LE<double>(1e-300), LE<double>(0.5), LE<double>(1.0), LE<double>(3.75), LE<double>(1e300)});
}

TEST_F(KeyOrder, FourByteFloats) {
    Make(2, 4);
    ExpectSorted({LE<float>(-3e38f), LE<float>(-1.5f), LE<float>(-0.25f), LE<float>(0.0f), LE<float>(0.25f),
                  LE<float>(2.0f), LE<float>(3e38f)});
}

TEST_F(KeyOrder, DatesAcrossYearsByYearMonthDay) {
    auto date = [](int d, int m, int y) { return Bytes{uint8_t(d), uint8_t(m), uint8_t(y & 0xFF), uint8_t(y >> 8)}; };
    Make(3, 4);
    ExpectSorted({date(31, 12, 1899), date(1, 1, 1900), date(29, 2, 1900), date(2, 3, 1900), date(31, 1, 1999),
                  date(1, 2, 1999), date(1, 1, 2000), date(28, 2, 2000)});
}

TEST_F(KeyOrder, TimesByHourMinuteSecondHundredths) {
    auto time = [](int h, int m, int s, int hs) { return Bytes{uint8_t(hs), uint8_t(s), uint8_t(m), uint8_t(h)}; };
    Make(4, 4);
    ExpectSorted({time(0, 0, 0, 0), time(0, 0, 0, 1), time(0, 0, 1, 0), time(0, 1, 0, 99), time(1, 0, 0, 0),
                  time(12, 30, 0, 0), time(23, 59, 59, 99)});
}

TEST_F(KeyOrder, PackedDecimalsWithSigns) {
    // Three bytes: five digits and the sign nibble (D negative, C or F positive).
    Make(5, 3);
    ExpectSorted({{0x99, 0x99, 0x9D}, {0x00, 0x12, 0x3D}, {0x00, 0x00, 0x1D}, {0x00, 0x00, 0x0C}, {0x00, 0x00, 0x1F},
                  {0x00, 0x12, 0x3C}, {0x01, 0x00, 0x0C}, {0x99, 0x99, 0x9F}});
}

TEST_F(KeyOrder, NumericTextWithOverpunchedSign) {
    // Right-justified digits; the last byte carries the sign: '}' and J..R negative.
    Make(8, 4);
    ExpectSorted({Text("123R", 4), Text("012J", 4), Text("000}", 4), Text("0000", 4), Text("0005", 4),
                  Text("001{", 4), Text("0123", 4), Text("999I", 4)});
}

TEST_F(KeyOrder, LogicalAndUnsignedBinary) {
    Make(14, 2);
    ExpectSorted({LE<uint16_t>(0), LE<uint16_t>(1), LE<uint16_t>(255), LE<uint16_t>(256), LE<uint16_t>(65535)});
}

TEST_F(KeyOrder, LStringsSortAPrefixFirst) {
    auto ls = [](const std::string& s) {
        Bytes b(8, 0xEE); // bytes past the length are ignored
        b[0] = static_cast<uint8_t>(s.size());
        std::memcpy(b.data() + 1, s.data(), s.size());
        return b;
    };
    Make(10, 8);
    ExpectSorted({ls(""), ls("a"), ls("ab"), ls("abc"), ls("abd"), ls("b"), ls("ba")});
}

TEST_F(KeyOrder, ZStringsIgnoreWhatFollowsTheZero) {
    auto zs = [](const std::string& s, uint8_t garbage) {
        Bytes b(8, garbage);
        std::memcpy(b.data(), s.c_str(), s.size() + 1);
        return b;
    };
    Make(11, 8);
    PutShuffled({zs("", 0x7F), zs("a", 0xFF), zs("ab", 0x01), zs("abc", 0x55), zs("b", 0x00)});
    EXPECT_EQ(Walk(), Iota(5));
    // Equal texts with different tails are one value: a get-equal finds either.
    EXPECT_EQ(FH.Get(5, 0, zs("ab", 0x99)), 0);
    EXPECT_EQ(IdOf(FH.Record), 2);
}

TEST_F(KeyOrder, DescendingSegmentsReverseOnlyThemselves) {
    Make(1, 4, kDesc);
    PutShuffled({LE<int32_t>(50), LE<int32_t>(7), LE<int32_t>(0), LE<int32_t>(-3)});
    EXPECT_EQ(Walk(), Iota(4));
    EXPECT_EQ(Walk(1), (std::vector<int32_t>{0, 1, 2, 3})); // key 1, the id, ascending
}

TEST_F(KeyOrder, CaseInsensitiveStrings) {
    Make(0, 6, kNoCase | kDup);
    Put(0, Text("apple", 6));
    Put(1, Text("APPLE", 6));
    Put(2, Text("Banana", 6));
    Put(3, Text("banana", 6));
    Put(4, Text("cherry", 6));
    EXPECT_EQ(Walk(), Iota(5)); // case-blind, duplicates in insertion order
    EXPECT_EQ(FH.Get(5, 0, Text("BANANA", 6)), 0);
    EXPECT_EQ(IdOf(FH.Record), 2);
}

TEST_F(KeyOrder, AlternateCollatingSequence) {
    // A table that sorts digits after letters.
    std::array<uint8_t, 256> acs;
    for (int i = 0; i < 256; ++i) acs[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    for (int d = 0; d < 10; ++d) acs[static_cast<size_t>('0' + d)] = static_cast<uint8_t>(0xF0 + d);
    Make(0, 3, kAlt, &acs);
    ExpectSorted({Text("AAA", 3), Text("ABC", 3), Text("ZZZ", 3), Text("Z00", 3), Text("000", 3), Text("123", 3)});
}

TEST_F(KeyOrder, MultiSegmentKeysCompareSegmentBySegment) {
    Spec spec(12);
    spec.Key({{5, 4, 11}, {9, 4, 1, kDesc}});
    ASSERT_EQ(Create(FDir.File("M.DAT"), spec), 0);
    ASSERT_EQ(FH.Open(FDir.File("M.DAT")), 0);
    auto rec = [](int32_t id, const std::string& a, int32_t b) {
        Bytes r(12, 0);
        Put32(r.data(), static_cast<uint32_t>(id));
        std::memcpy(r.data() + 4, a.data(), std::min<size_t>(a.size(), 3));
        Put32(r.data() + 8, static_cast<uint32_t>(b));
        return r;
    };
    for (auto [id, a, b] : {std::tuple{3, "b", 1}, {0, "a", 9}, {2, "a", -4}, {1, "a", 0}, {4, "b", -1}})
        ASSERT_EQ(FH.Insert(rec(id, a, b)), 0);
    EXPECT_EQ(Walk(), Iota(5));
}

TEST_F(KeyOrder, NullKeysLeaveRecordsOutOfTheKey) {
    Spec spec(12);
    spec.Key({{5, 4, 1, 0, 0}}, kNull | kDup);                 // all segments zero: not indexed
    spec.Key({{5, 4, 1, 0, 0}, {9, 4, 1, 0, 0}}, kAnyNull | kDup); // any segment zero: not indexed
    ASSERT_EQ(Create(FDir.File("N.DAT"), spec), 0);
    ASSERT_EQ(FH.Open(FDir.File("N.DAT")), 0);
    auto rec = [](int32_t id, int32_t a, int32_t b) {
        Bytes r(12, 0);
        Put32(r.data(), static_cast<uint32_t>(id));
        Put32(r.data() + 4, static_cast<uint32_t>(a));
        Put32(r.data() + 8, static_cast<uint32_t>(b));
        return r;
    };
    ASSERT_EQ(FH.Insert(rec(0, 0, 0)), 0);
    ASSERT_EQ(FH.Insert(rec(1, 5, 0)), 0);
    ASSERT_EQ(FH.Insert(rec(2, 6, 7)), 0);
    EXPECT_EQ(Walk(0), (std::vector<int32_t>{1, 2}));
    EXPECT_EQ(Walk(1), (std::vector<int32_t>{2}));
    // Every record is still there in physical order.
    std::vector<int32_t> all;
    for (int16_t st = FH.Get(33); st == 0; st = FH.Get(24)) all.push_back(IdOf(FH.Record));
    EXPECT_EQ(all, Iota(3));
    // An update that gives a null record a value puts it on the key.
    ASSERT_EQ(FH.Get(33), 0);
    EXPECT_EQ(FH.Update(rec(0, 1, 1)), 10); // key 0 is not modifiable
}

TEST_F(KeyOrder, AutoincrementFillsZeroWithTheNextValue) {
    Spec spec(8);
    spec.Key({{5, 4, 15}});
    ASSERT_EQ(Create(FDir.File("A.DAT"), spec), 0);
    ASSERT_EQ(FH.Open(FDir.File("A.DAT")), 0);
    auto rec = [](int32_t id, int32_t auto_) {
        Bytes r(8, 0);
        Put32(r.data(), static_cast<uint32_t>(id));
        Put32(r.data() + 4, static_cast<uint32_t>(auto_));
        return r;
    };
    Bytes r = rec(0, 0);
    int32_t len = 8;
    uint8_t key[4];
    ASSERT_EQ(FH.Call(2, r.data(), len, key, 4, 0), 0);
    EXPECT_EQ(Get32(r.data() + 4), 1u); // the caller's buffer gets the value
    EXPECT_EQ(Get32(key), 1u);
    ASSERT_EQ(FH.Insert(rec(1, 10)), 0); // a value given is kept
    r = rec(2, 0);
    ASSERT_EQ(FH.Call(2, r.data(), len, key, 4, 0), 0);
    EXPECT_EQ(Get32(r.data() + 4), 11u);
    EXPECT_EQ(FH.Insert(rec(3, 10)), 5); // unique
}

TEST_F(KeyOrder, DuplicatesKeepInsertionOrderAndUpdatesMoveToTheEnd) {
    Make(0, 4, kDup | kMod);
    Put(0, Text("x", 4));
    Put(1, Text("y", 4));
    Put(2, Text("x", 4));
    Put(3, Text("x", 4));
    EXPECT_EQ(Walk(), (std::vector<int32_t>{0, 2, 3, 1}));
    // Record 0 leaves "x" and comes back: it goes behind the other x's.
    ASSERT_EQ(FH.Get(12), 0);
    Bytes rec = FH.Record;
    rec[4] = 'z';
    ASSERT_EQ(FH.Update(rec), 0);
    rec[4] = 'x';
    ASSERT_EQ(FH.Update(rec), 0);
    EXPECT_EQ(Walk(), (std::vector<int32_t>{2, 3, 0, 1}));
}

TEST_F(KeyOrder, UniqueAndNonModifiableKeysRefuseAndWriteNothing) {
    Spec spec(12);
    spec.Key({{1, 4, 1}});                  // unique, not modifiable
    spec.Key({{5, 4, 0}}, kMod);            // unique, modifiable
    ASSERT_EQ(Create(FDir.File("U.DAT"), spec), 0);
    ASSERT_EQ(FH.Open(FDir.File("U.DAT")), 0);
    ASSERT_EQ(FH.Insert(Rec(12, 1, "aaaa")), 0);
    ASSERT_EQ(FH.Insert(Rec(12, 2, "bbbb")), 0);
    EXPECT_EQ(FH.Insert(Rec(12, 3, "aaaa")), 5); // the second key refuses after the first accepted
    EXPECT_EQ(FH.Get(5, 0, Int32Key(3)), 4);     // and nothing of it stayed
    EXPECT_EQ(Walk(1), (std::vector<int32_t>{1, 2}));
    ASSERT_EQ(FH.Get(5, 0, Int32Key(2)), 0);
    EXPECT_EQ(FH.Update(Rec(12, 2, "aaaa")), 5);
    EXPECT_EQ(FH.Update(Rec(12, 9, "bbbb")), 10);
    EXPECT_EQ(FH.Update(Rec(12, 2, "cccc")), 0);
    EXPECT_EQ(Walk(1), (std::vector<int32_t>{1, 2}));
    EXPECT_EQ(FH.Get(5, 1, Text("cccc", 4)), 0);
}

} // namespace
} // namespace btr::test
