#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <set>
#include <sstream>

#include "apps/common/values.h"
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

// Floats are written with the fewest digits that read back as the same
// double, without an exponent for everyday magnitudes.
TEST(Values, FloatTextReadsBackAsTheSameDouble) {
    std::mt19937_64 rng(7);
    for (int i = 0; i < 20000; ++i) {
        const uint64_t bits = rng();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        if (!std::isfinite(v)) continue;
        const std::string text = apps::FloatText(v);
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), v) << text;
        if (std::fabs(v) >= 1e-7 && std::fabs(v) < 1e21) {
            EXPECT_EQ(text.find('e'), std::string::npos) << text;
        }
    }
    struct Case {
        double v;
        const char* text;
    } cases[] = {{3.141592653589793, "3.141592653589793"}, {0.1, "0.1"}, {1e20, "100000000000000000000"},
                 {1e21, "1e+21"}, {1.5e-7, "0.00000015"}, {-12.5, "-12.5"}, {0, "0"}, {123456789012345680000.0, "123456789012345680000"},
                 {-0.0, "-0"}, {0.001, "0.001"}, {-1e-7, "-0.0000001"}, {1234.5678, "1234.5678"}, {9.5e-8, "9.5e-08"}};
    std::string reused = "left over from a longer value";
    for (const Case& c : cases) {
        apps::FloatTextTo(c.v, reused);
        EXPECT_EQ(reused, c.text);
    }
    for (const Case& c : cases) EXPECT_EQ(apps::FloatText(c.v), c.text);
}

