// Records as btrtool shows and reads them: opening a dataset from the
// command line, values from text, table/CSV/JSON output, CSV input and a
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

// Opens FILE as described in DICT, on key N (--key) or the key of the named
// fields (--index "A;B").
void OpenDataSet(TBDataSet& ds, const std::string& dict, const std::string& file, const std::optional<std::string>& key,
                 const std::optional<std::string>& index);

using apps::FieldNames;
using apps::FieldTexts;
using apps::SetRangeFromText;
using apps::ValueFromText;

class Writer {
public:
    virtual ~Writer() = default;
    virtual void Header(const std::vector<std::string>& names) = 0;
    virtual void Row(const std::vector<std::string>& values) = 0;
    virtual void End() {}
};
// "table" (aligned columns), "csv" or "json" (an array of objects).
std::unique_ptr<Writer> MakeWriter(const std::string& format, FILE* out);

// RFC 4180: fields separated by commas, quoted with '"' when they hold a
// comma, a quote or a line break; raises on an unterminated quote.
std::vector<std::vector<std::string>> ParseCsv(const std::string& text);

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
