// The records the durability writer inserts: an id and bytes derived from
// it, so a reader can tell an intact record from a torn one.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/btrengine/harness.h"

namespace btr::test {

constexpr uint16_t kDurableRecLen = 200;

inline std::vector<uint8_t> DurableRecord(int32_t id) {
    std::vector<uint8_t> r(kDurableRecLen);
    Put32(r.data(), static_cast<uint32_t>(id));
    uint32_t x = static_cast<uint32_t>(id) * 2654435761u + 1;
    for (size_t i = 4; i < r.size(); ++i) {
        x = x * 1103515245u + 12345u;
        r[i] = static_cast<uint8_t>(x >> 16);
    }
    return r;
}

inline Spec DurableSpec() {
    Spec s(kDurableRecLen, 4096);
    s.Key({{1, 4, 1}});
    return s;
}

} // namespace btr::test
