// The data every dataset benchmark reads: a Btrieve file of ten fields of
// mixed types described in a dictionary, and the same records in a SQLite
// table of ten columns, as a program using Qt SQL or SQLite would keep them.
#pragma once

#include <filesystem>
#include <string>

#include "dataset/btrset.h"

namespace bench {

// Seconds on a steady clock.
double Now();

// Resident memory that is not a mapping of a file, in KB: the process's own
// (mapped file pages are the OS cache, shared and reclaimable).
long PrivateKb();

// A scratch directory, removed with everything in it when this goes.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& Path() const { return FPath; }

private:
    std::filesystem::path FPath;
};

// Creates DICT.DAT and DATA.DAT in dir and adds n records in key order
// (Code 0..n-1), Russian text in code pages 1251 and 866, dates, times, a
// double, an RS float, a smallint, a decimal and a word. The dataset is
// left open on the file, on the key of Code.
void CreateTenFieldFile(const std::filesystem::path& dir, int n, btr::TBDataSet& ds);

// The table "data" in a SQLite database at path, made from the dataset's
// records: the same ten columns, numbers as INTEGER or REAL, text, dates and
// times as TEXT as the dataset shows them; Code is the table's key.
void CopyToSqlite(btr::TBDataSet& ds, const std::string& path);

// The columns in the table's order, for SELECT.
extern const char* const kSelectAll;

// The pragmas the embedded engine runs SQLite with (WAL, memory-mapped
// reads, a 16 MB cache): SQLite read at its best, not at its defaults.
extern const char* const kSqlitePragmas[4];

} // namespace bench
