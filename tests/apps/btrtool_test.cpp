#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <future>

#include "tests/apps/tool_runner.h"

namespace btr::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

const char* kDescription = R"(# two files
file CLIENTS.DAT page=2048
field Code Longint
field Имя ZString(WIN) 31
field Town ZString(DOS) 21
field Price RS float
key Code
key Town+Имя dup mod nocase

file NOTES.DAT variable
field Client Longint
field Text MEMO
key Client dup
)";

class BtrTool : public ::testing::Test {
protected:
    void SetUp() override {
        T.Write("desc.txt", kDescription);
        ASSERT_EQ(T.Run("dict create D.DAT").status, 0);
        ASSERT_EQ(T.Run("dict import D.DAT desc.txt").status, 0);
    }
    ToolRunner T;
};

TEST_F(BtrTool, HelpAndBadUsage) {
    const ToolResult none = T.Run("");
    EXPECT_EQ(none.status, 2);
    EXPECT_THAT(none.out, HasSubstr("dict import"));
    const ToolResult help = T.Run("stat --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_THAT(help.out, HasSubstr("usage: btrtool stat FILE"));
    const ToolResult unknown = T.Run("frobnicate");
    EXPECT_EQ(unknown.status, 2);
    EXPECT_THAT(unknown.err, HasSubstr("unknown command"));
    const ToolResult missing = T.Run("dict show");
    EXPECT_EQ(missing.status, 2);
    EXPECT_THAT(missing.err, HasSubstr("usage: btrtool dict show DICT [FILE]"));
    EXPECT_EQ(T.Run("stat a b").status, 2);
    EXPECT_EQ(T.Run("stat a --bogus 1").status, 2);
}

TEST_F(BtrTool, DescriptionsRoundTripThroughTheDictionary) {
    const ToolResult all = T.Run("dict show D.DAT");
    EXPECT_EQ(all.status, 0);
    EXPECT_THAT(all.out, HasSubstr("CLIENTS.DAT"));
    EXPECT_THAT(all.out, HasSubstr("2 file(s)"));
    const ToolResult one = T.Run("dict show D.DAT CLIENTS.DAT");
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_THAT(one.out, HasSubstr("Имя")); // 1251 on disk, UTF-8 out
    EXPECT_THAT(one.out, HasSubstr("RS float"));
    EXPECT_THAT(one.out, HasSubstr("record length 64")); // 4 + 31 + 21 + 8
    EXPECT_THAT(one.out, HasSubstr("key 1: Town + Имя (dup mod nocase)"));
    EXPECT_EQ(T.Run("dict show D.DAT NONE.DAT").status, 1);
}

TEST_F(BtrTool, RemovingADescriptionLeavesTheOthers) {
    const ToolResult r = T.Run("dict remove D.DAT clients.dat");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(T.Run("dict show D.DAT").out, HasSubstr("1 file(s)"));
    EXPECT_EQ(T.Run("dict show D.DAT CLIENTS.DAT").status, 1);
    EXPECT_THAT(T.Run("dict show D.DAT NOTES.DAT").out, HasSubstr("key 0: Client (dup)"));
    EXPECT_EQ(T.Run("dict remove D.DAT CLIENTS.DAT").status, 1);
    // It can be described again.
    EXPECT_EQ(T.Run("dict import D.DAT desc.txt").status, 1); // NOTES.DAT is still there
    T.Write("one.txt", "file CLIENTS.DAT\nfield Code Longint\nkey Code\n");
    EXPECT_EQ(T.Run("dict import D.DAT one.txt").status, 0);
    EXPECT_THAT(T.Run("dict show D.DAT CLIENTS.DAT").out, HasSubstr("record length 4"));
}

TEST_F(BtrTool, BadDescriptionsWriteNothing) {
    struct Case {
        const char* text;
        const char* why;
    } cases[] = {
        {"field A Longint\n", "line 1: \"field\" before any \"file\" line"},
        {"file X.DAT\nfield A Nonsense\n", "line 2: unknown field type \"Nonsense\""},
        {"file X.DAT\nfield A ZString(WIN)\n", "needs a length"},
        {"file X.DAT\nfield A Longint 3\n", "fixed length 4"},
        {"file X.DAT\nfield A Longint\nkey B\n", "line 3: key field B is not a field of X.DAT"},
        {"file X.DAT\nfield A Longint\nkey A sideways\n", "unknown key option"},
        {"file X.DAT\nfield A Longint\nfield a Longint\n", "named twice"},
        {"file CLIENTS.DAT\nfield A Longint\n", "already described"},
    };
    for (const Case& c : cases) {
        T.Write("bad.txt", c.text);
        const ToolResult r = T.Run("dict import D.DAT bad.txt");
        EXPECT_EQ(r.status, 1) << c.text;
        EXPECT_THAT(r.err, HasSubstr(c.why)) << c.text;
        EXPECT_THAT(T.Run("dict show D.DAT").out, HasSubstr("2 file(s)"));
    }
}

TEST_F(BtrTool, CreateAndStatAFileFromTheDictionary) {
    const ToolResult created = T.Run("create D.DAT CLIENTS.DAT");
    EXPECT_EQ(created.status, 0) << created.err;
    ASSERT_TRUE(std::filesystem::exists(T.File("CLIENTS.DAT")));
    const ToolResult stat = T.Run("stat CLIENTS.DAT");
    EXPECT_EQ(stat.status, 0) << stat.err;
    EXPECT_THAT(stat.out, HasSubstr("record length 64, page size 2048"));
    EXPECT_THAT(stat.out, HasSubstr("records 0, keys 2"));
    EXPECT_THAT(stat.out, HasSubstr("key 0: [1..4 integer]"));
    EXPECT_THAT(stat.out, HasSubstr("key 1: [36..56 zstring dup mod nocase] [5..35 zstring dup mod nocase]"));
    const ToolResult notes = T.Run("create D.DAT sub/NOTES.DAT");
    EXPECT_EQ(notes.status, 1); // no such directory
    std::filesystem::create_directory(T.File("sub"));
    EXPECT_EQ(T.Run("create D.DAT sub/NOTES.DAT").status, 0);
    EXPECT_THAT(T.Run("stat sub/NOTES.DAT").out, HasSubstr("(variable-length)"));
}

TEST_F(BtrTool, AnExistingFileIsReplacedOnlyWhenAsked) {
    ASSERT_EQ(T.Run("create D.DAT CLIENTS.DAT").status, 0);
    const auto before = std::filesystem::last_write_time(T.File("CLIENTS.DAT"));
    const ToolResult refused = T.Run("create D.DAT CLIENTS.DAT");
    EXPECT_EQ(refused.status, 1);
    EXPECT_THAT(refused.err, HasSubstr("--yes"));
    EXPECT_EQ(std::filesystem::last_write_time(T.File("CLIENTS.DAT")), before);
    const ToolResult agreed = T.Run("create D.DAT CLIENTS.DAT --yes");
    EXPECT_EQ(agreed.status, 0) << agreed.err;
}

TEST_F(BtrTool, EngineErrorsAreOneLine) {
    const ToolResult r = T.Run("stat NOFILE.DAT");
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("(12)"));
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
    EXPECT_THAT(r.err, Not(HasSubstr("terminate")));
}

