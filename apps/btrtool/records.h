// Records as btrtool shows and reads them: opening a dataset from the
// command line, table/CSV/JSON output, CSV input, Field=value terms and a
// transaction over the engine.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "apps/common/values.h"
#include "dataset/btrset.h"

namespace btr::tool {

using apps::Cell;
using apps::FieldCells;
using apps::FieldNames;
using apps::SetRangeFromText;
using apps::ValueFromText;
using apps::ValueKind;

// Raises unless PATH is a dictionary file (141-byte entries, three keys).
void CheckDictionary(const std::string& path);

// Opens FILE as described in DICT, on key N (--key) or the key of the named
// fields (--index "A;B" or "A+B"), after checking that DICT is a dictionary
// and that the file's record length and keys are the ones it describes.
void OpenDataSet(TBDataSet& ds, const std::string& dict, const std::string& file, const std::optional<std::string>& key,
                 const std::optional<std::string>& index);

class Writer {
public:
    virtual ~Writer() = default;
    virtual void Header(const std::vector<std::string>& names) = 0;
    virtual void Row(const std::vector<Cell>& values) = 0;
    virtual void End() {}
};
// "table" (aligned columns, numbers to the right), "csv" or "json" (an array
// of objects with typed values).
std::unique_ptr<Writer> MakeWriter(const std::string& format, FILE* out);

// RFC 4180 records read one at a time: fields separated by commas, quoted
// with '"' when they hold a comma, a quote or a line break. A UTF-8
// byte-order mark at the start is skipped; blank lines are skipped.
class CsvReader {
public:
    explicit CsvReader(FILE* in) : FIn(in) {}
    // The next record; false at the end. Raises on an unterminated quote.
    bool Next(std::vector<std::string>& row);
    size_t Line() const { return FRecordLine; } // where the last record began
    uint64_t BytesRead() const { return FBytes; }

private:
    int Get();
    void Unget() { --FPos; }

    FILE* FIn;
    std::vector<char> FBuffer = std::vector<char>(1 << 16);
    size_t FPos = 0, FEnd = 0;
    uint64_t FBytes = 0;
    size_t FLine = 1, FRecordLine = 1;
    bool FStarted = false;
};

// "Field=value" as given on the command line: the field, the text, and a
// test of whether the current record holds that value.
struct Term {
    TField* field;
    std::string text;
    bool Matches() const;
};
// Parses words as Field=value; the values are checked against the fields'
// types. `what` names the words in errors ("--where").
std::vector<Term> ParseTerms(TBDataSet& ds, const std::vector<std::string>& words, const std::string& what);

// The calling thread's engine transaction; aborted unless committed.
class EngineTransaction {
public:
    EngineTransaction();
    ~EngineTransaction();
    EngineTransaction(const EngineTransaction&) = delete;
    EngineTransaction& operator=(const EngineTransaction&) = delete;
    void Commit();

private:
    bool FOpen = false;
};

} // namespace btr::tool
