// TBDataSet at the edges users meet: values at the limits of their fields
// (stored exactly or refused with the record unchanged), dictionaries that do
// not fit their type widths or the file, short variable-length records, the
// cursor's position after empty ranges, searches that must refuse rather than
// misbehave, and the application's own text translation.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "dataset/btrset.h"
#include "engine/btrerrors.h"
#include "engine/btrtools.h"
#include "framework/dberrors.h"
#include "platform/endian.h"
#include "platform/exceptions.h"
#include "tests/dictionary/dict_support.h"

namespace btr {
namespace {

using test::DictBuilder;
using test::FieldSpec;
using Bytes = std::vector<uint8_t>;

// V.DAT: Code, then one field of each type whose limits matter.
const std::vector<FieldSpec> kFields = {
    {"Code", btLongint, 4},  // 0
    {"D2", btDecimal, 2},    // 4: 3 digits
    {"D10", btDecimal, 10},  // 6: 19 digits
    {"RS", btRSFloat, 8},    // 16
    {"LS", btLStringWIN, 300}, // 24: one length byte
    {"Town", btZStringDOS, 10}, // 324
    {"LD", btLStringDOS, 8},    // 334
};
constexpr int kRecLen = 342;

class Limits : public test::DictDirTest {
protected:
    void SetUp() override {
        DictDirTest::SetUp();
        FBuilder->AddFile("V.DAT");
        FBuilder->AddFields("V.DAT", kFields);
        FBuilder->AddSegments("V.DAT", {{"Code", kfExtType}});
        FBuilder->Dict().CreateFile("V.DAT");
    }
    void TearDown() override {
        FSet.reset();
        DictDirTest::TearDown();
    }
    TBDataSet& Open(const std::string& base = "V.DAT", std::unique_ptr<TBDataSet> ds = nullptr) {
        FSet = ds ? std::move(ds) : std::make_unique<TBDataSet>();
        FSet->SetDictName(FDir.File("DICT.DAT"));
        FSet->SetBaseName(FDir.File(base));
        FSet->Open();
        return *FSet;
    }
    Bytes Raw(int32_t code, size_t len = kRecLen) { return test::ReadRaw(FDir.File("V.DAT"), len, code); }
    std::unique_ptr<TBDataSet> FSet;
};

// Decimal, RS float and LString values at and past their limits.
TEST_F(Limits, ValuesAreStoredExactlyOrRefusedWithTheRecordUnchanged) {
    struct Case {
        const char* field;
        std::function<void(TField&)> set;
        int at;
        Bytes stored; // empty: refused with ERangeError
    };
    auto num = [](double d) { return [d](TField& f) { f.SetAsFloat(d); }; };
    const Case cases[] = {
        {"D2", num(999), 4, {0x99, 0x90}},
        {"D2", num(-999), 4, {0x99, 0x9D}},
        {"D2", num(123.7), 4, {0x12, 0x30}}, // the fraction is dropped
        {"D2", num(1000), 4, {}},
        {"D2", num(-1000), 4, {}},
        // 2^55 + 8: a double division by ten loses its last digits.
        {"D10", num(45035996273704968.0), 6, {0x00, 0x45, 0x03, 0x59, 0x96, 0x27, 0x37, 0x04, 0x96, 0x80}},
        {"D10", num(1e18), 6, {0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}}, // all 19 digits
        {"D10", num(-1e18), 6, {0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0D}},
        {"D10", num(1e19), 6, {}}, // 20 digits
        {"RS", num(1.23456), 16, {0x3A, 0x30, 0, 0, 0, 0, 0, 0}},
        {"RS", num(-900000000000000.0), 16, {0x00, 0x00, 0x7C, 0x1D, 0xAF, 0x93, 0x19, 0x83}},
        {"RS", num(1e15), 16, {}},
        {"RS", num(-1e300), 16, {}},
        {"LS", [](TField& f) { f.SetAsString(std::string(255, 'x')); }, 24, {255, 'x'}},
        {"LS", [](TField& f) { f.SetAsString(std::string(280, 'x')); }, 24, {}},
    };
    TBDataSet& ds = Open();
    int32_t code = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.field) + " case " + std::to_string(code + 1));
        ds.Append();
        ds.FieldByName("Code")->SetAsInteger(++code);
        ds.FieldByName("D2")->SetAsFloat(-5);
        ds.FieldByName("D10")->SetAsFloat(-5);
        ds.FieldByName("RS")->SetAsFloat(-5);
        ds.FieldByName("LS")->SetAsString("old");
        if (c.stored.empty()) {
            EXPECT_THROW(c.set(*ds.FieldByName(c.field)), ERangeError);
            // Nothing of the field changed.
            if (std::string(c.field) == "LS")
                EXPECT_EQ(ds.FieldByName("LS")->AsString(), "old");
            else
                EXPECT_EQ(ds.FieldByName(c.field)->AsFloat(), -5);
            ds.Post();
            continue;
        }
        c.set(*ds.FieldByName(c.field));
        ds.Post();
        const Bytes r = Raw(code);
        EXPECT_EQ(Bytes(r.begin() + c.at, r.begin() + c.at + static_cast<long>(c.stored.size())), c.stored);
    }
    // Read back exactly: every digit of a 19-digit decimal up to a double's precision.
    ASSERT_TRUE(ds.Locate("Code", Variant(6), {}));
    EXPECT_EQ(ds.FieldByName("D10")->AsFloat(), 45035996273704968.0);
}

