// The entry points and the operations: handles (position blocks), clients,
// currency, record locks and transactions over the SQLite store.
#include <sys/file.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "btrengine/store.h"

namespace btr::engine {

namespace {

constexpr char kMagic[8] = {'B', 'T', 'R', 'K', 'P', 'O', 'S', '1'};
constexpr uint8_t kPhysical = 255;
constexpr int kLockWaitMs = 1000;

using ClientKey = std::string; // the 16 identifier bytes

struct SharedFile {
    std::string path;
    Spec spec;
    int lockFd = -1;          // the process's exclusive lock beside the file
    int handles = 0;
    bool exclusive = false;   // opened in exclusive mode by a handle
    // Record locks: position -> handles holding it.
    std::map<uint32_t, std::set<uint32_t>> locks;
    std::map<ClientKey, std::unique_ptr<Conn>> conns;
};

struct Handle {
    uint32_t generation = 0;
    bool open = false;
    ClientKey client;
    std::shared_ptr<SharedFile> file;
    Conn* conn = nullptr;
    bool readOnly = false;
    // Logical currency: key number, encoded key and sequence of the record.
    int keyNum = -1;
    bool logical = false;
    std::string kv;
    int64_t seq = 0;
    // The current record (0: none); its version as read.
    uint32_t pos = 0;
    int64_t version = -1;
    uint32_t singleLock = 0;
    std::set<uint32_t> multiLocks;
};

struct Client {
    bool transaction = false;
    std::set<Conn*> written; // connections whose write lock the transaction holds
};

struct Engine {
    std::recursive_mutex lock;
    std::vector<Handle> handles{1}; // index 0 is never used
    std::map<std::string, std::weak_ptr<SharedFile>> files;
    std::map<ClientKey, Client> clients;
};

Engine& E() {
    static Engine* e = new Engine; // lives as long as the process
    return *e;
}

uint32_t Get32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint64_t Get64(const uint8_t* p) { return uint64_t(Get32(p)) | uint64_t(Get32(p + 4)) << 32; }

// Everything one call needs, checked once.
struct Call {
    uint16_t op;
    uint8_t* pos;
    uint8_t* data;
    int32_t* dataLen;
    uint8_t* key;
    uint8_t keyLen;
    uint8_t keyNum;
    ClientKey client;

