// The writer the durability test kills: inserts records and tells, on
// standard output, each one the engine acknowledged.
//   child FILE single   one record per call, outside a transaction: "ok ID"
//   child FILE batch    batches of 50 in a transaction: "commit FIRST LAST"
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tests/btrengine/durability/records.h"

using namespace btr::test;

namespace {

void Say(const std::string& line) {
    const std::string l = line + "\n";
    if (write(STDOUT_FILENO, l.data(), l.size()) != static_cast<ssize_t>(l.size())) _exit(3);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    const std::string path = argv[1], mode = argv[2];
    int32_t id = std::stoi(argv[3]);
    Handle h;
    if (h.Open(path) != 0) return 1;
    Say("ready");
    for (;;) {
        if (mode == "single") {
            if (h.Insert(DurableRecord(id)) != 0) return 1;
            Say("ok " + std::to_string(id));
            ++id;
        } else {
            if (Transaction(19, h.Owner()) != 0) return 1;
            const int32_t first = id;
            for (int i = 0; i < 50; ++i, ++id)
                if (h.Insert(DurableRecord(id)) != 0) return 1;
            if (Transaction(20, h.Owner()) != 0) return 1;
            Say("commit " + std::to_string(first) + " " + std::to_string(id - 1));
        }
    }
}
