// One Btrieve file kept as an SQLite database: its layout as created, its
// records (physical position, version, bytes) and one index table per key.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <unordered_map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "btrengine/keys.h"

namespace btr::engine {

// The file's layout (the create buffer) as created.
struct Spec {
    uint16_t recordLen = 0;
    uint16_t pageSize = 0;
    uint16_t fileFlags = 0;
    uint16_t freePages = 0;
    uint8_t dupPointers = 0;
    std::vector<Key> keys;
    std::vector<Segment> segments; // every segment in key order, as given
    std::vector<uint8_t> acs;      // 265 bytes or empty
    std::string owner;
    int ownerMode = 0;

    bool VariableLength() const { return fileFlags & 1; }
    const uint8_t* AcsTable() const { return acs.size() == 265 ? acs.data() + 9 : nullptr; }
    std::vector<uint8_t> Serialize() const;
    static bool Parse(const uint8_t* p, size_t n, Spec& out);
};

// An SQLite failure that the entry point turns into a status.
struct StoreError {
    int status;
};

// How a process may use a file's database: write it; only read it (no write
// permission, read-only directory or media: nothing is created beside it);
// read it as it stands, when there is no shared memory beside it to read the
// log through and none may be made (changes by others are held off meanwhile).
enum class Access { ReadWrite, ReadOnly, Frozen };

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
    // Puts the database in write-ahead-log mode when it is not (the mode
    // every file is created in).
    void KeepLog();

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
    ~Query();
    Query& Bind(int i, int64_t v);
    Query& Bind(int i, const std::string& blob);
    Query& Bind(int i, const void* p, size_t n);
    bool Step(); // true while a row is there
    void Run();
    int64_t Int(int col) const;
    std::string Blob(int col) const;
    void Blob(int col, std::string& out) const; // into a string kept for it

private:
    sqlite3_stmt* FStmt;
};

int StatusOf(int sqliteCode);

} // namespace btr::engine
