// The embedded engine against plain SQLite doing the same work on the same
// data: 100-byte records with an integer and a 20-byte string key. SQLite
// keeps the record bytes in a table with an index per key, with the pragmas
// the engine uses (WAL, synchronous=NORMAL, memory-mapped reads).
//
//   engine_bench [--quick | --large] [--runs R] [--baseline LIB] [N...]
//                                  default: 100000 1000000, one run;
//                                  --large: 100000 1000000 10000000
//   engine_bench --server postgresql://USER@HOST:PORT/DATABASE [--runs R] [N...]
//                                  the server store against the same
//                                  statements by hand through libpq (default
//                                  100000 records), and a record lock handed
//                                  over between two processes
//
// A last table shows how each rate's ratio and the size of the file grow
// with the record count. A local file is also opened, asked its record count
// (stat) and closed again, against SQLite opening the database and counting
// the table: what a program showing the file does first.
// With several runs the engine and SQLite take turns and each line keeps the
// best rate of each: the machine is shared, and a busy moment should not
// decide a ratio. --baseline loads another build of the engine (an earlier
// libwbtrv32.so) and runs it in the same turns, for its ratios beside
// today's. Last, two processes update disjoint records of one file at once.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "tests/btrengine/entry.h"

namespace {

constexpr int kRecLen = 100;

double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// Resident memory that is not a mapping of a file: the process's own
// (mapped database pages are the OS cache, shared and reclaimable).
long RssKb() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0, shared = 0;
    statm >> size >> resident >> shared;
    return (resident - shared) * (sysconf(_SC_PAGESIZE) / 1024);
}

// Record i: a key taken from a permutation of 0..n-1, its name, filler.
int32_t KeyOf(int i, int n) { return static_cast<int32_t>((static_cast<uint64_t>(i) * 7919u) % static_cast<uint64_t>(n)); }
void Fill(uint8_t* rec, int32_t key) {
    std::memset(rec, 'x', kRecLen);
    std::memcpy(rec, &key, 4);
    char name[24];
    std::snprintf(name, sizeof name, "name%016d", key);
    std::memcpy(rec + 4, name, 20);
}

// An engine's call entry: the one linked in, or one loaded from a library.
using EntryFn = int16_t (*)(uint16_t, void*, void*, int32_t*, void*, uint8_t, uint8_t);
EntryFn BTR = &BTRCALL;

struct Result {
    double insert, scan0, scan1, equal, update;
    double stat; // open, record count, close (local files)
    long rssBeforeScan, rssAfterScan;
    long long fileBytes; // the file and its log once closed
};

long long FileBytes(const std::string& path) {
    long long total = 0;
    for (const char* suffix : {"", "-wal"}) {
        std::ifstream f(path + suffix, std::ios::binary | std::ios::ate);
        if (f) total += static_cast<long long>(f.tellg());
    }
    return total;
}

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "engine_bench: %s failed\n", what);
        std::exit(1);
    }
}

// Creates the benchmark's file (integer key 0, string key 1) and opens it.
void CreateAndOpen(const std::string& path, uint8_t* pos) {
    uint8_t spec[48] = {};
    auto put16 = [](uint8_t* p, uint16_t v) {
        p[0] = static_cast<uint8_t>(v);
        p[1] = static_cast<uint8_t>(v >> 8);
    };
    put16(spec, kRecLen);
    put16(spec + 2, 4096);
    put16(spec + 4, 2);
    put16(spec + 16, 1), put16(spec + 18, 4), put16(spec + 20, 0x0100), spec[26] = 1;              // integer
    put16(spec + 32, 5), put16(spec + 34, 20), put16(spec + 36, 0x0002);                           // string
    std::string name = path;
    int32_t len = sizeof spec;
    Check(BTR(14, nullptr, spec, &len, name.data(), 255, 0) == 0, "create");
    len = 0;
    Check(BTR(0, pos, nullptr, &len, name.data(), 255, 0) == 0, "open");
}

// Get-equal and update of `count` random records among those whose key is
// `part` modulo `parts`, each committed.
void UpdateSome(uint8_t* pos, int n, int count, int part, int parts, uint32_t seed) {
    std::mt19937 rng(seed);
    uint8_t rec[kRecLen], key[255];
    for (int i = 0; i < count; ++i) {
        const int32_t v = static_cast<int32_t>(rng() % static_cast<unsigned>(n / parts)) * parts + part;
        std::memcpy(key, &v, 4);
        int32_t len = kRecLen;
        Check(BTR(5, pos, rec, &len, key, 255, 0) == 0, "get equal");
        rec[60]++;
        len = kRecLen;
        Check(BTR(3, pos, rec, &len, key, 255, 0) == 0, "update");
    }
}

