// Knowing that a lock request waits, without a clock: the engine tells every
// client (of any process) whom each waiting client waits for, in the file's
// lock space; a test reads it there before it lets the holder go. Tests that
// include this compile btrengine/locks.cpp in.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "btrengine/locks.h"
#include "tests/btrengine/stores.h"

namespace btr::test {

// How long this process's lock requests with a wait bias wait, for as long
// as the object lives (BTRKIT_LOCK_WAIT_MS).
class LockWaitMs {
public:
    explicit LockWaitMs(const char* ms) { ::setenv("BTRKIT_LOCK_WAIT_MS", ms, 1); }
    ~LockWaitMs() { ::unsetenv("BTRKIT_LOCK_WAIT_MS"); }
    LockWaitMs(const LockWaitMs&) = delete;
    LockWaitMs& operator=(const LockWaitMs&) = delete;
};

// Until some client waits for a lock on the file at `path`; false after a
// minute (the waiter never came: the test fails on it).
inline bool SomeoneWaits(const std::string& path) {
    if (path.rfind("postgresql://", 0) == 0) { // a client's published wait chain, on a live connection
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        for (std::string waits; waits != "t";) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (!ServerSql("SELECT EXISTS(SELECT 1 FROM btrkit_clients c JOIN pg_stat_activity a ON a.pid=c.pid "
                           "WHERE cardinality(c.chain) > 0)", &waits))
                return false;
        }
        return true;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    const engine::FileId id{st.st_dev, st.st_ino, {}};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!engine::LocalWaiting(id)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace btr::test
