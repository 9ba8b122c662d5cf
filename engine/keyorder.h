// The engine's key order, segment by segment: every key value becomes a byte
// string whose plain unsigned comparison is the order the engine keeps. The
// embedded engine indexes with it and the dataset compares with it, so both
// see one order for every key type and flag.
#pragma once

#include <cstdint>
#include <string>

namespace btr {

// Key segment flags, as the engine's create and statistics buffers carry them.
constexpr uint16_t kfDuplicates = 0x0001;
constexpr uint16_t kfModifiable = 0x0002;
constexpr uint16_t kfBinary = 0x0004;
constexpr uint16_t kfNullAll = 0x0008; // all segments null: not indexed
constexpr uint16_t kfSegmented = 0x0010; // another segment of the same key follows
constexpr uint16_t kfAltCol = 0x0020;
constexpr uint16_t kfDescending = 0x0040;
constexpr uint16_t kfExtType = 0x0100;
constexpr uint16_t kfNullAny = 0x0200; // any segment null: not indexed
constexpr uint16_t kfNoCase = 0x0400;

// Extended key types.
enum TKeyType : uint8_t {
    ktString = 0, ktInteger = 1, ktFloat = 2, ktDate = 3, ktTime = 4, ktDecimal = 5, ktLogical = 7,
    ktNumeric = 8, ktLString = 10, ktZString = 11, ktUnsigned = 14, ktAutoInc = 15,
};

struct KeySegment {
    uint16_t pos = 0; // 1-based
    uint16_t len = 0;
    uint16_t flags = 0;
    uint8_t type = 0;
    uint8_t nullValue = 0;

    // The type the segment is ordered by: without the extended-type flag a
    // segment is a string, or unsigned binary with the binary flag.
    uint8_t Type() const {
        return (flags & kfExtType) ? type : static_cast<uint8_t>((flags & kfBinary) ? ktUnsigned : ktString);
    }
};

// Upper-case folding of ASCII and of the Cyrillic letters where code pages
// 866 and 1251 agree.
uint8_t FoldCase(uint8_t c);

// Appends the ordered encoding of one segment's `s.len` bytes at `p`. `acs` is
// the file's 256-byte collating table, or null.
void EncodeSegment(std::string& out, const KeySegment& s, const uint8_t* p, const uint8_t* acs);

// Writes `s.len` bytes of the segment's smallest (or, with `largest`, its
// largest) value in key order: what a search fills a segment with when it
// wants everything after (or before) the segments it names.
void SegmentExtreme(const KeySegment& s, bool largest, const uint8_t* acs, uint8_t* out);

} // namespace btr
