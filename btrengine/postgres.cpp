// The server store on PostgreSQL.
//
// In the database:
//   btrkit_files(name, id, spec, owner, ownermode, changes): every file, its
//     layout as created, owner name and mode, and its change stamp (moved
//     in the same transaction as every change, so a reader that reads rows
//     and stamp in one statement gets a pair that belongs together);
//   btrkit_<id>(pos, ver, data, k0, s0, k1, s1, ...): a file's records, with
//     each key's encoded value and sequence beside the record and a unique
//     index on (kK, sK) per key (a unique key's sequence is always 0, so the
//     index refuses a second entry of a value); a null key is NULL;
//   btrkit_<id>_pos: the file's record positions, never given out twice;
//   btrkit_seqs: sequences of duplicates, in the order entries are made;
//   btrkit_clients(pid, tag, chain): per connection, the engine's client
//     tag and the clients it waits for (wait chains across machines).
//
// Locks are the server's advisory locks, held by the client's session
// (connection): a record lock is the two-key lock (file id, position); the
// file's open mode, transaction and write locks are single-key locks
// (kind << 32 | id). A connection that ends, however it ends, leaves none.
// Every change takes the file's write lock for its server transaction
// (single changes one at a time; a client's transaction keeps it until it
// ends); a client's transaction also holds the transaction lock, which tells
// another client's change to answer 85 instead of waiting.
#include "btrengine/postgres.h"

#include <arpa/inet.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>
#include <unordered_map>
#include <utility>

#include "btrengine/state.h"

namespace btr::engine {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kWriteWait = std::chrono::seconds(10); // as long as a local change waits for another

enum LockKind : int64_t { kOpenLock = 1, kTxnLock = 2, kWriteLock = 3, kCreateLock = 4, kSchemaLock = 5 };
int64_t FileLock(LockKind kind, uint32_t id) { return int64_t{kind} << 32 | id; }

// SQLSTATE to status.
int StatusOfState(const char* state) {
    const std::string s = state ? state : "";
    if (s == "23505") return 5;                        // a unique key's value taken
    if (s == "40P01") return 78;                       // a wait cycle the server found
    if (s == "53100" || s == "2200H") return 18;       // disk full; positions used up
    if (s == "42501" || s == "25006") return 46;       // no write privilege; read-only server
    if (s == "55P03" || s == "40001") return 85;       // a lock not granted in time; serialization
    if (s.rfind("08", 0) == 0 || s.rfind("57P", 0) == 0) return 95; // connection gone, server shut down
    return 2;
}

// ---- results and parameters ----------------------------------------------------

class Result {
public:
    explicit Result(PGresult* r = nullptr) : FR(r) {}
    ~Result() { PQclear(FR); }
    Result(Result&& o) noexcept : FR(o.FR) { o.FR = nullptr; }
    Result& operator=(Result&& o) noexcept {
        std::swap(FR, o.FR);
        return *this;
    }
    int Rows() const { return PQntuples(FR); }
    bool Null(int row, int col) const { return PQgetisnull(FR, row, col); }
    // Binary results: int8 and int4 big-endian, bytea as its bytes, bool one byte.
    int64_t Int(int row, int col) const {
        const char* p = PQgetvalue(FR, row, col);
        const int n = PQgetlength(FR, row, col);
        uint64_t v = 0;
        for (int i = 0; i < n; ++i) v = v << 8 | static_cast<uint8_t>(p[i]);
        if (n == 4) return static_cast<int32_t>(static_cast<uint32_t>(v));
        return static_cast<int64_t>(v);
    }
    bool Bool(int row, int col) const { return !Null(row, col) && PQgetvalue(FR, row, col)[0] != 0; }
    void Bytes(int row, int col, std::string& out) const {
        out.assign(PQgetvalue(FR, row, col), static_cast<size_t>(PQgetlength(FR, row, col)));
    }
    std::string Bytes(int row, int col) const {
        std::string s;
        Bytes(row, col, s);
        return s;
    }
    std::vector<int64_t> IntArray(int row, int col) const {
        // The binary array form: dimensions, flags, element type, then per
        // dimension its length and lower bound, then length-prefixed elements.
        std::vector<int64_t> out;
        const auto* p = reinterpret_cast<const uint8_t*>(PQgetvalue(FR, row, col));
        const int n = PQgetlength(FR, row, col);
        auto u32 = [&](int at) { return uint32_t(p[at]) << 24 | uint32_t(p[at + 1]) << 16 | uint32_t(p[at + 2]) << 8 | p[at + 3]; };
        if (n < 12 || u32(0) != 1) return out;
        const uint32_t count = n >= 20 ? u32(12) : 0;
        int at = 20;
        for (uint32_t i = 0; i < count && at + 4 <= n; ++i) {
            const uint32_t len = u32(at);
            at += 4;
            if (len != 8 || at + 8 > n) break;
            uint64_t v = 0;
            for (int b = 0; b < 8; ++b) v = v << 8 | p[at + b];
            out.push_back(static_cast<int64_t>(v));
            at += 8;
        }
        return out;
    }
    PGresult* Get() const { return FR; }

private:
    PGresult* FR;
};

// Parameters in binary form.
class Params {
public:
    Params& Int8(int64_t v) {
        auto& b = Slot(8);
        for (int i = 7; i >= 0; --i, v >>= 8) b[static_cast<size_t>(i)] = static_cast<char>(v & 0xFF);
        return *this;
    }
    Params& Int4(int32_t v) {
        auto& b = Slot(4);
        uint32_t u = static_cast<uint32_t>(v);
        for (int i = 3; i >= 0; --i, u >>= 8) b[static_cast<size_t>(i)] = static_cast<char>(u & 0xFF);
        return *this;
    }
    Params& Bool(bool v) {
        Slot(1)[0] = v ? 1 : 0;
        return *this;
    }
    Params& Bytes(const std::string& s) {
        FValues.push_back(s);
        FNull.push_back(false);
        return *this;
    }
    Params& Bytes(const std::optional<std::string>& s) {
        FValues.push_back(s ? *s : std::string());
        FNull.push_back(!s);
        return *this;
    }
    Params& Int8Array(const std::vector<int64_t>& v) {
        std::string b;
        auto u32 = [&b](uint32_t x) {
            for (int i = 3; i >= 0; --i) b += static_cast<char>(x >> (8 * i));
        };
        u32(v.empty() ? 0 : 1);
        u32(0);
        u32(20); // int8's type
        if (!v.empty()) {
            u32(static_cast<uint32_t>(v.size()));
            u32(1);
        }
        for (int64_t x : v) {
            u32(8);
            for (int i = 7; i >= 0; --i) b += static_cast<char>(static_cast<uint64_t>(x) >> (8 * i));
        }
        FValues.push_back(std::move(b));
        FNull.push_back(false);
        return *this;
    }
    int Count() const { return static_cast<int>(FValues.size()); }
    void Fill(std::vector<const char*>& values, std::vector<int>& lengths, std::vector<int>& formats) const {
        for (size_t i = 0; i < FValues.size(); ++i) {
            values.push_back(FNull[i] ? nullptr : FValues[i].data());
            lengths.push_back(static_cast<int>(FValues[i].size()));
            formats.push_back(1);
        }
    }

private:
    std::string& Slot(size_t n) {
        FValues.emplace_back(n, '\0');
        FNull.push_back(false);
        return FValues.back();
    }
    std::vector<std::string> FValues;
    std::vector<bool> FNull;
};

// The file tables' names.
std::string Table(uint32_t id) { return "btrkit_" + std::to_string(id); }

} // namespace

