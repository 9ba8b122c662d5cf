// Another process on the shared files: it reads commands on its standard
// input, one per line, makes the engine calls they name and answers each
// with one line, the status first. Handles are numbered; each is a client
// of its own.
//
//   create PATH                   the tests' layout (record.h)
//   open H PATH [MODE [OWNER]]
//   close H | delete H | pos H (status, position) | stat H (status, records)
//   get H OP KEYNUM [ID]          any get, step or get direct (ID: the key,
//                                 or the position); answers status, id,
//                                 counter and text of the record read
//   insert H ID COUNTER TEXT | update H ID COUNTER TEXT
//   unlock H KEYNUM [POS]
//   fill H FROM COUNT             inserts ids FROM.. (COUNT of them), each
//                                 again while another client's transaction
//                                 holds the file; the first other status ends it
//   txn H OP                      begin (19, 1019, plus a bias), end (20),
//                                 abort (21), stop (25) for H's client
//   stress PATH WORKER OPS SEED   two threads of random work (below), then
//                                 "done"
//   pair PATH1 PATH2 FROM COUNT   one client, in one transaction, inserts
//                                 ids FROM.. (COUNT of them) into both files:
//                                 "E" before the end, then the end's status
//
//   peer [--uid N]                drops to user N first (when run as root)
#include <grp.h>
#include <unistd.h>

#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "tests/btrengine/sharing/record.h"

using namespace btr::test;
using namespace btr::test::sharing;

