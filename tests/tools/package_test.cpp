#include <gtest/gtest.h>

#include <string>

#include "dictionary/dictcache.h"
#include "engine/btrv.h"
#include "tools/package.h"

namespace btr {
namespace {

// Loading the library ran Initialize once.
TEST(Package, LoadingInitialisesEveryUnitOnce) {
    ASSERT_NE(ClientList, nullptr);
    ASSERT_NE(BDictList, nullptr);
    EXPECT_EQ(BDictList->Count(), 0);
    const TPackageInfo& info = GetPackageInfoTable();
    ASSERT_EQ(info.UnitCount, 6u);
    const std::string order[] = {"btrtools", "btrv", "btrconst", "btrset", "dictfile", "dictgrid"};
    for (size_t i = 0; i < info.UnitCount; ++i) {
        EXPECT_EQ(info.Units[i].Name, order[i]);
        EXPECT_EQ(UnitCounter(order[i]), -1);
    }
    EXPECT_FALSE(info.DesignOnly);
    EXPECT_FALSE(info.RunOnly);
}

TEST(Package, ASecondInitialisationCreatesNothing) {
    TBDicList* list = BDictList;
    TBTrieveClientList* clients = ClientList;
    Initialize();
    EXPECT_EQ(BDictList, list);
    EXPECT_EQ(ClientList, clients);
    EXPECT_EQ(UnitCounter("btrset"), -2);
    Finalize(); // back to one: nothing goes
    EXPECT_EQ(BDictList, list);
    EXPECT_EQ(ClientList, clients);
}

TEST(Package, FinaliseDestroysTheCacheAndTheClientList) {
    Finalize();
    EXPECT_EQ(BDictList, nullptr);
    EXPECT_EQ(ClientList, nullptr);
    EXPECT_EQ(UnitCounter("btrv"), 0);
    Initialize(); // and they come back
    EXPECT_NE(BDictList, nullptr);
    EXPECT_NE(ClientList, nullptr);
}

} // namespace
} // namespace btr