// Packed decimals as other programs store them: either sign nibble, all
// 19 digits, and nibbles above 9 (no digit: each adds its value as it is) in
// a byte's high half, its low half and beside the sign.
TEST_F(Limits, StoredDecimalsAreReadDigitByDigit) {
    struct Case {
        Bytes d2, d10;
        double v2, v10;
    };
    const Case cases[] = {
        {{0x12, 0x3C}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0C}, 123, 0},
        {{0x12, 0x3D}, {0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x9D}, -123, -9999999999999999999.0},
        {{0x99, 0x90}, {0x01, 0x23, 0x45, 0x67, 0x89, 0x01, 0x23, 0x45, 0x67, 0x80}, 999, 123456789012345678.0},
        {{0x1A, 0x20}, {0, 0, 0, 0, 0, 0, 0, 0, 0x0B, 0x10}, 202, 111},    // 1, 10, 2 and ..., 0, 11, 1
        {{0xA1, 0x20}, {0, 0, 0, 0, 0, 0, 0, 0, 0xC0, 0x1D}, 1012, -1201}, // 10, 1, 2 and ..., 12, 0, 1
        {{0x12, 0xF0}, {0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0xED}, 135, -24},    // 1, 2, 15 and ..., 0, 1, 14
    };
    int32_t code = 0;
    for (const Case& c : cases) {
        Bytes rec(kRecLen, 0);
        ++code;
        std::memcpy(rec.data(), &code, 4);
        std::memcpy(rec.data() + 4, c.d2.data(), c.d2.size());
        std::memcpy(rec.data() + 6, c.d10.data(), c.d10.size());
        test::InsertRaw(FDir.File("V.DAT"), rec);
    }
    TBDataSet& ds = Open();
    ds.First();
    for (const Case& c : cases) {
        SCOPED_TRACE("record " + ds.FieldByName("Code")->AsString());
        ASSERT_FALSE(ds.Eof());
        EXPECT_EQ(ds.FieldByName("D2")->AsFloat(), c.v2);
        EXPECT_EQ(ds.FieldByName("D10")->AsFloat(), c.v10);
        ds.Next();
    }
}

