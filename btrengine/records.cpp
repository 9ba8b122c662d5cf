// Records: reading along a key or in physical order, writing with keys kept
// in step, currency, record locks and percentages.
#include <algorithm>
#include <chrono>
#include <thread>

#include "btrengine/state.h"

namespace btr::engine {

namespace {

constexpr auto kLockWait = std::chrono::milliseconds(1000);
constexpr auto kLockPoll = std::chrono::milliseconds(5);

const Key& KeyAt(const Handle& h, int k) { return h.file->spec.keys[static_cast<size_t>(k)]; }
int KeyCount(const Handle& h) { return static_cast<int>(h.file->spec.keys.size()); }

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::optional<std::string> KeyOf(const SharedFile& f, int k, const std::string& rec) {
    const Key& key = f.spec.keys[static_cast<size_t>(k)];
    const std::string raw = ExtractKey(key, Bytes(rec));
    return EncodeKey(key, Bytes(raw), f.spec.AcsTable());
}

// The sequence a new entry of `kv` gets: duplicates go after every entry of
// the same value, so they keep the order they were written in; a unique
// key's one entry has sequence 0.
int64_t NextSeq(Conn& c, const SharedFile& f, int k, const std::string& kv) {
    if (!f.spec.keys[static_cast<size_t>(k)].Duplicates()) return 0;
    Query q(c, f.sql.nextSeq[static_cast<size_t>(k)]);
    q.Bind(1, kv);
    return q.Step() ? q.Int(0) + 1 : 1;
}

// Another record holding `kv` on a unique key (checked before anything is
// written, so a refused write leaves nothing to undo).
bool Taken(Conn& c, const SharedFile& f, int k, const std::string& kv, uint32_t self) {
    if (f.spec.keys[static_cast<size_t>(k)].Duplicates()) return false;
    Query q(c, f.sql.taken[static_cast<size_t>(k)]);
    q.Bind(1, kv);
    return q.Step() && static_cast<uint32_t>(q.Int(0)) != self;
}

// The position a new record gets: one past the largest ever given out in
// this process (read from the file the first time).
uint32_t NextPosition(Conn& c, SharedFile& f) {
    if (f.nextPos == 0) {
        Query q(c, "SELECT max(pos) FROM rec");
        f.nextPos = q.Step() ? static_cast<uint32_t>(q.Int(0)) + 1 : 1;
    }
    if (f.nextPos == 0 || f.nextPos == UINT32_MAX) Fail(18); // positions are 4 bytes: the file is full
    return f.nextPos;
}

void AddEntry(Conn& c, const SharedFile& f, int k, const std::string& kv, int64_t seq, uint32_t pos) {
    Query(c, f.sql.addEntry[static_cast<size_t>(k)]).Bind(1, kv).Bind(2, seq).Bind(3, int64_t{pos}).Run();
}

void RemoveEntry(Conn& c, const SharedFile& f, int k, const std::string& kv, int64_t seq) {
    Query(c, f.sql.removeEntry[static_cast<size_t>(k)]).Bind(1, kv).Bind(2, seq).Run();
}

// Where a record stands on a key, from the record itself (its key bytes and
// the sequence kept beside it); false when the key does not index it.
bool Locate(const SharedFile& f, int k, Row& row) {
    auto kv = KeyOf(f, k, row.data);
    if (!kv) return false;
    row.kv = std::move(*kv);
    row.seq = row.seqs[static_cast<size_t>(k)];
    return true;
}

void ReturnKey(const Call& c, const SharedFile& f, int k, const std::string& rec) {
    if (!c.key || k < 0 || k >= static_cast<int>(f.spec.keys.size())) return;
    const std::string raw = ExtractKey(f.spec.keys[static_cast<size_t>(k)], Bytes(rec));
    std::memcpy(c.key, raw.data(), std::min<size_t>(raw.size(), c.keyLen));
}

// Copies a record to the caller: 22 when even the fixed part does not fit
// (nothing copied), 22 with what fits when only the variable part is cut.
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

void SetPhysical(Handle& h, const Row& row) {
    h.pos = h.ppos = row.pos;
    h.version = row.version;
    h.logical = false;
}

// A stored record that contradicts the file's layout (shorter than the fixed
// part, or of another length in a fixed-length file) is damage: 2, never a
// read past its end.
const std::string& Sound(const SharedFile& f, const std::string& data) {
    if (f.spec.VariableLength() ? data.size() < f.spec.recordLen : data.size() != f.spec.recordLen) Fail(2);
    return data;
}

// ---- stepping -------------------------------------------------------------

enum class From { Start, AtOrAfter, After, Beyond }; // Beyond: past the handle's own entry

std::string ScanSql(int path, bool forward, From from) {
    std::string sql;
    if (path < 0) {
        sql = "SELECT NULL, 0, pos, ver, data FROM rec";
        if (from == From::AtOrAfter) sql += forward ? " WHERE pos>=?1" : " WHERE pos<=?1";
        if (from == From::After || from == From::Beyond) sql += forward ? " WHERE pos>?1" : " WHERE pos<?1";
        return sql + (forward ? " ORDER BY pos" : " ORDER BY pos DESC");
    }
    sql = "SELECT k.kv, k.seq, k.pos, r.ver, r.data FROM " + KeyTable(path) +
          " AS k CROSS JOIN rec AS r ON r.pos=k.pos";
    if (from == From::AtOrAfter) sql += forward ? " WHERE k.kv>=?1" : " WHERE k.kv<=?1";
    if (from == From::After) sql += forward ? " WHERE k.kv>?1" : " WHERE k.kv<?1";
    if (from == From::Beyond) sql += forward ? " WHERE (k.kv, k.seq)>(?1, ?2)" : " WHERE (k.kv, k.seq)<(?1, ?2)";
    return sql + (forward ? " ORDER BY k.kv, k.seq" : " ORDER BY k.kv DESC, k.seq DESC");
}

bool StepCursor(Handle& h, Row& row) {
    sqlite3_stmt* st = h.cursor.stmt;
    const int rc = sqlite3_step(st);
    if (rc != SQLITE_ROW) {
        h.DropCursor();
        if (rc == SQLITE_DONE) return false;
        throw StoreError{StatusOf(rc)};
    }
    auto blob = [st](int col) {
        const void* p = sqlite3_column_blob(st, col);
        return p ? std::string(static_cast<const char*>(p), static_cast<size_t>(sqlite3_column_bytes(st, col)))
                 : std::string();
    };
    row.kv = blob(0);
    row.seq = sqlite3_column_int64(st, 1);
    row.pos = static_cast<uint32_t>(sqlite3_column_int64(st, 2));
    row.version = sqlite3_column_int64(st, 3);
    row.data = blob(4);
    try {
        Sound(*h.file, row.data);
    } catch (...) {
        h.DropCursor(); // the next read meets the damaged record again
        throw;
    }
    h.cursor.lastPos = row.pos;
    return true;
}

// Starts a scan of a path and reads its first record.
bool Seek(Handle& h, int path, bool forward, From from, const std::string& kv, int64_t seq, uint32_t pos, Row& row) {
    h.DropCursor();
    sqlite3_stmt* st = h.Statement(ScanSql(path, forward, from));
    if (path < 0 && from != From::Start) sqlite3_bind_int64(st, 1, pos);
    if (path >= 0 && from != From::Start) sqlite3_bind_blob(st, 1, kv.empty() ? "" : kv.data(), static_cast<int>(kv.size()), SQLITE_TRANSIENT);
    if (path >= 0 && from == From::Beyond) sqlite3_bind_int64(st, 2, seq);
    h.cursor = Cursor{st, path, forward, h.file->changes, 0};
    return StepCursor(h, row);
}

const Handle* LockHolder(const SharedFile& f, uint32_t pos, const Handle& asker) {
    auto it = f.locks.find(pos);
    if (it == f.locks.end()) return nullptr;
    for (uint32_t index : it->second) {
        const Handle& other = E().handles[index];
        if (other.client != asker.client) return &other;
    }
    return nullptr;
}

void ReleaseLock(Handle& h, uint32_t pos) {
    auto it = h.file->locks.find(pos);
    if (it == h.file->locks.end()) return;
    it->second.erase(h.index);
    if (it->second.empty()) h.file->locks.erase(it);
}

void ReleaseSingle(Handle& h) {
    if (h.singleLock && !h.multiLocks.count(h.singleLock)) ReleaseLock(h, h.singleLock);
    h.singleLock = 0;
}

// A wait of `asker` on `holder` closes a cycle when the holder already waits,
// directly or through others, on the asker.
bool WouldDeadlock(const ClientKey& asker, ClientKey holder) {
    const auto& waits = E().waitsFor;
    for (size_t hops = 0; hops <= waits.size(); ++hops) {
        if (holder == asker) return true;
        auto it = waits.find(holder);
        if (it == waits.end()) return false;
        holder = it->second;
    }
    return true;
}

// The record a get found, with its lock taken: a scan that fails here leaves
// the handle where it was.
int Found(const Call& c, Handle& h, const Row& row, bool lock) {
    if (!lock) return 0;
    try {
        TakeLock(c, h, row.pos);
    } catch (...) {
        h.DropCursor();
        throw;
    }
    return 0;
}

} // namespace

FileSql::FileSql(const Spec& spec) {
    std::string seqs, marks;
    for (size_t k = 0; k < spec.keys.size(); ++k) {
        const std::string n = std::to_string(k), t = KeyTable(static_cast<int>(k));
        seqs += ", s" + n;
        marks += ", ?";
        nextSeq.push_back("SELECT seq FROM " + t + " WHERE kv=? ORDER BY seq DESC LIMIT 1");
        taken.push_back("SELECT pos FROM " + t + " WHERE kv=? AND seq=0");
        addEntry.push_back("INSERT INTO " + t + "(kv, seq, pos) VALUES(?, ?, ?)");
        removeEntry.push_back("DELETE FROM " + t + " WHERE kv=? AND seq=?");
    }
    readRecord = "SELECT ver, data" + seqs + " FROM rec WHERE pos=?";
    insertRecord = "INSERT INTO rec(pos, ver, data" + seqs + ") VALUES(?, 1, ?" + marks + ")";
}

std::string KeyTable(int k) {
    std::string name = std::to_string(k);
    name.insert(name.begin(), 'k');
    return name;
}

sqlite3_stmt* Handle::Statement(const std::string& sql) {
    auto it = stmts.find(sql);
    if (it != stmts.end()) {
        sqlite3_reset(it->second);
        sqlite3_clear_bindings(it->second);
        return it->second;
    }
    sqlite3_stmt* st = nullptr;
    const int rc = sqlite3_prepare_v2(conn->Db(), sql.c_str(), -1, &st, nullptr);
    if (rc != SQLITE_OK) throw StoreError{StatusOf(rc)};
    stmts.emplace(sql, st);
    return st;
}

// Resetting the statement also ends its read of the database, so a handle
// that stops mid-scan pins no old snapshot.
void Handle::DropCursor() {
    if (cursor.stmt) sqlite3_reset(cursor.stmt);
    cursor = Cursor{};
}

void Handle::FinalizeStatements() {
    DropCursor();
    for (auto& [sql, st] : stmts) sqlite3_finalize(st);
    stmts.clear();
}

Handle& HandleOf(const Call& c) {
    if (!c.pos) Fail(23);
    static constexpr char kMagic[8] = {'B', 'T', 'R', 'K', 'P', 'O', 'S', '1'};
    if (std::memcmp(c.pos, kMagic, 8) != 0) Fail(3);
    const uint32_t index = Get32(c.pos + 8), gen = Get32(c.pos + 12);
    auto& hs = E().handles;
    if (index == 0 || index >= hs.size()) Fail(3);
    Handle& h = hs[index];
    if (!h.open || h.generation != gen || h.client != c.client) Fail(3);
    return h;
}

std::optional<Row> ReadRecord(const Handle& h, uint32_t pos) {
    const SharedFile& f = *h.file;
    Query q(*h.conn, f.sql.readRecord);
    q.Bind(1, int64_t{pos});
    if (!q.Step()) return std::nullopt;
    Row row;
    row.pos = pos;
    row.version = q.Int(0);
    row.data = Sound(f, q.Blob(1));
    for (int k = 0; k < static_cast<int>(f.spec.keys.size()); ++k) row.seqs.push_back(q.Int(2 + k));
    return row;
}

void SetLogical(Handle& h, const Row& row, int path) {
    SetPhysical(h, row);
    h.keyNum = path;
    h.logical = true;
    h.kv = row.kv;
    h.seq = row.seq;
    h.lpos = row.pos;
}

// The next record along a path from where the handle stands: the scan's
// statement goes on while nothing changed and the handle did not move.
bool Advance(Handle& h, int path, bool forward, Row& row) {
    const Cursor& cur = h.cursor;
    const uint32_t at = path < 0 ? h.ppos : h.lpos;
    if (cur.stmt && cur.path == path && cur.forward == forward && cur.changes == h.file->changes &&
        cur.lastPos == at && (path < 0 || (h.logical && h.keyNum == path)))
        return StepCursor(h, row);
    return path < 0 ? Seek(h, -1, forward, From::After, {}, 0, h.ppos, row)
                    : Seek(h, path, forward, From::Beyond, h.kv, h.seq, 0, row);
}

// ---- locks ------------------------------------------------------------------

// Takes the lock the call's bias asks for; the wait biases poll for a bounded
// time with the engine unlocked, so the holder can release meanwhile.
void TakeLock(const Call& c, Handle& h, uint32_t pos) {
    if (c.bias == 0) return;
    const bool wait = c.bias == 100 || c.bias == 300;
    const bool multi = c.bias == 300 || c.bias == 400;
    const uint32_t generation = h.generation;
    const auto deadline = std::chrono::steady_clock::now() + kLockWait;
    while (const Handle* holder = LockHolder(*h.file, pos, h)) {
        if (!wait || std::chrono::steady_clock::now() >= deadline) Fail(84);
        if (WouldDeadlock(h.client, holder->client)) Fail(78);
        const ClientKey me = h.client;
        E().waitsFor[me] = holder->client;
        E().waiting++;
        c.guard->unlock();
        std::this_thread::sleep_for(kLockPoll);
        c.guard->lock();
        E().waiting--;
        E().waitsFor.erase(me);
        if (!h.open || h.generation != generation) Fail(3);
    }
    if (multi) {
        h.multiLocks.insert(pos);
    } else {
        ReleaseSingle(h);
        h.singleLock = pos;
    }
    h.file->locks[pos].insert(h.index);
}

void ReleaseAllLocks(Handle& h) {
    ReleaseSingle(h);
    for (uint32_t p : h.multiLocks) ReleaseLock(h, p);
    h.multiLocks.clear();
}

int Unlock(const Call& c, Handle& h) {
    if (c.keyNum < 128) {
        ReleaseSingle(h);
    } else if (c.keyNum == 255) {
        if (!c.HasData(4)) Fail(22);
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

// ---- writing --------------------------------------------------------------------

// Autoincrement segments holding zero get the key's largest value plus one.
void FillAutoIncrement(Conn& c, const SharedFile& f, std::string& rec) {
    for (size_t k = 0; k < f.spec.keys.size(); ++k) {
        const Key& key = f.spec.keys[k];
        if (key.segments.size() != 1 || key.segments[0].Type() != ktAutoInc) continue;
        const Segment& s = key.segments[0];
        auto* p = reinterpret_cast<uint8_t*>(rec.data()) + s.pos - 1;
        if (std::any_of(p, p + s.len, [](uint8_t b) { return b != 0; })) continue;
        const bool descending = s.flags & kfDescending;
        Query q(c, "SELECT kv FROM " + KeyTable(static_cast<int>(k)) + (descending ? " ORDER BY kv LIMIT 1"
                                                                                     : " ORDER BY kv DESC LIMIT 1"));
        int64_t max = 0;
        if (q.Step()) {
            const std::string kv = q.Blob(0);
            uint64_t u = 0;
            for (size_t i = 0; i < s.len && i < kv.size(); ++i)
                u = u << 8 | static_cast<uint8_t>(descending ? ~kv[i] : kv[i]);
            const int bits = 8 * s.len;
            u ^= uint64_t{1} << (bits - 1); // undo the sign flip of the encoding
            max = bits == 64 ? static_cast<int64_t>(u) : static_cast<int64_t>(u << (64 - bits)) >> (64 - bits);
        }
        const uint64_t next = static_cast<uint64_t>(std::max<int64_t>(max, 0)) + 1;
        for (size_t i = 0; i < s.len; ++i) p[i] = static_cast<uint8_t>(next >> (8 * i));
    }
}

int Insert(const Call& c, Handle& h) {
    if (h.readOnly) Fail(46);
    const SharedFile& f = *h.file;
    if (!c.HasData(f.spec.recordLen)) Fail(22);
    const int path = c.keyNum < 128 && KeyCount(h) > 0 ? c.keyNum : -1;
    if (path >= KeyCount(h)) Fail(6);
    std::string rec(reinterpret_cast<const char*>(c.data),
                    f.spec.VariableLength() ? static_cast<size_t>(*c.dataLen) : f.spec.recordLen);
    Row row;
    Write(h, [&] {
        FillAutoIncrement(*h.conn, f, rec);
        std::vector<std::optional<std::string>> kvs;
        for (int k = 0; k < KeyCount(h); ++k) {
            kvs.push_back(KeyOf(f, k, rec));
            row.seqs.push_back(kvs.back() ? NextSeq(*h.conn, f, k, *kvs.back()) : 0);
        }
        // The entries go first, at the position the record will get: a unique
        // key that refuses the value (its primary key) takes back the entries
        // already made, and nothing is written.
        row.pos = NextPosition(*h.conn, *h.file);
        for (int k = 0; k < KeyCount(h); ++k) {
            const auto i = static_cast<size_t>(k);
            if (!kvs[i]) continue;
            try {
                AddEntry(*h.conn, f, k, *kvs[i], row.seqs[i], row.pos);
            } catch (const StoreError& e) {
                if (e.status != 5) throw;
                for (int j = 0; j < k; ++j)
                    if (kvs[static_cast<size_t>(j)]) RemoveEntry(*h.conn, f, j, *kvs[static_cast<size_t>(j)], row.seqs[static_cast<size_t>(j)]);
                Fail(5);
            }
        }
        Query q(*h.conn, f.sql.insertRecord);
        q.Bind(1, int64_t{row.pos}).Bind(2, rec);
        for (int k = 0; k < KeyCount(h); ++k) q.Bind(3 + k, row.seqs[static_cast<size_t>(k)]);
        q.Run();
        h.file->nextPos = row.pos + 1;
    });
    std::memcpy(c.data, rec.data(), f.spec.recordLen); // autoincrement values go back
    row.version = 1;
    row.data = std::move(rec);
    if (path >= 0 && Locate(f, path, row)) SetLogical(h, row, path);
    else SetPhysical(h, row);
    ReturnKey(c, f, path, row.data);
    return 0;
}

// The current record for a change: 8 without one, 80 when it changed since
// it was read, 84 when another client locks it.
Row CurrentForChange(Handle& h) {
    if (h.readOnly) Fail(46);
    if (!h.pos) Fail(8);
    auto rec = ReadRecord(h, h.pos);
    if (!rec) Fail(8);
    if (rec->version != h.version) Fail(80);
    if (LockHolder(*h.file, h.pos, h)) Fail(84);
    return *rec;
}

void Rewrite(Handle& h, const Row& old, const std::string& rec) {
    const SharedFile& f = *h.file;
    struct Move {
        int k;
        std::optional<std::string> before, after;
    };
    std::vector<Move> moved;
    for (int k = 0; k < KeyCount(h); ++k) {
        Move m{k, KeyOf(f, k, old.data), KeyOf(f, k, rec)};
        if (m.before == m.after) continue;
        if (!KeyAt(h, k).Modifiable()) Fail(10);
        if (m.after && Taken(*h.conn, f, k, *m.after, h.pos)) Fail(5);
        moved.push_back(std::move(m));
    }
    Row row = old;
    row.data = rec;
    row.version = old.version + 1;
    Write(h, [&] {
        Query(*h.conn, "UPDATE rec SET ver=ver+1, data=? WHERE pos=?").Bind(1, rec).Bind(2, int64_t{h.pos}).Run();
        for (const Move& m : moved) {
            const auto k = static_cast<size_t>(m.k);
            if (m.before) RemoveEntry(*h.conn, f, m.k, *m.before, old.seqs[k]);
            if (!m.after) continue;
            const int64_t seq = NextSeq(*h.conn, f, m.k, *m.after);
            if (seq != old.seqs[k])
                Query(*h.conn, "UPDATE rec SET s" + std::to_string(k) + "=? WHERE pos=?").Bind(1, seq).Bind(2, int64_t{h.pos}).Run();
            row.seqs[k] = seq;
            AddEntry(*h.conn, f, m.k, *m.after, seq, h.pos);
        }
    });
    h.version = row.version;
    // The logical position follows the record to its new place on the path.
    if (h.logical) {
        if (Locate(f, h.keyNum, row)) {
            h.kv = row.kv;
            h.seq = row.seq;
            h.lpos = row.pos;
        } else {
            h.logical = false;
        }
    }
    ReleaseSingle(h);
}

int Update(const Call& c, Handle& h) {
    const Row old = CurrentForChange(h);
    const SharedFile& f = *h.file;
    if (!c.HasData(f.spec.recordLen)) Fail(22);
    const std::string rec(reinterpret_cast<const char*>(c.data),
                          f.spec.VariableLength() ? static_cast<size_t>(*c.dataLen) : f.spec.recordLen);
    Rewrite(h, old, rec);
    if (h.logical) ReturnKey(c, f, h.keyNum, rec);
    return 0;
}

int Delete(Handle& h) {
    const Row old = CurrentForChange(h);
    const SharedFile& f = *h.file;
    const uint32_t pos = h.pos;
    Write(h, [&] {
        Query(*h.conn, "DELETE FROM rec WHERE pos=?").Bind(1, int64_t{pos}).Run();
        for (int k = 0; k < KeyCount(h); ++k)
            if (const auto kv = KeyOf(f, k, old.data)) RemoveEntry(*h.conn, f, k, *kv, old.seqs[static_cast<size_t>(k)]);
    });
    ReleaseSingle(h);
    h.pos = 0; // between the neighbours: the logical and physical places stay
    h.version = -1;
    return 0;
}

// ---- reading ----------------------------------------------------------------------

int KeyedGet(const Call& c, Handle& h, int op, bool keyOnly) {
    const SharedFile& f = *h.file;
    const int k = c.keyNum;
    if (k >= KeyCount(h)) Fail(6);
    const Key& key = KeyAt(h, k);
    if ((op == 6 || op == 7) && !h.logical) Fail(8);
    if ((op == 6 || op == 7) && h.keyNum != k) Fail(7);
    // Every keyed get returns the key: a buffer that cannot hold it is
    // refused before anything moves.
    if (!c.key || c.keyLen < key.Length()) Fail(21);
    std::string wanted;
    if (op == 5 || (op >= 8 && op <= 11)) wanted = EncodeValue(key, c.key, f.spec.AcsTable());
    Row row;
    bool found;
    switch (op) {
    case 5: found = Seek(h, k, true, From::AtOrAfter, wanted, 0, 0, row) && row.kv == wanted; break;
    case 6: found = Advance(h, k, true, row); break;
    case 7: found = Advance(h, k, false, row); break;
    case 8: found = Seek(h, k, true, From::After, wanted, 0, 0, row); break;
    case 9: found = Seek(h, k, true, From::AtOrAfter, wanted, 0, 0, row); break;
    case 10: found = Seek(h, k, false, From::After, wanted, 0, 0, row); break;
    case 11: found = Seek(h, k, false, From::AtOrAfter, wanted, 0, 0, row); break;
    case 12: found = Seek(h, k, true, From::Start, {}, 0, 0, row); break;
    default: found = Seek(h, k, false, From::Start, {}, 0, 0, row); break;
    }
    if (!found) {
        h.DropCursor();
        return op == 6 || op == 7 || op == 12 || op == 13 ? 9 : 4;
    }
    Found(c, h, row, !keyOnly);
    SetLogical(h, row, k);
    ReturnKey(c, f, k, row.data);
    if (keyOnly) {
        c.Returned(0);
        return 0;
    }
    return Deliver(c, f, row.data);
}

int Step(const Call& c, Handle& h, int op) {
    Row row;
    bool found;
    switch (op) {
    case 33: found = Seek(h, -1, true, From::Start, {}, 0, 0, row); break;
    case 34: found = Seek(h, -1, false, From::Start, {}, 0, 0, row); break;
    default:
        if (!h.ppos) Fail(8);
        found = Advance(h, -1, op == 24, row);
        break;
    }
    if (!found) return 9;
    Found(c, h, row, true);
    SetPhysical(h, row);
    return Deliver(c, *h.file, row.data);
}

int GetPosition(const Call& c, Handle& h) {
    if (!c.HasData(4)) Fail(22);
    if (!h.pos) Fail(8);
    Put32(c.data, h.pos);
    c.Returned(4);
    return 0;
}

int GetDirect(const Call& c, Handle& h) {
    if (c.keyNum == 254) return GetChunks(c, h);
    if (!c.HasData(4)) Fail(22);
    if (c.keyNum != kPhysical && c.keyNum >= KeyCount(h)) Fail(6);
    auto row = ReadRecord(h, Get32(c.data));
    if (!row) Fail(43);
    h.DropCursor();
    Found(c, h, *row, true);
    if (c.keyNum != kPhysical && Locate(*h.file, c.keyNum, *row)) {
        SetLogical(h, *row, c.keyNum);
        ReturnKey(c, *h.file, c.keyNum, row->data);
    } else {
        SetPhysical(h, *row);
    }
    return Deliver(c, *h.file, row->data);
}

// ---- percentages ----------------------------------------------------------------------
//
// A record's place is estimated from its key alone, as if the values were
// spread evenly between the first and the last: past the prefix the two share,
// the next eight bytes are read as a number. That keeps the estimate monotone
// along the path, exact at both ends, and costs two index lookups.

namespace {

struct Span {
    std::string prefix;
    uint64_t lo = 0, hi = 0;
};

uint64_t Digits(const std::string& s, size_t from) {
    uint64_t x = 0;
    for (size_t i = 0; i < 8; ++i) x = x << 8 | (from + i < s.size() ? static_cast<uint8_t>(s[from + i]) : 0);
    return x;
}

Span SpanOf(const std::string& first, const std::string& last) {
    size_t n = 0;
    while (n < first.size() && n < last.size() && first[n] == last[n]) ++n;
    return Span{first.substr(0, n), Digits(first, n), Digits(last, n)};
}

bool Ends(Conn& c, int path, std::string& first, std::string& last) {
    Query lo(c, path < 0 ? "SELECT pos FROM rec ORDER BY pos LIMIT 1" : "SELECT kv FROM " + KeyTable(path) + " ORDER BY kv LIMIT 1");
    if (!lo.Step()) return false;
    first = path < 0 ? std::string() : lo.Blob(0);
    const int64_t firstPos = path < 0 ? lo.Int(0) : 0;
    Query hi(c, path < 0 ? "SELECT pos FROM rec ORDER BY pos DESC LIMIT 1"
                         : "SELECT kv FROM " + KeyTable(path) + " ORDER BY kv DESC LIMIT 1");
    if (!hi.Step()) return false;
    if (path < 0) {
        // Physical positions read as eight big-endian bytes, like a key.
        auto be = [](uint64_t v) {
            std::string s(8, '\0');
            for (int i = 7; i >= 0; --i, v >>= 8) s[static_cast<size_t>(i)] = static_cast<char>(v & 0xFF);
            return s;
        };
        first = be(static_cast<uint64_t>(firstPos));
        last = be(static_cast<uint64_t>(hi.Int(0)));
    } else {
        last = hi.Blob(0);
    }
    return true;
}

int PathArg(const Call& c, const Handle& h) {
    if (c.keyNum == kPhysical) return -1;
    if (c.keyNum >= KeyCount(h)) Fail(6);
    return c.keyNum;
}

} // namespace

int FindPercentage(const Call& c, Handle& h) {
    if (!c.HasData(4)) Fail(22);
    const int path = PathArg(c, h);
    if (!h.pos) Fail(8);
    std::string here;
    if (path < 0) {
        here.assign(8, '\0');
        for (int i = 0; i < 4; ++i) here[static_cast<size_t>(7 - i)] = static_cast<char>(h.pos >> (8 * i));
    } else {
        auto row = ReadRecord(h, h.pos);
        if (!row || !Locate(*h.file, path, *row)) Fail(8); // gone, or not on this path (a null key)
        here = row->kv;
    }
    std::string first, last;
    if (!Ends(*h.conn, path, first, last)) Fail(8);
    const Span span = SpanOf(first, last);
    uint32_t pct = 0;
    if (span.hi > span.lo) {
        const uint64_t x = std::clamp(Digits(here, span.prefix.size()), span.lo, span.hi);
        pct = static_cast<uint32_t>(static_cast<long double>(x - span.lo) * 10000 / static_cast<long double>(span.hi - span.lo));
    }
    Put32(c.data, pct);
    c.Returned(4);
    return 0;
}

int GetByPercentage(const Call& c, Handle& h) {
    if (!c.HasData(4)) Fail(22);
    const uint32_t pct = Get32(c.data);
    if (pct > 10000) Fail(1);
    const int path = PathArg(c, h);
    std::string first, last;
    if (!Ends(*h.conn, path, first, last)) return 9;
    const Span span = SpanOf(first, last);
    const uint64_t x = span.lo + static_cast<uint64_t>(static_cast<long double>(span.hi - span.lo) * pct / 10000);
    std::string target = span.prefix;
    for (int i = 7; i >= 0; --i) target += static_cast<char>(x >> (8 * i));
    while (target.size() > span.prefix.size() && target.back() == '\0') target.pop_back();
    if (pct == 0) target = first;
    Row row;
    bool found;
    if (pct == 10000) {
        found = Seek(h, path, false, From::Start, {}, 0, 0, row);
    } else if (path < 0) {
        found = Seek(h, -1, true, From::AtOrAfter, {}, 0, static_cast<uint32_t>(Digits(target, 0)), row);
    } else {
        found = Seek(h, path, true, From::AtOrAfter, target, 0, 0, row);
    }
    if (!found) return 9;
    Found(c, h, row, true);
    if (path < 0) SetPhysical(h, row);
    else SetLogical(h, row, path);
    return Deliver(c, *h.file, row.data);
}

} // namespace btr::engine
