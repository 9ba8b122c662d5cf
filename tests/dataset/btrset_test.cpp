// TBDataSet on the embedded engine, over a dictionary built in the test:
// opening checks, the on-disk encodings read and written, browsing with ranges
// and filters, bookmarks, keys and search.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "dataset/btrset.h"
#include "engine/btrerrors.h"
#include "framework/datetime.h"
#include "framework/dberrors.h"
#include "platform/endian.h"
#include "tests/dictionary/dict_support.h"

namespace btr {
namespace {

using test::DictBuilder;
using test::FieldSpec;
using test::SegmentSpec;

// The file of every test: one field of each type at a known offset.
const std::vector<FieldSpec> kFields = {
    {"Code", 3, 4},    // 0  Longint
    {"Name", 9, 21},   // 4  ZString(WIN)
    {"Town", 1, 15},   // 25 ZString(DOS)
    {"Born", 5, 4},    // 40 Date
    {"At", 6, 4},      // 44 Time
    {"Flag", 12, 2},   // 48 Boolean of 2 bytes
    {"Amount", 17, 2}, // 50 Decimal of 2 bytes
    {"Price", 21, 8},  // 52 RS float
    {"Qty", 2, 2},     // 60 Smallint
    {"Rate", 4, 8},    // 62 Double
    {"W", 13, 2},      // 70 Word
};
constexpr int kRecLen = 72;
constexpr uint16_t kTyped = 0x0100;

class BtrSet : public test::DictDirTest {
protected:
    void SetUp() override {
        DictDirTest::SetUp();
        FBuilder->AddFile("DATA.DAT");
        FBuilder->AddFields("DATA.DAT", kFields);
        FBuilder->AddSegments("DATA.DAT", {{"Code", kTyped}, {"Name", kTyped | 0x0001 | 0x0002 | 0x0400}});
        FBuilder->Dict().CreateFile("DATA.DAT");
    }
    void TearDown() override {
        FSet.reset();
        DictDirTest::TearDown();
    }
    TBDataSet& Open(int key = 0) {
        FSet = std::make_unique<TBDataSet>();
        FSet->SetDictName(FDir.File("DICT.DAT"));
        FSet->SetBaseName(FDir.File("DATA.DAT"));
        FSet->SetKeyPath(key);
        FSet->Open();
        return *FSet;
    }
    // A record written byte for byte, bypassing the dataset.
    void PutRaw(const std::vector<std::pair<int, std::vector<uint8_t>>>& parts) {
        std::vector<uint8_t> rec(kRecLen, 0);
        for (const auto& [at, bytes] : parts) std::copy(bytes.begin(), bytes.end(), rec.begin() + at);
        test::InsertRaw(FDir.File("DATA.DAT"), std::move(rec));
    }
    // The stored bytes of record `code`.
    std::vector<uint8_t> Raw(int32_t code) { return test::ReadRaw(FDir.File("DATA.DAT"), kRecLen, code); }
    static std::vector<uint8_t> Int32(int32_t v) {
        std::vector<uint8_t> b(4);
        WriteLE<int32_t>(b.data(), v);
        return b;
    }
    void Add(std::vector<Variant> values) {
        values.resize(kFields.size());
        FSet->AppendRecord(values);
    }
    std::vector<int> Codes(bool backwards = false) {
        std::vector<int> out;
        if (backwards) {
            for (FSet->Last(); !FSet->Bof(); FSet->Prior()) out.push_back(FSet->FieldByName("Code")->AsInteger());
        } else {
            for (FSet->First(); !FSet->Eof(); FSet->Next()) out.push_back(FSet->FieldByName("Code")->AsInteger());
        }
        return out;
    }

