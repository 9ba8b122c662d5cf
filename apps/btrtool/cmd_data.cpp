// Commands over records, through TBDataSet: browse, export, import, find.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "apps/btrtool/cli.h"
#include "apps/btrtool/records.h"
#include "dataset/btrset.h"
#include "framework/datetime.h"

namespace btr::tool {

namespace {

int Browse(const Args& a) {
    a.Expect(2, 2, {"key", "index", "from", "to", "limit", "format"});
    TBDataSet ds;
    OpenDataSet(ds, a.At(0, "DICT"), a.At(1, "FILE"), a.Option("key"), a.Option("index"));
    const std::vector<std::string> from = a.Options("from"), to = a.Options("to");
    if (!from.empty() || !to.empty()) SetRangeFromText(ds, from, to);
    const long limit = a.Number("limit", -1);
    const std::string format = a.Option("format").value_or("table");
    auto out = MakeWriter(format, stdout);
    out->Header(FieldNames(ds));
    long n = 0;
    for (ds.First(); !ds.Eof() && n != limit; ds.Next(), ++n) out->Row(FieldTexts(ds));
    out->End();
    if (format == "table") std::printf("%ld record(s)\n", n);
    return 0;
}

int Export(const Args& a) {
    a.Expect(3, 3, {"key", "index"});
    TBDataSet ds;
    OpenDataSet(ds, a.At(0, "DICT"), a.At(1, "FILE"), a.Option("key"), a.Option("index"));
    const std::string path = a.At(2, "OUT.csv");
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) throw std::runtime_error("cannot write " + path);
    long n = 0;
    try {
        auto out = MakeWriter("csv", f);
        out->Header(FieldNames(ds));
        Progress bar("export", static_cast<uint64_t>(std::max(ds.DataFile()->NumberOfRecords(), 0)));
        for (ds.First(); !ds.Eof(); ds.Next(), ++n) {
            out->Row(FieldTexts(ds));
            bar.Step();
        }
        out->End();
    } catch (...) {
        std::fclose(f);
        throw;
    }
    if (std::fclose(f) != 0) throw std::runtime_error("cannot write " + path);
    std::printf("Exported %ld record(s) to %s\n", n, path.c_str());
    return 0;
}

int Import(const Args& a) {
    a.Expect(3, 3, {});
    const std::string path = a.At(2, "IN.csv");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::stringstream text;
    text << in.rdbuf();
    const std::vector<std::vector<std::string>> rows = ParseCsv(text.str());
    if (rows.empty()) throw std::runtime_error(path + " has no header row");

    TBDataSet ds;
    OpenDataSet(ds, a.At(0, "DICT"), a.At(1, "FILE"), std::nullopt, std::nullopt);
    std::vector<TField*> fields;
    for (const std::string& name : rows[0]) {
        TField* field = ds.FindField(name);
        if (!field) throw std::runtime_error(path + ": no field \"" + name + "\" in " + a.At(1, "FILE"));
        fields.push_back(field);
    }
    // All or nothing: the whole file in one transaction.
    EngineTransaction tx;
    Progress bar("import", rows.size() - 1);
    for (size_t r = 1; r < rows.size(); ++r) {
        try {
            if (rows[r].size() != fields.size())
                throw std::runtime_error(std::to_string(rows[r].size()) + " value(s) for " +
                                         std::to_string(fields.size()) + " field(s)");
            ds.Append();
            for (size_t i = 0; i < fields.size(); ++i)
                if (!rows[r][i].empty()) fields[i]->SetAsString(rows[r][i]);
            ds.Post();
        } catch (const std::exception& e) {
            if (ds.State() != dsBrowse) ds.Cancel();
            throw std::runtime_error(path + ", row " + std::to_string(r + 1) + ": " + e.what() +
                                     "; nothing was imported");
        }
        bar.Step();
    }
    tx.Commit();
    bar.Done();
    std::printf("Imported %zu record(s) into %s\n", rows.size() - 1, a.At(1, "FILE").c_str());
    return 0;
}

int Find(const Args& a) {
    a.Expect(3, 99, {"format"});
    TBDataSet ds;
    OpenDataSet(ds, a.At(0, "DICT"), a.At(1, "FILE"), std::nullopt, std::nullopt);
    std::string names;
    std::vector<Variant> values;
    for (size_t i = 2; i < a.Count(); ++i) {
        const std::string& term = a.At(i, "Field=value");
        const size_t eq = term.find('=');
        if (eq == std::string::npos || eq == 0) throw UsageError("\"" + term + "\" is not Field=value");
        TField* field = ds.FieldByName(term.substr(0, eq));
        names += (names.empty() ? "" : ";") + field->FieldName();
        values.push_back(ValueFromText(*field, term.substr(eq + 1)));
    }
    const Variant key = values.size() == 1 ? values[0] : Variant(values);
    if (!ds.Locate(names, key, {})) {
        std::printf("not found\n");
        return 1;
    }
    auto out = MakeWriter(a.Option("format").value_or("table"), stdout);
    out->Header(FieldNames(ds));
    out->Row(FieldTexts(ds));
    out->End();
    return 0;
}

const RegisterCommand kBrowse(
    {"browse", "DICT FILE [--key N | --index Field;Field] [--from v]... [--to v]... [--limit N] [--format table|csv|json]",
     "Lists records in key order. --from and --to give the range on the key's leading segments, one value per "
     "segment (repeat the option); text comes out as UTF-8.",
     {},
     Browse});
const RegisterCommand kExport({"export", "DICT FILE OUT.csv [--key N | --index Field;Field]",
                               "Writes every record to a CSV file with a header row of field names.", {}, Export});
const RegisterCommand kImport({"import", "DICT FILE IN.csv",
                               "Adds the records of a CSV file (header row of field names) in one transaction: a bad "
                               "row stops it with the row number and nothing is written.",
                               {},
                               Import});
const RegisterCommand kFind({"find", "DICT FILE Field=value... [--format table|csv|json]",
                             "Shows the first record whose fields hold the values (through Locate); exit status 1 "
                             "when there is none.",
                             {},
                             Find});

} // namespace

} // namespace btr::tool