// ---- a client's connection to one database ---------------------------------------

class ServerConnection {
public:
    ServerConnection(const std::string& uri, ClientTag tag) : FUri(uri), FTag(tag) {
        // Named after the process unless the path names it: whoever looks at
        // the server's sessions sees which program holds what.
        const std::string name = "btrkit " + std::to_string(::getpid());
        const char* keys[] = {"dbname", "fallback_application_name", nullptr};
        const char* values[] = {uri.c_str(), name.c_str(), nullptr};
        FConn = PQconnectdbParams(keys, values, 1);
        if (PQstatus(FConn) != CONNECTION_OK) {
            PQfinish(FConn);
            FConn = nullptr;
            // Unreachable, refused or not let in: the file cannot be reached.
            throw StoreError{95};
        }
        // What the server says outside an answer (a session ended by an
        // administrator, notices) is no program's output.
        PQsetNoticeProcessor(FConn, [](void*, const char* message) {
            if (std::getenv("BTRKIT_SERVER_LOG")) std::fprintf(stderr, "server: %s", message);
        }, nullptr);
        try {
            Setup();
        } catch (...) {
            PQfinish(FConn);
            FConn = nullptr;
            throw;
        }
    }
    ~ServerConnection() {
        if (FConn) PQfinish(FConn);
    }
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;

    bool Lost() const { return FLost || !FConn || PQstatus(FConn) != CONNECTION_OK; }
    // Whether the connection still stands, as far as can be told without a
    // round trip: a session the server ended has said so on the socket.
    bool Alive() {
        if (!Lost()) PQconsumeInput(FConn);
        return !Lost();
    }
    bool InTransaction() const { return FInTransaction; }
    // Moves on at every end of a server transaction: what was held for one is gone.
    uint64_t Transactions() const { return FTransactions; }
    ClientTag Tag() const { return FTag; }

    // Runs a statement (prepared once per connection) with binary results.
    Result Run(const std::string& sql, const Params& p = {}) {
        if (Lost()) throw StoreError{95};
        if (FBeginPending) return std::move(Pipeline({{&sql, &p}}).front());
        const std::string& name = Prepared(sql);
        std::vector<const char*> values;
        std::vector<int> lengths, formats;
        p.Fill(values, lengths, formats);
        Result r(PQexecPrepared(FConn, name.c_str(), p.Count(), values.data(), lengths.data(), formats.data(), 1));
        Check(r);
        return r;
    }
    // Runs two statements in one round trip, one after the other, each
    // with its own snapshot: the second sees what committed before the
    // first ended (a lock the first took holds off changes from then on).
    // A failure of the first skips the second.
    std::pair<Result, Result> RunTwo(const std::string& sql1, const Params& p1, const std::string& sql2, const Params& p2) {
        std::vector<Result> r = Pipeline({{&sql1, &p1}, {&sql2, &p2}});
        return {std::move(r[0]), std::move(r[1])};
    }
    // Text without parameters (several statements at once), no results kept.
    void Exec(const std::string& sql) {
        if (Lost()) throw StoreError{95};
        const bool begin = FBeginPending;
        FBeginPending = false;
        Check(Result(PQexec(FConn, ((begin ? "BEGIN;" : "") + sql).c_str())));
    }

    // A server transaction; its BEGIN goes with its first statement.
    void Begin() {
        if (FInTransaction) return;
        FInTransaction = true;
        FBeginPending = true;
    }
    void Commit() {
        if (!FInTransaction) return;
        FInTransaction = false;
        ++FTransactions;
        if (std::exchange(FBeginPending, false)) return; // nothing was sent
        if (Lost()) throw StoreError{95};
        Result r(PQexec(FConn, "COMMIT"));
        Check(r);
        // A transaction that failed midway ends in a rollback, whatever was asked.
        if (std::strcmp(PQcmdStatus(r.Get()), "COMMIT") != 0) throw StoreError{2};
    }
    void Rollback() noexcept {
        if (!FInTransaction) return;
        FInTransaction = false;
        ++FTransactions;
        if (std::exchange(FBeginPending, false)) return;
        if (!Lost()) PQclear(PQexec(FConn, "ROLLBACK"));
    }

