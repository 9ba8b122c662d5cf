// One Btrieve file kept as an SQLite database: its layout as created, its
// records (physical position, version, bytes) and one index table per key.
#pragma once

#include <sqlite3.h>

#include <cstdint>
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

// A connection to one file's database; prepared statements are kept.
class Conn {
public:
    Conn(const std::string& path, bool create);
    ~Conn();
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;

    sqlite3* Db() const { return FDb; }
    // A prepared statement for the text, reset.
    sqlite3_stmt* Stmt(const std::string& sql);
    void Exec(const char* sql);
    // Runs a statement without results through the statement cache.
    void Run(const char* sql);

    bool inTransaction = false; // a client transaction holds this connection's write lock

private:
    sqlite3* FDb = nullptr;
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

private:
    sqlite3_stmt* FStmt;
};

int StatusOf(int sqliteCode);

} // namespace btr::engine
