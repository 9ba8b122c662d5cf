#include "apps/common/values.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "engine/btrtools.h"
#include "framework/datetime.h"
#include "platform/codepage.h"

namespace btr::apps {

namespace {

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return out;
}

// The byte length of the UTF-8 sequence starting at s[i], 0 when it is
// malformed (overlong, surrogate, beyond U+10FFFF, cut short).
size_t SequenceLength(std::string_view s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    if (c < 0x80) return 1;
    size_t n;
    char32_t cp;
    if ((c & 0xE0) == 0xC0) n = 2, cp = c & 0x1F;
    else if ((c & 0xF0) == 0xE0) n = 3, cp = c & 0x0F;
    else if ((c & 0xF8) == 0xF0) n = 4, cp = c & 0x07;
    else return 0;
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kSmallest[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

size_t CodePoints(std::string_view s) {
    size_t n = 0;
    for (size_t i = 0; i < s.size(); ++n) i += std::max<size_t>(SequenceLength(s, i), 1);
    return n;
}

// A decimal number as sign, significant digits and a power of ten.
struct Decimal {
    bool negative = false;
    std::string digits; // no leading or trailing zeros; empty for zero
    long exponent = 0;  // value = digits * 10^exponent
};

std::optional<Decimal> ParseDecimal(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    Decimal d;
    size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) d.negative = s[i++] == '-';
    // "," stands for the point when there is none, as the fields read it.
    const char point = s.find('.') == std::string_view::npos ? ',' : '.';
    bool any = false, seenPoint = false;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        if (c >= '0' && c <= '9') {
            d.digits += c;
            if (seenPoint) --d.exponent;
            any = true;
        } else if (c == point && !seenPoint) {
            seenPoint = true;
        } else {
            break;
        }
    }
    if (!any) return std::nullopt;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        long e = 0;
        const char* first = s.data() + i + 1;
        if (first < s.data() + s.size() && *first == '+') ++first;
        const auto [end, ec] = std::from_chars(first, s.data() + s.size(), e);
        if (ec != std::errc() || end == first || std::labs(e) > 100000) return std::nullopt;
        d.exponent += e;
        i = static_cast<size_t>(end - s.data());
    }
    if (i != s.size()) return std::nullopt;
    const size_t lead = d.digits.find_first_not_of('0');
    d.digits.erase(0, lead == std::string::npos ? d.digits.size() : lead);
    while (!d.digits.empty() && d.digits.back() == '0') {
        d.digits.pop_back();
        ++d.exponent;
    }
    if (d.digits.empty()) d = Decimal{}; // -0 is 0
    return d;
}

std::string Canonical(const Decimal& d) {
    return (d.negative ? "-" : "") + d.digits + "e" + std::to_string(d.exponent);
}

// Why a number reads back differently, in the terms of the field's type.
std::string NumberWhy(const TField& field, const std::optional<Decimal>& want) {
    const int32_t type = DictType(field);
    const bool fraction = want && want->exponent < 0;
    if (type == btDecimal) {
        if (fraction) return "a Decimal holds whole numbers";
        const int32_t length = static_cast<TBDataSet*>(field.DataSet())->DictFields()->Items(field.FieldNo() - 1)->Length;
        const long digits = 2L * length - 1;
        if (want && static_cast<long>(want->digits.size()) + want->exponent > digits)
            return "a Decimal of " + std::to_string(length) + " bytes holds at most " + std::to_string(digits) + " digits";
    }
    if (type == btRSFloat) {
        if (want && want->exponent < -4) return "an RS float keeps four decimal places";
        return "an RS float holds -922337203685477.5808 to 922337203685477.5807";
    }
    if (field.DataType() == ftFloat) return "more digits than a double holds";
    return "";
}