// Inserts the n records in one transaction, in the order KeyOf gives.
void InsertAll(uint8_t* pos, int n) {
    uint8_t rec[kRecLen], key[255];
    int32_t len = 0;
    Check(BTR(19, nullptr, nullptr, &len, nullptr, 0, 0) == 0, "begin");
    for (int i = 0; i < n; ++i) {
        Fill(rec, KeyOf(i, n));
        len = kRecLen;
        Check(BTR(2, pos, rec, &len, key, 255, 0) == 0, "insert");
    }
    Check(BTR(20, nullptr, nullptr, &len, nullptr, 0, 0) == 0, "end");
}

Result RunEngine(const std::string& path, int n, int lookups, int updates) {
    uint8_t pos[128] = {}, rec[kRecLen], key[255];
    CreateAndOpen(path, pos);
    int32_t len = 0;
    Result r{};

    double t = Now();
    InsertAll(pos, n);
    r.insert = n / (Now() - t);

    r.rssBeforeScan = RssKb();
    for (int k = 0; k < 2; ++k) {
        t = Now();
        int seen = 0;
        for (int16_t st = BTR(12, pos, rec, &(len = kRecLen), key, 255, static_cast<uint8_t>(k)); st == 0;
             st = BTR(6, pos, rec, &(len = kRecLen), key, 255, static_cast<uint8_t>(k)))
            ++seen;
        Check(seen == n, "scan");
        (k ? r.scan1 : r.scan0) = n / (Now() - t);
    }
    r.rssAfterScan = RssKb();

    std::mt19937 rng(1);
    t = Now();
    for (int i = 0; i < lookups; ++i) {
        const int32_t v = static_cast<int32_t>(rng() % static_cast<unsigned>(n));
        std::memcpy(key, &v, 4);
        len = kRecLen;
        Check(BTR(5, pos, rec, &len, key, 255, 0) == 0, "get equal");
    }
    r.equal = lookups / (Now() - t);

    t = Now();
    for (int i = 0; i < updates; ++i) {
        const int32_t v = static_cast<int32_t>(rng() % static_cast<unsigned>(n));
        std::memcpy(key, &v, 4);
        len = kRecLen;
        Check(BTR(5, pos, rec, &len, key, 255, 0) == 0, "get equal");
        rec[60]++;
        len = kRecLen;
        Check(BTR(3, pos, rec, &len, key, 255, 0) == 0, "update");
    }
    r.update = updates / (Now() - t);
    BTR(1, pos, nullptr, &len, nullptr, 0, 0);
    r.fileBytes = FileBytes(path);
    if (path.find("://") == std::string::npos) {
        // What a program showing the file does first: open it and ask how many records it has.
        constexpr int kOpens = 50;
        std::string name = path;
        t = Now();
        for (int i = 0; i < kOpens; ++i) {
            uint8_t stat[512];
            Check(BTR(0, pos, nullptr, &(len = 0), name.data(), 255, 0) == 0, "open");
            Check(BTR(15, pos, stat, &(len = sizeof stat), key, 255, 0) == 0, "stat");
            Check(BTR(1, pos, nullptr, &len, nullptr, 0, 0) == 0, "close");
            Check(static_cast<int>(stat[6] | stat[7] << 8 | stat[8] << 16 | stat[9] << 24) == n, "the record count");
        }
        r.stat = kOpens / (Now() - t);
    }
    return r;
}

void Exec(sqlite3* db, const char* sql) { Check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK, sql); }

sqlite3_stmt* Prepare(sqlite3* db, const char* sql) {
    sqlite3_stmt* st = nullptr;
    Check(sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK, sql);
    return st;
}

