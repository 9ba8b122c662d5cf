#include "tests/btrengine/fuzz/driver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>

#include "tests/btrengine/entry.h"

namespace btr::test {

namespace {

namespace fs = std::filesystem;

using Id = std::array<uint8_t, 16>;

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void Put16(std::string& s, uint16_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

Id MakeId(const char* text) {
    Id id{};
    std::memcpy(id.data(), text, std::min<size_t>(std::strlen(text), id.size()));
    return id;
}

const Id kClientA = MakeId("fuzz-client-A"), kClientB = MakeId("fuzz-client-B"), kChecker = MakeId("fuzz-checker");

// What open (0) and create (14) may name: the two real files, one that the
// input may create, a file that is no database, a database cut short, an
// empty path, a directory and a path through a missing directory. Nothing
// outside the driver's directory is ever named.
const char* const kPathNames[] = {"fixed.btr", "var.btr", "new.btr", "notdb.btr", "trunc.btr", "", "sub", "nodir/x.btr"};
constexpr size_t kPaths = std::size(kPathNames);
const char* const kRealFiles[] = {"fixed.btr", "var.btr"};

// Key flags of the create buffer.
constexpr uint16_t kDup = 0x0001, kMod = 0x0002, kNullKey = 0x0008, kSeg = 0x0010, kAlt = 0x0020, kDesc = 0x0040,
                   kExt = 0x0100, kAnyNull = 0x0200, kNoCase = 0x0400;

std::string Segment(uint16_t pos, uint16_t len, uint16_t flags, uint8_t type, uint8_t nullValue = 0) {
    std::string s;
    Put16(s, pos);
    Put16(s, len);
    Put16(s, flags);
    s.append(4, '\0');
    s += static_cast<char>(type);
    s += static_cast<char>(nullValue);
    s.append(4, '\0');
    return s;
}

std::string Header(uint16_t recordLen, uint16_t page, uint16_t keys, uint16_t fileFlags) {
    std::string s;
    Put16(s, recordLen);
    Put16(s, page);
    Put16(s, keys);
    s.append(4, '\0');
    Put16(s, fileFlags);
    s.append(4, '\0');
    return s;
}

// fixed.btr: 40-byte records; key 0 a unique integer, key 1 a string plus a
// short integer with duplicates, key 2 a string through an alternate
// collating sequence that folds lower to upper case.
std::string FixedSpec() {
    std::string s = Header(40, 1024, 3, 0);
    s += Segment(1, 4, kExt, 1);
    s += Segment(5, 10, kDup | kMod | kSeg, 0);
    s += Segment(15, 2, kDup | kMod | kExt, 1);
    s += Segment(17, 8, kDup | kMod | kAlt, 0);
    s += static_cast<char>(0xAC);
    s += "UPPER   ";
    for (int i = 0; i < 256; ++i) s += static_cast<char>(i >= 'a' && i <= 'z' ? i - 32 : i);
    return s;
}

// var.btr: variable-length, 16 fixed bytes; key 0 autoincrement, key 1 a
// descending, case-insensitive zstring left out of the index when empty.
std::string VarSpec() {
    std::string s = Header(16, 512, 2, 1);
    s += Segment(1, 4, kExt, 15);
    s += Segment(5, 12, kDup | kMod | kDesc | kNoCase | kNullKey | kExt, 11);
    return s;
}

std::string FixedRecord(int i) {
    std::string r(40, '\0');
    const int32_t k = i * 3 - 40;
    std::memcpy(r.data(), &k, 4);
    std::snprintf(r.data() + 4, 11, "name%02d    ", i % 7);
    const int16_t small = static_cast<int16_t>(i % 5 - 2);
    std::memcpy(r.data() + 14, &small, 2);
    static const char* const words[] = {"alpha", "Beta", "GAMMA", "delta", "Alpha"};
    std::snprintf(r.data() + 16, 9, "%-8s", words[i % 5]);
    for (int j = 24; j < 40; ++j) r[static_cast<size_t>(j)] = static_cast<char>(i * 7 + j);
    return r;
}

std::string VarRecord(int i) {
    std::string r(16 + static_cast<size_t>(i * 13 % 200), '\0');
    if (i % 6) std::snprintf(r.data() + 4, 12, "Word%d", i % 9); // every sixth empty: not indexed
    if (i % 6) r[15] = 'z';                                      // bytes after the zero do not count
    for (size_t j = 16; j < r.size(); ++j) r[j] = static_cast<char>(i + j);
    return r;
}

std::optional<std::string> ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void RemoveDb(const fs::path& p) {
    std::error_code ec;
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(p.string() + suffix, ec);
}

int16_t CallAs(const Id* client, uint16_t op, uint8_t* pb, void* data, int32_t* len, void* key, uint8_t keyLen,
               uint8_t keyNum) {
    if (!client) return BTRCALL(op, pb, data, len, key, keyLen, keyNum);
    return BTRCALLID(op, pb, data, len, key, keyLen, keyNum, const_cast<uint8_t*>(client->data()));
}

int OpenAs(const Id* client, uint8_t* pb, const std::string& path, uint8_t mode, const std::string& owner = {}) {
    std::string key = path;
    std::string data = owner;
    int32_t len = static_cast<int32_t>(data.size());
    return CallAs(client, 0, pb, data.data(), &len, key.data(), static_cast<uint8_t>(key.size() + 1), mode);
}

// A file the fuzzed calls work on, kept as the bytes it had when it was made
// so that every input starts from the same file.
struct Template {
    std::string name, main, wal;
};

struct World {
    fs::path dir;
    std::vector<Template> templates;
    std::string trunc; // a database cut short
    std::unique_ptr<uint8_t[]> blocks[8];

    World() {
        std::string tmpl = (fs::temp_directory_path() / "btrkit-enginefuzz-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        dir = tmpl;
        fs::create_directory(dir / "sub");
        for (auto& b : blocks) b.reset(new uint8_t[128]);
        Make("fixed.btr", FixedSpec(), 30, FixedRecord);
        Make("var.btr", VarSpec(), 30, VarRecord);
        trunc = templates[0].main.substr(0, std::min<size_t>(templates[0].main.size(), 1536));
    }
    ~World() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    std::string Path(const char* name) const { return *name ? (dir / name).string() : std::string(); }

    void Make(const char* name, std::string spec, int records, std::string (*record)(int)) {
        const std::string path = Path(name);
        uint8_t pb[128] = {};
        int32_t len = static_cast<int32_t>(spec.size());
        std::string key = path;
        if (CallAs(&kChecker, 14, pb, spec.data(), &len, key.data(), static_cast<uint8_t>(key.size() + 1), 0) != 0 ||
            OpenAs(&kChecker, pb, path, 0) != 0)
            throw std::runtime_error("cannot make " + path);
        for (int i = 0; i < records; ++i) {
            std::string r = record(i);
            uint8_t k[255];
            len = static_cast<int32_t>(r.size());
            if (CallAs(&kChecker, 2, pb, r.data(), &len, k, sizeof k, 0) != 0)
                throw std::runtime_error("cannot fill " + path);
        }
        len = 0;
        CallAs(&kChecker, 1, pb, nullptr, &len, nullptr, 0, 0);
        Template t{name, ReadFile(path).value_or(""), ReadFile(path + "-wal").value_or("")};
        templates.push_back(std::move(t));
    }

    void Restore() {
        for (const Template& t : templates) {
            const fs::path p = Path(t.name.c_str());
            RemoveDb(p);
            WriteFile(p, t.main);
            if (!t.wal.empty()) WriteFile(p.string() + "-wal", t.wal);
        }
        RemoveDb(Path("new.btr"));
        RemoveDb(Path("notdb.btr"));
        RemoveDb(Path("trunc.btr"));
        std::string text;
        for (int i = 0; i < 40; ++i) text += "this is a text file, not a database\n";
        WriteFile(Path("notdb.btr"), text);
        WriteFile(Path("trunc.btr"), trunc);
        // A create may have put a file where the directory was.
        std::error_code ec;
        if (!fs::is_directory(dir / "sub", ec)) {
            fs::remove_all(dir / "sub", ec);
            fs::create_directory(dir / "sub", ec);
        }
    }
};

World& TheWorld() {
    static World w;
    return w;
}

class Reader {
public:
    Reader(const uint8_t* p, size_t n) : FP(p), FN(n) {}
    bool More() const { return FAt < FN; }
    uint8_t Byte() { return FAt < FN ? FP[FAt++] : 0; }
    uint16_t Word() {
        const uint8_t lo = Byte();
        return static_cast<uint16_t>(lo | Byte() << 8);
    }
    // Up to `n` bytes into `out`; how many there were.
    size_t Bytes(uint8_t* out, size_t n) {
        n = std::min(n, FN - FAt);
        if (n) std::memcpy(out, FP + FAt, n);
        FAt += n;
        return n;
    }

private:
    const uint8_t* FP;
    size_t FN, FAt = 0;
};

// Chunk requests that carry the caller's own addresses are left out: the
// engine writes to and reads from those addresses by design, and no fuzzer
// can keep that promise.
void NoDirectChunks(uint16_t op, uint8_t* data, int64_t cap) {
    if (!data || op >= 500) return;
    uint8_t* sub = nullptr;
    if (op % 100 == 23 && cap >= 8) sub = data + 4;
    if (op % 100 == 53 && cap >= 4) sub = data;
    if (!sub) return;
    const uint32_t s = Get32(sub);
    if ((s & ~0x40000000u) == 0x80000001u) Put32(sub, s & ~1u);
}

// Reads one real file whole after an input: it must open (exclusively, so no
// handle of the input survived its client's reset), stat, step through every
// record and scan every key, and the counts must agree.
void CheckFile(const World& w, const char* name, const std::set<std::string>& owners, std::string& faults) {
    const std::string path = w.Path(name);
    auto fault = [&](const std::string& what) { faults += std::string(name) + ": " + what + "\n"; };
    uint8_t pb[128] = {};
    int st = OpenAs(&kChecker, pb, path, 252);
    for (auto it = owners.begin(); st == 51 && it != owners.end(); ++it) st = OpenAs(&kChecker, pb, path, 252, *it);
    if (st != 0) return fault("does not open exclusively after the input: " + std::to_string(st));

    static std::vector<uint8_t> buf(1 << 17); // one buffer for every check: inputs are many
    uint8_t key[255];
    int32_t len = 4096;
    st = CallAs(&kChecker, 15, pb, buf.data(), &len, key, sizeof key, 0);
    if (st != 0 || len < 16) return fault("stat answers " + std::to_string(st));
    const size_t statLen = static_cast<size_t>(len);
    const uint16_t recordLen = Get16(buf.data()), keys = Get16(buf.data() + 4);
    const uint32_t records = Get32(buf.data() + 6);
    std::vector<bool> nullable;
    for (size_t at = 16; nullable.size() < keys && at + 16 <= statLen;) {
        bool maybeNull = false, more = true;
        for (; more && at + 16 <= statLen; at += 16) {
            const uint16_t flags = Get16(buf.data() + at + 4);
            maybeNull = maybeNull || (flags & (kNullKey | kAnyNull));
            more = flags & kSeg;
        }
        nullable.push_back(maybeNull);
    }
    if (nullable.size() != keys) fault("stat lists fewer keys than it counts");

    uint32_t steps = 0;
    for (uint16_t op = 33;; op = 24) {
        len = static_cast<int32_t>(buf.size());
        st = CallAs(&kChecker, op, pb, buf.data(), &len, key, sizeof key, 0);
        if (st == 9) break;
        if ((st != 0 && st != 22) || len < recordLen) {
            fault("step answers " + std::to_string(st) + " with " + std::to_string(len) + " bytes");
            break;
        }
        if (++steps > records + 1) break;
    }
    if (steps != records) fault("stat counts " + std::to_string(records) + ", steps find " + std::to_string(steps));
    for (uint8_t k = 0; k < nullable.size(); ++k) {
        uint32_t n = 0;
        for (uint16_t op = 12;; op = 6) {
            len = static_cast<int32_t>(buf.size());
            st = CallAs(&kChecker, op, pb, buf.data(), &len, key, sizeof key, k);
            if (st == 9) break;
            if (st != 0 && st != 22) {
                fault("scan of key " + std::to_string(k) + " answers " + std::to_string(st));
                break;
            }
            if (++n > records + 1) break;
        }
        if (nullable[k] ? n > steps : n != steps)
            fault("key " + std::to_string(k) + " indexes " + std::to_string(n) + " of " + std::to_string(steps) +
                  " records");
    }
    len = 0;
    if ((st = CallAs(&kChecker, 1, pb, nullptr, &len, nullptr, 0, 0)) != 0) fault("close answers " + std::to_string(st));
}

} // namespace

std::string FuzzDirectory() { return TheWorld().dir.string(); }

std::string RunEngineInput(const uint8_t* input, size_t size, std::vector<int>* statuses) {
    World& w = TheWorld();
    w.Restore();
    Id forged = MakeId("forged-client");
    std::set<Id> forgedUsed;
    std::set<std::string> owners;
    std::string faults;

    auto setUp = [&](int slot, const Id* client, const char* name, uint8_t mode) {
        std::memset(w.blocks[slot].get(), 0, 128);
        if (OpenAs(client, w.blocks[slot].get(), w.Path(name), mode) != 0)
            faults += std::string("setup: ") + name + " does not open\n";
    };
    for (auto& b : w.blocks) std::memset(b.get(), 0, 128);
    setUp(0, &kClientA, "fixed.btr", 0);
    setUp(1, &kClientB, "fixed.btr", 0);
    setUp(2, &kClientA, "var.btr", 0);
    setUp(3, nullptr, "fixed.btr", 254);
    setUp(6, &kClientA, "var.btr", 0);
    int32_t zero = 0;
    CallAs(&kClientA, 1, w.blocks[6].get(), nullptr, &zero, nullptr, 0, 0); // stale from here on
    std::memcpy(w.blocks[5].get(), w.blocks[0].get(), 128);
    w.blocks[5][8] ^= 0x5A;

    Reader in(input, size);
    for (int calls = 0; in.More() && calls < 256; ++calls) {
        const uint8_t tag = in.Byte();
        if (tag == 0xFF) {
            in.Bytes(forged.data(), forged.size());
            continue;
        }
        if (tag == 0xFE) {
            const uint8_t from = in.Byte() & 7, at = in.Byte() & 127, x = in.Byte();
            if (from != 5) std::memcpy(w.blocks[5].get(), w.blocks[from].get(), 128);
            w.blocks[5][at] ^= x;
            continue;
        }
        if (tag == 0xFD) {
            const uint8_t from = in.Byte() & 7, to = in.Byte() & 7;
            if (from != to) std::memcpy(w.blocks[to].get(), w.blocks[from].get(), 128);
            continue;
        }
        uint16_t op = in.Word();
        const uint8_t sel = in.Byte(), keyNum = in.Byte();
        uint8_t keyLen = in.Byte();
        const uint8_t lenFlags = in.Byte();
        const uint16_t cap = in.Word(), n = in.Word();

        // Buffers of exactly the size the call is told, so that the sanitizer
        // sees any access beyond them.
        // The input's n bytes are all consumed; as many as fit fill the buffer.
        std::vector<uint8_t> given(n);
        given.resize(in.Bytes(given.data(), n));
        std::unique_ptr<uint8_t[]> data(new uint8_t[cap]());
        if (!given.empty() && cap) std::memcpy(data.get(), given.data(), std::min<size_t>(given.size(), cap));
        std::unique_ptr<uint8_t[]> key(new uint8_t[keyLen]());
        const size_t m = in.Bytes(key.get(), std::min<size_t>(in.Byte(), keyLen));
        if (op == 0 || op == 14) {
            const std::string path = w.Path(kPathNames[(m ? key[0] : 0) % kPaths]);
            keyLen = static_cast<uint8_t>(std::max<size_t>(keyLen, path.size() + 1));
            key.reset(new uint8_t[keyLen]());
            std::memcpy(key.get(), path.data(), path.size());
        }
        // Lock waits would only time out here (one thread); ask without waiting.
        if (op >= 100 && op < 500 && (op / 100) % 2 == 1) op = static_cast<uint16_t>(op + 100);
        NoDirectChunks(op, data.get(), cap);

        const Id* client = nullptr;
        switch ((sel >> 4) & 3) {
        case 0: client = &kClientA; break;
        case 1: client = &kClientB; break;
        case 2: client = nullptr; break;
        default: client = &forged, forgedUsed.insert(forged); break;
        }
        const int32_t passed = (lenFlags & 0x02) ? -int32_t{cap} : int32_t{cap};
        int32_t len = passed;
        int32_t* lenPtr = (lenFlags & 0x01) ? nullptr : &len;
        uint8_t* block = (sel & 0x08) ? nullptr : w.blocks[sel & 7].get();
        void* dataBuf = (sel & 0x80) ? nullptr : data.get();
        void* keyBuf = (sel & 0x40) ? nullptr : key.get();
        const int st = CallAs(client, op, block, dataBuf, lenPtr, keyBuf, keyLen, keyNum);
        if (statuses) statuses->push_back(st);
        if (lenPtr && len > std::max(passed, 0))
            faults += "op " + std::to_string(op) + " answered " + std::to_string(st) + " with a length of " +
                      std::to_string(len) + " for a buffer of " + std::to_string(passed) + "\n";
        if (op == 29 && st == 0 && dataBuf && passed > 0)
            owners.insert(std::string(reinterpret_cast<const char*>(data.get()),
                                      strnlen(reinterpret_cast<const char*>(data.get()), std::min<int32_t>(passed, 8))));
    }

    // Stop every client the input used: their handles close, their
    // transactions are undone, their locks released.
    for (const Id* c : {&kClientA, &kClientB, static_cast<const Id*>(nullptr), &kChecker}) {
        int32_t len = 0;
        CallAs(c, 28, nullptr, nullptr, &len, nullptr, 0, 0);
    }
    for (const Id& c : forgedUsed) {
        int32_t len = 0;
        CallAs(&c, 28, nullptr, nullptr, &len, nullptr, 0, 0);
    }
    for (const char* name : kRealFiles) CheckFile(w, name, owners, faults);
    return faults;
}

} // namespace btr::test
