// Drives the embedded engine at its entry point: create buffers, clients,
// handles and records as a client program builds them.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <type_traits>
#include <vector>

#include "tests/btrengine/entry.h"
#include "tests/btrengine/place.h"

namespace btr::test {

using Bytes = std::vector<uint8_t>;
using Ids = std::vector<int32_t>;

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
inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// Numbers as their in-memory (little-endian) bytes and byte strings, end to end.
template <class... T> Bytes Pack(const T&... parts) {
    Bytes b;
    auto one = [&b](const auto& x) {
        const size_t at = b.size();
        if constexpr (std::is_arithmetic_v<std::decay_t<decltype(x)>>) {
            b.resize(at + sizeof x);
            std::memcpy(b.data() + at, &x, sizeof x);
        } else {
            b.resize(at + std::size(x));
            if (std::size(x)) std::memcpy(b.data() + at, std::data(x), std::size(x));
        }
    };
    (one(parts), ...);
    return b;
}

// Key flags and types of the create buffer.
constexpr uint16_t kDup = 0x0001, kMod = 0x0002, kBin = 0x0004, kNull = 0x0008, kSeg = 0x0010, kAlt = 0x0020,
                   kDesc = 0x0040, kExt = 0x0100, kAnyNull = 0x0200, kNoCase = 0x0400;

// The create buffer: header, segments, optional collating sequence.
class Spec {
public:
    explicit Spec(uint16_t recordLen, uint16_t pageSize = 1024, uint16_t fileFlags = 0) {
        FBytes.resize(16);
        Put16(FBytes.data(), recordLen);
        Put16(FBytes.data() + 2, pageSize);
        Put16(FBytes.data() + 10, fileFlags);
    }
    // One key of one or more segments; `flags` apply to every segment. Each
    // segment names its extended type, except a binary one (kBin), which is
    // written in the older form the flag alone stands for.
    struct Seg {
        uint16_t pos, len;
        uint8_t type;
        uint16_t flags = 0;
        uint8_t nullValue = 0;
    };
    Spec& Key(std::vector<Seg> segs, uint16_t flags = 0) {
        for (size_t i = 0; i < segs.size(); ++i) {
            uint8_t s[16] = {};
            Put16(s, segs[i].pos);
            Put16(s + 2, segs[i].len);
            const uint16_t f = flags | segs[i].flags;
            Put16(s + 4, static_cast<uint16_t>(f | (f & kBin ? 0 : kExt) | (i + 1 < segs.size() ? kSeg : 0)));
            s[10] = segs[i].type;
            s[11] = segs[i].nullValue;
            FBytes.insert(FBytes.end(), s, s + 16);
        }
        Put16(FBytes.data() + 4, static_cast<uint16_t>(Get16(FBytes.data() + 4) + 1));
        return *this;
    }
    Spec& Collation(const std::string& name, const std::array<uint8_t, 256>& table) {
        FBytes.push_back(0xAC);
        std::string n = name;
        n.resize(8, ' ');
        FBytes.insert(FBytes.end(), n.begin(), n.end());
        FBytes.insert(FBytes.end(), table.begin(), table.end());
        return *this;
    }
    std::vector<uint8_t>& Bytes() { return FBytes; }
    const std::vector<uint8_t>& Bytes() const { return FBytes; }

private:
    std::vector<uint8_t> FBytes;
};

// A 16-byte client identifier; distinct numbers give distinct clients.
struct Client {
    std::array<uint8_t, 16> id{};
    explicit Client(uint16_t n = 1) {
        id[12] = 'T';
        id[13] = 'S';
        Put16(id.data() + 14, n);
    }
    // The entry takes the identifier as void*; it only reads it.
    void* Id() const { return const_cast<uint8_t*>(id.data()); }
};

inline int16_t Create(const std::string& path, const Spec& spec, uint8_t mode = 0) {
    std::string name = path;
    Bytes bytes = spec.Bytes();
    int32_t len = static_cast<int32_t>(bytes.size());
    return BTRCALL(14, nullptr, bytes.data(), &len, name.data(), static_cast<uint8_t>(name.size() + 1), mode);
}

// Begin/end/abort transaction, stop and reset: the calls of a client, not of a handle.
inline int16_t Transaction(uint16_t op, const Client& c) {
    int32_t len = 0;
    return BTRCALLID(op, nullptr, nullptr, &len, nullptr, 0, 0, c.Id());
}

// A record of `len` bytes: a 4-byte integer at 0, then text.
inline Bytes Rec(size_t len, int32_t id, const std::string& text = {}) {
    Bytes r = Pack(id, text);
    r.resize(len);
    return r;
}
inline int32_t IdOf(const Bytes& r) { return r.size() >= 4 ? static_cast<int32_t>(Get32(r.data())) : -1; }
inline Bytes Int32Key(int32_t v) { return Pack(v); }

// One position block of one client.
class Handle {
public:
    explicit Handle(Client c = Client()) : FClient(c) {}