    std::unique_ptr<TBDataSet> FSet;
};

TEST_F(BtrSet, StoredEncodingsReadAsTheirValues) {
    PutRaw({{0, Int32(1)},
            {4, {'A', 'b', 'c'}},
            {25, {0}},                  // DOS text starting with zero: empty, not null
            {40, {29, 2, 0x6C, 0x07}},  // 29.02.1900: no such day
            {44, {0, 0, 0, 0}},         // 00:00:00.00: null
            {48, {0x00, 0x01}},         // a 2-byte Boolean holding 00 01
            {50, {0x12, 0x3D}},         // packed -123
            {52, {0x39, 0x30, 0, 0, 0, 0, 0, 0}}}); // RS float 12345
    PutRaw({{0, Int32(2)},
            {40, {29, 2, 0xD0, 0x07}},  // 29.02.2000
            {44, {1, 0, 0, 0}},         // 00:00:00.01
            {48, {0, 0}}});
    PutRaw({{0, Int32(3)}, {40, {0, 5, 0xD0, 0x07}}});   // day 0
    PutRaw({{0, Int32(4)}, {40, {1, 13, 0xD0, 0x07}}});  // month 13
    TBDataSet& ds = Open();
    ds.First();
    EXPECT_EQ(ds.FieldByName("Name")->AsString(), "Abc");
    EXPECT_FALSE(ds.FieldByName("Town")->IsNull());
    EXPECT_EQ(ds.FieldByName("Town")->AsString(), "");
    EXPECT_TRUE(ds.FieldByName("Born")->IsNull());
    EXPECT_TRUE(ds.FieldByName("At")->IsNull());
    EXPECT_TRUE(ds.FieldByName("Flag")->AsBoolean());
    EXPECT_EQ(ds.FieldByName("Amount")->AsFloat(), -123.0);
    EXPECT_DOUBLE_EQ(ds.FieldByName("Price")->AsFloat(), 1.2345);
    ds.Next();
    ASSERT_FALSE(ds.FieldByName("Born")->IsNull());
    int y, m, d;
    DecodeDate(ds.FieldByName("Born")->AsDateTime(), y, m, d);
    EXPECT_EQ(y * 10000 + m * 100 + d, 20000229);
    ASSERT_FALSE(ds.FieldByName("At")->IsNull());
    EXPECT_EQ(TimeToMSecs(ds.FieldByName("At")->AsDateTime()), 10);
    EXPECT_FALSE(ds.FieldByName("Flag")->AsBoolean());
    ds.Next();
    EXPECT_TRUE(ds.FieldByName("Born")->IsNull());
    ds.Next();
    EXPECT_TRUE(ds.FieldByName("Born")->IsNull());
}

TEST_F(BtrSet, WrittenValuesTakeTheStoredEncodings) {
    TBDataSet& ds = Open();
    ds.Append();
    ds.FieldByName("Code")->SetAsInteger(7);
    ds.FieldByName("Name")->SetAsString("Пётр");       // 1251 on disk
    ds.FieldByName("Town")->SetAsString("Тула");       // 866 on disk
    ds.FieldByName("Amount")->SetAsFloat(123.7);       // 2-byte Decimal
    ds.FieldByName("Price")->SetAsFloat(1.23456);      // scaled by 10000, half to even
    ds.FieldByName("Qty")->SetAsInteger(-2);
    ds.FieldByName("Rate")->SetAsFloat(-0.5);
    ds.FieldByName("W")->SetAsInteger(65535);
    ds.FieldByName("Born")->SetAsDateTime(EncodeDate(1999, 12, 31));
    ds.FieldByName("At")->SetAsDateTime(EncodeTime(23, 59, 58, 990));
    ds.Post();
    const std::vector<uint8_t> r = Raw(7);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r[4])), "\xCF\xB8\xF2\xF0");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r[25])), "\x92\xE3\xAB\xA0");
    EXPECT_EQ(r[50], 0x12);
    EXPECT_EQ(r[51], 0x30);
    EXPECT_EQ(ReadLE<int64_t>(&r[52]), 12346);
    EXPECT_EQ(ReadLE<int16_t>(&r[60]), -2);
    double rate;
    std::memcpy(&rate, &r[62], sizeof rate);
    EXPECT_EQ(rate, -0.5);
    EXPECT_EQ(ReadLE<uint16_t>(&r[70]), 65535);
    EXPECT_EQ((std::vector<uint8_t>(r.begin() + 40, r.begin() + 44)), (std::vector<uint8_t>{31, 12, 0xCF, 0x07}));
    EXPECT_EQ((std::vector<uint8_t>(r.begin() + 44, r.begin() + 48)), (std::vector<uint8_t>{99, 58, 59, 23}));
    // Read back as UTF-8.
    ASSERT_TRUE(ds.Locate("Code", Variant(7), {}));
    EXPECT_EQ(ds.FieldByName("Name")->AsString(), "Пётр");
    EXPECT_EQ(ds.FieldByName("Town")->AsString(), "Тула");

    // Nulls: a date reads null again, an integer reads 0.
    ds.Edit();
    ds.FieldByName("Born")->Clear();
    ds.FieldByName("Qty")->Clear();
    ds.Post();
    EXPECT_TRUE(ds.FieldByName("Born")->IsNull());
    EXPECT_EQ(ds.FieldByName("Qty")->AsInteger(), 0);
    // Setting a value while browsing is refused.
    EXPECT_THROW(ds.FieldByName("Qty")->SetAsInteger(1), EDatabaseError);
}

TEST_F(BtrSet, TranslateHandlerReplacesTheCodePageTables) {
    TBDataSet& ds = Open();
    int calls = 0;
    ds.OnTranslate = [&](std::string& s, bool toOem, TField*) {
        ++calls;
        if (toOem) s = "[" + s + "]";
    };
    Add({Variant(1), Variant("x"), Variant("abc")});
    EXPECT_GT(calls, 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&Raw(1)[25])), "[abc]");
}

