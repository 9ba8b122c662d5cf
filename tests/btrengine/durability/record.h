// What the kill test's child writes and the test reads back: a 100-byte record
// that carries its sequence number and a checksum over everything else, in a
// file with a unique integer key on the sequence and a duplicate string key.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace btr::test::durability {

constexpr int kRecordLen = 100;
constexpr int kTagLen = 20;
constexpr int kSumAt = kRecordLen - 4;

inline void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint32_t Get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline uint32_t Checksum(const uint8_t* p, size_t n) {
    uint32_t h = 2166136261u; // FNV-1a
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
    return h;
}

// The create buffer: 100-byte fixed records, key 0 the sequence (4-byte
// integer, unique), key 1 a 20-byte string tag with duplicates.
inline std::string CreateBuffer() {
    uint8_t b[16 + 2 * 16] = {};
    Put16(b + 0, kRecordLen);
    Put16(b + 2, 4096);
    Put16(b + 4, 2);
    uint8_t* k0 = b + 16;
    Put16(k0 + 0, 1);
    Put16(k0 + 2, 4);
    Put16(k0 + 4, 0x0100); // extended type follows
    k0[10] = 1;            // integer
    uint8_t* k1 = b + 32;
    Put16(k1 + 0, 5);
    Put16(k1 + 2, kTagLen);
    Put16(k1 + 4, 0x0001); // duplicates, plain string
    return std::string(reinterpret_cast<const char*>(b), sizeof b);
}

// Record `seq`: the sequence, a tag shared by every 37th record, bytes that
// differ per record, and the checksum of all of it.
inline void MakeRecord(uint32_t seq, uint8_t* rec) {
    std::memset(rec, 0, kRecordLen);
    Put32(rec, seq);
    char tag[kTagLen + 1];
    std::snprintf(tag, sizeof tag, "tag-%05u           ", seq % 37);
    std::memcpy(rec + 4, tag, kTagLen);
    uint32_t x = seq * 2654435761u + 1;
    for (int i = 4 + kTagLen; i < kSumAt; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        rec[i] = static_cast<uint8_t>(x);
    }
    Put32(rec + kSumAt, Checksum(rec, kSumAt));
}

// True when `rec` is exactly what MakeRecord writes for its own sequence.
inline bool Intact(const uint8_t* rec) {
    uint8_t expect[kRecordLen];
    MakeRecord(Get32(rec), expect);
    return std::memcmp(rec, expect, kRecordLen) == 0;
}

} // namespace btr::test::durability
