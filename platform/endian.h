// Little-endian integers for records that mirror engine structures: stored as
// bytes (alignment 1, so they pack without gaps), read and written as values.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

namespace btr {

template <class T> class LE {
    static_assert(std::is_integral_v<T>);

public:
    LE() = default;
    LE(T v) { Set(v); }
    LE& operator=(T v) {
        Set(v);
        return *this;
    }
    operator T() const { return Get(); }

    T Get() const {
        std::make_unsigned_t<T> u = 0;
        for (size_t i = 0; i < sizeof(T); ++i) u |= static_cast<std::make_unsigned_t<T>>(FBytes[i]) << (8 * i);
        return static_cast<T>(u);
    }
    void Set(T v) {
        auto u = static_cast<std::make_unsigned_t<T>>(v);
        for (size_t i = 0; i < sizeof(T); ++i) FBytes[i] = static_cast<uint8_t>(u >> (8 * i));
    }

private:
    uint8_t FBytes[sizeof(T)] = {};
};

using LE16 = LE<uint16_t>;
using LE32 = LE<uint32_t>;
using LEInt16 = LE<int16_t>;
using LEInt32 = LE<int32_t>;
using LEInt64 = LE<int64_t>;

static_assert(sizeof(LE32) == 4 && alignof(LE32) == 1);

// Reads / writes a little-endian value at any address.
template <class T> T ReadLE(const void* p) {
    LE<T> v;
    std::memcpy(&v, p, sizeof v);
    return v.Get();
}
template <class T> void WriteLE(void* p, T value) {
    LE<T> v(value);
    std::memcpy(p, &v, sizeof v);
}

} // namespace btr
