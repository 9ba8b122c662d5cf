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

TEST_F(DictCache, BadStructureIsRefused) {
    // A dictionary whose records are not 141 bytes: a data file made from it.
    {
        test::ScriptedBoxes boxes;
        TDictFile dict(Dict());
        dict.SetActive(true);
        dict.CreateFile("ORDERS.DAT");
    }
    TFileData fd;
    try {
        GetFileData("X.DAT", "ORDERS.DAT", fd);
        FAIL();
    } catch (const EBtrieve& e) {
        EXPECT_EQ(e.Message(), "Неверная структура словаря");
    }
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
