#include "framework/variant.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "platform/exceptions.h"

namespace btr {

namespace {

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] | 0x20) : a[i];
        const char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] | 0x20) : b[i];
        if (x != y) return false;
    }
    return true;
}

int Sign(long double a, long double b) {
    if (std::isnan(a) || std::isnan(b)) throw EConvertError("Cannot compare NaN values");
    return a < b ? -1 : a > b ? 1 : 0;
}

bool IsIntegral(TVarType t) { return t == varBoolean || t == varInteger; }

// Numbers, booleans and dates are compared by value.
int CompareNumbers(const Variant& a, const Variant& b) {
    if (IsIntegral(a.VarType()) && IsIntegral(b.VarType())) {
        const int64_t x = a.AsInt64(), y = b.AsInt64();
        return x < y ? -1 : x > y ? 1 : 0;
    }
    auto value = [](const Variant& v) -> long double {
        return IsIntegral(v.VarType()) ? static_cast<long double>(v.AsInt64()) : v.AsDouble();
    };
    return Sign(value(a), value(b));
}

// Text against a value of another kind: the text is read as that kind.
int CompareTextWith(const Variant& text, const Variant& other) {
    switch (other.VarType()) {
    case varBoolean: return CompareNumbers(Variant(text.AsBoolean()), other);
    case varDate: return Sign(text.AsDateTime(), other.AsDateTime());
    default: return CompareNumbers(Variant(text.AsDouble()), other);
    }
}

} // namespace

Variant::Variant(unsigned long v) : Variant(static_cast<unsigned long long>(v)) {}

Variant::Variant(unsigned long long v) : FType(varInteger) {
    if (v > static_cast<unsigned long long>(std::numeric_limits<int64_t>::max()))
        throw EConvertError("Integer value out of the variant's range");
    FInt = static_cast<int64_t>(v);
}

Variant::Variant(std::vector<Variant> items)
    : FType(varArray), FArray(std::make_unique<std::vector<Variant>>(std::move(items))) {}

Variant::Variant(const Variant& other)
    : FType(other.FType), FInt(other.FInt), FDouble(other.FDouble), FString(other.FString),
      FArray(other.FArray ? std::make_unique<std::vector<Variant>>(*other.FArray) : nullptr) {}

Variant& Variant::operator=(const Variant& other) {
    if (this != &other) {
        Variant copy(other);
        *this = std::move(copy);
    }
    return *this;
}

Variant Variant::FromDateTime(TDateTime v) {
    Variant r(v);
    r.FType = varDate;
    return r;
}

const char* Variant::TypeName() const {
    switch (FType) {
    case varNull: return "Null";
    case varBoolean: return "Boolean";
    case varInteger: return "Integer";
    case varDouble: return "Double";
    case varString: return "String";
    case varDate: return "Date";
    case varArray: return "Array";
    }
    return "Unknown";
}

void Variant::CastError(const char* to) const {
    if (FType == varString)
        throw EConvertError("Could not convert variant of type (String) with text '" + FString +
                            "' into type (" + to + ")");
    throw EConvertError(std::string("Could not convert variant of type (") + TypeName() + ") into type (" +
                        to + ")");
}

bool Variant::AsBoolean() const {
    switch (FType) {
    case varBoolean:
    case varInteger: return FInt != 0;
    case varDouble:
    case varDate: return FDouble != 0;
    case varString: {
        const std::string_view s = TrimBlanks(FString);
        if (EqualsNoCase(s, "true")) return true;
        if (EqualsNoCase(s, "false")) return false;
        double d;
        if (TryStrToFloat(s, d)) return d != 0;
        break;
    }
    default: break;
    }
    CastError("Boolean");
}

int32_t Variant::AsInteger() const {
    const int64_t v = AsInt64();
    if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
        throw EConvertError("Integer value " + std::to_string(v) + " out of the 32-bit range");
    return static_cast<int32_t>(v);
}