TEST(Values, CanonicalNumbersAgreeAcrossSpellings) {
    const char* same[][2] = {{"12", "12.0"}, {"+012.50", "12.5"}, {"1e3", "1000"}, {"-0", "0"}, {"0.000", "0"},
                             {"1,5", "1.5"}, {" 7 ", "7"}, {"1.2e-3", "0.0012"}, {"-1E+2", "-100"}};
    for (const auto& p : same) EXPECT_EQ(apps::CanonicalNumber(p[0]), apps::CanonicalNumber(p[1])) << p[0];
    const char* different[][2] = {{"12", "12.01"}, {"-1", "1"}, {"1e3", "100"}, {"12345678901234567", "12345678901234568"}};
    for (const auto& p : different) EXPECT_NE(apps::CanonicalNumber(p[0]), apps::CanonicalNumber(p[1])) << p[0];
    for (const char* bad : {"", "abc", "1.2.3", "1e", "--1", "0x10", "inf", "1e99999999"})
        EXPECT_EQ(apps::CanonicalNumber(bad), std::nullopt) << bad;
    EXPECT_TRUE(apps::ValidUtf8("Ёж €"));
    for (const char* bad : {"\xFF", "\xC0\xAF", "\xED\xA0\x80", "\xE2\x82", "\xF4\x90\x80\x80"}) EXPECT_FALSE(apps::ValidUtf8(bad));
}

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
    EXPECT_EQ(T.Run("browse -h").out, T.Run("browse --help").out);
    EXPECT_THAT(T.Run("browse -h").out, HasSubstr("--index Field+Field"));
    const ToolResult version = T.Run("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_THAT(version.out, ::testing::StartsWith("btrtool "));
    EXPECT_EQ(T.Run("delete D.DAT CLIENTS.DAT").status, 2); // neither --where nor --all
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
    const std::string ok = "file OK.DAT\nfield A Longint\nkey A\n"; // a good file first: it is not written either
    struct Case {
        std::string text;
        const char* why;
    } cases[] = {
        {"field A Longint\n", "line 1: \"field\" before any \"file\" line"},
        {"file X.DAT\nfield A Nonsense\n", "line 2: unknown field type \"Nonsense\""},
        {"file X.DAT\nfield A ZString(WIN)\n", "needs a length"},
        {"file X.DAT\nfield A Longint 3\n", "fixed length 4"},
        {"file X.DAT\nfield A Longint\nkey B\n", "line 3: key field B is not a field of X.DAT"},
        {"file X.DAT\nfield A Longint\nkey A sideways\n", "unknown key option"},
        {"file X.DAT\nfield A Longint\nfield a Longint\n", "named twice"},
        {"file CLIENTS.DAT\nfield A Longint\nkey A\n", "already described"},
        {ok + "file X.DAT\nfield A Longint\n", "line 4: X.DAT has no key"},
        {ok + "file ABCDEFGHIJKLMNOPQRSTU.DAT\nfield A Longint\nkey A\n", "line 4: the file name"},
        {ok + "file X.DAT\nfield ABCDEFGHIJKLMNOPQRSTU Longint\nkey ABCDEFGHIJKLMNOPQRSTU\n", "line 5: the field name"},
        {ok + "file X.DAT owner=ninechars\nfield A Longint\nkey A\n", "line 4: an owner name is at most 8"},
        {ok + "file X.DAT page=1000\nfield A Longint\nkey A\n", "line 4: the page size"},
        {ok + "file X.DAT\nfield A Longint\nfield N MEMO\nkey A\n", "line 6: a MEMO field lives in the variable part"},
        {ok + "file X.DAT variable\nfield A Longint\nfield N MEMO\nkey A+N\n", "line 7: a MEMO field cannot be part of a key"},
        {ok + "file X.DAT\nfield A ZString(WIN) 200\nfield B ZString(WIN) 100\nkey A+B\n", "line 7: the key is 300 bytes"},
        {ok + "file X.DAT\nfield A Boolean 3\nfield B Longint\nkey A\n", "line 7: a key cannot cover the 3-byte Boolean field A"},
        {ok + "file X.DAT\nfield A Char\nkey A\n", "line 4: the record of X.DAT is 1 bytes long"},
        {ok + "file ok.dat\nfield A Longint\nkey A\n", "line 4: ok.dat is described twice (first on line 1)"},
    };
    for (const Case& c : cases) {
        T.Write("bad.txt", c.text);
        const ToolResult r = T.Run("dict import D.DAT bad.txt");
        EXPECT_EQ(r.status, 1) << c.text;
        EXPECT_THAT(r.err, HasSubstr(c.why)) << c.text;
        EXPECT_THAT(r.err, HasSubstr("bad.txt")) << c.text;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_THAT(T.Run("dict show D.DAT").out, HasSubstr("2 file(s)"));
    }
    // A byte-order mark and CRLF line ends are read like any description.
    T.Write("bom.txt", "\xEF\xBB\xBF" "file BOM.DAT\r\nfield A Longint\r\nkey A\r\n");
    const ToolResult bom = T.Run("dict import D.DAT bom.txt");
    EXPECT_EQ(bom.status, 0) << bom.err;
    EXPECT_THAT(T.Run("dict show D.DAT BOM.DAT").out, HasSubstr("key 0: A"));
}

