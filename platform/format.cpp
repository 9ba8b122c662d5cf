#include "platform/format.h"

#include <cstdio>
#include <vector>

#include "platform/exceptions.h"

namespace btr {

namespace {

[[noreturn]] void BadFormat(std::string_view pattern) {
    throw EConvertError("Format '" + std::string(pattern) + "' invalid or incompatible with argument");
}

// Reads a decimal number at pattern[i]; returns -1 when there is none.
int ReadNumber(std::string_view pattern, size_t& i) {
    if (i >= pattern.size() || pattern[i] < '0' || pattern[i] > '9') return -1;
    int n = 0;
    while (i < pattern.size() && pattern[i] >= '0' && pattern[i] <= '9') {
        n = n * 10 + (pattern[i] - '0');
        if (n > 100000) BadFormat(pattern);
        ++i;
    }
    return n;
}

void Pad(std::string& out, const std::string& text, int width, bool left) {
    const size_t w = width > 0 ? static_cast<size_t>(width) : 0;
    if (text.size() >= w) {
        out += text;
    } else if (left) {
        out += text;
        out.append(w - text.size(), ' ');
    } else {
        out.append(w - text.size(), ' ');
        out += text;
    }
}

std::string Integer(const FormatArg& arg, char conv, int prec, std::string_view pattern) {
    const auto& v = arg.Value();
    char buf[64];
    if (auto* i = std::get_if<int64_t>(&v)) {
        if (conv == 'x') {
            std::snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(*i));
        } else if (conv == 'u') {
            std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(*i));
        } else {
            std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(*i));
        }
    } else if (auto* u = std::get_if<uint64_t>(&v)) {
        std::snprintf(buf, sizeof buf, conv == 'x' ? "%llX" : "%llu",
                      static_cast<unsigned long long>(*u));
    } else {
        BadFormat(pattern);
    }
    std::string s = buf;
    // Precision on an integer is a minimum digit count, zero-padded.
    if (prec > 0) {
        const bool neg = !s.empty() && s[0] == '-';
        std::string digits = neg ? s.substr(1) : s;
        if (digits.size() < static_cast<size_t>(prec))
            digits.insert(0, static_cast<size_t>(prec) - digits.size(), '0');
        s = neg ? "-" + digits : digits;
    }
    return s;
}

std::string Float(const FormatArg& arg, char conv, int prec, std::string_view pattern) {
    const auto& v = arg.Value();
    double d;
    if (auto* f = std::get_if<double>(&v)) {
        d = *f;
    } else {
        BadFormat(pattern);
    }
    char spec[8] = {'%', '.', '*', conv == 'n' ? 'f' : conv, 0};
    if (prec < 0) prec = (conv == 'g') ? 15 : 2;
    char buf[512];
    std::snprintf(buf, sizeof buf, spec, prec, d);
    return buf;
}

} // namespace

std::string Format(std::string_view pattern, std::initializer_list<FormatArg> args) {
    const std::vector<FormatArg> list(args);
    std::string out;
    out.reserve(pattern.size() + 32);
    size_t next = 0;
    for (size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (c != '%') {
            out += c;
            continue;
        }
        ++i;
        if (i >= pattern.size()) BadFormat(pattern);
        if (pattern[i] == '%') {
            out += '%';
            continue;
        }
        // [index ":"] ["-"] [width] ["." prec] type
        size_t save = i;
        int index = ReadNumber(pattern, i);
        if (index >= 0 && i < pattern.size() && pattern[i] == ':') {
            next = static_cast<size_t>(index);
            ++i;
        } else {
            i = save;
        }
        bool left = false;
        if (i < pattern.size() && pattern[i] == '-') {
            left = true;
            ++i;
        }
        int width = ReadNumber(pattern, i);
        int prec = -1;
        if (i < pattern.size() && pattern[i] == '.') {
            ++i;
            prec = ReadNumber(pattern, i);
            if (prec < 0) BadFormat(pattern);
        }
        if (i >= pattern.size() || next >= list.size()) BadFormat(pattern);
        const char conv = static_cast<char>(pattern[i] | 0x20); // types are case-insensitive
        const FormatArg& arg = list[next++];
        std::string text;
        switch (conv) {
        case 'd':
        case 'u':
        case 'x':
            text = Integer(arg, conv, prec, pattern);
            break;
        case 'f':
        case 'e':
        case 'g':
        case 'n':
            text = Float(arg, conv, prec, pattern);
            break;
        case 's': {
            auto* s = std::get_if<std::string>(&arg.Value());
            if (!s) BadFormat(pattern);
            text = (prec >= 0 && static_cast<size_t>(prec) < s->size()) ? s->substr(0, prec) : *s;
            break;
        }
        default:
            BadFormat(pattern);
        }
        Pad(out, text, width, left);
    }
    return out;
}

} // namespace btr