    // Tells the others whom this client waits for, when that changed.
    void Waiting(const std::vector<ClientTag>& chain) {
        std::vector<int64_t> c(chain.begin(), chain.end());
        if (c == FPublished) return;
        bool told = false;
        if (FInTransaction && FChainInTransaction != FTransactions + 1) {
            // Written in the transaction, the chain would reach the others
            // only at its end: a connection of its own commits it at once.
            try {
                if (!FPublisher) FPublisher = std::make_unique<ServerConnection>(FUri, FTag);
                FPublisher->Run("UPDATE btrkit_clients SET chain=$1 WHERE pid=$2",
                                Params().Int8Array(c).Int4(PQbackendPID(FConn)));
                told = true;
            } catch (const StoreError&) {
                FPublisher.reset(); // no second connection: the wait goes on, its chain known later
            }
        }
        if (!told) {
            // Then the transaction holds the row until it ends: no other
            // connection may write it meanwhile.
            if (FInTransaction) FChainInTransaction = FTransactions + 1;
            Run("UPDATE btrkit_clients SET chain=$1 WHERE pid=pg_backend_pid()", Params().Int8Array(c));
        }
        FPublished = std::move(c);
    }

private:
    // Statements sent at once and answered in order (one round trip), a
    // BEGIN still to be sent first; a failure skips the rest.
    std::vector<Result> Pipeline(const std::vector<std::pair<const std::string*, const Params*>>& statements) {
        if (Lost()) throw StoreError{95};
        std::vector<std::pair<std::string, const Params*>> sent;
        static const Params kNone;
        if (FBeginPending) sent.emplace_back(Prepared("BEGIN"), &kNone);
        for (const auto& [sql, p] : statements) sent.emplace_back(Prepared(*sql), p);
        FBeginPending = false;
        if (!PQenterPipelineMode(FConn)) {
            // Only refused with results pending, which this connection never leaves.
            FLost = true;
            throw StoreError{95};
        }
        bool ok = true;
        for (const auto& [name, p] : sent) {
            std::vector<const char*> values;
            std::vector<int> lengths, formats;
            p->Fill(values, lengths, formats);
            ok = ok && PQsendQueryPrepared(FConn, name.c_str(), p->Count(), values.data(), lengths.data(), formats.data(), 1);
        }
        ok = ok && PQpipelineSync(FConn);
        std::vector<Result> results;
        bool synced = false;
        if (ok) {
            for (size_t i = 0; i < sent.size(); ++i) {
                results.emplace_back(PQgetResult(FConn));
                if (!results.back().Get()) break;
                PQclear(PQgetResult(FConn)); // the end of this statement's results
            }
            // Up to the sync that ends the pipeline.
            for (PGresult* r; (r = PQgetResult(FConn)) != nullptr;) {
                synced = PQresultStatus(r) == PGRES_PIPELINE_SYNC;
                PQclear(r);
                if (synced) break;
            }
        }
        if (!synced || results.size() != sent.size() || !PQexitPipelineMode(FConn)) {
            // Whatever broke the exchange leaves the connection unusable.
            FLost = true;
            throw StoreError{95};
        }
        for (const Result& r : results) Check(r);
        if (sent.size() > statements.size()) results.erase(results.begin());
        return results;
    }

    // The statement's name on this connection, prepared at its first use.
    const std::string& Prepared(const std::string& sql) {
        auto it = FPrepared.find(sql);
        if (it == FPrepared.end()) {
            const std::string name = "b" + std::to_string(FPrepared.size());
            Check(Result(PQprepare(FConn, name.c_str(), sql.c_str(), 0, nullptr)));
            it = FPrepared.emplace(sql, name).first;
        }
        return it->second;
    }

    void Check(const Result& r) {
        const ExecStatusType st = PQresultStatus(r.Get());
        if (st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK) return;
        if (PQstatus(FConn) != CONNECTION_OK) {
            FLost = true;
            throw StoreError{95};
        }
        if (std::getenv("BTRKIT_SERVER_LOG")) std::fprintf(stderr, "server: %s", PQresultErrorMessage(r.Get()));
        const int status = StatusOfState(PQresultErrorField(r.Get(), PG_DIAG_SQLSTATE));
        if (status == 95) FLost = true;
        throw StoreError{status};
    }

    // The shared tables, made by the first client that finds them missing;
    // then this connection's entry in the clients table.
    void Setup() {
        Result have(PQexec(FConn, "SELECT to_regclass('btrkit_files') IS NOT NULL AND to_regclass('btrkit_clients') IS NOT NULL"));
        Check(have);
        if (std::strcmp(PQgetvalue(have.Get(), 0, 0), "t") != 0) {
            const std::string sql =
                "BEGIN; SELECT pg_advisory_xact_lock(" + std::to_string(FileLock(kSchemaLock, 0)) + ");"
                "CREATE TABLE IF NOT EXISTS btrkit_files(name text PRIMARY KEY, id integer NOT NULL UNIQUE, "
                "spec bytea NOT NULL, owner bytea NOT NULL, ownermode integer NOT NULL, changes bigint NOT NULL DEFAULT 0);"
                "CREATE SEQUENCE IF NOT EXISTS btrkit_ids MAXVALUE 2147483647;"
                "CREATE SEQUENCE IF NOT EXISTS btrkit_seqs;"
                "CREATE UNLOGGED TABLE IF NOT EXISTS btrkit_clients(pid integer PRIMARY KEY, tag bigint NOT NULL, "
                "chain bigint[] NOT NULL DEFAULT '{}');"
                "COMMIT";
            Result made(PQexec(FConn, sql.c_str()));
            if (PQresultStatus(made.Get()) != PGRES_COMMAND_OK) PQclear(PQexec(FConn, "ROLLBACK"));
            Check(made);
        }
        // Every statement here is a lookup along an index whose plan does not
        // depend on the values: planned once, not at every run.
        Exec("SET plan_cache_mode TO force_generic_plan");
        // The entry a dead connection of the same process id left is taken over.
        Run("INSERT INTO btrkit_clients(pid, tag) VALUES(pg_backend_pid(), $1) "
            "ON CONFLICT (pid) DO UPDATE SET tag=excluded.tag, chain='{}'",
            Params().Int8(static_cast<int64_t>(FTag)));
    }

    PGconn* FConn = nullptr;
    std::string FUri;
    ClientTag FTag;
    bool FLost = false, FInTransaction = false, FBeginPending = false;
    uint64_t FTransactions = 0;
    std::unordered_map<std::string, std::string> FPrepared;
    std::vector<int64_t> FPublished;
    std::unique_ptr<ServerConnection> FPublisher; // tells waits while a transaction is under way
    uint64_t FChainInTransaction = 0;             // the transaction (Transactions() + 1) that wrote the chain itself
};