TEST_F(BtrTool, TheOwnerNameOfADescriptionGuardsTheFileCreateMakes) {
    T.Write("owned.txt", "file OWNED.DAT owner=Secret\nfield A Longint\nkey A\n");
    ASSERT_EQ(T.Run("dict import D.DAT owned.txt").status, 0);
    const ToolResult created = T.Run("create D.DAT OWNED.DAT");
    EXPECT_EQ(created.status, 0) << created.err;
    EXPECT_THAT(T.Run("stat OWNED.DAT").err, HasSubstr("(51)")); // wrong owner
    EXPECT_EQ(T.Run("stat OWNED.DAT --owner Secret").status, 0);
    T.Write("a.csv", "A\n5\n");
    EXPECT_EQ(T.Run("import D.DAT OWNED.DAT a.csv").status, 0); // the dataset opens it with the dictionary's owner
    EXPECT_EQ(T.Run("browse D.DAT OWNED.DAT --format csv").out, "A\n5\n");
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

TEST_F(BtrTool, MisfitsAreOneLineErrors) {
    ASSERT_EQ(T.Run("create D.DAT CLIENTS.DAT").status, 0);
    std::filesystem::create_directory(T.File("w"));
    ASSERT_EQ(T.Run("create D.DAT w/NOTES.DAT").status, 0);
    std::filesystem::copy_file(T.File("w/NOTES.DAT"), T.File("w/CLIENTS.DAT"));
    struct Case {
        const char* args;
        const char* why;
    } cases[] = {
        {"dict show CLIENTS.DAT", "CLIENTS.DAT is not a dictionary"},
        {"dict import CLIENTS.DAT desc.txt", "CLIENTS.DAT is not a dictionary"},
        {"browse CLIENTS.DAT CLIENTS.DAT", "CLIENTS.DAT is not a dictionary"},
        {"create CLIENTS.DAT X.DAT", "CLIENTS.DAT is not a dictionary"},
        {"browse D.DAT CLIENTS.DAT --key 2", "CLIENTS.DAT has no key 2 (its keys are 0 to 1)"},
        {"browse D.DAT CLIENTS.DAT --key -1", "CLIENTS.DAT has no key -1"},
        {"export D.DAT CLIENTS.DAT x.csv --key 9", "CLIENTS.DAT has no key 9"},
        {"browse D.DAT CLIENTS.DAT --index Price", "CLIENTS.DAT: "},
        {"browse D.DAT w/CLIENTS.DAT", "w/CLIENTS.DAT does not fit its description in D.DAT"},
        {"find D.DAT w/CLIENTS.DAT Code=1", "does not fit"},
    };
    for (const Case& c : cases) {
        const ToolResult r = T.Run(c.args);
        EXPECT_NE(r.status, 0) << c.args;
        EXPECT_EQ(r.out, "") << c.args;
        EXPECT_THAT(r.err, HasSubstr(c.why)) << c.args;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(T.File("x.csv")));
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
    const ToolResult plus = T.Run("browse D.DAT CLIENTS.DAT --index Town+Имя --from москва --to москва --format csv");
    EXPECT_EQ(plus.out, byIndex.out); // the dictionary's own spelling of a key
    const ToolResult json = T.Run("browse D.DAT CLIENTS.DAT --limit 1 --format json");
    EXPECT_EQ(json.out, "[\n  {\"Code\": 1, \"Имя\": \"Иванов\", \"Town\": \"Москва\", \"Price\": 12.5}\n]\n");
    EXPECT_EQ(T.Run("browse D.DAT CLIENTS.DAT --from 7 --format json").out, "[]\n");
    // Numbers are aligned to the right: the last column ends where the line does.
    const ToolResult table = T.Run("browse D.DAT CLIENTS.DAT");
    std::istringstream lines(table.out);
    std::set<size_t> widths;
    for (std::string line; std::getline(lines, line) && line.find("record(s)") == std::string::npos;)
        widths.insert(static_cast<size_t>(std::count_if(line.begin(), line.end(), [](char c) { return (c & 0xC0) != 0x80; })));
    EXPECT_EQ(widths.size(), 1u) << table.out;
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
    auto first = std::async(std::launch::async, [&] { return T.Run("import D.DAT CLIENTS.DAT a.csv", "/dev/null", ".a.err"); });
    auto second = std::async(std::launch::async, [&] { return T.Run("import D.DAT CLIENTS.DAT b.csv", "/dev/null", ".b.err"); });
    const ToolResult browsing = T.Run("browse D.DAT CLIENTS.DAT --format csv", "/dev/null", ".c.err");
    EXPECT_EQ(browsing.status, 0) << browsing.err;
    for (auto* run : {&first, &second}) {
        const ToolResult r = run->get();
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_THAT(r.out, HasSubstr("Imported 150 record(s)"));
    }
    EXPECT_THAT(T.Run("browse D.DAT CLIENTS.DAT").out, HasSubstr("303 record(s)"));
}

TEST_F(BtrToolData, FindLocatesByAnyFieldsAndExitsAsGrepDoes) {
    const ToolResult one = T.Run("find D.DAT CLIENTS.DAT Town=Тула --format csv");
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(one.out, "Code,Имя,Town,Price\n2,\"Petrov, \"\"P\"\"\",Тула,7\n");
    const ToolResult two = T.Run("find D.DAT CLIENTS.DAT Town=Москва Имя=Сидоров --format csv");
    EXPECT_THAT(two.out, HasSubstr("3,Сидоров"));
    const ToolResult none = T.Run("find D.DAT CLIENTS.DAT Code=77");
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, "");
    EXPECT_THAT(none.err, HasSubstr("CLIENTS.DAT"));
    EXPECT_EQ(T.Run("find D.DAT CLIENTS.DAT Code").status, 2);
    EXPECT_EQ(T.Run("find D.DAT CLIENTS.DAT Nope=1").status, 2);
    EXPECT_EQ(T.Run("find D.DAT CLIENTS.DAT Code=abc").status, 2);
    EXPECT_EQ(T.Run("find D.DAT NOFILE.DAT Code=1").status, 2);
}