    int16_t Call(uint16_t op, void* data, int32_t& len, void* key, uint8_t keyLen, uint8_t keyNum) {
        return BTRCALLID(op, FPos, data, &len, key, keyLen, keyNum, FClient.Id());
    }
    int16_t Open(const std::string& path, uint8_t mode = 0, const std::string& owner = "") {
        std::string name = path;
        std::string own = owner;
        int32_t len = static_cast<int32_t>(own.size());
        return Call(0, own.empty() ? nullptr : own.data(), len, name.data(), static_cast<uint8_t>(name.size() + 1), mode);
    }
    // Creates the file and opens it: the first status that is not 0.
    int16_t Make(const std::string& path, const Spec& spec) {
        const int16_t st = Create(path, spec);
        return st ? st : Open(path);
    }
    int16_t Close() { return Plain(1); }
    int16_t Insert(Bytes rec, uint8_t keyNum = 0) { return Write(2, rec, keyNum); }
    int16_t Update(Bytes rec, uint8_t keyNum = 0) { return Write(3, rec, keyNum); }
    int16_t Delete() { return Plain(4); }
    // A get, step or any read whose data buffer starts with `data` (the
    // position of get direct, the value of get by percentage); the record read
    // lands in Record, the key buffer in Key.
    int16_t Get(uint16_t op, uint8_t keyNum = 0, const Bytes& key = {}, int32_t cap = 4096, const Bytes& data = {}) {
        Record = data;
        Record.resize(static_cast<size_t>(cap));
        Key = key;
        Key.resize(255);
        int32_t len = cap;
        const int16_t st = Call(op, Record.data(), len, Key.data(), 255, keyNum);
        Record.resize(static_cast<size_t>(std::max(len, 0)));
        return st;
    }
    // An operation whose data buffer starts with a 4-byte value: get direct
    // (23), get by percentage (44), unlock at a position (27).
    int16_t GetBy(uint16_t op, uint32_t value, uint8_t keyNum = 0) { return Get(op, keyNum, {}, 4096, Pack(value)); }
    uint32_t Position() { // 0 without one
        uint8_t p[4] = {};
        int32_t len = 4;
        return Call(22, p, len, nullptr, 0, 0) == 0 ? Get32(p) : 0;
    }
    int16_t Unlock(uint8_t keyNum = 0, uint32_t pos = 0) { return GetBy(27, pos, keyNum); }
    // The ids of the records a walk reads: get first/next by default, any
    // other pair of operations (13/7 backwards, 33/24 physically) as given.
    Ids Walk(uint8_t keyNum = 0, uint16_t first = 12, uint16_t next = 6) {
        Ids ids;
        for (int16_t st = Get(first, keyNum); st == 0; st = Get(next, keyNum)) ids.push_back(IdOf(Record));
        return ids;
    }
    uint8_t* Block() { return FPos; }
    const Client& Owner() const { return FClient; }

    Bytes Record, Key = Bytes(255);

private:
    int16_t Plain(uint16_t op) {
        int32_t len = 0;
        return Call(op, nullptr, len, nullptr, 0, 0);
    }
    int16_t Write(uint16_t op, Bytes& rec, uint8_t keyNum) {
        int32_t len = static_cast<int32_t>(rec.size());
        uint8_t key[255];
        return Call(op, rec.data(), len, key, sizeof key, keyNum);
    }
    Client FClient;
    uint8_t FPos[128] = {};
};

// No file at `path` (a refused create left none).
inline bool Absent(const std::string& path) {
    if (path.find("://") == std::string::npos) return !std::filesystem::exists(path);
    Handle h(Client(9999));
    const int16_t st = h.Open(path);
    if (st == 0) h.Close();
    return st == 12;
}

// The id of the record a call of `h` read, or minus the status it answered.
inline int32_t IdRead(const Handle& h, int16_t status) { return status ? -status : IdOf(h.Record); }

} // namespace btr::test
