// A first look at btrkit: opens a Btrieve file through TBtrieveFile, reads
// it by key and by physical position, and prints every engine request on
// the way. It runs on the scriptable test engine, which answers as a small
// file of three records would.
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/btrfile.h"
#include "platform/format.h"
#include "tests/fake_engine/fake_engine.h"

using namespace btr;

namespace {

#pragma pack(push, 1)
struct Client {
    LEInt32 Code;
    char Name[20];
};
#pragma pack(pop)

void ScriptTheFile() {
    // Open, then the statistics: 24-byte records, one key on Code.
    fake_push(0, nullptr, 0, 0, nullptr, 0);
    FileSpec spec{};
    spec.RecordLen = sizeof(Client);
    spec.PageSize = 1024;
    spec.Indexes = 1;
    spec.Records = 3;
    spec.KeyBuff[0].KeyPos = 1;
    spec.KeyBuff[0].KeyLen = 4;
    spec.KeyBuff[0].KeyType = 1;
    fake_push(0, &spec, sizeof spec, sizeof spec, nullptr, 0);
    // Three records in key order, then the end of the file.
    const char* names[] = {"Ivanov", "Petrov", "Sidorov"};
    for (int i = 0; i < 3; ++i) {
        Client c{};
        c.Code = 10 * (i + 1);
        std::strncpy(c.Name, names[i], sizeof c.Name - 1);
        fake_push(0, &c, sizeof c, sizeof c, &c.Code, 4);
    }
    fake_push(9, nullptr, 0, 0, nullptr, 0);
    const uint32_t position = 2048;
    fake_push(0, &position, 4, 4, nullptr, 0); // the position of the last record read
}

void PrintRequests(int from) {
    for (int i = from; i < fake_count(); ++i) {
        const FakeRequest* r = fake_request(i);
        std::printf("  request %d: data length %4d -> %4d, key number %3d, %s\n", i, r->dataLenIn, r->dataLenOut,
                    r->keyNum, OperationText(r->op).c_str());
    }
}

} // namespace

int main() {
    SetEngineLibrary(FAKE_ENGINE_PATH);
    ScriptTheFile();
    try {
        TBtrieveFile file;
        Client rec{};
        file.SetFileName("CLIENTS.DAT");
        file.SetDataBuffer(&rec, sizeof rec);
        std::printf("Opening %s\n", file.FileName().c_str());
        file.SetActive(true);
        PrintRequests(0);
        std::printf("Record length %d, %d key(s), key 0 of %d byte(s)\n", file.RecordLen(), file.IndexCnt(),
                    file.KeySize());

        std::printf("Reading in key order:\n");
        int seen = fake_count();
        for (file.Get(12, 0); file.Status() == 0; file.Get(6, 0))
            std::printf("  Code %3d  Name %s\n", int(rec.Code), rec.Name);
        std::printf("Status %d: end of file\n", file.Status());
        std::printf("Physical position of the last record read: %u\n", file.GetPosition());
        PrintRequests(seen);

        seen = fake_count();
        file.SetActive(false);
        std::printf("Closed\n");
        PrintRequests(seen);
    } catch (const EBtrieve& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
