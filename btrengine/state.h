// The engine's state behind the entry points: open files, handles (what a
// position block names), clients and one call's arguments. Everything here is
// guarded by the engine's one mutex, held for the whole of a call except while
// a lock request waits.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "btrengine/store.h"

namespace btr::engine {

using ClientKey = std::array<uint8_t, 16>;

constexpr uint8_t kPhysical = 255; // key number of physical order

inline uint32_t Get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint64_t Get64(const uint8_t* p) { return uint64_t(Get32(p)) | uint64_t(Get32(p + 4)) << 32; }
inline void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// An operation's answer other than 0, thrown from deep inside an operation.
struct Status {
    int code;
};
[[noreturn]] inline void Fail(int code) { throw Status{code}; }

// The statements of one file's layout, composed once at open.
struct FileSql {
    std::string readRecord, insertRecord;
    std::vector<std::string> nextSeq, taken, addEntry, removeEntry; // per key

    explicit FileSql(const Spec& spec = {});
};

// One open Btrieve file, shared by every handle on it in this process.
struct SharedFile {
    std::string path;  // as first opened
    std::string canon; // the key in the engine's file table
    Spec spec;
    FileSql sql;
    int lockFd = -1; // the process's exclusive lock beside the file
    int handles = 0;
    bool exclusive = false;
    // Bumped by every change, so a handle's stepping statement knows whether
    // it may go on.
    uint64_t changes = 0;
    uint32_t nextPos = 0; // the next record's position; 0 until first needed
    // Record locks: position -> indexes of the handles holding it.
    std::map<uint32_t, std::set<uint32_t>> locks;
    std::map<ClientKey, std::unique_ptr<Conn>> conns;

    SharedFile() = default;
    SharedFile(const SharedFile&) = delete;
    SharedFile& operator=(const SharedFile&) = delete;
    ~SharedFile();
};

// A statement kept stepping along a path between calls, so that a scan does
// not start a fresh query for every record.
struct Cursor {
    sqlite3_stmt* stmt = nullptr; // one of the handle's own statements, mid-scan
    int path = -2;                // key number, -1 physical order
    bool forward = true;
    uint64_t changes = 0; // the file's counter when it started
    uint32_t lastPos = 0; // the record it read last
};

struct Handle {
    uint32_t index = 0;
    uint32_t generation = 0;
    bool open = false;
    ClientKey client{};
    std::shared_ptr<SharedFile> file;
    Conn* conn = nullptr;
    bool readOnly = false;
    // Logical currency: the key path and where the handle stands on it.
    int keyNum = -1;
    bool logical = false;
    std::string kv;
    int64_t seq = 0;
    // The current record (0: none, as after a delete) and its version as
    // read; the physical position survives a delete so steps go on.
    uint32_t pos = 0;
    uint32_t ppos = 0;
    uint32_t lpos = 0; // the record of the logical position
    int64_t version = -1;
    uint32_t singleLock = 0;
    std::set<uint32_t> multiLocks;
    Cursor cursor;
    std::map<std::string, sqlite3_stmt*> stmts; // prepared on conn, for cursors

    sqlite3_stmt* Statement(const std::string& sql);
    void DropCursor();
    void FinalizeStatements();
};

struct Client {
    int handles = 0;
    bool transaction = false;
    int failed = 0; // the store failed midway through a change of the transaction
    // Files whose write lock the transaction holds, kept alive until it ends
    // even when every handle on them closed.
    std::map<Conn*, std::shared_ptr<SharedFile>> written;
};

struct Engine {
    std::recursive_mutex lock;
    std::deque<Handle> handles; // stable addresses; index 0 is never used
    uint32_t generations = 0;   // the last generation given out, for every slot
    int waiting = 0;            // lock requests waiting, each holding on to its handle
    std::map<std::string, std::weak_ptr<SharedFile>> files;
    std::map<ClientKey, Client> clients;
    std::map<ClientKey, ClientKey> waitsFor; // lock waits, to refuse a cycle

    Engine() { handles.emplace_back(); }
    // Forgets a client with nothing open and no transaction.
    void Forget(const ClientKey& client);
    // Gives back the closed slots at the end of the handle table.
    void TrimHandles();
};

Engine& E();

// Everything one call brings.
struct Call {
    uint16_t op;
    uint8_t* pos;
    uint8_t* data;
    int32_t* dataLen;
    uint8_t* key;
    uint8_t keyLen;
    uint8_t keyNum;
    ClientKey client;
    int bias = 0; // lock bias 100..400
    std::unique_lock<std::recursive_mutex>* guard = nullptr;

    bool HasData(int32_t atLeast = 0) const { return data && dataLen && *dataLen >= atLeast; }
    int32_t Capacity() const { return dataLen && *dataLen > 0 ? *dataLen : 0; }
    void Returned(int32_t n) const {
        if (dataLen) *dataLen = n;
    }
};

// A record as the store holds it.
struct Row {
    std::string kv;
    int64_t seq = 0;
    uint32_t pos = 0;
    int64_t version = 0;
    std::string data;
    std::vector<int64_t> seqs; // per key, when read by position
};

std::string KeyTable(int k);

// files.cpp
int Open(const Call& c);
int Close(Handle& h);
void CloseHandle(Handle& h);
int Create(const Call& c);
int Stat(const Call& c, Handle& h);
int Owner(const Call& c, Handle& h, bool set);

// records.cpp
Handle& HandleOf(const Call& c);
int Insert(const Call& c, Handle& h);
int Update(const Call& c, Handle& h);
int Delete(Handle& h);
int KeyedGet(const Call& c, Handle& h, int op, bool keyOnly);
int Step(const Call& c, Handle& h, int op);
int GetPosition(const Call& c, Handle& h);
int GetDirect(const Call& c, Handle& h);
int FindPercentage(const Call& c, Handle& h);
int GetByPercentage(const Call& c, Handle& h);
int Unlock(const Call& c, Handle& h);
void ReleaseAllLocks(Handle& h);
// Shared with the chunk and extended operations.
std::optional<Row> ReadRecord(const Handle& h, uint32_t pos);
Row CurrentForChange(Handle& h);
void Rewrite(Handle& h, const Row& old, const std::string& rec);
bool Advance(Handle& h, int path, bool forward, Row& row);
void TakeLock(const Call& c, Handle& h, uint32_t pos);
void SetLogical(Handle& h, const Row& row, int path);

// extended.cpp
int GetChunks(const Call& c, Handle& h);
int UpdateChunks(const Call& c, Handle& h);
int Extended(const Call& c, Handle& h, int op);

// engine.cpp
// Runs a change atomically: inside the client's transaction (holding the
// file's write lock until it ends), else as a transaction of its own.
void Write(Handle& h, const std::function<void()>& change);

} // namespace btr::engine
