// The entry points: one call at a time under the engine's mutex, dispatched by
// operation code; clients, their transactions and their end.
#include "btrengine/state.h"

namespace btr::engine {

namespace {

bool IsBegin(uint16_t op) {
    for (uint16_t base : {uint16_t{19}, uint16_t{1019}})
        if (op >= base && op <= base + 400 && (op - base) % 100 == 0) return true;
    return false;
}

// Operations a lock bias may be added to.
bool Lockable(uint16_t op) {
    return (op >= 5 && op <= 13) || (op >= 55 && op <= 63) || op == 23 || op == 24 || (op >= 33 && op <= 39) || op == 44;
}

// Ends a client's transaction in every file it changed: each file's changes
// are applied (or undone) whole, then its transaction lock goes.
void Finish(const ClientKey& key, Client& client, bool commit) {
    int failed = commit ? client.failed : 0;
    commit = commit && !failed;
    for (auto& [session, file] : client.written) {
        if (commit) {
            try {
                session->store->Commit();
            } catch (const StoreError& e) {
                failed = e.status;
            } catch (...) {
                failed = 2;
            }
        }
        session->store->Rollback(); // what did not commit (nothing, once committed)
        file->space->Changed();
        session->inTransaction = false;
        for (uint32_t pos : session->changed) session->locks->Unlock(pos);
        session->changed.clear();
        session->locks->EndWrite();
        session->locks->UnlockTransaction();
        if (session->handles == 0) file->sessions.erase(key); // its handles closed during the transaction
    }
    client.written.clear();
    for (auto& end : client.ends) {
        try {
            end(commit && !failed);
        } catch (const StoreError& e) {
            if (!failed) failed = e.status;
        }
    }
    client.ends.clear();
    client.transaction = false;
    client.failed = 0;
    if (failed) Fail(failed);
}

int Begin(const Call& c) {
    Client& client = E().clients[c.client];
    if (client.transaction) Fail(37);
    client.transaction = true;
    return 0;
}

int End(const Call& c, bool commit) {
    auto it = E().clients.find(c.client);
    if (it == E().clients.end() || !it->second.transaction) Fail(39);
    try {
        Finish(c.client, it->second, commit);
    } catch (...) {
        E().Forget(c.client);
        throw;
    }
    E().Forget(c.client);
    return 0;
}

// Stop and reset: the client's transaction is undone, its files closed (which
// releases its locks) and the client forgotten.
int Stop(const Call& c) {
    Engine& e = E();
    if (auto it = e.clients.find(c.client); it != e.clients.end() && it->second.transaction)
        Finish(c.client, it->second, false);
    for (Handle& h : e.handles)
        if (h.open && h.client == c.client) CloseHandle(h);
    e.clients.erase(c.client);
    e.TrimHandles();
    return 0;
}

int Version(const Call& c) {
    if (!c.HasData(15)) Fail(22);
    // Three entries of version (2), revision (2), platform (1): this engine's
    // own numbering, platform 'L' (Linux).
    const uint8_t v[15] = {1, 0, 0, 0, 'L', 1, 0, 0, 0, 'L', 1, 0, 0, 0, 'L'};
    std::memcpy(c.data, v, sizeof v);
    c.Returned(sizeof v);
    return 0;
}

int Dispatch(Call& c) {
    uint16_t op = c.op;
    if (IsBegin(op)) return Begin(c);
    switch (op) {
    case 0: return Open(c);
    case 14: return Create(c);
    case 20: return End(c, true);
    case 21: return End(c, false);
    case 25: case 28: return Stop(c);
    case 26: return Version(c);
    default: break;
    }
    if (op >= 100 && op < 500) {
        c.bias = op / 100 * 100;
        op = static_cast<uint16_t>(op % 100);
        if (!Lockable(op)) return 1;
    }
    const bool known = op <= 13 || op == 15 || op == 22 || op == 23 || op == 24 || op == 27 || op == 29 || op == 30 ||
                       (op >= 33 && op <= 39) || op == 44 || op == 45 || op == 53 || (op >= 55 && op <= 63);
    if (!known) return 1;
    Handle& h = HandleOf(c);
    // A server that can no longer be reached took the client's locks and
    // transaction with it: nothing but a close means anything on its files.
    if (op != 1 && h.St().Lost()) Fail(95);
    switch (op) {
    case 1: return Close(h);
    case 2: return Insert(c, h);
    case 3: return Update(c, h);
    case 4: return Delete(h);
    case 15: return Stat(c, h);
    case 22: return GetPosition(c, h);
    case 23: return GetDirect(c, h);
    case 24: case 33: case 34: case 35: return Step(c, h, op);
    case 27: return Unlock(c, h);
    case 29: return Owner(c, h, true);
    case 30: return Owner(c, h, false);
    case 36: case 37: case 38: case 39: return Extended(c, h, op);
    case 44: return GetByPercentage(c, h);
    case 45: return FindPercentage(c, h);
    case 53: return UpdateChunks(c, h);
    default: break;
    }
    if (op >= 55) return KeyedGet(c, h, op - 50, true);
    return KeyedGet(c, h, op, false);
}

int16_t Entry(uint16_t op, void* posBlock, void* dataBuf, int32_t* dataLen, void* keyBuf, uint8_t keyLen,
              uint8_t keyNum, const void* clientId) {
    // The default client of BTRCALL: a fixed identifier no thread of the
    // library draws (its ids carry a nonzero thread part).
    static const ClientKey kDefaultClient{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'D', 'F', 0, 0};
    Call c{op, static_cast<uint8_t*>(posBlock), static_cast<uint8_t*>(dataBuf), dataLen, static_cast<uint8_t*>(keyBuf),
           keyLen, keyNum, kDefaultClient};
    if (clientId) std::memcpy(c.client.data(), clientId, c.client.size());
    std::unique_lock guard(E().lock);
    E().moments++;
    c.guard = &guard;
    try {
        return static_cast<int16_t>(Dispatch(c));
    } catch (const Status& s) {
        return static_cast<int16_t>(s.code);
    } catch (const StoreError& s) {
        return static_cast<int16_t>(s.status);
    } catch (const std::bad_alloc&) {
        return 18;
    } catch (...) {
        return 2;
    }
}

} // namespace

Engine& E() {
    static Engine* e = new Engine; // lives as long as the process: no teardown order to get wrong
    return *e;
}

void Engine::Forget(const ClientKey& key) {
    auto it = clients.find(key);
    if (it != clients.end() && it->second.handles == 0 && !it->second.transaction) clients.erase(it);
}

void Engine::TrimHandles() {
    if (waiting) return; // a waiting request still refers to its handle, open or not
    while (handles.size() > 1 && !handles.back().open) handles.pop_back();
}

// Every refusal of an operation is found before its first write, so a change
// never needs undoing by itself; what can still fail midway is the store
// (a full disk, an I/O error). Outside a transaction that rolls the one
// change back; inside one it spoils the whole transaction, which then can
// only be aborted: its end answers the failure.
//
// The change stamp moves before and after, so that nothing read from the
// file before the change is trusted after it, in this process or another.
void Write(Handle& h, const std::function<void()>& change) {
    if (h.readOnly) Fail(46);
    Client& client = E().clients[h.client];
    Session& s = *h.session;
    LockSpace& space = *h.file->space;
    Store& store = *s.store;
    if (client.transaction) {
        if (client.failed) Fail(client.failed);
        if (!s.inTransaction) {
            // Another client's transaction that changed the file, or a
            // reader that cannot see changes, keeps this one out: 85.
            if (!s.locks->LockTransaction()) Fail(85);
            if (!s.locks->BeginWrite(true)) {
                s.locks->UnlockTransaction();
                Fail(85);
            }
            try {
                store.Begin(true);
            } catch (...) {
                s.locks->EndWrite();
                s.locks->UnlockTransaction();
                throw;
            }
            s.inTransaction = true;
            client.written[&s] = h.file;
        }
        space.Changed();
        try {
            change();
        } catch (const StoreError& e) {
            client.failed = e.status;
            throw;
        }
        space.Changed();
        return;
    }
    if (!s.locks->BeginWrite(false)) Fail(85);
    space.Changed();
    try {
        store.Begin(false);
        try {
            change();
            store.Commit();
        } catch (...) {
            store.Rollback();
            throw;
        }
    } catch (...) {
        space.Changed();
        s.locks->EndWrite();
        throw;
    }
    space.Changed();
    s.locks->EndWrite();
}

} // namespace btr::engine

extern "C" {
__attribute__((visibility("default"))) int16_t BTRCALLID(uint16_t op, void* posBlock, void* dataBuf, int32_t* dataLen,
                                                         void* keyBuf, uint8_t keyLen, uint8_t keyNum, void* clientId) {
    return btr::engine::Entry(op, posBlock, dataBuf, dataLen, keyBuf, keyLen, keyNum, clientId);
}

__attribute__((visibility("default"))) int16_t BTRCALL(uint16_t op, void* posBlock, void* dataBuf, int32_t* dataLen,
                                                       void* keyBuf, uint8_t keyLen, uint8_t keyNum) {
    return btr::engine::Entry(op, posBlock, dataBuf, dataLen, keyBuf, keyLen, keyNum, nullptr);
}
}
