// The local store's lock space: one lock file per file, named by its device
// and inode in a directory every process of the machine shares, locked by
// open-file-description byte ranges (F_OFD_SETLK). Each client holds its own
// open file description, so two clients of one process conflict exactly as
// two processes do, and everything a process held goes when it ends.
//
// Bytes of the lock file (the locks reach past its end; only the first pages
// hold data, mapped by every process):
//
//   0         alive: read-locked by every user of the file; the last one
//             takes it for writing and removes the file
//   1         home: held while the path the file is opened by is chosen
//   2         open: read-locked by each client with the file open, write-locked
//             by an exclusive open
//   3         transaction: a client's transaction has changed the file
//   5         frozen: read-locked by readers that cannot see changes
//   2^20 + s  slot s in use (one slot per client on the file)
//   2^32 + p  record lock on position p
//   2^33 + s * 2^32 + p
//             slot s holds the lock on p (who to follow when waiting)
//
// Mapped data: the change stamp, the highest slot used, the number of frozen
// readers, the home path, and per slot the client's tag, whether it is
// changing the file and the chain of clients it waits for.
#include "btrengine/locks.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <ctime>
#include <filesystem>
#include <mutex>

#include "btrengine/state.h"

namespace btr::engine {

namespace {

constexpr off_t kAlive = 0, kHome = 1, kOpen = 2, kTxn = 3, kFrozen = 5;
constexpr off_t kSlotBase = off_t{1} << 20;
constexpr off_t kRecordBase = off_t{1} << 32;
constexpr off_t kHolderBase = off_t{1} << 33;

constexpr uint32_t kSlots = 1024;
constexpr size_t kHeader = 4096;
constexpr size_t kSlotSize = 128;
// A slot's words: the client's tag, writing (while it changes the file:
// kSingle for a change of its own, kInTransaction from a transaction's first
// change to its end), the length of its wait chain, the chain.
constexpr size_t kTagAt = 0, kWritingAt = 1, kChainLenAt = 2, kChainAt = 3;
constexpr size_t kChainMax = kSlotSize / 8 - kChainAt;
constexpr uint64_t kSingle = 1, kInTransaction = 2;
constexpr size_t kMapSize = kHeader + kSlots * kSlotSize;
constexpr size_t kHomeMax = kHeader - 64 - 8;

constexpr char kMagic[8] = {'B', 'T', 'R', 'K', 'L', 'C', 'K', '1'};

// Header fields (offsets into the mapping). The frozen count says when a
// writer must look for frozen readers at all (a count a dead reader left
// costs a look, the lock itself decides); the lockers count, whether any
// client takes record locks (one a dead client left costs writers a lock each).
constexpr size_t kStampAt = 8, kHighAt = 16, kHomeLenAt = 24, kFrozenAt = 32, kLockersAt = 40, kHomeAt = 64;

const char* LockDir() {
    // tmpfs where there is one: the files are small, change often and need
    // not outlive the machine's uptime.
    static const char* const dir = [] {
        struct stat st {};
        return ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm/btrkit-locks" : "/tmp/btrkit-locks";
    }();
    return dir;
}

int StatusOfErrno(int err) { return err == EACCES || err == EPERM ? 94 : err == ENOSPC || err == ENOMEM ? 18 : 2; }

// One byte-range request on an open file description.
bool Range(int fd, int cmd, short type, off_t start, off_t len = 1) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = len;
    for (;;) {
        if (::fcntl(fd, cmd, &fl) == 0) return cmd != F_OFD_GETLK || fl.l_type == F_UNLCK;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EACCES) return false;
        Fail(StatusOfErrno(errno));
    }
}
bool Try(int fd, short type, off_t at, off_t len = 1) { return Range(fd, F_OFD_SETLK, type, at, len); }
void Wait(int fd, short type, off_t at) { Range(fd, F_OFD_SETLKW, type, at); }
void Drop(int fd, off_t at, off_t len = 1) { Range(fd, F_OFD_SETLK, F_UNLCK, at, len); }
// True when another open file description holds a lock that a write lock on
// the range would meet.
bool Taken(int fd, off_t at, off_t len = 1) { return !Range(fd, F_OFD_GETLK, F_WRLCK, at, len); }

std::string LockPath(FileId id) {
    char name[64];
    std::snprintf(name, sizeof name, "/%llx-%llx", static_cast<unsigned long long>(id.dev),
                  static_cast<unsigned long long>(id.ino));
    return LockDir() + std::string(name);
}

