#include <gtest/gtest.h>

#include "engine/btrtools.h"

namespace btr {
namespace {

TEST(CodePageTables, ListedPairsAndRoundTrip) {
    EXPECT_EQ(StrDOS2Win("\x80"), "\xC0");
    EXPECT_EQ(StrWin2Dos("\xC0"), "\x80");
    EXPECT_EQ(StrDOS2Win("\xF1"), "\xB8"); // ё
    EXPECT_EQ(StrWin2Dos("\xA8"), "\xF0"); // Ё
    EXPECT_EQ(StrWin2Dos("\x98"), "\xC6"); // no character in 1251, still a place in 866
    EXPECT_EQ(StrDOS2Win("\xC6"), "\x98");
    EXPECT_EQ(StrDOS2Win("\xAF\xE0\xEF"), "\xEF\xF0\xFF"); // п р я
    EXPECT_EQ(StrDOS2Win("\xFE\xFF"), std::string("\x80\x81"));
    std::string all;
    for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
    const std::string win = StrDOS2Win(all);
    EXPECT_EQ(win.size(), 256u);
    EXPECT_EQ(StrWin2Dos(win), all);
    EXPECT_EQ(StrDOS2Win(std::string("a\0b", 3)), std::string("a\0b", 3)); // zero is a byte like any other
    EXPECT_EQ(StrDOS2Win(""), "");
}

TEST(Helpers, CheckFillAndFreeObj) {
    uint8_t buf[10] = {};
    EXPECT_TRUE(CheckFill(buf, 10, 0));
    buf[9] = 1;
    EXPECT_FALSE(CheckFill(buf, 10, 0));
    EXPECT_TRUE(CheckFill(nullptr, 0, 7));

    static int destroyed;
    destroyed = 0; // from zero in every run of the test
    struct Obj {
        ~Obj() { ++destroyed; }
    };
    auto* raw = new Obj;
    FreeObj(raw);
    FreeObj(raw); // the second finds nothing
    EXPECT_EQ(raw, nullptr);
    auto owned = std::make_unique<Obj>();
    FreeObj(owned);
    EXPECT_EQ(destroyed, 2);
    EXPECT_EQ(Zero, 0);
}

} // namespace
} // namespace btr
