#include "bench/common/tenfields.h"

#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "dictionary/dictfile.h"
#include "dictionary/dictrec.h"
#include "engine/btrv.h"
#include "framework/datetime.h"

using namespace btr;

namespace bench {

namespace {

struct Field {
    const char* name;
    int32_t type, length;
};
// 4+31+21+4+4+8+8+2+10+2 = 94 bytes.
constexpr Field kFields[] = {{"Code", btLongint, 4},    {"Name", btZStringWIN, 31}, {"Town", btZStringDOS, 21},
                             {"Born", btDate, 4},        {"At", btTime, 4},          {"Rate", btDouble, 8},
                             {"Price", btRSFloat, 8},    {"Qty", btSmallint, 2},     {"Amount", btDecimal, 10},
                             {"W", btWord, 2}};

void Entry(TDictFile& d, int16_t etype, const std::string& owner, int32_t number, const std::string& name,
           int32_t itype, uint16_t flags, int32_t length) {
    d.Buff.Clear();
    d.Buff.EType = etype;
    d.Buff.SetOwner(owner);
    d.Buff.Number = number;
    d.Buff.SetName(name);
    d.Buff.IType = static_cast<uint16_t>(itype);
    d.Buff.KeyFlags = flags;
    d.Buff.Length = length;
    d.Insert();
}

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "bench: %s\n", what.c_str());
    std::exit(1);
}

void Exec(sqlite3* db, const char* sql) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail(std::string(sql) + ": " + sqlite3_errmsg(db));
}

} // namespace

const char* const kSelectAll = "SELECT Code, Name, Town, Born, At, Rate, Price, Qty, Amount, W FROM data ORDER BY Code";

const char* const kSqlitePragmas[4] = {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=NORMAL",
                                       "PRAGMA mmap_size=1073741824", "PRAGMA cache_size=-16384"};

double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

long PrivateKb() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0, shared = 0;
    statm >> size >> resident >> shared;
    return (resident - shared) * (sysconf(_SC_PAGESIZE) / 1024);
}

ScratchDir::ScratchDir() {
    char tmpl[] = "/tmp/btrkit-bench-XXXXXX";
    if (!mkdtemp(tmpl)) Fail("no scratch directory in /tmp");
    FPath = tmpl;
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(FPath, ec);
}

void CreateTenFieldFile(const std::filesystem::path& dir, int n, TBDataSet& ds) {
    const std::string dict = (dir / "DICT.DAT").string(), file = (dir / "DATA.DAT").string();
    {
        TDictFile d(dict);
        d.CreateFile();
        d.SetActive(true);
        Entry(d, etFile, "", 0, "DATA.DAT", 0, 0, 4096);
        int32_t no = 0;
        for (const Field& f : kFields) Entry(d, etField, "DATA.DAT", no++, f.name, f.type, 0, f.length);
        Entry(d, etKeySegment, "DATA.DAT", 0, "Code", 0, 0x0100, 0);
        // The data file is made beside the dictionary.
        const auto cwd = std::filesystem::current_path();
        std::filesystem::current_path(dir);
        d.CreateFile("DATA.DAT");
        std::filesystem::current_path(cwd);
    }
    ds.SetDictName(dict);
    ds.SetBaseName(file);
    ds.Open();
    int32_t len = 0;
    // One engine transaction for every insert: the bench times reads.
    BTRV(19, nullptr, nullptr, len, nullptr, 0, 0, *ds.DataFile()->GetClientID());
    const TFields& f = ds.Fields();
    for (int i = 0; i < n; ++i) {
        ds.Append();
        f[0]->SetAsInteger(i);
        f[1]->SetAsString("Имя " + std::to_string(i));
        f[2]->SetAsString("Город " + std::to_string(i % 100));
        f[3]->SetAsDateTime(EncodeDate(1950 + i % 70, 1 + i % 12, 1 + i % 28));
        f[4]->SetAsDateTime(EncodeTime(i % 24, i % 60, i % 60, 0));
        f[5]->SetAsFloat(i * 0.25);
        f[6]->SetAsFloat(i / 100.0);
        f[7]->SetAsInteger(i % 30000);
        f[8]->SetAsInteger(i);
        f[9]->SetAsInteger(i % 65536);
        ds.Post();
    }
    BTRV(20, nullptr, nullptr, len, nullptr, 0, 0, *ds.DataFile()->GetClientID());
}

void CopyToSqlite(TBDataSet& ds, const std::string& path) {
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) Fail("cannot open " + path);
    for (const char* p : kSqlitePragmas) Exec(db, p);
    Exec(db, "CREATE TABLE data(Code INTEGER PRIMARY KEY, Name TEXT, Town TEXT, Born TEXT, At TEXT, "
             "Rate REAL, Price REAL, Qty INTEGER, Amount INTEGER, W INTEGER)");
    Exec(db, "BEGIN");
    sqlite3_stmt* ins = nullptr;
    if (sqlite3_prepare_v2(db, "INSERT INTO data VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", -1, &ins, nullptr) != SQLITE_OK)
        Fail(sqlite3_errmsg(db));
    std::string text[4];
    for (ds.First(); !ds.Eof(); ds.Next()) {
        const TFields& f = ds.Fields();
        for (int i = 0; i < 4; ++i) f[1 + i]->AsStringTo(text[i]);
        sqlite3_bind_int64(ins, 1, f[0]->AsInteger());
        for (int i = 0; i < 4; ++i)
            sqlite3_bind_text(ins, 2 + i, text[i].data(), static_cast<int>(text[i].size()), SQLITE_STATIC);
        sqlite3_bind_double(ins, 6, f[5]->AsFloat());
        sqlite3_bind_double(ins, 7, f[6]->AsFloat());
        sqlite3_bind_int64(ins, 8, f[7]->AsInteger());
        sqlite3_bind_int64(ins, 9, static_cast<sqlite3_int64>(f[8]->AsFloat()));
        sqlite3_bind_int64(ins, 10, f[9]->AsInteger());
        if (sqlite3_step(ins) != SQLITE_DONE) Fail(sqlite3_errmsg(db));
        sqlite3_reset(ins);
    }
    sqlite3_finalize(ins);
    Exec(db, "COMMIT");
    sqlite3_close(db);
}

} // namespace bench