TEST_F(BtrToolData, ExportAsksBeforeReplacingAndWritesWholeOrNothing) {
    T.Write("out.csv", "old\n");
    const ToolResult refused = T.Run("export D.DAT CLIENTS.DAT out.csv");
    EXPECT_EQ(refused.status, 1);
    EXPECT_THAT(refused.err, HasSubstr("out.csv exists"));
    EXPECT_THAT(refused.err, HasSubstr("--yes"));
    EXPECT_EQ(T.Read("out.csv"), "old\n");
    for (const char* agree : {"--yes", "--force"}) {
        const ToolResult replaced = T.Run(std::string("export D.DAT CLIENTS.DAT out.csv --limit 1 ") + agree);
        EXPECT_EQ(replaced.status, 0) << replaced.err;
        EXPECT_EQ(T.Read("out.csv"), "Code,Имя,Town,Price\n1,Иванов,Москва,12.5\n");
    }
    // A failed export (a key the file lacks) leaves the old file as it was.
    EXPECT_EQ(T.Run("export D.DAT CLIENTS.DAT out.csv --key 5 --yes").status, 1);
    EXPECT_EQ(T.Read("out.csv"), "Code,Имя,Town,Price\n1,Иванов,Москва,12.5\n");
    // "-" is standard output; browse's selection options choose the records.
    const ToolResult piped = T.Run("export D.DAT CLIENTS.DAT - --key 1 --from Москва --to Москва --format json");
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.out, "[\n  {\"Code\": 1, \"Имя\": \"Иванов\", \"Town\": \"Москва\", \"Price\": 12.5},\n"
                         "  {\"Code\": 3, \"Имя\": \"Сидоров\", \"Town\": \"Москва\", \"Price\": 0.01}\n]\n");
    EXPECT_THAT(piped.err, HasSubstr("Exported 2 record(s)"));
    for (const auto& entry : std::filesystem::directory_iterator(T.Dir().Path()))
        EXPECT_THAT(entry.path().filename().string(), Not(HasSubstr("out.csv."))); // no temporary left behind
}

TEST_F(BtrToolData, ImportReadsStandardInputAByteOrderMarkAndCrlf) {
    T.Write("more.csv", "\xEF\xBB\xBF" "Code,Имя\r\n10,\"Two\r\nlines\"\r\n\r\n11,B\r\n");
    const ToolResult r = T.Run("import D.DAT CLIENTS.DAT -", "more.csv");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("Imported 2 record(s) into CLIENTS.DAT from standard input"));
    EXPECT_EQ(T.Run("browse D.DAT CLIENTS.DAT --from 10 --format csv").out,
              "Code,Имя,Town,Price\n10,\"Two\r\nlines\",,0\n11,B,,0\n");
}

