// btrtool meeting a file another program is changing: it waits, says so, and
// goes on once the file is free.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>

#include "dataset/btrset.h"
#include "tests/apps/tool_runner.h"

namespace btr::test {
namespace {

using ::testing::HasSubstr;

TEST(BtrToolWaits, AnImportWaitsVisiblyForAnotherProgramsTransaction) {
    ToolRunner t;
    t.Write("desc.txt", "file T.DAT\nfield Id Longint\nfield Name ZString(WIN) 12\nkey Id\n");
    ASSERT_EQ(t.Run("dict create D.DAT").status, 0);
    ASSERT_EQ(t.Run("dict import D.DAT desc.txt").status, 0);
    ASSERT_EQ(t.Run("create D.DAT T.DAT").status, 0);
    t.Write("in.csv", "Id,Name\n2,second\n");

    // This program changes the file inside a transaction of its own.
    TBDataSet ds;
    ds.SetDictName(t.File("D.DAT"));
    ds.SetBaseName(t.File("T.DAT"));
    ds.Open();
    BStartTransaction();
    ds.AppendRecord({Variant(1), Variant("first")});

    const std::string cmd = "cd '" + t.Dir().Path().string() + "' && '" BTRTOOL "' import D.DAT T.DAT in.csv 2>&1 </dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string said;
    char line[1024];
    bool committed = false;
    while (std::fgets(line, sizeof line, p)) {
        said += line;
        // The import says it waits before it pauses: the file is freed then.
        if (!committed && std::string(line).find("waiting") != std::string::npos) {
            BCommit();
            committed = true;
        }
    }
    const int status = pclose(p);
    if (!committed) BCommit();
    EXPECT_TRUE(committed) << said;
    EXPECT_EQ(WEXITSTATUS(status), 0) << said;
    EXPECT_THAT(said, HasSubstr("T.DAT"));
    EXPECT_THAT(said, HasSubstr("Imported 1 record(s)"));
    ds.Refresh();
    std::vector<int> ids;
    for (ds.First(); !ds.Eof(); ds.Next()) ids.push_back(ds.FieldByName("Id")->AsInteger());
    EXPECT_EQ(ids, (std::vector<int>{1, 2}));
}

} // namespace
} // namespace btr::test
