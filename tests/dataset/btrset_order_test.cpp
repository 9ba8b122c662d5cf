// TBDataSet against the file's own key order, for every field type that can
// cover a key segment: each type under the key types a file may give it (with
// and without the extended-type flag), ascending and descending, with and
// without case folding, alone and as the second segment of a key. The file
// object's get-first/get-next walk and its keyed gets are the oracle: the
// dataset's walks both ways, its ranges, FindKey and Locate must agree.
#include <gtest/gtest.h>

#include <cfloat>
#include <cstring>
#include <functional>
#include <map>
#include <optional>

#include "dataset/btrset.h"
#include "engine/btrtools.h"
#include "platform/codepage.h"
#include "platform/endian.h"
#include "tests/dictionary/dict_support.h"

namespace btr {
namespace {

using Bytes = std::vector<uint8_t>;

// A stored value and whether its field value, written back, gives the same
// bytes (a bound or a search value must; 19 decimal digits, say, do not).
struct Value {
    Bytes bytes;
    bool exact = true;
};

// How key 1's segment over the field is ordered.
struct Order {
    uint16_t flags; // kfExtType with `type`, or 0 (string) or kfBinary (unsigned)
    uint8_t type;
};

struct TypeCase {
    std::string name;
    int32_t ftype;
    int32_t len;
    std::vector<Order> orders;
    bool text; // also walked case-insensitive
    std::vector<Value> values;
};

template <class T> Bytes LE(T v, size_t len = sizeof(T)) {
    Bytes b(len, 0);
    std::memcpy(b.data(), &v, std::min(len, sizeof v));
    return b;
}

Bytes Date(int y, int m, int d) { return {uint8_t(d), uint8_t(m), uint8_t(y), uint8_t(y >> 8)}; }
Bytes Time(int h, int mi, int s, int hs) { return {uint8_t(hs), uint8_t(s), uint8_t(mi), uint8_t(h)}; }
Bytes Real10(double d) { return LE<long double>(d, 10); }

// Packed decimal of `len` bytes; `sign` is the last nibble.
Bytes Decimal(std::string digits, int len, uint8_t sign) {
    Bytes b(static_cast<size_t>(len), 0);
    digits.insert(0, static_cast<size_t>(2 * len - 1) - digits.size(), '0');
    for (size_t k = 0; k < digits.size(); ++k) {
        const auto d = static_cast<uint8_t>(digits[k] - '0');
        b[k / 2] |= k % 2 == 0 ? d << 4 : d;
    }
    b.back() |= sign;
    return b;
}

// Text of a field of `len` bytes in the field's code page.
Bytes Text(const std::string& utf8, int32_t ftype, int32_t len, bool dos) {
    std::string s = Utf8ToAnsi(utf8);
    if (dos) s = StrWin2Dos(s);
    Bytes b(static_cast<size_t>(len), 0);
    const bool counted = ftype == btLStringDOS || ftype == btLStringWIN;
    const size_t room = counted || ftype == btString ? b.size() - (counted ? 1 : 0) : b.size() - 1;
    const size_t n = std::min(s.size(), room);
    if (counted) b[0] = static_cast<uint8_t>(n);
    std::memcpy(b.data() + (counted ? 1 : 0), s.data(), n);
    return b;
}

std::vector<Value> Texts(int32_t ftype, int32_t len, bool dos) {
    std::vector<Value> out;
    for (const char* t : {"", "A", "Z", "zz", "Ёлка", "ёж", "Иванов", "иванов", "ИВАНОВ", "яблоко", "Жук"})
        out.push_back({Text(t, ftype, len, dos)});
    if (dos) {
        // 866 box drawing: no letters in either code page, still text.
        Bytes b(static_cast<size_t>(len), 0);
        const uint8_t frame[] = {0xC9, 0xCD, 0xBB};
        const bool counted = ftype == btLStringDOS;
        if (counted) b[0] = 3;
        std::memcpy(b.data() + (counted ? 1 : 0), frame, 3);
        out.push_back({b});
    }
    return out;
}

const Order kNoExt{0, 0}, kBinary{kfBinary, 0};
Order Ext(uint8_t type) { return {kfExtType, type}; }

std::vector<TypeCase> Cases() {
    std::vector<TypeCase> c;
    c.push_back({"Longint", btLongint, 4, {Ext(ktInteger), Ext(ktUnsigned), kNoExt, kBinary}, false,
                 {{LE<int32_t>(INT32_MIN)}, {LE<int32_t>(-5)}, {LE<int32_t>(-1)}, {LE<int32_t>(0)}, {LE<int32_t>(1)},
                  {LE<int32_t>(7)}, {LE<int32_t>(256)}, {LE<int32_t>(16777216)}, {LE<int32_t>(INT32_MAX)}}});
    c.push_back({"Smallint", btSmallint, 2, {Ext(ktInteger), kNoExt, kBinary}, false,
                 {{LE<int16_t>(-32768)}, {LE<int16_t>(-1)}, {LE<int16_t>(0)}, {LE<int16_t>(1)}, {LE<int16_t>(255)},
                  {LE<int16_t>(256)}, {LE<int16_t>(32767)}}});
    c.push_back({"Word", btWord, 2, {Ext(ktString), Ext(ktUnsigned), Ext(ktInteger), kBinary}, false,
                 {{LE<uint16_t>(0)}, {LE<uint16_t>(1)}, {LE<uint16_t>(255)}, {LE<uint16_t>(256)},
                  {LE<uint16_t>(32768)}, {LE<uint16_t>(65535)}}});
    for (auto [name, type] : {std::pair{"Double", btDouble}, std::pair{"DoubleM", btDoubleM}})
        c.push_back({name, type, 8, {Ext(ktFloat), kNoExt}, false,
                     {{LE<double>(-1.7e308)}, {LE<double>(-1)}, {LE<double>(-0.5)}, {LE<double>(-0.0)},
                      {LE<double>(0)}, {LE<double>(1e-300)}, {LE<double>(0.25)}, {LE<double>(3.14)},
                      {LE<double>(1.7e308)}}});
    for (auto [name, type] : {std::pair{"Extended", btExtended}, std::pair{"ExtendedM", btExtendedM}})
        c.push_back({name, type, 10, {Ext(ktFloat), kNoExt}, false,
                     {{Real10(-1.7e308)}, {Real10(-2)}, {Real10(0)}, {Real10(0.5)}, {Real10(3.14)}, {Real10(1e300)},
                      {LE<long double>(LDBL_MAX, 10), false}, {LE<long double>(-LDBL_MAX, 10), false}}});
    c.push_back({"Date", btDate, 4, {Ext(ktDate), kNoExt}, false,
                 {{Date(0, 0, 0)}, {Date(1, 1, 1)}, {Date(1999, 12, 31)}, {Date(2000, 2, 29)}, {Date(2000, 3, 1)},
                  {Date(9999, 12, 31)}}});
    c.push_back({"Time", btTime, 4, {Ext(ktTime), kNoExt}, false,
                 {{Time(0, 0, 0, 0)}, {Time(0, 0, 0, 1)}, {Time(0, 0, 1, 0)}, {Time(12, 30, 0, 0)},
                  {Time(23, 59, 59, 99)}}});
    c.push_back({"Boolean", btBoolean, 1, {Ext(ktLogical), kNoExt}, false, {{{0x00}}, {{0xFF}}, {{0x01}, false}}});
    for (int len : {2, 9, 10}) {
        const std::string nines(static_cast<size_t>(2 * len - 1), '9');
        std::vector<Value> v = {{Decimal(nines, len, 0x0D), len == 2}, {Decimal("123", len, 0x0D)},
                                {Decimal("5", len, 0x0D)}, {Decimal("0", len, 0)}, {Decimal("7", len, 0)},
                                {Decimal("10", len, 0)}, {Decimal("7", len, 0x0F), false}, {Decimal(nines, len, 0), len == 2}};
        if (len > 2) {
            v.push_back({Decimal("9007199254740992", len, 0)}); // 2^53
            v.push_back({Decimal("9007199254740992", len, 0x0D)});
        }
        c.push_back({"Decimal" + std::to_string(len), btDecimal, len, {Ext(ktNumeric), Ext(ktDecimal), kNoExt}, false, v});
    }
    c.push_back({"RSFloat", btRSFloat, 8, {Ext(ktInteger), kNoExt, kBinary}, false,
                 {{LE<int64_t>(INT64_MIN), false}, {LE<int64_t>(-12345)}, {LE<int64_t>(-1)}, {LE<int64_t>(0)},
                  {LE<int64_t>(1)}, {LE<int64_t>(12345)}, {LE<int64_t>(9007199254740000)},
                  {LE<int64_t>(INT64_MAX), false}}});
    c.push_back({"ZStringDOS", btZStringDOS, 10, {Ext(ktZString), Ext(ktString), kNoExt}, true, Texts(btZStringDOS, 10, true)});
    c.push_back({"ZStringWIN", btZStringWIN, 10, {Ext(ktZString), kNoExt}, true, Texts(btZStringWIN, 10, false)});
    c.push_back({"SNR", btSNR, 8, {Ext(ktZString)}, true, Texts(btSNR, 8, false)});
    c.push_back({"String", btString, 6, {Ext(ktString), kNoExt}, true, Texts(btString, 6, false)});
    c.push_back({"LStringDOS", btLStringDOS, 9, {Ext(ktLString), kNoExt}, true, Texts(btLStringDOS, 9, true)});
    c.push_back({"LStringWIN", btLStringWIN, 9, {Ext(ktLString)}, true, Texts(btLStringWIN, 9, false)});
    c.push_back({"Char", btChar, 1, {Ext(ktString), kNoExt}, true,
                 {{{'A'}}, {{'a'}}, {{0xA8}}, {{0xB8}}, {{0xC0}}, {{0xE0}}, {{0xFF}}, {{0x00}}}});
    return c;
}

// Record layout: Id, Lead (the first segment of the two-segment key), the
// field under test and Note, which no key covers.
constexpr int kLeadAt = 4, kLeadLen = 8, kValueAt = 12, kNoteLen = 6;
const char* const kLeads[] = {"B", "A", "", "A", "B"};

struct Layout {
    Order order;
    bool descending, noCase, second;
    std::string Name() const {
        return "type " + std::to_string(order.type) + (order.flags & kfExtType ? "" : order.flags ? " binary" : " string") +
               (descending ? " desc" : "") + (noCase ? " nocase" : "") + (second ? " second" : " alone");
    }
};

class KeyOrder : public test::DictDirTest, public ::testing::WithParamInterface<TypeCase> {
protected:
    struct Rec {
        int32_t id;
        Bytes bytes;
        bool exact;
    };

