#include "platform/files.h"

#include <sys/stat.h>

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

std::string ExtractFileName(const std::string& path) {
    const size_t p = path.find_last_of("/\\:");
    return p == std::string::npos ? path : path.substr(p + 1);
}

} // namespace btr
