// Commands over records, through TBDataSet: browse, export, import, find,
// update, delete.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "apps/btrtool/cli.h"
#include "apps/btrtool/records.h"
#include "dataset/btrset.h"

namespace btr::tool {

namespace {

// The options that choose records, shared by browse and export.
const std::vector<std::string> kSelection = {"key", "index", "from", "to", "limit"};
const char* kSelectionUsage = "[--key N | --index Field+Field] [--from v]... [--to v]... [--limit N]";

// Opens the dataset on the chosen key and range; the limit, -1 for none.
long OpenSelection(TBDataSet& ds, const Args& a) {
    OpenDataSet(ds, a.At(0, "DICT"), a.At(1, "FILE"), a.Option("key"), a.Option("index"));
    const std::vector<std::string> from = a.Options("from"), to = a.Options("to");
    if (!from.empty() || !to.empty()) SetRangeFromText(ds, from, to);
    return a.Number("limit", -1);
}

std::vector<std::string> With(std::vector<std::string> list, const std::vector<std::string>& more) {
    list.insert(list.end(), more.begin(), more.end());
    return list;
}

int Browse(const Args& a) {
    a.Expect(2, 2, With(kSelection, {"format"}));
    TBDataSet ds;
    const long limit = OpenSelection(ds, a);
    const std::string format = a.Option("format").value_or("table");
    auto out = MakeWriter(format, stdout);
    out->Header(FieldNames(ds));
    long n = 0;
    for (ds.First(); !ds.Eof() && n != limit; ds.Next(), ++n) out->Row(FieldCells(ds));
    ThrowShownErrors(); // a read error ends the scan early: no total for it
    out->End();
    if (format == "table") std::printf("%ld record(s)\n", n);
    return 0;
}

int Export(const Args& a) {
    a.Expect(3, 3, With(kSelection, {"format", "yes"}));
    const std::string path = a.At(2, "OUT.csv");
    const std::string format = a.Option("format").value_or("csv");
    if (format == "table") throw UsageError("--format is csv or json for export");
    struct stat st{};
    if (path != "-" && ::stat(path.c_str(), &st) == 0 && !Ask(path + " exists. Replace it?"))
        throw std::runtime_error(path + " exists and was left as it was (--yes replaces it)");
    TBDataSet ds;
    const long limit = OpenSelection(ds, a);
    OutputFile file(path);
    auto out = MakeWriter(format, file.Stream());
    out->Header(FieldNames(ds));
    long n = 0;
    {
        Progress bar("export " + a.At(1, "FILE"), static_cast<uint64_t>(std::max(ds.DataFile()->NumberOfRecords(), 0)));
        std::vector<Cell> cells; // one row's texts, their strings reused for the next
        for (ds.First(); !ds.Eof() && n != limit; ds.Next(), ++n) {
            FieldCells(ds, cells);
            out->Row(cells);
            bar.Step();
        }
    }
    ThrowShownErrors(); // the old file stays as it was
    out->End();
    file.Commit();
    std::fprintf(file.IsStdout() ? stderr : stdout, "Exported %ld record(s) from %s to %s\n", n, a.At(1, "FILE").c_str(),
                 file.IsStdout() ? "standard output" : path.c_str());
    return 0;
}

// Where a row or record went wrong, for the one line that stops a command.
std::string Where(const std::string& source, size_t row, size_t line) {
    std::string at = source + ", row " + std::to_string(row);
    if (line != row) at += " (line " + std::to_string(line) + ")";
    return at;
}

int Import(const Args& a) {
    a.Expect(3, 3, {"lossy"});
    const std::string path = a.At(2, "IN.csv");
    const bool stdinput = path == "-";
    const std::string source = stdinput ? "standard input" : path;
    FILE* in = stdinput ? stdin : std::fopen(path.c_str(), "rb");
    if (!in) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    struct Closer {
        FILE* f;
        ~Closer() {
            if (f != stdin) std::fclose(f);
        }
    } closer{in};
    uint64_t size = 0;
    if (struct stat st{}; fstat(fileno(in), &st) == 0 && S_ISREG(st.st_mode)) size = static_cast<uint64_t>(st.st_size);

    CsvReader csv(in);
    std::vector<std::string> header;
    if (!csv.Next(header)) throw std::runtime_error(source + " has no header row");
    const std::string& target = a.At(1, "FILE");
    TBDataSet ds;
    OpenDataSet(ds, a.At(0, "DICT"), target, std::nullopt, std::nullopt);
    std::vector<TField*> fields;
    for (const std::string& name : header) {
        TField* field = ds.FindField(name);
        if (!field) throw std::runtime_error(source + ": no field \"" + name + "\" in " + target);
        if (std::find(fields.begin(), fields.end(), field) != fields.end())
            throw std::runtime_error(source + ": the field \"" + name + "\" is named twice in the header");
        fields.push_back(field);
    }
    const bool lossy = a.Flag("lossy");
    const std::string nothing = "; nothing was imported into " + target;
    size_t changed = 0, rows = 0;
    std::string firstChange;
    // All or nothing: the whole file in one transaction.
    EngineTransaction tx;
    Progress bar("import " + target, size);
    uint64_t read = 0;
    std::vector<std::string> row;
    // A value's trouble, with where it stands.
    struct CellError : std::runtime_error {
        using std::runtime_error::runtime_error;
    };
    for (size_t r = 2; csv.Next(row); ++r) {
        // Built only for a message: most rows need none.
        auto at = [&] { return Where(source, r, csv.Line()); };
        auto cell = [&](size_t i) { return at() + ", column " + header[i] + ": "; };
        if (row.size() != fields.size())
            throw std::runtime_error(at() + ": " + std::to_string(row.size()) + " value(s) for " +
                                     std::to_string(fields.size()) + " field(s)" + nothing);
        try {
            ds.Append();
            for (size_t i = 0; i < fields.size(); ++i) {
                if (row[i].empty()) continue;
                apps::Stored stored;
                try {
                    stored = apps::SetFieldText(*fields[i], row[i]);
                } catch (const std::exception& e) {
                    throw CellError(cell(i) + "\"" + row[i] + "\": " + e.what());
                }
                if (stored.same) continue;
                if (!lossy) throw CellError(cell(i) + stored.Describe(row[i]) + " (--lossy accepts it)");
                if (changed++ == 0) firstChange = cell(i) + stored.Describe(row[i]);
            }
            ds.Post();
        } catch (const CellError& e) {
            if (ds.State() != dsBrowse) ds.Cancel();
            throw std::runtime_error(e.what() + nothing);
        } catch (const std::exception& e) {
            if (ds.State() != dsBrowse) ds.Cancel();
            throw std::runtime_error(at() + ": " + e.what() + nothing);
        }
        ++rows;
        bar.Step(csv.BytesRead() - read); // the bar counts bytes: a stream's rows are not known ahead
        read = csv.BytesRead();
    }
    tx.Commit();
    bar.Done();
    std::printf("Imported %zu record(s) into %s from %s\n", rows, target.c_str(), source.c_str());
    if (changed)
        std::printf("%zu value(s) were stored differently (--lossy); the first: %s\n", changed, firstChange.c_str());
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
        TField* field = ds.FindField(term.substr(0, eq));
        if (!field) throw std::runtime_error("no field \"" + term.substr(0, eq) + "\" in " + a.At(1, "FILE"));
        names += (names.empty() ? "" : ";") + field->FieldName();
        values.push_back(ValueFromText(*field, term.substr(eq + 1)));
    }
    const Variant key = values.size() == 1 ? values[0] : Variant(values);
    const bool found = ds.Locate(names, key, {});
    ThrowShownErrors();
    if (!found) {
        std::fprintf(stderr, "btrtool find: no record of %s holds those values\n", a.At(1, "FILE").c_str());
        return 1;
    }
    auto out = MakeWriter(a.Option("format").value_or("table"), stdout);
    out->Header(FieldNames(ds));
    out->Row(FieldCells(ds));
    out->End();
    return 0;
}

// The bookmarks of the records that hold every --where value (all records
// with --all), read before anything changes.
void CheckWhere(const Args& a) {
    const bool where = !a.Options("where").empty();
    if (!where && !a.Flag("all")) throw UsageError("give --where Field=value (or --all for every record)");
    if (where && a.Flag("all")) throw UsageError("--where and --all choose the same thing: give one");
}

std::vector<TBookmark> Matching(TBDataSet& ds, const Args& a) {
    const std::vector<std::string> where = a.Options("where");
    const std::vector<Term> terms = ParseTerms(ds, where, "--where");
    std::vector<TBookmark> marks;
    for (ds.First(); !ds.Eof(); ds.Next())
        if (std::all_of(terms.begin(), terms.end(), [](const Term& t) { return t.Matches(); }))
            marks.push_back(ds.GetBookmark());
    ThrowShownErrors();
    return marks;
}

int Update(const Args& a) {
    a.Expect(3, 99, {"where", "all", "lossy"});
    CheckWhere(a);
    const std::string& target = a.At(1, "FILE");
    TBDataSet ds;
    OpenDataSet(ds, a.At(0, "DICT"), target, std::nullopt, std::nullopt);
    struct Assignment {
        TField* field;
        std::string text;
    };
    std::vector<Assignment> sets;
    for (size_t i = 2; i < a.Count(); ++i) {
        const std::string& word = a.At(i, "Field=value");
        const size_t eq = word.find('=');
        if (eq == std::string::npos || eq == 0) throw UsageError("\"" + word + "\" is not Field=value");
        TField* field = ds.FindField(word.substr(0, eq));
        if (!field) throw std::runtime_error("no field \"" + word.substr(0, eq) + "\" in " + target);
        sets.push_back({field, word.substr(eq + 1)});
    }
    const bool lossy = a.Flag("lossy");
    const std::string nothing = "; no record of " + target + " was changed";
    size_t changed = 0;
    EngineTransaction tx;
    const std::vector<TBookmark> marks = Matching(ds, a);
    for (size_t n = 0; n < marks.size(); ++n) {
        const std::string at = target + ", record " + std::to_string(n + 1) + " of " + std::to_string(marks.size());
        try {
            ds.GotoBookmark(marks[n]);
            ds.Edit();
            for (const Assignment& s : sets) {
                const std::string cell = at + ", field " + s.field->FieldName() + ": ";
                apps::Stored stored;
                try {
                    stored = apps::SetFieldText(*s.field, s.text);
                } catch (const std::exception& e) {
                    throw std::runtime_error(cell + "\"" + s.text + "\": " + e.what());
                }
                if (stored.same) continue;
                if (!lossy) throw std::runtime_error(cell + stored.Describe(s.text) + " (--lossy accepts it)");
                ++changed;
            }
            ds.Post();
        } catch (const std::exception& e) {
            if (ds.State() != dsBrowse) ds.Cancel();
            const std::string what = e.what();
            throw std::runtime_error((what.rfind(at, 0) == 0 ? what : at + ": " + what) + nothing);
        }
    }
    ThrowShownErrors();
    tx.Commit();
    std::printf("Updated %zu record(s) of %s\n", marks.size(), target.c_str());
    if (changed) std::printf("%zu value(s) were stored differently (--lossy)\n", changed);
    return 0;
}

int Delete(const Args& a) {
    a.Expect(2, 2, {"where", "all"});
    CheckWhere(a);
    const std::string& target = a.At(1, "FILE");
    TBDataSet ds;
    OpenDataSet(ds, a.At(0, "DICT"), target, std::nullopt, std::nullopt);
    EngineTransaction tx;
    const std::vector<TBookmark> marks = Matching(ds, a);
    for (size_t n = 0; n < marks.size(); ++n) {
        try {
            ds.GotoBookmark(marks[n]);
            ds.Delete();
        } catch (const std::exception& e) {
            throw std::runtime_error(target + ", record " + std::to_string(n + 1) + " of " + std::to_string(marks.size()) +
                                     ": " + e.what() + "; no record was deleted");
        }
    }
    ThrowShownErrors();
    tx.Commit();
    std::printf("Deleted %zu record(s) from %s\n", marks.size(), target.c_str());
    return 0;
}

const RegisterCommand kBrowse(
    {"browse", std::string("DICT FILE ") + kSelectionUsage + " [--format table|csv|json]",
     "Lists records in key order. --from and --to give the range on the key's leading segments, one value per "
     "segment (repeat the option); text comes out as UTF-8, numbers with every digit they hold.",
     {},
     Browse});
const RegisterCommand kExport({"export", std::string("DICT FILE OUT.csv|- ") + kSelectionUsage + " [--format csv|json] [--yes]",
                               "Writes the records (all, or those browse would show with the same options) with a "
                               "header row of field names; \"-\" writes to standard output. The file is written whole "
                               "or not at all; an existing one is replaced only when you agree (--yes agrees).",
                               {"yes"},
                               Export});
const RegisterCommand kImport({"import", "DICT FILE IN.csv|- [--lossy]",
                               "Adds the records of a CSV file (header row of field names; \"-\" reads standard "
                               "input) in one transaction. A value the file would store differently (a fraction "
                               "into a Decimal, text longer than its field, a character its code page lacks) stops "
                               "it with the row, the column and the value, and nothing is written; --lossy stores "
                               "such values as the field can and counts them.",
                               {"lossy"},
                               Import});
const RegisterCommand kFind({"find", "DICT FILE Field=value... [--format table|csv|json]",
                             "Shows the first record whose fields hold the values (through Locate). Exit status 0 "
                             "when found, 1 when not (nothing on standard output), 2 on an error.",
                             {},
                             Find,
                             2});
const RegisterCommand kUpdate({"update", "DICT FILE Field=value... (--where Field=value... | --all) [--lossy]",
                               "Sets the fields of every record that holds all the --where values, in one "
                               "transaction: an error leaves every record as it was. Prints how many were changed.",
                               {"all", "lossy"},
                               Update});
const RegisterCommand kDelete({"delete", "DICT FILE (--where Field=value... | --all)",
                               "Deletes every record that holds all the --where values (every record with --all), "
                               "in one transaction. Prints how many were deleted.",
                               {"all"},
                               Delete});

} // namespace

} // namespace btr::tool