    void SetUp() override {
        DictDirTest::SetUp();
        for (const Order& o : GetParam().orders)
            for (bool desc : {false, true})
                for (bool noCase : GetParam().text ? std::vector<bool>{false, true} : std::vector<bool>{false})
                    for (bool second : {false, true}) FLayouts.push_back({o, desc, noCase, second});
        // One dictionary entry per layout: the same fields, key 1 over the value alone or after Lead.
        for (size_t i = 0; i < FLayouts.size(); ++i) {
            const std::string file = FileName(i);
            FBuilder->AddFile(file);
            FBuilder->AddFields(file, {{"Id", btLongint, 4}, {"Lead", btZStringWIN, kLeadLen},
                                       {"V", GetParam().ftype, GetParam().len}, {"Note", btZStringWIN, kNoteLen}});
            std::vector<test::SegmentSpec> segs = {{"Id", kfExtType}};
            if (FLayouts[i].second) segs.push_back({"Lead", kfExtType | kfDuplicates | kfModifiable | kfSegmented});
            segs.push_back({"V", uint16_t(kfDuplicates | kfModifiable | (FLayouts[i].noCase ? kfNoCase : 0))});
            FBuilder->AddSegments(file, segs);
        }
    }

    static std::string FileName(size_t i) { return "L" + std::to_string(i) + ".DAT"; }
    int32_t RecordLen() const { return kValueAt + GetParam().len + kNoteLen; }

