#include "platform/files.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/exceptions.h"

namespace btr {

bool FileExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::vector<uint8_t> ReadFileBytes(const std::string& path, size_t count) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        const int err = errno;
        throw EInOutError("Cannot open file \"" + path + "\": " + std::strerror(err), err);
    }
    std::vector<uint8_t> data(count);
    const size_t got = count ? std::fread(data.data(), 1, count, f) : 0;
    std::fclose(f);
    if (got != count)
        throw EInOutError("File \"" + path + "\" is shorter than " + std::to_string(count) + " bytes", EIO);
    return data;
}

namespace {

std::string Escaped(const std::string& s) {
    std::string out;
    for (unsigned char ch : s) {
        if (std::isalnum(ch) || std::strchr("-._~", ch)) {
            out += static_cast<char>(ch);
        } else {
            char esc[4];
            std::snprintf(esc, sizeof esc, "%%%02X", ch);
            out += esc;
        }
    }
    return out;
}

} // namespace

std::string ExtractFileName(const std::string& path) {
    if (IsServerPath(path)) {
        const std::string base = path.substr(0, path.find('?'));
        return UriUnescaped(std::string_view(base).substr(base.rfind('/') + 1));
    }
    const size_t p = path.find_last_of("/\\:");
    return p == std::string::npos ? path : path.substr(p + 1);
}

std::string PathBeside(const std::string& sibling, const std::string& name) {
    if (IsServerPath(sibling)) {
        const size_t query = sibling.find('?');
        const std::string base = sibling.substr(0, query);
        const std::string params = query == std::string::npos ? std::string() : sibling.substr(query);
        return base.substr(0, base.rfind('/') + 1) + Escaped(name) + params;
    }
    const size_t p = sibling.find_last_of('/');
    return p == std::string::npos ? name : sibling.substr(0, p + 1) + name;
}

std::string DescribedFile(const std::string& dictPath, const std::string& file) {
    const bool bare = file.find_first_of("/\\") == std::string::npos;
    return bare && IsServerPath(dictPath) ? PathBeside(dictPath, file) : file;
}

} // namespace btr
