// A forward scan of the same records, every way a program would read them,
// in one run: TBDataSet reading every field as text (AsString, and AsStringTo
// into one reused string), TBDataSet moving alone, TBtrieveFile::Get alone,
// the engine's entry alone; and what a programmer would pick instead: Qt SQL
// over SQLite (a forward-only QSqlQuery, every value toString()) and SQLite's
// C API (every column as text) on a table of the same ten columns.
//
//   dataset_bench [N [RUNS]]     default 100000 records, 5 runs
//
// The scans take turns, RUNS times, and each keeps its best rate: the
// machine is shared, and a busy moment should not decide a ratio.
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "bench/common/tenfields.h"
#include "engine/btrfile.h"
#include "tests/btrengine/entry.h"

#ifdef BTRKIT_BENCH_QT
#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#endif

using namespace btr;

namespace {

struct Scan {
    const char* name;
    std::function<int()> run; // records read
    double best = 0;
    int seen = 0;
};

// Not inlined: a profiler can time it alone.
[[gnu::noinline]] int DataSetText(TBDataSet& ds, bool reuse, size_t& chars) {
    int seen = 0;
    chars = 0;
    const std::vector<TField*> fields(ds.Fields().begin(), ds.Fields().end());
    std::string text;
    for (ds.First(); !ds.Eof(); ds.Next(), ++seen)
        for (TField* f : fields) {
            if (reuse)
                f->AsStringTo(text);
            else
                text = f->AsString();
            chars += text.size();
        }
    return seen;
}

} // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    if (n <= 0) {
        std::fprintf(stderr, "usage: dataset_bench [N [RUNS]]\n");
        return 2;
    }
    bench::ScratchDir dir;
    const std::string file = (dir.Path() / "DATA.DAT").string(), db = (dir.Path() / "data.db").string();
    TBDataSet ds;
    bench::CreateTenFieldFile(dir.Path(), n, ds);
    bench::CopyToSqlite(ds, db);

    std::vector<Scan> scans;
    size_t charsAsString = 0, charsAsStringTo = 0;
    scans.push_back({"TBDataSet, every field AsString", [&] { return DataSetText(ds, false, charsAsString); }});
    scans.push_back({"TBDataSet, every field AsStringTo", [&] { return DataSetText(ds, true, charsAsStringTo); }});
    scans.push_back({"TBDataSet, navigation only", [&] {
                         int seen = 0;
                         for (ds.First(); !ds.Eof(); ds.Next()) ++seen;
                         return seen;
                     }});

    uint8_t rec[256];
    TBtrieveFile bf;
    bf.SetFileName(file);
    bf.SetDataBuffer(rec, sizeof rec);
    bf.SetActive(true);
    scans.push_back({"TBtrieveFile::Get", [&] {
                         int seen = 0;
                         for (bf.Get(12, 0); bf.Status() == 0; bf.Get(6, 0)) ++seen;
                         return seen;
                     }});

    uint8_t pos[128] = {}, key[255];
    std::string name = file;
    int32_t len = 0;
    if (BTRCALL(0, pos, nullptr, &len, name.data(), static_cast<uint8_t>(name.size() + 1), 0) != 0) {
        std::fprintf(stderr, "dataset_bench: the entry point cannot open %s\n", file.c_str());
        return 1;
    }
    scans.push_back({"BTRCALL alone", [&] {
                         int seen = 0;
                         for (int16_t st = BTRCALL(12, pos, rec, &(len = sizeof rec), key, 255, 0); st == 0;
                              st = BTRCALL(6, pos, rec, &(len = sizeof rec), key, 255, 0))
                             ++seen;
                         return seen;
                     }});