int64_t Variant::AsInt64() const {
    double d = 0;
    switch (FType) {
    case varBoolean:
    case varInteger: return FInt;
    case varDouble:
    case varDate: d = FDouble; break;
    case varString: {
        int64_t i;
        if (TryStrToInt64(FString, i)) return i;
        if (!TryStrToFloat(FString, d)) CastError("Integer");
        break;
    }
    default: CastError("Integer");
    }
    // Rounded half to even, as the framework rounds everywhere.
    const double r = std::nearbyint(d);
    if (!(r >= -9223372036854775808.0 && r < 9223372036854775808.0))
        throw EConvertError("Value " + FloatToStr(d) + " out of the integer range");
    return static_cast<int64_t>(r);
}

double Variant::AsDouble() const {
    switch (FType) {
    case varBoolean:
    case varInteger: return static_cast<double>(FInt);
    case varDouble:
    case varDate: return FDouble;
    case varString: {
        double d;
        if (TryStrToFloat(FString, d)) return d;
        break;
    }
    default: break;
    }
    CastError("Double");
}

std::string Variant::AsString() const {
    switch (FType) {
    case varBoolean: return FInt ? "True" : "False";
    case varInteger: return std::to_string(FInt);
    case varDouble: return FloatToStr(FDouble);
    case varDate: return DateTimeToStr(FDouble);
    case varString: return FString;
    default: CastError("String");
    }
}

TDateTime Variant::AsDateTime() const {
    switch (FType) {
    case varInteger: return static_cast<double>(FInt);
    case varDouble:
    case varDate: return FDouble;
    case varString: {
        TDateTime t;
        if (TryStrToDateTime(FString, t) || TryStrToFloat(FString, t)) return t;
        break;
    }
    default: break;
    }
    CastError("Date");
}

size_t Variant::ArrayCount() const { return AsArray().size(); }

const std::vector<Variant>& Variant::AsArray() const {
    if (FType != varArray) CastError("Array");
    return *FArray;
}

const Variant& Variant::operator[](size_t index) const {
    const auto& items = AsArray();
    if (index >= items.size()) throw ERangeError("Variant array index out of bounds");
    return items[index];
}

Variant& Variant::operator[](size_t index) {
    if (FType != varArray) CastError("Array");
    if (index >= FArray->size()) throw ERangeError("Variant array index out of bounds");
    return (*FArray)[index];
}

int VarCompare(const Variant& a, const Variant& b) {
    const TVarType ta = a.VarType(), tb = b.VarType();
    if (ta == varNull || tb == varNull) return (ta != varNull) - (tb != varNull);
    if (ta == varArray || tb == varArray) {
        if (ta != tb) throw EConvertError("Cannot compare an array with a single value");
        const auto &x = a.AsArray(), &y = b.AsArray();
        for (size_t i = 0; i < x.size() && i < y.size(); ++i)
            if (int c = VarCompare(x[i], y[i])) return c;
        return x.size() < y.size() ? -1 : x.size() > y.size() ? 1 : 0;
    }
    if (ta == varString && tb == varString) {
        const int c = a.AsString().compare(b.AsString());
        return c < 0 ? -1 : c > 0 ? 1 : 0;
    }
    if (ta == varString) return CompareTextWith(a, b);
    if (tb == varString) return -CompareTextWith(b, a);
    return CompareNumbers(a, b);
}

bool operator==(const Variant& a, const Variant& b) {
    try {
        return VarCompare(a, b) == 0;
    } catch (const EConvertError&) {
        return false;  // kinds that cannot be compared are unequal
    }
}

Variant VarArrayOf(std::vector<Variant> items) { return Variant(std::move(items)); }

std::string VarToStr(const Variant& v) { return v.IsNull() ? std::string() : v.AsString(); }

bool TryStrToInt64(std::string_view s, int64_t& value) {
    s = TrimBlanks(s);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return false;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && end == s.data() + s.size();
}