Result RunSqlite(const std::string& path, int n, int lookups, int updates) {
    sqlite3* db = nullptr;
    Check(sqlite3_open(path.c_str(), &db) == SQLITE_OK, "sqlite open");
    Exec(db, "PRAGMA journal_mode=WAL");
    Exec(db, "PRAGMA synchronous=NORMAL");
    Exec(db, "PRAGMA temp_store=MEMORY");
    Exec(db, "PRAGMA mmap_size=1073741824");
    Exec(db, "PRAGMA cache_size=-16384");
    Exec(db, "CREATE TABLE r(pos INTEGER PRIMARY KEY, k0 INTEGER NOT NULL, k1 BLOB NOT NULL, data BLOB NOT NULL)");
    Exec(db, "CREATE UNIQUE INDEX r0 ON r(k0)");
    Exec(db, "CREATE INDEX r1 ON r(k1)");
    sqlite3_stmt* ins = Prepare(db, "INSERT INTO r(k0, k1, data) VALUES(?, ?, ?)");
    sqlite3_stmt* scan0 = Prepare(db, "SELECT data FROM r ORDER BY k0");
    sqlite3_stmt* scan1 = Prepare(db, "SELECT data FROM r ORDER BY k1");
    sqlite3_stmt* eq = Prepare(db, "SELECT pos, data FROM r WHERE k0=?");
    sqlite3_stmt* up = Prepare(db, "UPDATE r SET data=? WHERE pos=?");
    uint8_t rec[kRecLen];
    Result r{};

    double t = Now();
    Exec(db, "BEGIN");
    for (int i = 0; i < n; ++i) {
        const int32_t k = KeyOf(i, n);
        Fill(rec, k);
        sqlite3_bind_int(ins, 1, k);
        sqlite3_bind_blob(ins, 2, rec + 4, 20, SQLITE_STATIC);
        sqlite3_bind_blob(ins, 3, rec, kRecLen, SQLITE_STATIC);
        Check(sqlite3_step(ins) == SQLITE_DONE, "sqlite insert");
        sqlite3_reset(ins);
    }
    Exec(db, "COMMIT");
    r.insert = n / (Now() - t);

    r.rssBeforeScan = RssKb();
    for (sqlite3_stmt* scan : {scan0, scan1}) {
        t = Now();
        int seen = 0;
        while (sqlite3_step(scan) == SQLITE_ROW) {
            std::memcpy(rec, sqlite3_column_blob(scan, 0), kRecLen);
            ++seen;
        }
        sqlite3_reset(scan);
        Check(seen == n, "sqlite scan");
        (scan == scan0 ? r.scan0 : r.scan1) = n / (Now() - t);
    }
    r.rssAfterScan = RssKb();

    std::mt19937 rng(1);
    t = Now();
    for (int i = 0; i < lookups; ++i) {
        sqlite3_bind_int(eq, 1, static_cast<int>(rng() % static_cast<unsigned>(n)));
        Check(sqlite3_step(eq) == SQLITE_ROW, "sqlite lookup");
        std::memcpy(rec, sqlite3_column_blob(eq, 1), kRecLen);
        sqlite3_reset(eq);
    }
    r.equal = lookups / (Now() - t);

    t = Now();
    for (int i = 0; i < updates; ++i) {
        sqlite3_bind_int(eq, 1, static_cast<int>(rng() % static_cast<unsigned>(n)));
        Check(sqlite3_step(eq) == SQLITE_ROW, "sqlite lookup");
        const sqlite3_int64 p = sqlite3_column_int64(eq, 0);
        std::memcpy(rec, sqlite3_column_blob(eq, 1), kRecLen);
        sqlite3_reset(eq);
        rec[60]++;
        sqlite3_bind_blob(up, 1, rec, kRecLen, SQLITE_STATIC);
        sqlite3_bind_int64(up, 2, p);
        Check(sqlite3_step(up) == SQLITE_DONE, "sqlite update");
        sqlite3_reset(up);
    }
    r.update = updates / (Now() - t);
    for (sqlite3_stmt* st : {ins, scan0, scan1, eq, up}) sqlite3_finalize(st);
    sqlite3_close(db);
    r.fileBytes = FileBytes(path);
    constexpr int kOpens = 50;
    t = Now();
    for (int i = 0; i < kOpens; ++i) {
        Check(sqlite3_open(path.c_str(), &db) == SQLITE_OK, "sqlite open");
        sqlite3_stmt* count = Prepare(db, "SELECT count(*) FROM r");
        Check(sqlite3_step(count) == SQLITE_ROW && sqlite3_column_int(count, 0) == n, "sqlite count");
        sqlite3_finalize(count);
        sqlite3_close(db);
    }
    r.stat = kOpens / (Now() - t);
    return r;
}

