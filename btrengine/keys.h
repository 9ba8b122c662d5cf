// Key segments and their encoding: every key value becomes a byte string
// whose plain unsigned comparison is the key order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace btr::engine {

// Segment flags.
constexpr uint16_t kDup = 0x0001;
constexpr uint16_t kModifiable = 0x0002;
constexpr uint16_t kBinary = 0x0004;
constexpr uint16_t kNullAll = 0x0008;
constexpr uint16_t kSegmented = 0x0010;
constexpr uint16_t kAltCol = 0x0020;
constexpr uint16_t kDescending = 0x0040;
constexpr uint16_t kExtType = 0x0100;
constexpr uint16_t kNullAny = 0x0200;
constexpr uint16_t kNoCase = 0x0400;

// Key types.
enum KeyType : uint8_t {
    ktString = 0, ktInteger = 1, ktFloat = 2, ktDate = 3, ktTime = 4, ktDecimal = 5, ktLogical = 7,
    ktNumeric = 8, ktLString = 10, ktZString = 11, ktUnsigned = 14, ktAutoInc = 15,
};

struct Segment {
    uint16_t pos = 0; // 1-based
    uint16_t len = 0;
    uint16_t flags = 0;
    uint8_t type = 0;
    uint8_t nullValue = 0;

    // The effective type: without the extended-type flag a segment is a
    // string, or unsigned binary with the binary flag.
    uint8_t Type() const { return (flags & kExtType) ? type : static_cast<uint8_t>((flags & kBinary) ? ktUnsigned : ktString); }
};

struct Key {
    std::vector<Segment> segments;
    bool Duplicates() const { return segments.front().flags & kDup; }
    bool Modifiable() const { return segments.front().flags & kModifiable; }
    bool AutoIncrement() const;
    // Bytes of the key value as callers pass it: the segments end to end.
    size_t Length() const;
};

// Whether a type is known and the length suits it.
bool ValidTypeLength(uint8_t type, uint16_t len);

// Why a key definition is refused, as an engine status (0: valid).
int ValidateKey(const Key& key, uint16_t recordLen, bool hasAcs);

// Upper-case folding of ASCII and of the Cyrillic letters where code pages
// 866 and 1251 agree.
uint8_t FoldCase(uint8_t c);

// The ordered encoding of a key value; nullopt when the record is not to be
// indexed on this key (a null key). `value` holds the segments end to end.
std::optional<std::string> EncodeKey(const Key& key, const uint8_t* value, const uint8_t* acs);
// The same, null or not: what a search for that value compares against.
std::string EncodeValue(const Key& key, const uint8_t* value, const uint8_t* acs);
// The segments of a record end to end, as the key buffer carries them.
std::string ExtractKey(const Key& key, const uint8_t* record);

} // namespace btr::engine