// Records through the dataset: import, browse in key order and ranges,
// export and find, with Cyrillic text in both code pages.
class BtrToolData : public BtrTool {
protected:
    void SetUp() override {
        BtrTool::SetUp();
        ASSERT_EQ(T.Run("create D.DAT CLIENTS.DAT").status, 0);
        T.Write("in.csv", "Code,Имя,Town,Price\n"
                          "3,Сидоров,Москва,0.01\n"
                          "1,Иванов,Москва,12.5\n"
                          "2,\"Petrov, \"\"P\"\"\",Тула,7\n");
        const ToolResult r = T.Run("import D.DAT CLIENTS.DAT in.csv");
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_THAT(r.out, HasSubstr("Imported 3 record(s)"));
    }
};

TEST_F(BtrToolData, BrowseFollowsTheKeyAndTheRange) {
    const ToolResult byCode = T.Run("browse D.DAT CLIENTS.DAT --format csv");
    EXPECT_EQ(byCode.status, 0) << byCode.err;
    EXPECT_EQ(byCode.out, "Code,Имя,Town,Price\n"
                          "1,Иванов,Москва,12.5\n"
                          "2,\"Petrov, \"\"P\"\"\",Тула,7\n"
                          "3,Сидоров,Москва,0.01\n");
    // Key 1 is Town (866 on disk) then the name (1251), without regard to case.
    const ToolResult byTown = T.Run("browse D.DAT CLIENTS.DAT --key 1 --format csv --limit 2");
    EXPECT_EQ(byTown.out, "Code,Имя,Town,Price\n1,Иванов,Москва,12.5\n3,Сидоров,Москва,0.01\n");
    const ToolResult byIndex = T.Run("browse D.DAT CLIENTS.DAT --index 'Town;Имя' --from москва --to москва --format csv");
    EXPECT_EQ(byIndex.status, 0) << byIndex.err;
    EXPECT_EQ(byIndex.out, "Code,Имя,Town,Price\n1,Иванов,Москва,12.5\n3,Сидоров,Москва,0.01\n");
    const ToolResult range = T.Run("browse D.DAT CLIENTS.DAT --from 2 --to 3");
    EXPECT_THAT(range.out, HasSubstr("2 record(s)"));
    EXPECT_THAT(range.out, Not(HasSubstr("Иванов")));
    const ToolResult json = T.Run("browse D.DAT CLIENTS.DAT --limit 1 --format json");
    EXPECT_EQ(json.out, "[\n  {\"Code\": \"1\", \"Имя\": \"Иванов\", \"Town\": \"Москва\", \"Price\": \"12.5\"}\n]\n");
    EXPECT_EQ(T.Run("browse D.DAT CLIENTS.DAT --from x").status, 1);
    EXPECT_EQ(T.Run("browse D.DAT CLIENTS.DAT --format xml").status, 2);
    EXPECT_EQ(T.Run("browse D.DAT CLIENTS.DAT --key 1 --index Code").status, 2);
}