// Keeps the better rate of each line; memory is the last run's.
void Best(Result& best, const Result& r) {
    for (auto field : {&Result::insert, &Result::scan0, &Result::scan1, &Result::equal, &Result::update, &Result::stat})
        best.*field = std::max(best.*field, r.*field);
    best.rssBeforeScan = r.rssBeforeScan;
    best.rssAfterScan = r.rssAfterScan;
    best.fileBytes = r.fileBytes;
}

void Remove(const std::string& base) {
    for (const char* suffix : {".btr", ".btr-wal", ".btr-shm", ".btr.lck", ".db", ".db-wal", ".db-shm"})
        std::remove((base + suffix).c_str());
}

void Line(const char* what, double engine, double sqlite, double baseline) {
    std::printf("| %-34s | %12.0f | %12.0f | %5.2f |", what, engine, sqlite, engine / sqlite);
    if (baseline > 0) std::printf(" %12.0f | %5.2f |", baseline, baseline / sqlite);
    std::printf("\n");
}

// One process alone, then two at once, each making `count` get-equal +
// update (each committed) of its own records of one file: even keys for the
// first, odd for the second.
void TwoProcesses(const std::string& dir, int n, int count) {
    const std::string path = dir + "/two.btr";
    uint8_t pos[128] = {};
    int32_t len = 0;
    CreateAndOpen(path, pos);
    InsertAll(pos, n);
    double t = Now();
    UpdateSome(pos, n, count, 0, 2, 7);
    const double alone = count / (Now() - t);
    Check(BTR(1, pos, nullptr, &len, nullptr, 0, 0) == 0, "close");

    // The children start together on a byte from the parent and send back
    // when they started and ended (the monotonic clock is the machine's).
    int go[2], back[2];
    Check(pipe(go) == 0 && pipe(back) == 0, "pipe");
    pid_t kids[2];
    for (int part = 0; part < 2; ++part) {
        kids[part] = fork();
        Check(kids[part] >= 0, "fork");
        if (kids[part] == 0) {
            char byte;
            uint8_t mine[128] = {};
            std::string name = path;
            int32_t l = 0;
            if (BTR(0, mine, nullptr, &l, name.data(), 255, 0) != 0 || read(go[0], &byte, 1) != 1) _exit(1);
            const double times[2] = {Now(), (UpdateSome(mine, n, count, part, 2, 11u + static_cast<unsigned>(part)), Now())};
            BTR(1, mine, nullptr, &l, nullptr, 0, 0);
            _exit(write(back[1], times, sizeof times) == sizeof times ? 0 : 1);
        }
    }
    Check(write(go[1], "gg", 2) == 2, "start");
    double times[2][2];
    for (auto& tt : times) Check(read(back[0], tt, sizeof tt) == sizeof tt, "a child's times");
    for (pid_t kid : kids) {
        int status = 0;
        waitpid(kid, &status, 0);
        Check(WIFEXITED(status) && WEXITSTATUS(status) == 0, "a child");
    }
    for (int fd : {go[0], go[1], back[0], back[1]}) close(fd);
    const double together = 2 * count / (std::max(times[0][1], times[1][1]) - std::min(times[0][0], times[1][0]));
    std::printf("\n%d records; get-equal + update, each committed, operations per second\n\n", n);
    std::printf("| %-34s | %12s | %12s | %12s |\n|---|---:|---:|---:|\n", "processes", "first", "second", "together");
    std::printf("| %-34s | %12.0f | %12s | %12.0f |\n", "one alone", alone, "", alone);
    std::printf("| %-34s | %12.0f | %12.0f | %12.0f |\n", "two at once, disjoint records", count / (times[0][1] - times[0][0]),
                count / (times[1][1] - times[1][0]), together);
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
}

// ---- the server store ------------------------------------------------------------------
//
// The same work against a file on a PostgreSQL server, next to the same
// statements written by hand through libpq on the same server: a table of
// the record bytes with a unique index per key (both keys of the file are
// unique: a second name answers 5), binary parameters, prepared statements.
// A get-next by hand is what an application that reads one record at a time
// must send: the next row past the last one, one round trip. An update by
// hand checks the version it read, as the engine's does (another client's
// change in between answers 80, it is not overwritten).

// Parameters in binary form, as libpq takes them.
struct BinaryParams {
    std::vector<const char*> values;
    std::vector<int> lengths, formats;
    explicit BinaryParams(std::initializer_list<std::pair<const void*, int>> params) {
        for (auto [p, n] : params) {
            values.push_back(static_cast<const char*>(p));
            lengths.push_back(n);
            formats.push_back(1);
        }
    }
    int Count() const { return static_cast<int>(values.size()); }
};