// The shared directory: made by whoever comes first, writable by everyone,
// sticky, so users share it and none removes another's files.
void MakeLockDir() {
    const char* dir = LockDir();
    struct stat st {};
    if (::lstat(dir, &st) == 0) {
        if (!S_ISDIR(st.st_mode)) Fail(94);
        return;
    }
    if (::mkdir(dir, 01777) != 0 && errno != EEXIST) Fail(StatusOfErrno(errno));
    ::chmod(dir, 01777); // past the umask
}

// Opens the lock file with the alive byte read-locked: a file that the last
// user removed meanwhile is left for a new one.
int OpenLockFile(const std::string& path) {
    MakeLockDir();
    for (int attempt = 0; attempt < 100; ++attempt) {
        int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0 && errno == ENOENT) {
            fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_CREAT | O_EXCL, 0666);
            if (fd < 0 && errno == EEXIST) continue;
            if (fd >= 0) ::fchmod(fd, 0666); // every user locks it, whatever the creator's umask
        }
        if (fd < 0) Fail(StatusOfErrno(errno));
        try {
            Wait(fd, F_RDLCK, kAlive);
            struct stat mine {}, named {};
            if (::fstat(fd, &mine) == 0 && ::stat(path.c_str(), &named) == 0 && mine.st_ino == named.st_ino &&
                mine.st_dev == named.st_dev) {
                if (static_cast<size_t>(mine.st_size) < kMapSize && ::ftruncate(fd, kMapSize) != 0)
                    Fail(StatusOfErrno(errno));
                return fd;
            }
        } catch (...) {
            ::close(fd);
            throw;
        }
        ::close(fd);
    }
    Fail(2);
}

// Removes the lock files nobody uses: those of processes that ended with
// files open, and of files since deleted. A file whose home still has a log
// beside it is kept, as the last user keeps it.
void Sweep() {
    const std::string dir = LockDir();
    std::error_code ec;
    size_t seen = 0;
    for (auto it = std::filesystem::directory_iterator(dir, ec); !ec && it != std::filesystem::directory_iterator();
         it.increment(ec)) {
        if (++seen > 4096) break; // a bounded start-up cost; the next process goes on
        const std::string path = it->path().string();
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0) continue;
        try {
            if (Try(fd, F_WRLCK, kAlive)) {
                uint64_t n = 0;
                char home[kHomeMax];
                const bool read = ::pread(fd, &n, sizeof n, kHomeLenAt) == sizeof n && n <= kHomeMax &&
                                  ::pread(fd, home, n, kHomeAt) == static_cast<ssize_t>(n);
                struct stat wal {};
                const bool logLeft = read && n > 0 && ::stat((std::string(home, n) + "-wal").c_str(), &wal) == 0 &&
                                     wal.st_size > 0;
                if (!logLeft) ::unlink(path.c_str());
            }
        } catch (const Status&) {
        }
        ::close(fd);
    }
}

class LocalSession;

class LocalSpace final : public LockSpace, public std::enable_shared_from_this<LocalSpace> {
public:
    explicit LocalSpace(FileId id) : FId(id), FPath(LockPath(id)) {
        FFd = OpenLockFile(FPath);
        void* map = ::mmap(nullptr, kMapSize, PROT_READ | PROT_WRITE, MAP_SHARED, FFd, 0);
        if (map == MAP_FAILED) {
            const int err = errno;
            ::close(FFd);
            Fail(StatusOfErrno(err));
        }
        FMap = static_cast<uint8_t*>(map);
        // A new file is zeros: the magic marks it as laid out. Writing it
        // twice does no harm.
        if (std::memcmp(FMap, kMagic, sizeof kMagic) != 0) std::memcpy(FMap, kMagic, sizeof kMagic);
    }
    ~LocalSpace() override {
        // The last user removes the file, unless a log beside the file's home
        // still holds changes: the home must be found again by whoever
        // opens the file next, through whatever link.
        const std::string home = HomeText();
        ::munmap(FMap, kMapSize);
        struct stat wal {};
        const bool logLeft = !home.empty() && ::stat((home + "-wal").c_str(), &wal) == 0 && wal.st_size > 0;
        try {
            if (!logLeft && Try(FFd, F_WRLCK, kAlive)) ::unlink(FPath.c_str());
        } catch (const Status&) {
        }
        ::close(FFd);
    }
    LocalSpace(const LocalSpace&) = delete;
    LocalSpace& operator=(const LocalSpace&) = delete;

