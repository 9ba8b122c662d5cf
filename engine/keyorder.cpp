#include "engine/keyorder.h"

#include <algorithm>
#include <cstring>

namespace btr {

namespace {

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
void EncodeDigits(std::string& out, bool negative, const uint8_t* digits, size_t n) {
    out += negative ? '\x00' : '\x01';
    for (size_t i = 0; i < n; ++i) out += static_cast<char>(negative ? 9 - digits[i] : digits[i]);
}

void EncodeDecimal(std::string& out, const uint8_t* p, size_t n) {
    uint8_t digits[2 * 256];
    size_t count = 0;
    for (size_t i = 0; i < n; ++i) {
        digits[count++] = static_cast<uint8_t>((p[i] >> 4) % 10);
        if (i + 1 < n) digits[count++] = static_cast<uint8_t>((p[i] & 0x0F) % 10);
    }
    const bool negative = n > 0 && (p[n - 1] & 0x0F) == 0x0D;
    EncodeDigits(out, negative, digits, count);
}

// Right-justified digits with the sign overpunched in the last byte.
void EncodeNumeric(std::string& out, const uint8_t* p, size_t n) {
    uint8_t digits[256];
    size_t count = 0;
    bool negative = false, valid = n > 0;
    for (size_t i = 0; i < n && valid; ++i) {
        const uint8_t c = p[i];
        if (c >= '0' && c <= '9') {
            digits[count++] = static_cast<uint8_t>(c - '0');
        } else if (c == ' ' && count == 0 && i + 1 < n) {
            digits[count++] = 0; // leading blanks are leading zeros
        } else if (i + 1 == n && (c == '{' || (c >= 'A' && c <= 'I'))) {
            digits[count++] = static_cast<uint8_t>(c == '{' ? 0 : c - 'A' + 1);
        } else if (i + 1 == n && (c == '}' || (c >= 'J' && c <= 'R'))) {
            digits[count++] = static_cast<uint8_t>(c == '}' ? 0 : c - 'J' + 1);
            negative = true;
        } else {
            valid = false;
        }
    }
    if (valid) {
        EncodeDigits(out, negative, digits, count);
    } else {
        out += '\x02'; // not a number: after every number, as plain bytes
        out.append(reinterpret_cast<const char*>(p), n);
    }
}

bool Collated(const KeySegment& s, const uint8_t* acs) { return (s.flags & kfAltCol) && acs; }

uint8_t Collate(uint8_t c, const KeySegment& s, const uint8_t* acs) {
    if (Collated(s, acs)) return acs[c];
    if (s.flags & kfNoCase) return FoldCase(c);
    return c;
}

void EncodeText(std::string& out, const uint8_t* p, size_t n, const KeySegment& s, const uint8_t* acs) {
    for (size_t i = 0; i < n; ++i) out += static_cast<char>(Collate(p[i], s, acs));
}

// The text byte that collates lowest or highest (a zero byte cannot stand in
// a zstring's text, so `nonZero` leaves it out).
uint8_t ExtremeTextByte(const KeySegment& s, const uint8_t* acs, bool largest, bool nonZero) {
    if (!Collated(s, acs)) return largest ? 0xFF : 0x00;
    int best = nonZero ? 1 : 0;
    for (int c = best + 1; c < 256; ++c)
        if (largest ? acs[c] > acs[best] : acs[c] < acs[best]) best = c;
    return static_cast<uint8_t>(best);
}

} // namespace

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

void EncodeSegment(std::string& out, const KeySegment& s, const uint8_t* p, const uint8_t* acs) {
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
    if (s.flags & kfDescending)
        for (size_t i = at; i < out.size(); ++i) out[i] = static_cast<char>(~out[i]);
}

void SegmentExtreme(const KeySegment& s, bool largest, const uint8_t* acs, uint8_t* out) {
    const size_t n = s.len;
    if (n == 0) return;
    // A descending segment's smallest value in key order has the largest encoding.
    const bool high = largest != ((s.flags & kfDescending) != 0);
    switch (s.Type()) {
    case ktInteger: case ktAutoInc:
        std::memset(out, high ? 0xFF : 0x00, n);
        out[n - 1] = high ? 0x7F : 0x80;
        break;
    case ktFloat: // the largest positive pattern, or the "most negative" one
        std::memset(out, 0xFF, n);
        if (high) out[n - 1] = 0x7F;
        break;
    case ktDecimal: // all nines, positive or negative
        std::memset(out, 0x99, n);
        out[n - 1] = high ? 0x90 : 0x9D;
        break;
    case ktNumeric: // anything not a number sorts last; all nines negative first
        if (high) {
            std::memset(out, 0xFF, n);
        } else {
            std::memset(out, '9', n);
            out[n - 1] = 'R';
        }
        break;
    case ktString: case ktZString: case ktLString:
        if (!high) {
            std::memset(out, ExtremeTextByte(s, acs, false, false), n);
            if (s.Type() != ktString) std::memset(out, 0, n); // empty text
        } else {
            std::memset(out, ExtremeTextByte(s, acs, true, s.Type() == ktZString), n);
            if (s.Type() == ktLString) out[0] = static_cast<uint8_t>(std::min<size_t>(n - 1, 255));
        }
        break;
    default: // dates, times, logical and unsigned values order as unsigned bytes
        std::memset(out, high ? 0xFF : 0x00, n);
        break;
    }
}

} // namespace btr