    int32_t Capacity() const { return dataLen ? std::max(*dataLen, 0) : 0; }
    void Returned(int32_t n) const {
        if (dataLen) *dataLen = n;
    }
};

struct Status {
    int code;
};
[[noreturn]] void Fail(int code) { throw Status{code}; }

std::string Table(int k) { return "k" + std::to_string(k); }

// ---- handles ------------------------------------------------------------------

Handle& HandleOf(const Call& c) {
    if (!c.pos) Fail(23);
    if (std::memcmp(c.pos, kMagic, 8) != 0) Fail(3);
    const uint32_t index = Get32(c.pos + 8), gen = Get32(c.pos + 12);
    auto& hs = E().handles;
    if (index == 0 || index >= hs.size()) Fail(3);
    Handle& h = hs[index];
    if (!h.open || h.generation != gen || h.client != c.client) Fail(3);
    return h;
}

uint32_t IndexOf(const Handle& h) { return static_cast<uint32_t>(&h - E().handles.data()); }

// ---- records and keys --------------------------------------------------------

struct Record {
    int64_t version = 0;
    std::string data;
};

std::optional<Record> ReadRecord(Conn& c, uint32_t pos) {
    Query q(c, "SELECT ver, data FROM rec WHERE pos=?");
    q.Bind(1, int64_t{pos});
    if (!q.Step()) return std::nullopt;
    return Record{q.Int(0), q.Blob(1)};
}

std::optional<std::string> KeyOf(const SharedFile& f, int k, const std::string& rec) {
    const std::string raw = ExtractKey(f.spec.keys[static_cast<size_t>(k)], reinterpret_cast<const uint8_t*>(rec.data()));
    return EncodeKey(f.spec.keys[static_cast<size_t>(k)], reinterpret_cast<const uint8_t*>(raw.data()), f.spec.AcsTable());
}

int64_t NextSeq(Conn& c) {
    Query q(c, "UPDATE meta SET seq=seq+1 RETURNING seq");
    if (!q.Step()) Fail(2);
    return q.Int(0);
}

void IndexRecord(Conn& c, const SharedFile& f, uint32_t pos, const std::string& rec) {
    for (size_t k = 0; k < f.spec.keys.size(); ++k) {
        const auto kv = KeyOf(f, static_cast<int>(k), rec);
        if (!kv) continue;
        Query(c, "INSERT INTO " + Table(static_cast<int>(k)) + "(kv, seq, pos) VALUES(?,?,?)")
            .Bind(1, *kv).Bind(2, NextSeq(c)).Bind(3, int64_t{pos}).Run();
    }
}

bool DuplicateOn(Conn& c, const SharedFile& f, int k, const std::string& kv, uint32_t self) {
    if (f.spec.keys[static_cast<size_t>(k)].Duplicates()) return false;
    Query q(c, "SELECT pos FROM " + Table(k) + " WHERE kv=? AND pos<>? LIMIT 1");
    q.Bind(1, kv).Bind(2, int64_t{self});
    return q.Step();
}

// Where a record stands on a key: its encoded key and sequence.
bool Locate(Conn& c, int k, uint32_t pos, std::string& kv, int64_t& seq) {
    Query q(c, "SELECT kv, seq FROM " + Table(k) + " WHERE pos=? LIMIT 1");
    q.Bind(1, int64_t{pos});
    if (!q.Step()) return false;
    kv = q.Blob(0);
    seq = q.Int(1);
    return true;
}

void ReturnKey(const Call& c, const SharedFile& f, int k, const std::string& rec) {
    if (!c.key || k < 0 || k >= static_cast<int>(f.spec.keys.size())) return;
    const std::string raw = ExtractKey(f.spec.keys[static_cast<size_t>(k)], reinterpret_cast<const uint8_t*>(rec.data()));
    std::memcpy(c.key, raw.data(), std::min<size_t>(raw.size(), c.keyLen));
}

// Copies a record to the caller: 22 when even the fixed part does not fit
// (nothing copied), 22 with the fit part when only the variable part is cut.
int Deliver(const Call& c, const SharedFile& f, const std::string& rec) {
    if (!c.data || !c.dataLen) Fail(22);
    const int32_t cap = c.Capacity();
    if (cap < f.spec.recordLen) {
        c.Returned(0);
        return 22;
    }
    const size_t n = std::min<size_t>(rec.size(), static_cast<size_t>(cap));
    std::memcpy(c.data, rec.data(), n);
    c.Returned(static_cast<int32_t>(n));
    return n < rec.size() ? 22 : 0;
}

// ---- locks ------------------------------------------------------------------

const Handle* LockHolder(const SharedFile& f, uint32_t pos, const Handle& asker) {
    auto it = f.locks.find(pos);
    if (it == f.locks.end()) return nullptr;
    for (uint32_t h : it->second) {
        const Handle& other = E().handles[h];
        if (other.client != asker.client) return &other;
    }
    return nullptr;
}

void ReleaseLock(Handle& h, uint32_t pos) {
    auto it = h.file->locks.find(pos);
    if (it == h.file->locks.end()) return;
    it->second.erase(IndexOf(h));
    if (it->second.empty()) h.file->locks.erase(it);
}

void ReleaseSingle(Handle& h) {
    if (h.singleLock && !h.multiLocks.count(h.singleLock)) ReleaseLock(h, h.singleLock);
    h.singleLock = 0;
}

void ReleaseAllLocks(Handle& h) {
    ReleaseSingle(h);
    for (uint32_t p : h.multiLocks) ReleaseLock(h, p);
    h.multiLocks.clear();
}

// Takes the lock a bias asks for; waits a bounded time for the wait biases.
void TakeLock(Handle& h, uint32_t pos, int bias, std::unique_lock<std::recursive_mutex>& guard) {
    if (bias == 0) return;
    const bool wait = bias == 100 || bias == 300;
    const bool multi = bias == 300 || bias == 400;
    for (int waited = 0; LockHolder(*h.file, pos, h);) {
        if (!wait || waited >= kLockWaitMs) Fail(84);
        guard.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        guard.lock();
        waited += 10;
        if (!h.open) Fail(3);
    }
    if (multi) {
        h.multiLocks.insert(pos);
    } else {
        ReleaseSingle(h);
        h.singleLock = pos;
    }
    h.file->locks[pos].insert(IndexOf(h));
}

// ---- writing ----------------------------------------------------------------

// Runs a change atomically: inside the client's transaction on its
// connection's write lock, else as a transaction of its own.
template <class F> void Write(Handle& h, F&& change) {
    if (h.readOnly) Fail(46);
    Client& client = E().clients[h.client];
    Conn& c = *h.conn;
    if (client.transaction) {
        if (!c.inTransaction) {
            c.Exec("BEGIN IMMEDIATE");
            c.inTransaction = true;
            client.written.insert(&c);
        }
        c.Exec("SAVEPOINT op");
        try {
            change();
        } catch (...) {
            c.Exec("ROLLBACK TO op");
            c.Exec("RELEASE op");
            throw;
        }
        c.Exec("RELEASE op");
        return;
    }
    c.Exec("BEGIN IMMEDIATE");
    try {
        change();
    } catch (...) {
        sqlite3_exec(c.Db(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    c.Exec("COMMIT");
}

// Autoincrement segments holding zero get the key's largest value plus one.
void FillAutoIncrement(Conn& c, const SharedFile& f, std::string& rec) {
    for (size_t k = 0; k < f.spec.keys.size(); ++k) {
        const Key& key = f.spec.keys[k];
        if (key.segments.size() != 1 || key.segments[0].Type() != ktAutoInc) continue;
        const Segment& s = key.segments[0];
        uint8_t* p = reinterpret_cast<uint8_t*>(rec.data()) + s.pos - 1;
        if (std::any_of(p, p + s.len, [](uint8_t b) { return b != 0; })) continue;
        int64_t max = 0;
        Query q(c, "SELECT kv FROM " + Table(static_cast<int>(k)) + " ORDER BY kv DESC, seq DESC LIMIT 1");
        if (q.Step()) {
            const std::string kv = q.Blob(0);
            uint64_t u = 0;
            for (size_t i = 0; i < s.len && i < kv.size(); ++i) u = u << 8 | static_cast<uint8_t>(kv[i]);
            u ^= uint64_t{1} << (8 * s.len - 1);
            max = s.len == 8 ? static_cast<int64_t>(u) : static_cast<int64_t>(u << (64 - 8 * s.len)) >> (64 - 8 * s.len);
        }
        const int64_t next = (s.flags & kDescending) ? max : max + 1;
        for (size_t i = 0; i < s.len; ++i) p[i] = static_cast<uint8_t>(static_cast<uint64_t>(next) >> (8 * i));
    }
}

void SetCurrency(Handle& h, int k, uint32_t pos, int64_t version) {
    h.pos = pos;
    h.version = version;
    h.logical = false;
    if (k >= 0 && k < static_cast<int>(h.file->spec.keys.size()) && Locate(*h.conn, k, pos, h.kv, h.seq)) {
        h.keyNum = k;
        h.logical = true;
    }
}

int Insert(const Call& c, Handle& h) {
    const SharedFile& f = *h.file;
    if (!c.data || !c.dataLen || *c.dataLen < f.spec.recordLen) Fail(22);
    std::string rec(reinterpret_cast<const char*>(c.data),
                    f.spec.VariableLength() ? static_cast<size_t>(*c.dataLen) : f.spec.recordLen);
    uint32_t pos = 0;
    Write(h, [&] {
        FillAutoIncrement(*h.conn, f, rec);
        for (size_t k = 0; k < f.spec.keys.size(); ++k)
            if (auto kv = KeyOf(f, static_cast<int>(k), rec); kv && DuplicateOn(*h.conn, f, static_cast<int>(k), *kv, 0))
                Fail(5);
        Query q(*h.conn, "INSERT INTO rec(ver, data) VALUES(1, ?) RETURNING pos");
        q.Bind(1, rec);
        if (!q.Step()) Fail(2);
        pos = static_cast<uint32_t>(q.Int(0));
        IndexRecord(*h.conn, f, pos, rec);
    });
    std::memcpy(c.data, rec.data(), f.spec.recordLen); // autoincrement values go back
    SetCurrency(h, c.keyNum < 128 ? c.keyNum : -1, pos, 1);
    ReturnKey(c, f, c.keyNum, rec);
    return 0;
}

// The current record for a change: 8 without one, 80 when it changed since
// it was read, 84 when another client locks it.
Record CurrentForChange(Handle& h) {
    if (!h.pos) Fail(8);
    auto rec = ReadRecord(*h.conn, h.pos);
    if (!rec) Fail(8);
    if (rec->version != h.version) Fail(80);
    if (LockHolder(*h.file, h.pos, h)) Fail(84);
    return *rec;
}

void Rewrite(Handle& h, const Record& old, const std::string& rec) {
    const SharedFile& f = *h.file;
    for (size_t k = 0; k < f.spec.keys.size(); ++k) {
        const auto before = KeyOf(f, static_cast<int>(k), old.data), after = KeyOf(f, static_cast<int>(k), rec);
        if (before == after) continue;
        if (!f.spec.keys[k].Modifiable()) Fail(10);
        if (after && DuplicateOn(*h.conn, f, static_cast<int>(k), *after, h.pos)) Fail(5);
    }
    Write(h, [&] {
        Query(*h.conn, "UPDATE rec SET ver=ver+1, data=? WHERE pos=?").Bind(1, rec).Bind(2, int64_t{h.pos}).Run();
        for (size_t k = 0; k < f.spec.keys.size(); ++k) {
            const auto before = KeyOf(f, static_cast<int>(k), old.data), after = KeyOf(f, static_cast<int>(k), rec);
            if (before == after) continue;
            Query(*h.conn, "DELETE FROM " + Table(static_cast<int>(k)) + " WHERE pos=?").Bind(1, int64_t{h.pos}).Run();
            if (after)
                Query(*h.conn, "INSERT INTO " + Table(static_cast<int>(k)) + "(kv, seq, pos) VALUES(?,?,?)")
                    .Bind(1, *after).Bind(2, NextSeq(*h.conn)).Bind(3, int64_t{h.pos}).Run();
        }
    });
    h.version = old.version + 1;
    if (h.logical) Locate(*h.conn, h.keyNum, h.pos, h.kv, h.seq);
    ReleaseSingle(h);
}

int Update(const Call& c, Handle& h) {
    const SharedFile& f = *h.file;
    if (h.readOnly) Fail(46);
    const Record old = CurrentForChange(h);
    if (!c.data || !c.dataLen || *c.dataLen < f.spec.recordLen) Fail(22);
    const std::string rec(reinterpret_cast<const char*>(c.data),
                          f.spec.VariableLength() ? static_cast<size_t>(*c.dataLen) : f.spec.recordLen);
    Rewrite(h, old, rec);
    ReturnKey(c, f, h.keyNum, rec);
    return 0;
}

int Delete(Handle& h) {
    if (h.readOnly) Fail(46);
    CurrentForChange(h);
    const SharedFile& f = *h.file;
    Write(h, [&] {
        Query(*h.conn, "DELETE FROM rec WHERE pos=?").Bind(1, int64_t{h.pos}).Run();
        for (size_t k = 0; k < f.spec.keys.size(); ++k)
            Query(*h.conn, "DELETE FROM " + Table(static_cast<int>(k)) + " WHERE pos=?").Bind(1, int64_t{h.pos}).Run();
    });
    ReleaseSingle(h);
    h.pos = 0; // between the neighbours: the logical position stays
    h.version = -1;
    return 0;
}

// ---- reading ------------------------------------------------------------------

// The next entry of a key from a query; false when there is none.
bool Fetch(Query& q, std::string& kv, int64_t& seq, uint32_t& pos) {
    if (!q.Step()) return false;
    kv = q.Blob(0);
    seq = q.Int(1);
    pos = static_cast<uint32_t>(q.Int(2));
    return true;
}

int KeyedGet(const Call& c, Handle& h, int baseOp, int bias, bool keyOnly,
             std::unique_lock<std::recursive_mutex>& guard) {
    const SharedFile& f = *h.file;
    const int k = c.keyNum;
    if (k >= static_cast<int>(f.spec.keys.size())) Fail(6);
    const Key& key = f.spec.keys[static_cast<size_t>(k)];
    if ((baseOp == 6 || baseOp == 7) && !h.logical) Fail(8);
    if ((baseOp == 6 || baseOp == 7) && h.keyNum != k) Fail(7);
    std::string wanted;
    if (baseOp == 5 || (baseOp >= 8 && baseOp <= 11)) {
        if (!c.key) Fail(21);
        if (c.keyLen < key.Length()) Fail(21);
        auto enc = EncodeKey(key, c.key, f.spec.AcsTable());
        if (!enc) Fail(4);
        wanted = *enc;
    }
    const std::string t = Table(k);
    std::string sql;
    switch (baseOp) {
    case 5: sql = "SELECT kv, seq, pos FROM " + t + " WHERE kv=? ORDER BY seq LIMIT 1"; break;
    case 6: sql = "SELECT kv, seq, pos FROM " + t + " WHERE (kv, seq) > (?, ?) ORDER BY kv, seq LIMIT 1"; break;
    case 7: sql = "SELECT kv, seq, pos FROM " + t + " WHERE (kv, seq) < (?, ?) ORDER BY kv DESC, seq DESC LIMIT 1"; break;
    case 8: sql = "SELECT kv, seq, pos FROM " + t + " WHERE kv>? ORDER BY kv, seq LIMIT 1"; break;
    case 9: sql = "SELECT kv, seq, pos FROM " + t + " WHERE kv>=? ORDER BY kv, seq LIMIT 1"; break;
    case 10: sql = "SELECT kv, seq, pos FROM " + t + " WHERE kv<? ORDER BY kv DESC, seq DESC LIMIT 1"; break;
    case 11: sql = "SELECT kv, seq, pos FROM " + t + " WHERE kv<=? ORDER BY kv DESC, seq DESC LIMIT 1"; break;
    case 12: sql = "SELECT kv, seq, pos FROM " + t + " ORDER BY kv, seq LIMIT 1"; break;
    default: sql = "SELECT kv, seq, pos FROM " + t + " ORDER BY kv DESC, seq DESC LIMIT 1"; break;
    }
    Query q(*h.conn, sql);
    if (baseOp == 6 || baseOp == 7) q.Bind(1, h.kv).Bind(2, h.seq);
    else if (!wanted.empty() || baseOp == 5 || (baseOp >= 8 && baseOp <= 11)) q.Bind(1, wanted);
    std::string kv;
    int64_t seq;
    uint32_t pos;
    if (!Fetch(q, kv, seq, pos)) return (baseOp == 5 || baseOp == 8 || baseOp == 9 || baseOp == 10 || baseOp == 11) ? 4 : 9;
    auto rec = ReadRecord(*h.conn, pos);
    if (!rec) Fail(2);
    if (!keyOnly) TakeLock(h, pos, bias, guard);
    h.keyNum = k;
    h.logical = true;
    h.kv = kv;
    h.seq = seq;
    h.pos = pos;
    h.version = rec->version;
    ReturnKey(c, f, k, rec->data);
    if (keyOnly) {
        c.Returned(0);
        return 0;
    }
    return Deliver(c, f, rec->data);
}

int Step(const Call& c, Handle& h, int baseOp, int bias, std::unique_lock<std::recursive_mutex>& guard) {
    std::string sql;
    switch (baseOp) {
    case 24: sql = "SELECT pos FROM rec WHERE pos>? ORDER BY pos LIMIT 1"; break;
    case 35: sql = "SELECT pos FROM rec WHERE pos<? ORDER BY pos DESC LIMIT 1"; break;
    case 33: sql = "SELECT pos FROM rec ORDER BY pos LIMIT 1"; break;
    default: sql = "SELECT pos FROM rec ORDER BY pos DESC LIMIT 1"; break;
    }
    Query q(*h.conn, sql);
    if (baseOp == 24 || baseOp == 35) {
        if (!h.pos) Fail(8);
        q.Bind(1, int64_t{h.pos});
    }
    if (!q.Step()) return 9;
    const uint32_t pos = static_cast<uint32_t>(q.Int(0));
    auto rec = ReadRecord(*h.conn, pos);
    if (!rec) Fail(2);
    TakeLock(h, pos, bias, guard);
    h.pos = pos;
    h.version = rec->version;
    h.logical = false; // steps set physical currency only
    return Deliver(c, *h.file, rec->data);
}

// ---- chunks -----------------------------------------------------------------

int GetChunks(const Call& c, Handle& h) {
    if (!c.data || !c.dataLen || *c.dataLen < 12) Fail(62);
    const int32_t cap = *c.dataLen;
    const uint32_t pos = Get32(c.data), sub = Get32(c.data + 4), count = Get32(c.data + 8);
    const bool direct = (sub & ~0x40000000u) == 0x80000001u;
    if ((sub & ~0x40000000u) != 0x80000000u && !direct) Fail(62);
    const bool nextInRecord = sub & 0x40000000u;
    const size_t each = direct ? 16 : 8;
    if (count == 0 || 12 + count * each > static_cast<size_t>(cap)) Fail(62);
    auto rec = ReadRecord(*h.conn, pos);
    if (!rec) Fail(43);
    // Copy the descriptors first: the answer may overwrite them.
    std::vector<uint8_t> desc(c.data + 12, c.data + 12 + count * each);
    std::string out;
    uint32_t offset = 0;
    int32_t transferred = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* d = desc.data() + i * each;
        offset = nextInRecord && i > 0 ? offset : Get32(d);
        if (nextInRecord && i > 0) offset += 0;
        const uint32_t len = Get32(d + 4);
        if (offset >= rec->data.size()) {
            if (i == 0) Fail(103);
            break;
        }
        const uint32_t n = std::min<uint32_t>(len, static_cast<uint32_t>(rec->data.size() - offset));
        if (direct) {
            auto* dest = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(Get64(d + 8)));
            if (!dest) Fail(62);
            std::memcpy(dest, rec->data.data() + offset, n);
        } else {
            out.append(rec->data, offset, n);
        }
        transferred += static_cast<int32_t>(n);
        offset += n;
        if (n < len) break;
    }
    if (!direct) {
        if (out.size() > static_cast<size_t>(cap)) {
            std::memcpy(c.data, out.data(), static_cast<size_t>(cap));
            c.Returned(cap);
            return 22;
        }
        std::memcpy(c.data, out.data(), out.size());
    }
    c.Returned(transferred);
    return 0;
}

int UpdateChunks(const Call& c, Handle& h) {
    if (h.readOnly) Fail(46);
    if (!c.data || !c.dataLen || *c.dataLen < 8) Fail(62);
    const int32_t cap = *c.dataLen;
    const uint32_t sub = Get32(c.data);
    const Record old = CurrentForChange(h);
    std::string rec = old.data;
    const uint16_t fixed = h.file->spec.recordLen;
    if (sub == 0x80000004u) {
        const int32_t at = static_cast<int32_t>(Get32(c.data + 4));
        if (at < fixed) Fail(28);
        if (static_cast<size_t>(at) < rec.size()) rec.resize(static_cast<size_t>(at));
    } else {
        const bool direct = (sub & ~0x40000000u) == 0x80000001u;
        if ((sub & ~0x40000000u) != 0x80000000u && !direct) Fail(62);
        const uint32_t count = Get32(c.data + 4);
        const size_t each = direct ? 16 : 8;
        if (count == 0 || 8 + count * each > static_cast<size_t>(cap)) Fail(62);
        size_t follow = 8 + count * each; // where inline data starts
        uint32_t offset = 0;
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t* d = c.data + 8 + i * each;
            offset = (sub & 0x40000000u) && i > 0 ? offset : Get32(d);
            const uint32_t len = Get32(d + 4);
            if (offset > rec.size()) Fail(103); // no gaps
            if (!h.file->spec.VariableLength() && offset + len > rec.size()) Fail(103);
            const uint8_t* src;
            if (direct) {
                src = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(Get64(d + 8)));
                if (!src && len) Fail(62);
            } else {
                if (follow + len > static_cast<size_t>(cap)) Fail(62);
                src = c.data + follow;
                follow += len;
            }
            if (offset + len > rec.size()) rec.resize(offset + len);
            if (len) std::memcpy(rec.data() + offset, src, len);
            offset += len;
        }
    }
    Rewrite(h, old, rec);
    return 0;
}

// ---- extended reads -----------------------------------------------------------

struct Term {
    uint8_t type;
    uint16_t len, offset;
    uint8_t comp, connector;
    uint16_t otherOffset;
    std::string value;
};

int CompareField(const Term& t, const uint8_t* a, const uint8_t* b, const uint8_t* acs) {
    Segment s{1, t.len, static_cast<uint16_t>(kExtType | ((t.comp & 32) ? kAltCol : 0) | ((t.comp & 128) ? kNoCase : 0)),
              t.type, 0};
    Key key;
    key.segments.push_back(s);
    const auto ea = EncodeKey(key, a, acs), eb = EncodeKey(key, b, acs);
    return ea->compare(*eb);
}

bool Matches(const std::vector<Term>& terms, const std::string& rec, const uint8_t* acs) {
    bool value = true;
    for (size_t i = 0; i < terms.size(); ++i) {
        const Term& t = terms[i];
        if (static_cast<size_t>(t.offset) + t.len > rec.size()) {
            value = false;
        } else {
            const auto* a = reinterpret_cast<const uint8_t*>(rec.data()) + t.offset;
            const uint8_t* b;
            if (t.comp & 64) {
                if (static_cast<size_t>(t.otherOffset) + t.len > rec.size()) return false;
                b = reinterpret_cast<const uint8_t*>(rec.data()) + t.otherOffset;
            } else {
                b = reinterpret_cast<const uint8_t*>(t.value.data());
            }
            const int cmp = CompareField(t, a, b, acs);
            switch (t.comp & 7) {
            case 1: value = cmp == 0; break;
            case 2: value = cmp > 0; break;
            case 3: value = cmp < 0; break;
            case 4: value = cmp != 0; break;
            case 5: value = cmp >= 0; break;
            case 6: value = cmp <= 0; break;
            default: value = false; break;
            }
        }
        if (i + 1 == terms.size()) break;
        if (value && t.connector == 2) return true;
        if (!value && t.connector == 1) return false;
    }
    return value;
}

int Extended(const Call& c, Handle& h, int baseOp) {
    if (!c.data || !c.dataLen) Fail(22);
    const int32_t cap = *c.dataLen;
    const uint8_t* p = c.data;
    auto need = [&](size_t at, size_t n) {
        if (at + n > static_cast<size_t>(cap)) Fail(62);
    };
    need(0, 8);
    const uint16_t total = static_cast<uint16_t>(p[0] | p[1] << 8);
    if (total > cap || total < 12) Fail(62);
    const bool uc = p[2] == 'U' && p[3] == 'C';
    if (!uc && !(p[2] == 'E' && p[3] == 'G')) Fail(62);
    const uint16_t maxReject = static_cast<uint16_t>(p[4] | p[5] << 8);
    const uint16_t nterms = static_cast<uint16_t>(p[6] | p[7] << 8);
    size_t at = 8;
    std::vector<Term> terms;
    for (uint16_t i = 0; i < nterms; ++i) {
        need(at, 7);
        Term t{p[at], static_cast<uint16_t>(p[at + 1] | p[at + 2] << 8), static_cast<uint16_t>(p[at + 3] | p[at + 4] << 8),
               p[at + 5], p[at + 6], 0, {}};
        at += 7;
        if (t.len == 0 || t.len > 255) Fail(62);
        if (t.comp & 64) {
            need(at, 2);
            t.otherOffset = static_cast<uint16_t>(p[at] | p[at + 1] << 8);
            at += 2;
        } else {
            need(at, t.len);
            t.value.assign(reinterpret_cast<const char*>(p + at), t.len);
            at += t.len;
        }
        terms.push_back(std::move(t));
    }
    need(at, 4);
    const uint16_t maxRecords = static_cast<uint16_t>(p[at] | p[at + 1] << 8);
    const uint16_t nfields = static_cast<uint16_t>(p[at + 2] | p[at + 3] << 8);
    at += 4;
    std::vector<std::pair<uint16_t, uint16_t>> fields;
    for (uint16_t i = 0; i < nfields; ++i) {
        need(at, 4);
        fields.emplace_back(static_cast<uint16_t>(p[at] | p[at + 1] << 8), static_cast<uint16_t>(p[at + 2] | p[at + 3] << 8));
        at += 4;
    }
    const bool physical = baseOp >= 38;
    const bool forward = baseOp == 36 || baseOp == 38;
    if (!physical && !h.logical) Fail(8);
    if (physical && !h.pos) Fail(8);

    std::string answer(2, '\0');
    uint16_t found = 0, rejected = 0;
    int status = 0;
    bool first = true;
    for (;;) {
        uint32_t pos = 0;
        if (first && uc) {
            pos = h.pos;
            if (!pos) Fail(8);
        } else if (physical) {
            Query q(*h.conn, forward ? "SELECT pos FROM rec WHERE pos>? ORDER BY pos LIMIT 1"
                                     : "SELECT pos FROM rec WHERE pos<? ORDER BY pos DESC LIMIT 1");
            q.Bind(1, int64_t{h.pos});
            if (!q.Step()) { status = 9; break; }
            pos = static_cast<uint32_t>(q.Int(0));
        } else {
            Query q(*h.conn, "SELECT kv, seq, pos FROM " + Table(h.keyNum) +
                                 (forward ? " WHERE (kv, seq) > (?, ?) ORDER BY kv, seq LIMIT 1"
                                          : " WHERE (kv, seq) < (?, ?) ORDER BY kv DESC, seq DESC LIMIT 1"));
            q.Bind(1, h.kv).Bind(2, h.seq);
            std::string kv;
            int64_t seq;
            if (!Fetch(q, kv, seq, pos)) { status = 9; break; }
            h.kv = kv;
            h.seq = seq;
        }
        first = false;
        auto rec = ReadRecord(*h.conn, pos);
        if (!rec) { status = 9; break; }
        h.pos = pos;
        h.version = rec->version;
        if (!Matches(terms, rec->data, h.file->spec.AcsTable())) {
            if (maxReject && ++rejected >= maxReject) { status = 60; break; }
            continue;
        }
        std::string extracted;
        for (auto [len, off] : fields) {
            if (static_cast<size_t>(off) + len > rec->data.size()) extracted.append(len, '\0');
            else extracted.append(rec->data, off, len);
        }
        if (answer.size() + 6 + extracted.size() > static_cast<size_t>(cap)) {
            status = found ? 0 : 97;
            break;
        }
        const uint16_t n = static_cast<uint16_t>(extracted.size());
        answer += static_cast<char>(n);
        answer += static_cast<char>(n >> 8);
        uint8_t posBytes[4];
        Put32(posBytes, pos);
        answer.append(reinterpret_cast<char*>(posBytes), 4);
        answer += extracted;
        if (++found >= maxRecords && maxRecords) break;
    }
    answer[0] = static_cast<char>(found);
    answer[1] = static_cast<char>(found >> 8);
    std::memcpy(c.data, answer.data(), answer.size());
    c.Returned(static_cast<int32_t>(answer.size()));
    return status;
}

// ---- percentages ----------------------------------------------------------------

int64_t Count(Conn& c, const std::string& sql, const std::function<void(Query&)>& bind) {
    Query q(c, sql);
    bind(q);
    return q.Step() ? q.Int(0) : 0;
}

int FindPercentage(const Call& c, Handle& h) {
    if (!c.data || !c.dataLen || *c.dataLen < 4) Fail(22);
    if (!h.pos) Fail(8);
    int64_t before, total;
    if (c.keyNum == kPhysical) {
        total = Count(*h.conn, "SELECT count(*) FROM rec", [](Query&) {});
        before = Count(*h.conn, "SELECT count(*) FROM rec WHERE pos<?", [&](Query& q) { q.Bind(1, int64_t{h.pos}); });
    } else {
        if (c.keyNum >= h.file->spec.keys.size()) Fail(6);
        std::string kv;
        int64_t seq;
        if (!Locate(*h.conn, c.keyNum, h.pos, kv, seq)) Fail(8);
        const std::string t = Table(c.keyNum);
        total = Count(*h.conn, "SELECT count(*) FROM " + t, [](Query&) {});
        before = Count(*h.conn, "SELECT count(*) FROM " + t + " WHERE (kv, seq) < (?, ?)",
                       [&](Query& q) { q.Bind(1, kv).Bind(2, seq); });
    }
    const int32_t pct = total > 1 ? static_cast<int32_t>(before * 10000 / (total - 1)) : 0;
    Put32(c.data, static_cast<uint32_t>(pct));
    c.Returned(4);
    return 0;
}

int GetByPercentage(const Call& c, Handle& h) {
    if (!c.data || !c.dataLen || *c.dataLen < 4) Fail(22);
    const int32_t pct = static_cast<int32_t>(Get32(c.data));
    if (pct < 0 || pct > 10000) Fail(1);
    const bool physical = c.keyNum == kPhysical;
    if (!physical && c.keyNum >= h.file->spec.keys.size()) Fail(6);
    const std::string t = physical ? "rec" : Table(c.keyNum);
    const int64_t total = Count(*h.conn, "SELECT count(*) FROM " + t, [](Query&) {});
    if (total == 0) return 9;
    const int64_t offset = pct * (total - 1) / 10000;
    Query q(*h.conn, physical ? "SELECT pos FROM rec ORDER BY pos LIMIT 1 OFFSET ?"
                              : "SELECT pos FROM " + t + " ORDER BY kv, seq LIMIT 1 OFFSET ?");
    q.Bind(1, offset);
    if (!q.Step()) return 9;
    const uint32_t pos = static_cast<uint32_t>(q.Int(0));
    auto rec = ReadRecord(*h.conn, pos);
    if (!rec) Fail(2);
    SetCurrency(h, physical ? -1 : c.keyNum, pos, rec->version);
    return Deliver(c, *h.file, rec->data);
}

// ---- files ----------------------------------------------------------------------

std::string Canonical(const std::string& path) {
    std::error_code ec;
    auto p = std::filesystem::weakly_canonical(path, ec);
    return ec ? path : p.string();
}

void LoadSpec(Conn& c, Spec& spec) {
    Query q(c, "SELECT bytes, owner, ownermode FROM spec WHERE id=1");
    if (!q.Step()) Fail(30);
    const std::string b = q.Blob(0);
    if (!Spec::Parse(reinterpret_cast<const uint8_t*>(b.data()), b.size(), spec)) Fail(30);
    spec.owner = q.Blob(1);
    spec.ownerMode = static_cast<int>(q.Int(2));
}

std::string PathArg(const Call& c) {
    if (!c.key || c.keyLen == 0) Fail(11);
    const size_t n = strnlen(reinterpret_cast<const char*>(c.key), c.keyLen);
    if (n == 0) Fail(11);
    return std::string(reinterpret_cast<const char*>(c.key), n);
}

std::string OwnerArg(const Call& c) {
    if (!c.data || !c.dataLen || *c.dataLen <= 0) return {};
    const size_t n = strnlen(reinterpret_cast<const char*>(c.data), std::min<size_t>(static_cast<size_t>(*c.dataLen), 9));
    return std::string(reinterpret_cast<const char*>(c.data), std::min<size_t>(n, 8));
}

int Open(const Call& c) {
    if (!c.pos) Fail(23);
    const std::string path = PathArg(c);
    if (!std::filesystem::exists(path)) Fail(12);
    const std::string canon = Canonical(path);
    Engine& e = E();
    std::shared_ptr<SharedFile> file = e.files[canon].lock();
    if (!file) {
        file = std::make_shared<SharedFile>();
        file->path = path;
        const std::string lockPath = path + ".lck";
        file->lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (file->lockFd < 0) Fail(46);
        if (::flock(file->lockFd, LOCK_EX | LOCK_NB) != 0) {
            ::close(file->lockFd);
            Fail(85); // another process has it open
        }
        auto probe = std::make_unique<Conn>(path, false);
        try {
            LoadSpec(*probe, file->spec);
        } catch (const StoreError& err) {
            ::close(file->lockFd);
            Fail(err.status == 2 ? 30 : err.status);
        } catch (...) {
            ::close(file->lockFd);
            throw;
        }
        file->conns[c.client] = std::move(probe);
        e.files[canon] = file;
    }
    const int mode = c.keyNum;
    if (file->exclusive || (mode == 252 && file->handles > 0)) Fail(88);
    const std::string owner = OwnerArg(c);
    bool readOnly = mode == 254;
    if (!file->spec.owner.empty() && owner != file->spec.owner) {
        if (file->spec.ownerMode == 1 || file->spec.ownerMode == 3) readOnly = true;
        else Fail(51);
    }
    auto& conn = file->conns[c.client];
    if (!conn) conn = std::make_unique<Conn>(path, false);
    uint32_t index = 0;
    for (uint32_t i = 1; i < e.handles.size(); ++i)
        if (!e.handles[i].open) { index = i; break; }
    if (!index) {
        e.handles.emplace_back();
        index = static_cast<uint32_t>(e.handles.size() - 1);
    }
    Handle& h = e.handles[index];
    const uint32_t gen = h.generation + 1;
    h = Handle{};
    h.generation = gen;
    h.open = true;
    h.client = c.client;
    h.file = file;
    h.conn = conn.get();
    h.readOnly = readOnly;
    file->handles++;
    if (mode == 252) file->exclusive = true;
    e.clients[c.client];
    std::memset(c.pos, 0, 128);
    std::memcpy(c.pos, kMagic, 8);
    Put32(c.pos + 8, index);
    Put32(c.pos + 12, gen);
    return 0;
}

void CloseHandle(Handle& h) {
    ReleaseAllLocks(h);
    auto file = h.file;
    file->handles--;
    if (file->handles == 0) file->exclusive = false;
    h.open = false;
    h.file.reset();
    h.conn = nullptr;
    if (file->handles == 0) {
        // Connections holding a client transaction's changes stay until it ends.
        bool held = false;
        for (auto& [client, conn] : file->conns) held = held || conn->inTransaction;
        if (!held) {
            file->conns.clear();
            if (file->lockFd >= 0) ::close(file->lockFd);
            file->lockFd = -1;
            E().files.erase(Canonical(file->path));
        }
    }
}

int Close(const Call& c) {
    Handle& h = HandleOf(c);
    CloseHandle(h);
    return 0;
}

int Create(const Call& c) {
    const std::string path = PathArg(c);
    if (!c.data || !c.dataLen) Fail(22);
    Spec spec;
    if (!Spec::Parse(c.data, static_cast<size_t>(std::max(*c.dataLen, 0)), spec)) Fail(26);
    if (spec.pageSize < 512 || spec.pageSize > 16384 || spec.pageSize % 512) Fail(24);
    if (spec.recordLen < 4) Fail(28);
    if (spec.keys.size() > 119) Fail(26);
    bool usesAcs = false;
    for (const Key& k : spec.keys) {
        if (const int st = ValidateKey(k, spec.recordLen, !spec.acs.empty())) Fail(st);
        for (const Segment& s : k.segments) usesAcs = usesAcs || (s.flags & kAltCol);
    }
    if (usesAcs && spec.acs.empty()) Fail(48);
    if (std::filesystem::exists(path)) {
        if (c.keyNum == 255) Fail(59);
        if (!E().files[Canonical(path)].expired()) Fail(88); // open here
        std::error_code ec;
        for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix, ec);
    }
    try {
        Conn conn(path, true);
        conn.Exec("BEGIN");
        conn.Exec("CREATE TABLE spec(id INTEGER PRIMARY KEY, bytes BLOB NOT NULL, owner BLOB NOT NULL, ownermode INTEGER NOT NULL)");
        conn.Exec("CREATE TABLE meta(seq INTEGER NOT NULL)");
        conn.Exec("INSERT INTO meta VALUES(0)");
        conn.Exec("CREATE TABLE rec(pos INTEGER PRIMARY KEY, ver INTEGER NOT NULL, data BLOB NOT NULL)");
        for (size_t k = 0; k < spec.keys.size(); ++k) {
            const std::string t = Table(static_cast<int>(k));
            conn.Exec(("CREATE TABLE " + t + "(kv BLOB NOT NULL, seq INTEGER NOT NULL, pos INTEGER NOT NULL, "
                       "PRIMARY KEY(kv, seq)) WITHOUT ROWID").c_str());
            conn.Exec(("CREATE INDEX " + t + "p ON " + t + "(pos)").c_str());
        }
        const std::vector<uint8_t> bytes = spec.Serialize();
        Query(conn, "INSERT INTO spec VALUES(1, ?, ?, 0)").Bind(1, bytes.data(), bytes.size()).Bind(2, std::string()).Run();
        conn.Exec("COMMIT");
    } catch (const StoreError& err) {
        Fail(err.status == 12 ? 11 : 25);
    }
    return 0;
}

