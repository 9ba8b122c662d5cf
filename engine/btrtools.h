// OEM (code page 866) and ANSI (code page 1251) byte translation, and the
// small helpers other units share.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace btr {

extern const std::array<uint8_t, 256> DosToWinTable;
extern const std::array<uint8_t, 256> WinToDosTable;

// A copy of S with every byte translated; same length, zero bytes included.
std::string StrDOS2Win(std::string_view S);
std::string StrWin2Dos(std::string_view S);

// True when all Size bytes at P equal Fill (true for Size 0).
bool CheckFill(const void* P, uint32_t Size, uint8_t Fill);

// Destroys the object and leaves the reference empty.
template <class T> void FreeObj(std::unique_ptr<T>& Obj) { Obj.reset(); }
template <class T> void FreeObj(T*& Obj) {
    delete Obj;
    Obj = nullptr;
}

// A public zero, read by nobody.
extern const int64_t Zero;

} // namespace btr
