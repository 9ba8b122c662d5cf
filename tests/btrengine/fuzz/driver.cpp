#include "tests/btrengine/fuzz/driver.h"

#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <stdexcept>

#include "tests/btrengine/harness.h"

namespace btr::test {

namespace {

namespace fs = std::filesystem;

const Client kClientA(0xA1), kClientB(0xB2), kChecker(0xC3);

// What open (0) and create (14) may name: the two real files, one that the
// input may create, a file that is no database, a database cut short, an
// empty path, a directory, a path through a missing directory, then copies
// of fixed.btr damaged as kDamage says. Nothing outside the driver's
// directory is ever named.
const char* const kPathNames[] = {"fixed.btr", "var.btr", "new.btr", "notdb.btr", "trunc.btr", "", "sub", "nodir/x.btr",
                                  "short.btr", "long.btr", "empty.btr", "segpast.btr", "cutspec.btr", "notable.btr",
                                  "badlen.btr", "noacs.btr"};
constexpr size_t kPaths = std::size(kPathNames);

// fixed.btr: 40-byte records; key 0 a unique integer, key 1 a string plus a
// short integer with duplicates, key 2 a string through an alternate
// collating sequence that folds lower to upper case.
Spec FixedSpec() {
    std::array<uint8_t, 256> upper;
    for (int i = 0; i < 256; ++i) upper[static_cast<size_t>(i)] = static_cast<uint8_t>(i >= 'a' && i <= 'z' ? i - 32 : i);
    return Spec(40)
        .Key({{1, 4, 1}})
        .Key({{5, 10, 0}, {15, 2, 1}}, kDup | kMod)
        .Key({{17, 8, 0}}, kDup | kMod | kAlt)
        .Collation("UPPER", upper);
}

Bytes FixedRecord(int i) {
    static const std::string words[] = {"alpha   ", "Beta    ", "GAMMA   ", "delta   ", "Alpha   "};
    Bytes r = Pack(i * 3 - 40, "name0" + std::to_string(i % 7) + "    ", static_cast<int16_t>(i % 5 - 2), words[i % 5]);
    for (int j = 24; j < 40; ++j) r.push_back(static_cast<uint8_t>(i * 7 + j));
    return r;
}

// var.btr: variable-length, 16 fixed bytes; key 0 autoincrement, key 1 a
// descending, case-insensitive zstring left out of the index when empty.
Spec VarSpec() {
    return Spec(16, 512, 1).Key({{1, 4, 15}}).Key({{5, 12, 11}}, kDup | kMod | kDesc | kNoCase | kNull);
}

Bytes VarRecord(int i) {
    Bytes r(16 + static_cast<size_t>(i * 13 % 200));
    if (i % 6) { // every sixth empty: not indexed; the bytes after the zero do not count
        const std::string word = "Word" + std::to_string(i % 9);
        std::copy(word.begin(), word.end(), r.begin() + 4);
        r[15] = 'z';
    }
    for (size_t j = 16; j < r.size(); ++j) r[j] = static_cast<uint8_t>(i + static_cast<int>(j));
    return r;
}

// Damaged databases: the stored layout and the records (or the tables)
// contradict each other. fixed.btr's spec row is the header (16 bytes), the
// four segments (key 0; key 1 in two; key 2 at offset 64) and the collating
// sequence.
const struct {
    const char* name;
    const char* sql;
} kDamage[] = {
    {"short.btr", "UPDATE rec SET data=substr(data, 1, 20) WHERE pos % 3 = 0"}, // records shorter than the layout
    {"long.btr", "UPDATE rec SET data=data || x'00112233' WHERE pos % 4 = 1"},  // longer, in a fixed-length file
    {"empty.btr", "UPDATE rec SET data=x'' WHERE pos = 5"},
    {"segpast.btr", "UPDATE spec SET bytes=substr(bytes, 1, 64) || x'2400' || substr(bytes, 67)"}, // key 2 at 36..43
    {"cutspec.btr", "UPDATE spec SET bytes=substr(bytes, 1, 40)"}, // three keys, a segment and a half
    {"notable.btr", "DROP TABLE k2"},
    {"badlen.btr", "UPDATE spec SET bytes=substr(bytes, 1, 18) || x'0300' || substr(bytes, 21)"}, // a 3-byte integer
    {"noacs.btr", "UPDATE spec SET bytes=substr(bytes, 1, 80)"}, // key 2 collates through a table no longer there
};

int16_t CallAs(const Client* c, uint16_t op, uint8_t* pb, void* data, int32_t* len, void* key, uint8_t keyLen,
               uint8_t keyNum) {
    return c ? BTRCALLID(op, pb, data, len, key, keyLen, keyNum, c->Id()) : BTRCALL(op, pb, data, len, key, keyLen, keyNum);
}

int16_t OpenAs(const Client* c, uint8_t* pb, const std::string& path, uint8_t mode, std::string owner = {}) {
    std::string key = path;
    int32_t len = static_cast<int32_t>(owner.size());
    return CallAs(c, 0, pb, owner.data(), &len, key.data(), static_cast<uint8_t>(key.size() + 1), mode);
}

// The driver's directory: the files the calls work on, restored before
// every input from the copies in saved/, and the position blocks.
struct World {
    fs::path dir, saved;
    std::unique_ptr<uint8_t[]> blocks[8];

