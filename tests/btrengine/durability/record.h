// What the kill test's child writes and the test reads back: 100-byte records
// that carry their sequence number, in a file with a unique integer key on the
// sequence and a string key with duplicates on a tag.
#pragma once

#include "tests/btrengine/harness.h"

namespace btr::test::durability {

constexpr size_t kRecordLen = 100;
// Each writer's records have ids of their own: writer W's are W * kRange + its sequence.
constexpr uint32_t kRange = 100000000;

inline Spec FileSpec() {
    return Spec(kRecordLen, 4096).Key({{1, 4, 1}}).Key({{5, 20, 0}}, kDup);
}

// Record `seq` (an id): the id, a tag shared by every 37th record, then
// bytes that differ from record to record.
inline Bytes MakeRecord(uint32_t seq) {
    Bytes r = Rec(kRecordLen, static_cast<int32_t>(seq), "tag-" + std::to_string(seq % 37));
    for (size_t i = 24; i < kRecordLen; ++i) r[i] = static_cast<uint8_t>((seq * 2654435761u + i * 40503u) >> 24);
    return r;
}

// True when `rec` is exactly what MakeRecord writes for its own sequence.
inline bool Intact(const Bytes& rec) { return rec.size() == kRecordLen && rec == MakeRecord(Get32(rec.data())); }

} // namespace btr::test::durability
