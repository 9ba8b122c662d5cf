// Kill test: two writer processes insert records into one file and report
// each one the engine acknowledged, while a third process reads the file
// through; the writers are killed with SIGKILL one after the other, and the
// file must then open cleanly and hold every acknowledged record intact, with
// its keys in step with its records. The writer left alive goes on at once
// after the other's kill, transactions come back all or nothing, nothing the
// reader saw is lost, and a killed create leaves the old file or the new one.
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
#include "tests/btrengine/stores.h"

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
    int Count(char kind) const {
        return static_cast<int>(std::count_if(FLines.begin(), FLines.end(), [kind](const Line& l) { return l.kind == kind; }));
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
    std::map<uint32_t, uint32_t> posOf[3]; // per writer: sequence -> position
    uint32_t maxSeq[3] = {};
};

// Opens the file (it must answer 0: the killed children's hold on it is
// gone) and reads it whole: every record intact, no writer's sequence missing
// below its last (they are given out one by one), stat's count and both keys
// in step with the records.
Contents ReadBack(const std::string& path) {
    Contents c;
    Handle h(Client(77));
    if (h.Open(path) != 0) {
        ADD_FAILURE() << "the killed children's file does not open";
        return c;
    }
    int16_t st;
    Ids all;
    for (st = h.Get(33); st == 0; st = h.Get(24)) {
        const uint32_t id = Get32(h.Record.data()), w = id / kRange;
        EXPECT_TRUE(Intact(h.Record) && (w == 1 || w == 2)) << "record " << id << " is damaged";
        if (w != 1 && w != 2) continue;
        EXPECT_TRUE(c.posOf[w].emplace(id % kRange, h.Position()).second) << "record " << id << " twice";
        all.push_back(static_cast<int32_t>(id));
    }
    EXPECT_EQ(st, 9) << "step";
    for (int w : {1, 2}) {
        c.maxSeq[w] = c.posOf[w].empty() ? 0 : c.posOf[w].rbegin()->first;
        EXPECT_EQ(c.posOf[w].size(), c.maxSeq[w]) << "writer " << w << "'s records are missing below " << c.maxSeq[w];
    }
    uint8_t stat[1024];
    int32_t len = sizeof stat;
    EXPECT_EQ(h.Call(15, stat, len, nullptr, 0, 0), 0);
    EXPECT_EQ(Get32(stat + 6), all.size()) << "stat's record count differs from the records stepped through";
    std::sort(all.begin(), all.end());
    EXPECT_EQ(h.Walk(0), all) << "key 0 does not index every record once, in order";
    Ids byTag = h.Walk(1);
    std::sort(byTag.begin(), byTag.end());
    EXPECT_EQ(byTag, all) << "key 1 does not index every record once";
    EXPECT_EQ(h.Close(), 0);
    return c;
}

// Every acknowledged record is back where it was reported.
void ExpectKept(const std::map<uint32_t, uint32_t>& acked, const std::map<uint32_t, uint32_t>& posOf) {
    for (auto [seq, pos] : acked) {
        const auto it = posOf.find(seq);
        EXPECT_TRUE(it != posOf.end() && it->second == pos)
            << "acknowledged record " << seq << (it == posOf.end() ? " lost" : " moved");
    }
}

std::mt19937 Seeded() {
    const uint32_t seed = std::random_device{}();
    std::cout << "random seed " << seed << "\n";
    return std::mt19937(seed);
}

milliseconds SomeMoment(std::mt19937& rng) { return milliseconds(std::uniform_int_distribution<int>(0, 200)(rng)); }

constexpr int kBatch = 40;
enum Kill { AnyTime, MidBatch, AtEnd };
struct Plan {
    bool txn;
    Kill how;
};

std::unique_ptr<Child> StartWriter(const std::string& path, int writer, Plan plan, std::mt19937& rng) {
    std::vector<std::string> args{path, std::to_string(writer), plan.txn ? "txn" : "plain"};
    if (plan.txn) args.push_back(std::to_string(kBatch));
    if (plan.how == MidBatch) // inside its third batch, after a random number of its inserts
        args.push_back(std::to_string(2 * kBatch + std::uniform_int_distribution<int>(1, kBatch - 1)(rng)));
    return std::make_unique<Child>(args);
}

// Kills a writer as planned: at a random moment after its next
// acknowledgement, where it stopped inside a transaction, or once it asked
// for the end of one after another that ended.
const std::vector<Line>& KillAsPlanned(Child& child, Plan plan, std::mt19937& rng) {
    const char ack = plan.txn ? 'C' : 'A';
    if (plan.how == MidBatch) {
        EXPECT_TRUE(child.Await('P'));
    } else if (plan.how == AtEnd) {
        EXPECT_TRUE(child.Await('C', child.Count('C') + 1));
        EXPECT_TRUE(child.Await('E', child.Count('C') + 1));
    } else {
        EXPECT_TRUE(child.Await(ack, child.Count(ack) + 1));
        child.Await(0, 1, SomeMoment(rng));
    }
    return child.Kill();
}