TEST_F(BtrToolData, ExportWritesWhatImportReads) {
    ASSERT_EQ(T.Run("export D.DAT CLIENTS.DAT out.csv").status, 0);
    ASSERT_EQ(T.Run("create D.DAT copy/CLIENTS.DAT").status, 1);
    std::filesystem::create_directory(T.File("copy"));
    ASSERT_EQ(T.Run("create D.DAT copy/CLIENTS.DAT").status, 0);
    const ToolResult back = T.Run("import D.DAT copy/CLIENTS.DAT out.csv");
    EXPECT_EQ(back.status, 0) << back.err;
    EXPECT_EQ(T.Run("browse D.DAT copy/CLIENTS.DAT --format csv").out,
              T.Run("browse D.DAT CLIENTS.DAT --format csv").out);
}

TEST_F(BtrToolData, ABadRowStopsTheImportAndNothingIsWritten) {
    struct Case {
        const char* csv;
        const char* why;
    } cases[] = {
        {"Code,Имя\n10,A\n11,B\n1,duplicate\n", "row 4"},
        {"Code,Имя\n10,A\n11\n", "row 3: 1 value(s) for 2 field(s)"},
        {"Code,Nope\n10,A\n", "no field \"Nope\""},
        {"Code,Имя\n10,\"open\n", "not closed"},
        {"Code,Price\n10,cheap\n", "row 2"},
    };
    for (const Case& c : cases) {
        T.Write("bad.csv", c.csv);
        const ToolResult r = T.Run("import D.DAT CLIENTS.DAT bad.csv");
        EXPECT_EQ(r.status, 1) << c.csv;
        EXPECT_THAT(r.err, HasSubstr(c.why)) << c.csv;
        EXPECT_THAT(T.Run("browse D.DAT CLIENTS.DAT").out, HasSubstr("3 record(s)")) << c.csv;
    }
}