namespace {

std::mutex sayLock;

void Say(const std::string& line) {
    const std::lock_guard guard(sayLock);
    const std::string s = line + "\n";
    if (::write(1, s.data(), s.size()) != static_cast<ssize_t>(s.size())) std::_Exit(2);
}

std::string Read(const Handle& h, int16_t st) {
    return std::to_string(st) + " " + std::to_string(st ? -1 : IdOf(h.Record)) + " " +
           std::to_string(st ? -1 : CounterOf(h.Record)) + " " + (st ? std::string("-") : TextOf(h.Record));
}

// Random work of one thread on the stress file. Records 1..kCounters are
// counters: a thread locks one, reads it and writes it back one higher, alone
// or in a transaction, and counts each increment the engine acknowledged.
// Others it inserts (ids of its own) and deletes again, counting both. An
// answer that breaks a rule ends the process with "X status what": an update
// of a record the thread holds locked must succeed (or meet another client's
// transaction), never find it changed.
constexpr int32_t kCounters = 8;

struct Tally {
    std::map<int32_t, int64_t> increments;
    int64_t inserted = 0, deleted = 0;
};

void Fail(int st, const std::string& what) {
    Say("X " + std::to_string(st) + " " + what);
    std::_Exit(1);
}

void Work(const std::string& path, int worker, int thread, int ops, uint32_t seed, Tally& tally) {
    std::mt19937 rng(seed);
    Handle h(Client(static_cast<uint16_t>(10 + thread)));
    if (const int st = h.Open(path)) Fail(st, "open");
    std::vector<int32_t> mine;
    int32_t next = (worker * 10 + thread) * 100000;
    for (int op = 0; op < ops; ++op) {
        const int kind = std::uniform_int_distribution<int>(0, 9)(rng);
        if (kind < 5) { // increment a counter under a lock, waiting or retrying
            const int32_t id = std::uniform_int_distribution<int32_t>(1, kCounters)(rng);
            const bool txn = kind == 4;
            const uint16_t bias = kind % 2 ? 100 : 200;
            for (;;) {
                if (txn) {
                    if (const int st = Transaction(1019, h.Owner())) Fail(st, "begin");
                }
                int st = h.Get(static_cast<uint16_t>(5 + bias), 0, Int32Key(id));
                if (st == 0) {
                    Bytes rec = h.Record;
                    const int32_t counter = CounterOf(rec) + 1;
                    st = h.Update(Record(id, counter, "count"));
                    if (st != 0 && st != 85) Fail(st, "update of a locked counter");
                    if (st == 0 && txn) st = Transaction(20, h.Owner());
                    else if (txn) Transaction(21, h.Owner());
                    if (st == 0) {
                        tally.increments[id]++;
                        break;
                    }
                    if (st != 85) Fail(st, "end");
                    h.Unlock();
                    continue;
                }
                if (txn) Transaction(21, h.Owner());
                if (st != 84 && st != 85 && st != 78) Fail(st, "locked read of a counter");
                std::this_thread::yield();
            }
        } else if (kind < 8 || mine.empty()) { // insert one of its own
            const int32_t id = ++next;
            int st;
            const std::string tag = std::string("t").append(std::to_string(id % 5));
            while ((st = h.Insert(Record(id, 0, tag))) == 85) std::this_thread::yield();
            if (st) Fail(st, "insert");
            mine.push_back(id);
            tally.inserted++;
        } else { // delete one of its own
            const size_t at = std::uniform_int_distribution<size_t>(0, mine.size() - 1)(rng);
            int st = h.Get(5, 0, Int32Key(mine[at]));
            if (st) Fail(st, "read of its own record");
            while ((st = h.Delete()) == 85) std::this_thread::yield();
            if (st) Fail(st, "delete");
            mine.erase(mine.begin() + static_cast<long>(at));
            tally.deleted++;
        }
    }
    if (const int st = h.Close()) Fail(st, "close");
}

void Stress(const std::string& path, int worker, int ops, uint32_t seed) {
    Tally tallies[2];
    std::thread threads[2];
    for (int t = 0; t < 2; ++t)
        threads[t] = std::thread(Work, path, worker, t, ops, seed * 2 + static_cast<uint32_t>(t), std::ref(tallies[t]));
    for (auto& t : threads) t.join();
    std::map<int32_t, int64_t> increments;
    int64_t net = 0;
    for (const Tally& t : tallies) {
        for (auto [id, n] : t.increments) increments[id] += n;
        net += t.inserted - t.deleted;
    }
    std::string line = "done " + std::to_string(net);
    for (int32_t id = 1; id <= kCounters; ++id) line.append(" ").append(std::to_string(increments[id]));
    Say(line);
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--uid" && ::getuid() == 0) {
        const auto uid = static_cast<uid_t>(std::stoul(argv[2]));
        if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0) return 3;
    }
    std::map<int, Handle> handles;
    auto handle = [&](int n) -> Handle& { return handles.try_emplace(n, Client(static_cast<uint16_t>(n + 1))).first->second; };
    for (std::string line; std::getline(std::cin, line);) {
        std::istringstream in(line);
        std::string cmd, path, text;
        int n = 0;
        in >> cmd;
        if (cmd == "create") {
            in >> path;
            Say(std::to_string(Create(path, FileSpec())));
            continue;
        }
        if (cmd == "pair") {
            std::string second;
            int32_t from = 0, count = 0;
            in >> path >> second >> from >> count;
            Handle a(Client(500)), b(Client(500));
            int st = a.Open(path);
            if (!st) st = b.Open(second);
            if (!st) st = Transaction(19, a.Owner());
            for (int32_t id = from; id < from + count && !st; ++id)
                if (!(st = a.Insert(Record(id, 0, "pair")))) st = b.Insert(Record(id, 0, "pair"));
            if (st) {
                Say("X " + std::to_string(st));
                continue;
            }
            Say("E");
            Say(std::to_string(Transaction(20, a.Owner())));
            continue;
        }
        if (cmd == "stress") {
            int worker = 0, ops = 0;
            uint32_t seed = 0;
            in >> path >> worker >> ops >> seed;
            Stress(path, worker, ops, seed);
            continue;
        }
        in >> n;
        Handle& h = handle(n);
        if (cmd == "open") {
            int mode = 0;
            std::string owner;
            in >> path >> mode >> owner;
            Say(std::to_string(h.Open(path, static_cast<uint8_t>(mode), owner)));
        } else if (cmd == "close") {
            Say(std::to_string(h.Close()));
        } else if (cmd == "delete") {
            Say(std::to_string(h.Delete()));
        } else if (cmd == "pos") {
            const uint32_t pos = h.Position();
            Say(std::string(pos ? "0 " : "8 ") + std::to_string(pos));
        } else if (cmd == "stat") {
            uint8_t buf[512];
            int32_t len = sizeof buf;
            const int16_t st = h.Call(15, buf, len, nullptr, 0, 0);
            Say(std::to_string(st) + " " + std::to_string(st ? 0 : Get32(buf + 6)));
        } else if (cmd == "get") {
            int op = 0, key = 0, value = 0;
            in >> op >> key >> value;
            const int16_t st = op % 100 == 23 ? h.GetBy(static_cast<uint16_t>(op), static_cast<uint32_t>(value),
                                                        static_cast<uint8_t>(key))
                                              : h.Get(static_cast<uint16_t>(op), static_cast<uint8_t>(key), Int32Key(value));
            Say(Read(h, st));
        } else if (cmd == "insert" || cmd == "update") {
            int id = 0, counter = 0;
            in >> id >> counter >> text;
            const Bytes rec = Record(id, counter, text);
            Say(std::to_string(cmd == "insert" ? h.Insert(rec) : h.Update(rec)));
        } else if (cmd == "fill") {
            int32_t from = 0, count = 0;
            in >> from >> count;
            int16_t st = 0;
            for (int32_t id = from; id < from + count && st == 0;)
                if ((st = h.Insert(Record(id, 0, "fill"))) == 85) st = 0;
                else if (st == 0) ++id;
            Say(std::to_string(st));
        } else if (cmd == "unlock") {
            int key = 0;
            uint32_t pos = 0;
            in >> key >> pos;
            Say(std::to_string(h.Unlock(static_cast<uint8_t>(key), pos)));
        } else if (cmd == "txn") {
            int op = 0;
            in >> op;
            Say(std::to_string(Transaction(static_cast<uint16_t>(op), h.Owner())));
        } else {
            Say("1 unknown command " + cmd);
        }
    }
    return 0;
}
