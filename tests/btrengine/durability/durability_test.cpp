// Kill test: a child process inserts records and reports each one the engine
// acknowledged; it is killed with SIGKILL at a random moment, and the file
// must then open cleanly and hold every acknowledged record intact, with its
// keys in step with its records. Transactions must come back all or nothing,
// a killed create must leave the old file or the new one.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <random>
#include <thread>

#include "tests/btrengine/durability/record.h"

extern char** environ;

namespace btr::test {
namespace {

using namespace durability;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// One reported line: kind letter, then up to two numbers.
struct Line {
    char kind = 0;
    uint32_t a = 0, b = 0;
};

// The child process, the pipe of its reports and its standard input (held
// open, so that a child that waits on it waits until it is killed).
class Child {
public:
    explicit Child(std::vector<std::string> args) {
        args.insert(args.begin(), BTRKIT_DURABILITY_CHILD);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int out[2], in[2];
        if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        if (::pipe2(in, O_CLOEXEC) != 0) {
            ::close(out[0]);
            ::close(out[1]);
            throw std::runtime_error("pipe");
        }
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        const int rc = posix_spawn(&FPid, argv[0], &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        ::close(in[0]);
        FFd = out[0];
        FIn = in[1];
        if (rc != 0) {
            ::close(FFd);
            ::close(FIn);
            throw std::runtime_error("spawn " + args[0] + ": " + std::strerror(rc));
        }
    }
    ~Child() {
        Kill();
        ::close(FFd);
        ::close(FIn);
    }

    // Reads reports until the n-th of `kind` (true), or until the child fails
    // or ends or `wait` passes (false); the pipe is drained meanwhile, so the
    // child never blocks on it.
    bool Await(char kind, int n = 1, Clock::duration wait = std::chrono::seconds(30)) {
        const auto deadline = Clock::now() + wait;
        auto count = [&](char k) { return std::count_if(FLines.begin(), FLines.end(), [k](const Line& l) { return l.kind == k; }); };
        while (count(kind) < n && !count('X')) {
            pollfd p{FFd, POLLIN, 0};
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0 || !Fill()) return false;
        }
        return !count('X');
    }
    // SIGKILL; then everything the child reported before it died.
    const std::vector<Line>& Kill() {
        if (FPid > 0) {
            ::kill(FPid, SIGKILL);
            ::waitpid(FPid, nullptr, 0);
            FPid = 0;
            while (Fill()) {
            }
        }
        return FLines;
    }

private:
    bool Fill() {
        char buf[4096];
        const ssize_t n = ::read(FFd, buf, sizeof buf);
        if (n <= 0) return false;
        FPending.append(buf, static_cast<size_t>(n));
        for (size_t nl; (nl = FPending.find('\n')) != std::string::npos; FPending.erase(0, nl + 1)) {
            Line l;
            std::sscanf(FPending.substr(0, nl).c_str(), " %c %u %u", &l.kind, &l.a, &l.b);
            FLines.push_back(l);
        }
        return true;
    }

