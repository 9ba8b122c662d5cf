// Case-insensitive keys over Russian text in both code pages, at the entry.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/btrengine/entry.h"
#include "tests/support/tempdir.h"

namespace {

constexpr uint16_t kRecLen = 24;

// One zstring key over the record's first 20 bytes, case-insensitive, with
// duplicates.
class Collation : public ::testing::Test {
protected:
    void SetUp() override {
        uint8_t spec[32] = {};
        Put16(spec, kRecLen);
        Put16(spec + 2, 1024);
        Put16(spec + 4, 1);
        Put16(spec + 16, 1);
        Put16(spec + 18, 20);
        Put16(spec + 20, 0x0100 | 0x0400 | 0x0001);
        spec[26] = 11; // zstring
        std::string path = FDir.File("C.DAT");
        int32_t len = sizeof spec;
        ASSERT_EQ(BTRCALL(14, nullptr, spec, &len, path.data(), static_cast<uint8_t>(path.size() + 1), 0), 0);
        len = 0;
        ASSERT_EQ(BTRCALL(0, FPos, nullptr, &len, path.data(), static_cast<uint8_t>(path.size() + 1), 0), 0);
    }
    void TearDown() override {
        int32_t len = 0;
        BTRCALL(1, FPos, nullptr, &len, nullptr, 0, 0);
    }
    static void Put16(uint8_t* p, uint16_t v) {
        p[0] = static_cast<uint8_t>(v);
        p[1] = static_cast<uint8_t>(v >> 8);
    }
    void Insert(const std::string& bytes) {
        uint8_t rec[kRecLen] = {};
        std::memcpy(rec, bytes.data(), std::min<size_t>(bytes.size(), 19));
        uint8_t key[20];
        int32_t len = kRecLen;
        ASSERT_EQ(BTRCALL(2, FPos, rec, &len, key, sizeof key, 0), 0);
    }
    // The record get-equal finds for `bytes`, or the status.
    std::string Find(const std::string& bytes) {
        uint8_t key[20] = {}, rec[kRecLen];
        std::memcpy(key, bytes.data(), std::min<size_t>(bytes.size(), 19));
        int32_t len = kRecLen;
        const int16_t st = BTRCALL(5, FPos, rec, &len, key, sizeof key, 0);
        return st ? "status " + std::to_string(st) : std::string(reinterpret_cast<char*>(rec));
    }
    std::vector<std::string> Walk() {
        std::vector<std::string> out;
        uint8_t key[20], rec[kRecLen];
        int32_t len = kRecLen;
        for (int16_t st = BTRCALL(12, FPos, rec, &len, key, sizeof key, 0); st == 0;
             len = kRecLen, st = BTRCALL(6, FPos, rec, &len, key, sizeof key, 0))
            out.emplace_back(reinterpret_cast<char*>(rec));
        return out;
    }

    btr::test::TempDir FDir;
    uint8_t FPos[128] = {};
};

// "Москва" and "москва", "Тула", "яблоко"/"ЯБЛОКО", "ёж"/"Ёж" in each code page.
const std::string k1251Upper = "\xCC\xEE\xF1\xEA\xE2\xE0", k1251Lower = "\xEC\xEE\xF1\xEA\xE2\xE0";
const std::string k866Upper = "\x8C\xAE\xE1\xAA\xA2\xA0", k866Lower = "\xAC\xAE\xE1\xAA\xA2\xA0";

TEST_F(Collation, RussianLettersMatchEitherCaseInBothCodePages) {
    Insert(k1251Upper);
    Insert(k866Lower);
    Insert("Tula");
    EXPECT_EQ(Find(k1251Lower), k1251Upper);
    EXPECT_EQ(Find(k866Upper), k866Lower);
    EXPECT_EQ(Find("TULA"), "Tula");
    EXPECT_EQ(Find("tula"), "Tula");
    // 1251 "Я"/"я" (DF/FF) and "Р"/"р" (D0/F0), 866 "Я"/"я" (9F/EF) and "Р"/"р" (90/E0).
    for (auto [upper, lower] : {std::pair{"\xDF", "\xFF"}, std::pair{"\xD0", "\xF0"}, std::pair{"\x9F", "\xEF"},
                                std::pair{"\x90", "\xE0"}, std::pair{"\xA8", "\xB8"}}) {
        Insert(std::string(upper) + "x");
        EXPECT_EQ(Find(std::string(lower) + "X"), std::string(upper) + "x") << int(uint8_t(upper[0]));
    }
}

TEST_F(Collation, FoldingKeepsTheAlphabetOrderAndDuplicates) {
    // 1251: а б ... п р ... я, upper and lower mixed; duplicates in insertion order.
    const std::vector<std::string> words = {"\xFF", "\xC0", "\xE0", "\xCF", "\xF0", "\xDF"}; // я А а П р Я
    for (const std::string& w : words) Insert(w);
    EXPECT_EQ(Walk(), (std::vector<std::string>{"\xC0", "\xE0", "\xCF", "\xF0", "\xFF", "\xDF"}));
}

TEST_F(Collation, CodePage866KeepsItsOrder) {
    // 866: а (A0) .. п (AF) before р (E0) .. я (EF); upper case sorts with lower.
    for (const std::string& w : {std::string("\xEF"), std::string("\x80"), std::string("\xE0"), std::string("\xAF"),
                                 std::string("\x9F")})
        Insert(w);
    EXPECT_EQ(Walk(), (std::vector<std::string>{"\x80", "\xAF", "\xE0", "\xEF", "\x9F"}));
}

} // namespace
