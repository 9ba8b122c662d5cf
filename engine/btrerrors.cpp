#include "engine/btrerrors.h"

#include <algorithm>
#include <iterator>

#include "platform/format.h"
#include "platform/messages.h"
#include "platform/ui.h"

namespace btr {

namespace {

struct TextId {
    int32_t code;
    int id;
};

constexpr TextId kOperations[] = {
    {0, 65524},  {1, 65525},  {2, 65526},  {3, 65527},  {4, 65528},  {5, 65529},  {6, 65530},
    {7, 65531},  {8, 65532},  {9, 65533},  {10, 65534}, {11, 65535}, {12, 65504}, {13, 65505},
    {14, 65506}, {15, 65507}, {19, 65508}, {20, 65509}, {21, 65510}, {22, 65511}, {23, 65512},
    {24, 65513}, {25, 65514}, {26, 65515}, {27, 65516}, {28, 65517}, {29, 65518}, {30, 65519},
    {31, 65488}, {32, 65489}, {33, 65490}, {34, 65491}, {35, 65492}, {36, 65493}, {37, 65494},
    {38, 65495}, {39, 65496}, {40, 65497}, {44, 65498}, {45, 65499}, {53, 65500},
};

constexpr TextId kStatuses[] = {
    {0, 65502},  {1, 65503},  {2, 65472},  {3, 65473},  {4, 65474},  {5, 65475},  {6, 65476},
    {7, 65477},  {8, 65478},  {9, 65479},  {10, 65480}, {11, 65481}, {12, 65482}, {13, 65483},
    {14, 65484}, {15, 65485}, {16, 65486}, {17, 65487}, {18, 65456}, {19, 65457}, {20, 65458},
    {21, 65459}, {22, 65460}, {23, 65461}, {24, 65462}, {25, 65463}, {26, 65464}, {27, 65465},
    {28, 65466}, {29, 65467}, {30, 65468}, {31, 65469}, {32, 65470}, {34, 65471}, {35, 65440},
    {36, 65441}, {37, 65442}, {38, 65443}, {39, 65444}, {40, 65445}, {41, 65446}, {42, 65447},
    {43, 65448}, {44, 65449}, {45, 65450}, {46, 65451}, {47, 65452}, {48, 65453}, {49, 65454},
    {50, 65455}, {51, 65424}, {52, 65425}, {53, 65426}, {54, 65427}, {55, 65428}, {56, 65429},
    {57, 65430}, {58, 65431}, {59, 65432}, {78, 65433}, {80, 65434}, {81, 65435}, {82, 65436},
    {83, 65437}, {84, 65438}, {85, 65439}, {86, 65408}, {87, 65409}, {88, 65410}, {90, 65411},
    {91, 65412}, {92, 65413}, {93, 65414}, {94, 65415}, {97, 65416}, {103, 65417}, {10000, 65418},
};

template <size_t N> std::string Lookup(const TextId (&table)[N], int32_t code, int unknownId) {
    const auto* it = std::find_if(std::begin(table), std::end(table), [&](const TextId& t) { return t.code == code; });
    const std::string text = LoadResString(it != std::end(table) ? it->id : unknownId);
    return text + "(" + std::to_string(code) + ")";
}

} // namespace

std::string OperationText(int32_t Op) { return Lookup(kOperations, Op, res::SUnknownOperation); }
std::string StatusText(int32_t Status) { return Lookup(kStatuses, Status, res::SUnknownStatus); }

EBtrieve::EBtrieve(int32_t Status, int32_t Op, const std::string& FileName)
    : Exception(Format(LoadResString(res::SBtrieveErrorPattern), {OperationText(Op), FileName, StatusText(Status)})),
      FError(Status), FOpCode(Op), FFileName(FileName) {}

TErrorSet TErrorSet::Default() {
    TErrorSet s;
    for (int32_t st = 1; st <= 102; ++st)
        if (st != 4 && st != 9 && st != 60) s.Include(st);
    return s;
}

TErrorSet& TErrorSet::Include(int32_t status) {
    if (status >= 1 && status <= kMax) FBits[status / 8] |= static_cast<uint8_t>(1u << (status % 8));
    return *this;
}

TErrorSet& TErrorSet::Exclude(int32_t status) {
    if (status >= 1 && status <= kMax) FBits[status / 8] &= static_cast<uint8_t>(~(1u << (status % 8)));
    return *this;
}

void BError(const EBtrieve& E) {
    MessageBox(E.Message(), LoadResString(res::SBtrieveErrorCaption), MB_OK | MB_ICONERROR);
}

} // namespace btr
