#include "platform/codepage.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace btr {

namespace {

// Unicode of the 1251 bytes 0x80..0xFF. 0x98 holds no character in 1251; it
// maps to U+0098 so that every byte survives a trip through UTF-8.
constexpr std::array<char16_t, 128> kHigh1251 = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F, // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, // 90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457, // B8
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417, // C0
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F, // C8
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427, // D0
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F, // D8
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437, // E0
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F, // E8
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447, // F0
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F, // F8
};

int UnicodeTo1251(char32_t u) {
    if (u < 0x80) return static_cast<int>(u);
    // The Cyrillic block А..я is contiguous in both.
    if (u >= 0x0410 && u <= 0x044F) return static_cast<int>(u - 0x0410 + 0xC0);
    for (size_t i = 0; i < kHigh1251.size(); ++i)
        if (kHigh1251[i] == u) return static_cast<int>(0x80 + i);
    return -1;
}

// Decodes one UTF-8 sequence at s[i]; advances i; returns -1 when malformed.
int64_t NextCodePoint(std::string_view s, size_t& i) {
    const auto b0 = static_cast<unsigned char>(s[i++]);
    if (b0 < 0x80) return b0;
    int extra;
    char32_t u;
    if ((b0 & 0xE0) == 0xC0) {
        extra = 1;
        u = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2;
        u = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3;
        u = b0 & 0x07;
    } else {
        return -1;
    }
    for (int k = 0; k < extra; ++k) {
        if (i >= s.size() || (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) return -1;
        u = (u << 6) | (static_cast<unsigned char>(s[i++]) & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (u < kMin[extra] || u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) return -1;
    return u;
}

} // namespace

// The UTF-8 form of every 1251 byte: its length, then up to three bytes.
constexpr std::array<std::array<char, 4>, 256> kUtf8Of1251 = [] {
    std::array<std::array<char, 4>, 256> t{};
    for (int c = 0; c < 256; ++c) {
        const char32_t u = c < 0x80 ? static_cast<char32_t>(c) : kHigh1251[static_cast<size_t>(c - 0x80)];
        auto& e = t[static_cast<size_t>(c)];
        if (u < 0x80) {
            e = {1, static_cast<char>(u)};
        } else if (u < 0x800) {
            e = {2, static_cast<char>(0xC0 | (u >> 6)), static_cast<char>(0x80 | (u & 0x3F))};
        } else {
            e = {3, static_cast<char>(0xE0 | (u >> 12)), static_cast<char>(0x80 | ((u >> 6) & 0x3F)),
                 static_cast<char>(0x80 | (u & 0x3F))};
        }
    }
    return t;
}();

std::string AnsiToUtf8(std::string_view ansi) {
    std::string out;
    AnsiToUtf8(ansi, out);
    return out;
}

namespace {

// Writes the UTF-8 of ansi at p, which has room for it and two bytes more
// (every character writes three); the end.
char* PutUtf8(char* p, std::string_view ansi) {
    for (char ch : ansi) {
        const auto& e = kUtf8Of1251[static_cast<unsigned char>(ch)];
        std::memcpy(p, e.data() + 1, 3);
        p += e[0];
    }
    return p;
}

} // namespace

void AnsiToUtf8(std::string_view ansi, std::string& out) {
    // A field's text goes in one pass through the stack; a longer one is
    // measured first.
    constexpr size_t kShort = 64;
    if (ansi.size() <= kShort) {
        char text[3 * kShort];
        out.assign(text, PutUtf8(text, ansi));
        return;
    }
    size_t n = 0;
    for (char ch : ansi) n += static_cast<size_t>(kUtf8Of1251[static_cast<unsigned char>(ch)][0]);
    out.resize(n + 2);
    PutUtf8(out.data(), ansi);
    out.resize(n);
}

AnsiString Utf8ToAnsi(std::string_view utf8) {
    AnsiString out;
    out.reserve(utf8.size());
    size_t i = 0;
    while (i < utf8.size()) {
        const int64_t u = NextCodePoint(utf8, i);
        const int b = u < 0 ? -1 : UnicodeTo1251(static_cast<char32_t>(u));
        out += b < 0 ? '?' : static_cast<char>(b);
    }
    return out;
}

// Letter pairs of 1251 outside the contiguous А..я block: {lower, upper}.
constexpr unsigned char kCasePairs[][2] = {
    {0xB8, 0xA8}, {0xBA, 0xAA}, {0xBF, 0xAF}, {0xB3, 0xB2}, {0xB4, 0xA5}, // ё є ї і ґ
    {0xA2, 0xA1}, {0xBC, 0xA3}, {0xBE, 0xBD}, {0x90, 0x80}, {0x83, 0x81}, // ў ј ѕ ђ ѓ
    {0x9A, 0x8A}, {0x9C, 0x8C}, {0x9D, 0x8D}, {0x9E, 0x8E}, {0x9F, 0x8F}, // љ њ ќ ћ џ
};

unsigned char AnsiUpper(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || c >= 0xE0) return static_cast<unsigned char>(c - 32);
    for (const auto& p : kCasePairs)
        if (p[0] == c) return p[1];
    return c;
}

unsigned char AnsiLower(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDF)) return static_cast<unsigned char>(c + 32);
    for (const auto& p : kCasePairs)
        if (p[1] == c) return p[0];
    return c;
}

AnsiString AnsiUpperCase(std::string_view s) {
    AnsiString out(s);
    for (char& ch : out) ch = static_cast<char>(AnsiUpper(static_cast<unsigned char>(ch)));
    return out;
}

std::string Utf8UpperCase(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    size_t i = 0;
    while (i < utf8.size()) {
        const size_t start = i;
        const int64_t u = NextCodePoint(utf8, i);
        const int b = u < 0 ? -1 : UnicodeTo1251(static_cast<char32_t>(u));
        if (b < 0) {
            out.append(utf8.substr(start, i - start));
            continue;
        }
        const auto& e = kUtf8Of1251[AnsiUpper(static_cast<unsigned char>(b))];
        out.append(e.data() + 1, static_cast<size_t>(e[0]));
    }
    return out;
}

int AnsiCompareTextI(std::string_view a, std::string_view b) {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        const int ca = AnsiUpper(static_cast<unsigned char>(a[i]));
        const int cb = AnsiUpper(static_cast<unsigned char>(b[i]));
        if (ca != cb) return ca - cb;
    }
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

int Utf8CompareTextI(std::string_view a, std::string_view b) {
    return AnsiCompareTextI(Utf8ToAnsi(a), Utf8ToAnsi(b));
}

} // namespace btr
