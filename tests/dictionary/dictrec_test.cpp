#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "dictionary/dictrec.h"
#include "engine/btrerrors.h"

namespace btr {
namespace {

TEST(DictRec, LayoutMatchesTheFileFormat) {
    EXPECT_EQ(offsetof(DictRec, EType), 0u);
    EXPECT_EQ(offsetof(DictRec, Owner), 2u);
    EXPECT_EQ(offsetof(DictRec, Number), 23u);
    EXPECT_EQ(offsetof(DictRec, Name), 27u);
    EXPECT_EQ(offsetof(DictRec, IType), 48u);
    EXPECT_EQ(offsetof(DictRec, KeyFlags), 50u);
    EXPECT_EQ(offsetof(DictRec, Length), 52u);
    EXPECT_EQ(offsetof(DictRec, Reserve2), 56u);
    EXPECT_EQ(offsetof(DictRec, Remark), 70u);

    DictRec r{};
    r.Number = 0x01020304;
    r.EType = -2;
    const auto* b = reinterpret_cast<const unsigned char*>(&r);
    EXPECT_EQ(b[23], 0x04); // little-endian on disk
    EXPECT_EQ(b[26], 0x01);
    EXPECT_EQ(b[0], 0xFE);
    EXPECT_EQ(b[1], 0xFF);
}

TEST(DictRec, TextsStopAtZeroOrTheEndOfTheArray) {
    DictRec r{};
    std::memset(r.Name, 'N', sizeof r.Name); // 21 characters, no zero byte
    r.Owner[0] = 'A';
    r.Owner[1] = 'B';
    EXPECT_EQ(r.NameText(), std::string(21, 'N'));
    EXPECT_EQ(r.OwnerText(), "AB");
}

TEST(DictRec, TextsAreUtf8OutsideAnd1251Inside) {
    DictRec r{};
    r.SetName("Клиенты");
    EXPECT_EQ(static_cast<unsigned char>(r.Name[0]), 0xCA); // К in 1251
    EXPECT_EQ(r.Name[7], 0);
    EXPECT_EQ(r.NameText(), "Клиенты");

    r.SetOwner(std::string(20, 'x')); // exactly 20 fits
    EXPECT_EQ(r.OwnerText().size(), 20u);
    // 21 Cyrillic letters are 42 UTF-8 bytes but 21 bytes in 1251: too long.
    try {
        r.SetName("ЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖ");
        FAIL() << "a name over 20 characters must be refused";
    } catch (const EBtrieve& e) {
        EXPECT_NE(e.Message().find("20"), std::string::npos);
        EXPECT_EQ(r.NameText(), "Клиенты"); // unchanged
    }
    r.SetRemark(std::string(100, 'r')); // remarks are free text: cut, not refused
    EXPECT_EQ(r.RemarkText().size(), 70u);
}

TEST(FieldTypes, TableAndNames) {
    ASSERT_EQ(Types.size(), 23u);
    EXPECT_EQ(Types[0].Name, "");
    EXPECT_EQ(Types[17].Name, "Decimal");
    EXPECT_EQ(Types[17].Len, 10);
    EXPECT_EQ(Types[17].KeyType, 8);
    EXPECT_TRUE(Types[17].LenEdit);
    EXPECT_EQ(Types[5].KeyType, 3);
    EXPECT_EQ(Types[21].Name, "RS float");
    EXPECT_EQ(Types[21].KeyType, 1);
    EXPECT_EQ(Types[12].Len, 1);
    EXPECT_TRUE(Types[12].LenEdit);

    EXPECT_EQ(StrToFType("Char"), 22);
    EXPECT_EQ(StrToFType("Smallint"), 2);
    EXPECT_EQ(StrToFType("smallint"), 1); // exact comparison, miss falls back to 1
    EXPECT_EQ(StrToFType(""), 1);         // code 0 is never produced
    for (int code = 1; code < kFieldTypeCount; ++code) EXPECT_EQ(StrToFType(Types[code].Name), code);
}

} // namespace
} // namespace btr
