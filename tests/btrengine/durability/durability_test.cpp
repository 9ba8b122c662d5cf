// Kill test: a child process inserts records and reports each one the engine
// acknowledged; it is killed with SIGKILL at a random moment, and the file
// must then open cleanly and hold every acknowledged record intact, with its
// keys in step with its records. Transactions must come back all or nothing.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/btrengine/durability/record.h"
#include "tests/btrengine/entry.h"
#include "tests/support/tempdir.h"

extern char** environ;

namespace {

using namespace btr::test::durability;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// One reported line: kind letter, then up to two numbers.
struct Line {
    char kind = 0;
    uint32_t a = 0, b = 0;
};

// The child process and the pipe of its reports.
class Child {
public:
    explicit Child(const std::vector<std::string>& args) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
        std::vector<char*> argv;
        std::vector<std::string> all{BTRKIT_DURABILITY_CHILD};
        all.insert(all.end(), args.begin(), args.end());
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc = posix_spawn(&FPid, argv[0], &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        ::close(fds[1]);
        FFd = fds[0];
        if (rc != 0) {
            ::close(FFd);
            throw std::runtime_error("spawn " + all[0] + ": " + std::strerror(rc));
        }
    }
    ~Child() {
        Kill();
        ::close(FFd);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Reads reports until `stop` accepts one (true), the deadline passes or
    // the child ends (false).
    bool ReadUntil(const std::function<bool(const Line&)>& stop, Clock::time_point deadline) {
        while (!FEof) {
            while (FNext < FLines.size())
                if (stop(FLines[FNext++])) return true;
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return false;
            pollfd p{FFd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) > 0) Fill();
        }
        while (FNext < FLines.size())
            if (stop(FLines[FNext++])) return true;
        return false;
    }
    // Keeps the pipe drained (so the child never blocks on it) for `d`.
    void ReadFor(milliseconds d) {
        ReadUntil([](const Line&) { return false; }, Clock::now() + d);
    }

    // SIGKILL, then everything the child wrote before it died.
    void Kill() {
        if (FPid <= 0) return;
        ::kill(FPid, SIGKILL);
        int status = 0;
        ::waitpid(FPid, &status, 0);
        FPid = 0;
        while (!FEof) Fill();
    }

    const std::vector<Line>& Lines() const { return FLines; }

private:
    void Fill() {
        char buf[4096];
        const ssize_t n = ::read(FFd, buf, sizeof buf);
        if (n <= 0) {
            FEof = true;
            return;
        }
        FPending.append(buf, static_cast<size_t>(n));
        size_t nl;
        while ((nl = FPending.find('\n')) != std::string::npos) {
            std::istringstream in(FPending.substr(0, nl));
            FPending.erase(0, nl + 1);
            Line l;
            in >> l.kind >> l.a >> l.b;
            FLines.push_back(l);
        }
    }