// Why text reads back differently: the first character the field's code page
// cannot hold, or the field's length.
std::string TextWhy(const TField& field, std::string_view text, const std::string& back) {
    if (field.DataType() == ftBlob || field.DataType() == ftGraphic) return "";
    for (size_t i = 0; i < text.size();) {
        const size_t n = std::max<size_t>(SequenceLength(text, i), 1);
        const std::string_view ch = text.substr(i, n);
        if (AnsiToUtf8(Utf8ToAnsi(ch)) != ch) return "code page 1251 cannot hold \"" + std::string(ch) + "\"";
        i += n;
    }
    if (text.substr(0, back.size()) == back)
        return "longer than the field's " + std::to_string(CodePoints(back)) + " character(s)";
    return "";
}

Stored Differs(std::string as, std::string why) { return {false, std::move(as), std::move(why)}; }

// Code page 866 above ASCII, for the characters a 1251 text can hold:
// the code-page tables swap every byte for another, so a 1251 character
// without an 866 one comes back unchanged but is stored as some other
// character on disk. 0 for the box-drawing block, which 1251 lacks.
char32_t Cp866(unsigned char d) {
    if (d < 0x80) return d;
    if (d < 0xB0) return 0x0410 + (d - 0x80); // А..Я, а..п
    if (d < 0xE0) return 0;
    if (d < 0xF0) return 0x0440 + (d - 0xE0); // р..я
    static constexpr char32_t kTail[] = {0x0401, 0x0451, 0x0404, 0x0454, 0x0407, 0x0457, 0x040E, 0x045E,
                                         0x00B0, 0x2219, 0x00B7, 0x221A, 0x2116, 0x00A4, 0x25A0, 0x00A0};
    return kTail[d - 0xF0];
}

std::string Utf8Of(char32_t c) {
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

// The first character of UTF-8 text that code page 866 lacks, "" when none.
std::string Missing866(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) { // ASCII is the same in both
            ++i;
            continue;
        }
        const size_t n = std::max<size_t>(SequenceLength(text, i), 1);
        const std::string_view ch = text.substr(i, n);
        const AnsiString ansi = Utf8ToAnsi(ch);
        if (ansi.size() == 1 && Utf8Of(Cp866(WinToDosTable[static_cast<unsigned char>(ansi[0])])) != ch)
            return std::string(ch);
        i += n;
    }
    return "";
}

} // namespace

int ParseInt(const std::string& text, const std::string& what) {
    try {
        size_t used = 0;
        const int v = std::stoi(text, &used);
        if (used == text.size()) return v;
    } catch (const std::exception&) {
    }
    throw std::runtime_error("\"" + text + "\" is not " + what);
}

std::optional<bool> ParseBoolean(std::string_view text) {
    const std::string t = Lower(text);
    if (t == "1" || t == "yes" || t == "true" || t == "y" || t == "t") return true;
    if (t == "0" || t == "no" || t == "false" || t == "n" || t == "f") return false;
    return std::nullopt;
}

bool ValidUtf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        const size_t n = SequenceLength(text, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string FloatText(double v) {
    std::string out;
    FloatTextTo(v, out);
    return out;
}

void FloatTextTo(double v, std::string& out) {
    char buf[64];
    const double a = std::fabs(v);
    if (!(a == 0 || (a >= 1e-7 && a < 1e21))) return void(out.assign(buf, std::to_chars(buf, buf + sizeof buf, v).ptr));
    // The shortest digits, written out without an exponent.
    const char* const end = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific).ptr;
    const char* const e = std::find(static_cast<const char*>(buf), end, 'e');
    const bool negative = buf[0] == '-';
    char digits[32];
    int n = 0;
    for (const char* p = buf + (negative ? 1 : 0); p < e; ++p)
        if (*p != '.') digits[n++] = *p;
    int exp = 0;
    std::from_chars(e + 2, end, exp);
    const int point = (e[1] == '-' ? -exp : exp) + 1; // digits before the point
    char text[64];
    char* t = text;
    if (negative) *t++ = '-';
    if (point <= 0) {
        *t++ = '0';
        *t++ = '.';
        t = std::fill_n(t, -point, '0');
        t = std::copy_n(digits, n, t);
    } else if (point >= n) {
        t = std::copy_n(digits, n, t);
        t = std::fill_n(t, point - n, '0');
    } else {
        t = std::copy_n(digits, point, t);
        *t++ = '.';
        t = std::copy_n(digits + point, n - point, t);
    }
    out.assign(text, t);
}