    uint64_t Changes() const override { return __atomic_load_n(U64(kStampAt), __ATOMIC_ACQUIRE); }
    void Changed() override { __atomic_add_fetch(U64(kStampAt), 1, __ATOMIC_ACQ_REL); }
    std::unique_ptr<LockSession> Join(ClientTag client) override;

    uint64_t* U64(size_t at) const { return reinterpret_cast<uint64_t*>(FMap + at); }
    uint64_t* Slot(uint32_t s) const { return U64(kHeader + s * kSlotSize); }
    const std::string& Path() const { return FPath; }
    int Fd() const { return FFd; }
    FileId Id() const { return FId; }

    std::string HomeText() const {
        const uint64_t n = std::min<uint64_t>(__atomic_load_n(U64(kHomeLenAt), __ATOMIC_ACQUIRE), kHomeMax);
        return std::string(reinterpret_cast<const char*>(FMap + kHomeAt), n);
    }
    void SetHome(const std::string& home) {
        const size_t n = std::min(home.size(), kHomeMax);
        std::memcpy(FMap + kHomeAt, home.data(), n);
        __atomic_store_n(U64(kHomeLenAt), n, __ATOMIC_RELEASE);
    }

private:
    FileId FId;
    std::string FPath;
    int FFd = -1;
    uint8_t* FMap = nullptr;
};

