// The local store: one Btrieve file kept as one SQLite database, with its
// layout as created, its records (physical position, version, bytes) and one
// index table per key.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "btrengine/store.h"

namespace btr::engine {

class LockSession;

// A connection to one file's database; prepared statements are kept.
class Conn {
public:
    Conn(const std::string& path, Access access = Access::ReadWrite, bool create = false);
    ~Conn();
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;

    sqlite3* Db() const { return FDb; }
    // A prepared statement for the text, reset.
    sqlite3_stmt* Stmt(const std::string& sql);
    void Exec(const char* sql);
    // Runs a statement without results through the statement cache.
    void Run(const char* sql);

    // Starts a write transaction (the database's write lock).
    void Begin();

    // Asked while another connection holds a lock this one needs (`writing`:
    // the write lock): true to wait on, for a bounded time; false to give up.
    std::function<bool(bool writing)> mayWait;

private:
    static int Busy(void* self, int count);

    bool FBeginning = false;

    sqlite3* FDb = nullptr;
    std::chrono::steady_clock::time_point FBusySince;
    std::unordered_map<std::string, sqlite3_stmt*> FStmts;
};

// Statement helpers; every SQLite error becomes StoreError.
class Query {
public:
    Query(Conn& c, const std::string& sql);
    explicit Query(sqlite3_stmt* st) : FStmt(st) {} // one of the connection's, reset after every use
    ~Query();
    Query& Bind(int i, int64_t v);
    Query& Bind(int i, const std::string& blob);
    Query& Bind(int i, const void* p, size_t n);
    Query& Text(int i, const char* text); // kept alive by the caller
    bool Step(); // true while a row is there
    void Run();
    int64_t Int(int col) const;
    std::string Blob(int col) const;
    void Blob(int col, std::string& out) const; // into a string kept for it

private:
    sqlite3_stmt* FStmt;
};

int StatusOf(int sqliteCode);

// A client's store of the file at `home`, on the client's lock session there
// (positions a lock stands on are passed over; writes wait for each other).
std::unique_ptr<Store> LocalStore(const std::string& home, Access access, LockSession& locks);

// The bytes the database's header says it has (page size times count).
int64_t LocalDatabaseBytes(Store& store);

// Builds an empty file of the layout at `path` (a new database).
void BuildLocalFile(const std::string& path, const Spec& spec);

// Moves what a log beside `path` still holds into the file.
void CheckpointLocal(const std::string& path);

} // namespace btr::engine