// Two btrtool processes import into one file at once while a third browses
// it: each import waits out the other's transaction, and every row of both lands.
TEST_F(BtrToolData, ProcessesShareOneFile) {
    std::string a = "Code,Имя\n", b = a;
    for (int i = 0; i < 150; ++i) {
        a += std::to_string(100 + i) + ",A" + std::to_string(i) + "\n";
        b += std::to_string(1000 + i) + ",B" + std::to_string(i) + "\n";
    }
    T.Write("a.csv", a);
    T.Write("b.csv", b);
    auto first = std::async(std::launch::async, [&] { return T.Run("import D.DAT CLIENTS.DAT a.csv", ".a.err"); });
    auto second = std::async(std::launch::async, [&] { return T.Run("import D.DAT CLIENTS.DAT b.csv", ".b.err"); });
    const ToolResult browsing = T.Run("browse D.DAT CLIENTS.DAT --format csv", ".c.err");
    EXPECT_EQ(browsing.status, 0) << browsing.err;
    for (auto* run : {&first, &second}) {
        const ToolResult r = run->get();
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_THAT(r.out, HasSubstr("Imported 150 record(s)"));
    }
    EXPECT_THAT(T.Run("browse D.DAT CLIENTS.DAT").out, HasSubstr("303 record(s)"));
}

TEST_F(BtrToolData, FindLocatesByAnyFields) {
    const ToolResult one = T.Run("find D.DAT CLIENTS.DAT Town=Тула --format csv");
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(one.out, "Code,Имя,Town,Price\n2,\"Petrov, \"\"P\"\"\",Тула,7\n");
    const ToolResult two = T.Run("find D.DAT CLIENTS.DAT Town=Москва Имя=Сидоров --format csv");
    EXPECT_THAT(two.out, HasSubstr("3,Сидоров"));
    const ToolResult none = T.Run("find D.DAT CLIENTS.DAT Code=77");
    EXPECT_EQ(none.status, 1);
    EXPECT_THAT(none.out, HasSubstr("not found"));
    EXPECT_EQ(T.Run("find D.DAT CLIENTS.DAT Code").status, 2);
    EXPECT_EQ(T.Run("find D.DAT CLIENTS.DAT Nope=1").status, 1);
}

TEST(BtrToolDemo, BuildsToursAndKeepsItsFilesUnlessAsked) {
    ToolRunner t;
    const ToolResult demo = t.Run("demo out");
    ASSERT_EQ(demo.status, 0) << demo.err;
    EXPECT_THAT(demo.out, HasSubstr("CLIENTS.DAT: 1000 records, ORDERS.DAT: 4000 records"));
    EXPECT_THAT(demo.out, HasSubstr("client 7: "));
    EXPECT_THAT(demo.out, HasSubstr("Тула"));
    const ToolResult files = t.Run("dict show out/DEMO.DIC");
    EXPECT_THAT(files.out, HasSubstr("2 file(s)"));
    // The clients' towns are 866 on disk and come back as UTF-8, in key order.
    const ToolResult towns = t.Run("browse out/DEMO.DIC out/CLIENTS.DAT --key 1 --from Казань --to Казань --format csv");
    EXPECT_EQ(towns.status, 0) << towns.err;
    EXPECT_THAT(towns.out, HasSubstr(",Казань,"));
    EXPECT_THAT(towns.out, Not(HasSubstr("Москва")));
    // Memos live in the variable part and travel through export and import.
    const ToolResult orders = t.Run("browse out/DEMO.DIC out/ORDERS.DAT --from 3 --to 3 --format csv");
    EXPECT_EQ(orders.status, 0) << orders.err;
    EXPECT_THAT(orders.out, HasSubstr(",Срочно! Упаковать в плёнку.\n"));
    ASSERT_EQ(t.Run("export out/DEMO.DIC out/ORDERS.DAT orders.csv").status, 0);
    std::filesystem::create_directory(t.File("copy"));
    ASSERT_EQ(t.Run("create out/DEMO.DIC copy/ORDERS.DAT").status, 0);
    const ToolResult back = t.Run("import out/DEMO.DIC copy/ORDERS.DAT orders.csv");
    ASSERT_EQ(back.status, 0) << back.err;
    ASSERT_EQ(t.Run("export out/DEMO.DIC copy/ORDERS.DAT orders2.csv").status, 0);
    EXPECT_EQ(t.Read("orders2.csv"), t.Read("orders.csv"));
    const ToolResult again = t.Run("demo out");
    EXPECT_EQ(again.status, 1);
    EXPECT_THAT(t.Run("stat out/ORDERS.DAT").out, HasSubstr("records 4000"));
    EXPECT_EQ(t.Run("demo out --yes").status, 0);
}

} // namespace
} // namespace btr::test
