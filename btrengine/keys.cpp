#include "btrengine/keys.h"

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

// Big-endian copy of a little-endian number.
void Reverse(std::string& out, const uint8_t* p, size_t n) {
    for (size_t i = n; i-- > 0;) out += static_cast<char>(p[i]);
}

void EncodeSigned(std::string& out, const uint8_t* p, size_t n) {
    const size_t at = out.size();
    Reverse(out, p, n);
    out[at] = static_cast<char>(out[at] ^ 0x80);
}

void EncodeFloat(std::string& out, const uint8_t* p, size_t n) {
    const size_t at = out.size();
    Reverse(out, p, n);
    const bool negative = static_cast<uint8_t>(out[at]) & 0x80;
    for (size_t i = at; i < out.size(); ++i)
        out[i] = static_cast<char>(negative ? ~out[i] : (i == at ? out[i] ^ 0x80 : out[i]));
}

// Sign first (negative before positive), then the digits; a negative
// value's digits are inverted so that larger magnitudes sort first.
void EncodeDigits(std::string& out, bool negative, const std::string& digits) {
    out += negative ? '\x00' : '\x01';
    for (char d : digits) out += negative ? static_cast<char>(9 - d) : d;
}

void EncodeDecimal(std::string& out, const uint8_t* p, size_t n) {
    std::string digits;
    for (size_t i = 0; i < n; ++i) {
        digits += static_cast<char>((p[i] >> 4) % 10);
        if (i + 1 < n) digits += static_cast<char>((p[i] & 0x0F) % 10);
    }
    const bool negative = n > 0 && (p[n - 1] & 0x0F) == 0x0D;
    EncodeDigits(out, negative, digits);
}

// Right-justified digits with the sign overpunched in the last byte.
void EncodeNumeric(std::string& out, const uint8_t* p, size_t n) {
    std::string digits;
    bool negative = false, valid = n > 0;
    for (size_t i = 0; i < n && valid; ++i) {
        const uint8_t c = p[i];
        if (c >= '0' && c <= '9') {
            digits += static_cast<char>(c - '0');
        } else if (c == ' ' && digits.empty() && i + 1 < n) {
            digits += '\0'; // leading blanks are leading zeros
        } else if (i + 1 == n && (c == '{' || (c >= 'A' && c <= 'I'))) {
            digits += static_cast<char>(c == '{' ? 0 : c - 'A' + 1);
        } else if (i + 1 == n && (c == '}' || (c >= 'J' && c <= 'R'))) {
            digits += static_cast<char>(c == '}' ? 0 : c - 'J' + 1);
            negative = true;
        } else {
            valid = false;
        }
    }
    if (valid) {
        EncodeDigits(out, negative, digits);
    } else {
        out += '\x02'; // not a number: after every number, as plain bytes
        out.append(reinterpret_cast<const char*>(p), n);
    }
}

uint8_t Collate(uint8_t c, const Segment& s, const uint8_t* acs) {
    if ((s.flags & kAltCol) && acs) return acs[c];
    if (s.flags & kNoCase) return FoldCase(c);
    return c;
}

void EncodeText(std::string& out, const uint8_t* p, size_t n, const Segment& s, const uint8_t* acs) {
    for (size_t i = 0; i < n; ++i) out += static_cast<char>(Collate(p[i], s, acs));
}