int Stat(const Call& c, Handle& h) {
    if (!c.data || !c.dataLen) Fail(22);
    std::vector<uint8_t> b = h.file->spec.Serialize();
    const int64_t records = Count(*h.conn, "SELECT count(*) FROM rec", [](Query&) {});
    Put32(b.data() + 6, static_cast<uint32_t>(records));
    const size_t n = std::min<size_t>(b.size(), static_cast<size_t>(std::max(*c.dataLen, 0)));
    std::memcpy(c.data, b.data(), n);
    c.Returned(static_cast<int32_t>(n));
    if (c.key) std::memset(c.key, 0, c.keyLen);
    return n < b.size() ? 22 : 0;
}

int Owner(const Call& c, Handle& h, bool set) {
    std::string owner = OwnerArg(c);
    SharedFile& f = *h.file;
    if (set) {
        if (!f.spec.owner.empty()) Fail(50);
        if (owner.empty() || c.keyNum > 3) Fail(41);
    } else {
        if (f.spec.owner.empty()) return 0;
        if (owner != f.spec.owner) Fail(51);
        owner.clear();
    }
    const int mode = set ? c.keyNum : 0;
    Write(h, [&] {
        Query(*h.conn, "UPDATE spec SET owner=?, ownermode=? WHERE id=1").Bind(1, owner).Bind(2, int64_t{mode}).Run();
    });
    f.spec.owner = owner;
    f.spec.ownerMode = mode;
    return 0;
}

