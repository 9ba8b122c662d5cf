// The single way to the engine (BTRV), the engine's client identifiers (one
// per thread, reference-counted) and the two free engine checks.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/threads.h"

namespace btr {

#pragma pack(push, 1)
// The engine's client identifier: twelve zero bytes, "KL", a thread number.
struct TClient_ID {
    uint8_t networkandnode[12];
    char applicationID[2];
    int16_t threadID; // little-endian on the platforms we build for
};
// Three entries of version, revision and platform character.
struct VersionData {
    struct Entry {
        uint16_t ver;
        uint16_t rev;
        char os;
    } entries[3];
};
#pragma pack(pop)
static_assert(sizeof(TClient_ID) == 16);
static_assert(sizeof(VersionData) == 15);

// Status BTRV answers when the engine library or its entry is missing.
constexpr int16_t kEngineNotLoaded = 10000;

int16_t BTRV(int16_t Op, void* PosBlock, void* DataBuf, int32_t& DataLen, void* KeyBuf, uint8_t KeyLen,
             uint8_t KeyNum, TClient_ID& ClientThreadID);

// Names the engine library to bind instead of "WBTRV32.DLL" (libwbtrv32.so
// beside libbtrkit). The one configuration point; takes effect at the next
// binding, so call it before the first request.
void SetEngineLibrary(const std::string& path);
// True once an engine is bound.
bool EngineBound();

// Another engine library bound beside the process-wide one, which it never
// touches: a vendor's client library that reads files btrkit's engine cannot,
// say. File objects use it through TBtrieveFile::SetEngine. It outlives
// every file object using it; when it goes, every client that used it is
// stopped (operation 25). The library itself stays loaded for the life of
// the process: an engine may keep threads, exit handlers or state for the
// process that must not lose their code.
class TEngineLibrary {
public:
    // Raises Exception when the library cannot be loaded or exports no
    // BTRCALLID. A name without '/' is looked up as LoadLibrary does.
    explicit TEngineLibrary(const std::string& Path);
    ~TEngineLibrary();
    TEngineLibrary(const TEngineLibrary&) = delete;
    TEngineLibrary& operator=(const TEngineLibrary&) = delete;

    int16_t Call(int16_t Op, void* PosBlock, void* DataBuf, int32_t& DataLen, void* KeyBuf, uint8_t KeyLen,
                 uint8_t KeyNum, TClient_ID& ClientThreadID);
    const std::string& Path() const { return FPath; }

private:
    using TEntry = int16_t (*)(uint16_t, void*, void*, int32_t*, void*, uint8_t, uint8_t, void*);

    std::string FPath;
    TEntry FEntry = nullptr;
    std::mutex FLock; // guards FClients
    std::vector<TClient_ID> FClients;
};

struct TBtrieveClient {
    uint32_t ThreadID = 0;
    TClient_ID ClientThreadID{};
    int32_t Counter = 0;
};

class TBTrieveClientList {
public:
    TBTrieveClientList() = default;
    ~TBTrieveClientList();
    TBTrieveClientList(const TBTrieveClientList&) = delete;
    TBTrieveClientList& operator=(const TBTrieveClientList&) = delete;

    // The calling thread's identifier, created on its first acquisition.
    // The address stays valid until that thread's acquisitions are released.
    TClient_ID* AddThread();
    // Releases one acquisition; the last one tells the engine to drop the
    // client (operation 25). Raises for a thread that holds none.
    void FreeThread();

    int Count();
    // Both raise ERangeError for an index outside the list.
    TBtrieveClient* GetItems(int Index);
    int32_t FindByThreadID(uint32_t ThreadID);
    void Delete(int Index);
    void Clear();

private:
    TClient_ID GetFreeClientThreadID();
    void CheckIndex(int Index) const;

    TCriticalSection FLock;
    std::vector<std::unique_ptr<TBtrieveClient>> FList;
};

// The process's client list; exists between the package's start and stop.
extern TBTrieveClientList* ClientList;

TClient_ID* AddClientID();
void FreeClientID();

// Ends the application's message loop with exit code 999 when the engine
// cannot answer.
void CheckForBtrieve();
// The engine's version; all zero when it cannot answer.
void GetBtrieveVersion(VersionData& V);

// Package unit hooks: mark the engine unbound and create the client list;
// destroy the list and unload the engine.
void InitEngineUnit();
void FinalizeEngineUnit();

} // namespace btr
