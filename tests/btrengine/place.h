// Where an engine test keeps its files: a fresh local directory, or, when
// the test runs against the server store (BTRKIT_TEST_SERVER names the file
// that holds a throwaway cluster's URI), names of its own in the server's
// database. The engine's test suite runs once for each.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "tests/support/tempdir.h"

namespace btr::test {

// The server's base URI (postgresql://USER@HOST:PORT/DATABASE) when this run
// is against the server store; "" for the local store, and "" too when the
// cluster could not be started (ServerWanted() then tells the tests to skip).
inline bool ServerWanted() { return std::getenv("BTRKIT_TEST_SERVER") != nullptr; }
inline std::string ServerUri() {
    const char* file = std::getenv("BTRKIT_TEST_SERVER");
    if (!file) return {};
    std::ifstream in(file);
    std::string uri;
    std::getline(in, uri);
    return uri;
}

// What this process's server files' names start with.
inline const std::string& ServerPrefix() {
    static const std::string prefix = [] {
        std::random_device rd;
        return "p" + std::to_string(::getpid()) + "x" + std::to_string(rd() % 100000) + "_";
    }();
    return prefix;
}

class Place {
public:
    Place() : FUri(ServerUri()) {
        static std::atomic<int> serial{0};
        if (!FUri.empty()) FPrefix = ServerPrefix() + std::to_string(++serial) + "_";
    }
    bool Server() const { return !FUri.empty(); }
    // A file's path: in the directory, or on the server.
    std::string File(const std::string& name) const { return Server() ? FUri + "/" + FPrefix + name : FDir.File(name); }
    // The local directory (there in both runs, for what is not a Btrieve file).
    const std::filesystem::path& Path() const { return FDir.Path(); }

private:
    TempDir FDir;
    std::string FUri, FPrefix;
};

} // namespace btr::test
