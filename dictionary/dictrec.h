// The dictionary entry and the field-type table.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/keyorder.h"
#include "platform/endian.h"

namespace btr {

// Entry types.
constexpr int16_t etFile = 1;
constexpr int16_t etField = 2;
constexpr int16_t etKeySegment = 3;

// Key flags are the engine's (engine/keyorder.h), and one of the dictionary's own.
constexpr uint16_t kfAutoIncrement = 0x8000; // the dictionary's own mark

// Longest dictionary name in 1251 bytes: the texts are zero-terminated key
// segments of 21 bytes.
constexpr size_t kDictNameMax = 20;

#pragma pack(push, 1)
// One dictionary entry, 141 bytes, the record of the dictionary file.
struct DictRec {
    LEInt16 EType;
    char Owner[21];
    LEInt32 Number;
    char Name[21];
    LE16 IType;
    LE16 KeyFlags;
    LEInt32 Length;
    uint8_t Reserve2[14];
    char Remark[71];

    // Texts as UTF-8, read up to the first zero byte or the end of the array.
    std::string OwnerText() const;
    std::string NameText() const;
    std::string RemarkText() const;
    // Store UTF-8 text as 1251; a name longer than 20 bytes in 1251 raises
    // EBtrieve rather than being cut. The rest of the array is zeroed.
    void SetOwner(std::string_view utf8);
    void SetName(std::string_view utf8);
    void SetRemark(std::string_view utf8); // remarks are cut at 70 bytes

    void Clear();
};
#pragma pack(pop)
static_assert(sizeof(DictRec) == 141);

// Field types, the index into Types.
enum TBFieldType : int32_t {
    btNone = 0,
    btZStringDOS = 1, // OEM (866) text ended by a zero
    btSmallint = 2,
    btLongint = 3,
    btDouble = 4,
    btDate = 5,
    btTime = 6,
    btDoubleM = 7,
    btSNR = 8,
    btZStringWIN = 9, // ANSI (1251) text ended by a zero
    btExtended = 10,
    btExtendedM = 11,
    btBoolean = 12,
    btWord = 13,
    btString = 14,    // ANSI text filling the field
    btLStringDOS = 15, // a length byte, then OEM text
    btLStringWIN = 16, // a length byte, then ANSI text
    btDecimal = 17,   // packed decimal digits, the sign in the last nibble
    btBLOB = 18,
    btMEMO = 19,
    btGraphic = 20,
    btRSFloat = 21,   // a signed 64-bit count of ten-thousandths
    btChar = 22,
};

// One row of the field-type table.
struct TFieldTypeInfo {
    std::string_view Name;
    int32_t Len;     // default length, 0: chosen per field
    int32_t KeyType; // engine key type of a segment over such a field
    bool LenEdit;    // the user may edit the length
};

constexpr int kFieldTypeCount = 23;
extern const std::array<TFieldTypeInfo, kFieldTypeCount> Types;

// The type code whose name equals `name` exactly; 1 ("ZString(DOS)") when
// none does. Code 0 is never produced.
int32_t StrToFType(std::string_view name);

} // namespace btr