// ---- clients and transactions -----------------------------------------------------

void EndTransaction(Client& client, bool commit) {
    for (Conn* conn : client.written) {
        sqlite3_exec(conn->Db(), commit ? "COMMIT" : "ROLLBACK", nullptr, nullptr, nullptr);
        conn->inTransaction = false;
    }
    client.written.clear();
    client.transaction = false;
}

int Begin(const Call& c) {
    Client& client = E().clients[c.client];
    if (client.transaction) Fail(37);
    client.transaction = true;
    return 0;
}

int End(const Call& c, bool commit) {
    Client& client = E().clients[c.client];
    if (!client.transaction) Fail(39);
    for (Conn* conn : client.written)
        if (commit && sqlite3_exec(conn->Db(), "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
            EndTransaction(client, false);
            Fail(39);
        } else if (commit) {
            conn->inTransaction = false;
        }
    if (commit) client.written.clear();
    EndTransaction(client, commit);
    return 0;
}

int Stop(const Call& c) {
    Engine& e = E();
    auto it = e.clients.find(c.client);
    if (it != e.clients.end()) EndTransaction(it->second, false);
    for (Handle& h : e.handles)
        if (h.open && h.client == c.client) CloseHandle(h);
    e.clients.erase(c.client);
    return 0;
}

int Unlock(const Call& c, Handle& h) {
    if (c.keyNum < 128) {
        ReleaseSingle(h);
    } else if (c.keyNum == 255) {
        if (!c.data || !c.dataLen || *c.dataLen < 4) Fail(22);
        const uint32_t pos = Get32(c.data);
        if (!h.multiLocks.erase(pos)) Fail(81);
        if (h.singleLock != pos) ReleaseLock(h, pos);
    } else if (c.keyNum == 254) {
        for (uint32_t p : h.multiLocks)
            if (p != h.singleLock) ReleaseLock(h, p);
        h.multiLocks.clear();
    } else {
        Fail(81);
    }
    return 0;
}

int Version(const Call& c) {
    if (!c.data || !c.dataLen || *c.dataLen < 15) Fail(22);
    const uint8_t v[15] = {1, 0, 0, 0, 'L', 1, 0, 0, 0, 'L', 1, 0, 0, 0, 'L'};
    std::memcpy(c.data, v, 15);
    c.Returned(15);
    return 0;
}

int GetDirect(const Call& c, Handle& h, int bias, std::unique_lock<std::recursive_mutex>& guard) {
    if (c.keyNum == 254) return GetChunks(c, h);
    if (!c.data || !c.dataLen || *c.dataLen < 4) Fail(22);
    const uint32_t pos = Get32(c.data);
    auto rec = ReadRecord(*h.conn, pos);
    if (!rec) Fail(43);
    if (c.keyNum != kPhysical && c.keyNum >= h.file->spec.keys.size()) Fail(6);
    TakeLock(h, pos, bias, guard);
    SetCurrency(h, c.keyNum == kPhysical ? -1 : c.keyNum, pos, rec->version);
    if (c.keyNum != kPhysical) ReturnKey(c, *h.file, c.keyNum, rec->data);
    return Deliver(c, *h.file, rec->data);
}

int Dispatch(const Call& c, std::unique_lock<std::recursive_mutex>& guard) {
    uint16_t op = c.op;
    if (op == 19 || op == 1019 || (op > 1019 && op <= 1419 && (op - 1019) % 100 == 0) ||
        (op > 19 && op <= 419 && (op - 19) % 100 == 0))
        return Begin(c);
    switch (op) {
    case 0: return Open(c);
    case 14: return Create(c);
    case 20: return End(c, true);
    case 21: return End(c, false);
    case 25: case 28: return Stop(c);
    case 26: return Version(c);
    default: break;
    }
    int bias = 0;
    if (op >= 100 && op < 500) {
        bias = op / 100 * 100;
        op = static_cast<uint16_t>(op % 100);
        const bool lockable = (op >= 5 && op <= 13) || op == 23 || op == 24 || (op >= 33 && op <= 39);
        if (!lockable) return 1;
    }
    Handle& h = HandleOf(c);
    switch (op) {
    case 1: return Close(c);
    case 2: return Insert(c, h);
    case 3: return Update(c, h);
    case 4: return Delete(h);
    case 15: return Stat(c, h);
    case 22:
        if (!c.data || !c.dataLen || *c.dataLen < 4) Fail(22);
        if (!h.pos || !ReadRecord(*h.conn, h.pos)) Fail(8);
        Put32(c.data, h.pos);
        c.Returned(4);
        return 0;
    case 23: return GetDirect(c, h, bias, guard);
    case 24: case 33: case 34: case 35: return Step(c, h, op, bias, guard);
    case 27: return Unlock(c, h);
    case 29: return Owner(c, h, true);
    case 30: return Owner(c, h, false);
    case 36: case 37: case 38: case 39: return Extended(c, h, op);
    case 44: return GetByPercentage(c, h);
    case 45: return FindPercentage(c, h);
    case 53: return UpdateChunks(c, h);
    default: break;
    }
    if (op >= 5 && op <= 13) return KeyedGet(c, h, op, bias, false, guard);
    if (op >= 55 && op <= 63) return KeyedGet(c, h, op - 50, 0, true, guard);
    return 1;
}

int16_t Entry(uint16_t op, void* posBlock, void* dataBuf, int32_t* dataLen, void* keyBuf, uint8_t keyLen,
              uint8_t keyNum, const void* clientId) {
    static const uint8_t kDefaultClient[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'D', 'F', 0, 0};
    Call c{op,     static_cast<uint8_t*>(posBlock), static_cast<uint8_t*>(dataBuf), dataLen, static_cast<uint8_t*>(keyBuf),
           keyLen, keyNum, std::string(static_cast<const char*>(clientId ? clientId : kDefaultClient), 16)};
    std::unique_lock guard(E().lock);
    try {
        return static_cast<int16_t>(Dispatch(c, guard));
    } catch (const Status& s) {
        return static_cast<int16_t>(s.code);
    } catch (const StoreError& s) {
        return static_cast<int16_t>(s.status);
    } catch (const std::bad_alloc&) {
        return 18;
    } catch (...) {
        return 2;
    }
}

} // namespace

} // namespace btr::engine

extern "C" {
__attribute__((visibility("default"))) int16_t BTRCALLID(uint16_t op, void* posBlock, void* dataBuf, int32_t* dataLen,
                                                         void* keyBuf, uint8_t keyLen, uint8_t keyNum, void* clientId) {
    return btr::engine::Entry(op, posBlock, dataBuf, dataLen, keyBuf, keyLen, keyNum, clientId);
}

__attribute__((visibility("default"))) int16_t BTRCALL(uint16_t op, void* posBlock, void* dataBuf, int32_t* dataLen,
                                                       void* keyBuf, uint8_t keyLen, uint8_t keyNum) {
    return btr::engine::Entry(op, posBlock, dataBuf, dataLen, keyBuf, keyLen, keyNum, nullptr);
}
}
