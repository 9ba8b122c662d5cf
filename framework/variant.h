// Variant: one value of any kind the data-access framework hands around —
// null, boolean, integer (64-bit), double, UTF-8 string, date-time or an
// array of variants.
//
// Conversions (AsBoolean, AsInteger, ...) raise EConvertError when a value
// cannot mean the asked kind: null, an array, text that is not a number,
// a number out of range. Equality never raises: values of kinds that cannot
// be compared are unequal. Ordering (VarCompare, <, >, ...) raises
// EConvertError for them instead. Null equals null and sorts before every
// other value. Numbers of all kinds (boolean as 0/1, date-time as its day
// count) compare by value; text against a number or date compares after the
// text was converted; strings compare byte by byte (UTF-8); arrays compare
// element by element.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "framework/datetime.h"

namespace btr {

enum TVarType : uint8_t { varNull, varBoolean, varInteger, varDouble, varString, varDate, varArray };

class Variant {
public:
    Variant() = default;
    Variant(bool v) : FType(varBoolean), FInt(v) {}
    Variant(int v) : FType(varInteger), FInt(v) {}
    Variant(unsigned v) : FType(varInteger), FInt(v) {}
    Variant(long v) : FType(varInteger), FInt(v) {}
    Variant(long long v) : FType(varInteger), FInt(v) {}
    Variant(unsigned long v);       // EConvertError beyond the 64-bit signed range
    Variant(unsigned long long v);  // likewise
    Variant(double v) : FType(varDouble), FDouble(v) {}
    Variant(const char* v) : FType(varString), FString(v ? v : "") {}
    Variant(std::string v) : FType(varString), FString(std::move(v)) {}
    Variant(std::string_view v) : FType(varString), FString(v) {}
    Variant(std::vector<Variant> items);

    Variant(const Variant& other);
    Variant(Variant&& other) noexcept = default;
    Variant& operator=(const Variant& other);
    Variant& operator=(Variant&& other) noexcept = default;
    ~Variant() = default;

    // A date-time value (TDateTime is a double, so it needs its own maker).
    static Variant FromDateTime(TDateTime v);

    TVarType VarType() const { return FType; }
    bool IsNull() const { return FType == varNull; }
    bool IsArray() const { return FType == varArray; }
    bool IsNumeric() const { return FType == varBoolean || FType == varInteger || FType == varDouble; }
    // "Null", "Boolean", "Integer", "Double", "String", "Date", "Array".
    const char* TypeName() const;

    bool AsBoolean() const;
    int32_t AsInteger() const;
    int64_t AsInt64() const;
    double AsDouble() const;
    std::string AsString() const;
    TDateTime AsDateTime() const;

    // Arrays: element count and access (ERangeError outside the bounds,
    // EConvertError on a value that is not an array).
    size_t ArrayCount() const;
    const Variant& operator[](size_t index) const;
    Variant& operator[](size_t index);
    const std::vector<Variant>& AsArray() const;

    friend bool operator==(const Variant& a, const Variant& b);
    friend bool operator!=(const Variant& a, const Variant& b) { return !(a == b); }

private:
    [[noreturn]] void CastError(const char* to) const;

    TVarType FType = varNull;
    int64_t FInt = 0;
    double FDouble = 0;
    std::string FString;
    std::unique_ptr<std::vector<Variant>> FArray;
};

// The null value, for readable call sites: `Field->SetValue(Null())`.
inline Variant Null() { return {}; }
// An array variant of the given items.
Variant VarArrayOf(std::vector<Variant> items);
inline bool VarIsNull(const Variant& v) { return v.IsNull(); }
// The text of a value; "" for null (where AsString raises).
std::string VarToStr(const Variant& v);

// -1, 0 or 1; EConvertError when the two cannot be ordered.
int VarCompare(const Variant& a, const Variant& b);
inline bool operator<(const Variant& a, const Variant& b) { return VarCompare(a, b) < 0; }
inline bool operator>(const Variant& a, const Variant& b) { return VarCompare(a, b) > 0; }
inline bool operator<=(const Variant& a, const Variant& b) { return VarCompare(a, b) <= 0; }
inline bool operator>=(const Variant& a, const Variant& b) { return VarCompare(a, b) >= 0; }

// Text conversions shared with the fields. They accept surrounding blanks;
// numbers may use "," as the decimal separator when there is no ".".
bool TryStrToInt64(std::string_view s, int64_t& value);
bool TryStrToFloat(std::string_view s, double& value);
// 15 significant digits, "." as separator, no exponent for ordinary values.
std::string FloatToStr(double value);
// The same into `out`, whose storage is reused.
void FloatToStr(double value, std::string& out);

} // namespace btr
