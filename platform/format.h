// Formatted messages in the host formatter's convention: %s, %d, %u, %x, %f,
// %e, %g, %n (thousands separators are not used), with optional argument index
// ("%2:s"), left alignment, width and precision. A pattern that does not fit
// its arguments raises EConvertError instead of reading past them.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

namespace btr {

class FormatArg {
public:
    FormatArg(int v) : FValue(static_cast<int64_t>(v)) {}
    FormatArg(long v) : FValue(static_cast<int64_t>(v)) {}
    FormatArg(long long v) : FValue(static_cast<int64_t>(v)) {}
    FormatArg(unsigned v) : FValue(static_cast<int64_t>(v)) {}
    FormatArg(unsigned long v) : FValue(static_cast<uint64_t>(v)) {}
    FormatArg(unsigned long long v) : FValue(static_cast<uint64_t>(v)) {}
    FormatArg(double v) : FValue(v) {}
    FormatArg(const char* v) : FValue(std::string(v ? v : "")) {}
    FormatArg(std::string_view v) : FValue(std::string(v)) {}
    FormatArg(const std::string& v) : FValue(v) {}

    const std::variant<int64_t, uint64_t, double, std::string>& Value() const { return FValue; }

private:
    std::variant<int64_t, uint64_t, double, std::string> FValue;
};

std::string Format(std::string_view pattern, std::initializer_list<FormatArg> args);

} // namespace btr