class LocalSession final : public LockSession {
public:
    LocalSession(std::shared_ptr<LocalSpace> space, ClientTag client) : FSpace(std::move(space)), FClient(client) {
        FFd = ::open(FSpace->Path().c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (FFd < 0) Fail(StatusOfErrno(errno));
        try {
            for (uint32_t s = 0; s < kSlots && FSlot == kNoSlot; ++s)
                if (Try(FFd, F_WRLCK, kSlotBase + s)) FSlot = s;
        } catch (...) {
            ::close(FFd);
            throw;
        }
        if (FSlot == kNoSlot) { // more clients on this file than it has slots
            ::close(FFd);
            Fail(85);
        }
        uint64_t* slot = FSpace->Slot(FSlot);
        // A writer that died mid-change left its mark here: what anyone read
        // meanwhile is not trusted again.
        if (__atomic_exchange_n(&slot[kWritingAt], 0, __ATOMIC_SEQ_CST)) FSpace->Changed();
        __atomic_store_n(&slot[kChainLenAt], 0, __ATOMIC_RELEASE);
        __atomic_store_n(&slot[kTagAt], FClient, __ATOMIC_RELEASE);
        uint64_t* high = FSpace->U64(kHighAt);
        for (uint64_t h = __atomic_load_n(high, __ATOMIC_ACQUIRE); h < FSlot + 1u;)
            if (__atomic_compare_exchange_n(high, &h, FSlot + 1u, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) break;
    }
    ~LocalSession() override {
        if (FFrozen) Thaw();
        if (FCounted) __atomic_sub_fetch(FSpace->U64(kLockersAt), 1, __ATOMIC_SEQ_CST);
        uint64_t* slot = FSpace->Slot(FSlot);
        __atomic_store_n(&slot[kChainLenAt], 0, __ATOMIC_RELEASE);
        __atomic_store_n(&slot[kTagAt], 0, __ATOMIC_RELEASE);
        ::close(FFd); // every lock of this open file description goes with it
    }
    LocalSession(const LocalSession&) = delete;
    LocalSession& operator=(const LocalSession&) = delete;

    uint64_t Changes() override { return FSpace->Changes(); }
    bool Share(bool exclusive) override { return Try(FFd, exclusive ? F_WRLCK : F_RDLCK, kOpen); }
    void Unshare() override { Drop(FFd, kOpen); }

    bool Lock(uint32_t pos, bool named) override {
        if (named && !FCounted) { // before its first lock: writers hold their records from now on
            __atomic_add_fetch(FSpace->U64(kLockersAt), 1, __ATOMIC_SEQ_CST);
            FCounted = true;
        }
        Hold& hold = FHolds[pos];
        if (hold.count == 0 && !Try(FFd, F_WRLCK, kRecordBase + pos)) {
            FHolds.erase(pos);
            return false;
        }
        if (named && !hold.named) { // this slot's own byte: nobody else takes it
            Try(FFd, F_WRLCK, HolderByte(FSlot, pos));
            hold.named = true;
        }
        ++hold.count;
        return true;
    }
    void Unlock(uint32_t pos) override {
        auto it = FHolds.find(pos);
        if (it == FHolds.end() || --it->second.count > 0) return;
        if (it->second.named) Drop(FFd, HolderByte(FSlot, pos));
        Drop(FFd, kRecordBase + pos);
        FHolds.erase(it);
    }
    bool LockedByOther(uint32_t pos) override { return Taken(FFd, kRecordBase + pos); }
    bool Free(uint32_t pos) override { return !FHolds.count(pos) && !LockedByOther(pos); }
    bool FreeFrom(uint32_t pos) override {
        return FHolds.lower_bound(pos) == FHolds.end() && !Taken(FFd, kRecordBase + pos, kRecordBase - pos);
    }

    std::vector<ClientTag> HolderChain(uint32_t pos) override {
        std::vector<ClientTag> chain;
        if (!LockedByOther(pos)) return chain;
        const uint32_t high = static_cast<uint32_t>(
            std::min<uint64_t>(__atomic_load_n(FSpace->U64(kHighAt), __ATOMIC_ACQUIRE), kSlots));
        for (uint32_t s = 0; s < high; ++s) {
            if (s == FSlot || !Taken(FFd, HolderByte(s, pos))) continue;
            const uint64_t* slot = FSpace->Slot(s);
            const ClientTag holder = __atomic_load_n(&slot[kTagAt], __ATOMIC_ACQUIRE);
            if (!holder) continue;
            chain.push_back(holder);
            const uint64_t n = std::min<uint64_t>(__atomic_load_n(&slot[kChainLenAt], __ATOMIC_ACQUIRE), kChainMax);
            for (uint64_t i = 0; i < n; ++i) chain.push_back(__atomic_load_n(&slot[kChainAt + i], __ATOMIC_RELAXED));
            break;
        }
        return chain;
    }
    void Waiting(const std::vector<ClientTag>& chain) override {
        uint64_t* slot = FSpace->Slot(FSlot);
        const size_t n = std::min(chain.size(), kChainMax);
        __atomic_store_n(&slot[kChainLenAt], 0, __ATOMIC_RELEASE);
        for (size_t i = 0; i < n; ++i) __atomic_store_n(&slot[kChainAt + i], chain[i], __ATOMIC_RELAXED);
        __atomic_store_n(&slot[kChainLenAt], n, __ATOMIC_RELEASE);
    }

    bool LockTransaction() override { return Try(FFd, F_WRLCK, kTxn); }
    void UnlockTransaction() override { Drop(FFd, kTxn); }
    bool TransactionByOther() override { return Taken(FFd, kTxn); }

    // Marked in the slot, before the change begins and until it is done,
    // with no system call: a reader that finds the mark keeps nothing read
    // ahead (the change may land any moment); one that misses it read the
    // stamp before the change moved it.
    bool BeginWrite(bool transaction) override {
        uint64_t* writing = &FSpace->Slot(FSlot)[kWritingAt];
        __atomic_store_n(writing, transaction ? kInTransaction : kSingle, __ATOMIC_SEQ_CST);
        if (__atomic_load_n(FSpace->U64(kFrozenAt), __ATOMIC_SEQ_CST) && Taken(FFd, kFrozen)) {
            __atomic_store_n(writing, 0, __ATOMIC_SEQ_CST);
            return false;
        }
        return true;
    }
    void EndWrite() override { __atomic_store_n(&FSpace->Slot(FSlot)[kWritingAt], 0, __ATOMIC_SEQ_CST); }
    bool OtherWriting() override { return Marked(kSingle | kInTransaction); }
    bool Lockers() override { return __atomic_load_n(FSpace->U64(kLockersAt), __ATOMIC_SEQ_CST) != 0; }
    bool UnheldChangeUnderWay() override { return Marked(kSingle); }

    // Counted before writers are looked for, so that a writer that did not
    // see the count yet is seen here.
    bool Freeze() override {
        if (!Try(FFd, F_RDLCK, kFrozen)) return false;
        __atomic_add_fetch(FSpace->U64(kFrozenAt), 1, __ATOMIC_SEQ_CST);
        FFrozen = true;
        if (OtherWriting()) { // a change is under way: it would not be seen
            Thaw();
            return false;
        }
        return true;
    }

private:
    static constexpr uint32_t kNoSlot = UINT32_MAX;

    // Whether another client's slot carries one of the marks. The mark of a
    // client whose process died (its slot lock is gone) is taken away, and
    // the stamp moved: its change may have landed without the stamp moving
    // after it.
    bool Marked(uint64_t marks) {
        const uint32_t high = static_cast<uint32_t>(
            std::min<uint64_t>(__atomic_load_n(FSpace->U64(kHighAt), __ATOMIC_ACQUIRE), kSlots));
        for (uint32_t s = 0; s < high; ++s) {
            uint64_t* writing = &FSpace->Slot(s)[kWritingAt];
            uint64_t mark = __atomic_load_n(writing, __ATOMIC_SEQ_CST);
            if (s == FSlot || !(mark & marks)) continue;
            if (Taken(FFd, kSlotBase + s)) return true;
            if (__atomic_compare_exchange_n(writing, &mark, 0, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) FSpace->Changed();
        }
        return false;
    }

    void Thaw() {
        __atomic_sub_fetch(FSpace->U64(kFrozenAt), 1, __ATOMIC_SEQ_CST);
        FFrozen = false;
        Drop(FFd, kFrozen);
    }

    static off_t HolderByte(uint32_t slot, uint32_t pos) { return kHolderBase + (off_t{slot} << 32) + pos; }

    std::shared_ptr<LocalSpace> FSpace;
    ClientTag FClient;
    int FFd = -1;
    uint32_t FSlot = kNoSlot;
    bool FFrozen = false, FCounted = false;
    struct Hold {
        int count = 0;
        bool named = false;
    };
    std::map<uint32_t, Hold> FHolds;
};

std::unique_ptr<LockSession> LocalSpace::Join(ClientTag client) {
    // The session keeps the space (and its mapping) alive.
    return std::make_unique<LocalSession>(shared_from_this(), client);
}

} // namespace

std::shared_ptr<LockSpace> LocalLockSpace(FileId id) {
    static std::once_flag swept;
    std::call_once(swept, [] {
        MakeLockDir();
        Sweep();
    });
    return std::make_shared<LocalSpace>(id);
}

std::string LocalHome(LockSpace& space, FileId id, const std::string& path) {
    auto& local = static_cast<LocalSpace&>(space);
    Wait(local.Fd(), F_WRLCK, kHome);
    std::string home = local.HomeText();
    struct stat st {};
    if (home.empty() || ::stat(home.c_str(), &st) != 0 || FileId{st.st_dev, st.st_ino, {}} != id) {
        home = path;
        local.SetHome(home);
    }
    Drop(local.Fd(), kHome);
    return home;
}

bool LocalWaiting(FileId id) {
    const int fd = ::open(LockPath(id).c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    uint64_t high = 0;
    bool waiting = false;
    if (::pread(fd, &high, sizeof high, kHighAt) == sizeof high)
        for (uint64_t s = 0; s < std::min<uint64_t>(high, kSlots) && !waiting; ++s) {
            uint64_t slot[kChainAt] = {};
            waiting = ::pread(fd, slot, sizeof slot, static_cast<off_t>(kHeader + s * kSlotSize)) == sizeof slot &&
                      slot[kTagAt] != 0 && slot[kChainLenAt] != 0 && Taken(fd, kSlotBase + static_cast<off_t>(s));
        }
    ::close(fd);
    return waiting;
}

namespace {

std::atomic<uint64_t> tagSalt{0};

void DrawTagSalt() {
    uint64_t s = 0;
    if (::getrandom(&s, sizeof s, 0) != sizeof s) s = uint64_t(::getpid()) << 32 ^ uint64_t(::time(nullptr));
    tagSalt = s;
}

} // namespace

ClientTag NewClientTag() {
    static const bool drawn = [] {
        DrawTagSalt();
        // A child forked without a new program would give out its parent's
        // next tags (the same salt and serial): it draws a salt of its own.
        ::pthread_atfork(nullptr, nullptr, DrawTagSalt);
        return true;
    }();
    (void)drawn;
    static std::atomic<uint64_t> serial{0};
    for (;;) { // distinct serials give distinct tags (odd multiplier); 0 means none
        const ClientTag tag = tagSalt ^ (++serial * 0x9E3779B97F4A7C15ull);
        if (tag) return tag;
    }
}

} // namespace btr::engine
