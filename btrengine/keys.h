// Keys of the engine: their segments, validation and the ordered encoding of
// whole key values (segment by segment, engine/keyorder).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/keyorder.h"

namespace btr::engine {

using Segment = KeySegment;

struct Key {
    std::vector<Segment> segments;
    bool Duplicates() const { return segments.front().flags & kfDuplicates; }
    bool Modifiable() const { return segments.front().flags & kfModifiable; }
    bool AutoIncrement() const;
    // Bytes of the key value as callers pass it: the segments end to end.
    size_t Length() const;
};

// Whether a type is known and the length suits it.
bool ValidTypeLength(uint8_t type, uint16_t len);

// Why a key definition is refused, as an engine status (0: valid).
int ValidateKey(const Key& key, uint16_t recordLen, bool hasAcs);

// The ordered encoding of a key value; nullopt when the record is not to be
// indexed on this key (a null key). `value` holds the segments end to end.
std::optional<std::string> EncodeKey(const Key& key, const uint8_t* value, const uint8_t* acs);
// The same, null or not: what a search for that value compares against.
std::string EncodeValue(const Key& key, const uint8_t* value, const uint8_t* acs);
// The segments of a record end to end, as the key buffer carries them.
std::string ExtractKey(const Key& key, const uint8_t* record);
// The same into a buffer of `cap` bytes, cut off where it ends.
void ExtractKey(const Key& key, const uint8_t* record, uint8_t* out, size_t cap);

} // namespace btr::engine
