// A first look at btrkit: creates a Btrieve file on the embedded engine,
// fills it, reads it by key, in physical order and with an extended read,
// changes and removes records, and shows what an engine error looks like.
// The file lands in the directory given as the argument (default: a fresh
// one under /tmp).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "engine/btrerrors.h"
#include "engine/btrfile.h"

using namespace btr;

namespace {

#pragma pack(push, 1)
struct Client {
    LEInt32 Code;
    char Name[20];
};
#pragma pack(pop)

void Print(const char* what, const Client& c) { std::printf("  %-8s Code %3d  Name %s\n", what, int(c.Code), c.Name); }

std::string WorkDir(int argc, char** argv) {
    if (argc > 1) return argv[1];
    char tmpl[] = "/tmp/btrkit-example-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("cannot make a directory under /tmp");
    return tmpl;
}

} // namespace

int main(int argc, char** argv) {
    try {
        const std::string dir = WorkDir(argc, argv);
        std::filesystem::create_directories(dir);
        const std::string path = dir + "/CLIENTS.DAT";
        Client rec{};
        TBtrieveFile file;
        file.SetFileName(path);
        // Key 0: the code (integer, unique); key 1: the name (string, duplicates, modifiable).
        file.AddKeySegment(1, 4, 0, 1, 0);
        file.AddKeySegment(5, 20, 0x0001 | 0x0002, 0, 0);
        file.CreateFile(0, sizeof(Client), 1024, 0, 0);
        std::printf("Created %s\n", path.c_str());

        file.SetDataBuffer(&rec, sizeof rec);
        file.SetActive(true);
        const char* names[] = {"Sidorov", "Ivanov", "Petrov", "Ivanov", "Kuznetsov"};
        for (int i = 0; i < 5; ++i) {
            rec = Client{};
            rec.Code = 10 * (5 - i);
            std::strncpy(rec.Name, names[i], sizeof rec.Name - 1);
            file.Insert();
        }
        std::printf("%d records, %d keys\n", file.NumberOfRecords(), file.IndexCnt());

        std::printf("By code (key 0):\n");
        for (file.Get(12, 0); file.Status() == 0; file.Get(6, 0)) Print("", rec);
        std::printf("By name (key 1), duplicates in the order written:\n");
        file.SetKeyPath(1);
        for (file.Get(12, 0); file.Status() == 0; file.Get(6, 0)) Print("", rec);

        std::printf("Names from code 30 on, by an extended read:\n");
        file.SetKeyPath(0);
        uint8_t answer[512];
        file.XInit(answer, sizeof answer);
        const int32_t from = 30;
        file.AddFilterCondition(1, 4, 0, 5, 0, &from, 0); // Code >= 30
        file.AddFieldToExtract(20, 4);                    // Name
        file.Get(12, 0);
        file.XGet(36, true, 0, 10);
        for (const TXRecord& r : ParseExtendedAnswer(file.XData(), static_cast<size_t>(file.BytesRead())))
            std::printf("  position %u: %s\n", r.Position, reinterpret_cast<const char*>(r.Bytes.data()));

        const int32_t code = 20;
        file.MakeKey({&code});
        file.Get(5, 0);
        std::strncpy(rec.Name, "Smirnov", sizeof rec.Name - 1);
        file.Update();
        Print("updated", rec);
        file.Get(12, 0);
        file.Delete();
        std::printf("Deleted the first record; %d left\n", file.NumberOfRecords());

        std::printf("Inserting code 20 again:\n");
        try {
            rec.Code = 20;
            file.Insert();
        } catch (const EBtrieve& e) {
            std::printf("  EBtrieve %d: %s\n", e.Error(), e.what());
        }
        file.SetActive(false);
        std::printf("Closed\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