TEST_F(BtrSet, OpeningChecksTheDescriptionAgainstTheFile) {
    // A dictionary whose record is 4 bytes shorter than the file's.
    DictBuilder other(FDir.File("OTHER.DIC"));
    other.AddFile("DATA.DAT");
    std::vector<FieldSpec> shorter(kFields.begin(), kFields.end() - 1);
    other.AddFields("DATA.DAT", shorter);
    other.AddSegments("DATA.DAT", {{"Code", kTyped}});
    TBDataSet ds;
    ds.SetDictName(FDir.File("OTHER.DIC"));
    ds.SetBaseName(FDir.File("DATA.DAT"));
    EXPECT_THROW(ds.Open(), EBtrieve);
    EXPECT_FALSE(ds.Active());
    // Same length, one key fewer than the file: refused only with IndexCheck.
    DictBuilder keys(FDir.File("KEYS.DIC"));
    keys.AddFile("DATA.DAT");
    keys.AddFields("DATA.DAT", kFields);
    keys.AddSegments("DATA.DAT", {{"Code", kTyped}});
    TBDataSet k;
    k.SetDictName(FDir.File("KEYS.DIC"));
    k.SetBaseName(FDir.File("DATA.DAT"));
    k.Open();
    k.Close();
    k.SetIndexCheck(true);
    EXPECT_THROW(k.Open(), EBtrieve);
}

TEST_F(BtrSet, FieldDefinitionsWithoutOpening) {
    TBDataSet ds;
    ds.SetDictName(FDir.File("DICT.DAT"));
    ds.SetBaseName(FDir.File("DATA.DAT"));
    ds.FieldDefs().Update();
    ASSERT_EQ(ds.FieldDefs().Count(), static_cast<int>(kFields.size()));
    EXPECT_EQ(ds.FieldDefs()[1].Name(), "Name");
    EXPECT_FALSE(ds.Active());
}

TEST_F(BtrSet, BrowsingForwardBackwardWithRangesAndAFilter) {
    TBDataSet& ds = Open();
    for (int code : {7, -5, 0, 12, -20, 3}) Add({Variant(code), Variant("n" + std::to_string(code))});
    EXPECT_EQ(Codes(), (std::vector<int>{-20, -5, 0, 3, 7, 12}));
    EXPECT_EQ(Codes(true), (std::vector<int>{12, 7, 3, 0, -5, -20}));
    ds.SetRange({Variant(-5)}, {Variant(7)}); // signed integers across zero
    EXPECT_EQ(Codes(), (std::vector<int>{-5, 0, 3, 7}));
    EXPECT_EQ(Codes(true), (std::vector<int>{7, 3, 0, -5}));
    ds.SetRange({Variant(0)}, {});
    EXPECT_EQ(Codes(), (std::vector<int>{0, 3, 7, 12}));
    ds.SetRange({}, {});
    int seen = 0;
    ds.OnFilterRecord = [&](TDataSet*, bool& accept) { accept = (seen++ % 2) == 0; };
    ds.SetFiltered(true);
    EXPECT_EQ(Codes().size(), 3u);
    ds.SetFiltered(false);
    EXPECT_EQ(Codes().size(), 6u);
}

TEST_F(BtrSet, BookmarksRecordNumbersAndCounts) {
    TBDataSet& ds = Open();
    for (int code = 1; code <= 9; ++code) Add({Variant(code * 10)});
    ds.First();
    ds.MoveBy(3);
    const TBookmark mark = ds.GetBookmark();
    ASSERT_EQ(mark.size(), 11u);
    ds.Last();
    const TBookmark last = ds.GetBookmark();
    ds.GotoBookmark(mark);
    EXPECT_EQ(ds.FieldByName("Code")->AsInteger(), 40);
    EXPECT_LT(ds.CompareBookmarks(mark.data(), last.data()), 0);
    EXPECT_EQ(ds.CompareBookmarks(mark.data(), mark.data()), 0);
    EXPECT_EQ(ds.RecordCount(), 9);
    ds.SetEvaluteScroll(true);
    ds.SetRecNo(5);
    EXPECT_GT(ds.RecNo(), 0);
    ds.SetRange({Variant(20)}, {Variant(50)});
    EXPECT_EQ(Codes(), (std::vector<int>{20, 30, 40, 50}));
    EXPECT_EQ(ds.RecordCount(), 9); // the file's count, whatever the range
    ds.SetEvaluteScroll(false);
    EXPECT_EQ(ds.RecordCount(), -1);
}

