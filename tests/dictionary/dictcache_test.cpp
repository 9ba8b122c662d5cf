#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "dictionary/dictcache.h"
#include "engine/btrerrors.h"
#include "tests/dictionary/dict_support.h"

namespace btr {
namespace {

using test::DictBuilder;
using test::TempDir;

class DictCache : public ::testing::Test {
protected:
    void SetUp() override {
        // Data files are created by bare name, as the dictionary spells them.
        FOldDir = std::filesystem::current_path();
        std::filesystem::current_path(FDir.Path());
        DictBuilder b(Dict());
        b.AddFile("CLIENTS.DAT", " secret ");
        b.AddFields("CLIENTS.DAT", {{"Code", 3, 4}, {"Name", 9, 20}, {"Sum", 4, 8}});
        b.AddSegments("CLIENTS.DAT", {{"Code", 0}, {"Name", kfSegmented | kfNoCase}, {"Code", 0}});
        // Another file right after in key order: never mixed in.
        b.AddFile("ORDERS.DAT");
        b.AddFields("ORDERS.DAT", {{"Id", 3, 4}});
        b.AddSegments("ORDERS.DAT", {{"Id", 0}});
        // A file entry without fields or keys.
        b.AddFile("EMPTY.DAT");
        BDictList->Clear();
    }
    void TearDown() override { std::filesystem::current_path(FOldDir); }
    std::string Dict() const { return FDir.File("DICT.DAT"); }