namespace {

// Every client's connection to every database, while something uses it.
// Used under the engine's lock only.
std::map<std::pair<ClientTag, std::string>, std::weak_ptr<ServerConnection>>& Connections() {
    static auto* c = new std::map<std::pair<ClientTag, std::string>, std::weak_ptr<ServerConnection>>;
    return *c;
}

// The client's connection to a database: the one it has while that still
// stands, else a new one (`made` says which).
std::shared_ptr<ServerConnection> ConnectionOf(ClientTag client, const std::string& uri, bool* made = nullptr) {
    auto& all = Connections();
    const auto key = std::make_pair(client, uri);
    if (made) *made = false;
    if (auto it = all.find(key); it != all.end()) {
        if (auto c = it->second.lock(); c && c->Alive()) return c;
    }
    if (made) *made = true;
    auto c = std::make_shared<ServerConnection>(uri, client);
    all[key] = c;
    for (auto it = all.begin(); it != all.end();) it = it->second.expired() ? all.erase(it) : std::next(it);
    return c;
}

bool Held(ServerConnection& c, int64_t key, bool shared = false) {
    return c.Run(shared ? "SELECT pg_try_advisory_lock_shared($1)" : "SELECT pg_try_advisory_lock($1)", Params().Int8(key))
        .Bool(0, 0);
}
void Release(ServerConnection& c, int64_t key, bool shared = false) {
    if (!c.Lost()) c.Run(shared ? "SELECT pg_advisory_unlock_shared($1)" : "SELECT pg_advisory_unlock($1)", Params().Int8(key));
}
// Whether another session holds a single-key lock exclusively.
bool HeldByOther(ServerConnection& c, int64_t key) {
    return c.Run("SELECT CASE WHEN pg_try_advisory_lock_shared($1) THEN NOT pg_advisory_unlock_shared($1) ELSE true END",
                 Params().Int8(key))
        .Bool(0, 0);
}

class ServerSpace;

// A file's change stamp as committed.
const std::string kStamp = "SELECT changes FROM btrkit_files WHERE id=$1";

class ServerSession final : public LockSession {
public:
    ServerSession(std::shared_ptr<ServerSpace> space, std::shared_ptr<ServerConnection> conn, uint32_t id)
        : FSpace(std::move(space)), FConn(std::move(conn)), FId(id) {}
    ~ServerSession() override {
        // Whatever this client holds on the file goes (the connection may
        // serve its other files on).
        try {
            if (FShared) Release(*FConn, FileLock(kOpenLock, FId), !FExclusive);
            if (FTransaction) Release(*FConn, FileLock(kTxnLock, FId));
            for (auto& [pos, count] : FHolds)
                if (!FConn->Lost())
                    FConn->Run("SELECT pg_advisory_unlock($1, $2)", Params().Int4(static_cast<int32_t>(FId)).Int4(static_cast<int32_t>(pos)));
        } catch (...) {
        }
    }

    ServerConnection& Connection() { return *FConn; }
    uint32_t Id() const { return FId; }
    // The stamp a statement read in the moment it was read in.
    void Saw(uint64_t stamp) {
        FStamp = stamp;
        FStampMoment = E().moments;
    }
    uint64_t Local() const;

    uint64_t Changes() override {
        // Read once per call (and after every pause): within one call the
        // file is seen as it stood when first asked.
        if (FStampMoment != E().moments)
            Saw(static_cast<uint64_t>(FConn->Run(kStamp, Params().Int4(static_cast<int32_t>(FId))).Int(0, 0)));
        return FStamp + Local();
    }
    // The stamp last read, whenever that was: stamps only grow, so what is
    // unchanged against it later is unchanged since.
    uint64_t KnownChanges() override { return FStampMoment ? FStamp + Local() : Changes(); }

    bool Share(bool exclusive) override {
        if (FShared && FExclusive == exclusive) return true;
        if (!Held(*FConn, FileLock(kOpenLock, FId), !exclusive)) return false;
        if (FShared) Release(*FConn, FileLock(kOpenLock, FId), !FExclusive);
        FShared = true;
        FExclusive = exclusive;
        return true;
    }
    void Unshare() override {
        if (!FShared) return;
        Release(*FConn, FileLock(kOpenLock, FId), !FExclusive);
        FShared = false;
    }

    bool Lock(uint32_t pos, bool) override {
        if (auto it = FHolds.find(pos); it != FHolds.end()) {
            ++it->second;
            return true;
        }
        // The stamp comes with the lock, read once it is held: what was
        // read before is trusted only while the stamp stands still.
        const auto [lock, stamp] = FConn->RunTwo("SELECT pg_try_advisory_lock($1, $2)",
                                                 Params().Int4(static_cast<int32_t>(FId)).Int4(static_cast<int32_t>(pos)),
                                                 kStamp, Params().Int4(static_cast<int32_t>(FId)));
        if (!lock.Bool(0, 0)) return false;
        FHolds[pos] = 1;
        Saw(static_cast<uint64_t>(stamp.Int(0, 0)));
        return true;
    }
    void Unlock(uint32_t pos) override {
        auto it = FHolds.find(pos);
        if (it == FHolds.end() || --it->second > 0) return;
        FHolds.erase(it);
        if (!FConn->Lost())
            FConn->Run("SELECT pg_advisory_unlock($1, $2)", Params().Int4(static_cast<int32_t>(FId)).Int4(static_cast<int32_t>(pos)));
    }
    bool LockedByOther(uint32_t pos) override { return !HolderChain(pos).empty(); }
    // Positions are never given out twice here: no lock stands on a new one.
    bool Free(uint32_t) override { return true; }
    bool FreeFrom(uint32_t) override { return true; }

    std::vector<ClientTag> HolderChain(uint32_t pos) override {
        const Result r = FConn->Run(
            "SELECT c.tag, c.chain FROM pg_locks l JOIN btrkit_clients c ON c.pid=l.pid "
            "WHERE l.locktype='advisory' AND l.database=(SELECT oid FROM pg_database WHERE datname=current_database()) "
            "AND l.classid=$1::bigint::oid AND l.objid=$2::bigint::oid AND l.objsubid=2 AND l.granted "
            "AND l.pid<>pg_backend_pid() LIMIT 1",
            Params().Int8(FId).Int8(pos));
        std::vector<ClientTag> chain;
        if (r.Rows() == 0) return chain;
        chain.push_back(static_cast<ClientTag>(r.Int(0, 0)));
        for (int64_t t : r.IntArray(0, 1)) chain.push_back(static_cast<ClientTag>(t));
        return chain;
    }
    void Waiting(const std::vector<ClientTag>& chain) override { FConn->Waiting(chain); }

    bool LockTransaction() override {
        if (FTransaction) return true;
        if (!Held(*FConn, FileLock(kTxnLock, FId))) return false;
        FTransaction = true;
        return true;
    }
    void UnlockTransaction() override {
        if (!FTransaction) return;
        FTransaction = false;
        Release(*FConn, FileLock(kTxnLock, FId));
    }
    bool TransactionByOther() override { return !FTransaction && HeldByOther(*FConn, FileLock(kTxnLock, FId)); }