void EncodeSegment(std::string& out, const Segment& s, const uint8_t* p, const uint8_t* acs) {
    const size_t at = out.size();
    const size_t n = s.len;
    switch (s.Type()) {
    case ktInteger: case ktAutoInc: EncodeSigned(out, p, n); break;
    case ktFloat: EncodeFloat(out, p, n); break;
    case ktDate:
        out += static_cast<char>(p[3]);
        out += static_cast<char>(p[2]);
        out += static_cast<char>(p[1]);
        out += static_cast<char>(p[0]);
        break;
    case ktTime: Reverse(out, p, 4); break;
    case ktDecimal: EncodeDecimal(out, p, n); break;
    case ktLogical: case ktUnsigned: Reverse(out, p, n); break;
    case ktNumeric: EncodeNumeric(out, p, n); break;
    case ktLString: {
        const size_t len = std::min<size_t>(p[0], n - 1);
        EncodeText(out, p + 1, len, s, acs);
        out.append(n - 1 - len, '\0');
        out += static_cast<char>(len); // a prefix sorts before what extends it
        break;
    }
    case ktZString: {
        const size_t len = strnlen(reinterpret_cast<const char*>(p), n);
        EncodeText(out, p, len, s, acs);
        out.append(n - len, '\0'); // what follows the zero is ignored
        break;
    }
    default: EncodeText(out, p, n, s, acs); break;
    }
    if (s.flags & kDescending)
        for (size_t i = at; i < out.size(); ++i) out[i] = static_cast<char>(~out[i]);
}

bool IsNullSegment(const Segment& s, const uint8_t* p) {
    for (size_t i = 0; i < s.len; ++i)
        if (p[i] != s.nullValue) return false;
    return true;
}

} // namespace

bool ValidTypeLength(uint8_t type, uint16_t len) { return KnownType(type) && len > 0 && ValidLength(type, len); }

// Case folding for segments that may hold code page 866 or 1251 text: the
// engine cannot tell which, so it folds both. Every Russian letter's two
// cases meet in one value in either code page:
//   a-z -> A-Z
//   A0-AF (866 lower a-p)                 -> 80-8F (866 upper)
//   90-9F (866 upper R-Ya), E0-EF (866 lower r-ya, 1251 lower a-p) -> C0-CF (1251 upper)
//   F0-FF (1251 lower r-ya)               -> D0-DF (1251 upper)
//   B8 (1251 yo)                          -> 88, like A8 (1251 Yo) by the A0-AF rule
// The price: a few non-letters fold onto letters (1251 quotes 91-97 and
// 866 box-drawing characters), and the code pages' other letters (866 Yo,
// Ukrainian and Belarusian letters) compare with their case.
uint8_t FoldCase(uint8_t c) {
    if (c >= 'a' && c <= 'z') return static_cast<uint8_t>(c - 0x20);
    if (c >= 0xA0 && c <= 0xAF) return static_cast<uint8_t>(c - 0x20);
    if (c >= 0x90 && c <= 0x9F) return static_cast<uint8_t>(c + 0x30);
    if (c >= 0xE0 && c <= 0xEF) return static_cast<uint8_t>(c - 0x20);
    if (c >= 0xF0) return static_cast<uint8_t>(c - 0x20);
    if (c == 0xB8) return 0x88;
    return c;
}

int ValidateKey(const Key& key, uint16_t recordLen, bool hasAcs) {
    if (key.segments.empty()) return 26;
    size_t total = 0;
    const uint16_t first = key.segments.front().flags;
    for (const Segment& s : key.segments) {
        const uint8_t type = s.Type();
        if (!KnownType(type)) return 49;
        if (s.len == 0 || !ValidLength(type, s.len)) return 29;
        if (s.pos == 0 || static_cast<uint32_t>(s.pos) + s.len - 1 > recordLen) return 27;
        if ((s.flags & kAltCol) && !hasAcs) return 48;
        // Duplicates and modifiability belong to the whole key.
        if ((s.flags & (kDup | kModifiable)) != (first & (kDup | kModifiable))) return 45;
        if (type == ktAutoInc && (s.flags & kDup)) return 45;
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
    if (((flags & kNullAll) && allNull) || ((flags & kNullAny) && anyNull)) return std::nullopt;
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
    std::string out;
    for (const Segment& s : key.segments) out.append(reinterpret_cast<const char*>(record + s.pos - 1), s.len);
    return out;
}

} // namespace btr::engine