TEST_F(BtrToolData, UpdateAndDeleteChangeAllMatchingRecordsOrNone) {
    const ToolResult updated = T.Run("update D.DAT CLIENTS.DAT Price=1.5 --where Town=Москва");
    EXPECT_EQ(updated.status, 0) << updated.err;
    EXPECT_THAT(updated.out, HasSubstr("Updated 2 record(s) of CLIENTS.DAT"));
    const std::string after = "Code,Имя,Town,Price\n1,Иванов,Москва,1.5\n2,\"Petrov, \"\"P\"\"\",Тула,7\n3,Сидоров,Москва,1.5\n";
    EXPECT_EQ(T.Run("browse D.DAT CLIENTS.DAT --format csv").out, after);
    // Every failure leaves every record as it was.
    struct Case {
        const char* args;
        const char* why;
    } cases[] = {
        {"update D.DAT CLIENTS.DAT Code=9 --all", "record 1 of 3"}, // key 0 may not change
        {"update D.DAT CLIENTS.DAT Price=1.23456 --all", "four decimal places"},
        {"update D.DAT CLIENTS.DAT Имя=Ω --where Code=1", "code page 1251 cannot hold"},
        {"update D.DAT CLIENTS.DAT Price=x --all", "record 1 of 3, field Price: \"x\""},
        {"update D.DAT CLIENTS.DAT Nope=1 --all", "no field \"Nope\""},
        {"update D.DAT CLIENTS.DAT Price=1 --where Code=x", "\"x\" is not a whole number"},
    };
    for (const Case& c : cases) {
        const ToolResult r = T.Run(c.args);
        EXPECT_EQ(r.status, 1) << c.args;
        EXPECT_THAT(r.err, HasSubstr(c.why)) << c.args;
        EXPECT_EQ(T.Run("browse D.DAT CLIENTS.DAT --format csv").out, after) << c.args;
    }
    EXPECT_THAT(T.Run("update D.DAT CLIENTS.DAT Price=1.23456 --all --lossy").out, HasSubstr("3 value(s) were stored differently"));
    EXPECT_THAT(T.Run("update D.DAT CLIENTS.DAT Price=5 --where Code=77").out, HasSubstr("Updated 0 record(s)"));
    const ToolResult deleted = T.Run("delete D.DAT CLIENTS.DAT --where Town=Москва --where Price=1.2346");
    EXPECT_EQ(deleted.status, 0) << deleted.err;
    EXPECT_THAT(deleted.out, HasSubstr("Deleted 2 record(s) from CLIENTS.DAT"));
    EXPECT_EQ(T.Run("browse D.DAT CLIENTS.DAT --format csv").out, "Code,Имя,Town,Price\n2,\"Petrov, \"\"P\"\"\",Тула,1.2346\n");
    EXPECT_EQ(T.Run("delete D.DAT CLIENTS.DAT --where Town").status, 2);
    EXPECT_THAT(T.Run("delete D.DAT CLIENTS.DAT --all").out, HasSubstr("Deleted 1 record(s)"));
    EXPECT_THAT(T.Run("browse D.DAT CLIENTS.DAT").out, HasSubstr("0 record(s)"));

    // The second record's change fails: the first one's is undone with it.
    T.Write("u.txt", "file U.DAT\nfield A Longint\nfield B Longint\nkey A mod\n");
    ASSERT_EQ(T.Run("dict import D.DAT u.txt").status, 0);
    ASSERT_EQ(T.Run("create D.DAT U.DAT").status, 0);
    T.Write("u.csv", "A,B\n1,0\n2,0\n");
    ASSERT_EQ(T.Run("import D.DAT U.DAT u.csv").status, 0);
    const ToolResult twice = T.Run("update D.DAT U.DAT A=7 --where B=0");
    EXPECT_EQ(twice.status, 1);
    EXPECT_THAT(twice.err, HasSubstr("U.DAT, record 2 of 2"));
    EXPECT_EQ(T.Run("browse D.DAT U.DAT --format csv").out, "A,B\n1,0\n2,0\n");
}

// Every type the dictionary knows, to test what import stores.
const char* kValues = R"(file V.DAT variable
field Code Longint
field Small Smallint
field Price Decimal 8
field Rate RS float
field Dbl Double
field Name ZString(WIN) 5
field Town ZString(DOS) 10
field Short LString(WIN) 4
field Ch Char
field Flag Boolean
field When Date
field At Time
field Note MEMO
key Code
)";