    // The file made with the layout's own key types and filled, raw.
    void Make(size_t i) {
        const Layout& l = FLayouts[i];
        TBtrieveFile f;
        f.SetFileName(FDir.File(FileName(i)));
        f.AddKeySegment(1, 4, kfExtType, ktInteger, 0);
        const uint16_t dup = kfDuplicates | kfModifiable;
        if (l.second) f.AddKeySegment(kLeadAt + 1, kLeadLen, kfExtType | dup | kfSegmented, ktZString, 0);
        f.AddKeySegment(kValueAt + 1, static_cast<uint16_t>(GetParam().len),
                        uint16_t(dup | l.order.flags | (l.descending ? kfDescending : 0) | (l.noCase ? kfNoCase : 0)),
                        l.order.type, 0);
        f.CreateFile(0, static_cast<uint16_t>(RecordLen()), 1024, 0, 0);
        FRecs.clear();
        const auto& values = GetParam().values;
        // Every value once, and the first three again: duplicates keep their order.
        for (size_t k = 0; k < values.size() + 3; ++k) {
            const Value& v = values[k % values.size()];
            Bytes rec(static_cast<size_t>(RecordLen()), 0);
            const auto id = static_cast<int32_t>(FRecs.size() + 1);
            std::memcpy(rec.data(), &id, 4);
            const std::string lead = kLeads[k % std::size(kLeads)];
            std::memcpy(rec.data() + kLeadAt, lead.data(), lead.size());
            std::memcpy(rec.data() + kValueAt, v.bytes.data(), v.bytes.size());
            const std::string note = "n" + std::to_string(id);
            std::memcpy(rec.data() + kValueAt + GetParam().len, note.data(), note.size());
            FRecs.push_back({id, rec, v.exact});
        }
        TBtrieveFile w;
        w.SetFileName(FDir.File(FileName(i)));
        w.SetActive(true);
        for (Rec& r : FRecs) {
            w.SetDataBuffer(r.bytes.data(), static_cast<uint16_t>(r.bytes.size()));
            w.Insert();
        }
    }

