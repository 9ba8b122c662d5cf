#include "engine/btrv.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <random>

#include "platform/dynlib.h"
#include "platform/exceptions.h"
#include "platform/ui.h"

namespace btr {

namespace {

using TEntry = int16_t (*)(uint16_t op, void* posBlock, void* dataBuf, int32_t* dataLen, void* keyBuf,
                           uint8_t keyLen, uint8_t keyNum, void* clientId);

// The binding takes no lock: concurrent first calls may each load the
// library; the first to publish wins and the others drop their extra load.
std::atomic<TEntry> gEntry{nullptr};
std::atomic<TLibHandle> gLibrary{nullptr};

std::mutex gNameLock; // guards only the configured name
std::string gLibraryName = "WBTRV32.DLL";

std::string LibraryName() {
    std::lock_guard lock(gNameLock);
    return gLibraryName;
}

TEntry Bind() {
    TLibHandle lib = LoadLibrary(LibraryName());
    if (!lib) return nullptr;
    auto entry = reinterpret_cast<TEntry>(GetProcAddress(lib, "BTRCALLID"));
    if (!entry) {
        FreeLibrary(lib);
        return nullptr;
    }
    TEntry expected = nullptr;
    if (gEntry.compare_exchange_strong(expected, entry)) {
        gLibrary.store(lib);
        return entry;
    }
    FreeLibrary(lib); // another thread bound first
    return expected;
}

TBTrieveClientList& Clients() {
    if (!ClientList) throw Exception("The Btrieve client list is not initialised");
    return *ClientList;
}

} // namespace

TBTrieveClientList* ClientList = nullptr;

int16_t BTRV(int16_t Op, void* PosBlock, void* DataBuf, int32_t& DataLen, void* KeyBuf, uint8_t KeyLen,
             uint8_t KeyNum, TClient_ID& ClientThreadID) {
    TEntry entry = gEntry.load();
    if (!entry && !(entry = Bind())) return kEngineNotLoaded;
    return entry(static_cast<uint16_t>(Op), PosBlock, DataBuf, &DataLen, KeyBuf, KeyLen, KeyNum, &ClientThreadID);
}

void SetEngineLibrary(const std::string& path) {
    std::lock_guard lock(gNameLock);
    gLibraryName = path;
}

bool EngineBound() { return gEntry.load() != nullptr; }

// ---- a second engine -------------------------------------------------------

TEngineLibrary::TEngineLibrary(const std::string& Path) : FPath(Path) {
    TLibHandle library = LoadLibrary(Path);
    if (!library) throw Exception("Cannot load the engine library \"" + Path + "\"");
    FEntry = reinterpret_cast<TEntry>(GetProcAddress(library, "BTRCALLID"));
    if (!FEntry) {
        FreeLibrary(library);
        throw Exception("The library \"" + Path + "\" exports no BTRCALLID");
    }
}

TEngineLibrary::~TEngineLibrary() {
    // Its files closed, transactions aborted and locks released: nothing is
    // left held for others once the binding goes.
    for (TClient_ID& client : FClients) {
        int32_t len = 0;
        FEntry(25, nullptr, nullptr, &len, nullptr, 255, 0, &client);
    }
}

int16_t TEngineLibrary::Call(int16_t Op, void* PosBlock, void* DataBuf, int32_t& DataLen, void* KeyBuf, uint8_t KeyLen,
                             uint8_t KeyNum, TClient_ID& ClientThreadID) {
    {
        std::lock_guard lock(FLock);
        const bool known = std::any_of(FClients.begin(), FClients.end(), [&](const TClient_ID& c) {
            return std::memcmp(&c, &ClientThreadID, sizeof c) == 0;
        });
        if (!known) FClients.push_back(ClientThreadID);
    }
    return FEntry(static_cast<uint16_t>(Op), PosBlock, DataBuf, &DataLen, KeyBuf, KeyLen, KeyNum, &ClientThreadID);
}

// ---- clients -------------------------------------------------------------

TBTrieveClientList::~TBTrieveClientList() { Clear(); }

int TBTrieveClientList::Count() {
    TLockGuard lock(FLock);
    return static_cast<int>(FList.size());
}

// Indexes are checked like the host's lists check theirs.
void TBTrieveClientList::CheckIndex(int Index) const {
    if (Index < 0 || static_cast<size_t>(Index) >= FList.size())
        throw ERangeError("Client list index out of bounds (" + std::to_string(Index) + ")");
}

TBtrieveClient* TBTrieveClientList::GetItems(int Index) {
    CheckIndex(Index);
    return FList[static_cast<size_t>(Index)].get();
}

int32_t TBTrieveClientList::FindByThreadID(uint32_t ThreadID) {
    for (size_t i = 0; i < FList.size(); ++i)
        if (FList[i]->ThreadID == ThreadID) return static_cast<int32_t>(i);
    return -1;
}

void TBTrieveClientList::Delete(int Index) {
    CheckIndex(Index);
    FList.erase(FList.begin() + Index);
}

void TBTrieveClientList::Clear() { FList.clear(); }

TClient_ID TBTrieveClientList::GetFreeClientThreadID() {
    static std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<int> draw(0, 32767);
    TClient_ID id{};
    id.applicationID[0] = 'K';
    id.applicationID[1] = 'L';
    for (;;) {
        id.threadID = static_cast<int16_t>(draw(random));
        bool taken = false;
        for (const auto& c : FList) taken = taken || c->ClientThreadID.threadID == id.threadID;
        if (!taken) return id;
    }
}

TClient_ID* TBTrieveClientList::AddThread() {
    TLockGuard lock(FLock);
    const uint32_t tid = GetCurrentThreadId();
    int32_t index = FindByThreadID(tid);
    if (index < 0) {
        auto client = std::make_unique<TBtrieveClient>();
        client->ThreadID = tid;
        client->ClientThreadID = GetFreeClientThreadID();
        FList.push_back(std::move(client));
        index = static_cast<int32_t>(FList.size() - 1);
    }
    TBtrieveClient& c = *FList[static_cast<size_t>(index)];
    ++c.Counter;
    return &c.ClientThreadID;
}

void TBTrieveClientList::FreeThread() {
    TLockGuard lock(FLock);
    const int32_t index = FindByThreadID(GetCurrentThreadId());
    if (index < 0) throw Exception("Error in BTrieve session manager. Unknown session could not be disposed.");
    TBtrieveClient& c = *FList[static_cast<size_t>(index)];
    if (--c.Counter > 0) return;
    int32_t len = 0;
    BTRV(25, nullptr, nullptr, len, nullptr, 255, 0, c.ClientThreadID); // status ignored
    Delete(index);
}

TClient_ID* AddClientID() { return Clients().AddThread(); }
void FreeClientID() { Clients().FreeThread(); }

void CheckForBtrieve() {
    TClient_ID* client = AddClientID();
    uint8_t posBlock[128] = {};
    uint8_t data[162] = {};
    uint8_t key[1] = {};
    int32_t len = sizeof data;
    if (BTRV(26, posBlock, data, len, key, 0, 0, *client) != 0) PostQuitMessage(999);
    FreeClientID();
}

void GetBtrieveVersion(VersionData& V) {
    TClient_ID* client = AddClientID();
    uint8_t posBlock[128] = {};
    uint8_t key[1] = {};
    int32_t len = sizeof V;
    if (BTRV(26, posBlock, &V, len, key, 0, 0, *client) != 0) std::memset(&V, 0, sizeof V);
    FreeClientID();
}

// The list is owned through the plain pointer: the unload hook may run after
// the library's static objects are destroyed, so none may own it.
void InitEngineUnit() {
    gEntry.store(nullptr);
    ClientList = new TBTrieveClientList;
}

void FinalizeEngineUnit() {
    delete ClientList; // entries go without engine calls
    ClientList = nullptr;
    gEntry.store(nullptr);
    if (TLibHandle lib = gLibrary.exchange(nullptr)) FreeLibrary(lib);
}

} // namespace btr