class BtrToolValues : public ::testing::Test {
protected:
    void SetUp() override {
        T.Write("v.txt", kValues);
        ASSERT_EQ(T.Run("dict create V.DIC").status, 0);
        ASSERT_EQ(T.Run("dict import V.DIC v.txt").status, 0);
        ASSERT_EQ(T.Run("create V.DIC V.DAT").status, 0);
    }
    // Imports one good row and then `value` into `column`.
    ToolResult Import(const std::string& column, const std::string& value, const std::string& options = "") {
        std::string quoted = "\"";
        for (char c : value) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
        T.Write("in.csv", "Code," + column + "\n1,\n2," + quoted + "\"\n");
        return T.Run("import V.DIC V.DAT in.csv " + options);
    }
    ToolRunner T;
};

TEST_F(BtrToolValues, AValueStoredDifferentlyStopsTheImportNamingRowColumnAndValue) {
    struct Case {
        const char* column;
        std::string value;
        const char* why; // empty: the library may refuse the value itself
    } cases[] = {
        {"Price", "12.99", "would be stored as \"12\" (a Decimal holds whole numbers)"},
        {"Price", "12345678901234567", ""}, // the library refuses it, or it reads back as 345678901234568
        {"Rate", "1e300", ""},
        {"Rate", "1.23456", "would be stored as \"1.2346\" (an RS float keeps four decimal places)"},
        {"Dbl", "3.1415926535897932", "would be stored as \"3.141592653589793\" (more digits than a double holds)"},
        {"Name", "abcdef", "would be stored as \"abcd\" (longer than the field's 4 character(s))"},
        {"Short", "abcdef", "would be stored as \"abc\""},
        {"Ch", "ab", "would be stored as \"a\""},
        {"Name", "日本", "code page 1251 cannot hold \"日\""},
        {"Town", "€", "cannot be stored (code page 866 cannot hold \"€\")"},
        {"Name", "\xFF\xFE", "(not valid UTF-8)"},
        {"Note", "a\xC0", "(not valid UTF-8)"},
        {"When", "2024-01-01 10:30", "(a Date keeps no time of day)"},
        {"At", "10:00:00.123", "(a Time keeps hundredths of a second)"},
        {"Flag", "maybe", "is not a boolean"},
        {"Small", "40000", ""},
        {"Small", "1.5", ""},
        {"When", "2024-02-30", ""},
    };
    for (const Case& c : cases) {
        const ToolResult r = Import(c.column, c.value);
        const std::string at = "in.csv, row 3, column " + std::string(c.column) + ": \"" + c.value + "\"";
        EXPECT_EQ(r.status, 1) << at;
        EXPECT_THAT(r.err, HasSubstr(at)) << r.err;
        EXPECT_THAT(r.err, HasSubstr(c.why)) << at;
        EXPECT_THAT(r.err, HasSubstr("nothing was imported")) << at;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_THAT(T.Run("browse V.DIC V.DAT").out, HasSubstr("0 record(s)")) << at;
        if (*c.why && std::string(c.why).find("boolean") == std::string::npos) {
            // --lossy stores it as the field can, and says so.
            const ToolResult lossy = Import(c.column, c.value, "--lossy");
            EXPECT_EQ(lossy.status, 0) << lossy.err;
            EXPECT_THAT(lossy.out, HasSubstr("1 value(s) were stored differently (--lossy); the first: " + at)) << at;
            EXPECT_EQ(T.Run("delete V.DIC V.DAT --all").status, 0);
        }
    }
}