    pid_t FPid = 0;
    int FFd = -1, FIn = -1;
    std::string FPending;
    std::vector<Line> FLines;
};

// What a child reported when a call of its own failed, or "".
std::string Failure(const std::vector<Line>& lines) {
    for (const Line& l : lines)
        if (l.kind == 'X') return "the child failed with status " + std::to_string(l.a);
    return "";
}

struct Contents {
    std::map<uint32_t, uint32_t> posOf; // sequence -> position
    uint32_t maxSeq = 0;
};

// Opens the file (it must answer 0: the killed child's hold on it is gone) and reads it whole: every record intact,
// no sequence missing below the last (they are given out one by one), stat's
// count and both keys in step with the records.
Contents ReadBack(const std::string& path) {
    Contents c;
    Handle h(Client(77));
    if (h.Open(path) != 0) {
        ADD_FAILURE() << "the killed child's file does not open";
        return c;
    }
    int16_t st;
    for (st = h.Get(33); st == 0; st = h.Get(24)) {
        EXPECT_TRUE(Intact(h.Record)) << "record " << IdOf(h.Record) << " is damaged";
        EXPECT_TRUE(c.posOf.emplace(IdOf(h.Record), h.Position()).second) << "sequence " << IdOf(h.Record) << " twice";
    }
    EXPECT_EQ(st, 9) << "step";
    c.maxSeq = c.posOf.empty() ? 0 : c.posOf.rbegin()->first;
    EXPECT_EQ(c.posOf.size(), c.maxSeq) << "records are missing below " << c.maxSeq;
    uint8_t stat[1024];
    int32_t len = sizeof stat;
    EXPECT_EQ(h.Call(15, stat, len, nullptr, 0, 0), 0);
    EXPECT_EQ(Get32(stat + 6), c.posOf.size()) << "stat's record count differs from the records stepped through";
    Ids all;
    for (auto [seq, pos] : c.posOf) all.push_back(static_cast<int32_t>(seq));
    EXPECT_EQ(h.Walk(0), all) << "key 0 does not index every record once, in order";
    Ids byTag = h.Walk(1);
    std::sort(byTag.begin(), byTag.end());
    EXPECT_EQ(byTag, all) << "key 1 does not index every record once";
    EXPECT_EQ(h.Close(), 0);
    return c;
}

// Every acknowledged record is back where it was reported.
void ExpectKept(const std::map<uint32_t, uint32_t>& acked, const Contents& c) {
    for (auto [seq, pos] : acked) {
        const auto it = c.posOf.find(seq);
        EXPECT_TRUE(it != c.posOf.end() && it->second == pos)
            << "acknowledged record " << seq << (it == c.posOf.end() ? " lost" : " moved");
    }
}

std::mt19937 Seeded() {
    const uint32_t seed = std::random_device{}();
    std::cout << "random seed " << seed << "\n";
    return std::mt19937(seed);
}

milliseconds SomeMoment(std::mt19937& rng) { return milliseconds(std::uniform_int_distribution<int>(0, 200)(rng)); }

// Kills a child inserting alone (each insert acknowledged by its answer) or
// in transactions of kBatch inserts (acknowledged by their end): at a random
// moment once something was acknowledged, inside a transaction (the child
// stops there after a random number of inserts and waits for the kill), or
// during its end. Every acknowledged record is back, an unfinished
// transaction leaves nothing, and the write under way is either all there or
// not at all.
TEST(DurabilityKill, AcknowledgedWritesSurviveEveryKill) {
    TempDir dir;
    std::mt19937 rng = Seeded();
    constexpr int kBatch = 40;
    std::map<uint32_t, uint32_t> acked[2]; // per file: every acknowledged insert of every round
    enum Kill { AnyTime, MidBatch, AtEnd };
    const std::pair<bool, Kill> rounds[] = {{false, AnyTime}, {false, AnyTime}, {false, AnyTime}, {false, AnyTime},
                                            {false, AnyTime}, {true, MidBatch},  {true, AtEnd},    {true, AnyTime},
                                            {true, MidBatch},  {true, AnyTime}};
    for (auto [txn, how] : rounds) {
        SCOPED_TRACE(std::string(txn ? "transactions" : "alone") + ", kill mode " + std::to_string(how));
        const std::string path = dir.File(txn ? "txn.btr" : "plain.btr");
        std::vector<std::string> args{path, txn ? "txn" : "plain"};
        if (txn) args.push_back(std::to_string(kBatch));
        if (how == MidBatch) // inside the third batch, after a random number of its inserts
            args.push_back(std::to_string(2 * kBatch + std::uniform_int_distribution<int>(1, kBatch - 1)(rng)));
        Child child(args);
        ASSERT_TRUE(child.Await('R')) << "the child did not open the file";
        // The running child holds the file against this process: no open, no replacing create.
        EXPECT_EQ(Handle().Open(path), 85);
        EXPECT_EQ(Create(path, FileSpec()), 85);
        if (how == MidBatch) {
            ASSERT_TRUE(child.Await('P'));
        } else if (how == AtEnd) {
            ASSERT_TRUE(child.Await('E', 3));
        } else {
            ASSERT_TRUE(child.Await(txn ? 'C' : 'A'));
            child.Await(0, 1, SomeMoment(rng));
        }
        const std::vector<Line>& lines = child.Kill();
        ASSERT_EQ(Failure(lines), "");
        std::map<uint32_t, uint32_t>& kept = acked[txn];
        const uint32_t start = lines.front().a;
        uint32_t ackedMax = start;
        bool inBatch = false, endAsked = false;
        std::vector<Line> batch;
        for (const Line& l : lines) {
            if (l.kind == 'B') inBatch = true, endAsked = false, batch.clear();
            if (l.kind == 'E') endAsked = true;
            if (l.kind == 'T' || l.kind == 'A') batch.push_back(l);
            if (l.kind == 'C' || l.kind == 'A') {
                for (const Line& t : batch) kept[t.b] = t.a;
                ackedMax = batch.back().b;
                inBatch = false;
                batch.clear();
            }
        }
        EXPECT_GT(ackedMax, start) << "the child acknowledged nothing before the kill";
        EXPECT_TRUE(how != MidBatch || (inBatch && !endAsked)) << "the child did not stop inside its transaction";
        // Alone, the insert under way may be there unreported; so may a whole
        // transaction whose end was under way.
        const uint32_t pending = !txn ? 1 : inBatch && endAsked ? kBatch : 0;
        const Contents c = ReadBack(path);
        if (pending && c.maxSeq == ackedMax + pending) {
            for (const Line& t : batch) kept[t.b] = t.a;
            ackedMax = c.maxSeq;
        }
        EXPECT_EQ(c.maxSeq, ackedMax) << (inBatch && !endAsked ? "an unfinished transaction left records behind"
                                                               : "a write came back in part or not at all");
        ExpectKept(kept, c);
    }
}

// A create killed midway, over no file or over an old one, leaves the old
// file (or none) or the new one, complete: never a file that neither opens nor
// can be created again. The kills are spread over the time a whole create
// takes in this build, measured first.
TEST(DurabilityKill, KilledCreateLeavesTheOldFileOrTheNew) {
    TempDir dir;
    std::mt19937 rng = Seeded();
    Clock::duration whole{};
    {
        Child child({dir.File("whole.btr"), "create"});
        ASSERT_TRUE(child.Await('S'));
        const auto start = Clock::now();
        ASSERT_TRUE(child.Await('D'));
        whole = Clock::now() - start;
    }
    const Spec oldSpec = Spec(16).Key({{1, 4, 1}});
    Bytes oldStat = oldSpec.Bytes(), newStat = FileSpec().Bytes();
    Put32(oldStat.data() + 6, 1);
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::string path = dir.File("create" + std::to_string(round) + ".btr");
        const bool old = round % 2;
        Handle h;
        if (old) {
            ASSERT_EQ(h.Make(path, oldSpec), 0);
            ASSERT_EQ(h.Insert(Rec(16, 1)), 0);
            ASSERT_EQ(h.Close(), 0);
        }
        {
            Child child({path, "create"});
            ASSERT_TRUE(child.Await('S'));
            std::this_thread::sleep_for(std::uniform_int_distribution<Clock::rep>(0, whole.count())(rng) * Clock::duration(1));
            ASSERT_EQ(Failure(child.Kill()), "");
        }
        const int16_t st = h.Open(path);
        if (st == 12 && !old) {
            EXPECT_EQ(Create(path, FileSpec(), 255), 0) << "a killed create left what keeps a new one out";
            continue;
        }
        ASSERT_EQ(st, 0) << "a killed create left a file that does not open";
        uint8_t stat[1024];
        int32_t len = sizeof stat;
        EXPECT_EQ(h.Call(15, stat, len, nullptr, 0, 0), 0);
        const Bytes got(stat, stat + len);
        EXPECT_TRUE(got == newStat || (old && got == oldStat)) << "neither the old file nor the new";
        EXPECT_EQ(h.Close(), 0);
    }
}

} // namespace
} // namespace btr::test
