#include <gtest/gtest.h>

#include <cstring>

#include "platform/klstrings.h"

namespace btr {
namespace {

TEST(KLStrings, CopiesNeverPassTheDestinationSize) {
    char buf[8];
    std::memset(buf, 'X', sizeof buf);
    KLStrCopy(buf, 4, "abcdef");
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(buf[4], 'X'); // nothing written past the size given

    KLStrLCopy(buf, sizeof buf, "abcdef", 2);
    EXPECT_STREQ(buf, "ab");

    std::memset(buf, 'X', sizeof buf);
    KLStrPLCopy(buf, 6, "owner-name", 8);
    EXPECT_STREQ(buf, "owner");
    EXPECT_EQ(buf[6], 'X');

    KLStrPCopy(buf, "hi");
    EXPECT_STREQ(buf, "hi");

    char none = 'X';
    KLStrPCopy(&none, 0, "abc"); // a size of 0 writes nothing
    EXPECT_EQ(none, 'X');
}

TEST(KLStrings, LengthAndPasStopAtTheBound) {
    const char field[5] = {'a', 'b', 'c', 'd', 'e'}; // no terminator
    EXPECT_EQ(KLStrLen(field, sizeof field), 5u);
    EXPECT_EQ(KLStrPas(field, sizeof field), "abcde");
    EXPECT_EQ(KLStrPas("ab\0cd", 5), "ab");
    EXPECT_EQ(KLStrLen(nullptr), 0u);
}

TEST(KLStrings, ComparisonsAreBytewiseAndCaseFolding) {
    EXPECT_LT(KLStrComp("     99", "   1234"), 0); // blank-padded positions order as numbers
    EXPECT_GT(KLStrComp("b", "a"), 0);
    EXPECT_GT(KLStrComp("\xE0", "a"), 0); // unsigned bytes
    EXPECT_EQ(KLStrIComp("Smith", "SMITH"), 0);
    EXPECT_EQ(KLStrIComp("\xF1\xEC\xE8\xF2", "\xD1\xCC\xC8\xD2"), 0);
    EXPECT_LT(KLStrIComp("smit", "SMITH"), 0);
}

} // namespace
} // namespace btr
