// Zero-terminated string helpers. Every copy is told the size of its
// destination and never writes past it: the result is cut and always ends
// in a zero byte (a size of 0 writes nothing).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace btr {

char* KLStrCopy(char* Dest, size_t DestSize, const char* Source);
// Copies at most MaxLen characters of Source.
char* KLStrLCopy(char* Dest, size_t DestSize, const char* Source, size_t MaxLen);
size_t KLStrLen(const char* Str);
// Length of Str, looking at no more than MaxLen bytes (a field without a zero).
size_t KLStrLen(const char* Str, size_t MaxLen);
// Byte-wise comparison of zero-terminated texts: <0, 0, >0.
int KLStrComp(const char* Str1, const char* Str2);
// The same without regard to case of Latin and Cyrillic (code page 1251).
int KLStrIComp(const char* Str1, const char* Str2);
char* KLStrPCopy(char* Dest, size_t DestSize, std::string_view Source);
char* KLStrPLCopy(char* Dest, size_t DestSize, std::string_view Source, size_t MaxLen);
std::string KLStrPas(const char* Str);
std::string KLStrPas(const char* Str, size_t MaxLen);

template <size_t N> char* KLStrPCopy(char (&Dest)[N], std::string_view Source) {
    return KLStrPCopy(Dest, N, Source);
}
template <size_t N> char* KLStrPLCopy(char (&Dest)[N], std::string_view Source, size_t MaxLen) {
    return KLStrPLCopy(Dest, N, Source, MaxLen);
}

} // namespace btr