    const Rec& ById(int32_t id) const { return FRecs[static_cast<size_t>(id - 1)]; }

    // Layout i's file on key 1, reading into `rec`.
    std::unique_ptr<TBtrieveFile> OnKey1(size_t i, Bytes& rec) {
        auto f = std::make_unique<TBtrieveFile>();
        f->SetFileName(FDir.File(FileName(i)));
        rec.assign(static_cast<size_t>(RecordLen()), 0);
        f->SetDataBuffer(rec.data(), static_cast<uint16_t>(rec.size()));
        f->SetActive(true);
        f->SetKeyPath(1);
        return f;
    }
    // The engine's answer to a keyed get with `key` (a Lead and a value).
    std::optional<int32_t> EngineGet(size_t i, int32_t op, const Bytes& key) {
        Bytes rec;
        auto f = OnKey1(i, rec);
        std::memcpy(f->KeyBuffer(), key.data(), key.size());
        f->Get(op, 0);
        if (f->Status() != 0) return std::nullopt;
        return ReadLE<int32_t>(rec.data());
    }
    Bytes KeyOf(const Rec& r, size_t i) const {
        const auto* p = r.bytes.data();
        Bytes k;
        if (FLayouts[i].second) k.insert(k.end(), p + kLeadAt, p + kLeadAt + kLeadLen);
        k.insert(k.end(), p + kValueAt, p + kValueAt + GetParam().len);
        return k;
    }
    // The engine's own walk of key 1.
    std::vector<int32_t> EngineWalk(size_t i) {
        std::vector<int32_t> out;
        Bytes rec;
        auto f = OnKey1(i, rec);
        for (f->Get(bGetFirst, 0); f->Status() == 0; f->Get(bGetNext, 0)) out.push_back(ReadLE<int32_t>(rec.data()));
        return out;
    }

    std::vector<int32_t> Walk(TBDataSet& ds, bool backwards = false) {
        std::vector<int32_t> out;
        if (backwards) {
            for (ds.Last(); !ds.Bof(); ds.Prior()) out.insert(out.begin(), ds.FieldByName("Id")->AsInteger());
        } else {
            for (ds.First(); !ds.Eof(); ds.Next()) out.push_back(ds.FieldByName("Id")->AsInteger());
        }
        return out;
    }