PGresult* Pq(PGconn* c, const char* sql, std::initializer_list<std::pair<const void*, int>> params = {}, bool rows = false) {
    const BinaryParams b(params);
    PGresult* r = PQexecParams(c, sql, b.Count(), nullptr, b.values.data(), b.lengths.data(), b.formats.data(), 1);
    const ExecStatusType st = PQresultStatus(r);
    if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) std::fprintf(stderr, "engine_bench: %s", PQerrorMessage(c));
    Check(st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK, sql);
    Check(!rows || PQntuples(r) > 0, sql);
    return r;
}

// Prepared once; run with binary parameters and results.
struct Prepared {
    PGconn* c;
    std::string name;
    Prepared(PGconn* conn, const char* n, const char* sql) : c(conn), name(n) {
        PGresult* r = PQprepare(c, n, sql, 0, nullptr);
        Check(PQresultStatus(r) == PGRES_COMMAND_OK, sql);
        PQclear(r);
    }
    PGresult* Run(std::initializer_list<std::pair<const void*, int>> params) const {
        const BinaryParams b(params);
        PGresult* r = PQexecPrepared(c, name.c_str(), b.Count(), b.values.data(), b.lengths.data(), b.formats.data(), 1);
        const ExecStatusType st = PQresultStatus(r);
        Check(st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK, name.c_str());
        return r;
    }
};

uint32_t Be32(int32_t v) { return htonl(static_cast<uint32_t>(v)); }

Result RunLibpq(const std::string& uri, int n, int lookups, int updates) {
    PGconn* c = PQconnectdb(uri.c_str());
    Check(PQstatus(c) == CONNECTION_OK, "connecting to the server");
    PQclear(Pq(c, "DROP TABLE IF EXISTS bench_by_hand"));
    PQclear(Pq(c, "CREATE TABLE bench_by_hand(pos bigserial PRIMARY KEY, ver bigint NOT NULL DEFAULT 1, k0 integer NOT NULL, "
                  "k1 bytea NOT NULL, data bytea NOT NULL)"));
    PQclear(Pq(c, "CREATE UNIQUE INDEX ON bench_by_hand(k0)"));
    PQclear(Pq(c, "CREATE UNIQUE INDEX ON bench_by_hand(k1)"));
    // As an application that must keep its transaction when a key is taken
    // would write it, and that wants the new row's identity back.
    const Prepared ins(c, "ins", "INSERT INTO bench_by_hand(k0, k1, data) VALUES($1, $2, $3) ON CONFLICT DO NOTHING RETURNING pos");
    const Prepared first0(c, "first0", "SELECT k0, data FROM bench_by_hand ORDER BY k0 LIMIT 1");
    const Prepared next0(c, "next0", "SELECT k0, data FROM bench_by_hand WHERE k0>$1 ORDER BY k0 LIMIT 1");
    const Prepared first1(c, "first1", "SELECT k1, data FROM bench_by_hand ORDER BY k1 LIMIT 1");
    const Prepared next1(c, "next1", "SELECT k1, data FROM bench_by_hand WHERE k1>$1 ORDER BY k1 LIMIT 1");
    const Prepared eq(c, "eq", "SELECT pos, data, ver FROM bench_by_hand WHERE k0=$1");
    const Prepared up(c, "up", "UPDATE bench_by_hand SET data=$1, ver=ver+1 WHERE pos=$2 AND ver=$3 RETURNING ver");
    uint8_t rec[kRecLen];
    Result r{};

    double t = Now();
    PQclear(Pq(c, "BEGIN"));
    for (int i = 0; i < n; ++i) {
        const int32_t k = KeyOf(i, n);
        Fill(rec, k);
        const uint32_t k0 = Be32(k);
        PQclear(ins.Run({{&k0, 4}, {rec + 4, 20}, {rec, kRecLen}}));
    }
    PQclear(Pq(c, "COMMIT"));
    r.insert = n / (Now() - t);

    t = Now();
    int seen = 0;
    PGresult* row = first0.Run({});
    for (; PQntuples(row) > 0; ++seen) {
        std::memcpy(rec, PQgetvalue(row, 0, 1), kRecLen);
        uint32_t k0;
        std::memcpy(&k0, PQgetvalue(row, 0, 0), 4);
        PQclear(row);
        row = next0.Run({{&k0, 4}});
    }
    PQclear(row);
    Check(seen == n, "scan by hand");
    r.scan0 = n / (Now() - t);
    t = Now();
    seen = 0;
    for (row = first1.Run({}); PQntuples(row) > 0; ++seen) {
        std::memcpy(rec, PQgetvalue(row, 0, 1), kRecLen);
        const std::string k1(PQgetvalue(row, 0, 0), static_cast<size_t>(PQgetlength(row, 0, 0)));
        PQclear(row);
        row = next1.Run({{k1.data(), static_cast<int>(k1.size())}});
    }
    PQclear(row);
    Check(seen == n, "scan by hand");
    r.scan1 = n / (Now() - t);

    std::mt19937 rng(1);
    t = Now();
    for (int i = 0; i < lookups; ++i) {
        const uint32_t k0 = Be32(static_cast<int32_t>(rng() % static_cast<unsigned>(n)));
        row = eq.Run({{&k0, 4}});
        Check(PQntuples(row) == 1, "lookup by hand");
        std::memcpy(rec, PQgetvalue(row, 0, 1), kRecLen);
        PQclear(row);
    }
    r.equal = lookups / (Now() - t);
    t = Now();
    for (int i = 0; i < updates; ++i) {
        const uint32_t k0 = Be32(static_cast<int32_t>(rng() % static_cast<unsigned>(n)));
        row = eq.Run({{&k0, 4}});
        Check(PQntuples(row) == 1, "lookup by hand");
        std::memcpy(rec, PQgetvalue(row, 0, 1), kRecLen);
        uint64_t p, ver;
        std::memcpy(&p, PQgetvalue(row, 0, 0), 8);
        std::memcpy(&ver, PQgetvalue(row, 0, 2), 8);
        PQclear(row);
        rec[60]++;
        row = up.Run({{rec, kRecLen}, {&p, 8}, {&ver, 8}});
        Check(PQntuples(row) == 1, "update by hand");
        PQclear(row);
    }
    r.update = updates / (Now() - t);
    PQclear(Pq(c, "DROP TABLE bench_by_hand"));
    PQfinish(c);
    return r;
}