    // The server keeps readers and writers apart itself: every change is a
    // server transaction, every read one statement that sees committed
    // changes whole, and every change holds its record in its statement.
    bool BeginWrite(bool) override { return true; }
    void EndWrite() override {}
    bool OtherWriting() override { return false; }
    bool Lockers() override { return false; }
    bool UnheldChangeUnderWay() override { return false; }
    bool Freeze() override { return true; }

private:
    std::shared_ptr<ServerSpace> FSpace;
    std::shared_ptr<ServerConnection> FConn;
    uint32_t FId;
    bool FShared = false, FExclusive = false, FTransaction = false;
    std::map<uint32_t, int> FHolds;
    uint64_t FStamp = 0, FStampMoment = 0;
};

// A server file's lock space in this process: the server holds the locks;
// this counts the changes this process made, which move the stamp at once
// for its own clients (the server's stamp moves for others when they commit).
class ServerSpace final : public LockSpace, public std::enable_shared_from_this<ServerSpace> {
public:
    explicit ServerSpace(FileId id) : FId(std::move(id)) {}
    uint64_t Changes() const override { return FLocal; }
    void Changed() override { ++FLocal; }
    std::unique_ptr<LockSession> Join(ClientTag client) override {
        return std::make_unique<ServerSession>(shared_from_this(), ConnectionOf(client, FId.server), static_cast<uint32_t>(FId.ino));
    }

private:
    FileId FId;
    uint64_t FLocal = 0;
};

uint64_t ServerSession::Local() const { return FSpace->Changes(); }

// ---- the store --------------------------------------------------------------------

class PgStore final : public Store {
public:
    PgStore(ServerSession& locks) : FLocks(locks), FConn(locks.Connection()), FId(locks.Id()), FTable(Table(FId)) {}

    bool ReadSpec(std::string& bytes, std::string& owner, int64_t& ownerMode) override {
        const Result r = FConn.Run("SELECT spec, owner, ownermode FROM btrkit_files WHERE id=$1", Params().Int4(Id()));
        if (r.Rows() == 0) return false;
        r.Bytes(0, 0, bytes);
        r.Bytes(0, 1, owner);
        ownerMode = r.Int(0, 2);
        return true;
    }

    bool Fits(const Spec& spec) override {
        FKeys = spec.keys.size();
        FDuplicates.clear();
        for (const Key& k : spec.keys) FDuplicates.push_back(k.Duplicates());
        const Result r = FConn.Run("SELECT count(*) FROM pg_attribute WHERE attrelid=to_regclass($1) AND attnum>0 AND NOT attisdropped",
                                   Params().Bytes(FTable));
        if (r.Int(0, 0) != static_cast<int64_t>(3 + 2 * FKeys)) return false;
        std::string seqs, keys, marks, sets;
        for (size_t k = 0; k < FKeys; ++k) {
            const std::string n = std::to_string(k);
            seqs += ", s" + n;
            keys += ", k" + n + ", s" + n;
            const std::string kv = "$" + std::to_string(2 + k) + "::bytea";
            marks += ", " + kv + ", " + SeqOf(k, kv);
            // A moved entry (its flag true) gets the new value and goes
            // behind the duplicates of that value.
            const std::string value = "$" + std::to_string(4 + 2 * k) + "::bytea", flag = "$" + std::to_string(5 + 2 * k) + "::boolean";
            sets += ", k" + n + "=CASE WHEN " + flag + " THEN " + value + " ELSE k" + n + " END, s" + n + "=CASE WHEN " +
                    flag + " THEN " + SeqOf(k, value) + " ELSE s" + n + " END";
        }
        // Only a unique key's entry can meet another (positions and the
        // sequences of duplicates are drawn, never given twice): the insert
        // checks those indexes alone, and none without a unique key.
        std::vector<size_t> unique;
        for (size_t k = 0; k < FKeys; ++k)
            if (!FDuplicates[k]) unique.push_back(k);
        const std::string conflict = unique.empty()      ? ""
                                     : unique.size() > 1 ? " ON CONFLICT DO NOTHING"
                                                         : " ON CONFLICT (k" + std::to_string(unique[0]) + ", s" +
                                                               std::to_string(unique[0]) + ") DO NOTHING";
        FRead = "SELECT ver, data" + seqs + " FROM " + FTable + " WHERE pos=$1";
        FInsert = "INSERT INTO " + FTable + "(pos, ver, data" + keys + ") SELECT nextval('" + FTable + "_pos'), 1, $1::bytea" +
                  marks + " FROM l WHERE l.ok" + conflict + " RETURNING pos" + seqs;
        // Inside a server transaction (which holds the write lock) the same
        // without the lock, its columns as Change gives them.
        FInsertHeld = "INSERT INTO " + FTable + "(pos, ver, data" + keys + ") VALUES(nextval('" + FTable + "_pos'), 1, $1::bytea" +
                      marks + ")" + conflict + " RETURNING true, true, NULL::bigint, pos" + seqs;
        // A unique key's value that moves must not be another record's: the
        // rewrite checks that itself, and its probe answers kTakenMark for a record
        // still at the version read that met such a value.
        std::string taken;
        for (size_t k : unique) {
            const std::string n = std::to_string(k);
            taken += std::string(taken.empty() ? "" : " OR ") + "($" + std::to_string(5 + 2 * k) + "::boolean AND EXISTS(SELECT 1 FROM " +
                     FTable + " d WHERE d.k" + n + "=$" + std::to_string(4 + 2 * k) + "::bytea AND d.s" + n +
                     "=0 AND d.pos<>$1::bigint))";
        }
        FReplace = "UPDATE " + FTable + " SET ver=ver+1, data=$3::bytea" + sets +
                   " FROM l WHERE l.ok AND l.free AND pos=$1::bigint AND ver=$2::bigint" +
                   (taken.empty() ? "" : " AND NOT (" + taken + ")") + " RETURNING ver" + seqs;
        FRemove = "DELETE FROM " + FTable + " USING l WHERE l.ok AND l.free AND pos=$1::bigint AND ver=$2::bigint RETURNING pos";
        FProbe = "(SELECT ver FROM " + FTable + " WHERE pos=$1)";
        FReplaceProbe = taken.empty() ? FProbe
                                      : "(SELECT CASE WHEN ver=$2::bigint AND (" + taken + ") THEN " + std::to_string(kTakenMark) + " ELSE ver END FROM " +
                                            FTable + " WHERE pos=$1::bigint)";
        return true;
    }

