// Records: reading along a key or in physical order, writing with keys kept
// in step, currency, record locks and percentages.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "btrengine/state.h"

namespace btr::engine {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kLockPoll = std::chrono::milliseconds(5);
// A scan reads ahead in batches that double up to this many rows, or this
// many bytes of records.
constexpr uint32_t kMaxBatch = 256;
constexpr size_t kMaxBatchBytes = 256 * 1024;

// How long a lock request with a wait bias waits: a second, or
// BTRKIT_LOCK_WAIT_MS milliseconds (read at every wait).
Clock::duration LockWait() {
    const char* env = std::getenv("BTRKIT_LOCK_WAIT_MS");
    char* end = nullptr;
    const long ms = env && *env ? std::strtol(env, &end, 10) : -1;
    return std::chrono::milliseconds(ms >= 0 && end && !*end ? ms : 1000);
}

const Key& KeyAt(const Handle& h, int k) { return h.file->spec.keys[static_cast<size_t>(k)]; }
int KeyCount(const Handle& h) { return static_cast<int>(h.file->spec.keys.size()); }

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::optional<std::string> KeyOf(const SharedFile& f, int k, const std::string& rec) {
    const Key& key = f.spec.keys[static_cast<size_t>(k)];
    uint8_t raw[256]; // a key is at most 255 bytes (a layout is validated at create and open)
    if (key.Length() > sizeof raw) return EncodeKey(key, Bytes(ExtractKey(key, Bytes(rec))), f.spec.AcsTable());
    ExtractKey(key, Bytes(rec), raw, sizeof raw);
    return EncodeKey(key, raw, f.spec.AcsTable());
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
    ExtractKey(f.spec.keys[static_cast<size_t>(k)], Bytes(rec), c.key, c.keyLen);
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
    h.image = row.data;
    h.logical = false;
}

// ---- stepping -------------------------------------------------------------

// A stored record that contradicts the file's layout (shorter than the fixed
// part, or of another length in a fixed-length file) is damage: 2, never a
// read past its end.
bool Sound(const SharedFile& f, const std::string& data) {
    return f.spec.VariableLength() ? data.size() >= f.spec.recordLen : data.size() == f.spec.recordLen;
}

// Reads rows of a scan into the handle's cursor from row `n` on, until
// `batch` or the byte limit; false at a damaged record (the rows before it
// stand). The stamp the rows are current at goes to `changes`.
bool Fill(Handle& h, int path, bool forward, From from, const std::string& kv, int64_t seq, uint32_t pos,
          uint32_t batch, uint32_t& n, uint64_t& changes) {
    Cursor& cur = h.cursor;
    const uint32_t first = n;
    changes = std::min(changes, h.St().Scan(path, forward, from, kv, seq, pos, batch, kMaxBatchBytes, cur.rows, n));
    for (uint32_t i = first; i < n; ++i) {
        if (!Sound(*h.file, cur.rows[i].data)) {
            if (i == 0) Fail(2);
            n = i;
            return false;
        }
    }
    return true;
}

// Starts a scan of a path and reads its first record, with up to `batch - 1`
// more kept for the next reads in the same direction. They are kept only
// while no other client is changing the file: a change already under way
// moves the file's stamp before this read, any later one after it. (Past an
// entry, a key's values after it are one index range; the rest of its own
// value, on a key with duplicates, another.)
bool Seek(Handle& h, int path, bool forward, From from, const std::string& kv, int64_t seq, uint32_t pos, Row& row,
          uint32_t batch = 1) {
    Cursor& cur = h.cursor;
    cur.path = -2;
    if (batch > 1 && h.Locks().OtherWriting()) batch = 1;
    uint32_t n = 0;
    uint64_t changes = UINT64_MAX; // the older of the two scans' stamps
    bool whole = true;
    if (path >= 0 && from == From::Beyond && h.file->spec.keys[static_cast<size_t>(path)].Duplicates())
        whole = Fill(h, path, forward, From::Same, kv, seq, pos, batch, n, changes);
    if (whole) Fill(h, path, forward, from, kv, seq, pos, batch, n, changes);
    if (n == 0) return false;
    std::swap(row, cur.rows[0]); // each row is handed out once; the slot keeps the caller's room
    cur.path = path;
    cur.forward = forward;
    cur.changes = changes;
    cur.count = n;
    cur.next = 1;
    cur.lastPos = row.pos;
    cur.batch = batch;
    return true;
}

// Releases one hold of the handle on a record.
void ReleaseLock(Handle& h, uint32_t pos) { h.Locks().Unlock(pos); }

void ReleaseSingle(Handle& h) {
    if (h.singleLock) ReleaseLock(h, h.singleLock);
    h.singleLock = 0;
}

// Tells every client that follows a wait chain through any file this client
// has open whom it waits for (empty: nobody).
void PublishWait(const ClientKey& client, const std::vector<ClientTag>& chain) {
    for (auto& [id, weak] : E().files) {
        const std::shared_ptr<SharedFile> f = weak.lock();
        if (!f) continue;
        if (auto it = f->sessions.find(client); it != f->sessions.end()) it->second->locks->Waiting(chain);
    }
}

// Takes one hold of the kind the bias asks for; false when another client
// holds the record.
bool Hold(const Call& c, Handle& h, uint32_t pos) {
    if (!h.Locks().Lock(pos, true)) return false;
    if (c.bias == 300 || c.bias == 400) {
        if (!h.multiLocks.insert(pos).second) ReleaseLock(h, pos); // held that way already
    } else {
        ReleaseSingle(h);
        h.singleLock = pos;
    }
    return true;
}

// Finds a record and takes the lock the call's bias asks for. A lock that
// had to be waited for was asked for a record as it stood before the wait;
// its holder may have changed or deleted it meanwhile, so the record is found
// again under the lock and the answer is the record as it is now.
template <class Find> bool FindLocked(const Call& c, Handle& h, Row& row, Find&& find) {
    if (!c.bias) return find(row);
    uint64_t seen = h.Locks().KnownChanges();
    if (!find(row)) return false;
    try {
        Clock::time_point deadline{}; // set by the first wait
        // Unless nothing changed in the file between the read and the lock,
        // read again under the lock: the answer is the record as it is now.
        while (TakeLock(c, h, row.pos, deadline) || h.Changes() != seen) {
            seen = h.Changes();
            Row again;
            const bool found = find(again);
            if (found && again.pos == row.pos) {
                row = std::move(again);
                return true;
            }
            Unhold(c, h, row.pos);
            if (!found) return false;
            row = std::move(again);
        }
    } catch (...) {
        h.DropCursor(); // a scan that fails here leaves the handle where it was
        throw;
    }
    return true;
}

} // namespace