void LatencyLine(const char* what, double engine, double byHand) {
    std::printf("| %-34s | %10.1f | %10.1f | %5.2f |\n", what, 1e6 / engine, 1e6 / byHand, engine / byHand);
}

// Two processes, each its own client with its own connection, hand one
// record's lock to each other `turns` times. Told by a byte on a pipe that
// the other let go, a side takes the lock with the no-wait bias (it must
// get it) and lets go again: a hand-over is one lock and one unlock at the
// server, and the byte. With the wait bias instead, the side asks for the
// lock while the other still holds it and waits; the other lets go as it
// sends the byte.
void LockHandOver(const std::string& path, int turns) {
    std::printf("\nrecord lock handed over between two processes (each its own connection), %d turns\n\n", turns);
    std::printf("| %-42s | %12s |\n|---|---:|\n", "how the next holder asks", "us per turn");
    for (const bool waiting : {false, true}) {
        int toChild[2], toParent[2];
        Check(pipe(toChild) == 0 && pipe(toParent) == 0, "pipe");
        const pid_t kid = fork();
        Check(kid >= 0, "fork");
        if (kid == 0) {
            close(toChild[1]);
            close(toParent[0]);
            uint8_t pos[128] = {}, rec[kRecLen], key[255];
            std::string name = path;
            int32_t len = 0;
            if (BTR(0, pos, nullptr, &len, name.data(), 255, 0) != 0) _exit(1);
            const int32_t id = 7;
            std::memcpy(key, &id, 4);
            char byte = 't';
            for (int i = 0; i < turns; ++i) {
                // Its turn comes when the parent let go (no-wait), or it asks at once and waits (wait).
                if (read(toChild[0], &byte, 1) != 1) _exit(2);
                len = kRecLen;
                if (const int st = BTR(static_cast<uint16_t>(waiting ? 105 : 205), pos, rec, &len, key, 255, 0); st != 0) {
                    std::fprintf(stderr, "engine_bench: the other side's lock answered %d\n", st);
                    _exit(3);
                }
                if (write(toParent[1], &byte, 1) != 1) _exit(4);
                if (read(toChild[0], &byte, 1) != 1) _exit(5); // the parent waits (or is told to take it)
                if (BTR(27, pos, rec, &(len = kRecLen), key, 255, 0) != 0) _exit(6);
                if (!waiting && write(toParent[1], &byte, 1) != 1) _exit(7);
            }
            BTR(1, pos, nullptr, &len, nullptr, 0, 0);
            _exit(0);
        }
        // Only the child writes to this side: a child that fails ends the
        // parent's reads (rather than leaving it waiting for good).
        close(toChild[0]);
        close(toParent[1]);
        uint8_t pos[128] = {}, rec[kRecLen], key[255];
        std::string name = path;
        int32_t len = 0;
        Check(BTR(0, pos, nullptr, &len, name.data(), 255, 0) == 0, "open");
        const int32_t id = 7;
        std::memcpy(key, &id, 4);
        char byte = 't';
        auto turn = [&](bool sending) {
            if (sending ? write(toChild[1], &byte, 1) == 1 : read(toParent[0], &byte, 1) == 1) return;
            int status = 0;
            waitpid(kid, &status, 0);
            std::fprintf(stderr, "engine_bench: the other side ended (exit %d) mid-turn\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
            std::exit(1);
        };
        // A lock call that answers anything but 0 ends the run, saying what it answered.
        auto locked = [&](uint16_t op, const char* what) {
            len = kRecLen;
            if (const int st = BTR(op, pos, rec, &len, key, 255, 0); st != 0) {
                std::fprintf(stderr, "engine_bench: %s answered %d\n", what, st);
                std::exit(1);
            }
        };
        locked(205, "first lock");
        const double t = Now();
        for (int i = 0; i < turns; ++i) {
            if (waiting) {
                // The child asks and waits; this side lets go once told it asks.
                turn(true);
                locked(27, "unlock");
                turn(false); // the child holds it
                turn(true);  // and lets go while this side waits
                locked(105, "waited lock");
            } else {
                locked(27, "unlock");
                turn(true);
                turn(false); // the child took it
                turn(true);  // let it go
                turn(false); // it did
                locked(205, "lock");
            }
        }
        const double each = (Now() - t) / (2.0 * turns);
        BTR(27, pos, rec, &(len = kRecLen), key, 255, 0);
        int status = 0;
        waitpid(kid, &status, 0);
        Check(WIFEXITED(status) && WEXITSTATUS(status) == 0, "the other side");
        BTR(1, pos, nullptr, &len, nullptr, 0, 0);
        for (int fd : {toChild[1], toParent[0]}) close(fd);
        std::printf("| %-42s | %12.1f |\n", waiting ? "waits (bias 100) while the other holds it" : "told it is free, takes it (bias 200)",
                    each * 1e6);
    }
}

void ServerBench(const std::string& uri, const std::vector<int>& sizes, int runs) {
    for (int n : sizes) {
        const int lookups = std::min(n, 20000), updates = std::min(n / 10, 5000);
        const std::string path = uri + "/bench_" + std::to_string(n);
        Result e{}, h{};
        for (int run = 0; run < runs; ++run) {
            Best(e, RunEngine(path, n, lookups, updates));
            Best(h, RunLibpq(uri, n, lookups, updates));
        }
        std::printf("\n%d records of %d bytes on %s: microseconds per record (or operation)\n\n", n, kRecLen, uri.c_str());
        std::printf("| %-34s | %10s | %10s | %5s |\n|---|---:|---:|---:|\n", "work", "engine", "by hand", "ratio");
        LatencyLine("insert, one transaction", e.insert, h.insert);
        LatencyLine("get-next scan, key 0 (integer)", e.scan0, h.scan0);
        LatencyLine("get-next scan, key 1 (string)", e.scan1, h.scan1);
        LatencyLine("get-equal, random keys", e.equal, h.equal);
        LatencyLine("get-equal + update, each committed", e.update, h.update);
        std::printf("\nratio: the engine's rate over the one by hand (1 = as fast)\n");
    }
    LockHandOver(uri + "/bench_" + std::to_string(sizes.front()), 500);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes;
    int runs = 1;
    EntryFn baseline = nullptr;
    std::string server;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--server") == 0 && i + 1 < argc) {
            server = argv[++i];
            continue;
        }
        if (std::strcmp(argv[i], "--quick") == 0) {
            sizes.push_back(10000);
        } else if (std::strcmp(argv[i], "--large") == 0) {
            sizes.insert(sizes.end(), {100000, 1000000, 10000000});
        } else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            runs = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--baseline") == 0 && i + 1 < argc) {
            void* lib = dlopen(argv[++i], RTLD_NOW | RTLD_LOCAL);
            if (!lib) std::fprintf(stderr, "engine_bench: %s\n", dlerror());
            Check(lib && (baseline = reinterpret_cast<EntryFn>(dlsym(lib, "BTRCALL"))), "loading the baseline engine");
        } else {
            sizes.push_back(std::atoi(argv[i]));
        }
    }
    Check(runs > 0, "a positive number of runs");
    if (!server.empty()) {
        if (sizes.empty()) sizes = {100000};
        ServerBench(server, sizes, runs);
        return 0;
    }
    if (sizes.empty()) sizes = {100000, 1000000};
    char dir[] = "/tmp/btrkit-bench-XXXXXX";
    Check(mkdtemp(dir) != nullptr, "mkdtemp");
    struct Growth {
        int n;
        Result engine, sqlite;
    };
    std::vector<Growth> growth;
    for (int n : sizes) {
        Check(n > 0, "a positive record count");
        const int lookups = std::min(n, 200000), updates = std::min(n / 10, 20000);
        const std::string base = std::string(dir) + "/" + std::to_string(n);
        Result e{}, s{}, b{};
        for (int run = 0; run < runs; ++run) {
            Best(e, RunEngine(base + ".btr", n, lookups, updates));
            Remove(base);
            Best(s, RunSqlite(base + ".db", n, lookups, updates));
            Remove(base);
            if (baseline) {
                BTR = baseline;
                Best(b, RunEngine(base + ".btr", n, lookups, updates));
                BTR = &BTRCALL;
                Remove(base);
            }
        }
        std::printf("\n%d records of %d bytes, records (or operations) per second\n\n", n, kRecLen);
        std::printf("| %-34s | %12s | %12s | %5s |", "work", "engine", "SQLite", "ratio");
        if (baseline) std::printf(" %12s | %5s |", "baseline", "ratio");
        std::printf("\n|---|---:|---:|---:|%s\n", baseline ? "---:|---:|" : "");
        Line("insert, one transaction", e.insert, s.insert, b.insert);
        Line("get-next scan, key 0 (integer)", e.scan0, s.scan0, b.scan0);
        Line("get-next scan, key 1 (string)", e.scan1, s.scan1, b.scan1);
        Line("get-equal, random keys", e.equal, s.equal, b.equal);
        Line("get-equal + update, each committed", e.update, s.update, b.update);
        Line("open + record count + close", e.stat, s.stat, b.stat);
        std::printf("\nprivate resident memory before -> after the two scans: engine %ld -> %ld KiB, SQLite %ld -> %ld "
                    "KiB\n",
                    e.rssBeforeScan, e.rssAfterScan, s.rssBeforeScan, s.rssAfterScan);
        std::printf("file size once closed: engine %lld bytes, SQLite %lld bytes, ratio %.2f\n", e.fileBytes, s.fileBytes,
                    static_cast<double>(e.fileBytes) / static_cast<double>(s.fileBytes));
        growth.push_back({n, e, s});
    }
    if (growth.size() > 1) {
        std::printf("\nengine / SQLite by record count: each rate's ratio and the file size's\n\n");
        std::printf("| %10s | %6s | %6s | %6s | %6s | %6s | %6s | %14s | %6s |\n|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n",
                    "records", "insert", "scan 0", "scan 1", "equal", "update", "count", "engine bytes", "size");
        for (const Growth& g : growth)
            std::printf("| %10d | %6.2f | %6.2f | %6.2f | %6.2f | %6.2f | %6.2f | %14lld | %6.2f |\n", g.n,
                        g.engine.insert / g.sqlite.insert, g.engine.scan0 / g.sqlite.scan0,
                        g.engine.scan1 / g.sqlite.scan1, g.engine.equal / g.sqlite.equal,
                        g.engine.update / g.sqlite.update, g.engine.stat / g.sqlite.stat, g.engine.fileBytes,
                        static_cast<double>(g.engine.fileBytes) / static_cast<double>(g.sqlite.fileBytes));
    }
    TwoProcesses(dir, std::min(sizes.front(), 100000), std::min(sizes.front() / 10, 10000));
    rmdir(dir);
    return 0;
}