    std::optional<Row> Read(uint32_t pos) override {
        Serialize();
        const Result r = FConn.Run(FRead, Params().Int8(pos));
        if (r.Rows() == 0) return std::nullopt;
        Row row;
        row.pos = pos;
        row.version = r.Int(0, 0);
        r.Bytes(0, 1, row.data);
        for (size_t k = 0; k < FKeys; ++k) row.seqs.push_back(r.Int(0, 2 + static_cast<int>(k)));
        return row;
    }

    uint64_t Scan(int path, bool forward, From from, const std::string& kv, int64_t seq, uint32_t pos, uint32_t limit,
                  size_t maxBytes, std::vector<Row>& rows, uint32_t& n) override {
        // The stamp and the rows in one statement: one snapshot.
        std::string inner;
        const std::string desc = forward ? "" : " DESC";
        const char* gt = forward ? ">" : "<";
        Params p;
        p.Int4(Id());
        if (path < 0) {
            inner = "SELECT NULL::bytea AS kv, 0::int8 AS seq, pos, ver, data FROM " + FTable;
            if (from == From::AtOrAfter) inner += std::string(" WHERE pos") + gt + "=$2";
            if (from == From::After || from == From::Beyond) inner += std::string(" WHERE pos") + gt + "$2";
            inner += " ORDER BY pos" + desc;
            if (from != From::Start) p.Int8(pos);
        } else {
            const std::string k = "k" + std::to_string(path), s = "s" + std::to_string(path);
            inner = "SELECT " + k + " AS kv, " + s + " AS seq, pos, ver, data FROM " + FTable;
            if (from == From::Start) inner += " WHERE " + k + " IS NOT NULL";
            if (from == From::AtOrAfter) inner += " WHERE " + k + gt + "=$2";
            if (from == From::After || from == From::Beyond) inner += " WHERE " + k + gt + "$2";
            if (from == From::Same) inner += " WHERE " + k + "=$2 AND " + s + gt + "$3";
            inner += " ORDER BY " + k + desc + ", " + s + desc;
            if (from != From::Start) p.Bytes(kv);
            if (from == From::Same) p.Int8(seq);
        }
        // The limit is part of the text (a batch has few sizes): the server
        // then plans each statement once for every value. One row is kept
        // for no later read: it needs no stamp.
        const std::string limited = inner + " LIMIT " + std::to_string(limit);
        const Result r = limit == 1 ? FConn.Run("SELECT $1::int4, r.* FROM (" + limited + ") r", p)
                                    : FConn.Run("SELECT f.changes, r.kv, r.seq, r.pos, r.ver, r.data FROM btrkit_files f "
                                                "LEFT JOIN LATERAL (" + limited + ") r ON true WHERE f.id=$1", p);
        if (limit > 1) {
            if (r.Rows() == 0) throw StoreError{95}; // the file went from under an open handle
            FLocks.Saw(static_cast<uint64_t>(r.Int(0, 0)));
        }
        size_t bytes = 0;
        for (int i = 0; i < r.Rows() && n < limit && bytes < maxBytes; ++i) {
            if (r.Null(i, 3)) break;
            if (rows.size() <= n) rows.emplace_back();
            Row& row = rows[n++];
            if (r.Null(i, 1)) row.kv.clear();
            else r.Bytes(i, 1, row.kv);
            row.seq = r.Int(i, 2);
            row.pos = static_cast<uint32_t>(r.Int(i, 3));
            row.version = r.Int(i, 4);
            r.Bytes(i, 5, row.data);
            bytes += row.data.size();
        }
        return limit > 1 ? FLocks.Changes() : 0;
    }

    uint32_t Count() override {
        return static_cast<uint32_t>(FConn.Run("SELECT count(*) FROM " + FTable).Int(0, 0));
    }

    std::optional<std::string> Edge(int path, bool last) override {
        Serialize();
        const std::string desc = last ? " DESC" : "";
        if (path < 0) {
            const Result r = FConn.Run("SELECT pos FROM " + FTable + " ORDER BY pos" + desc + " LIMIT 1");
            if (r.Rows() == 0) return std::nullopt;
            std::string s(8, '\0');
            uint64_t v = static_cast<uint64_t>(r.Int(0, 0));
            for (int i = 7; i >= 0; --i, v >>= 8) s[static_cast<size_t>(i)] = static_cast<char>(v & 0xFF);
            return s;
        }
        const std::string k = "k" + std::to_string(path), s = "s" + std::to_string(path);
        const Result r = FConn.Run("SELECT " + k + " FROM " + FTable + " WHERE " + k + " IS NOT NULL ORDER BY " + k + desc +
                                   ", " + s + desc + " LIMIT 1");
        if (r.Rows() == 0) return std::nullopt;
        return r.Bytes(0, 0);
    }

    void Begin(bool transaction) override {
        if (transaction) {
            FConn.Begin();
            TakeWriteLock();
        } else {
            FPending = true; // a change alone: one statement, unless it reads first
        }
    }
    void Commit() override {
        FPending = false;
        FConn.Commit();
    }
    void Rollback() noexcept override {
        FPending = false;
        FConn.Rollback();
    }

    bool Taken(int k, const std::string& kv, uint32_t self) override {
        if (FDuplicates[static_cast<size_t>(k)]) return false;
        // A rewrite alone checks in its own statement (Replace): asking
        // first would make it a server transaction of several round trips.
        if (FPending && !FConn.InTransaction()) return false;
        Serialize();
        const std::string key = "k" + std::to_string(k);
        const Result r = FConn.Run("SELECT pos FROM " + FTable + " WHERE " + key + "=$1 AND s" + std::to_string(k) + "=0",
                                   Params().Bytes(kv));
        return r.Rows() > 0 && static_cast<uint32_t>(r.Int(0, 0)) != self;
    }

    bool Insert(const std::string& data, const std::vector<std::optional<std::string>>& kvs, Row& row) override {
        Params p;
        p.Bytes(data);
        for (size_t k = 0; k < FKeys; ++k) p.Bytes(kvs[k]);
        const bool held = !FPending || FConn.InTransaction();
        const Result r = held ? FConn.Run(FInsertHeld, p) : Change(FInsert, "true", "NULL::bigint", p);
        if (r.Rows() == 0 || r.Null(0, 3)) return false; // a unique key holds a value of it
        row.pos = static_cast<uint32_t>(r.Int(0, 3));
        row.version = 1;
        row.seqs.clear();
        for (size_t k = 0; k < FKeys; ++k) row.seqs.push_back(r.Int(0, 4 + static_cast<int>(k)));
        return true;
    }

