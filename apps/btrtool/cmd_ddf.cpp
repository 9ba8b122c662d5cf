// dict import-ddf: the tables of the vendor's SQL catalog into a btrkit
// dictionary, so that browse and btrstudio read the user's files at once.
#include <cstdio>
#include <filesystem>
#include <memory>

#include "apps/btrtool/exchange.h"
#include "apps/btrtool/records.h"
#include "apps/common/ddf.h"
#include "engine/btrerrors.h"
#include "platform/codepage.h"

namespace btr::tool {

using namespace btr::apps;

namespace {

namespace fs = std::filesystem;

// A catalog file in DIR, whatever the case of its name.
std::string CatalogFile(const std::string& dir, const std::string& name) {
    if (IsLocalPath(dir)) {
        std::error_code ec;
        if (!fs::is_directory(dir, ec)) throw std::runtime_error(dir + " is not a directory");
        for (const auto& entry : fs::directory_iterator(dir, ec))
            if (Utf8CompareTextI(entry.path().filename().string(), name) == 0) return entry.path().string();
        if (name == "FILE.DDF")
            for (const auto& entry : fs::directory_iterator(dir, ec))
                if (Utf8CompareTextI(entry.path().filename().string(), "PVFILE.DDF") == 0)
                    throw std::runtime_error(dir + " holds a V2 catalog (PVFILE.DDF ...); only V1 catalogs (FILE.DDF, "
                                             "FIELD.DDF, INDEX.DDF) are read");
        throw std::runtime_error(dir + " has no " + name);
    }
    return dir + (dir.ends_with("/") ? "" : "/") + name;
}

// Every record of one catalog file, in physical order, each at least
// `length` bytes.
template <class T>
std::vector<T> ReadCatalog(const std::string& path, size_t length, TEngineLibrary* engine, const std::string& owner,
                           T (*parse)(const uint8_t*)) {
    TBtrieveFile file;
    std::vector<uint8_t> buffer(kRecordBuffer);
    file.SetEngine(engine);
    file.SetDataBuffer(buffer.data(), kRecordBuffer);
    file.SetFileName(path);
    file.SetReadOnly(true);
    file.SetFileOwner(owner);
    file.SetActive(true);
    if (file.RecordLen() < length)
        throw std::runtime_error(path + " has records of " + std::to_string(file.RecordLen()) + " bytes; a V1 " +
                                 "catalog's are " + std::to_string(length));
    std::vector<T> out;
    for (file.Get(bStepFirst, 0); file.Status() == bsOk; file.Get(bStepNext, 0)) {
        if (static_cast<size_t>(file.BytesRead()) < length)
            throw std::runtime_error(path + ": a record of " + std::to_string(file.BytesRead()) + " bytes");
        out.push_back(parse(buffer.data()));
    }
    if (file.Status() != bsEndOfFile) throw EBtrieve(file.Status(), bStepNext, path);
    return out;
}

int ImportDdf(const Args& a) {
    a.Expect(2, 2, {"table", "owner", "source-engine"});
    const std::string dir = a.At(1, "DIR");
    const std::string owner = a.Option("owner").value_or("");
    std::unique_ptr<TEngineLibrary> engine;
    if (const auto lib = a.Option("source-engine")) engine = std::make_unique<TEngineLibrary>(*lib);

    TDdfCatalog catalog;
    catalog.tables = ReadCatalog(CatalogFile(dir, "FILE.DDF"), kDdfFileRecord, engine.get(), owner, &DdfTable);
    catalog.columns = ReadCatalog(CatalogFile(dir, "FIELD.DDF"), kDdfFieldRecord, engine.get(), owner, &DdfColumn);
    catalog.segments = ReadCatalog(CatalogFile(dir, "INDEX.DDF"), kDdfIndexRecord, engine.get(), owner, &DdfSegment);
    std::vector<TImportedTable> tables;
    try {
        tables = ImportCatalog(catalog, a.Options("table"));
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(dir + ": " + e.what() + "; nothing was imported");
    }
    if (tables.empty()) throw std::runtime_error(dir + ": the catalog describes no user table");

    TDictFile dict(a.At(0, "DICT"));
    dict.SetActive(true);
    // Refuse before writing anything: a file may be described only once.
    const auto existing = ReadDictionary(dict);
    for (const TImportedTable& t : tables)
        for (const FileEntry& e : existing)
            if (Utf8CompareTextI(e.name, t.file.name) == 0)
                throw std::runtime_error(t.file.name + " (table " + t.table + ") is already described in " +
                                         dict.FileName() + "; nothing was imported");
    {
        EngineTransaction tx;
        for (const TImportedTable& t : tables) WriteFile(dict, t.file);
        tx.Commit();
    }
    for (const TImportedTable& t : tables) {
        for (const std::string& w : t.warnings) std::fprintf(stderr, "btrtool dict import-ddf: %s\n", w.c_str());
        int keys = 0;
        for (const SegmentEntry& s : t.file.segments) keys += (s.flags & kfSegmented) ? 0 : 1;
        std::printf("Added table %s as %s: %zu field(s), %d key(s)\n", t.table.c_str(), t.file.name.c_str(),
                    t.file.fields.size(), keys);
    }
    return 0;
}

const RegisterCommand kImportDdf(
    {"dict import-ddf", "DICT DIR [--table NAME]... [--owner NAME] [--source-engine LIB]",
     "Adds the tables of the vendor's SQL catalog (V1: FILE.DDF, FIELD.DDF, INDEX.DDF in DIR, read through "
     "btrkit's engine or the engine library LIB) to a dictionary: each table's file with its columns as fields in "
     "offset order (gaps become Filler fields) and its indexes as keys. A column type the dictionary has no type "
     "for becomes a String of the same bytes, with a warning; decimal places go into the field's remark. "
     "--table imports only the tables named. Nothing is written when any table cannot be described.",
     {},
     ImportDdf});

} // namespace

} // namespace btr::tool