    std::unique_ptr<TBDataSet> OpenSet(size_t i) {
        auto ds = std::make_unique<TBDataSet>();
        ds->SetDictName(FDir.File("DICT.DAT"));
        ds->SetBaseName(FDir.File(FileName(i)));
        ds->SetIndexFields(FLayouts[i].second ? "Lead;V" : "V");
        ds->Open();
        return ds;
    }

    // Every record's key field values, read once through the dataset.
    void ReadValues(TBDataSet& ds) {
        FValues.clear();
        for (ds.First(); !ds.Eof(); ds.Next())
            FValues[ds.FieldByName("Id")->AsInteger()] = {ds.FieldByName("Lead")->Value(), ds.FieldByName("V")->Value()};
    }
    std::vector<Variant> KeyValues(int32_t id, size_t i) {
        const auto& [lead, v] = FValues.at(id);
        return FLayouts[i].second ? std::vector<Variant>{lead, v} : std::vector<Variant>{v};
    }

    std::vector<Layout> FLayouts;
    std::vector<Rec> FRecs;
    std::map<int32_t, std::pair<Variant, Variant>> FValues;
};

TEST_P(KeyOrder, WalksRangesAndSearchesFollowTheFilesOrder) {
    for (size_t i = 0; i < FLayouts.size(); ++i) {
        SCOPED_TRACE(GetParam().name + ", " + FLayouts[i].Name());
        Make(i);
        const std::vector<int32_t> walk = EngineWalk(i);
        ASSERT_EQ(walk.size(), FRecs.size());
        auto ds = OpenSet(i);

        // 1. Browsing is whole, both ways, in the file's order.
        EXPECT_EQ(Walk(*ds), walk);
        ReadValues(*ds);
        EXPECT_EQ(Walk(*ds, true), walk);

        // 2. Ranges between records' own values: the engine's run between them.
        std::vector<int32_t> exact; // in walk order
        for (int32_t id : walk)
            if (ById(id).exact) exact.push_back(id);
        ASSERT_GE(exact.size(), 3u);
        auto indexOf = [&](std::optional<int32_t> id) {
            return id ? static_cast<int>(std::find(walk.begin(), walk.end(), *id) - walk.begin()) : -1;
        };
        auto run = [&](int lo, int hi) {
            return lo < 0 || hi < 0 || lo > hi ? std::vector<int32_t>{}
                                               : std::vector<int32_t>(walk.begin() + lo, walk.begin() + hi + 1);
        };
        const int last = static_cast<int>(walk.size()) - 1;
        const std::pair<int32_t, int32_t> pairs[] = {{exact[1], exact[1]},
                                                      {exact[1], exact[exact.size() - 2]},
                                                      {exact.back(), exact.front()},
                                                      {exact.front(), exact.back()}};
        for (const auto& [from, to] : pairs) {
            const std::vector<Variant> lo = KeyValues(from, i), hi = KeyValues(to, i);
            const int a = indexOf(EngineGet(i, bGetGreaterOrEqual, KeyOf(ById(from), i)));
            const int b = indexOf(EngineGet(i, bGetLessOrEqual, KeyOf(ById(to), i)));
            SCOPED_TRACE("range of records " + std::to_string(from) + ".." + std::to_string(to));
            ds->SetRange(lo, hi);
            EXPECT_EQ(Walk(*ds), run(a, b));
            EXPECT_EQ(Walk(*ds, true), run(a, b));
            ds->SetRange(lo, {});
            EXPECT_EQ(Walk(*ds), run(a, last));
            ds->SetRange({}, hi);
            EXPECT_EQ(Walk(*ds, true), run(0, b));
        }
        if (FLayouts[i].second) {
            // The leading segment alone: exactly its records, whatever the value's order.
            for (const char* lead : {"A", "", "AA"}) {
                std::vector<int32_t> want;
                for (int32_t id : walk)
                    if (std::strcmp(reinterpret_cast<const char*>(ById(id).bytes.data() + kLeadAt), lead) == 0) want.push_back(id);
                ds->SetRange({Variant(lead)}, {Variant(lead)});
                EXPECT_EQ(Walk(*ds), want) << "lead " << lead;
                EXPECT_EQ(Walk(*ds, true), want) << "lead " << lead;
            }
        }
        ds->SetRange({}, {});
        EXPECT_EQ(Walk(*ds), walk);

        // 3. FindKey with the whole key answers as the engine's get does.
        for (int32_t id : {exact.front(), exact[exact.size() / 2], exact.back()}) {
            const std::vector<Variant> key = KeyValues(id, i);
            for (int32_t op : {bGetEqual, bGetGreater, bGetGreaterOrEqual, bGetLess, bGetLessOrEqual}) {
                const std::optional<int32_t> want = EngineGet(i, op, KeyOf(ById(id), i));
                ds->First();
                const bool found = ds->FindKey(key, op);
                EXPECT_EQ(found, want.has_value()) << "op " << op << " record " << id;
                if (found && want) {
                    EXPECT_EQ(ds->FieldByName("Id")->AsInteger(), *want) << "op " << op << " record " << id;
                }
            }
        }
        // ... and with the leading field alone, by that field only.
        if (FLayouts[i].second) {
            ds->SetIndexFields("Lead");
            auto leadOf = [&](int32_t id) { return std::string(reinterpret_cast<const char*>(ById(id).bytes.data() + kLeadAt)); };
            for (const std::string lead : {"A", "AA", "", "C"}) {
                auto pick = [&](auto pred, bool fromEnd) -> std::optional<int32_t> {
                    std::optional<int32_t> hit;
                    for (int32_t id : walk)
                        if (pred(leadOf(id)) && (fromEnd || !hit)) hit = id;
                    return hit;
                };
                const std::map<int32_t, std::optional<int32_t>> want = {
                    {bGetEqual, pick([&](const std::string& l) { return l == lead; }, false)},
                    {bGetGreater, pick([&](const std::string& l) { return l > lead; }, false)},
                    {bGetGreaterOrEqual, pick([&](const std::string& l) { return l >= lead; }, false)},
                    {bGetLess, pick([&](const std::string& l) { return l < lead; }, true)},
                    {bGetLessOrEqual, pick([&](const std::string& l) { return l <= lead; }, true)}};
                for (const auto& [op, id] : want) {
                    ds->First();
                    const bool found = ds->FindKey({Variant(lead)}, op);
                    EXPECT_EQ(found, id.has_value()) << "lead " << lead << " op " << op;
                    if (found && id) {
                        EXPECT_EQ(ds->FieldByName("Id")->AsInteger(), *id) << "lead " << lead << " op " << op;
                    }
                }
            }
            ds->SetIndexFields("Lead;V");
        }

        // 4. Locate finds the first record holding the values, whatever their
        // sign or case, through the key or without one.
        for (int32_t id : exact) {
            const std::vector<Variant> key = KeyValues(id, i);
            const Variant v = key.back();
            // The first in key order holding the same bytes: values that are
            // equal but stored apart (-0 and 0) sit at their own places.
            int32_t want = 0;
            for (int32_t w : walk)
                if (KeyOf(ById(w), i) == KeyOf(ById(id), i)) {
                    want = w;
                    break;
                }
            ASSERT_TRUE(FLayouts[i].second ? ds->Locate("Lead;V", VarArrayOf(key), {}) : ds->Locate("V", v, {}))
                << "record " << id;
            EXPECT_EQ(ds->FieldByName("Id")->AsInteger(), want) << "record " << id;
        }
        ASSERT_TRUE(ds->Locate("Note", Variant("n" + std::to_string(walk.back())), {}));
        EXPECT_EQ(ds->FieldByName("Id")->AsInteger(), walk.back());
    }
}

void PrintTo(const TypeCase& c, std::ostream* os) { *os << c.name; }

INSTANTIATE_TEST_SUITE_P(EveryType, KeyOrder, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

} // namespace
} // namespace btr