    TempDir FDir;
    std::filesystem::path FOldDir;
};

TEST_F(DictCache, ReadsFieldsKeysAndOwner) {
    TFileData fd;
    GetFileData("/data/CLIENTS.DAT", Dict(), fd);
    ASSERT_TRUE(fd.Fields && fd.Keys);
    EXPECT_EQ(fd.Owner, " secret ");
    ASSERT_EQ(fd.Fields->Count(), 3);
    EXPECT_EQ(fd.Fields->Items(1)->Name, "Name");
    EXPECT_EQ(fd.Fields->Items(1)->BegOfs, 4);
    EXPECT_EQ(fd.Fields->Items(2)->BegOfs, 24);
    EXPECT_EQ(fd.Fields->Items(2)->FType, 4);
    EXPECT_EQ(fd.Fields->DataSize, 32);
    ASSERT_EQ(fd.Keys->Count(), 3);
    EXPECT_EQ(fd.Keys->Items(0)->Number, 0);
    EXPECT_EQ(fd.Keys->Items(1)->Number, 1);
    EXPECT_TRUE(fd.Keys->Items(1)->Segment);
    EXPECT_TRUE(fd.Keys->Items(1)->NoCase);
    EXPECT_EQ(fd.Keys->Items(2)->Number, 1);
    EXPECT_FALSE(fd.Keys->Items(2)->NoCase);
    EXPECT_EQ(fd.Keys->Number, 2);
    EXPECT_EQ(fd.RecSize, 72 + 50 * 3 + 46 * 3 + 8 + 13);
    EXPECT_EQ(fd.Fields->FindField("NAME"), fd.Fields->Items(1));
}

TEST_F(DictCache, MissingFileEntryRaisesAndLeavesNoLists) {
    TFileData fd;
    try {
        GetFileData("NOPE.DAT", Dict(), fd);
        FAIL();
    } catch (const EBtrieve& e) {
        EXPECT_EQ(e.Message(), "Описание файла NOPE.DAT не найдено в словаре " + Dict());
        EXPECT_EQ(e.Error(), 0);
    }
    EXPECT_FALSE(fd.Fields);
    EXPECT_FALSE(fd.Keys);
}

TEST_F(DictCache, EmptyDescriptionAndCaseRules) {
    TFileData fd;
    GetFileData("EMPTY.DAT", Dict(), fd);
    EXPECT_EQ(fd.Fields->Count(), 0);
    EXPECT_EQ(fd.Keys->Count(), 0);

    // The file entry is found in any case, the fields only in the stored one;
    // the empty result is then cached for every spelling.
    TFileData lower;
    GetFileData("clients.dat", Dict(), lower);
    EXPECT_EQ(lower.Fields->Count(), 0);
    TFileData upper;
    GetFileData("CLIENTS.DAT", Dict(), upper);
    EXPECT_EQ(upper.Fields->Count(), 0);
    BDictList->Refresh();
    GetFileData("CLIENTS.DAT", Dict(), upper);
    EXPECT_EQ(upper.Fields->Count(), 3);
}

TEST_F(DictCache, CacheSharesByBareNameAndCopiesOut) {
    TFileData a, b;
    GetFileData("/one/CLIENTS.DAT", Dict(), a);
    GetFileData("/two/CLIENTS.DAT", Dict(), b);
    EXPECT_EQ(BDictList->Count(), 1);
    EXPECT_NE(a.Fields.get(), b.Fields.get());
    a.Fields.reset(); // the caller's copy goes; the cache keeps its own
    a.Keys.reset();
    TFileData c;
    GetFileData("CLIENTS.DAT", Dict(), c);
    EXPECT_EQ(c.Fields->Count(), 3);

    // The same dictionary under another spelling is another cache entry.
    TFileData d;
    GetFileData("CLIENTS.DAT", FDir.File("./DICT.DAT"), d);
    EXPECT_EQ(BDictList->Count(), 2);
}

TEST_F(DictCache, RefreshRereadsTheDictionary) {
    TFileData fd;
    GetFileData("ORDERS.DAT", Dict(), fd);
    EXPECT_EQ(fd.Fields->Count(), 1);
    {
        TDictFile dict(Dict());
        dict.SetActive(true);
        dict.Buff.Clear();
        dict.Buff.EType = etField;
        dict.Buff.SetOwner("ORDERS.DAT");
        dict.Buff.Number = 99;
        dict.Buff.SetName("Extra");
        dict.Buff.IType = 3;
        dict.Buff.Length = 4;
        dict.Insert();
    }
    TFileData again;
    GetFileData("ORDERS.DAT", Dict(), again);
    EXPECT_EQ(again.Fields->Count(), 1); // still the cached one
    BDictList->Refresh(Dict());
    GetFileData("ORDERS.DAT", Dict(), again);
    EXPECT_EQ(again.Fields->Count(), 2);
}

TEST_F(DictCache, FilesNotLaidOutLikeADictionaryAreRefused) {
    // A data file made from the dictionary: 4-byte records.
    {
        test::ScriptedBoxes boxes;
        TDictFile dict(Dict());
        dict.SetActive(true);
        dict.CreateFile("ORDERS.DAT");
    }
    // 141-byte records with keys of other shapes: every keyed read of a
    // dictionary copies its entry's fields into the key, so a longer segment
    // would read past them. (KeyPos, KeyLen, KeyFlags) per segment.
    struct Seg {
        uint16_t pos, len, flags;
    };
    const struct {
        const char* name;
        std::vector<Seg> segs;
    } shapes[] = {
        {"LONGOWNER.DAT", {{1, 2, 0x13}, {3, 21, 0x13}, {28, 21, 3},  // key 0
                           {1, 2, 0x13}, {28, 21, 0x403},             // key 1
                           {1, 2, 0x13}, {3, 100, 0x13}, {24, 4, 3}}}, // key 2: a 100-byte owner
        {"TWOKEYS.DAT", {{1, 2, 0x13}, {3, 21, 0x13}, {28, 21, 3}, {1, 2, 0x13}, {28, 21, 0x403}}},
        {"SHORTNAME.DAT", {{1, 2, 0x13}, {3, 21, 0x13}, {28, 21, 3},
                           {1, 2, 0x13}, {28, 5, 0x403},
                           {1, 2, 0x13}, {3, 21, 0x13}, {24, 4, 3}}},
    };
    for (const auto& shape : shapes) {
        TBtrieveFile f;
        f.SetFileName(FDir.File(shape.name));
        for (const Seg& s : shape.segs) f.AddKeySegment(s.pos, s.len, s.flags, ktString, 0);
        f.CreateFile(0, sizeof(DictRec), 1024, 0, 0);
    }
    std::vector<std::string> refused = {FDir.File("ORDERS.DAT")};
    for (const auto& shape : shapes) refused.push_back(FDir.File(shape.name));
    for (const std::string& path : refused) {
        SCOPED_TRACE(path);
        TFileData fd;
        try {
            GetFileData("CLIENTS.DAT", path, fd);
            FAIL();
        } catch (const EBtrieve& e) {
            EXPECT_EQ(e.Message(), "Неверная структура словаря");
        }
        EXPECT_FALSE(fd.Fields);
        // Creating a data file from it is refused the same way, before any
        // question.
        test::ScriptedBoxes boxes;
        TDictFile dict(path);
        dict.SetActive(true);
        try {
            dict.CreateFile("CLIENTS.DAT");
            FAIL();
        } catch (const EBtrieve& e) {
            EXPECT_EQ(e.Message(), "Неверная структура словаря");
        }
        EXPECT_TRUE(boxes.Asked.empty());
    }
}

TEST_F(DictCache, DamagedFieldLengthsAreRefused) {
    const struct {
        const char* file;
        std::vector<test::FieldSpec> fields;
        const char* message;
    } cases[] = {
        {"NEG.DAT", {{"Code", btLongint, 4}, {"Bad", btString, -5}}, "Неверная длина -5 поля \"Bad\""},
        {"HUGE.DAT", {{"Bad", btString, 0x7FFFFFFF}, {"Next", btString, 10}},
         "Неверная длина 2147483647 поля \"Bad\""},
        {"LONG.DAT", {{"A", btString, 65000}, {"B", btString, 536}}, "Записи длиннее 65535 байт не поддерживаются"},
    };
    {
        DictBuilder b(Dict(), false);
        for (const auto& c : cases) {
            b.AddFile(c.file);
            b.AddFields(c.file, c.fields);
        }
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        TFileData fd;
        try {
            GetFileData(c.file, Dict(), fd);
            FAIL();
        } catch (const EBtrieve& e) {
            EXPECT_EQ(e.Message(), c.message);
        }
        EXPECT_FALSE(fd.Fields);
        EXPECT_FALSE(fd.Keys);
    }
    // The longest record there is still passes.
    TBFieldList list;
    list.AddField("A", 65000, btString);
    list.AddField("B", 535, btString);
    EXPECT_EQ(list.DataSize, 65535);
    EXPECT_THROW(list.AddField("C", 1, btString), EBtrieve);
    EXPECT_EQ(list.Count(), 2);
}

TEST_F(DictCache, DictionariesAndFilesKeepTheirWholeNames) {
    // Two dictionaries whose paths differ only in characters 1251 cannot
    // hold: two cache entries, each read from its own file.
    const struct {
        std::string dir;
        std::vector<test::FieldSpec> fields;
    } dicts[] = {{"日", {{"A", btLongint, 4}}}, {"月", {{"A", btLongint, 4}, {"B", btLongint, 4}}}};
    for (const auto& d : dicts) {
        std::filesystem::create_directory(FDir.File(d.dir));
        DictBuilder b(FDir.File(d.dir + "/DICT.DAT"));
        b.AddFile("CLIENTS.DAT");
        b.AddFields("CLIENTS.DAT", d.fields);
    }
    for (int round = 0; round < 2; ++round) { // read, then from the cache
        for (const auto& d : dicts) {
            TFileData fd;
            GetFileData("CLIENTS.DAT", FDir.File(d.dir + "/DICT.DAT"), fd);
            EXPECT_EQ(fd.Fields->Count(), static_cast<int>(d.fields.size())) << d.dir << " round " << round;
        }
    }
    EXPECT_EQ(BDictList->Count(), 2);

    // A bare name that 1251 cannot hold names no entry, not the entry "?.DAT".
    {
        DictBuilder b(Dict(), false);
        b.AddFile("?.DAT");
    }
    TFileData fd;
    GetFileData("?.DAT", Dict(), fd);
    EXPECT_THROW(GetFileData("日.DAT", Dict(), fd), EBtrieve);
}

TEST_F(DictCache, ManyThreadsNeverSeeHalfFilledDescriptions) {
    // A second dictionary with the same files under other owners.
    const std::string second = FDir.File("SECOND.DAT");
    {
        DictBuilder b(second);
        b.AddFile("CLIENTS.DAT");
        b.AddFields("CLIENTS.DAT", {{"A", 3, 4}, {"B", 3, 4}});
        b.AddSegments("CLIENTS.DAT", {{"A", 0}});
    }
    struct Case {
        std::string dict, file;
        int fields, size;
    };
    const std::vector<Case> cases = {
        {Dict(), "CLIENTS.DAT", 3, 32}, {Dict(), "ORDERS.DAT", 1, 4}, {second, "CLIENTS.DAT", 2, 8}};
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread refresher([&] {
        while (!stop) BDictList->Refresh();
    });
    std::vector<std::thread> readers;
    for (int t = 0; t < 6; ++t) {
        readers.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i) {
                const Case& c = cases[static_cast<size_t>(t + i) % cases.size()];
                TFileData fd;
                GetFileData(c.file, c.dict, fd);
                if (fd.Fields->Count() != c.fields || fd.Fields->DataSize != c.size) ++bad;
            }
        });
    }
    for (auto& r : readers) r.join();
    stop = true;
    refresher.join();
    EXPECT_EQ(bad, 0);
}

} // namespace
} // namespace btr
