// btrtool over keys unlike the demo's: a file whose only key is descending,
// and one keyed by a Decimal (the dictionary gives it the byte-ordered
// numeric key type). Browsing and exporting show every record, in key order.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/apps/tool_runner.h"

namespace btr::test {
namespace {

using ::testing::HasSubstr;

const char* kDescription = R"(file DOWN.DAT
field Id Longint
field Name ZString(WIN) 12
key Id desc

file SUMS.DAT
field Amount Decimal 4
field Name ZString(WIN) 12
key Amount dup
)";

// The first column of each data line of a CSV.
std::vector<std::string> FirstColumn(const std::string& csv) {
    std::vector<std::string> out;
    size_t at = csv.find('\n') + 1; // past the header
    while (at < csv.size()) {
        const size_t end = csv.find('\n', at);
        const std::string line = csv.substr(at, end - at);
        out.push_back(line.substr(0, line.find(',')));
        at = end == std::string::npos ? csv.size() : end + 1;
    }
    return out;
}

TEST(BtrToolKeys, DescendingAndDecimalKeysBrowseAndExportEveryRecord) {
    ToolRunner t;
    t.Write("desc.txt", kDescription);
    ASSERT_EQ(t.Run("dict create D.DAT").status, 0);
    ASSERT_EQ(t.Run("dict import D.DAT desc.txt").status, 0);
    for (const char* file : {"DOWN.DAT", "SUMS.DAT"}) ASSERT_EQ(t.Run(std::string("create D.DAT ") + file).status, 0);
    t.Write("down.csv", "Id,Name\n-3,c\n0,z\n2,b\n7,a\n");
    t.Write("sums.csv", "Amount,Name\n-1000,neg\n0,zero\n5,five\n1000,big\n-5,minus\n");
    ASSERT_EQ(t.Run("import D.DAT DOWN.DAT down.csv").status, 0);
    ASSERT_EQ(t.Run("import D.DAT SUMS.DAT sums.csv").status, 0);

    const ToolResult down = t.Run("browse D.DAT DOWN.DAT --format csv");
    ASSERT_EQ(down.status, 0) << down.err;
    EXPECT_EQ(FirstColumn(down.out), (std::vector<std::string>{"7", "2", "0", "-3"}));
    // A range starts where the walk does: from 2 downwards.
    const ToolResult from = t.Run("browse D.DAT DOWN.DAT --format csv --from 2");
    ASSERT_EQ(from.status, 0) << from.err;
    EXPECT_EQ(FirstColumn(from.out), (std::vector<std::string>{"2", "0", "-3"}));
    ASSERT_EQ(t.Run("export D.DAT DOWN.DAT down-out.csv").status, 0);
    EXPECT_EQ(FirstColumn(t.Read("down-out.csv")), (std::vector<std::string>{"7", "2", "0", "-3"}));

    // Packed decimals under the numeric key type order as bytes: the engine's
    // walk, whatever it is, is what the tool shows, every record once.
    const ToolResult sums = t.Run("browse D.DAT SUMS.DAT --format csv");
    ASSERT_EQ(sums.status, 0) << sums.err;
    std::vector<std::string> amounts = FirstColumn(sums.out);
    ASSERT_EQ(amounts.size(), 5u);
    ASSERT_EQ(t.Run("export D.DAT SUMS.DAT sums-out.csv").status, 0);
    EXPECT_EQ(FirstColumn(t.Read("sums-out.csv")), amounts);
    std::sort(amounts.begin(), amounts.end());
    EXPECT_EQ(amounts, (std::vector<std::string>{"-1000", "-5", "0", "1000", "5"}));
    const ToolResult last = t.Run("browse D.DAT SUMS.DAT --format csv --from 1000 --to 1000");
    ASSERT_EQ(last.status, 0) << last.err;
    EXPECT_EQ(FirstColumn(last.out), (std::vector<std::string>{"1000"}));
    const ToolResult found = t.Run("find D.DAT SUMS.DAT Amount=-5");
    EXPECT_EQ(found.status, 0) << found.err;
    EXPECT_THAT(found.out, HasSubstr("minus"));
}

} // namespace
} // namespace btr::test
