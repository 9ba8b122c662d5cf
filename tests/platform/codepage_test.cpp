#include <gtest/gtest.h>

#include "platform/codepage.h"

namespace btr {
namespace {

TEST(CodePage, EveryAnsiByteSurvivesUtf8RoundTrip) {
    std::string all;
    for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
    const std::string utf8 = AnsiToUtf8(all);
    EXPECT_EQ(Utf8ToAnsi(utf8), all);
    // Short texts and long ones are converted differently, into a string
    // the caller reuses: every length around the switch, with characters of
    // one, two and three bytes.
    std::string reused = "left over";
    for (size_t n = 0; n <= 70; ++n) {
        AnsiToUtf8(std::string(n, '\x88'), reused);
        std::string euros;
        for (size_t i = 0; i < n; ++i) euros += "€";
        EXPECT_EQ(reused, euros) << n;
        const std::string part = all.substr(n * 2, n);
        AnsiToUtf8(part, reused);
        EXPECT_EQ(reused, AnsiToUtf8(part)) << n;
        EXPECT_EQ(Utf8ToAnsi(reused), part) << n;
    }
}

TEST(CodePage, CyrillicMapsBothWays) {
    // "Привет, Ёлка" in 1251.
    const std::string ansi = "\xCF\xF0\xE8\xE2\xE5\xF2, \xA8\xEB\xEA\xE0";
    EXPECT_EQ(AnsiToUtf8(ansi), "Привет, Ёлка");
    EXPECT_EQ(Utf8ToAnsi("Привет, Ёлка"), ansi);
    EXPECT_EQ(Utf8ToAnsi("№ €"), "\xB9 \x88");
}

TEST(CodePage, UnmappableAndMalformedBecomeQuestionMarks) {
    EXPECT_EQ(Utf8ToAnsi("a中b"), "a?b");          // not in 1251
    EXPECT_EQ(Utf8ToAnsi("x😀y"), "x?y");          // four-byte sequence, one character
    EXPECT_EQ(Utf8ToAnsi("\xC0\xAF"), "?");          // overlong form
    EXPECT_EQ(Utf8ToAnsi("ab\xE2\x82"), "ab?");      // cut sequence at the end
    EXPECT_EQ(Utf8ToAnsi("\xED\xA0\x80"), "?");      // surrogate half
}

TEST(CodePage, CaseFoldingCoversLatinAndCyrillic) {
    EXPECT_EQ(AnsiUpperCase("abc\xE0\xFF\xB8"), "ABC\xC0\xDF\xA8"); // а я ё
    EXPECT_EQ(AnsiLower(0xA8), 0xB8);
    EXPECT_EQ(AnsiUpper('1'), '1');
    EXPECT_EQ(AnsiCompareTextI("\xF1\xEC\xE8\xF2", "\xD1\xCC\xC8\xD2"), 0); // смит / СМИТ
    EXPECT_LT(AnsiCompareTextI("abc", "ABD"), 0);
    EXPECT_LT(AnsiCompareTextI("ab", "ABC"), 0);
    EXPECT_EQ(Utf8CompareTextI("Имя", "иМЯ"), 0);
}

TEST(CodePage, Utf8UpperCaseFoldsOnlyWhatItCanFoldExactly) {
    const struct {
        const char* in;
        const char* out;
    } rows[] = {
        {"/data/dict.dat", "/DATA/DICT.DAT"},
        {"/данные/ёлка.ї", "/ДАННЫЕ/ЁЛКА.Ї"},
        {"/data/日/DICT.DAT", "/DATA/日/DICT.DAT"},       // kept whole, not '?'
        {"/data/月/dict.dat", "/DATA/月/DICT.DAT"},
        {"x😀é", "X😀é"},                                 // outside 1251: as it was
        {"a\xC0\xAF" "b\xE2\x82", "A\xC0\xAF" "B\xE2\x82"}, // malformed bytes stay
        {"№ €", "№ €"},
    };
    for (const auto& r : rows) EXPECT_EQ(Utf8UpperCase(r.in), r.out) << r.in;
    EXPECT_NE(Utf8UpperCase("/data/日/DICT.DAT"), Utf8UpperCase("/data/月/DICT.DAT"));
}

} // namespace
} // namespace btr