std::optional<std::string> CanonicalNumber(std::string_view text) {
    const auto d = ParseDecimal(text);
    if (!d) return std::nullopt;
    return Canonical(*d);
}

int32_t DictType(const TField& field) {
    const auto* ds = dynamic_cast<const TBDataSet*>(field.DataSet());
    if (!ds || !ds->DictFields() || field.FieldNo() < 1 || field.FieldNo() > ds->DictFields()->Count()) return btNone;
    return ds->DictFields()->Items(field.FieldNo() - 1)->FType;
}

std::string FieldText(const TField& field) {
    std::string out;
    FieldTextTo(field, out);
    return out;
}

void FieldTextTo(const TField& field, std::string& out) {
    if (field.DataType() == ftFloat && !field.IsNull()) return FloatTextTo(field.AsFloat(), out);
    if (field.DataType() == ftBoolean && !field.IsNull()) return void(out = field.AsBoolean() ? "true" : "false");
    field.AsStringTo(out);
}

bool IsNumeric(const TField& field) {
    switch (field.DataType()) {
    case ftSmallint: case ftInteger: case ftWord: case ftFloat: return true;
    default: return false;
    }
}

Cell FieldCell(const TField& field) {
    Cell cell;
    FieldCellTo(field, cell);
    return cell;
}

void FieldCellTo(const TField& field, Cell& cell) {
    if (field.IsNull() && !dynamic_cast<const TStringField*>(&field)) {
        cell.text.clear();
        cell.kind = ValueKind::Null;
        return;
    }
    cell.kind = IsNumeric(field) ? ValueKind::Number : field.DataType() == ftBoolean ? ValueKind::Boolean : ValueKind::Text;
    FieldTextTo(field, cell.text);
}

std::string Stored::Describe(std::string_view text) const {
    // Text the file keeps as other characters reads back the same: no "as".
    std::string out = "\"";
    out += text;
    if (as.empty() && !why.empty()) {
        out += "\" cannot be stored";
    } else {
        out += "\" would be stored as \"";
        out += as;
        out += "\"";
    }
    if (!why.empty()) {
        out += " (";
        out += why;
        out += ")";
    }
    return out;
}

Stored SetFieldText(TField& field, std::string_view text) {
    if (text.empty()) {
        field.Clear();
        return {};
    }
    switch (field.DataType()) {
    case ftSmallint: case ftInteger: case ftWord: {
        field.SetAsString(text);
        const std::string back = field.AsString();
        if (back == text || CanonicalNumber(text) == CanonicalNumber(back)) return {};
        return Differs(back, "");
    }
    case ftFloat: {
        field.SetAsString(text);
        const std::string back = FieldText(field);
        const auto want = ParseDecimal(text);
        const auto got = ParseDecimal(back);
        if (want && got && Canonical(*want) == Canonical(*got)) return {};
        return Differs(back, NumberWhy(field, want));
    }
    case ftBoolean: {
        const auto b = ParseBoolean(text);
        if (!b) throw std::runtime_error("\"" + std::string(text) + "\" is not a boolean (true/false, yes/no, 1/0)");
        field.SetAsBoolean(*b);
        if (field.AsBoolean() == *b) return {};
        return Differs(FieldText(field), "");
    }
    case ftDate: {
        field.SetAsString(text);
        TDateTime want = 0;
        const bool parsed = TryStrToDateTime(text, want);
        if (parsed && TimeToMSecs(want) == 0 && DateToStr(want) == field.AsString()) return {};
        return Differs(field.AsString(), parsed && TimeToMSecs(want) != 0 ? "a Date keeps no time of day" : "");
    }
    case ftTime: {
        field.SetAsString(text);
        TDateTime want = 0;
        if (!TryStrToTime(text, want)) return Differs(field.AsString(), "a Time keeps no date");
        if (TimeToMSecs(want) == TimeToMSecs(field.AsDateTime())) return {};
        return Differs(field.AsString(), "a Time keeps hundredths of a second");
    }
    case ftBlob: case ftGraphic: {
        field.SetAsString(text); // bytes as they are
        const std::string back = field.AsString();
        if (back == text) return {};
        return Differs(back, "");
    }
    default: {
        const bool valid = ValidUtf8(text);
        field.SetAsString(text);
        const std::string back = field.AsString();
        if (!valid) return Differs(back, "not valid UTF-8");
        if (back != text) return Differs(back, TextWhy(field, text, back));
        const int32_t type = DictType(field);
        if (type == btZStringDOS || type == btLStringDOS) {
            const std::string missing = Missing866(text);
            if (!missing.empty()) return Differs("", "code page 866 cannot hold \"" + missing + "\"");
        }
        return {};
    }
    }
}