#ifdef BTRKIT_BENCH_QT
    QCoreApplication app(argc, argv);
    QSqlDatabase qdb = QSqlDatabase::addDatabase("QSQLITE", "bench");
    qdb.setDatabaseName(QString::fromStdString(db));
    if (!qdb.open()) {
        std::fprintf(stderr, "dataset_bench: Qt SQL cannot open the SQLite table (%s); is libqt6sql6-sqlite installed?\n",
                     qdb.lastError().text().toStdString().c_str());
        return 1;
    }
    for (const char* p : bench::kSqlitePragmas) QSqlQuery(p, qdb).exec();
    const size_t qtScan = scans.size();
    scans.push_back({"Qt SQL (QSqlQuery over SQLite), every value toString()", [&] {
                         QSqlQuery q(qdb);
                         q.setForwardOnly(true);
                         q.exec(bench::kSelectAll);
                         int seen = 0;
                         qsizetype chars = 0;
                         for (; q.next(); ++seen)
                             for (int i = 0; i < 10; ++i) chars += q.value(i).toString().size();
                         return chars > 0 ? seen : 0;
                     }});
#endif

    sqlite3* sdb = nullptr;
    sqlite3_stmt* select = nullptr;
    if (sqlite3_open(db.c_str(), &sdb) != SQLITE_OK) return 1;
    for (const char* p : bench::kSqlitePragmas) sqlite3_exec(sdb, p, nullptr, nullptr, nullptr);
    if (sqlite3_prepare_v2(sdb, bench::kSelectAll, -1, &select, nullptr) != SQLITE_OK) return 1;
    const size_t cScan = scans.size();
    scans.push_back({"SQLite C API, every column as text", [&] {
                         int seen = 0;
                         size_t chars = 0;
                         for (; sqlite3_step(select) == SQLITE_ROW; ++seen)
                             for (int i = 0; i < 10; ++i) {
                                 sqlite3_column_text(select, i);
                                 chars += static_cast<size_t>(sqlite3_column_bytes(select, i));
                             }
                         sqlite3_reset(select);
                         return chars > 0 ? seen : 0;
                     }});

    const long before = bench::PrivateKb();
    for (int r = 0; r < runs; ++r)
        for (Scan& s : scans) {
            const double t = bench::Now();
            s.seen = s.run();
            s.best = std::max(s.best, s.seen / (bench::Now() - t));
        }
    const long after = bench::PrivateKb();

    std::printf("%d records of ten fields, best of %d runs (%zu characters read as text through TBDataSet)\n\n", n,
                runs, charsAsStringTo);
    std::printf("| scan | records/s | TBDataSet AsStringTo / this |\n|---|---:|---:|\n");
    const double ours = scans[1].best;
    for (const Scan& s : scans) std::printf("| %s | %.0f | %.2f |\n", s.name, s.best, ours / s.best);
    std::printf("\n");
#ifdef BTRKIT_BENCH_QT
    std::printf("TBDataSet / Qt SQL:         %.2f (AsStringTo), %.2f (AsString)\n", ours / scans[qtScan].best,
                scans[0].best / scans[qtScan].best);
#else
    std::printf("TBDataSet / Qt SQL:         not built (Qt 6 SQL was not found)\n");
#endif
    std::printf("TBDataSet / SQLite C API:   %.2f (AsStringTo), %.2f (AsString)\n", ours / scans[cScan].best,
                scans[0].best / scans[cScan].best);
    std::printf("TBtrieveFile / BTRCALL:     %.2f\n", scans[3].best / scans[4].best);
    std::printf("private memory: %ld KB before the scans, %ld KB after\n", before, after);

    int failed = 0;
    for (const Scan& s : scans)
        if (s.seen != n) {
            std::printf("%s read %d records, not %d\n", s.name, s.seen, n);
            failed = 1;
        }
    if (charsAsString != charsAsStringTo) {
        std::printf("AsString and AsStringTo read different texts\n");
        failed = 1;
    }
    sqlite3_finalize(select);
    sqlite3_close(sdb);
    BTRCALL(1, pos, nullptr, &len, nullptr, 0, 0);
    bf.SetActive(false);
    ds.Close();
    return failed;
}