TEST_F(BtrSet, KeysFindKeyLocateAndLookup) {
    TBDataSet& ds = Open();
    for (auto [code, name] : {std::pair{1, "Иванов"}, {2, "Петров"}, {3, "иванов"}, {4, "Сидоров"}})
        Add({Variant(code), Variant(name)});
    ds.SetIndexFields("Name");
    EXPECT_EQ(ds.KeyPath(), -1);
    EXPECT_EQ(Codes(), (std::vector<int>{1, 3, 2, 4})); // case-blind, duplicates in insertion order
    EXPECT_TRUE(ds.FindKey({Variant("Петров")}, 5));
    EXPECT_EQ(ds.FieldByName("Code")->AsInteger(), 2);
    EXPECT_FALSE(ds.FindKey({Variant("Орлов")}, 5));
    EXPECT_TRUE(ds.FindKey({Variant("Орлов")}, 9)); // greater or equal
    EXPECT_EQ(ds.FieldByName("Code")->AsInteger(), 2);
    EXPECT_THROW(ds.FindKey({Variant("a"), Variant("b")}, 5), EDatabaseError);

    ds.SetKeyPath(0);
    EXPECT_THROW(ds.FindKey({Variant(3)}, 5), EDatabaseError); // FindKey takes its fields from IndexFields
    ds.SetIndexFields("Code");
    EXPECT_EQ(ds.DataFile()->KeyPath(), 0);
    EXPECT_TRUE(ds.FindKey({Variant(3)}, 5));
    EXPECT_EQ(ds.FieldByName("Name")->AsString(), "иванов");
    ASSERT_TRUE(ds.Locate("Name", Variant("Сидоров"), {}));
    EXPECT_EQ(ds.FieldByName("Code")->AsInteger(), 4);
    EXPECT_FALSE(ds.Locate("Code", Variant(99), {}));
    EXPECT_THROW(ds.Locate("Name", Variant("x"), {loCaseInsensitive}), EDatabaseError);

    // Lookup answers without moving and keeps the range.
    ds.SetRange({Variant(2)}, {Variant(3)});
    ds.First();
    EXPECT_EQ(ds.Lookup("Code", Variant(4), "Name").AsString(), "Сидоров");
    EXPECT_EQ(ds.FieldByName("Code")->AsInteger(), 2);
    EXPECT_EQ(Codes(), (std::vector<int>{2, 3}));
    EXPECT_TRUE(ds.Lookup("Code", Variant(42), "Name").IsNull());
}

TEST_F(BtrSet, AKeyTheDictionaryDoesNotDescribeBrowsesButTakesNoRange) {
    // The file has keys 0 and 1; the dictionary only describes key 0.
    DictBuilder one(FDir.File("ONE.DIC"));
    one.AddFile("DATA.DAT");
    one.AddFields("DATA.DAT", kFields);
    one.AddSegments("DATA.DAT", {{"Code", kTyped}});
    Open();
    Add({Variant(1), Variant("b")});
    Add({Variant(2), Variant("a")});
    FSet.reset();
    TBDataSet ds;
    ds.SetDictName(FDir.File("ONE.DIC"));
    ds.SetBaseName(FDir.File("DATA.DAT"));
    ds.SetKeyPath(1);
    ds.Open(); // the file's own layout of key 1 orders the walk
    std::vector<int> codes;
    for (ds.First(); !ds.Eof(); ds.Next()) codes.push_back(ds.FieldByName("Code")->AsInteger());
    EXPECT_EQ(codes, (std::vector<int>{2, 1}));
    // A bound the dictionary cannot place would silently widen the range.
    try {
        ds.SetRange({Variant("a")}, {Variant("a")});
        FAIL() << "a range on an undescribed segment";
    } catch (const EDatabaseError& e) {
        EXPECT_NE(std::string(e.what()).find("key 1"), std::string::npos) << e.what();
    }
}

TEST_F(BtrSet, RecordBuffersPast65535BytesAreRefused) {
    DictBuilder big(FDir.File("BIG.DIC"));
    big.AddFile("BIG.DAT", "", 1, 4096); // variable-length, so the file may be shorter
    big.AddFields("BIG.DAT", {{"Code", 3, 4}, {"Text", 9, 65530}});
    big.AddSegments("BIG.DAT", {{"Code", kTyped}});
    TBtrieveFile f;
    f.SetFileName(FDir.File("BIG.DAT"));
    f.AddKeySegment(1, 4, kTyped, 1, 0);
    f.CreateFile(1, 16, 4096, 0, 0);
    TBDataSet ds;
    ds.SetDictName(FDir.File("BIG.DIC"));
    ds.SetBaseName(FDir.File("BIG.DAT"));
    EXPECT_THROW(ds.Open(), EBtrieve);
    EXPECT_FALSE(ds.Active());
}

} // namespace
} // namespace btr
