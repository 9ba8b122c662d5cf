// TBDataSet on the embedded engine: the encodings the first file does not
// hold (extended reals, fixed and length-prefixed strings, Char, SNR), every
// FindKey operation, and the key Locate chooses.
#include <gtest/gtest.h>

#include <cstring>

#include "dataset/btrset.h"
#include "engine/btrerrors.h"
#include "engine/btrtools.h"
#include "framework/dberrors.h"
#include "platform/codepage.h"
#include "platform/endian.h"
#include "tests/dictionary/dict_support.h"

namespace btr {
namespace {

using test::DictBuilder;

constexpr uint16_t kTyped = 0x0100, kDup = 0x0001, kMod = 0x0002, kSegmented = 0x0010;

// Offsets of the fields read back raw (Code 0, Name 4, City 15 and RS 83 are not).
constexpr int kExt = 26, kExtM = 36, kDM = 46, kStr = 54, kLD = 60, kLW = 68, kCh = 76, kSN = 77, kLen = 91;

class Keys : public test::DictDirTest {
protected:
    void SetUp() override {
        DictDirTest::SetUp();
        DictBuilder& b = *FBuilder;
        b.AddFile("T.DAT");
        b.AddFields("T.DAT", {{"Code", 3, 4},
                              {"Name", 9, 11},
                              {"City", 9, 11},
                              {"Ext", 10, 10},
                              {"ExtM", 11, 10},
                              {"DM", 7, 8},
                              {"Str", 14, 6},
                              {"LD", 15, 8},
                              {"LW", 16, 8},
                              {"Ch", 22, 1},
                              {"SN", 8, 6},
                              {"RS", 21, 8}});
        const uint16_t dup = kTyped | kDup | kMod;
        b.AddSegments("T.DAT", {{"Code", kTyped | kMod},
                                {"Name", dup | kSegmented},
                                {"City", dup},
                                {"City", dup},
                                {"RS", dup},
                                {"Ch", dup}});
        b.Dict().CreateFile("T.DAT");
    }
    void TearDown() override {
        FSet.reset();
        DictDirTest::TearDown();
    }
    TBDataSet& Open() {
        FSet = std::make_unique<TBDataSet>();
        FSet->SetDictName(FDir.File("DICT.DAT"));
        FSet->SetBaseName(FDir.File("T.DAT"));
        FSet->Open();
        return *FSet;
    }
    TField& F(const char* name) { return *FSet->FieldByName(name); }
    // The stored bytes of the dataset's current record.
    std::vector<uint8_t> Raw() { return test::ReadRaw(FDir.File("T.DAT"), kLen, F("Code").AsInteger()); }
    void PutRaw(int32_t code, const std::vector<std::pair<int, std::vector<uint8_t>>>& parts) {
        std::vector<uint8_t> rec(kLen, 0);
        WriteLE<int32_t>(rec.data(), code);
        for (const auto& [at, bytes] : parts) std::copy(bytes.begin(), bytes.end(), rec.begin() + at);
        test::InsertRaw(FDir.File("T.DAT"), std::move(rec));
    }
    static std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }
    std::vector<int> Codes() {
        std::vector<int> out;
        for (FSet->First(); !FSet->Eof(); FSet->Next()) out.push_back(F("Code").AsInteger());
        return out;
    }