// A dictionary that would make a field read or a key reach outside the record.
TEST_F(Limits, DictionariesThatDoNotFitAreRefusedAtOpenNamingTheField) {
    struct Case {
        std::vector<FieldSpec> fields;
        const char* names;
    };
    const Case cases[] = {
        {{{"Code", btLongint, 4}, {"Bad", btZStringWIN, -4}}, "Bad"},
        {{{"Code", btLongint, 4}, {"When", btDate, 3}}, "When"},
        {{{"Code", btLongint, 4}, {"At", btTime, 2}}, "At"},
        {{{"Code", btLongint, 4}, {"Rate", btDouble, 4}}, "Rate"},
        {{{"Code", btLongint, 4}, {"Price", btRSFloat, 6}}, "Price"},
        {{{"Code", btLongint, 4}, {"Big", btExtended, 8}}, "Big"},
        {{{"Code", btLongint, 4}, {"Memo", btMEMO, 4}}, "Memo"},
    };
    // Opening `file` through `dict` is refused with an error naming `name`.
    auto refused = [&](const std::string& dict, const std::string& file, const std::string& name) {
        TBDataSet ds;
        ds.SetDictName(dict);
        ds.SetBaseName(FDir.File(file));
        try {
            ds.Open();
            ADD_FAILURE() << name << " opened";
        } catch (const EBtrieve& e) {
            EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
        }
        EXPECT_FALSE(ds.Active());
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string dict = FDir.File("D" + std::to_string(++n) + ".DIC");
        DictBuilder b(dict);
        b.AddFile("BAD.DAT", "", 1); // variable-length: the record length is no check
        b.AddFields("BAD.DAT", c.fields);
        b.AddSegments("BAD.DAT", {{"Code", kfExtType}});
        TBtrieveFile f;
        f.SetFileName(FDir.File("BAD.DAT"));
        f.AddKeySegment(1, 4, kfExtType, ktInteger, 0);
        f.CreateFile(1, 8, 1024, 0, 0);
        refused(dict, "BAD.DAT", c.names);
        TBDataSet closed;
        closed.SetDictName(dict);
        closed.SetBaseName(FDir.File("BAD.DAT"));
        EXPECT_THROW(closed.FieldDefs().Update(), EBtrieve) << c.names; // nor while closed
    }

    // The file's key is 8 bytes from offset 16; the dictionary puts its field
    // at offset 20, 4 bytes before the end of the 24-byte record.
    DictBuilder b(FDir.File("KEY.DIC"));
    b.AddFile("KEY.DAT");
    b.AddFields("KEY.DAT", {{"Name", btString, 20}, {"Last", btLongint, 4}});
    b.AddSegments("KEY.DAT", {{"Last", kfExtType}});
    TBtrieveFile f;
    f.SetFileName(FDir.File("KEY.DAT"));
    f.AddKeySegment(17, 8, kfExtType, ktInteger, 0);
    f.CreateFile(0, 24, 1024, 0, 0);
    refused(FDir.File("KEY.DIC"), "KEY.DAT", "Last");
}

