// The process the kill test kills: it opens (or creates) a file and inserts
// records until it is killed, reporting on stdout every insert the engine
// acknowledged. Each report is one write(2) of one line, so whatever reached
// the pipe before the kill is a complete, acknowledged line.
//
//   child FILE plain        inserts outside a transaction: "A pos seq"
//   child FILE txn BATCH    batches of BATCH inserts: "B", "T pos seq" per
//                           insert, "E" just before end-transaction, "C" after
//                           it answered 0
//   child FILE create       "S" just before creating FILE, "D" once done
//
// Every run starts with "R seq" (the last sequence in the file) once the file
// is open; a failing call prints "X what status" and exits 1.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/btrengine/durability/record.h"
#include "tests/btrengine/entry.h"

namespace {

using namespace btr::test::durability;

uint8_t posBlock[128];

void Say(const std::string& line) {
    const std::string s = line + "\n";
    if (::write(1, s.data(), s.size()) != static_cast<ssize_t>(s.size())) std::_Exit(2);
}

[[noreturn]] void Die(const char* what, int status) {
    Say(std::string("X ") + what + " " + std::to_string(status));
    std::_Exit(1);
}

int Create(const std::string& path) {
    std::string spec = CreateBuffer();
    int32_t len = static_cast<int32_t>(spec.size());
    std::string key = path;
    return BTRCALL(14, posBlock, spec.data(), &len, key.data(), static_cast<uint8_t>(key.size() + 1), 255);
}

int Open(const std::string& path) {
    int32_t len = 0;
    std::string key = path;
    return BTRCALL(0, posBlock, nullptr, &len, key.data(), static_cast<uint8_t>(key.size() + 1), 0);
}

uint32_t LastSequence() {
    uint8_t rec[kRecordLen];
    uint8_t key[4];
    int32_t len = sizeof rec;
    const int st = BTRCALL(13, posBlock, rec, &len, key, sizeof key, 0);
    if (st == 9) return 0;
    if (st != 0) Die("last", st);
    return Get32(rec);
}

// Inserts record `seq`; returns its physical position.
uint32_t Insert(uint32_t seq) {
    uint8_t rec[kRecordLen];
    uint8_t key[4];
    MakeRecord(seq, rec);
    int32_t len = kRecordLen;
    int st = BTRCALL(2, posBlock, rec, &len, key, sizeof key, 0);
    if (st != 0) Die("insert", st);
    uint8_t pos[4];
    len = sizeof pos;
    st = BTRCALL(22, posBlock, pos, &len, nullptr, 0, 0);
    if (st != 0) Die("position", st);
    return Get32(pos);
}

int Call(uint16_t op) {
    int32_t len = 0;
    return BTRCALL(op, posBlock, nullptr, &len, nullptr, 0, 0);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s FILE plain|txn BATCH|create\n", argv[0]);
        return 64;
    }
    const std::string path = argv[1], mode = argv[2];
    if (mode == "create") {
        Say("S");
        const int st = Create(path);
        if (st != 0) Die("create", st);
        Say("D");
        return 0;
    }
    int st = Open(path);
    if (st == 12) {
        st = Create(path);
        if (st != 0) Die("create", st);
        st = Open(path);
    }
    if (st != 0) Die("open", st);
    uint32_t seq = LastSequence();
    Say("R " + std::to_string(seq));
    // Bounded, so a child whose parent vanished without killing it ends.
    const uint32_t limit = seq + 5000000;
    if (mode == "plain") {
        while (seq < limit) {
            ++seq;
            const uint32_t pos = Insert(seq);
            Say("A " + std::to_string(pos) + " " + std::to_string(seq));
        }
    } else if (mode == "txn" && argc > 3) {
        const uint32_t batch = static_cast<uint32_t>(std::atoi(argv[3]));
        while (seq < limit) {
            if ((st = Call(19)) != 0) Die("begin", st);
            Say("B");
            for (uint32_t i = 0; i < batch; ++i) {
                ++seq;
                const uint32_t pos = Insert(seq);
                Say("T " + std::to_string(pos) + " " + std::to_string(seq));
            }
            Say("E");
            if ((st = Call(20)) != 0) Die("end", st);
            Say("C");
        }
    } else {
        return 64;
    }
    return 0;
}