    Outcome Replace(uint32_t pos, int64_t version, const std::string& data, const std::vector<KeyMove>& moves,
                    Row& row) override {
        std::vector<const KeyMove*> moved(FKeys, nullptr);
        for (const KeyMove& m : moves) moved[static_cast<size_t>(m.k)] = &m;
        Params p;
        p.Int8(pos).Int8(version).Bytes(data);
        for (size_t k = 0; k < FKeys; ++k) p.Bytes(moved[k] ? moved[k]->after : std::nullopt).Bool(moved[k] != nullptr);
        const Result r = Change(FReplace, kRecordLock, FReplaceProbe, p);
        if (const Outcome o = Refused(r); o != Outcome::Done) return o;
        row.version = r.Int(0, 3);
        row.seqs.clear();
        for (size_t k = 0; k < FKeys; ++k) row.seqs.push_back(r.Int(0, 4 + static_cast<int>(k)));
        return Outcome::Done;
    }

    Outcome Remove(uint32_t pos, int64_t version, const std::vector<std::optional<std::string>>&) override {
        Params p;
        p.Int8(pos).Int8(version);
        return Refused(Change(FRemove, kRecordLock, FProbe, p));
    }

    void SetOwner(const std::string& owner, int64_t mode) override {
        Serialize();
        FConn.Run("UPDATE btrkit_files SET owner=$2, ownermode=$3, changes=changes+1 WHERE id=$1",
                  Params().Int4(Id()).Bytes(owner).Int4(static_cast<int32_t>(mode)));
    }

    bool Lost() const override { return FConn.Lost(); }

private:
    int32_t Id() const { return static_cast<int32_t>(FId); }

    std::string SeqOf(size_t k, const std::string& kv) const {
        return FDuplicates[k] ? "CASE WHEN " + kv + " IS NULL THEN 0 ELSE nextval('btrkit_seqs') END" : std::string("0");
    }

    // What a rewrite's probe answers for a unique key's value taken (versions start at 1).
    static constexpr int64_t kTakenMark = -1;

    // The record at $1, held for the statement's server transaction.
    static constexpr const char* kRecordLock = "pg_try_advisory_xact_lock($%ID, $1::bigint::bit(32)::int4)";

    // A change statement: alone it is its own server transaction and takes
    // the file's write lock and moves its stamp in the same statement;
    // inside a transaction (which holds both) it is run as it is. `free`
    // holds the record for the statement's transaction. A write lock another
    // change holds is waited for; one another client's transaction holds
    // answers 85.
    Result Change(const std::string& statement, const std::string& free, const std::string& probe, Params& p) {
        const std::string idMark = "$" + std::to_string(p.Count() + 1) + "::int4";
        p.Int4(Id());
        std::string lock = free;
        for (size_t at; (at = lock.find("$%ID")) != std::string::npos;) lock.replace(at, 4, idMark);
        const bool alone = FPending && !FConn.InTransaction();
        const std::string ok = alone ? "pg_try_advisory_xact_lock(" + std::to_string(FileLock(kWriteLock, FId)) + ")" : "true";
        std::string sql = "WITH l AS (SELECT " + ok + " AS ok, " + lock + " AS free, " + idMark + " AS id)";
        if (alone) sql += ", s AS (UPDATE btrkit_files f SET changes=changes+1 FROM l WHERE l.ok AND f.id=l.id)";
        // What the record is now is looked up only when the change did not happen.
        sql += ", c AS (" + statement + ") SELECT l.ok, l.free, CASE WHEN c IS NULL THEN " + probe +
               " END AS cur, c.* FROM l LEFT JOIN c ON true";
        const auto deadline = Clock::now() + kWriteWait;
        for (int round = 0;; ++round) {
            Result r = FConn.Run(sql, p);
            if (r.Bool(0, 0)) {
                FPending = false;
                return r;
            }
            if (HeldByOther(FConn, FileLock(kTxnLock, FId)) || Clock::now() > deadline) throw StoreError{85};
            std::this_thread::sleep_for(std::chrono::microseconds(round < 20 ? 20 : 500));
        }
    }

    static Outcome Refused(const Result& r) {
        if (!r.Bool(0, 1)) return Outcome::Locked;
        if (!r.Null(0, 3)) return Outcome::Done;
        if (r.Null(0, 2)) return Outcome::Gone;
        // A refusal: nothing was written, and a transaction goes on.
        if (r.Int(0, 2) == kTakenMark) throw Status{5};
        return Outcome::Changed;
    }

    // A change alone that must read before it writes becomes a server
    // transaction holding the file's write lock.
    void Serialize() {
        if (!FPending || FConn.InTransaction()) return;
        FPending = false;
        FConn.Begin();
        TakeWriteLock();
    }

    void TakeWriteLock() {
        if (FWriting == FConn.Transactions() + 1) return;
        const auto deadline = Clock::now() + kWriteWait;
        // The lock and the stamp it allows to move, in one statement.
        const std::string take = "WITH l AS (SELECT pg_try_advisory_xact_lock($2) AS ok), s AS (UPDATE btrkit_files f SET "
                                 "changes=changes+1 FROM l WHERE l.ok AND f.id=$1) SELECT ok FROM l";
        for (int round = 0; !FConn.Run(take, Params().Int4(Id()).Int8(FileLock(kWriteLock, FId))).Bool(0, 0); ++round) {
            if (HeldByOther(FConn, FileLock(kTxnLock, FId)) || Clock::now() > deadline) throw StoreError{85};
            std::this_thread::sleep_for(std::chrono::microseconds(round < 20 ? 20 : 500));
        }
        FWriting = FConn.Transactions() + 1;
    }

    ServerSession& FLocks;
    ServerConnection& FConn;
    uint32_t FId;
    std::string FTable;
    size_t FKeys = 0;
    std::vector<bool> FDuplicates;
    std::string FRead, FInsert, FInsertHeld, FReplace, FRemove, FProbe, FReplaceProbe;
    bool FPending = false;
    uint64_t FWriting = 0; // the server transaction (Transactions() + 1) that holds the write lock
};

} // namespace

// ---- paths ------------------------------------------------------------------------