// Checks one killed writer's file contents against what it reported; what
// it got acknowledged this round joins `kept`.
void CheckWriter(const std::vector<Line>& lines, Plan plan, const std::map<uint32_t, uint32_t>& posOf, uint32_t maxSeq,
                 std::map<uint32_t, uint32_t>& kept) {
    ASSERT_EQ(Failure(lines), "");
    ASSERT_FALSE(lines.empty());
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
    EXPECT_GT(ackedMax, start) << "the writer acknowledged nothing before the kill";
    EXPECT_TRUE(plan.how != MidBatch || (inBatch && !endAsked)) << "the writer did not stop inside its transaction";
    // Alone, the insert under way may be there unreported; so may a whole
    // transaction whose end was under way.
    const uint32_t pending = !plan.txn ? 1 : inBatch && endAsked ? kBatch : 0;
    if (pending && maxSeq == ackedMax + pending) {
        for (const Line& t : batch) kept[t.b] = t.a;
        ackedMax = maxSeq;
    }
    EXPECT_EQ(maxSeq, ackedMax) << (inBatch && !endAsked ? "an unfinished transaction left records behind"
                                                         : "a write came back in part or not at all");
    ExpectKept(kept, posOf);
}

// Each round: two writers (alone or in transactions of kBatch inserts) and a
// reader on one file. Writer 1 is killed first, as planned; writer 2 must
// then get two more writes acknowledged (nothing of the dead one holds the
// file), and is killed in turn. Every acknowledged record of either is back,
// an unfinished transaction left nothing, the write under way is all there or
// not at all, and everything the reader saw is still there.
TEST(DurabilityKill, AcknowledgedWritesSurviveEveryKill) {
    Place dir;
    std::mt19937 rng = Seeded();
    const std::string path = dir.File("shared.btr");
    std::map<uint32_t, uint32_t> kept[3]; // per writer: every acknowledged insert of every round
    const std::pair<Plan, Plan> rounds[] = {
        {{false, AnyTime}, {false, AnyTime}}, {{true, MidBatch}, {false, AnyTime}}, {{true, AtEnd}, {true, AnyTime}},
        {{false, AnyTime}, {true, AtEnd}},    {{true, MidBatch}, {true, AnyTime}},  {{true, AnyTime}, {true, AtEnd}},
    };
    for (auto [plan1, plan2] : rounds) {
        SCOPED_TRACE(std::string("writer 1 ") + (plan1.txn ? "in transactions" : "alone") + ", kill mode " +
                     std::to_string(plan1.how) + "; writer 2 " + (plan2.txn ? "in transactions" : "alone") +
                     ", kill mode " + std::to_string(plan2.how));
        std::unique_ptr<Child> writers[3] = {nullptr, StartWriter(path, 1, plan1, rng), StartWriter(path, 2, plan2, rng)};
        for (int w : {1, 2}) ASSERT_TRUE(writers[w]->Await('R')) << "writer " << w << " did not open the file";
        Child reader({path, "0", "read"});
        const std::vector<Line> lines1 = KillAsPlanned(*writers[1], plan1, rng);
        const char ack2 = plan2.txn ? 'C' : 'A';
        EXPECT_TRUE(writers[2]->Await(ack2, writers[2]->Count(ack2) + 2)) << "writer 2 is held up by the dead writer";
        const std::vector<Line> lines2 = KillAsPlanned(*writers[2], plan2, rng);
        EXPECT_TRUE(reader.Await('V', reader.Count('V') + 1)) << "the reader does not read the file through";
        const std::vector<Line>& seen = reader.Kill();
        ASSERT_EQ(Failure(seen), "");
        const Contents c = ReadBack(path);
        CheckWriter(lines1, plan1, c.posOf[1], c.maxSeq[1], kept[1]);
        CheckWriter(lines2, plan2, c.posOf[2], c.maxSeq[2], kept[2]);
        for (const Line& l : seen)
            if (l.kind == 'V') {
                EXPECT_LE(l.a, c.maxSeq[1]) << "the reader saw a record of writer 1 that is gone";
                EXPECT_LE(l.b, c.maxSeq[2]) << "the reader saw a record of writer 2 that is gone";
            }
    }
}

// A create killed midway, over no file or over an old one, leaves the old
// file (or none) or the new one, complete: never a file that neither opens nor
// can be created again. The kills are spread over the time a whole create
// takes in this build, measured first.
TEST(DurabilityKill, KilledCreateLeavesTheOldFileOrTheNew) {
    Place dir;
    std::mt19937 rng = Seeded();
    Clock::duration whole{};
    {
        Child child({dir.File("whole.btr"), "0", "create"});
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
            Child child({path, "0", "create"});
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
