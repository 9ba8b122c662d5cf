// What the processes of the sharing tests write: 16-byte records of an id
// (key 0, unique), a counter and 8 bytes of text (key 1, duplicates,
// modifiable).
#pragma once

#include "tests/btrengine/harness.h"

namespace btr::test::sharing {

constexpr size_t kLen = 16;

inline Spec FileSpec() { return Spec(kLen).Key({{1, 4, 1}}).Key({{9, 8, 0}}, kDup | kMod); }

inline Bytes Record(int32_t id, int32_t counter, const std::string& text = "") {
    std::string t = text;
    t.resize(8, ' ');
    return Pack(id, counter, t);
}
inline int32_t CounterOf(const Bytes& r) { return r.size() >= 8 ? static_cast<int32_t>(Get32(r.data() + 4)) : -1; }
inline std::string TextOf(const Bytes& r) {
    std::string t = r.size() >= kLen ? std::string(r.begin() + 8, r.begin() + 16) : std::string();
    while (!t.empty() && t.back() == ' ') t.pop_back();
    return t;
}

} // namespace btr::test::sharing
