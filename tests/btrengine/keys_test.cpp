// Key order for every type and flag, case folding in both Russian code pages,
// null keys, autoincrement, duplicates, unique and modifiable keys.
#include <gtest/gtest.h>

#include <numeric>
#include <random>

#include "tests/btrengine/harness.h"
#include "tests/btrengine/stores.h"

namespace btr::test {
namespace {

// A file whose records are a 4-byte id and one key field (key 0); key 1 is the id.
struct KeyFile {
    KeyFile(uint8_t type, uint16_t len, uint16_t flags = 0, const std::array<uint8_t, 256>* acs = nullptr) : Len(len) {
        Spec spec(static_cast<uint16_t>(4 + len));
        spec.Key({{5, len, type}}, flags);
        spec.Key({{1, 4, 1}});
        if (acs) spec.Collation("TEST", *acs);
        Made = H.Make(Dir.File("K.DAT"), spec);
    }
    int16_t Put(int32_t id, const Bytes& field) {
        Bytes r = Pack(id, field);
        r.resize(4u + Len);
        return H.Insert(r);
    }
    Place Dir;
    Handle H;
    uint16_t Len;
    int16_t Made;
};

template <class T> std::vector<Bytes> Each(std::initializer_list<T> values) {
    std::vector<Bytes> out;
    for (T v : values) out.push_back(Pack(v));
    return out;
}
Bytes Text(const std::string& s, size_t len) {
    Bytes b(s.begin(), s.end());
    b.resize(len);
    return b;
}
std::vector<Bytes> Texts(size_t len, std::initializer_list<std::string> values) {
    std::vector<Bytes> out;
    for (const std::string& v : values) out.push_back(Text(v, len));
    return out;
}

struct OrderCase {
    const char* what;
    uint8_t type;
    uint16_t len, flags;
    std::vector<Bytes> sorted; // in key order
    const std::array<uint8_t, 256>* acs = nullptr;
};

std::vector<OrderCase> OrderCases() {
    auto date = [](int d, int m, int y) { return Bytes{uint8_t(d), uint8_t(m), uint8_t(y & 0xFF), uint8_t(y >> 8)}; };
    auto time = [](int h, int m, int s, int hs) { return Bytes{uint8_t(hs), uint8_t(s), uint8_t(m), uint8_t(h)}; };
    auto x87 = [](long double v) { Bytes b = Pack(v); b.resize(10); return b; };
    auto ls = [](const std::string& s) { // bytes past the length are ignored
        Bytes b = Pack(static_cast<uint8_t>(s.size()), s);
        b.resize(8, 0xEE);
        return b;
    };
    auto zs = [](const std::string& s, uint8_t tail) { // so is what follows the zero
        Bytes b = Pack(s, Bytes{0});
        b.resize(8, tail);
        return b;
    };
    static std::array<uint8_t, 256> digitsLast; // a collating sequence that sorts digits after letters
    std::iota(digitsLast.begin(), digitsLast.end(), uint8_t{0});
    for (int d = 0; d < 10; ++d) digitsLast[static_cast<size_t>('0' + d)] = static_cast<uint8_t>(0xF0 + d);
    return {
        {"1-byte integer", 1, 1, 0, Each<int8_t>({-128, -2, -1, 0, 1, 127})},
        {"2-byte integer", 1, 2, 0, Each<int16_t>({-32768, -300, -1, 0, 1, 255, 256, 32767})},
        {"4-byte integer", 1, 4, 0, Each<int32_t>({INT32_MIN, -65536, -5, 0, 7, 65536, INT32_MAX})},
        {"8-byte integer", 1, 8, 0, Each<int64_t>({INT64_MIN, -(int64_t{1} << 40), -1, 0, 1, int64_t{1} << 33, INT64_MAX})},
        {"4-byte float", 2, 4, 0, Each<float>({-3e38f, -1.5f, -0.25f, 0.0f, 0.25f, 2.0f, 3e38f})},
        {"8-byte float", 2, 8, 0, Each<double>({-1e300, -2.5, -1.0, -1e-300, 0.0, 1e-300, 0.5, 1.0, 3.75, 1e300})},
        {"10-byte float", 2, 10, 0,
         {x87(-1e4000L), x87(-2.5L), x87(-1.0L), x87(-1e-4000L), x87(0.0L), x87(1e-4000L), x87(0.5L), x87(3.75L),
          x87(1e4000L)}},
        {"date by year, month, day", 3, 4, 0,
         {date(31, 12, 1899), date(1, 1, 1900), date(29, 2, 1900), date(2, 3, 1900), date(31, 1, 1999),
          date(1, 2, 1999), date(1, 1, 2000), date(28, 2, 2000)}},
        {"time by hour, minute, second, hundredths", 4, 4, 0,
         {time(0, 0, 0, 0), time(0, 0, 0, 1), time(0, 0, 1, 0), time(0, 1, 0, 99), time(1, 0, 0, 0),
          time(12, 30, 0, 0), time(23, 59, 59, 99)}},
        // Five digits and the sign nibble: D negative, C or F positive.
        {"packed decimal", 5, 3, 0,
         {{0x99, 0x99, 0x9D}, {0x00, 0x12, 0x3D}, {0x00, 0x00, 0x1D}, {0x00, 0x00, 0x0C}, {0x00, 0x00, 0x1F},
          {0x00, 0x12, 0x3C}, {0x01, 0x00, 0x0C}, {0x99, 0x99, 0x9F}}},
        // Right-justified digits, the sign overpunched in the last byte ('}' and
        // J..R negative), leading blanks as zeros; anything else after every number.
        {"numeric", 8, 4, 0,
         Texts(4, {"123R", "012J", "000}", "0000", "0005", " 007", "001{", "0123", "999I", "12x4", "ab  "})},
        {"logical", 7, 2, 0, Each<uint16_t>({0, 1, 255, 256, 65535})},
        {"unsigned binary of 3 bytes", 14, 3, 0,
         {{0, 0, 0}, {0xFF, 0, 0}, {0, 1, 0}, {0xFF, 1, 0}, {0, 0, 1}, {0xFF, 0xFF, 0xFF}}},
        {"binary by the flag alone", 0, 2, kBin, Each<uint16_t>({0, 1, 255, 256, 65535})},
        {"string, bytes unsigned", 0, 3, 0, Texts(3, {"", "A", "AB", "B", "a", "\x7F", "\x80", "\xFF"})},
        {"lstring, a prefix first", 10, 8, 0, {ls(""), ls("a"), ls("ab"), ls("abc"), ls("abd"), ls("b"), ls("ba")}},
        {"zstring", 11, 8, 0, {zs("", 0x7F), zs("a", 0xFF), zs("ab", 0x01), zs("abc", 0x55), zs("b", 0x00)}},
        {"descending", 1, 4, kDesc, Each<int32_t>({50, 7, 0, -3})},
        {"case-insensitive ASCII", 0, 6, kNoCase, Texts(6, {"apple", "BANANA", "cherry", "Date"})},
        // 1251 А б П р Я and 866 А п р С я: either case in the place of its letter.
        {"case-insensitive 1251", 0, 1, kNoCase, Texts(1, {"\xC0", "\xE1", "\xCF", "\xF0", "\xDF"})},
        {"case-insensitive 866", 0, 1, kNoCase, Texts(1, {"\x80", "\xAF", "\xE0", "\x91", "\xEF"})},
        {"alternate collating sequence", 0, 3, kAlt, Texts(3, {"AAA", "ABC", "ZZZ", "Z00", "000", "123"}), &digitsLast},
    };
}

// Records go in shuffled; walks along the key, both ways, bring them back in key order.
TEST(KeyOrder, EveryTypeAndFlag) {
    for (const OrderCase& c : OrderCases()) {
        SCOPED_TRACE(c.what);
        KeyFile f(c.type, c.len, c.flags, c.acs);
        ASSERT_EQ(f.Made, 0);
        Ids want(c.sorted.size()), order;
        std::iota(want.begin(), want.end(), 0);
        order = want;
        std::shuffle(order.begin(), order.end(), std::mt19937(7));
        for (int32_t id : order) ASSERT_EQ(f.Put(id, c.sorted[static_cast<size_t>(id)]), 0) << "id " << id;
        EXPECT_EQ(f.H.Walk(0), want);
        EXPECT_EQ(f.H.Walk(1), want); // the other key keeps its own order
        std::reverse(want.begin(), want.end());
        EXPECT_EQ(f.H.Walk(0, 13, 7), want);
    }
}

TEST(KeyOrder, ZStringsEqualUpToTheZeroAreOneValue) {
    KeyFile f(11, 8);
    ASSERT_EQ(f.Made, 0);
    ASSERT_EQ(f.Put(1, {'a', 'b', 0, 0x55, 0x55}), 0);
    EXPECT_EQ(IdRead(f.H, f.H.Get(5, 0, {'a', 'b', 0, 0x99})), 1);
}

TEST(KeyOrder, CaseInsensitiveLookupsFoldAsciiAndRussianInBothCodePages) {
    KeyFile f(11, 8, kNoCase | kDup);
    ASSERT_EQ(f.Made, 0);
    // Stored, then asked in the other case: ASCII, "Москва" in 1251, "москва" in
    // 866, then Я and Р of 1251, Я and Р of 866, 1251 Ё.
    const std::pair<std::string, std::string> pairs[] = {
        {"Tula", "tULA"},     {"\xCC\xEE\xF1\xEA\xE2\xE0", "\xEC\xEE\xF1\xEA\xE2\xE0"},
        {"\xAC\xAE\xE1\xAA\xA2\xA0", "\x8C\xAE\xE1\xAA\xA2\xA0"},
        {"\xDFx", "\xFFX"},   {"\xD0x", "\xF0X"}, {"\x9Fx", "\xEFX"}, {"\x90x", "\xE0X"}, {"\xA8x", "\xB8X"}};
    for (int32_t id = 0; id < int32_t(std::size(pairs)); ++id) ASSERT_EQ(f.Put(id, Text(pairs[id].first, 8)), 0);
    for (int32_t id = 0; id < int32_t(std::size(pairs)); ++id) {
        EXPECT_EQ(f.H.Get(5, 0, Text(pairs[id].second, 8)), 0) << "pair " << id;
        EXPECT_EQ(IdOf(f.H.Record), id) << "pair " << id;
    }
    // Values equal but for case are duplicates, in insertion order.
    ASSERT_EQ(f.Put(100, Text("TULA", 8)), 0);
    EXPECT_EQ(IdRead(f.H, f.H.Get(5, 0, Text("tula", 8))), 0);
    EXPECT_EQ(IdRead(f.H, f.H.Get(6)), 100);
}

TEST(KeyOrder, MultiSegmentKeysCompareSegmentBySegment) {
    Place dir;
    Handle h;
    ASSERT_EQ(h.Make(dir.File("M.DAT"), Spec(12).Key({{5, 4, 11}, {9, 4, 1, kDesc}})), 0);
    for (auto [id, a, b] : {std::tuple{3, "b", 1}, {0, "a", 9}, {2, "a", -4}, {1, "a", 0}, {4, "b", -1}})
        ASSERT_EQ(h.Insert(Pack(id, Text(a, 4), b)), 0);
    EXPECT_EQ(h.Walk(), (Ids{0, 1, 2, 3, 4}));
}

TEST(KeyOrder, NullKeysLeaveRecordsOutOfTheKey) {
    // Key 0 leaves a record out when all its segments are zero, key 1 when any is.
    const Spec spec = Spec(12).Key({{5, 4, 1}}, kNull | kDup | kMod).Key({{5, 4, 1}, {9, 4, 1}}, kAnyNull | kDup | kMod);
    Place dir;
    Handle h;
    ASSERT_EQ(h.Make(dir.File("N.DAT"), spec), 0);
    ASSERT_EQ(h.Insert(Pack(0, 0, 0)), 0);
    ASSERT_EQ(h.Insert(Pack(1, 5, 0)), 0);
    ASSERT_EQ(h.Insert(Pack(2, 6, 7)), 0);
    EXPECT_EQ(h.Walk(0), (Ids{1, 2}));
    EXPECT_EQ(h.Walk(1), (Ids{2}));
    EXPECT_EQ(h.Walk(0, 33, 24), (Ids{0, 1, 2})); // every record is still there
    // An update that gives a null record values puts it on the keys, and back.
    ASSERT_EQ(h.Get(33), 0);
    ASSERT_EQ(h.Update(Pack(0, 1, 1)), 0);
    EXPECT_EQ(h.Walk(0), (Ids{0, 1, 2}));
    EXPECT_EQ(h.Walk(1), (Ids{0, 2}));
    ASSERT_EQ(h.Get(5, 0, Int32Key(1)), 0);
    ASSERT_EQ(h.Update(Pack(0, 0, 1)), 0);
    EXPECT_EQ(h.Walk(0), (Ids{1, 2}));
    EXPECT_EQ(h.Walk(1), (Ids{2}));
}

TEST(KeyOrder, AutoincrementFillsZeroWithTheNextValue) {
    Place dir;
    Handle h;
    ASSERT_EQ(h.Make(dir.File("A.DAT"), Spec(8).Key({{5, 4, 15}})), 0);
    uint8_t key[4];
    for (auto [given, want] : {std::pair{0, 1}, {10, 10}, {0, 11}}) {
        Bytes r = Pack(0, given);
        int32_t len = 8;
        ASSERT_EQ(h.Call(2, r.data(), len, key, 4, 0), 0) << given;
        EXPECT_EQ(Get32(r.data() + 4), uint32_t(want)) << "the caller's buffer gets the value";
        EXPECT_EQ(Get32(key), uint32_t(want));
    }
    EXPECT_EQ(h.Insert(Pack(3, 10)), 5); // unique
}

TEST(KeyOrder, DuplicatesKeepInsertionOrderAndUpdatesMoveToTheEnd) {
    KeyFile f(0, 4, kDup | kMod);
    ASSERT_EQ(f.Made, 0);
    for (auto [id, v] : {std::pair{0, "x"}, {1, "y"}, {2, "x"}, {3, "x"}}) ASSERT_EQ(f.Put(id, Text(v, 4)), 0);
    EXPECT_EQ(f.H.Walk(), (Ids{0, 2, 3, 1}));
    // Record 0 leaves "x" and comes back: it goes behind the other x's.
    ASSERT_EQ(f.H.Get(12), 0);
    Bytes rec = f.H.Record;
    rec[4] = 'z';
    ASSERT_EQ(f.H.Update(rec), 0);
    rec[4] = 'x';
    ASSERT_EQ(f.H.Update(rec), 0);
    EXPECT_EQ(f.H.Walk(), (Ids{2, 3, 0, 1}));
    // Many of a value, read ahead in batches: forwards and backwards, every
    // one once, in insertion order within its value.
    Ids forward{2, 3, 0}, backward;
    for (int id = 10; id < 700; ++id) ASSERT_EQ(f.Put(id, Text(id % 3 ? "x" : "w", 4)), 0);
    for (int id = 10; id < 700; ++id)
        if (id % 3) forward.push_back(id);
    Ids ws;
    for (int id = 10; id < 700; ++id)
        if (id % 3 == 0) ws.push_back(id);
    forward.insert(forward.begin(), ws.begin(), ws.end());
    forward.push_back(1);
    backward.assign(forward.rbegin(), forward.rend());
    EXPECT_EQ(f.H.Walk(), forward);
    EXPECT_EQ(f.H.Walk(0, 13, 7), backward);
}

TEST(KeyOrder, UniqueAndNonModifiableKeysRefuseAndWriteNothing) {
    Place dir;
    Handle h; // key 0 unique, not modifiable; key 1 unique, modifiable
    ASSERT_EQ(h.Make(dir.File("U.DAT"), Spec(12).Key({{1, 4, 1}}).Key({{5, 4, 0}}, kMod)), 0);
    ASSERT_EQ(h.Insert(Rec(12, 1, "aaaa")), 0);
    ASSERT_EQ(h.Insert(Rec(12, 2, "bbbb")), 0);
    EXPECT_EQ(h.Insert(Rec(12, 3, "aaaa")), 5); // the second key refuses after the first accepted
    EXPECT_EQ(h.Get(5, 0, Int32Key(3)), 4);     // and nothing of it stayed
    EXPECT_EQ(h.Walk(1), (Ids{1, 2}));
    ASSERT_EQ(h.Get(5, 0, Int32Key(2)), 0);
    EXPECT_EQ(h.Update(Rec(12, 2, "aaaa")), 5);
    EXPECT_EQ(h.Update(Rec(12, 9, "bbbb")), 10);
    EXPECT_EQ(h.Update(Rec(12, 2, "cccc")), 0);
    EXPECT_EQ(h.Walk(1), (Ids{1, 2}));
    EXPECT_EQ(h.Get(5, 1, Text("cccc", 4)), 0);
}

} // namespace
} // namespace btr::test