Handle& HandleOf(const Call& c) {
    if (!c.pos) Fail(23);
    if (std::memcmp(c.pos, kPosMagic, 8) != 0 || Get64(c.pos + 16) != E().tag) Fail(3);
    const uint32_t index = Get32(c.pos + 8), gen = Get32(c.pos + 12);
    auto& hs = E().handles;
    if (index == 0 || index >= hs.size()) Fail(3);
    Handle& h = hs[index];
    if (!h.open || h.generation != gen || h.client != c.client) Fail(3);
    return h;
}

std::optional<Row> ReadRecord(const Handle& h, uint32_t pos) {
    auto row = h.St().Read(pos);
    if (row && !Sound(*h.file, row->data)) Fail(2);
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

// The next record along a path from where the handle stands: from the rows
// read ahead while nothing changed in the file and the handle did not move,
// else from the store, reading further ahead the longer the scan goes on.
bool Advance(Handle& h, int path, bool forward, Row& row) {
    Cursor& cur = h.cursor;
    const uint32_t at = path < 0 ? h.ppos : h.lpos;
    const bool onward = cur.path == path && cur.forward == forward && cur.lastPos == at &&
                        (path < 0 || (h.logical && h.keyNum == path));
    if (onward && cur.next < cur.count && cur.changes == h.Changes()) {
        std::swap(row, cur.rows[cur.next++]);
        cur.lastPos = row.pos;
        return true;
    }
    const uint32_t batch = onward ? std::min(cur.batch * 2, kMaxBatch) : 2;
    return path < 0 ? Seek(h, -1, forward, From::After, {}, 0, h.ppos, row, batch)
                    : Seek(h, path, forward, From::Beyond, h.kv, h.seq, 0, row, batch);
}

// ---- locks ------------------------------------------------------------------

// Gives back the hold Hold took, for a record that turned out not to be the answer.
void Unhold(const Call& c, Handle& h, uint32_t pos) {
    if (c.bias == 300 || c.bias == 400) {
        if (h.multiLocks.erase(pos)) ReleaseLock(h, pos);
    } else if (h.singleLock == pos) {
        ReleaseSingle(h);
    }
}


namespace {

// Lets the engine go for a moment (the holder, or the change waited for, goes
// on meanwhile); 3 when the handle closed meanwhile.
void Pause(const Call& c, const Handle& h, uint32_t generation, Clock::duration pause = std::chrono::microseconds(50)) {
    E().waiting++;
    c.guard->unlock();
    std::this_thread::sleep_for(pause);
    c.guard->lock();
    E().waiting--;
    E().moments++;
    if (!h.open || h.generation != generation) Fail(3);
}

} // namespace

// Takes the lock the call's bias asks for. Without a wait bias a record that
// another client (of any process) holds answers 84; with one the request
// polls, with the engine unlocked so that the holder can let go, until the
// deadline (84), or answers 78 when the holder waits, directly or through
// others, for this client. True when it had to wait.
bool TakeLock(const Call& c, Handle& h, uint32_t pos, Clock::time_point& deadline) {
    if (c.bias == 0) return false;
    const bool wait = c.bias == 100 || c.bias == 300;
    const uint32_t generation = h.generation;
    const ClientKey me = h.client;
    const ClientTag tag = E().clients[me].tag;
    bool waited = false;
    struct Published {
        const ClientKey& client;
        bool on = false;
        ~Published() {
            if (on) PublishWait(client, {});
        }
    } published{me};
    while (!Hold(c, h, pos)) {
        if (!wait) Fail(84);
        const std::vector<ClientTag> chain = h.Locks().HolderChain(pos);
        if (std::find(chain.begin(), chain.end(), tag) != chain.end()) Fail(78);
        if (deadline == Clock::time_point{}) deadline = Clock::now() + LockWait();
        if (Clock::now() >= deadline) Fail(84);
        PublishWait(me, chain);
        published.on = true;
        waited = true;
        Pause(c, h, generation, kLockPoll);
    }
    // A change that began before this client took locks holds no record: it
    // ends first, and the record is read again after it.
    while (h.Locks().UnheldChangeUnderWay()) {
        waited = true;
        Pause(c, h, generation);
    }
    return waited;
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
        ReleaseLock(h, pos);
    } else if (c.keyNum == 254) {
        for (uint32_t p : h.multiLocks) ReleaseLock(h, p);
        h.multiLocks.clear();
    } else {
        Fail(81);
    }
    return 0;
}