Variant ValueFromText(const TField& field, const std::string& text) {
    switch (field.DataType()) {
    case ftSmallint: case ftInteger: case ftWord: {
        int64_t v = 0;
        if (!TryStrToInt64(text, v))
            throw std::runtime_error("\"" + text + "\" is not a whole number for " + field.FieldName());
        return Variant(static_cast<long long>(v));
    }
    case ftFloat: {
        double v = 0;
        if (!TryStrToFloat(text, v)) throw std::runtime_error("\"" + text + "\" is not a number for " + field.FieldName());
        return Variant(v);
    }
    case ftBoolean: {
        const auto b = ParseBoolean(text);
        if (!b) throw std::runtime_error("\"" + text + "\" is not a boolean (true/false, yes/no, 1/0) for " + field.FieldName());
        return Variant(*b);
    }
    case ftDate: {
        TDateTime date = 0;
        if (!TryStrToDate(text, date))
            throw std::runtime_error("\"" + text + "\" is not a date (YYYY-MM-DD) for " + field.FieldName());
        return Variant::FromDateTime(date);
    }
    case ftTime: {
        TDateTime time = 0;
        if (!TryStrToTime(text, time))
            throw std::runtime_error("\"" + text + "\" is not a time (HH:MM[:SS]) for " + field.FieldName());
        return Variant::FromDateTime(time);
    }
    default: return Variant(text);
    }
}

void SetRangeFromText(TBDataSet& ds, const std::vector<std::string>& from, const std::vector<std::string>& to) {
    const int32_t path = ds.DataFile()->KeyPath();
    std::vector<const TField*> segments;
    for (const auto& k : *ds.DictKeys())
        if (k->Number == path) segments.push_back(ds.FieldByName(k->Name));
    auto values = [&](const std::vector<std::string>& texts) {
        if (texts.size() > segments.size())
            throw std::runtime_error(std::to_string(texts.size()) + " values for a key of " +
                                     std::to_string(segments.size()) + " segment(s)");
        std::vector<Variant> out;
        for (size_t i = 0; i < texts.size(); ++i) out.push_back(ValueFromText(*segments[i], texts[i]));
        return out;
    };
    ds.SetRange(values(from), values(to));
}

std::vector<std::string> FieldNames(TBDataSet& ds) {
    std::vector<std::string> out;
    for (int i = 0; i < ds.FieldCount(); ++i) out.push_back(ds.Fields()[i]->FieldName());
    return out;
}

std::vector<Cell> FieldCells(TBDataSet& ds) {
    std::vector<Cell> out;
    FieldCells(ds, out);
    return out;
}

void FieldCells(TBDataSet& ds, std::vector<Cell>& cells) {
    cells.resize(static_cast<size_t>(ds.FieldCount()));
    for (int i = 0; i < ds.FieldCount(); ++i) FieldCellTo(*ds.Fields()[i], cells[static_cast<size_t>(i)]);
}

} // namespace btr::apps
