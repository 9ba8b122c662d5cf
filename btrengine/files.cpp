// Files: open (with the file's lock space and the client's session on it),
// close, create with validation, stat and owner names.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <filesystem>
#include <thread>

#include "btrengine/postgres.h"
#include "btrengine/sqlite.h"
#include "btrengine/state.h"

namespace btr::engine {

namespace {

constexpr uint8_t kExclusive = 252, kReadOnlyMode = 254;

std::string PathArg(const Call& c) {
    if (!c.key || c.keyLen == 0) Fail(11);
    const size_t n = strnlen(reinterpret_cast<const char*>(c.key), c.keyLen);
    if (n == 0) Fail(11);
    return std::string(reinterpret_cast<const char*>(c.key), n);
}

std::string OwnerArg(const Call& c) {
    if (!c.data || !c.dataLen || *c.dataLen <= 0) return {};
    const size_t n = strnlen(reinterpret_cast<const char*>(c.data), std::min<size_t>(static_cast<size_t>(*c.dataLen), 8));
    return std::string(reinterpret_cast<const char*>(c.data), n);
}

// What a path names now: nothing (ENOENT), or the file's identity and type.
struct Named {
    int error = 0;
    FileId id;
    mode_t mode = 0;
};
Named Lookup(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return Named{errno == ENOTDIR ? ENOENT : errno, {}, 0};
    return Named{0, FileId{st.st_dev, st.st_ino, {}}, st.st_mode};
}

std::string Absolute(const std::string& path) {
    char buf[PATH_MAX];
    if (::realpath(path.c_str(), buf)) return buf;
    std::error_code ec;
    const auto p = std::filesystem::absolute(path, ec);
    return ec ? path : p.lexically_normal().string();
}

// The name a path gives a file, with its directory resolved but not the
// name itself (a link is replaced, not the file it leads to).
std::string NameOf(const std::string& path) {
    const std::filesystem::path p(path);
    const std::string dir = p.has_parent_path() ? p.parent_path().string() : std::string(".");
    char buf[PATH_MAX];
    if (!::realpath(dir.c_str(), buf)) Fail(errno == EACCES ? 94 : 12);
    return (std::filesystem::path(buf) / p.filename()).string();
}

std::string DirOf(const std::string& absolute) {
    const auto parent = std::filesystem::path(absolute).parent_path();
    return parent.empty() ? std::string("/") : parent.string();
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// A database file shorter than its header says was cut off: refuse it at
// open rather than fail on some later read. SQLite reads the header: a
// descriptor of the engine's own on the file, closed again, would drop the
// locks every connection of this process (of any copy of the engine) holds
// on it.
void CheckWhole(const SharedFile& f, Store& store) {
    struct stat st {};
    if (::stat(f.home.c_str(), &st) != 0) Fail(12);
    std::error_code ec;
    if (std::filesystem::file_size(f.home + "-wal", ec) > 0 && !ec) return; // pages may still be in the log
    try {
        if (st.st_size < LocalDatabaseBytes(store)) Fail(30);
    } catch (const StoreError&) {
        Fail(30);
    }
}

// How this process may use the file at `home` (see Access).
Access AccessOf(const std::string& home) {
    const bool writable = ::faccessat(AT_FDCWD, home.c_str(), W_OK, AT_EACCESS) == 0 &&
                          ::faccessat(AT_FDCWD, DirOf(home).c_str(), W_OK | X_OK, AT_EACCESS) == 0;
    if (writable) return Access::ReadWrite;
    if (Exists(home + "-shm")) return Access::ReadOnly;
    // Without shared memory the log cannot be read, and none may be made:
    // a log that holds changes leaves the file unreadable here.
    std::error_code ec;
    if (std::filesystem::file_size(home + "-wal", ec) > 0 && !ec) Fail(94);
    return Access::Frozen;
}

// Why a file layout is refused, as a status (0: none): create answers it,
// open refuses a stored layout that fails it as no file of ours (30).
int Validate(const Spec& spec) {
    if (spec.pageSize < 512 || spec.pageSize > 16384 || spec.pageSize % 512) return 24;
    if (spec.recordLen < 4) return 28;
    for (const Key& k : spec.keys)
        if (const int st = ValidateKey(k, spec.recordLen, !spec.acs.empty())) return st;
    return 0;
}

// The layout as stored, with the owner name and mode (which another client,
// in any process, may change at any time). Anything that does not fit (no
// spec row, a layout create would refuse, tables that do not match it)
// answers 30.
void LoadSpec(SharedFile& f, Session& s) {
    const bool first = !f.loaded;
    Spec spec;
    try {
        const uint64_t changes = s.locks->Changes();
        std::string bytes, owner;
        int64_t mode = 0;
        if (!s.store->ReadSpec(bytes, owner, mode)) Fail(30);
        if (first) {
            if (!Spec::Parse(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), spec) || Validate(spec)) Fail(30);
        } else {
            spec = f.spec;
        }
        spec.owner = std::move(owner);
        spec.ownerMode = static_cast<int>(mode);
        if (first && !s.store->Fits(spec)) Fail(30);
        f.specChanges = changes;
    } catch (const StoreError& err) {
        Fail(err.status == 2 || err.status == 12 ? 30 : err.status); // not one of our databases
    }
    f.spec = std::move(spec);
    f.loaded = true;
}

// The file's shared state in this process, set up on first use: its lock
// space, the path every process opens it by, and how this process may use it.
std::shared_ptr<SharedFile> FileOf(const std::string& path, FileId id) {
    Engine& e = E();
    if (auto it = e.files.find(id); it != e.files.end())
        if (auto file = it->second.lock()) return file;
    auto file = std::make_shared<SharedFile>();
    file->id = id;
    file->space = LocalLockSpace(id);
    file->home = LocalHome(*file->space, id, Absolute(path));
    file->access = AccessOf(file->home);
    e.files[id] = file;
    return file;
}

// The client's session on the file: its locks now, its connection once the
// file is known not to have been replaced meanwhile.
Session& SessionOf(SharedFile& f, const ClientKey& client) {
    auto& s = f.sessions[client];
    if (!s) {
        auto session = std::make_unique<Session>();
        session->locks = f.space->Join(E().clients[client].tag);
        s = std::move(session);
    }
    return *s;
}

void Connect(SharedFile& f, Session& s) {
    if (s.store) return;
    if (f.access == Access::Frozen && !s.locks->Freeze()) Fail(85); // a change is under way; it would not be seen
    s.store = LocalStore(f.home, f.access, *s.locks);
    if (f.loaded && !s.store->Fits(f.spec)) Fail(30);
}

// Undoes a session that got no handle.
void DropIfUnused(SharedFile& f, const ClientKey& client) {
    auto it = f.sessions.find(client);
    if (it != f.sessions.end() && it->second->handles == 0 && !it->second->inTransaction) f.sessions.erase(it);
}

// A handle on the file for the client, its session joined (and shared) and
// its store connected: the layout loaded, the owner name checked.
int NewHandle(const Call& c, const std::shared_ptr<SharedFile>& file, Session& s, bool exclusive) {
    Engine& e = E();
    if (!file->loaded) {
        LoadSpec(*file, s);
        if (file->id.server.empty()) CheckWhole(*file, *s.store);
    } else if (file->specChanges != s.locks->Changes()) {
        LoadSpec(*file, s);
    }
    bool readOnly = c.keyNum == kReadOnlyMode || file->access != Access::ReadWrite;
    if (!file->spec.owner.empty() && OwnerArg(c) != file->spec.owner) {
        if (file->spec.ownerMode == 1 || file->spec.ownerMode == 3) readOnly = true;
        else Fail(51);
    }
    uint32_t index = 0;
    for (uint32_t i = 1; i < e.handles.size() && !index; ++i)
        if (!e.handles[i].open) index = i;
    if (!index) {
        index = static_cast<uint32_t>(e.handles.size());
        e.handles.emplace_back();
    }
    Handle& h = e.handles[index];
    h = Handle{};
    h.index = index;
    h.generation = ++e.generations ? e.generations : ++e.generations; // 0 is never a generation
    h.open = true;
    h.client = c.client;
    h.file = file;
    h.session = &s;
    h.readOnly = readOnly;
    s.handles++;
    s.exclusive = exclusive;
    e.clients[c.client].handles++;
    std::memset(c.pos, 0, 128);
    std::memcpy(c.pos, kPosMagic, 8);
    Put32(c.pos + 8, index);
    Put32(c.pos + 12, h.generation);
    Put32(c.pos + 16, static_cast<uint32_t>(e.tag));
    Put32(c.pos + 20, static_cast<uint32_t>(e.tag >> 32));
    return 0;
}

// Opens with the session on the file: `connect` checks the file is still
// the one looked up (`replaced` set, 85, when not) and connects its store.
int OpenWith(const Call& c, const std::shared_ptr<SharedFile>& held, const std::function<void(Session&)>& connect) {
    Engine& e = E();
    std::shared_ptr<SharedFile> file = held;
    Session& s = SessionOf(*file, c.client);
    const bool exclusive = c.keyNum == kExclusive;
    bool shared = false;
    try {
        // Exclusive opens: one handle alone on the file, in any process.
        if (s.exclusive || (exclusive && s.handles > 0)) Fail(88);
        if (s.handles == 0) {
            if (!s.locks->Share(exclusive)) Fail(88);
            shared = true;
        }
        connect(s);
        return NewHandle(c, file, s, exclusive);
    } catch (...) {
        try {
            if (shared && s.inTransaction) s.locks->Share(false); // the transaction still holds the file
            else if (shared) s.locks->Unshare();
        } catch (...) {
        }
        DropIfUnused(*file, c.client);
        file.reset();
        e.Forget(c.client);
        throw;
    }
}

int OpenLocal(const Call& c, const std::string& path, bool& replaced) {
    const Named named = Lookup(path);
    if (named.error) Fail(named.error == ENOENT ? 12 : named.error == EACCES ? 94 : 11);
    if (S_ISDIR(named.mode)) Fail(30);
    if (!S_ISREG(named.mode)) Fail(11);
    Engine& e = E();
    e.clients[c.client];
    std::shared_ptr<SharedFile> file;
    try {
        file = FileOf(path, named.id);
    } catch (...) {
        e.Forget(c.client);
        throw;
    }
    return OpenWith(c, file, [&](Session& s) {
        // Shared, the file can no longer be replaced; was it, since it was looked up?
        if (Lookup(path).id != named.id || Lookup(file->home).id != named.id) {
            replaced = true;
            Fail(85);
        }
        Connect(*file, s);
    });
}

int OpenServer(const Call& c, const std::string& path, bool& replaced) {
    ServerPath where;
    if (!SplitServerPath(path, where)) Fail(11);
    Engine& e = E();
    const ClientTag tag = e.clients[c.client].tag;
    std::shared_ptr<SharedFile> file;
    ServerFile found;
    try {
        found = FindServerFile(where, tag);
        if (!found.id.ino) Fail(12);
        auto& known = e.files[found.id];
        file = known.lock();
        if (!file) {
            file = std::make_shared<SharedFile>();
            file->id = found.id;
            file->space = ServerLockSpace(found.id);
            file->home = path;
            known = file;
        }
    } catch (...) {
        e.Forget(c.client);
        throw;
    }
    return OpenWith(c, file, [&](Session& s) {
        // Shared, the file can no longer be replaced; was it, since it was looked up?
        if (FindServerFile(where, tag).id != found.id) {
            replaced = true;
            Fail(85);
        }
        if (!s.store) s.store = ServerStore(file->id, *s.locks);
        if (file->loaded && !s.store->Fits(file->spec)) Fail(30);
    });
}

int OpenOnce(const Call& c, const std::string& path, bool& replaced) {
    return IsServerPath(path) ? OpenServer(c, path, replaced) : OpenLocal(c, path, replaced);
}

// Creates of one name are made one at a time, in every process: a lock in the
// directory's lock space, on a position drawn from the name.
class NameLock {
public:
    explicit NameLock(const std::string& name) {
        const std::string dir = DirOf(name);
        const Named d = Lookup(dir);
        if (d.error || !S_ISDIR(d.mode)) Fail(d.error == EACCES ? 94 : 12);
        FSession = LocalLockSpace(d.id)->Join(NewClientTag());
        FPos = static_cast<uint32_t>(std::hash<std::string>{}(std::filesystem::path(name).filename().string()));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!FSession->Lock(FPos, false)) {
            if (std::chrono::steady_clock::now() > deadline) Fail(85);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

private:
    std::unique_ptr<LockSession> FSession;
    uint32_t FPos = 0;
};

// What a file that is about to be replaced still has in its log goes into
// the file first (other links to it keep it whole), and the new file must
// not be given the old file's log.
void Settle(const std::string& path, const std::string& name) {
    const std::string home = Absolute(path);
    std::error_code ec;
    if (std::filesystem::file_size(home + "-wal", ec) > 0 && !ec) {
        try {
            CheckpointLocal(home);
        } catch (const StoreError&) {
        }
    }
    for (const std::string& base : {home, name})
        for (const char* suffix : {"-wal", "-shm"}) std::filesystem::remove(base + suffix, ec);
}

} // namespace

SharedFile::~SharedFile() {
    sessions.clear(); // connections close before the lock space goes
    Engine& e = E();
    if (auto it = e.files.find(id); it != e.files.end() && it->second.expired()) e.files.erase(it);
}

int Open(const Call& c) {
    if (!c.pos) Fail(23);
    const std::string path = PathArg(c);
    // A create may replace the file between its lookup and the open; the
    // open then starts again with the new file.
    for (int attempt = 0;; ++attempt) {
        bool replaced = false;
        try {
            return OpenOnce(c, path, replaced);
        } catch (const Status&) {
            if (!replaced || attempt == 10) throw;
        }
    }
}

void CloseHandle(Handle& h) {
    ReleaseAllLocks(h);
    std::shared_ptr<SharedFile> file = std::move(h.file);
    Session& s = *h.session;
    const ClientKey client = h.client;
    const uint32_t index = h.index, generation = h.generation;
    h = Handle{};
    h.index = index;
    h.generation = generation;
    Engine& e = E();
    e.clients[client].handles--;
    if (--s.handles == 0) {
        s.exclusive = false;
        // The session goes with its last handle (and with it everything it
        // holds), unless its transaction still holds changes there: then it
        // keeps the file open until the transaction ends.
        DropIfUnused(*file, client);
    }
    file.reset();
    e.Forget(client);
}

int Close(Handle& h) {
    CloseHandle(h);
    E().TrimHandles();
    return 0;
}

int Create(const Call& c) {
    const std::string path = PathArg(c);
    if (!c.HasData(16)) Fail(22);
    Spec spec;
    if (Get16(c.data + 4) > 119 || !Spec::Parse(c.data, static_cast<size_t>(*c.dataLen), spec)) Fail(26);
    if (const int st = Validate(spec)) Fail(st);
    if (IsServerPath(path)) {
        ServerPath where;
        if (!SplitServerPath(path, where)) Fail(11);
        Engine& e = E();
        Client& client = e.clients[c.client];
        std::function<void(bool)> joined;
        try {
            CreateServerFile(where, client.tag, spec, c.keyNum != 255, client.transaction, joined);
        } catch (...) {
            e.Forget(c.client);
            throw;
        }
        if (joined) client.ends.push_back(std::move(joined));
        e.Forget(c.client);
        return 0;
    }
    const std::string name = NameOf(path);
    const NameLock nameLock(name);
    const Named old = Lookup(path);
    const bool exists = old.error != ENOENT;
    if (exists && (old.error || !S_ISREG(old.mode))) Fail(11); // a directory or a device is no file to replace
    if (exists && c.keyNum == 255) Fail(59);
    // Held until the new file is in place: nobody, in any process, has the
    // old file open or opens it meanwhile.
    std::unique_ptr<LockSession> oldHeld;
    if (exists) {
        oldHeld = LocalLockSpace(old.id)->Join(NewClientTag());
        if (!oldHeld->Share(true)) Fail(88);
    }
    // The file is built under a name of its own and renamed into place once
    // complete, so a crash leaves either the old file or the new one, never
    // a half-made one.
    const std::string building = name + ".new";
    std::error_code ec;
    auto removeBuilding = [&] {
        for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(building + suffix, ec);
    };
    removeBuilding(); // what a killed create left
    try {
        BuildLocalFile(building, spec);
        if (exists) Settle(path, name);
        else Settle(name, name); // a log left beside a name that has no file
        if (::rename(building.c_str(), name.c_str()) != 0) {
            const int err = errno;
            removeBuilding();
            Fail(err == ENOENT ? 12 : err == EACCES || err == EROFS ? 94 : 18);
        }
        removeBuilding();
    } catch (const StoreError& err) {
        removeBuilding();
        Fail(err.status == 12 ? 12 : err.status == 46 ? 94 : 18);
    }
    return 0;
}

int Stat(const Call& c, Handle& h) {
    if (!c.data || !c.dataLen) Fail(22);
    std::vector<uint8_t> b = h.file->spec.Serialize();
    Put32(b.data() + 6, h.St().Count());
    const size_t n = std::min<size_t>(b.size(), static_cast<size_t>(c.Capacity()));
    std::memcpy(c.data, b.data(), n);
    c.Returned(static_cast<int32_t>(n));
    if (c.key) std::memset(c.key, 0, c.keyLen);
    return n < b.size() ? 22 : 0;
}

int Owner(const Call& c, Handle& h, bool set) {
    std::string owner = OwnerArg(c);
    SharedFile& f = *h.file;
    if (f.specChanges != h.Changes()) LoadSpec(f, *h.session); // another client may have set or cleared it
    if (set) {
        if (!f.spec.owner.empty()) Fail(50);
        if (owner.empty() || c.keyNum > 3) Fail(41);
    } else {
        if (f.spec.owner.empty()) return 0;
        if (owner != f.spec.owner) Fail(51);
        owner.clear();
    }
    const int64_t mode = set ? c.keyNum : 0;
    Write(h, [&] { h.St().SetOwner(owner, mode); });
    f.spec.owner = owner;
    f.spec.ownerMode = static_cast<int>(mode);
    f.specChanges = h.Changes();
    return 0;
}

} // namespace btr::engine
