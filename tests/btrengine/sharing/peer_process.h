// The test's side of a peer process (peer.cpp): commands out on its standard
// input, one answer line back for each.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace btr::test::sharing {

class Peer {
public:
    // `env`: NAME=VALUE entries added to (or replacing) this process's.
    explicit Peer(std::vector<std::string> args = {}, const std::vector<std::string>& env = {}) {
        args.insert(args.begin(), BTRKIT_SHARING_PEER);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> vars = env;
        for (char** e = environ; *e; ++e) {
            const std::string var = *e;
            bool replaced = false;
            for (const std::string& mine : env) replaced = replaced || var.substr(0, var.find('=')) == mine.substr(0, mine.find('='));
            if (!replaced) vars.push_back(var);
        }
        std::vector<char*> envp;
        for (auto& v : vars) envp.push_back(v.data());
        envp.push_back(nullptr);
        int out[2], in[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        const int rc = posix_spawn(&FPid, argv[0], &fa, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        ::close(in[0]);
        FOut = out[0];
        FIn = in[1];
        if (rc != 0) {
            FPid = 0;
            throw std::runtime_error(std::string("spawn peer: ") + std::strerror(rc));
        }
    }
    ~Peer() {
        ::close(FIn); // the peer ends at the end of its input
        if (FPid > 0) ::waitpid(FPid, nullptr, 0);
        ::close(FOut);
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    void Send(const std::string& line) {
        const std::string s = line + "\n";
        if (::write(FIn, s.data(), s.size()) != static_cast<ssize_t>(s.size())) throw std::runtime_error("peer gone");
    }
    // The next answer; "" when none comes within `wait` (the peer hangs or
    // died: the test fails on it, it does not wait for it to be fast).
    std::string Reply(std::chrono::seconds wait = std::chrono::seconds(120)) {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        for (;;) {
            if (const size_t nl = FPending.find('\n'); nl != std::string::npos) {
                std::string line = FPending.substr(0, nl);
                FPending.erase(0, nl + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{FOut, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return "";
            char buf[4096];
            const ssize_t n = ::read(FOut, buf, sizeof buf);
            if (n <= 0) return "";
            FPending.append(buf, static_cast<size_t>(n));
        }
    }
    std::string Ask(const std::string& line) {
        Send(line);
        return Reply();
    }
    // The numbers of an answer (its status first); -999 alone for no answer.
    static std::vector<long> Numbers(const std::string& reply) {
        std::istringstream in(reply);
        std::vector<long> v;
        for (std::string word; in >> word;) {
            char* end = nullptr;
            const long n = std::strtol(word.c_str(), &end, 10);
            if (end && !*end) v.push_back(n);
        }
        return v.empty() ? std::vector<long>{-999} : v;
    }
    int Status(const std::string& line) { return static_cast<int>(Numbers(Ask(line))[0]); }

    pid_t Pid() const { return FPid; }

    // SIGKILL: the peer dies where it stands.
    void Kill() {
        if (FPid <= 0) return;
        ::kill(FPid, SIGKILL);
        ::waitpid(FPid, nullptr, 0);
        FPid = 0;
    }

private:
    pid_t FPid = 0;
    int FIn = -1, FOut = -1;
    std::string FPending;
};

} // namespace btr::test::sharing
