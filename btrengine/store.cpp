#include "btrengine/store.h"

#include <cstdio>
#include <cstring>
#include <thread>

namespace btr::engine {

namespace {

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
void Put16(std::vector<uint8_t>& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

} // namespace

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

// Stored form: the create buffer's header and segments, then the
// collating sequence when there is one.
std::vector<uint8_t> Spec::Serialize() const {
    std::vector<uint8_t> b;
    Put16(b, recordLen);
    Put16(b, pageSize);
    Put16(b, static_cast<uint16_t>(keys.size()));
    b.insert(b.end(), 4, 0);
    Put16(b, fileFlags);
    b.push_back(dupPointers);
    b.push_back(0);
    Put16(b, freePages);
    for (const Segment& s : segments) {
        Put16(b, s.pos);
        Put16(b, s.len);
        Put16(b, s.flags);
        b.insert(b.end(), 4, 0);
        b.push_back(s.type);
        b.push_back(s.nullValue);
        b.insert(b.end(), 4, 0);
    }
    b.insert(b.end(), acs.begin(), acs.end());
    return b;
}

bool Spec::Parse(const uint8_t* p, size_t n, Spec& out) {
    if (n < 16) return false;
    out = Spec{};
    out.recordLen = Get16(p);
    out.pageSize = Get16(p + 2);
    const uint16_t nkeys = Get16(p + 4);
    out.fileFlags = Get16(p + 10);
    out.dupPointers = p[12];
    out.freePages = Get16(p + 14);
    size_t at = 16;
    for (uint16_t k = 0; k < nkeys; ++k) {
        Key key;
        for (;;) {
            if (at + 16 > n || out.segments.size() >= 119) return false;
            Segment s{Get16(p + at), Get16(p + at + 2), Get16(p + at + 4), p[at + 10], p[at + 11]};
            at += 16;
            out.segments.push_back(s);
            key.segments.push_back(s);
            if (!(s.flags & kfSegmented)) break;
        }
        out.keys.push_back(std::move(key));
    }
    if (n >= at + 265 && p[at] == 0xAC) out.acs.assign(p + at, p + at + 265);
    return true;
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

void Conn::KeepLog() {
    bool wal;
    {
        Query q(*this, "PRAGMA journal_mode");
        wal = q.Step() && q.Blob(0) == "wal";
    }
    if (!wal) Exec("PRAGMA journal_mode=WAL");
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

} // namespace btr::engine
