// The process the kill test kills: it opens (or creates) a file and inserts
// records until it is killed, reporting on stdout every insert the engine
// acknowledged. Each report is one write(2) of one line, so whatever reached
// the pipe before the kill is a complete, acknowledged line.
//
//   child FILE plain        inserts outside a transaction: "A pos seq"
//   child FILE txn BATCH [PAUSE]
//                           batches of BATCH inserts: "B", "T pos seq" per
//                           insert, "E" just before end-transaction, "C" after
//                           it answered 0; with PAUSE, after that many inserts
//                           "P", and then it waits (on its standard input) to
//                           be killed inside the transaction
//   child FILE create       "S" just before creating (or replacing) FILE, "D" once done
//
// Every insert run starts with "R seq" (the last sequence in the file) once
// the file is open; a failing call prints "X status what" and exits 1.
#include <unistd.h>

#include <cstdlib>

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

int main(int argc, char** argv) {
    const std::string mode = argc > 2 ? argv[2] : "";
    if (mode != "plain" && mode != "create" && !(mode == "txn" && argc > 3)) return 64;
    const std::string path = argv[1];
    if (mode == "create") {
        Say("S");
        Check(Create(path, durability::FileSpec()), "create");
        Say("D");
        return 0;
    }
    Handle h;
    int st = h.Open(path);
    if (st == 12) {
        Check(Create(path, durability::FileSpec(), 255), "create");
        st = h.Open(path);
    }
    Check(st, "open");
    st = h.Get(13);
    if (st != 9) Check(st, "last");
    uint32_t seq = st ? 0 : Get32(h.Record.data());
    Say("R " + std::to_string(seq));
    const uint32_t batch = mode == "txn" ? static_cast<uint32_t>(std::atoi(argv[3])) : 0;
    const uint32_t pause = mode == "txn" && argc > 4 ? static_cast<uint32_t>(std::atoi(argv[4])) : 0;
    uint32_t inserted = 0;
    // Bounded, so a child whose parent vanished without killing it ends.
    for (const uint32_t limit = seq + 5000000; seq < limit;) {
        if (batch) {
            Check(Transaction(19, h.Owner()), "begin");
            Say("B");
        }
        for (uint32_t i = 0; i < std::max(batch, 1u); ++i) {
            Check(h.Insert(durability::MakeRecord(++seq)), "insert");
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
        }
    }
    return 0;
}
