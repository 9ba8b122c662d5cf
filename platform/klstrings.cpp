#include "platform/klstrings.h"

#include <algorithm>
#include <cstring>

#include "platform/codepage.h"

namespace btr {

char* KLStrLCopy(char* Dest, size_t DestSize, const char* Source, size_t MaxLen) {
    if (!Dest || DestSize == 0) return Dest;
    // No further than what fits: the source need not end within MaxLen.
    const size_t n = Source ? KLStrLen(Source, std::min(MaxLen, DestSize - 1)) : 0;
    if (n) std::memmove(Dest, Source, n);
    Dest[n] = 0;
    return Dest;
}

char* KLStrCopy(char* Dest, size_t DestSize, const char* Source) {
    return KLStrLCopy(Dest, DestSize, Source, static_cast<size_t>(-1));
}

size_t KLStrLen(const char* Str) { return Str ? std::strlen(Str) : 0; }

size_t KLStrLen(const char* Str, size_t MaxLen) {
    if (!Str) return 0;
    const void* z = std::memchr(Str, 0, MaxLen);
    return z ? static_cast<size_t>(static_cast<const char*>(z) - Str) : MaxLen;
}

int KLStrComp(const char* Str1, const char* Str2) {
    return std::strcmp(Str1 ? Str1 : "", Str2 ? Str2 : "");
}

int KLStrIComp(const char* Str1, const char* Str2) {
    const auto* a = reinterpret_cast<const unsigned char*>(Str1 ? Str1 : "");
    const auto* b = reinterpret_cast<const unsigned char*>(Str2 ? Str2 : "");
    for (;; ++a, ++b) {
        const int ca = AnsiUpper(*a), cb = AnsiUpper(*b);
        if (ca != cb || ca == 0) return ca - cb;
    }
}

char* KLStrPLCopy(char* Dest, size_t DestSize, std::string_view Source, size_t MaxLen) {
    if (!Dest || DestSize == 0) return Dest;
    size_t n = Source.size() < MaxLen ? Source.size() : MaxLen;
    if (n > DestSize - 1) n = DestSize - 1;
    if (n) std::memmove(Dest, Source.data(), n);
    Dest[n] = 0;
    return Dest;
}

char* KLStrPCopy(char* Dest, size_t DestSize, std::string_view Source) {
    return KLStrPLCopy(Dest, DestSize, Source, Source.size());
}

std::string KLStrPas(const char* Str) { return Str ? std::string(Str) : std::string(); }

std::string KLStrPas(const char* Str, size_t MaxLen) {
    return Str ? std::string(Str, KLStrLen(Str, MaxLen)) : std::string();
}

} // namespace btr