bool SplitServerPath(const std::string& path, ServerPath& out) {
    if (!IsServerPath(path)) return false;
    const size_t query = path.find('?');
    const std::string base = path.substr(0, query);
    const std::string params = query == std::string::npos ? std::string() : path.substr(query);
    const size_t authority = base.find("://") + 3;
    const size_t slash = base.find('/', authority);
    const size_t last = base.rfind('/');
    if (slash == std::string::npos || last == slash) return false; // no database, or no name after it
    const std::string_view user = std::string_view(base).substr(authority, slash - authority);
    if (const size_t at = user.find('@'); at != std::string::npos && user.find(':') < at)
        return false; // user:password@ — passwords come from libpq's own places
    const std::string name = UriUnescaped(std::string_view(base).substr(last + 1));
    if (name.empty() || params.find("password") != std::string::npos) return false;
    out.uri = base.substr(0, last) + params;
    out.name = name;
    return true;
}

namespace {

// A connection kept from earlier use may have been ended by the server since
// (a restart, an administrator) with nothing on its socket that says so yet:
// its next statement finds out. An open or a create that starts outside the
// client's transaction then connects once more; inside one, the transaction
// is gone with the connection and 95 is the answer.
template <class Work>
auto OnConnection(ClientTag client, const std::string& uri, Work work) {
    bool made = false;
    std::shared_ptr<ServerConnection> c = ConnectionOf(client, uri, &made);
    if (!made && !c->InTransaction()) {
        try {
            return work(c);
        } catch (const StoreError& e) {
            if (e.status != 95 || !c->Lost()) throw;
        }
        c = ConnectionOf(client, uri);
    }
    return work(c);
}

} // namespace

ServerFile FindServerFile(const ServerPath& path, ClientTag client) {
    return OnConnection(client, path.uri, [&](const std::shared_ptr<ServerConnection>& c) {
        ServerFile f;
        f.connection = c;
        const Result r = c->Run("SELECT id FROM btrkit_files WHERE name=$1", Params().Bytes(path.name));
        f.id = FileId{0, r.Rows() ? static_cast<uint64_t>(r.Int(0, 0)) : 0, path.uri};
        return f;
    });
}

std::shared_ptr<LockSpace> ServerLockSpace(const FileId& id) { return std::make_shared<ServerSpace>(id); }

std::unique_ptr<Store> ServerStore(const FileId&, LockSession& locks) {
    return std::make_unique<PgStore>(static_cast<ServerSession&>(locks));
}

namespace {

void Create(const std::shared_ptr<ServerConnection>& c, const ServerPath& path, const Spec& spec, bool replace,
            bool inTransaction, std::function<void(bool commit)>& joined) {
    const bool own = !c->InTransaction();
    if (own && inTransaction) {
        // The create opens the client's server transaction: the file appears when it ends.
        c->Begin();
        joined = [c](bool commit) {
            if (commit) c->Commit();
            else c->Rollback();
        };
    } else if (own) {
        c->Begin();
    }
    try {
        // One create at a time in the database, not waiting on for long.
        const auto deadline = Clock::now() + kWriteWait;
        while (!c->Run("SELECT pg_try_advisory_xact_lock($1)", Params().Int8(FileLock(kCreateLock, 0))).Bool(0, 0)) {
            if (Clock::now() > deadline) throw StoreError{85};
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const Result old = c->Run("SELECT id FROM btrkit_files WHERE name=$1 FOR UPDATE", Params().Bytes(path.name));
        const bool exists = old.Rows() > 0;
        if (exists && !replace) throw Status{59};
        // Nobody has the old file open (this client neither), or opens it,
        // until the new one is in place.
        if (exists) {
            const int64_t open = FileLock(kOpenLock, static_cast<uint32_t>(old.Int(0, 0)));
            const Result r = c->Run("SELECT NOT EXISTS(SELECT 1 FROM pg_locks WHERE locktype='advisory' AND objsubid=1 AND "
                                    "classid=($1::bigint >> 32)::oid AND objid=($1::bigint & 4294967295)::oid AND "
                                    "database=(SELECT oid FROM pg_database WHERE datname=current_database())) "
                                    "AND pg_try_advisory_xact_lock($1)",
                                    Params().Int8(open));
            if (!r.Bool(0, 0)) throw Status{88};
        }
        const auto id = static_cast<uint32_t>(c->Run("SELECT nextval('btrkit_ids')").Int(0, 0));
        const std::string t = Table(id);
        std::string ddl = "CREATE TABLE " + t + "(pos bigint PRIMARY KEY, ver bigint NOT NULL, data bytea NOT NULL";
        for (size_t k = 0; k < spec.keys.size(); ++k) ddl += ", k" + std::to_string(k) + " bytea, s" + std::to_string(k) + " bigint NOT NULL";
        ddl += ");CREATE SEQUENCE " + t + "_pos MAXVALUE 4294967294;";
        for (size_t k = 0; k < spec.keys.size(); ++k) {
            const std::string n = std::to_string(k);
            ddl += "CREATE UNIQUE INDEX " + t + "_k" + n + " ON " + t + "(k" + n + ", s" + n + ");";
        }
        c->Exec(ddl.c_str());
        const std::vector<uint8_t> bytes = spec.Serialize();
        const std::string layout(bytes.begin(), bytes.end());
        if (exists) {
            const std::string before = Table(static_cast<uint32_t>(old.Int(0, 0)));
            c->Run("UPDATE btrkit_files SET id=$2, spec=$3, owner='', ownermode=0, changes=changes+1 WHERE name=$1",
                   Params().Bytes(path.name).Int4(static_cast<int32_t>(id)).Bytes(layout));
            c->Exec(("DROP TABLE " + before + "; DROP SEQUENCE " + before + "_pos").c_str());
        } else {
            c->Run("INSERT INTO btrkit_files(name, id, spec, owner, ownermode) VALUES($1, $2, $3, '', 0)",
                   Params().Bytes(path.name).Int4(static_cast<int32_t>(id)).Bytes(layout));
        }
        if (own && !inTransaction) c->Commit();
    } catch (...) {
        if (own) {
            c->Rollback();
            joined = nullptr;
        }
        throw;
    }
}

} // namespace

void CreateServerFile(const ServerPath& path, ClientTag client, const Spec& spec, bool replace, bool inTransaction,
                      std::function<void(bool commit)>& joined) {
    OnConnection(client, path.uri, [&](const std::shared_ptr<ServerConnection>& c) { Create(c, path, spec, replace, inTransaction, joined); });
}

} // namespace btr::engine