TEST_F(BtrToolValues, ValuesTheFieldsHoldComeBackAsTheyWereWritten) {
    struct Case {
        const char* column;
        std::string value, back; // back: as export writes it
    } cases[] = {
        {"Price", "12.0", "12"},         {"Price", "-000123", "-123"},   {"Price", "999999999999999", "999999999999999"},
        {"Rate", "0.1", "0.1"},          {"Rate", "-12.3456", "-12.3456"}, {"Rate", "1e3", "1000"},
        {"Dbl", "3.141592653589793", "3.141592653589793"}, {"Dbl", "1e-300", "1e-300"}, {"Dbl", "0.30000000000000004", "0.30000000000000004"},
        {"Dbl", "123456789012345680000", "123456789012345680000"}, {"Dbl", "1e21", "1e+21"},
        {"Small", "-32768", "-32768"},   {"Flag", "YES", "true"},      {"Flag", "0", "false"},
        {"Flag", "True", "true"},        {"Flag", "n", "false"},       {"When", "31.12.2024", "2024-12-31"},
        {"At", "10:00", "10:00:00"},     {"At", "23:59:59.99", "23:59:59.990"}, {"Name", "Ёж", "Ёж"},
        {"Town", "Ёж№", "Ёж№"},          {"Short", "абв", "абв"},       {"Ch", "Я", "Я"},
        {"Note", "Две\nстроки, €", "\"Две\nстроки, €\""},
    };
    for (const Case& c : cases) {
        const ToolResult r = Import(c.column, c.value);
        EXPECT_EQ(r.status, 0) << c.column << "=" << c.value << ": " << r.err;
        const ToolResult out = T.Run("export V.DIC V.DAT - --from 2");
        const std::string header = out.out.substr(0, out.out.find('\n'));
        std::vector<std::string> names;
        std::istringstream split(header);
        for (std::string n; std::getline(split, n, ',');) names.push_back(n);
        const size_t col = static_cast<size_t>(std::find(names.begin(), names.end(), c.column) - names.begin());
        // The value sits after `col` commas of the second row (the others hold no commas).
        std::string row = out.out.substr(out.out.find('\n') + 1);
        size_t at = 0;
        for (size_t i = 0; i < col; ++i) at = row.find(',', at) + 1;
        EXPECT_EQ(row.substr(at, c.back.size()), c.back) << c.column << "=" << c.value << "\n" << out.out;
        ASSERT_EQ(T.Run("delete V.DIC V.DAT --all").status, 0);
        // What export wrote imports to the same value.
        T.Write("again.csv", out.out);
        EXPECT_EQ(T.Run("import V.DIC V.DAT again.csv").status, 0) << c.column << "=" << c.value;
        EXPECT_EQ(T.Run("export V.DIC V.DAT - --from 2").out, out.out);
        ASSERT_EQ(T.Run("delete V.DIC V.DAT --all").status, 0);
    }
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
    EXPECT_EQ(std::count(again.err.begin(), again.err.end(), '?'), 1) << again.err; // one question for all files
    EXPECT_THAT(again.err, HasSubstr("out"));
    EXPECT_THAT(t.Run("stat out/ORDERS.DAT").out, HasSubstr("records 4000"));
    const ToolResult agreed = t.Run("demo out --yes");
    EXPECT_EQ(agreed.status, 0);
    EXPECT_EQ(std::count(agreed.err.begin(), agreed.err.end(), '?'), 1) << agreed.err;

    // A damaged file: a read error in the middle stops browse, export and a
    // scanning find with one line and a failure status; the old export stays.
    {
        std::fstream f(t.File("out/ORDERS.DAT"), std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(std::filesystem::file_size(t.File("out/ORDERS.DAT")) / 2));
        const std::string junk(4096, '\xFF');
        f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
    }
    const std::string before = t.Read("orders.csv");
    for (const char* args : {"export out/DEMO.DIC out/ORDERS.DAT orders.csv --yes", "browse out/DEMO.DIC out/ORDERS.DAT",
                             "find out/DEMO.DIC out/ORDERS.DAT Note=nothing-like-it"}) {
        const ToolResult r = t.Run(args);
        EXPECT_NE(r.status, 0) << args;
        const std::string errors = r.err.substr(r.err.find("? yes") == std::string::npos ? 0 : r.err.find('\n') + 1);
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << args << "\n" << r.err;
        EXPECT_THAT(r.out, Not(HasSubstr("record(s)"))) << args;
    }
    EXPECT_EQ(t.Read("orders.csv"), before);
}

} // namespace
} // namespace btr::test
