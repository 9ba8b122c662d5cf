// What clients of one file hold against each other, wherever they run: open
// modes, record locks, the file's transaction lock, the waits between them,
// and a stamp that moves with every change. The engine's rules sit above this
// interface; a store supplies it (the local store: byte-range locks on one
// lock file per file, shared by every process of the machine).
#pragma once

#include <sys/types.h>

#include <compare>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace btr::engine {

// A file as the system knows it: links and other paths to it give the same
// id. A server's file: its server and database, and its number there.
struct FileId {
    uint64_t dev = 0, ino = 0;
    std::string server;
    auto operator<=>(const FileId&) const = default;
};

// A client as every process sees it: unique on the machine while it lives.
using ClientTag = uint64_t;

// One client's standing on one file. Everything it takes is released when it
// is destroyed, and when its process ends, however it ends.
class LockSession {
public:
    virtual ~LockSession() = default;

    // The file's change stamp as this client sees it: it moves with every
    // change another client made since (see LockSpace::Changes).
    virtual uint64_t Changes() = 0;
    // A stamp no newer than the file as it is now: Changes(), or one the
    // session read before, where asking again costs a round trip. What is
    // read after it and found unchanged against a later Changes() is current.
    virtual uint64_t KnownChanges() { return Changes(); }

    // Open modes: every normal open shares the file, an exclusive open needs
    // it alone. False when another client's open stands in the way.
    virtual bool Share(bool exclusive) = 0;
    virtual void Unshare() = 0;

    // Record locks by physical position. The client's holds are counted: the
    // lock goes when the last of them is dropped. False when another client
    // holds the record. A lock that is not `named` is held only for the
    // moment of a change: nobody waiting for it needs to know whose it is.
    virtual bool Lock(uint32_t pos, bool named) = 0;
    virtual void Unlock(uint32_t pos) = 0;
    virtual bool LockedByOther(uint32_t pos) = 0;
    // No client, this one included, holds a lock on `pos` (or on any
    // position from `pos` on).
    virtual bool Free(uint32_t pos) = 0;
    virtual bool FreeFrom(uint32_t pos) = 0;

    // For a wait on `pos`: the client holding it, then the clients that one
    // waits for in turn (as far as they are known); empty when nobody else
    // holds it any more.
    virtual std::vector<ClientTag> HolderChain(uint32_t pos) = 0;
    // Tells the others whom this client waits for (empty: it waits no more).
    virtual void Waiting(const std::vector<ClientTag>& chain) = 0;

    // The file's transaction lock, held from a transaction's first change of
    // the file to its end. False when another client's transaction has it.
    virtual bool LockTransaction() = 0;
    virtual void UnlockTransaction() = 0;
    virtual bool TransactionByOther() = 0;

    // A change is under way, from its start to its end (for a transaction:
    // from its first change of the file to its end). False when a reader
    // that cannot see changes (a file it reads as frozen) stands in the way.
    virtual bool BeginWrite(bool transaction) = 0;
    virtual void EndWrite() = 0;
    // Whether another client is changing the file now (a transaction or a
    // single change): what it writes may land at any moment.
    virtual bool OtherWriting() = 0;
    // Whether any client of the file takes record locks. While none does, a
    // single change need not hold its record (a client about to lock one
    // first waits out the changes under way: UnheldChangeUnderWay).
    virtual bool Lockers() = 0;
    virtual bool UnheldChangeUnderWay() = 0;

    // A reader that sees the file as it stood at open: no change may be made
    // while it reads. False when a change is under way.
    virtual bool Freeze() = 0;
};

// One file's lock space as this process sees it.
class LockSpace {
public:
    virtual ~LockSpace() = default;
    // Moves with every change any client of any process makes; compared
    // before anything read earlier is trusted again.
    virtual uint64_t Changes() const = 0;
    virtual void Changed() = 0;
    virtual std::unique_ptr<LockSession> Join(ClientTag client) = 0;
};

// The local store's lock space of a file (or of a directory, whose record
// locks then stand for names in it); throws Status when it cannot be set up.
std::shared_ptr<LockSpace> LocalLockSpace(FileId id);

// The path every process opens a file by, so that they share one log beside
// it whatever link they came through: the one already in use while it still
// reaches the file, else `path`.
std::string LocalHome(LockSpace& space, FileId id, const std::string& path);

// A fresh client tag, unique on the machine.
ClientTag NewClientTag();

// Whether some client, in any process, waits for a lock on the file: what a
// test waits for before it lets the holder go.
bool LocalWaiting(FileId id);

} // namespace btr::engine
