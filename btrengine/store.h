// What the engine's rules stand on: a file's layout as created, and a store
// that keeps the file's records and key entries. The rules (statuses,
// currency, validation, the ordered key encoding, record locks and their
// waits) are written once above this interface; each store supplies it:
// the local store on SQLite (sqlite.cpp), the server store on PostgreSQL
// (postgres.cpp).
#pragma once

#include <cstdint>
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

// A failure of the store that the entry point turns into a status.
struct StoreError {
    int status;
};

// How a process may use a file (the local store; a server file is ReadWrite):
// write it; only read it (no write permission, read-only directory or media:
// nothing is created beside it); read it as it stands, when there is no
// shared memory beside it to read the log through and none may be made
// (changes by others are held off meanwhile).
enum class Access { ReadWrite, ReadOnly, Frozen };

// A record as the store holds it.
struct Row {
    std::string kv; // the entry's key value and sequence, on the path it was read along
    int64_t seq = 0;
    uint32_t pos = 0;
    int64_t version = 0;
    std::string data;
    std::vector<int64_t> seqs; // per key, when read by position
};

// Where a scan starts. Beyond: past the entry (kv, seq); on a key with
// duplicates that is the rest of its value (Same), then the values after it.
enum class From { Start, AtOrAfter, After, Beyond, Same };

// What became of a change of a record the handle read at a version.
enum class Outcome {
    Done,
    Gone,    // no record at the position
    Changed, // another version than the one read
    Locked,  // another client holds the record
};

// A key whose entry a rewrite moves: the encoded value before and after
// (nullopt: no entry, a null key).
struct KeyMove {
    int k;
    std::optional<std::string> before, after;
};

// One client's access to one file's records. Reads may come at any time;
// changes come between Begin and Commit (or Rollback), one write each when
// not in a transaction.
class Store {
public:
    virtual ~Store() = default;

    // The stored layout (create buffer, owner name and mode); false when the
    // store holds none for the file.
    virtual bool ReadSpec(std::string& bytes, std::string& owner, int64_t& ownerMode) = 0;
    // Whether what is stored matches the layout (false: no file of ours).
    virtual bool Fits(const Spec& spec) = 0;

    // The record at a position: version, bytes and per key its sequence.
    virtual std::optional<Row> Read(uint32_t pos) = 0;
    // Entries along a path (-1: physical order) from a place, appended to
    // `rows` from row `n` on, until `limit` rows or `maxBytes` bytes of
    // records; answers the file's change stamp (as the lock session gives it)
    // the rows are current at (for a single row, which nothing keeps, it may
    // answer 0).
    virtual uint64_t Scan(int path, bool forward, From from, const std::string& kv, int64_t seq, uint32_t pos,
                          uint32_t limit, size_t maxBytes, std::vector<Row>& rows, uint32_t& n) = 0;
    virtual uint32_t Count() = 0;
    // The first or last entry of a path: the encoded key, or for physical
    // order (-1) the position as 8 big-endian bytes; nullopt when empty.
    virtual std::optional<std::string> Edge(int path, bool last) = 0;

    // A change: alone (its own transaction) or the first of a client's
    // transaction in this file, which then lasts until Commit or Rollback.
    virtual void Begin(bool transaction) = 0;
    virtual void Commit() = 0;
    virtual void Rollback() noexcept = 0;
    // Another record holding `kv` on unique key k. A store whose Replace
    // refuses such a value itself (answering 5, nothing written) may answer
    // false for a change that is not part of a transaction.
    virtual bool Taken(int k, const std::string& kv, uint32_t self) = 0;
    // A new record with its key entries (nullopt: not indexed on that key);
    // its position, version and sequences go to `row`. False, with nothing
    // written, when a unique key already holds its value.
    virtual bool Insert(const std::string& data, const std::vector<std::optional<std::string>>& kvs, Row& row) = 0;
    // The record at `pos`, still at `version`, gets new bytes and the moved
    // entries; its new version and sequences go to `row` (whose seqs are
    // those of every key).
    virtual Outcome Replace(uint32_t pos, int64_t version, const std::string& data, const std::vector<KeyMove>& moves,
                            Row& row) = 0;
    virtual Outcome Remove(uint32_t pos, int64_t version, const std::vector<std::optional<std::string>>& kvs) = 0;
    virtual void SetOwner(const std::string& owner, int64_t mode) = 0;

    // The store can no longer be reached (a lost connection): every request
    // on the file answers 95 from then on.
    virtual bool Lost() const { return false; }
};

} // namespace btr::engine
