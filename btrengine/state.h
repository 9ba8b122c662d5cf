// The engine's state behind the entry points: open files, handles (what a
// position block names), clients and one call's arguments. Everything here is
// guarded by the engine's one mutex, held for the whole of a call except while
// a lock request waits.
#pragma once

#include <array>
#include <chrono>
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

#include "btrengine/locks.h"
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

// One client's standing on one file: its store (which holds the client's
// transaction on the file) and its locks, as every other client, in this
// process or another, sees them.
struct Session {
    std::unique_ptr<LockSession> locks;
    std::unique_ptr<Store> store;
    int handles = 0;
    bool exclusive = false;
    bool inTransaction = false; // the client's transaction changed the file
    std::set<uint32_t> changed; // records it changed, held until it ends
};

// One open Btrieve file, shared by every handle on it in this process.
struct SharedFile {
    FileId id;
    std::string home; // the path its database is opened by, in every process
    std::shared_ptr<LockSpace> space;
    Access access = Access::ReadWrite;
    bool loaded = false; // its layout read and checked
    Spec spec;
    uint64_t specChanges = 0; // the change stamp the owner name was read at
    std::map<ClientKey, std::unique_ptr<Session>> sessions;

    SharedFile() = default;
    SharedFile(const SharedFile&) = delete;
    SharedFile& operator=(const SharedFile&) = delete;
    ~SharedFile();
};

// Rows read ahead along a path, handed out by the next reads in the same
// direction while nothing changed in the file: a scan costs one query per
// batch, and no statement stays open between calls.
struct Cursor {
    int path = -2; // key number, -1 physical order, -2 none
    bool forward = true;
    uint64_t changes = 0; // the file's change stamp when they were read
    std::vector<Row> rows; // the first `count` are this read's
    size_t count = 0, next = 0;
    uint32_t lastPos = 0; // the record handed out last
    uint32_t batch = 1;   // how many rows the next read takes
    Row spare;            // the last row handed out, its room reused by the next
};

struct Handle {
    uint32_t index = 0;
    uint32_t generation = 0;
    bool open = false;
    ClientKey client{};
    std::shared_ptr<SharedFile> file;
    Session* session = nullptr;
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
    std::string image; // the current record as read (at `version`)
    uint32_t singleLock = 0;
    std::set<uint32_t> multiLocks;
    Cursor cursor;

    Store& St() const { return *session->store; }
    LockSession& Locks() const { return *session->locks; }
    uint64_t Changes() const { return session->locks->Changes(); }
    void DropCursor() { cursor = Cursor{}; }
};

struct Client {
    ClientTag tag = NewClientTag();
    int handles = 0;
    bool transaction = false;
    int failed = 0; // the store failed midway through a change of the transaction
    // Files the transaction changed, kept alive until it ends even when
    // every handle on them closed.
    std::map<Session*, std::shared_ptr<SharedFile>> written;
    // What else ends with the transaction (a server file it created).
    std::vector<std::function<void(bool commit)>> ends;
};

// A position block: this magic, the handle's number and generation, and the
// engine's own tag, so that a block of another copy of the engine loaded in
// the process names no handle here.
constexpr char kPosMagic[8] = {'B', 'T', 'R', 'K', 'P', 'O', 'S', '1'};

struct Engine {
    const uint64_t tag = NewClientTag();
    std::recursive_mutex lock;
    std::deque<Handle> handles; // stable addresses; index 0 is never used
    uint32_t generations = 0;   // the last generation given out, for every slot
    int waiting = 0;            // lock requests waiting, each holding on to its handle
    uint64_t moments = 0;       // moves on at every call and every pause: what a store read in an earlier one is old
    std::map<FileId, std::weak_ptr<SharedFile>> files;
    std::map<ClientKey, Client> clients;

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
// The current record, held against every other client while it changes:
// 46 on a read-only handle, 8 without one, 84 when another client locks it,
// 80 when it changed since this handle read it. The hold ends with the
// change, or with the transaction the change joined (records.cpp says when
// a change needs none).
class Changing {
public:
    explicit Changing(Handle& h);
    ~Changing();
    Changing(const Changing&) = delete;
    Changing& operator=(const Changing&) = delete;
    // The record as it is (8 when gone, 80 when changed since the handle read it).
    const Row& Old();
    bool Loaded() const { return FLoaded; }
    // Inside the change: holds the record where the store needs it held.
    void Held();
    // The status of what the store made of the change (0 when done).
    void Check(Outcome outcome);
    // The change is made: one inside a transaction keeps the record held.
    void Done();

private:
    void Hold();

    Handle& FH;
    uint32_t FPos = 0;
    bool FTransaction = false, FHeld = false, FLoaded = false;
    Row FOld;
};
// Writes the record `make` makes of the current one (as the handle read
// it), keys kept in step.
void Rewrite(Handle& h, Changing& changing, const std::function<std::string(const std::string&)>& make);
bool Advance(Handle& h, int path, bool forward, Row& row);
// `deadline`: when a wait ends; the first wait sets it (from a zero value).
bool TakeLock(const Call& c, Handle& h, uint32_t pos, std::chrono::steady_clock::time_point& deadline);
void Unhold(const Call& c, Handle& h, uint32_t pos);
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