    pid_t FPid = 0;
    int FFd = -1;
    bool FEof = false;
    std::string FPending;
    std::vector<Line> FLines;
    size_t FNext = 0;
};

const uint8_t kChecker[16] = {'d', 'u', 'r', 'a', 'b', 'i', 'l', 'i', 't', 'y', '-', 't', 'e', 's', 't', 0};

int16_t Call(uint16_t op, uint8_t* pb, void* data, int32_t* len, void* key, uint8_t keyLen, uint8_t keyNum) {
    return BTRCALLID(op, pb, data, len, key, keyLen, keyNum, const_cast<uint8_t*>(kChecker));
}

int OpenFile(const std::string& path, uint8_t* pb) {
    std::string key = path;
    int32_t len = 0;
    return Call(0, pb, nullptr, &len, key.data(), static_cast<uint8_t>(key.size() + 1), 0);
}

void CloseFile(uint8_t* pb) {
    int32_t len = 0;
    EXPECT_EQ(Call(1, pb, nullptr, &len, nullptr, 0, 0), 0);
}

// What the file holds, read three ways: physical order, and along each key.
struct Contents {
    std::map<uint32_t, uint32_t> posOf; // sequence -> position
    uint32_t maxSeq = 0;
};

// Opens the file (it must answer 0), reads it whole and checks that every
// record is intact, that both keys index exactly the records there are and
// that the record count agrees; then closes it again.
Contents ReadBack(const std::string& path) {
    Contents c;
    uint8_t pb[128] = {};
    const int st = OpenFile(path, pb);
    EXPECT_EQ(st, 0) << "the killed child's file does not open";
    if (st != 0) return c;

    uint8_t statBuf[16 + 2 * 16 + 265];
    uint8_t name[64];
    int32_t len = sizeof statBuf;
    EXPECT_EQ(Call(15, pb, statBuf, &len, name, sizeof name, 0), 0);
    const uint32_t count = Get32(statBuf + 6);

    uint8_t rec[kRecordLen + 8];
    uint8_t key[kTagLen];
    size_t steps = 0;
    for (uint16_t op = 33;; op = 24) { // step first, then step next
        len = sizeof rec;
        const int s = Call(op, pb, rec, &len, key, sizeof key, 0);
        if (s == 9) break;
        EXPECT_EQ(s, 0) << "step";
        if (s != 0) break;
        ++steps;
        EXPECT_EQ(len, kRecordLen);
        EXPECT_TRUE(Intact(rec)) << "record " << Get32(rec) << " is damaged";
        uint8_t pos[4];
        int32_t plen = sizeof pos;
        EXPECT_EQ(Call(22, pb, pos, &plen, nullptr, 0, 0), 0);
        EXPECT_TRUE(c.posOf.emplace(Get32(rec), Get32(pos)).second) << "sequence " << Get32(rec) << " twice";
        c.maxSeq = std::max(c.maxSeq, Get32(rec));
    }
    EXPECT_EQ(steps, count) << "stat's record count differs from the records stepped through";

    for (uint8_t k = 0; k < 2; ++k) {
        size_t n = 0;
        uint32_t prev = 0;
        for (uint16_t op = 12;; op = 6) { // get first, then get next
            len = sizeof rec;
            const int s = Call(op, pb, rec, &len, key, sizeof key, k);
            if (s == 9) break;
            EXPECT_EQ(s, 0) << "scan of key " << int(k);
            if (s != 0) break;
            ++n;
            EXPECT_TRUE(Intact(rec));
            if (k == 0) {
                EXPECT_GT(Get32(rec), prev) << "key 0 out of order";
                prev = Get32(rec);
            }
        }
        EXPECT_EQ(n, steps) << "key " << int(k) << " does not index every record exactly once";
    }
    CloseFile(pb);
    return c;
}

// The record of `seq` is at `pos`, read directly from there.
void ExpectAt(const std::string& path, uint32_t seq, uint32_t pos, const Contents& c) {
    auto it = c.posOf.find(seq);
    ASSERT_NE(it, c.posOf.end()) << "acknowledged record " << seq << " lost in " << path;
    EXPECT_EQ(it->second, pos) << "acknowledged record " << seq << " moved";
}

void ExpectContiguous(const Contents& c) {
    // Sequences are given out one by one: a gap is a lost record.
    EXPECT_EQ(c.posOf.size(), c.maxSeq) << "records are missing below " << c.maxSeq;
}

std::string Seed(uint32_t seed) { return "random seed " + std::to_string(seed); }

bool NoErrors(const Child& child) {
    for (const Line& l : child.Lines())
        if (l.kind == 'X') {
            ADD_FAILURE() << "the child failed with status " << l.b;
            return false;
        }
    return true;
}

TEST(DurabilityKill, AcknowledgedInsertsSurviveEveryKill) {
    btr::test::TempDir dir;
    const std::string path = dir.File("plain.btr");
    const uint32_t seed = std::random_device{}();
    SCOPED_TRACE(Seed(seed));
    std::mt19937 rng(seed);
    std::map<uint32_t, uint32_t> acked; // every acknowledged insert of every round

    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        uint32_t start = 0, lastAck = 0;
        {
            Child child({path, "plain"});
            ASSERT_TRUE(child.ReadUntil([](const Line& l) { return l.kind == 'R' || l.kind == 'X'; },
                                        Clock::now() + milliseconds(5000)))
                << "the child did not open the file";
            if (round == 0) {
                // The running child holds the file against this process.
                uint8_t pb[128] = {};
                EXPECT_EQ(OpenFile(path, pb), 85);
            }
            child.ReadFor(milliseconds(std::uniform_int_distribution<int>(5, 200)(rng)));
            child.Kill();
            ASSERT_TRUE(NoErrors(child));
            for (const Line& l : child.Lines()) {
                if (l.kind == 'R') start = lastAck = l.a;
                if (l.kind == 'A') {
                    acked[l.b] = l.a;
                    lastAck = l.b;
                }
            }
        }
        EXPECT_GT(lastAck, start) << "the child acknowledged nothing before the kill";
        const Contents c = ReadBack(path);
        ExpectContiguous(c);
        // Only the insert under way when the kill came may be there unreported.
        EXPECT_GE(c.maxSeq, lastAck);
        EXPECT_LE(c.maxSeq, lastAck + 1);
        for (auto [seq, pos] : acked) ExpectAt(path, seq, pos, c);
    }
}