// ---- writing --------------------------------------------------------------------

// Autoincrement segments holding zero get the key's largest value plus one.
void FillAutoIncrement(Store& store, const SharedFile& f, std::string& rec) {
    for (size_t k = 0; k < f.spec.keys.size(); ++k) {
        const Key& key = f.spec.keys[k];
        if (key.segments.size() != 1 || key.segments[0].Type() != ktAutoInc) continue;
        const Segment& s = key.segments[0];
        auto* p = reinterpret_cast<uint8_t*>(rec.data()) + s.pos - 1;
        if (std::any_of(p, p + s.len, [](uint8_t b) { return b != 0; })) continue;
        const bool descending = s.flags & kfDescending;
        const std::optional<std::string> edge = store.Edge(static_cast<int>(k), !descending);
        int64_t max = 0;
        if (edge) {
            const std::string& kv = *edge;
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
    std::vector<std::optional<std::string>> kvs;
    Write(h, [&] {
        FillAutoIncrement(h.St(), f, rec);
        kvs.clear();
        for (int k = 0; k < KeyCount(h); ++k) kvs.push_back(KeyOf(f, k, rec));
        if (!h.St().Insert(rec, kvs, row)) Fail(5);
    });
    std::memcpy(c.data, rec.data(), f.spec.recordLen); // autoincrement values go back
    row.data = std::move(rec);
    if (path >= 0 && kvs[static_cast<size_t>(path)]) { // where it stands on the path, as it was written
        row.kv = std::move(*kvs[static_cast<size_t>(path)]);
        row.seq = row.seqs[static_cast<size_t>(path)];
        SetLogical(h, row, path);
    } else {
        SetPhysical(h, row);
    }
    ReturnKey(c, f, path, row.data);
    return 0;
}

// A change of a record holds its lock, so that a client that locks it reads
// it either before the change or after it, never in between: always in a
// transaction (the record stays held until it ends), outside one while any
// client of the file takes record locks (one that starts to first waits out
// the changes under way that hold none); a store whose changes hold their
// record themselves says Locked instead. Inside a transaction the record is
// read first, so that a refused change does not leave the file held by the
// transaction; outside one the change itself checks the version the handle
// read.
Changing::Changing(Handle& h) : FH(h), FPos(h.pos) {
    if (h.readOnly) Fail(46);
    if (!h.pos) Fail(8);
    FTransaction = E().clients[h.client].transaction;
    if (!FTransaction) return;
    Hold();
    try {
        Old();
    } catch (...) {
        h.Locks().Unlock(FPos); // no destructor for a constructor that throws
        throw;
    }
}

// A record that another client's transaction changed is held by it: the
// file's answer (85) says more than the record's.
void Changing::Hold() {
    if (!FH.Locks().Lock(FPos, FTransaction)) Fail(FH.Locks().TransactionByOther() ? 85 : 84);
    FHeld = true;
}

Changing::~Changing() {
    if (FHeld) FH.Locks().Unlock(FPos);
}

// Called inside the change: its mark is up, so a client that starts to lock
// records after the look at the lockers waits for the change to end.
void Changing::Held() {
    if (!FHeld && FH.Locks().Lockers()) Hold();
}

const Row& Changing::Old() {
    if (!FLoaded) {
        auto rec = ReadRecord(FH, FPos);
        if (!rec) Fail(8);
        if (rec->version != FH.version) Fail(80);
        FOld = std::move(*rec);
        FLoaded = true;
    }
    return FOld;
}

void Changing::Check(Outcome outcome) {
    switch (outcome) {
    case Outcome::Done: return;
    case Outcome::Gone: Fail(8);
    case Outcome::Changed: Fail(80);
    case Outcome::Locked: Fail(FH.Locks().TransactionByOther() ? 85 : 84);
    }
}

void Changing::Done() {
    if (FH.session->inTransaction && FH.session->changed.insert(FPos).second) FHeld = false;
}

// The new record is made of the one the handle read (the store refuses the
// change when the record is no longer at that version).
void Rewrite(Handle& h, Changing& changing, const std::function<std::string(const std::string&)>& make) {
    const SharedFile& f = *h.file;
    const std::string rec = make(h.image);
    std::vector<KeyMove> moved;
    // Every refusal before the first write; one that the record's own state
    // (gone, changed) explains answers that instead.
    auto prepare = [&] {
        moved.clear();
        int refusal = 0;
        for (int k = 0; k < KeyCount(h) && !refusal; ++k) {
            KeyMove m{k, KeyOf(f, k, h.image), KeyOf(f, k, rec)};
            if (m.before == m.after) continue;
            if (!KeyAt(h, k).Modifiable()) refusal = 10;
            else if (m.after && h.St().Taken(k, *m.after, h.pos)) refusal = 5;
            moved.push_back(std::move(m));
        }
        if (refusal) {
            changing.Old();
            Fail(refusal);
        }
    };
    const bool prepared = changing.Loaded();
    if (prepared) prepare();
    Row row;
    Write(h, [&] {
        changing.Held();
        if (!prepared) prepare();
        changing.Check(h.St().Replace(h.pos, h.version, rec, moved, row));
    });
    changing.Done();
    row.pos = h.pos;
    row.data = rec;
    h.version = row.version;
    h.image = rec;
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
    Changing changing(h);
    const SharedFile& f = *h.file;
    if (!c.HasData(f.spec.recordLen)) Fail(22);
    const std::string rec(reinterpret_cast<const char*>(c.data),
                          f.spec.VariableLength() ? static_cast<size_t>(*c.dataLen) : f.spec.recordLen);
    Rewrite(h, changing, [&](const std::string&) { return rec; });
    if (h.logical) ReturnKey(c, f, h.keyNum, rec);
    return 0;
}

int Delete(Handle& h) {
    Changing changing(h);
    const SharedFile& f = *h.file;
    const uint32_t pos = h.pos;
    std::vector<std::optional<std::string>> kvs;
    for (int k = 0; k < KeyCount(h); ++k) kvs.push_back(KeyOf(f, k, h.image));
    Write(h, [&] {
        changing.Held();
        changing.Check(h.St().Remove(pos, h.version, kvs));
    });
    changing.Done();
    ReleaseSingle(h);
    h.pos = 0; // between the neighbours: the logical and physical places stay
    h.version = -1;
    h.image.clear();
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
    auto find = [&](Row& row) {
        switch (op) {
        case 5: return Seek(h, k, true, From::AtOrAfter, wanted, 0, 0, row) && row.kv == wanted;
        case 6: return Advance(h, k, true, row);
        case 7: return Advance(h, k, false, row);
        case 8: return Seek(h, k, true, From::After, wanted, 0, 0, row);
        case 9: return Seek(h, k, true, From::AtOrAfter, wanted, 0, 0, row);
        case 10: return Seek(h, k, false, From::After, wanted, 0, 0, row);
        case 11: return Seek(h, k, false, From::AtOrAfter, wanted, 0, 0, row);
        case 12: return Seek(h, k, true, From::Start, {}, 0, 0, row);
        default: return Seek(h, k, false, From::Start, {}, 0, 0, row);
        }
    };
    // Without a lock bias nothing lets the engine go during the call, so the
    // row handed out may be the cursor's own: a scan's records then pass
    // through the same few buffers instead of new ones each.
    Row local;
    Row& row = c.bias ? local : h.cursor.spare;
    if (!(keyOnly ? find(row) : FindLocked(c, h, row, find))) {
        h.DropCursor();
        return op == 6 || op == 7 || op == 12 || op == 13 ? 9 : 4;
    }
    SetLogical(h, row, k);
    ReturnKey(c, f, k, row.data);
    if (keyOnly) {
        c.Returned(0);
        return 0;
    }
    return Deliver(c, f, row.data);
}

int Step(const Call& c, Handle& h, int op) {
    if ((op == 24 || op == 35) && !h.ppos) Fail(8);
    Row local;
    Row& row = c.bias ? local : h.cursor.spare; // as in KeyedGet
    const bool found = FindLocked(c, h, row, [&](Row& r) {
        if (op == 33 || op == 34) return Seek(h, -1, op == 33, From::Start, {}, 0, 0, r);
        return Advance(h, -1, op == 24, r);
    });
    if (!found) return 9;
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
    const uint32_t pos = Get32(c.data);
    h.DropCursor();
    Row row;
    const bool found = FindLocked(c, h, row, [&](Row& r) {
        auto read = ReadRecord(h, pos);
        if (read) r = std::move(*read);
        return read.has_value();
    });
    if (!found) Fail(43);
    if (c.keyNum != kPhysical && Locate(*h.file, c.keyNum, row)) {
        SetLogical(h, row, c.keyNum);
        ReturnKey(c, *h.file, c.keyNum, row.data);
    } else {
        SetPhysical(h, row);
    }
    return Deliver(c, *h.file, row.data);
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

bool Ends(Store& store, int path, std::string& first, std::string& last) {
    auto lo = store.Edge(path, false);
    if (!lo) return false;
    auto hi = store.Edge(path, true);
    if (!hi) return false;
    first = std::move(*lo);
    last = std::move(*hi);
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
    if (!Ends(h.St(), path, first, last)) Fail(8);
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
    Row row;
    const bool found = FindLocked(c, h, row, [&](Row& r) {
        std::string first, last;
        if (!Ends(h.St(), path, first, last)) return false;
        const Span span = SpanOf(first, last);
        const uint64_t x = span.lo + static_cast<uint64_t>(static_cast<long double>(span.hi - span.lo) * pct / 10000);
        std::string target = span.prefix;
        for (int i = 7; i >= 0; --i) target += static_cast<char>(x >> (8 * i));
        while (target.size() > span.prefix.size() && target.back() == '\0') target.pop_back();
        if (pct == 0) target = first;
        if (pct == 10000) return Seek(h, path, false, From::Start, {}, 0, 0, r);
        if (path < 0) return Seek(h, -1, true, From::AtOrAfter, {}, 0, static_cast<uint32_t>(Digits(target, 0)), r);
        return Seek(h, path, true, From::AtOrAfter, target, 0, 0, r);
    });
    if (!found) return 9;
    if (path < 0) SetPhysical(h, row);
    else SetLogical(h, row, path);
    return Deliver(c, *h.file, row.data);
}

} // namespace btr::engine
