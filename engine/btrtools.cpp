#include "engine/btrtools.h"

#include <cstring>

namespace btr {

namespace {

// Runs of consecutive DOS bytes mapping to consecutive Windows bytes.
struct Run {
    uint8_t dos, win, count;
};
constexpr Run kRuns[] = {
    {0x00, 0x00, 0x80}, // unchanged
    {0x80, 0xC0, 0x30}, // А..Я, а..п
    {0xB0, 0x82, 0x26}, // pseudo-graphics on Windows places that hold no letter
    {0xD6, 0xB2, 0x01}, {0xD7, 0xA9, 0x09},
    {0xE0, 0xF0, 0x10}, // р..я
    {0xF0, 0xA8, 0x01}, // Ё
    {0xF1, 0xB8, 0x01}, // ё
    {0xF2, 0xB4, 0x04}, // Є є Ї ї
    {0xF6, 0xB3, 0x01}, // Ў
    {0xF7, 0xBE, 0x01}, // ў
    {0xF8, 0xBA, 0x04}, // ° ∙ · √
    {0xFC, 0xB9, 0x01}, // №
    {0xFD, 0xBF, 0x01}, // ¤
    {0xFE, 0x80, 0x02}, // ■, no-break space
};

constexpr std::array<uint8_t, 256> MakeDosToWin() {
    std::array<uint8_t, 256> t{};
    for (const Run& r : kRuns)
        for (int i = 0; i < r.count; ++i) t[static_cast<size_t>(r.dos + i)] = static_cast<uint8_t>(r.win + i);
    return t;
}

constexpr std::array<uint8_t, 256> Invert(const std::array<uint8_t, 256>& t) {
    std::array<uint8_t, 256> inv{};
    for (size_t i = 0; i < 256; ++i) inv[t[i]] = static_cast<uint8_t>(i);
    return inv;
}

constexpr bool IsPermutation(const std::array<uint8_t, 256>& t) {
    std::array<bool, 256> seen{};
    for (uint8_t b : t) {
        if (seen[b]) return false;
        seen[b] = true;
    }
    return true;
}

std::string Translate(std::string_view s, const std::array<uint8_t, 256>& table) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(table[static_cast<uint8_t>(c)]);
    return out;
}

} // namespace

const std::array<uint8_t, 256> DosToWinTable = MakeDosToWin();
const std::array<uint8_t, 256> WinToDosTable = Invert(MakeDosToWin());
static_assert(IsPermutation(MakeDosToWin()), "the code-page table must be a permutation");

const int64_t Zero = 0;

std::string StrDOS2Win(std::string_view S) { return Translate(S, DosToWinTable); }
std::string StrWin2Dos(std::string_view S) { return Translate(S, WinToDosTable); }

bool CheckFill(const void* P, uint32_t Size, uint8_t Fill) {
    const auto* p = static_cast<const uint8_t*>(P);
    for (uint32_t i = 0; i < Size; ++i)
        if (p[i] != Fill) return false;
    return true;
}

} // namespace btr