// Kills a child running batches of inserts in transactions: a committed batch
// is all there, a batch whose end had not been asked for leaves nothing, one
// killed during its end is either all there or not at all.
TEST(DurabilityKill, TransactionsSurviveWholeOrNotAtAll) {
    btr::test::TempDir dir;
    const std::string path = dir.File("txn.btr");
    const uint32_t seed = std::random_device{}();
    SCOPED_TRACE(Seed(seed));
    std::mt19937 rng(seed);
    constexpr uint32_t kBatch = 40;
    std::map<uint32_t, uint32_t> committed;

    enum class Kill { MidBatch, AtEnd, Random };
    for (Kill how : {Kill::MidBatch, Kill::AtEnd, Kill::Random, Kill::MidBatch, Kill::Random}) {
        SCOPED_TRACE("kill mode " + std::to_string(static_cast<int>(how)));
        uint32_t committedMax = 0;
        bool inBatch = false, endAsked = false;
        std::vector<Line> batch;
        {
            Child child({path, "txn", std::to_string(kBatch)});
            ASSERT_TRUE(child.ReadUntil([](const Line& l) { return l.kind == 'R' || l.kind == 'X'; },
                                        Clock::now() + milliseconds(5000)));
            const auto deadline = Clock::now() + milliseconds(5000);
            if (how == Kill::MidBatch) {
                // Inside the third batch, after a random number of its inserts.
                const int nth = 2 * static_cast<int>(kBatch) + std::uniform_int_distribution<int>(1, kBatch - 1)(rng);
                int seen = 0;
                ASSERT_TRUE(child.ReadUntil([&](const Line& l) { return l.kind == 'T' && ++seen == nth; }, deadline));
            } else if (how == Kill::AtEnd) {
                int ends = 0;
                ASSERT_TRUE(child.ReadUntil([&](const Line& l) { return l.kind == 'E' && ++ends == 3; }, deadline));
            } else {
                child.ReadFor(milliseconds(std::uniform_int_distribution<int>(5, 200)(rng)));
            }
            child.Kill();
            ASSERT_TRUE(NoErrors(child));
            for (const Line& l : child.Lines()) {
                switch (l.kind) {
                case 'R': committedMax = l.a; break;
                case 'B': inBatch = true, endAsked = false, batch.clear(); break;
                case 'T': batch.push_back(l); break;
                case 'E': endAsked = true; break;
                case 'C':
                    for (const Line& t : batch) committed[t.b] = t.a;
                    if (!batch.empty()) committedMax = batch.back().b;
                    inBatch = false;
                    break;
                default: break;
                }
            }
        }
        const Contents c = ReadBack(path);
        ExpectContiguous(c);
        if (how == Kill::MidBatch) {
            EXPECT_TRUE(inBatch && !endAsked) << "the kill did not land inside a transaction";
        }
        if (inBatch && endAsked && c.maxSeq == committedMax + kBatch) {
            // The end went through before the kill: the whole batch is there.
            for (const Line& t : batch) committed[t.b] = t.a;
            committedMax = c.maxSeq;
        }
        EXPECT_EQ(c.maxSeq, committedMax) << (inBatch && !endAsked ? "an unfinished transaction left records behind"
                                                                   : "a transaction came back in part");
        for (auto [seq, pos] : committed) ExpectAt(path, seq, pos, c);
    }
}

// A create killed midway leaves either no file or a complete one: never a
// file that neither opens nor can be created again. The kills are spread over
// the time a whole create takes in this build, measured first.
TEST(DurabilityKill, KilledCreateLeavesNoHalfFile) {
    btr::test::TempDir dir;
    const uint32_t seed = std::random_device{}();
    SCOPED_TRACE(Seed(seed));
    std::mt19937 rng(seed);
    Clock::duration whole{};
    {
        Child child({dir.File("whole.btr"), "create"});
        ASSERT_TRUE(child.ReadUntil([](const Line& l) { return l.kind == 'S'; }, Clock::now() + milliseconds(5000)));
        const auto start = Clock::now();
        ASSERT_TRUE(child.ReadUntil([](const Line& l) { return l.kind == 'D'; }, Clock::now() + milliseconds(5000)));
        whole = Clock::now() - start;
        ASSERT_TRUE(NoErrors(child));
    }
    const auto wholeUs = std::chrono::duration_cast<std::chrono::microseconds>(whole).count();
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::string path = dir.File("create" + std::to_string(round) + ".btr");
        {
            Child child({path, "create"});
            ASSERT_TRUE(child.ReadUntil([](const Line& l) { return l.kind == 'S'; }, Clock::now() + milliseconds(5000)));
            std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<long>(0, wholeUs)(rng)));
            child.Kill();
            ASSERT_TRUE(NoErrors(child));
        }
        uint8_t pb[128] = {};
        const int st = OpenFile(path, pb);
        if (st == 0) {
            uint8_t statBuf[16 + 2 * 16];
            uint8_t name[8];
            int32_t len = sizeof statBuf;
            EXPECT_EQ(Call(15, pb, statBuf, &len, name, sizeof name, 0), 0);
            EXPECT_EQ(statBuf[0] | statBuf[1] << 8, kRecordLen);
            EXPECT_EQ(statBuf[4] | statBuf[5] << 8, 2);
            CloseFile(pb);
        } else {
            EXPECT_EQ(st, 12) << "a killed create left a file that does not open";
            std::string spec = CreateBuffer();
            int32_t len = static_cast<int32_t>(spec.size());
            std::string key = path;
            EXPECT_EQ(Call(14, pb, spec.data(), &len, key.data(), static_cast<uint8_t>(key.size() + 1), 255), 0);
        }
    }
}

} // namespace
