#include "tests/btrengine/fuzz/driver.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "tests/btrengine/harness.h"

namespace btr::test {

namespace {

constexpr size_t kDataSize = 8192;

struct World {
    std::string dir;
    std::string file;
    Client a{1}, b{2};
    uint8_t blocks[4][128] = {};

    World() {
        char tmpl[] = "/tmp/btrkit-fuzz-XXXXXX";
        if (!mkdtemp(tmpl)) std::abort();
        dir = tmpl;
        file = dir + "/real.dat";
        // Variable-length records, a unique integer key and a string key with
        // duplicates, case-insensitive.
        Spec spec(32, 1024, 1);
        spec.Key({{1, 4, 1}});
        spec.Key({{5, 10, 0}}, kDup | kMod | kNoCase);
        if (Create(file, spec) != 0) std::abort();
        Handle h(a);
        if (h.Open(file) != 0) std::abort();
        for (int i = 0; i < 20; ++i) h.Insert(Rec(32 + i, i, "rec" + std::to_string(i % 7)));
        h.Close();
    }
    ~World() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    // Every input starts from the same handles: both clients stopped (their
    // handles closed, transactions undone), the file open on blocks 0 and 1,
    // block 2 zeroed, block 3 forged.
    void Reset() {
        Transaction(25, a);
        Transaction(25, b);
        std::string name = file;
        int32_t len = 0;
        std::memset(blocks, 0, sizeof blocks);
        BTRCALLID(0, blocks[0], nullptr, &len, name.data(), static_cast<uint8_t>(name.size() + 1), 0, a.Id());
        BTRCALLID(0, blocks[1], nullptr, &len, name.data(), static_cast<uint8_t>(name.size() + 1), 0, b.Id());
        std::memcpy(blocks[3], blocks[0], 128);
        Put32(blocks[3] + 8, 7777); // a handle that was never given out
    }
};

World& TheWorld() {
    static World* w = new World; // the file outlives every input
    return *w;
}

class Reader {
public:
    Reader(const uint8_t* p, size_t n) : FP(p), FN(n) {}
    bool More() const { return FAt < FN; }
    uint8_t Byte() { return FAt < FN ? FP[FAt++] : 0; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
    void Bytes(uint8_t* out, size_t n) {
        for (size_t i = 0; i < n; ++i) out[i] = Byte();
    }

private:
    const uint8_t* FP;
    size_t FN, FAt = 0;
};

// Chunk requests that carry the caller's own addresses are left out: any
// pointer argument is the caller's promise, and the fuzzer cannot keep it.
void NoDirectChunks(uint16_t op, uint8_t keyNum, uint8_t* data, int32_t len) {
    const uint16_t base = op % 100;
    uint8_t* sub = base == 23 && keyNum == 254 && len >= 8 ? data + 4 : base == 53 && len >= 4 ? data : nullptr;
    if (!sub) return;
    const uint32_t s = Get32(sub);
    if ((s & ~0x40000000u) == 0x80000001u) Put32(sub, s & ~1u);
}

} // namespace

std::string FuzzFilePath() { return TheWorld().file; }

void RunEngineInput(const uint8_t* input, size_t size) {
    World& w = TheWorld();
    w.Reset();
    Reader in(input, size);
    std::vector<uint8_t> data(kDataSize), key(255);
    for (int calls = 0; in.More() && calls < 64; ++calls) {
        uint16_t op = in.Word();
        const uint8_t flags = in.Byte();
        const uint8_t keyNum = in.Byte();
        const uint8_t keyLen = in.Byte();
        const int32_t dataLen = std::min<int32_t>(in.Word(), kDataSize);
        const uint8_t fill = in.Byte();
        std::fill(data.begin(), data.end(), 0);
        std::fill(key.begin(), key.end(), 0);
        in.Bytes(data.data(), std::min<size_t>(fill * 8u, kDataSize));
        in.Bytes(key.data(), keyLen);
        // Open and create name files in the fuzzer's own directory only.
        if (op % 100 == 0 || op % 100 == 14) {
            const std::string name = (flags & 0x40) ? w.file : w.dir + "/f" + std::to_string(key[0] % 4);
            std::fill(key.begin(), key.end(), 0);
            std::memcpy(key.data(), name.data(), name.size());
        }
        if (op >= 2000) op = static_cast<uint16_t>(op % 64); // mostly real operations
        NoDirectChunks(op, keyNum, data.data(), dataLen);
        int32_t len = dataLen;
        uint8_t* block = (flags & 0x10) ? nullptr : w.blocks[flags & 3];
        void* dataBuf = (flags & 0x20) ? nullptr : data.data();
        int32_t* lenPtr = (flags & 0x80) ? nullptr : &len;
        const Client& client = (flags & 0x04) ? w.b : w.a;
        BTRCALLID(op, block, dataBuf, lenPtr, (flags & 0x08) ? nullptr : key.data(), keyLen, keyNum,
                  client.Id());
        // An answer may not claim more than the buffer offered.
        if (lenPtr && len > dataLen) std::abort();
    }
}

} // namespace btr::test
