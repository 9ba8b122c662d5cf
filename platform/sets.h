// Small sets over an enumeration, the shape of the host framework's option
// and shift-state sets: [goEditing, goTabs] is TGridOptions{goEditing, goTabs}.
#pragma once

#include <cstdint>
#include <initializer_list>

namespace btr {

// Count bounds the elements (at most 32); values beyond it are never members.
template <typename E, int Count = 32> class TSet {
    static_assert(Count > 0 && Count <= 32, "a set holds at most 32 elements");

public:
    constexpr TSet() = default;
    constexpr TSet(std::initializer_list<E> items) {
        for (E e : items) Include(e);
    }

    constexpr bool Contains(E e) const { return (FBits & Bit(e)) != 0; }
    constexpr bool Empty() const { return FBits == 0; }
    constexpr TSet& Include(E e) {
        FBits |= Bit(e);
        return *this;
    }
    constexpr TSet& Exclude(E e) {
        FBits &= ~Bit(e);
        return *this;
    }
    constexpr uint32_t Bits() const { return FBits; }

    friend constexpr TSet operator+(TSet a, TSet b) { return FromBits(a.FBits | b.FBits); }
    friend constexpr TSet operator-(TSet a, TSet b) { return FromBits(a.FBits & ~b.FBits); }
    friend constexpr TSet operator*(TSet a, TSet b) { return FromBits(a.FBits & b.FBits); }
    friend constexpr bool operator==(TSet a, TSet b) { return a.FBits == b.FBits; }

private:
    static constexpr uint32_t Bit(E e) {
        const auto i = static_cast<unsigned>(e);
        return i < static_cast<unsigned>(Count) ? 1u << i : 0u;
    }
    static constexpr TSet FromBits(uint32_t bits) {
        TSet s;
        s.FBits = bits;
        return s;
    }
    uint32_t FBits = 0;
};

} // namespace btr
