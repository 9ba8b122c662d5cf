// The processes the kill test kills: writers that open (or create) a file
// and insert records until they are killed, reporting on stdout every insert
// the engine acknowledged, and a reader that reads the file whole over and
// over meanwhile. Each report is one write(2) of one line, so whatever
// reached the pipe before the kill is a complete, acknowledged line.
//
//   child FILE W plain        writer W (1, 2, ...) inserts outside a
//                             transaction: "A pos id"
//   child FILE W txn BATCH [PAUSE]
//                             batches of BATCH inserts: "B", "T pos id" per
//                             insert, "E" just before end-transaction, "C"
//                             after it answered 0; with PAUSE, after that many
//                             inserts "P", and then it waits (on its standard
//                             input) to be killed inside the transaction
//   child FILE 0 read         reads key 0 through, again and again: "V m1 m2"
//                             after each pass (the last sequence of writers 1
//                             and 2 it read), each record checked whole
//   child FILE 0 create       "S" just before creating (or replacing) FILE, "D" once done
//
// Writer W's records carry ids W * kRange + 1, + 2, ... in turn. Every writer
// starts with "R seq" (its last sequence in the file) once the file is open;
// an insert that meets another writer's transaction (85) is made again; any
// other failing call prints "X status what" and exits 1.
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/btrengine/durability/record.h"

using namespace btr::test;

namespace {

void Say(const std::string& line) {
    const std::string s = line + "\n";
    if (::write(1, s.data(), s.size()) != static_cast<ssize_t>(s.size())) std::_Exit(2);
}

void Check(int status, const char* what) {
    if (status == 0) return;
    Say("X " + std::to_string(status) + " " + what);
    std::_Exit(1);
}

} // namespace

// Reads the file through on key 0 until killed; every record must be whole.
[[noreturn]] void ReadOn(Handle& h) {
    for (;;) {
        uint32_t last[3] = {};
        int st;
        for (st = h.Get(12); st == 0; st = h.Get(6)) {
            if (!durability::Intact(h.Record)) Check(-2, "a record read is not whole");
            const uint32_t id = Get32(h.Record.data()), w = id / durability::kRange;
            if (w >= 1 && w <= 2) last[w] = std::max(last[w], id % durability::kRange);
        }
        if (st != 9) Check(st, "read");
        Say("V " + std::to_string(last[1]) + " " + std::to_string(last[2]));
    }
}

int main(int argc, char** argv) {
    const std::string mode = argc > 3 ? argv[3] : "";
    const bool known = mode == "plain" || mode == "create" || mode == "read" || (mode == "txn" && argc > 4);
    if (!known) return 64;
    const std::string path = argv[1];
    const uint32_t writer = static_cast<uint32_t>(std::atoi(argv[2]));
    if (mode == "create") {
        Say("S");
        Check(Create(path, durability::FileSpec()), "create");
        Say("D");
        return 0;
    }
    Handle h;
    int st = h.Open(path);
    if (st == 12) {
        st = Create(path, durability::FileSpec(), 255);
        if (st != 59) Check(st, "create"); // 59: the other writer made it first
        st = h.Open(path);
    }
    Check(st, "open");
    if (mode == "read") ReadOn(h);
    const uint32_t base = writer * durability::kRange;
    st = h.Get(10, 0, Int32Key(static_cast<int32_t>(base + durability::kRange))); // its last record, if any
    if (st != 4) Check(st, "last");
    uint32_t seq = st == 0 && Get32(h.Record.data()) > base ? Get32(h.Record.data()) - base : 0;
    Say("R " + std::to_string(seq));
    const uint32_t batch = mode == "txn" ? static_cast<uint32_t>(std::atoi(argv[4])) : 0;
    const uint32_t pause = mode == "txn" && argc > 5 ? static_cast<uint32_t>(std::atoi(argv[5])) : 0;
    uint32_t inserted = 0;
    // Bounded, so a child whose parent vanished without killing it ends.
    for (const uint32_t limit = seq + 5000000; seq < limit;) {
        if (batch) {
            Check(Transaction(19, h.Owner()), "begin");
            Say("B");
        }
        for (uint32_t i = 0; i < std::max(batch, 1u); ++i) {
            const Bytes rec = durability::MakeRecord(base + seq + 1);
            while ((st = h.Insert(rec)) == 85) ::sched_yield(); // the other writer's transaction
            Check(st, "insert");
            ++seq;
            const uint32_t pos = h.Position();
            Check(pos ? 0 : -1, "position");
            Say((batch ? "T " : "A ") + std::to_string(pos) + " " + std::to_string(seq));
            if (++inserted == pause) {
                Say("P");
                char byte;
                while (::read(0, &byte, 1) != 0) {
                }
                std::_Exit(3); // only the kill should end it here
            }
        }
        if (batch) {
            Say("E");
            Check(Transaction(20, h.Owner()), "end");
            Say("C");
            // Room for the other writer, whose inserts meet this one's
            // transactions (85) until one ends: without it the next begins
            // before the other's retry comes.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    return 0;
}
