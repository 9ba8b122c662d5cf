// Files: open with the process lock beside the file, close, create with
// validation, stat and owner names.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "btrengine/state.h"

namespace btr::engine {

namespace {

constexpr char kMagic[8] = {'B', 'T', 'R', 'K', 'P', 'O', 'S', '1'};

std::string Canonical(const std::string& path) {
    std::error_code ec;
    auto p = std::filesystem::weakly_canonical(path, ec);
    return ec ? path : p.string();
}

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

// Takes the lock beside the file that keeps other processes out; -1 when the
// directory allows no lock file (read-only media: nobody can write there).
int LockBeside(const std::string& path) {
    const std::string lockPath = path + ".lck";
    int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) fd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        Fail(85); // another process has it open
    }
    return fd;
}

// A database file shorter than its header says was cut off: refuse it at
// open rather than fail on some later read.
void CheckWhole(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) Fail(12);
    uint8_t header[100];
    const ssize_t n = ::pread(fd, header, sizeof header, 0);
    struct stat st {};
    const bool statted = ::fstat(fd, &st) == 0;
    ::close(fd);
    if (n != static_cast<ssize_t>(sizeof header) || !statted || std::memcmp(header, "SQLite format 3", 16) != 0) Fail(30);
    const uint32_t pageSize = header[16] << 8 | header[17];
    const uint32_t pages = uint32_t(header[28]) << 24 | uint32_t(header[29]) << 16 | uint32_t(header[30]) << 8 | header[31];
    std::error_code ec;
    const auto wal = std::filesystem::file_size(path + "-wal", ec);
    const bool walHolds = !ec && wal > 0; // pages may still be in the log
    if (!walHolds && static_cast<uint64_t>(st.st_size) < uint64_t{pageSize == 1 ? 65536 : pageSize} * pages) Fail(30);
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

// The layout as stored. Anything that does not fit (no spec row, a layout
// create would refuse, tables that do not match it) is no file of ours: 30.
void LoadSpec(Conn& c, Spec& spec, FileSql& sql) {
    Query q(c, "SELECT bytes, owner, ownermode FROM spec WHERE id=1");
    if (!q.Step()) Fail(30);
    const std::string b = q.Blob(0);
    if (!Spec::Parse(reinterpret_cast<const uint8_t*>(b.data()), b.size(), spec) || Validate(spec)) Fail(30);
    spec.owner = q.Blob(1);
    spec.ownerMode = static_cast<int>(q.Int(2));
    sql = FileSql(spec);
    // Every statement of the layout prepares: the tables match it.
    for (const std::string* s : {&sql.readRecord, &sql.insertRecord}) c.Stmt(*s);
    for (const auto* list : {&sql.nextSeq, &sql.taken, &sql.addEntry, &sql.removeEntry})
        for (const std::string& s : *list) c.Stmt(s);
}

std::shared_ptr<SharedFile> OpenShared(const Call& c, const std::string& path, const std::string& canon) {
    auto file = std::make_shared<SharedFile>();
    file->path = path;
    file->canon = canon;
    file->lockFd = LockBeside(path);
    CheckWhole(path);
    try {
        auto conn = std::make_unique<Conn>(path, false);
        LoadSpec(*conn, file->spec, file->sql);
        file->conns[c.client] = std::move(conn);
    } catch (const StoreError& err) {
        Fail(err.status == 2 || err.status == 12 ? 30 : err.status); // not one of our databases
    }
    return file;
}

} // namespace

SharedFile::~SharedFile() {
    conns.clear();
    if (lockFd >= 0) ::close(lockFd);
    Engine& e = E();
    if (auto it = e.files.find(canon); it != e.files.end() && it->second.expired()) e.files.erase(it);
}

int Open(const Call& c) {
    if (!c.pos) Fail(23);
    const std::string path = PathArg(c);
    std::error_code ec;
    const auto type = std::filesystem::status(path, ec).type();
    if (type == std::filesystem::file_type::not_found) Fail(12);
    if (ec || type != std::filesystem::file_type::regular) Fail(type == std::filesystem::file_type::directory ? 30 : 11);
    Engine& e = E();
    const std::string canon = Canonical(path);
    std::shared_ptr<SharedFile> file;
    if (auto it = e.files.find(canon); it != e.files.end()) file = it->second.lock();
    if (!file) file = OpenShared(c, path, canon);
    const uint8_t mode = c.keyNum;
    if (file->exclusive || (mode == 252 && file->handles > 0)) Fail(88);
    bool readOnly = mode == 254;
    if (!file->spec.owner.empty() && OwnerArg(c) != file->spec.owner) {
        if (file->spec.ownerMode == 1 || file->spec.ownerMode == 3) readOnly = true;
        else Fail(51);
    }
    auto& conn = file->conns[c.client];
    if (!conn) conn = std::make_unique<Conn>(path, false);
    uint32_t index = 0;
    for (uint32_t i = 1; i < e.handles.size() && !index; ++i)
        if (!e.handles[i].open) index = i;
    if (!index) {
        index = static_cast<uint32_t>(e.handles.size());
        e.handles.emplace_back();
    }
    Handle& h = e.handles[index];
    // Generations are drawn for the whole table, so a slot given back and
    // made again never repeats one a stale block may hold.
    const uint32_t generation = ++e.generations ? e.generations : ++e.generations;
    h = Handle{};
    h.index = index;
    h.generation = generation;
    h.open = true;
    h.client = c.client;
    h.file = file;
    h.conn = conn.get();
    h.readOnly = readOnly;
    file->handles++;
    if (mode == 252) file->exclusive = true;
    e.files[canon] = file;
    e.clients[c.client].handles++;
    std::memset(c.pos, 0, 128);
    std::memcpy(c.pos, kMagic, 8);
    Put32(c.pos + 8, index);
    Put32(c.pos + 12, generation);
    return 0;
}