    std::unique_ptr<TBDataSet> FSet;
};

TEST_F(Keys, WrittenValuesTakeTheirEncodings) {
    TBDataSet& ds = Open();
    ds.Append();
    F("Code").SetAsInteger(1);
    F("Ext").SetAsFloat(-1234.5);
    F("ExtM").SetAsFloat(1e300);
    F("DM").SetAsFloat(0.1);
    F("Str").SetAsString("ab");
    F("LD").SetAsString("Тула");
    F("LW").SetAsString("Москва 123"); // longer than the field: cut to Length - 1
    F("Ch").SetAsString("Я");
    F("SN").SetAsString("12345678");
    ds.Post();
    const std::vector<uint8_t> r = Raw();

    long double ext = 0;
    std::memcpy(&ext, &r[kExt], 10);
    EXPECT_EQ(ext, -1234.5L);
    std::memcpy(&ext, &r[kExtM], 10);
    EXPECT_EQ(static_cast<double>(ext), 1e300);
    double dm = 0;
    std::memcpy(&dm, &r[kDM], 8);
    EXPECT_EQ(dm, 0.1);
    EXPECT_EQ(std::vector<uint8_t>(&r[kStr], &r[kStr] + 6), (std::vector<uint8_t>{'a', 'b', 0, 0, 0, 0})); // NUL-padded
    EXPECT_EQ(r[kLD], 4);
    EXPECT_EQ(std::string(&r[kLD + 1], &r[kLD + 5]), StrWin2Dos(Utf8ToAnsi("Тула")));
    EXPECT_EQ(r[kLW], 7);
    EXPECT_EQ(std::string(&r[kLW + 1], &r[kLW + 8]), Utf8ToAnsi("Москва "));
    EXPECT_EQ(r[kCh], 0xDF); // Я in 1251
    EXPECT_EQ(std::string(&r[kSN], &r[kSN] + 6), std::string("12345\0", 6));

    EXPECT_EQ(F("Ext").AsFloat(), -1234.5);
    EXPECT_EQ(F("LW").AsString(), "Москва ");
    EXPECT_EQ(F("Ch").AsString(), "Я");
}

TEST_F(Keys, StoredBytesReadAsTheirValues) {
    long double ext = 3.25L;
    std::vector<uint8_t> e(10);
    std::memcpy(e.data(), &ext, 10);
    // A length byte that claims more than the field holds stops at the field.
    std::vector<uint8_t> ld = {200};
    const std::string ld866 = StrWin2Dos(Utf8ToAnsi("Пермь72"));
    ld.insert(ld.end(), ld866.begin(), ld866.end());
    PutRaw(1, {{kExt, e}, {kStr, Bytes("ab  ")}, {kLD, ld}, {kLW, {2, 'o', 'k', 'X'}}, {kCh, {'q'}}});
    TBDataSet& ds = Open();
    EXPECT_EQ(F("Ext").AsFloat(), 3.25);
    EXPECT_EQ(F("ExtM").AsFloat(), 0.0);
    EXPECT_EQ(F("Str").AsString(), std::string("ab  ", 4)); // blanks stay part of a String
    EXPECT_EQ(F("LD").AsString(), "Пермь72");
    EXPECT_EQ(F("LW").AsString(), "ok"); // the length byte, not the bytes after it
    EXPECT_EQ(F("Ch").AsString(), "q");
    EXPECT_FALSE(F("LW").IsNull());
    EXPECT_EQ(ds.RecordCount(), 1);
}

TEST_F(Keys, FindKeyWithEveryOperation) {
    TBDataSet& ds = Open();
    for (int code : {10, 20, 30}) ds.AppendRecord({Variant(code), Variant("n" + std::to_string(code))});
    ds.SetIndexFields("Code");
    auto find = [&](int value, int op) { return ds.FindKey({Variant(value)}, op) ? F("Code").AsInteger() : -1; };
    EXPECT_EQ(find(20, 5), 20);
    EXPECT_EQ(find(20, 8), 30);
    EXPECT_EQ(find(20, 9), 20);
    EXPECT_EQ(find(25, 9), 30);
    EXPECT_EQ(find(20, 10), 10);
    EXPECT_EQ(find(20, 11), 20);
    EXPECT_EQ(find(25, 11), 20);
    EXPECT_EQ(find(10, 10), -1);
    // Beyond the last key: not found, and the dataset stays where it was.
    ASSERT_EQ(find(20, 5), 20);
    EXPECT_EQ(find(35, 9), -1);
    EXPECT_EQ(F("Code").AsInteger(), 20);
    EXPECT_EQ(F("Name").AsString(), "n20");
    try {
        ds.FindKey({Variant(1), Variant(2)}, 5);
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(std::string(e.what()), "Incorrect number of key values.");
    }
}

TEST_F(Keys, LocateChoosesTheKeyCoveringTheLongestLeadingPart) {
    TBDataSet& ds = Open();
    // Many records of one city and of one name, so a wrong key choice or a
    // scan that stops early finds the wrong one or none.
    int code = 0;
    for (const char* name : {"Антонов", "Борисов", "Петров", "Сидоров"})
        for (const char* city : {"Тула", "Омск", "Тверь"}) ds.AppendRecord({Variant(++code), Variant(name), Variant(city)});
    ds.SetKeyPath(0);
    const int before = ds.DataFile()->KeyPath();

    // (City, Name): key 2 (City) covers the first field; Name is tested on the walk.
    ASSERT_TRUE(ds.Locate("City;Name", Variant(std::vector<Variant>{Variant("Омск"), Variant("Петров")}), {}));
    EXPECT_EQ(F("Code").AsInteger(), 8);
    // (Name, City): key 1 covers both.
    ASSERT_TRUE(ds.Locate("Name;City", Variant(std::vector<Variant>{Variant("Сидоров"), Variant("Тверь")}), {}));
    EXPECT_EQ(F("Code").AsInteger(), 12);
    // (Name, Code): key 1 leads with Name; a matching Code behind others of that name is found.
    ASSERT_TRUE(ds.Locate("Name;Code", Variant(std::vector<Variant>{Variant("Борисов"), Variant(6)}), {}));
    EXPECT_EQ(F("City").AsString(), "Тверь");
    EXPECT_FALSE(ds.Locate("Name;Code", Variant(std::vector<Variant>{Variant("Борисов"), Variant(7)}), {}));
    // No key starts with Ext: a walk of the whole file.
    ASSERT_TRUE(ds.Locate("Ext", Variant(0.0), {}));
    EXPECT_EQ(ds.DataFile()->KeyPath(), before); // the search's key path is not kept

    try {
        ds.Locate("Name", Variant("п"), {loPartialKey});
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(std::string(e.what()), "Partial and case insensitive compare is not supported");
    }
}

TEST_F(Keys, KeyPathSettingsAndTheirGuards) {
    TBDataSet& ds = Open();
    for (int code : {1, 2, 3}) ds.AppendRecord({Variant(code), Variant("x"), Variant("y")});
    ds.SetIndexFields("City");
    EXPECT_EQ(ds.DataFile()->KeyPath(), 2);
    ds.SetRange({Variant("y")}, {Variant("y")});
    ds.SetKeyPath(5); // no such key: the file keeps its path, the range goes
    EXPECT_EQ(ds.DataFile()->KeyPath(), 2);
    EXPECT_EQ(ds.IndexFields(), "");
    EXPECT_EQ(Codes().size(), 3u);
    EXPECT_THROW(ds.SetIndexFields("Ext"), EDatabaseError); // no key on it
    EXPECT_EQ(ds.DataFile()->KeyPath(), 2);
    try {
        ds.SetFiltered(true);
        ds.SetFilter("Code > 1");
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()), "You can not set filter for this object.");
    }
    EXPECT_THROW(ds.SetAlias("other"), EDatabaseError); // only while closed
    ds.Close();
    ds.SetAlias("other");
    EXPECT_EQ(ds.Alias(), "other");
}

} // namespace
} // namespace btr
