#include "dictionary/dictrec.h"

#include <cstring>

#include "engine/btrerrors.h"
#include "platform/codepage.h"
#include "platform/format.h"
#include "platform/klstrings.h"
#include "platform/messages.h"

namespace btr {

const std::array<TFieldTypeInfo, kFieldTypeCount> Types = {{
    {"", 0, 14, false},
    {"ZString(DOS)", 0, 11, true},
    {"Smallint", 2, 1, false},
    {"Longint", 4, 1, false},
    {"Double", 8, 2, false},
    {"Date", 4, 3, false},
    {"Time", 4, 4, false},
    {"DoubleM", 8, 2, false},
    {"SNR", 0, 11, true},
    {"ZString(WIN)", 0, 11, true},
    {"Extended", 10, 2, false},
    {"ExtendedM", 10, 2, false},
    {"Boolean", 1, 7, true},
    {"Word", 2, 0, false},
    {"String", 0, 0, true},
    {"LString(DOS)", 0, 10, true},
    {"LString(WIN)", 0, 10, true},
    {"Decimal", 10, 8, true},
    {"BLOB", 0, 8, false},
    {"MEMO", 0, 8, false},
    {"Graphic", 0, 8, false},
    {"RS float", 8, 1, false},
    {"Char", 1, 0, false},
}};

int32_t StrToFType(std::string_view name) {
    for (int32_t code = 1; code < kFieldTypeCount; ++code)
        if (Types[static_cast<size_t>(code)].Name == name) return code;
    return 1;
}

namespace {

std::string Text(const char* field, size_t size) { return AnsiToUtf8(KLStrPas(field, size)); }

template <size_t N> void SetText(char (&field)[N], std::string_view utf8, bool strict) {
    const AnsiString ansi = Utf8ToAnsi(utf8);
    if (strict && ansi.size() > N - 1)
        throw EBtrieve(Format(LoadResString(res::SNameTooLong), {std::string(utf8), int(N - 1)}));
    std::memset(field, 0, N);
    KLStrPCopy(field, ansi);
}

} // namespace

std::string DictRec::OwnerText() const { return Text(Owner, sizeof Owner); }
std::string DictRec::NameText() const { return Text(Name, sizeof Name); }
std::string DictRec::RemarkText() const { return Text(Remark, sizeof Remark); }
void DictRec::SetOwner(std::string_view utf8) { SetText(Owner, utf8, true); }
void DictRec::SetName(std::string_view utf8) { SetText(Name, utf8, true); }
void DictRec::SetRemark(std::string_view utf8) { SetText(Remark, utf8, false); }
void DictRec::Clear() { std::memset(static_cast<void*>(this), 0, sizeof *this); }

} // namespace btr
