#include "btrengine/keys.h"

#include <algorithm>
#include <cstring>

namespace btr::engine {

bool Key::AutoIncrement() const {
    for (const Segment& s : segments)
        if (s.Type() == ktAutoInc) return true;
    return false;
}

size_t Key::Length() const {
    size_t n = 0;
    for (const Segment& s : segments) n += s.len;
    return n;
}

namespace {

bool ValidLength(uint8_t type, uint16_t len) {
    switch (type) {
    case ktInteger: return len == 1 || len == 2 || len == 4 || len == 8;
    case ktFloat: return len == 4 || len == 8 || len == 10;
    case ktDate: case ktTime: return len == 4;
    case ktLogical: return len == 1 || len == 2;
    case ktAutoInc: return len == 2 || len == 4 || len == 8;
    case ktLString: return len >= 1;
    default: return len >= 1;
    }
}

bool KnownType(uint8_t type) {
    switch (type) {
    case ktString: case ktInteger: case ktFloat: case ktDate: case ktTime: case ktDecimal: case ktLogical:
    case ktNumeric: case ktLString: case ktZString: case ktUnsigned: case ktAutoInc:
        return true;
    default:
        return false;
    }
}

bool IsNullSegment(const Segment& s, const uint8_t* p) {
    for (size_t i = 0; i < s.len; ++i)
        if (p[i] != s.nullValue) return false;
    return true;
}

} // namespace

bool ValidTypeLength(uint8_t type, uint16_t len) { return KnownType(type) && len > 0 && ValidLength(type, len); }

int ValidateKey(const Key& key, uint16_t recordLen, bool hasAcs) {
    if (key.segments.empty()) return 26;
    size_t total = 0;
    const uint16_t first = key.segments.front().flags;
    for (const Segment& s : key.segments) {
        const uint8_t type = s.Type();
        if (!KnownType(type)) return 49;
        if (s.len == 0 || !ValidLength(type, s.len)) return 29;
        if (s.pos == 0 || static_cast<uint32_t>(s.pos) + s.len - 1 > recordLen) return 27;
        if ((s.flags & kfAltCol) && !hasAcs) return 48;
        // Duplicates and modifiability belong to the whole key.
        if ((s.flags & (kfDuplicates | kfModifiable)) != (first & (kfDuplicates | kfModifiable))) return 45;
        if (type == ktAutoInc && (s.flags & kfDuplicates)) return 45;
        total += s.len;
    }
    if (total > 255) return 29;
    return 0;
}

std::optional<std::string> EncodeKey(const Key& key, const uint8_t* value, const uint8_t* acs) {
    const uint16_t flags = key.segments.front().flags;
    bool allNull = true, anyNull = false;
    size_t off = 0;
    for (const Segment& s : key.segments) {
        const bool null = IsNullSegment(s, value + off);
        allNull = allNull && null;
        anyNull = anyNull || null;
        off += s.len;
    }
    if (((flags & kfNullAll) && allNull) || ((flags & kfNullAny) && anyNull)) return std::nullopt;
    return EncodeValue(key, value, acs);
}

std::string EncodeValue(const Key& key, const uint8_t* value, const uint8_t* acs) {
    std::string out;
    size_t off = 0;
    for (const Segment& s : key.segments) {
        EncodeSegment(out, s, value + off, acs);
        off += s.len;
    }
    return out;
}

std::string ExtractKey(const Key& key, const uint8_t* record) {
    std::string out(key.Length(), '\0');
    ExtractKey(key, record, reinterpret_cast<uint8_t*>(out.data()), out.size());
    return out;
}

void ExtractKey(const Key& key, const uint8_t* record, uint8_t* out, size_t cap) {
    size_t off = 0;
    for (const Segment& s : key.segments) {
        if (off >= cap) return;
        const size_t n = std::min<size_t>(s.len, cap - off);
        std::memcpy(out + off, record + s.pos - 1, n);
        off += n;
    }
}

} // namespace btr::engine