void CloseHandle(Handle& h) {
    ReleaseAllLocks(h);
    h.FinalizeStatements();
    std::shared_ptr<SharedFile> file = std::move(h.file);
    Conn* conn = h.conn;
    const ClientKey client = h.client;
    const uint32_t index = h.index, generation = h.generation;
    h = Handle{};
    h.index = index;
    h.generation = generation;
    if (--file->handles == 0) file->exclusive = false;
    Engine& e = E();
    e.clients[client].handles--;
    // A client's connection goes with its last handle on the file, unless its
    // transaction still holds changes there.
    bool last = !conn->inTransaction;
    for (const Handle& other : e.handles)
        if (other.open && other.file == file && other.client == client) last = false;
    if (last) file->conns.erase(client);
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
    std::error_code ec;
    const auto type = std::filesystem::status(path, ec).type();
    const bool exists = type != std::filesystem::file_type::not_found;
    if (exists && type != std::filesystem::file_type::regular) Fail(11); // a directory or a device is no file to replace
    if (exists && c.keyNum == 255) Fail(59);
    if (auto it = E().files.find(Canonical(path)); it != E().files.end() && !it->second.expired())
        Fail(88); // open in this process
    // Held until the new file is in place: no other process opens or
    // creates it meanwhile.
    struct Held {
        int fd;
        ~Held() {
            if (fd >= 0) ::close(fd);
        }
    } lock{LockBeside(path)};
    // The file is built under a name of its own and renamed into place once
    // complete, so a crash leaves either the old file or the new one, never
    // a half-made one.
    const std::string building = path + ".new";
    auto removeBuilding = [&] {
        for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(building + suffix, ec);
    };
    removeBuilding(); // what a killed create left
    try {
        {
            Conn conn(building, true);
            conn.Exec("BEGIN");
            conn.Exec("CREATE TABLE spec(id INTEGER PRIMARY KEY, bytes BLOB NOT NULL, owner BLOB NOT NULL, "
                      "ownermode INTEGER NOT NULL)");
            // Beside each record, the sequence of its entry on every key: a
            // record finds its own entries without an index on position.
            std::string rec = "CREATE TABLE rec(pos INTEGER PRIMARY KEY, ver INTEGER NOT NULL, data BLOB NOT NULL";
            for (size_t k = 0; k < spec.keys.size(); ++k) rec += ", s" + std::to_string(k) + " INTEGER NOT NULL";
            conn.Exec((rec + ")").c_str());
            for (size_t k = 0; k < spec.keys.size(); ++k) {
                const std::string t = KeyTable(static_cast<int>(k));
                conn.Exec(("CREATE TABLE " + t + "(kv BLOB NOT NULL, seq INTEGER NOT NULL, pos INTEGER NOT NULL, " +
                           "PRIMARY KEY(kv, seq)) WITHOUT ROWID").c_str());
            }
            const std::vector<uint8_t> bytes = spec.Serialize();
            Query(conn, "INSERT INTO spec VALUES(1, ?, ?, 0)").Bind(1, bytes.data(), bytes.size()).Bind(2, std::string()).Run();
            conn.Exec("COMMIT");
            conn.Exec("PRAGMA wal_checkpoint(TRUNCATE)"); // everything in the file itself before it moves
        }
        // The old file's log must not be applied to the new file.
        for (const char* suffix : {"-wal", "-shm"}) std::filesystem::remove(path + suffix, ec);
        if (::rename(building.c_str(), path.c_str()) != 0) {
            removeBuilding();
            Fail(errno == ENOENT ? 12 : 18);
        }
        removeBuilding();
    } catch (const StoreError& err) {
        removeBuilding();
        Fail(err.status == 12 ? 12 : 18);
    }
    return 0;
}

int Stat(const Call& c, Handle& h) {
    if (!c.data || !c.dataLen) Fail(22);
    std::vector<uint8_t> b = h.file->spec.Serialize();
    Query q(*h.conn, "SELECT count(*) FROM rec");
    Put32(b.data() + 6, q.Step() ? static_cast<uint32_t>(q.Int(0)) : 0);
    const size_t n = std::min<size_t>(b.size(), static_cast<size_t>(c.Capacity()));
    std::memcpy(c.data, b.data(), n);
    c.Returned(static_cast<int32_t>(n));
    if (c.key) std::memset(c.key, 0, c.keyLen);
    return n < b.size() ? 22 : 0;
}

int Owner(const Call& c, Handle& h, bool set) {
    std::string owner = OwnerArg(c);
    SharedFile& f = *h.file;
    if (set) {
        if (!f.spec.owner.empty()) Fail(50);
        if (owner.empty() || c.keyNum > 3) Fail(41);
    } else {
        if (f.spec.owner.empty()) return 0;
        if (owner != f.spec.owner) Fail(51);
        owner.clear();
    }
    const int64_t mode = set ? c.keyNum : 0;
    Write(h, [&] { Query(*h.conn, "UPDATE spec SET owner=?, ownermode=? WHERE id=1").Bind(1, owner).Bind(2, mode).Run(); });
    f.spec.owner = owner;
    f.spec.ownerMode = static_cast<int>(mode);
    return 0;
}

} // namespace btr::engine