    World() {
        std::string tmpl = (fs::temp_directory_path() / "btrkit-enginefuzz-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        dir = tmpl;
        saved = dir / "saved";
        fs::create_directory(saved);
        for (auto& b : blocks) b.reset(new uint8_t[128]);
        Make("fixed.btr", FixedSpec(), FixedRecord);
        Make("var.btr", VarSpec(), VarRecord);
        std::ofstream text(saved / "notdb.btr");
        for (int i = 0; i < 40; ++i) text << "this is a text file, not a database\n";
        fs::copy_file(saved / "fixed.btr", saved / "trunc.btr");
        fs::resize_file(saved / "trunc.btr", std::min<uintmax_t>(fs::file_size(saved / "trunc.btr"), 1536));
        for (const auto& d : kDamage) Damage(d.name, d.sql);
    }
    ~World() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    std::string Path(const char* name) const { return *name ? (dir / name).string() : std::string(); }

    void Make(const char* name, Spec spec, Bytes (*record)(int)) {
        Handle h(kChecker);
        bool ok = h.Make(Path(name), spec) == 0;
        for (int i = 0; ok && i < 30; ++i) ok = h.Insert(record(i)) == 0;
        if (!ok || h.Close() != 0) throw std::runtime_error(std::string("cannot make ") + name);
        for (const char* suffix : {"", "-wal"})
            if (fs::exists(Path(name) + suffix)) fs::copy_file(Path(name) + suffix, (saved / name).string() + suffix);
    }

    // A copy of fixed.btr changed behind the engine's back, whole in the
    // database file itself.
    void Damage(const char* name, const char* sql) {
        const std::string path = (saved / name).string();
        fs::copy_file(saved / "fixed.btr", path);
        sqlite3* db = nullptr;
        bool ok = sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
                  sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK &&
                  sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr) == SQLITE_OK;
        ok = sqlite3_close(db) == SQLITE_OK && ok;
        std::error_code ec;
        for (const char* suffix : {"-wal", "-shm"}) fs::remove(path + suffix, ec);
        if (!ok) throw std::runtime_error(std::string("cannot damage ") + name);
    }

