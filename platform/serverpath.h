// Paths that name a Btrieve file on a PostgreSQL server, read alike by the
// library and by the embedded engine (which links nothing of the library):
// header only.
#pragma once

#include <cctype>
#include <string>
#include <string_view>

namespace btr {

// Whether a path names a file on a server (postgresql://... or
// postgres://...): no file-system call applies to it.
inline bool IsServerPath(std::string_view path) {
    return path.starts_with("postgresql://") || path.starts_with("postgres://");
}

// A URI component with its %XX escapes decoded; a '%' not followed by two
// hexadecimal digits stays as it is.
inline std::string UriUnescaped(std::string_view s) {
    auto hex = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (c | 0x20) - 'a' + 10; };
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out += static_cast<char>(hex(s[i + 1]) << 4 | hex(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

} // namespace btr