bool TryStrToFloat(std::string_view s, double& value) {
    s = TrimBlanks(s);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return false;
    std::string text(s);
    if (text.find('.') == std::string::npos) {
        const size_t comma = text.find(',');
        if (comma != std::string::npos && text.find(',', comma + 1) == std::string::npos) text[comma] = '.';
    }
    double d;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), d);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(d)) return false;
    value = d;
    return true;
}

std::string FloatToStr(double value) {
    std::string out;
    FloatToStr(value, out);
    return out;
}

namespace {

// The digits of a value that is a whole number of units of 10^-k for a small
// k (money, quantities, rates: most values records hold), found by scaling
// rather than by the shortest-digits search: when m = |value| * 10^k reads
// back as |value| through m / 10^k, the decimal m * 10^-k is the one decimal
// of at most 15 digits that reads as the value, and so its shortest form.
// Only for values %.15g writes without an exponent. Digits without trailing
// zeros; exp: the power of ten of the first digit.
bool ScaledDigits(double magnitude, char (&digits)[24], int& count, int& exp) {
    static constexpr double kPow10[] = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7};
    if (!(magnitude >= 1e-4 && magnitude < 1e15)) return false;
    for (int k = 0; k < static_cast<int>(std::size(kPow10)); ++k) {
        const double scaled = magnitude * kPow10[k];
        if (scaled >= 1e15) return false;
        // Below 2^50 adding a half is exact: m is scaled rounded.
        const auto m = static_cast<uint64_t>(scaled + 0.5);
        if (static_cast<double>(m) / kPow10[k] != magnitude) continue;
        const int length = static_cast<int>(std::to_chars(digits, digits + sizeof digits, m).ptr - digits);
        count = length;
        while (count > 1 && digits[count - 1] == '0') --count;
        exp = length - 1 - k;
        return true;
    }
    return false;
}

} // namespace

void FloatToStr(double value, std::string& out) {
    if (std::isnan(value)) return void(out = "NAN");
    if (std::isinf(value)) return void(out = value > 0 ? "INF" : "-INF");
    // %.15g, without printf's cost: a grid or an export formats every value.
    // The shortest digits that read back as a normal double are its 15-digit
    // rounding whenever there are at most 15 of them (doubles lie closer
    // together than 15-digit decimals), and the shortest form is much the
    // cheaper to find; longer digit strings and subnormals need the rounding.
    const bool negative = std::signbit(value);
    char digits[24];
    int count = 0, exp = 0;
    if (value == 0) {
        digits[0] = '0';
        count = 1;
    } else if (!ScaledDigits(std::fabs(value), digits, count, exp)) {
        char sci[40];
        const char* const start = sci;
        const auto rounded = [&] {
            const char* last = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::general, 15).ptr;
            out.assign(start, last);
        };
        if (!std::isnormal(value)) return rounded();
        const char* end = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
        const char* e = std::find(start, end, 'e');
        for (const char* p = start + negative; p < e; ++p) {
            if (*p == '.') continue;
            if (count == 15) return rounded();
            digits[count++] = *p;
        }
        std::from_chars(e + 2, end, exp);
        if (e[1] == '-') exp = -exp;
        if (exp < -4 || exp >= 15) return void(out.assign(start, end)); // %g's exponent form
    }
    // At most 15 digits, a sign, "0." and three zeros: exp is -4..14.
    char text[40];
    char* p = text;
    if (negative) *p++ = '-';
    if (exp < 0) {
        *p++ = '0';
        *p++ = '.';
        p = std::fill_n(p, -exp - 1, '0');
        p = std::copy_n(digits, count, p);
    } else if (count <= exp + 1) {
        p = std::copy_n(digits, count, p);
        p = std::fill_n(p, exp + 1 - count, '0');
    } else {
        p = std::copy_n(digits, exp + 1, p);
        *p++ = '.';
        p = std::copy_n(digits + exp + 1, count - exp - 1, p);
    }
    out.assign(text, p);
}

} // namespace btr
