// A forward scan of one file three ways, in one run: TBDataSet reading every
// field with AsString, TBtrieveFile::Get alone, and the engine's entry alone.
//
//   dataset_bench [N]          default 100000 records of ten fields
#include <unistd.h>

#include <chrono>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "dataset/btrset.h"
#include "dictionary/dictfile.h"
#include "engine/btrv.h"
#include "framework/datetime.h"
#include "tests/btrengine/entry.h"

using namespace btr;

namespace {

double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

struct Field {
    const char* name;
    int type, length;
};
// Ten fields of mixed types: 4+31+21+4+4+8+8+2+10+2 = 94 bytes.
constexpr Field kFields[] = {{"Code", 3, 4},    {"Name", 9, 31},  {"Town", 1, 21}, {"Born", 5, 4},
                             {"At", 6, 4},      {"Rate", 4, 8},   {"Price", 21, 8}, {"Qty", 2, 2},
                             {"Amount", 17, 10}, {"W", 13, 2}};

void Entry(TDictFile& d, int16_t etype, const std::string& owner, int32_t number, const std::string& name,
           uint16_t itype, uint16_t flags, int32_t length) {
    d.Buff.Clear();
    d.Buff.EType = etype;
    d.Buff.SetOwner(owner);
    d.Buff.Number = number;
    d.Buff.SetName(name);
    d.Buff.IType = itype;
    d.Buff.KeyFlags = flags;
    d.Buff.Length = length;
    d.Insert();
}

} // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 100000;
    // Each scan runs this many times and keeps its best rate.
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    char tmpl[] = "/tmp/btrkit-dsbench-XXXXXX";
    if (!mkdtemp(tmpl) || n <= 0) return 1;
    const std::filesystem::path dir = tmpl;
    std::filesystem::current_path(dir);
    const std::string dict = (dir / "DICT.DAT").string(), file = (dir / "DATA.DAT").string();
    {
        TDictFile d(dict);
        d.CreateFile();
        d.SetActive(true);
        Entry(d, etFile, "", 0, "DATA.DAT", 0, 0, 4096);
        int32_t no = 0;
        for (const Field& f : kFields) Entry(d, etField, "DATA.DAT", no++, f.name, static_cast<uint16_t>(f.type), 0, f.length);
        Entry(d, etKeySegment, "DATA.DAT", 0, "Code", 0, 0x0100, 0);
        d.CreateFile("DATA.DAT");
    }
    TBDataSet ds;
    ds.SetDictName(dict);
    ds.SetBaseName(file);
    ds.Open();
    {
        int32_t len = 0;
        BTRV(19, nullptr, nullptr, len, nullptr, 0, 0, *ds.DataFile()->GetClientID());
        for (int i = 0; i < n; ++i) {
            ds.Append();
            ds.Fields()[0]->SetAsInteger(i);
            ds.Fields()[1]->SetAsString("Имя " + std::to_string(i));
            ds.Fields()[2]->SetAsString("Город " + std::to_string(i % 100));
            ds.Fields()[3]->SetAsDateTime(EncodeDate(1950 + i % 70, 1 + i % 12, 1 + i % 28));
            ds.Fields()[4]->SetAsDateTime(EncodeTime(i % 24, i % 60, i % 60, 0));
            ds.Fields()[5]->SetAsFloat(i * 0.25);
            ds.Fields()[6]->SetAsFloat(i / 100.0);
            ds.Fields()[7]->SetAsInteger(i % 30000);
            ds.Fields()[8]->SetAsInteger(i);
            ds.Fields()[9]->SetAsInteger(i % 65536);
            ds.Post();
        }
        BTRV(20, nullptr, nullptr, len, nullptr, 0, 0, *ds.DataFile()->GetClientID());
    }

    // 1. The dataset: every field as text.
    double dataset = 0;
    size_t chars = 0;
    int seen = 0;
    for (int r = 0; r < runs; ++r) {
        const double t = Now();
        chars = 0;
        seen = 0;
        for (ds.First(); !ds.Eof(); ds.Next(), ++seen)
            for (int f = 0; f < ds.FieldCount(); ++f) chars += ds.Fields()[f]->AsString().size();
        dataset = std::max(dataset, seen / (Now() - t));
    }
    // The same walk reading no field: what navigation alone costs.
    double walk = 0;
    for (int r = 0; r < runs; ++r) {
        const double t = Now();
        int walked = 0;
        for (ds.First(); !ds.Eof(); ds.Next()) ++walked;
        walk = std::max(walk, walked / (Now() - t));
    }
    ds.Close();

    // 2. TBtrieveFile::Get alone.
    uint8_t rec[256];
    TBtrieveFile bf;
    bf.SetFileName(file);
    bf.SetDataBuffer(rec, sizeof rec);
    bf.SetActive(true);
    double fileObject = 0;
    int seen2 = 0;
    for (int r = 0; r < runs; ++r) {
        const double t = Now();
        seen2 = 0;
        for (bf.Get(12, 0); bf.Status() == 0; bf.Get(6, 0)) ++seen2;
        fileObject = std::max(fileObject, seen2 / (Now() - t));
    }
    bf.SetActive(false);

    // 3. The entry point alone.
    uint8_t pos[128] = {}, key[255];
    std::string name = file;
    int32_t len = 0;
    BTRCALL(0, pos, nullptr, &len, name.data(), static_cast<uint8_t>(name.size() + 1), 0);
    double entry = 0;
    int seen3 = 0;
    for (int r = 0; r < runs; ++r) {
        const double t = Now();
        seen3 = 0;
        for (int16_t st = BTRCALL(12, pos, rec, &(len = sizeof rec), key, 255, 0); st == 0;
             st = BTRCALL(6, pos, rec, &(len = sizeof rec), key, 255, 0))
            ++seen3;
        entry = std::max(entry, seen3 / (Now() - t));
    }
    BTRCALL(1, pos, nullptr, &len, nullptr, 0, 0);

    std::printf("%d records of ten fields (%zu characters read as text)\n\n", n, chars);
    std::printf("| scan | records/s | ratio |\n|---|---:|---:|\n");
    std::printf("| TBDataSet, every field AsString | %.0f | %.2f of TBtrieveFile |\n", dataset, dataset / fileObject);
    std::printf("| TBDataSet, navigation only | %.0f | %.2f of TBtrieveFile |\n", walk, walk / fileObject);
    std::printf("| TBtrieveFile::Get | %.0f | %.2f of the entry point |\n", fileObject, fileObject / entry);
    std::printf("| BTRCALL alone | %.0f | |\n", entry);
    if (seen != n || seen2 != n || seen3 != n) std::printf("counts differ: %d %d %d\n", seen, seen2, seen3);
    std::filesystem::current_path("/");
    std::filesystem::remove_all(dir);
    return 0;
}