// Variable-length records: the dictionary may describe more or less than the
// file's fixed part; a short record never shows another record's bytes, and
// what the dictionary leaves out is kept.
TEST_F(Limits, VariableLengthRecordsShorterOrLongerThanTheDictionary) {
    DictBuilder b(FDir.File("VAR.DIC"));
    b.AddFile("VAR.DAT", "", 1);
    b.AddFields("VAR.DAT", {{"Code", btLongint, 4}, {"Tail", btZStringWIN, 8}});
    b.AddSegments("VAR.DAT", {{"Code", kfExtType}});
    // The file's fixed part is 4 bytes: Tail lies in the variable part.
    TBtrieveFile f;
    f.SetFileName(FDir.File("VAR.DAT"));
    f.AddKeySegment(1, 4, kfExtType, ktInteger, 0);
    f.CreateFile(1, 4, 1024, 0, 0);
    test::InsertRaw(FDir.File("VAR.DAT"), {1, 0, 0, 0, 'l', 'o', 'n', 'g', 'e', 'r', 0, 0});
    test::InsertRaw(FDir.File("VAR.DAT"), {2, 0, 0, 0});
    TBDataSet ds;
    ds.SetDictName(FDir.File("VAR.DIC"));
    ds.SetBaseName(FDir.File("VAR.DAT"));
    ds.Open();
    ds.First();
    EXPECT_EQ(ds.FieldByName("Tail")->AsString(), "longer");
    ds.Next();
    EXPECT_EQ(ds.FieldByName("Code")->AsInteger(), 2);
    EXPECT_EQ(ds.FieldByName("Tail")->AsString(), "");
    ds.Close();

    // The other way: a dictionary of 4 bytes over a fixed part of 8.
    DictBuilder s(FDir.File("SHORT.DIC"));
    s.AddFile("WIDE.DAT", "", 1);
    s.AddFields("WIDE.DAT", {{"Code", btLongint, 4}});
    s.AddSegments("WIDE.DAT", {{"Code", kfExtType}});
    TBtrieveFile w;
    w.SetFileName(FDir.File("WIDE.DAT"));
    w.AddKeySegment(1, 4, kfExtType | kfModifiable, ktInteger, 0);
    w.CreateFile(1, 8, 1024, 0, 0);
    test::InsertRaw(FDir.File("WIDE.DAT"), {1, 0, 0, 0, 'k', 'e', 'e', 'p'});
    TBDataSet wide;
    wide.SetDictName(FDir.File("SHORT.DIC"));
    wide.SetBaseName(FDir.File("WIDE.DAT"));
    wide.Open();
    wide.First();
    wide.Edit();
    wide.FieldByName("Code")->SetAsInteger(5);
    wide.Post();
    const Bytes r = test::ReadRaw(FDir.File("WIDE.DAT"), 8, 5);
    EXPECT_EQ(std::string(r.begin() + 4, r.end()), "keep");
}

// After any move on an empty range or file, whatever brings records back
// shows them: no position flag is left behind.
TEST_F(Limits, NoPositionSticksAfterAnEmptyRange) {
    const std::pair<const char*, std::function<void(TBDataSet&)>> moves[] = {
        {"First", [](TBDataSet& ds) { ds.First(); }},
        {"Last", [](TBDataSet& ds) { ds.Last(); }},
        {"Next", [](TBDataSet& ds) { ds.Next(); }},
        {"Prior", [](TBDataSet& ds) { ds.Prior(); }},
        {"Last, Append, Cancel", [](TBDataSet& ds) { ds.Last(); ds.Append(); ds.Cancel(); }},
        {"Last, First", [](TBDataSet& ds) { ds.Last(); ds.First(); }},
    };
    const std::pair<const char*, std::function<void(TBDataSet&)>> recoveries[] = {
        {"a range around them", [](TBDataSet& ds) { ds.SetRange({Variant(1)}, {Variant(3)}); }},
        {"no range", [](TBDataSet& ds) { ds.SetRange({}, {}); }},
        {"Refresh", [](TBDataSet& ds) { ds.SetRange({}, {}); ds.Last(); ds.Refresh(); }},
        {"IndexFields", [](TBDataSet& ds) { ds.SetIndexFields("Code"); }},
        {"First", [](TBDataSet& ds) { ds.SetRange({}, {}); ds.Last(); ds.First(); }},
        {"Last", [](TBDataSet& ds) { ds.SetRange({}, {}); ds.First(); ds.Last(); }},
    };
    TBDataSet& ds = Open();
    for (int code : {1, 2, 3}) ds.AppendRecord({Variant(code)});
    for (const auto& [move, doMove] : moves)
        for (const auto& [recovery, recover] : recoveries) {
            SCOPED_TRACE(std::string(move) + " on an empty range, then " + recovery);
            ds.SetIndexFields("");
            ds.SetKeyPath(0);
            ds.SetRange({Variant(10)}, {Variant(20)});
            doMove(ds);
            EXPECT_TRUE(ds.IsEmpty());
            recover(ds);
            EXPECT_FALSE(ds.IsEmpty());
            std::vector<int> codes;
            for (ds.First(); !ds.Eof(); ds.Next()) codes.push_back(ds.FieldByName("Code")->AsInteger());
            EXPECT_EQ(codes, (std::vector<int>{1, 2, 3}));
        }
}

