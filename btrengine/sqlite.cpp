#include "btrengine/sqlite.h"

#include <cstdio>
#include <cstring>
#include <thread>

#include "btrengine/locks.h"

namespace btr::engine {

int StatusOf(int code) {
    switch (code & 0xFF) {
    case SQLITE_BUSY: case SQLITE_LOCKED: return 85;
    case SQLITE_FULL: return 18;
    case SQLITE_CONSTRAINT: return 5; // only a unique key's primary key can break
    case SQLITE_NOTADB: case SQLITE_CORRUPT: return 30;
    case SQLITE_CANTOPEN: return 12;
    case SQLITE_READONLY: return 46;
    default: return 2;
    }
}

namespace {

// A path as an SQLite URI (file:/dir/name), for the query parameters of the
// read-only forms.
std::string Uri(const std::string& path, const char* query) {
    std::string uri = "file:";
    for (char ch : path) {
        if (ch == '%' || ch == '?' || ch == '#') {
            char esc[4];
            std::snprintf(esc, sizeof esc, "%%%02X", static_cast<unsigned char>(ch));
            uri += esc;
        } else {
            uri += ch;
        }
    }
    return uri + "?" + query;
}

constexpr auto kBusyWait = std::chrono::seconds(10);

} // namespace

Conn::Conn(const std::string& path, Access access, bool create) {
    int rc;
    if (access == Access::ReadWrite) {
        rc = sqlite3_open_v2(path.c_str(), &FDb,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0), nullptr);
    } else {
        // Never create the log or its shared memory: a reader must leave
        // nothing beside the file that another user's writer could not use.
        rc = sqlite3_open_v2(Uri(path, access == Access::Frozen ? "immutable=1" : "readonly_shm=1").c_str(), &FDb,
                             SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
    }
    if (rc != SQLITE_OK) {
        sqlite3_close(FDb);
        FDb = nullptr;
        throw StoreError{rc == SQLITE_CANTOPEN ? 12 : StatusOf(rc)};
    }
    sqlite3_extended_result_codes(FDb, 0);
    // The store keeps the record counter itself (see kCounter in the store).
    sqlite3_db_config(FDb, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
    sqlite3_busy_handler(FDb, &Conn::Busy, this);
    // WAL (set at create) with NORMAL sync: a committed change survives a
    // crash of the process (the log is written before the answer); a power
    // loss may lose the last ones but never corrupts the file. None of these
    // writes to the file, so a file that turns out not to be ours is left as
    // it was (a file that is no database at all fails here already).
    try {
        Exec("PRAGMA synchronous=NORMAL");
        Exec("PRAGMA foreign_keys=OFF");
        Exec("PRAGMA temp_store=MEMORY"); // savepoint journals of one operation stay in memory
        // Pages are read through a mapping the connections of a file share
        // with the OS cache, not copied by a read call each.
        Exec("PRAGMA mmap_size=1073741824");
        Exec("PRAGMA cache_size=-16384");
    } catch (...) {
        sqlite3_close_v2(FDb); // no destructor for a constructor that throws
        FDb = nullptr;
        throw;
    }
}

// Another connection (of this process or another) holds the lock: a change
// of another client's transaction is not waited for (85 at once), anything
// shorter is, for a bounded time.
int Conn::Busy(void* self, int count) {
    auto* conn = static_cast<Conn*>(self);
    const auto now = std::chrono::steady_clock::now();
    if (count == 0) conn->FBusySince = now;
    if (now - conn->FBusySince > kBusyWait || (conn->mayWait && !conn->mayWait(conn->FBeginning))) return 0;
    // Short at first: another process's single change takes tens of microseconds.
    std::this_thread::sleep_for(std::chrono::microseconds(count < 20 ? 20 : 500));
    return 1;
}

Conn::~Conn() {
    for (auto& [sql, st] : FStmts) sqlite3_finalize(st);
    sqlite3_close_v2(FDb);
}

sqlite3_stmt* Conn::Stmt(const std::string& sql) {
    auto it = FStmts.find(sql);
    if (it != FStmts.end()) {
        sqlite3_reset(it->second); // every use binds all its parameters again
        return it->second;
    }
    sqlite3_stmt* st = nullptr;
    const int rc = sqlite3_prepare_v2(FDb, sql.c_str(), -1, &st, nullptr);
    if (rc != SQLITE_OK) throw StoreError{StatusOf(rc)};
    FStmts.emplace(sql, st);
    return st;
}

void Conn::Run(const char* sql) {
    sqlite3_stmt* st = Stmt(sql);
    const int rc = sqlite3_step(st);
    sqlite3_reset(st);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) throw StoreError{StatusOf(rc)};
}

void Conn::Begin() {
    FBeginning = true;
    try {
        Run("BEGIN IMMEDIATE");
    } catch (...) {
        FBeginning = false;
        throw;
    }
    FBeginning = false;
}

void Conn::Exec(const char* sql) {
    const int rc = sqlite3_exec(FDb, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) throw StoreError{StatusOf(rc)};
}

Query::Query(Conn& c, const std::string& sql) : FStmt(c.Stmt(sql)) {}
Query::~Query() { sqlite3_reset(FStmt); }

Query& Query::Bind(int i, int64_t v) {
    sqlite3_bind_int64(FStmt, i, v);
    return *this;
}
Query& Query::Bind(int i, const std::string& blob) { return Bind(i, blob.data(), blob.size()); }
Query& Query::Bind(int i, const void* p, size_t n) {
    // Callers keep the bytes alive until the statement has run.
    sqlite3_bind_blob(FStmt, i, n ? p : "", static_cast<int>(n), SQLITE_STATIC);
    return *this;
}

Query& Query::Text(int i, const char* text) {
    sqlite3_bind_text(FStmt, i, text, -1, SQLITE_STATIC);
    return *this;
}

bool Query::Step() {
    const int rc = sqlite3_step(FStmt);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw StoreError{StatusOf(rc)};
}

void Query::Run() {
    while (Step()) {
    }
}

int64_t Query::Int(int col) const { return sqlite3_column_int64(FStmt, col); }

std::string Query::Blob(int col) const {
    const void* p = sqlite3_column_blob(FStmt, col);
    const int n = sqlite3_column_bytes(FStmt, col);
    return p ? std::string(static_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
}

void Query::Blob(int col, std::string& out) const {
    const void* p = sqlite3_column_blob(FStmt, col);
    const int n = sqlite3_column_bytes(FStmt, col);
    if (p) out.assign(static_cast<const char*>(p), static_cast<size_t>(n));
    else out.clear();
}

// ---- the store ------------------------------------------------------------------
//
// Tables: spec(id, bytes, owner, ownermode); rec(pos INTEGER PRIMARY KEY,
// ver, data, s0, s1, ...), sK the sequence of the record's entry on key K;
// kK(kv, seq, pos) WITHOUT ROWID with primary key (kv, seq), one per key.

namespace {

std::string KeyTable(size_t k) {
    std::string name = std::to_string(k);
    name.insert(name.begin(), 'k'); // (a string sum here trips gcc 12's -Wrestrict at -O3)
    return name;
}

// The statements of one file's layout, composed once.
struct FileSql {
    std::string readRecord, insertRecord;
    std::vector<std::string> nextSeq, taken, addEntry, removeEntry, setSeq; // per key

    explicit FileSql(const Spec& spec) {
        std::string seqs, marks;
        for (size_t k = 0; k < spec.keys.size(); ++k) {
            const std::string n = std::to_string(k), t = KeyTable(k);
            seqs += ", s" + n;
            marks += ", ?";
            nextSeq.push_back("SELECT seq FROM " + t + " WHERE kv=? ORDER BY seq DESC LIMIT 1");
            taken.push_back("SELECT pos FROM " + t + " WHERE kv=? AND seq=0");
            addEntry.push_back("INSERT INTO " + t + "(kv, seq, pos) VALUES(?, ?, ?)");
            removeEntry.push_back("DELETE FROM " + t + " WHERE kv=? AND seq=?");
            setSeq.push_back("UPDATE rec SET s" + n + "=? WHERE pos=?");
        }
        readRecord = "SELECT ver, data" + seqs + " FROM rec WHERE pos=?";
        insertRecord = "INSERT INTO rec(pos, ver, data" + seqs + ") VALUES(?, 1, ?" + marks + ")";
    }
};

// The same, prepared on one connection: every use goes straight to its
// statement, with no text to compose or look up per call.
struct FileStmts {
    sqlite3_stmt *readRecord, *insertRecord;
    std::vector<sqlite3_stmt*> nextSeq, taken, addEntry, removeEntry, setSeq;
    std::vector<sqlite3_stmt*> scans; // by ScanSlot, prepared at first use

    FileStmts(Conn& conn, const FileSql& sql) : readRecord(conn.Stmt(sql.readRecord)), insertRecord(conn.Stmt(sql.insertRecord)) {
        const std::pair<const std::vector<std::string>*, std::vector<sqlite3_stmt*>*> lists[] = {
            {&sql.nextSeq, &nextSeq}, {&sql.taken, &taken}, {&sql.addEntry, &addEntry},
            {&sql.removeEntry, &removeEntry}, {&sql.setSeq, &setSeq}};
        for (auto [texts, stmts] : lists)
            for (const std::string& t : *texts) stmts->push_back(conn.Stmt(t));
        scans.assign((sql.nextSeq.size() + 1) * 2 * kFroms, nullptr);
    }

    static constexpr size_t kFroms = 5; // the values of From
    static size_t ScanSlot(int path, bool forward, From from) {
        return (static_cast<size_t>(path + 1) * 2 + (forward ? 1 : 0)) * kFroms + static_cast<size_t>(from);
    }
};

std::string ScanSql(int path, bool forward, From from) {
    std::string sql;
    if (path < 0) {
        sql = "SELECT NULL, 0, pos, ver, data FROM rec";
        if (from == From::AtOrAfter) sql += forward ? " WHERE pos>=?1" : " WHERE pos<=?1";
        if (from == From::After || from == From::Beyond) sql += forward ? " WHERE pos>?1" : " WHERE pos<?1";
        return sql + (forward ? " ORDER BY pos" : " ORDER BY pos DESC");
    }
    sql = "SELECT k.kv, k.seq, k.pos, r.ver, r.data FROM " + KeyTable(static_cast<size_t>(path)) +
          " AS k CROSS JOIN rec AS r ON r.pos=k.pos";
    if (from == From::AtOrAfter) sql += forward ? " WHERE k.kv>=?1" : " WHERE k.kv<=?1";
    if (from == From::After || from == From::Beyond) sql += forward ? " WHERE k.kv>?1" : " WHERE k.kv<?1";
    if (from == From::Same) sql += forward ? " WHERE k.kv=?1 AND k.seq>?2" : " WHERE k.kv=?1 AND k.seq<?2";
    return sql + (forward ? " ORDER BY k.kv, k.seq" : " ORDER BY k.kv DESC, k.seq DESC");
}

// The record count, kept in the file itself: a one-row table that moves with
// every insert and delete inside the same transaction, so a rollback takes
// it back with the rest. A stat reads it instead of walking the records.
// Two triggers on rec keep it for whoever writes with SQLite (an older build
// of the engine, any other program); the engine's own connections run
// without triggers and add what a change inserted less what it deleted
// once, as it commits: a trigger costs every record a statement journal
// and a nested program, a seventh of a bulk insert. The counter is trusted
// only while the schema holds exactly these three objects as written here
// and no other trigger, and the count is plausible for the positions in the
// file; anything else is walked. (The column allows NULL so that the
// triggers' update cannot abort halfway: no statement journal for others
// either.)
constexpr const char* kCounter = "CREATE TABLE reccount(id INTEGER PRIMARY KEY, n INTEGER)";
constexpr const char* kCountUp =
    "CREATE TRIGGER reccount_insert AFTER INSERT ON rec BEGIN UPDATE reccount SET n=n+1 WHERE id=1; END";
constexpr const char* kCountDown =
    "CREATE TRIGGER reccount_delete AFTER DELETE ON rec BEGIN UPDATE reccount SET n=n-1 WHERE id=1; END";

// Adds the counter, holding the current count, in the caller's write
// transaction; what a damaged one left goes first.
void MakeCounter(Conn& conn) {
    conn.Exec("DROP TRIGGER IF EXISTS reccount_insert");
    conn.Exec("DROP TRIGGER IF EXISTS reccount_delete");
    conn.Exec("DROP TABLE IF EXISTS reccount");
    for (const char* sql : {kCounter, kCountUp, kCountDown}) conn.Exec(sql);
    conn.Exec("INSERT INTO reccount(id, n) SELECT 1, count(*) FROM rec");
}

std::string BigEndian(uint64_t v) {
    std::string s(8, '\0');
    for (int i = 7; i >= 0; --i, v >>= 8) s[static_cast<size_t>(i)] = static_cast<char>(v & 0xFF);
    return s;
}

class SqliteStore final : public Store {
public:
    SqliteStore(const std::string& home, Access access, LockSession& locks)
        : FConn(home, access), FLocks(locks), FAccess(access) {
        // The write lock is waited for while others make single changes, not
        // while another client's transaction holds the file.
        LockSession* l = &locks;
        FConn.mayWait = [l](bool writing) { return !writing || !l->TransactionByOther(); };
    }

    Conn& Connection() { return FConn; }

    bool ReadSpec(std::string& bytes, std::string& owner, int64_t& ownerMode) override {
        Query q(FConn, "SELECT bytes, owner, ownermode FROM spec WHERE id=1");
        if (!q.Step()) return false;
        bytes = q.Blob(0);
        owner = q.Blob(1);
        ownerMode = q.Int(2);
        return true;
    }

    bool Fits(const Spec& spec) override {
        try {
            // Every statement of the layout prepares: the tables match it.
            FSql = std::make_unique<FileStmts>(FConn, FileSql(spec));
        } catch (const StoreError& err) {
            if (err.status == 2) return false;
            throw;
        }
        FKeys = spec.keys.size();
        FDuplicates.clear();
        for (const Key& k : spec.keys) FDuplicates.push_back(k.Duplicates());
        return true;
    }

    std::optional<Row> Read(uint32_t pos) override {
        Query q(FSql->readRecord);
        q.Bind(1, int64_t{pos});
        if (!q.Step()) return std::nullopt;
        Row row;
        row.pos = pos;
        row.version = q.Int(0);
        row.data = q.Blob(1);
        for (size_t k = 0; k < FKeys; ++k) row.seqs.push_back(q.Int(2 + static_cast<int>(k)));
        return row;
    }

    uint64_t Scan(int path, bool forward, From from, const std::string& kv, int64_t seq, uint32_t pos, uint32_t limit,
                  size_t maxBytes, std::vector<Row>& rows, uint32_t& n) override {
        // The stamp before the rows: a change under way moved it already,
        // any later one moves it after.
        const uint64_t stamp = FLocks.Changes();
        sqlite3_stmt*& st = FSql->scans[FileStmts::ScanSlot(path, forward, from)];
        if (!st) st = FConn.Stmt(ScanSql(path, forward, from));
        Query q(st);
        if (path < 0 && from != From::Start) q.Bind(1, int64_t{pos});
        if (path >= 0 && from != From::Start) q.Bind(1, kv);
        if (path >= 0 && from == From::Same) q.Bind(2, seq);
        for (size_t bytes = 0; n < limit && bytes < maxBytes && q.Step(); ++n) {
            if (rows.size() <= n) rows.emplace_back();
            Row& r = rows[n]; // its strings keep their room from earlier reads
            q.Blob(0, r.kv);
            r.seq = q.Int(1);
            r.pos = static_cast<uint32_t>(q.Int(2));
            r.version = q.Int(3);
            q.Blob(4, r.data);
            bytes += r.data.size();
        }
        return stamp;
    }

    // From the counter when it is sound; else walked, and a process that may
    // write the file adds the counter (once per connection, outside a
    // transaction) with the count it walks for the answer.
    uint32_t Count() override {
        if (sqlite3_get_autocommit(FConn.Db()) == 0) { // inside the client's transaction: its own changes count
            auto n = Counted(FDelta);
            return n ? *n : Walked();
        }
        // The schema, the counter and the positions it is checked against
        // are read in one snapshot.
        FConn.Run("BEGIN");
        std::optional<uint32_t> n;
        // Not from a transaction the store spoilt (its end undoes it).
        const bool mayAdd = FAccess == Access::ReadWrite && !FCounterTried && !FTransaction;
        try {
            n = Counted(0);
            if (!n && !mayAdd) n = Walked();
            FConn.Run("COMMIT");
        } catch (...) {
            sqlite3_exec(FConn.Db(), "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
        if (n) return *n;
        FCounterTried = true;
        if (auto made = AddCounter()) return *made;
        return Walked();
    }

    std::optional<std::string> Edge(int path, bool last) override {
        if (path < 0) {
            Query q(FConn, last ? "SELECT pos FROM rec ORDER BY pos DESC LIMIT 1" : "SELECT pos FROM rec ORDER BY pos LIMIT 1");
            if (!q.Step()) return std::nullopt;
            return BigEndian(static_cast<uint64_t>(q.Int(0)));
        }
        Query q(FConn, "SELECT kv FROM " + KeyTable(static_cast<size_t>(path)) + (last ? " ORDER BY kv DESC LIMIT 1" : " ORDER BY kv LIMIT 1"));
        if (!q.Step()) return std::nullopt;
        return q.Blob(0);
    }

    void Begin(bool transaction) override {
        FConn.Begin();
        FTransaction = transaction;
    }
    void Commit() override {
        if (FDelta) KeepCount();
        FConn.Run("COMMIT");
        FDelta = 0;
        FTransaction = false;
        FNextPos = 0;
    }
    void Rollback() noexcept override {
        if (sqlite3_get_autocommit(FConn.Db()) == 0) sqlite3_exec(FConn.Db(), "ROLLBACK", nullptr, nullptr, nullptr);
        FDelta = 0;
        FTransaction = false;
        FNextPos = 0;
    }

    bool Taken(int k, const std::string& kv, uint32_t self) override {
        if (FDuplicates[static_cast<size_t>(k)]) return false;
        Query q(FSql->taken[static_cast<size_t>(k)]);
        q.Bind(1, kv);
        return q.Step() && static_cast<uint32_t>(q.Int(0)) != self;
    }

    bool Insert(const std::string& data, const std::vector<std::optional<std::string>>& kvs, Row& row) override {
        row.seqs.assign(FKeys, 0);
        for (size_t k = 0; k < FKeys; ++k)
            if (kvs[k]) row.seqs[k] = NextSeq(k, *kvs[k]);
        // The entries go first, at the position the record will get: a unique
        // key that refuses the value (its primary key) takes back the entries
        // already made, and nothing is written.
        row.pos = NextPosition();
        for (size_t k = 0; k < FKeys; ++k) {
            if (!kvs[k]) continue;
            try {
                AddEntry(k, *kvs[k], row.seqs[k], row.pos);
            } catch (const StoreError& e) {
                if (e.status != 5) throw;
                for (size_t j = 0; j < k; ++j)
                    if (kvs[j]) RemoveEntry(j, *kvs[j], row.seqs[j]);
                return false;
            }
        }
        Query q(FSql->insertRecord);
        q.Bind(1, int64_t{row.pos}).Bind(2, data);
        for (size_t k = 0; k < FKeys; ++k) q.Bind(3 + static_cast<int>(k), row.seqs[k]);
        q.Run();
        ++FDelta;
        row.version = 1;
        return true;
    }

    Outcome Replace(uint32_t pos, int64_t version, const std::string& data, const std::vector<KeyMove>& moves,
                    Row& row) override {
        auto old = Read(pos);
        if (!old) return Outcome::Gone;
        if (old->version != version) return Outcome::Changed;
        row.seqs = old->seqs;
        Query(FConn, "UPDATE rec SET ver=ver+1, data=? WHERE pos=?").Bind(1, data).Bind(2, int64_t{pos}).Run();
        for (const KeyMove& m : moves) {
            const auto k = static_cast<size_t>(m.k);
            if (m.before) RemoveEntry(k, *m.before, old->seqs[k]);
            if (!m.after) continue;
            const int64_t seq = NextSeq(k, *m.after);
            if (seq != old->seqs[k])
                Query(FSql->setSeq[k]).Bind(1, seq).Bind(2, int64_t{pos}).Run();
            row.seqs[k] = seq;
            AddEntry(k, *m.after, seq, pos);
        }
        row.version = version + 1;
        return Outcome::Done;
    }

    Outcome Remove(uint32_t pos, int64_t version, const std::vector<std::optional<std::string>>& kvs) override {
        auto old = Read(pos);
        if (!old) return Outcome::Gone;
        if (old->version != version) return Outcome::Changed;
        Query(FConn, "DELETE FROM rec WHERE pos=?").Bind(1, int64_t{pos}).Run();
        --FDelta;
        for (size_t k = 0; k < FKeys; ++k)
            if (kvs[k]) RemoveEntry(k, *kvs[k], old->seqs[k]);
        return Outcome::Done;
    }

    void SetOwner(const std::string& owner, int64_t mode) override {
        Query(FConn, "UPDATE spec SET owner=?, ownermode=? WHERE id=1").Bind(1, owner).Bind(2, mode).Run();
    }

private:
    uint32_t Walked() {
        Query q(FConn, "SELECT count(*) FROM rec");
        return q.Step() ? static_cast<uint32_t>(q.Int(0)) : 0;
    }

    // Adds the change's records to the counter, when the file has one of
    // our shape (an older file has none until a stat adds it, which no
    // change can do while this one holds the file; a damaged one is put
    // right by the next stat of a writer, and a change never fails for it).
    void KeepCount() {
        {
            Query has(FConn, "SELECT 1 FROM sqlite_master WHERE name='reccount' AND type='table' AND sql=?1");
            has.Text(1, kCounter);
            if (!has.Step()) return;
        }
        Query(FConn, "UPDATE reccount SET n=n+? WHERE id=1").Bind(1, FDelta).Run();
    }

    // The counter's count, with `delta` records of the change under way,
    // when the counter is sound.
    std::optional<uint32_t> Counted(int64_t delta) {
        {
            Query schema(FConn, "SELECT count(*), total(name='reccount' AND sql=?1 OR name='reccount_insert' AND sql=?2 "
                                "OR name='reccount_delete' AND sql=?3) FROM sqlite_master "
                                "WHERE name='reccount' OR type='trigger'");
            schema.Text(1, kCounter).Text(2, kCountUp).Text(3, kCountDown);
            if (!schema.Step() || schema.Int(0) != 3 || schema.Int(1) != 3) return std::nullopt;
        }
        // Positions are distinct and positive: no more records than the
        // largest, none exactly when there is none.
        Query q(FConn, "SELECT n, (SELECT max(pos) FROM rec) FROM reccount WHERE id=1");
        if (!q.Step()) return std::nullopt;
        const int64_t n = q.Int(0) + delta, top = q.Int(1);
        if (n < 0 || n > top || (n == 0) != (top == 0)) return std::nullopt;
        return static_cast<uint32_t>(n);
    }

    // Adds the counter (or puts a damaged one right) in a change of its own,
    // which moves no record: nullopt, and nothing written, when the file
    // cannot be changed now (a reader that sees it as it stands, another
    // client's transaction, a read-only medium).
    std::optional<uint32_t> AddCounter() {
        if (!FLocks.BeginWrite(false)) return std::nullopt;
        std::optional<uint32_t> n;
        try {
            FConn.Begin();
            try {
                n = Counted(0); // another process may have added it meanwhile
                if (!n) {
                    MakeCounter(FConn);
                    n = Walked();
                }
                FConn.Run("COMMIT");
            } catch (...) {
                sqlite3_exec(FConn.Db(), "ROLLBACK", nullptr, nullptr, nullptr);
                throw;
            }
        } catch (const StoreError&) {
            n.reset();
        } catch (...) {
            FLocks.EndWrite();
            throw;
        }
        FLocks.EndWrite();
        return n;
    }

    // The sequence a new entry of `kv` gets: duplicates go after every entry
    // of the same value, so they keep the order they were written in; a
    // unique key's one entry has sequence 0.
    int64_t NextSeq(size_t k, const std::string& kv) {
        if (!FDuplicates[k]) return 0;
        Query q(FSql->nextSeq[k]);
        q.Bind(1, kv);
        return q.Step() ? q.Int(0) + 1 : 1;
    }

    // One past the largest position in the file, read inside the change
    // (which holds the file's write lock, in every process), passing over
    // positions a lock still stands on (that of a record deleted meanwhile,
    // a multiple-record lock kept after a delete): a new record never starts
    // out locked. Within a transaction, which keeps the write lock, the next
    // ones follow on while no lock stood anywhere past the first.
    uint32_t NextPosition() {
        if (FTransaction && FNextPos) return FNextPos++;
        Query q(FConn, "SELECT max(pos) FROM rec");
        int64_t pos = (q.Step() ? q.Int(0) : 0) + 1;
        while (pos < int64_t{UINT32_MAX} && !FLocks.Free(static_cast<uint32_t>(pos))) ++pos;
        if (pos <= 0 || pos >= int64_t{UINT32_MAX} - 1) throw StoreError{18}; // positions are 4 bytes: the file is full
        if (FTransaction && FLocks.FreeFrom(static_cast<uint32_t>(pos) + 1)) FNextPos = static_cast<uint32_t>(pos) + 1;
        return static_cast<uint32_t>(pos);
    }

    void AddEntry(size_t k, const std::string& kv, int64_t seq, uint32_t pos) {
        Query(FSql->addEntry[k]).Bind(1, kv).Bind(2, seq).Bind(3, int64_t{pos}).Run();
    }
    void RemoveEntry(size_t k, const std::string& kv, int64_t seq) {
        Query(FSql->removeEntry[k]).Bind(1, kv).Bind(2, seq).Run();
    }

    Conn FConn;
    LockSession& FLocks;
    Access FAccess;
    bool FCounterTried = false; // this connection tried to add the counter
    int64_t FDelta = 0;          // records the change under way inserted less those it deleted
    std::unique_ptr<FileStmts> FSql;
    size_t FKeys = 0;
    std::vector<bool> FDuplicates;
    bool FTransaction = false;
    uint32_t FNextPos = 0; // the transaction's next record position, once known
};

} // namespace

std::unique_ptr<Store> LocalStore(const std::string& home, Access access, LockSession& locks) {
    return std::make_unique<SqliteStore>(home, access, locks);
}

int64_t LocalDatabaseBytes(Store& store) {
    Conn& c = static_cast<SqliteStore&>(store).Connection();
    auto pragma = [&c](const char* sql) {
        Query q(c, sql);
        return q.Step() ? q.Int(0) : 0;
    };
    return pragma("PRAGMA page_size") * pragma("PRAGMA page_count");
}

void BuildLocalFile(const std::string& path, const Spec& spec) {
    Conn conn(path, Access::ReadWrite, true);
    conn.Exec("PRAGMA journal_mode=WAL");
    conn.Exec("BEGIN");
    conn.Exec("CREATE TABLE spec(id INTEGER PRIMARY KEY, bytes BLOB NOT NULL, owner BLOB NOT NULL, "
              "ownermode INTEGER NOT NULL)");
    // Beside each record, the sequence of its entry on every key: a record
    // finds its own entries without an index on position.
    std::string rec = "CREATE TABLE rec(pos INTEGER PRIMARY KEY, ver INTEGER NOT NULL, data BLOB NOT NULL";
    for (size_t k = 0; k < spec.keys.size(); ++k) rec += ", s" + std::to_string(k) + " INTEGER NOT NULL";
    conn.Exec((rec + ")").c_str());
    for (size_t k = 0; k < spec.keys.size(); ++k)
        conn.Exec(("CREATE TABLE " + KeyTable(k) + "(kv BLOB NOT NULL, seq INTEGER NOT NULL, pos INTEGER NOT NULL, " +
                   "PRIMARY KEY(kv, seq)) WITHOUT ROWID").c_str());
    MakeCounter(conn);
    const std::vector<uint8_t> bytes = spec.Serialize();
    Query(conn, "INSERT INTO spec VALUES(1, ?, ?, 0)").Bind(1, bytes.data(), bytes.size()).Bind(2, std::string()).Run();
    conn.Exec("COMMIT");
    conn.Exec("PRAGMA wal_checkpoint(TRUNCATE)"); // everything in the file itself before it moves
}

void CheckpointLocal(const std::string& path) {
    Conn conn(path);
    conn.Exec("PRAGMA wal_checkpoint(TRUNCATE)");
}

} // namespace btr::engine