    void Restore() {
        std::error_code ec;
        for (const char* name : kPathNames)
            for (const char* suffix : {"", "-wal", "-shm"})
                if (*name) fs::remove(Path(name) + suffix, ec);
        for (const auto& e : fs::directory_iterator(saved)) fs::copy_file(e.path(), dir / e.path().filename(), ec);
        fs::create_directory(dir / "sub", ec);
    }
};

World& TheWorld() {
    static World w;
    return w;
}

// Chunk requests that carry the caller's own addresses are left out: the
// engine writes to and reads from those addresses by design, and no fuzzer
// can keep that promise.
void NoDirectChunks(uint16_t op, uint8_t* data, int64_t cap) {
    if (!data || op >= 500) return;
    uint8_t* sub = nullptr;
    if (op % 100 == 23 && cap >= 8) sub = data + 4;
    if (op % 100 == 53 && cap >= 4) sub = data;
    if (sub && (Get32(sub) & ~0x40000000u) == 0x80000001u) Put32(sub, Get32(sub) & ~1u);
}

// Reads one real file whole after an input: it must open (exclusively, so no
// handle of the input survived its client's reset), stat, step through every
// record and scan every key, and the counts must agree.
void CheckFile(const World& w, const char* name, const std::set<std::string>& owners, std::string& faults) {
    auto fault = [&](const std::string& what) { faults += std::string(name) + ": " + what + "\n"; };
    uint8_t pb[128] = {};
    int st = OpenAs(&kChecker, pb, w.Path(name), 252);
    for (auto it = owners.begin(); st == 51 && it != owners.end(); ++it) st = OpenAs(&kChecker, pb, w.Path(name), 252, *it);
    if (st != 0) return fault("does not open exclusively after the input: " + std::to_string(st));

    static std::vector<uint8_t> buf(1 << 17); // one buffer for every check: inputs are many
    uint8_t key[255];
    int32_t len = 4096;
    st = CallAs(&kChecker, 15, pb, buf.data(), &len, key, sizeof key, 0);
    if (st != 0 || len < 16) return fault("stat answers " + std::to_string(st));
    const size_t statLen = static_cast<size_t>(len);
    const uint16_t recordLen = Get16(buf.data()), keys = Get16(buf.data() + 4);
    const uint32_t records = Get32(buf.data() + 6);
    std::vector<bool> nullable; // per key: whether it may leave records out
    for (size_t at = 16; nullable.size() < keys && at + 16 <= statLen;) {
        bool maybeNull = false, more = true;
        for (; more && at + 16 <= statLen; at += 16) {
            const uint16_t flags = Get16(buf.data() + at + 4);
            maybeNull = maybeNull || (flags & (kNull | kAnyNull));
            more = flags & kSeg;
        }
        nullable.push_back(maybeNull);
    }
    if (nullable.size() != keys) fault("stat lists fewer keys than it counts");
    // How many records a walk from `first` by `next` on key `k` meets.
    auto walk = [&](uint16_t first, uint16_t next, uint8_t k) {
        uint32_t n = 0;
        for (uint16_t op = first; n <= records; op = next, ++n) {
            len = static_cast<int32_t>(buf.size());
            st = CallAs(&kChecker, op, pb, buf.data(), &len, key, sizeof key, k);
            if (st == 9) break;
            if ((st != 0 && st != 22) || len < recordLen) {
                fault("op " + std::to_string(op) + " on key " + std::to_string(k) + " answers " + std::to_string(st) +
                      " with " + std::to_string(len) + " bytes");
                break;
            }
        }
        return n;
    };
    const uint32_t steps = walk(33, 24, 0);
    if (steps != records) fault("stat counts " + std::to_string(records) + ", steps find " + std::to_string(steps));
    for (uint8_t k = 0; k < nullable.size(); ++k)
        if (const uint32_t n = walk(12, 6, k); nullable[k] ? n > steps : n != steps)
            fault("key " + std::to_string(k) + " indexes " + std::to_string(n) + " of " + std::to_string(steps));
    len = 0;
    if ((st = CallAs(&kChecker, 1, pb, nullptr, &len, nullptr, 0, 0)) != 0) fault("close answers " + std::to_string(st));
}

} // namespace

std::string RunEngineInput(const uint8_t* input, size_t size, std::vector<int>* statuses) {
    World& w = TheWorld();
    w.Restore();
    Client forged(0xF0);
    std::set<std::array<uint8_t, 16>> forgedUsed;
    std::set<std::string> owners;
    std::string faults;

    for (auto& b : w.blocks) std::memset(b.get(), 0, 128);
    const struct {
        int slot;
        const Client* client;
        const char* name;
        uint8_t mode;
    } opens[] = {{0, &kClientA, "fixed.btr", 0}, {1, &kClientB, "fixed.btr", 0}, {2, &kClientA, "var.btr", 0},
                 {3, nullptr, "fixed.btr", 254}, {6, &kClientA, "var.btr", 0}};
    for (const auto& o : opens)
        if (OpenAs(o.client, w.blocks[o.slot].get(), w.Path(o.name), o.mode) != 0)
            faults += std::string("setup: ") + o.name + " does not open\n";
    int32_t zero = 0;
    CallAs(&kClientA, 1, w.blocks[6].get(), nullptr, &zero, nullptr, 0, 0); // stale from here on
    std::memcpy(w.blocks[5].get(), w.blocks[0].get(), 128);
    w.blocks[5][8] ^= 0x5A;

    size_t at = 0; // the input is read through these; past its end they give zeros
    auto byte = [&]() -> uint8_t { return at < size ? input[at++] : 0; };
    auto word = [&] {
        const uint8_t lo = byte();
        return static_cast<uint16_t>(lo | byte() << 8);
    };
    auto bytes = [&](uint8_t* out, size_t n) {
        n = std::min(n, size - at);
        if (n) std::memcpy(out, input + at, n);
        at += n;
        return n;
    };
    for (int calls = 0; at < size && calls < 256; ++calls) {
        const uint8_t tag = byte();
        if (tag == 0xFF) {
            bytes(forged.id.data(), forged.id.size());
            continue;
        }
        if (tag == 0xFE || tag == 0xFD) { // block 5 := `from` with byte `at` xored, or block `to` := `from`
            const uint8_t from = byte() & 7, offset = byte() & 127, x = tag == 0xFE ? byte() : 0;
            const uint8_t to = tag == 0xFE ? 5 : offset & 7;
            if (from != to) std::memcpy(w.blocks[to].get(), w.blocks[from].get(), 128);
            if (tag == 0xFE) w.blocks[5][offset] ^= x;
            continue;
        }
        uint16_t op = word();
        const uint8_t sel = byte(), keyNum = byte();
        uint8_t keyLen = byte();
        const uint8_t lenFlags = byte();
        const uint16_t cap = word(), n = word();

        // Buffers of exactly the size the call is told, so that the sanitizer
        // sees any access beyond them. The input's n bytes are all consumed;
        // as many as fit fill the buffer.
        std::vector<uint8_t> given(n);
        given.resize(bytes(given.data(), n));
        std::unique_ptr<uint8_t[]> data(new uint8_t[cap]());
        if (!given.empty() && cap) std::memcpy(data.get(), given.data(), std::min<size_t>(given.size(), cap));
        std::unique_ptr<uint8_t[]> key(new uint8_t[keyLen]());
        const size_t m = bytes(key.get(), std::min<size_t>(byte(), keyLen));
        if (op == 0 || op == 14) {
            const std::string path = w.Path(kPathNames[(m ? key[0] : 0) % kPaths]);
            keyLen = static_cast<uint8_t>(std::max<size_t>(keyLen, path.size() + 1));
            key.reset(new uint8_t[keyLen]());
            std::memcpy(key.get(), path.data(), path.size());
        }
        // Lock waits would only time out here (one thread); ask without waiting.
        if (op >= 100 && op < 500 && (op / 100) % 2 == 1) op = static_cast<uint16_t>(op + 100);
        NoDirectChunks(op, data.get(), cap);

        const Client* const clients[] = {&kClientA, &kClientB, nullptr, &forged};
        const Client* client = clients[(sel >> 4) & 3];
        if (client == &forged) forgedUsed.insert(forged.id);
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
    std::vector<Client> used = {kClientA, kClientB, kChecker};
    for (const auto& id : forgedUsed) used.emplace_back().id = id;
    int32_t len = 0;
    BTRCALL(28, nullptr, nullptr, &len, nullptr, 0, 0);
    for (const Client& c : used) CallAs(&c, 28, nullptr, nullptr, &len, nullptr, 0, 0);
    for (const char* name : {"fixed.btr", "var.btr"}) CheckFile(w, name, owners, faults);
    return faults;
}

} // namespace btr::test