// Searches refuse what they cannot do before anything reaches the file.
TEST_F(Limits, SearchesRefuseBeforeTouchingTheFile) {
    TBDataSet& ds = Open();
    for (int code : {-7, 1, 2}) ds.AppendRecord({Variant(code)});
    ds.SetIndexFields("Code");
    ds.First();
    for (int32_t op : {int32_t(bInsert), int32_t(bUpdate), int32_t(bDelete), int32_t(bGetNext), int32_t(bGetFirst), bDelete + 200}) {
        EXPECT_THROW(ds.FindKey({Variant(1)}, op), EDatabaseError) << op;
    }
    std::vector<int> codes;
    for (ds.First(); !ds.Eof(); ds.Next()) codes.push_back(ds.FieldByName("Code")->AsInteger());
    EXPECT_EQ(codes, (std::vector<int>{-7, 1, 2})); // nothing deleted or overwritten
    // A negative key value is found by Locate and Lookup.
    ASSERT_TRUE(ds.Locate("Code", Variant(-7), {}));
    EXPECT_EQ(ds.Lookup("Code", Variant(-7), "Code").AsInteger(), -7);

    // A calculated field has no bytes in the record to search with.
    ds.Close();
    auto withCalc = std::make_unique<TBDataSet>();
    auto field = [&](TField* f, const char* name, TFieldKind kind = fkData) {
        f->SetFieldName(name);
        f->SetFieldKind(kind);
        f->SetDataSet(withCalc.get());
    };
    field(new TIntegerField(withCalc.get()), "Code");
    field(new TIntegerField(withCalc.get()), "Twice", fkCalculated);
    withCalc->OnCalcFields = [](TDataSet* d) {
        d->FieldByName("Twice")->SetAsInteger(2 * d->FieldByName("Code")->AsInteger());
    };
    TBDataSet& c = Open("V.DAT", std::move(withCalc));
    c.First();
    EXPECT_EQ(c.FieldByName("Twice")->AsInteger(), -14);
    EXPECT_THROW(c.Locate("Twice", Variant(2), {}), EDatabaseError);
    EXPECT_EQ(c.Lookup("Code", Variant(2), "Twice").AsInteger(), 4);
    EXPECT_THROW(c.Lookup("Twice", Variant(4), "Code"), EDatabaseError);

    // An engine error reaches the caller as it is.
    c.DataFile()->Close();
    EXPECT_THROW(c.Locate("Code", Variant(1), {}), EBtrieve);
}

// A descendant's own translation of DOS text sees every read and write.
TEST_F(Limits, AnOverriddenTranslationSeesEveryDosText) {
    class Upper : public TBDataSet {
    public:
        int calls = 0;

    protected:
        std::string InternalTranslate(const std::string& S, bool ToOem, TField* Field) override {
            ++calls;
            std::string s = TBDataSet::InternalTranslate(S, ToOem, Field);
            return ToOem ? s : "<" + s + ">";
        }
    };
    auto owned = std::make_unique<Upper>();
    Upper* ds = owned.get();
    Open("V.DAT", std::move(owned));
    ds->AppendRecord({Variant(1), Variant(), Variant(), Variant(), Variant(), Variant("Тула"), Variant("Омск")});
    const int writes = ds->calls;
    EXPECT_EQ(writes, 2);
    ds->First();
    EXPECT_EQ(ds->FieldByName("Town")->AsString(), "<Тула>");
    EXPECT_EQ(ds->FieldByName("LD")->AsString(), "<Омск>");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(Raw(1).data() + 324)), StrWin2Dos("\xD2\xF3\xEB\xE0"));
}

} // namespace
} // namespace btr
