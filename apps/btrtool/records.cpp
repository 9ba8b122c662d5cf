#include "apps/btrtool/records.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "apps/btrtool/cli.h"
#include "dictionary/dictcache.h"
#include "engine/btrerrors.h"
#include "engine/btrv.h"
#include "framework/datetime.h"
#include "platform/files.h"

namespace btr::tool {

using apps::ParseInt;

namespace {

void Put(FILE* out, const std::string& s) { std::fwrite(s.data(), 1, s.size(), out); }

// Adds a CSV field to out: quoted, its quotes doubled, when it holds a
// comma, a quote or a line break.
void AppendCsvField(std::string& out, const std::string& v) {
    const bool plain = std::none_of(v.begin(), v.end(), [](char c) { return c == ',' || c == '"' || c == '\r' || c == '\n'; });
    if (plain) return void(out += v);
    out += '"';
    for (char c : v) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

// A JSON string; bytes that are not UTF-8 (a BLOB's) become \u00XX.
std::string JsonString(const std::string& v) {
    std::string out = "\"";
    const bool utf8 = apps::ValidUtf8(v);
    for (unsigned char c : v) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || (c >= 0x80 && !utf8)) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

// Infinities and NaN have no JSON number.
bool JsonNumber(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789+-.e") == std::string::npos;
}

// Display width of UTF-8 text: one column per code point.
size_t Width(const std::string& s) {
    return static_cast<size_t>(std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

class CsvWriter : public Writer {
public:
    explicit CsvWriter(FILE* out) : FOut(out) {}
    void Header(const std::vector<std::string>& names) override { Line(names); }
    void Row(const std::vector<Cell>& values) override {
        FLine.clear();
        for (size_t i = 0; i < values.size(); ++i) {
            if (i) FLine += ',';
            AppendCsvField(FLine, values[i].text);
        }
        FLine += '\n';
        Put(FOut, FLine);
    }

private:
    void Line(const std::vector<std::string>& texts) {
        std::vector<Cell> cells;
        for (const std::string& t : texts) cells.push_back({t, ValueKind::Text});
        Row(cells);
    }
    FILE* FOut;
    std::string FLine; // reused: a line is written per record
};

class JsonWriter : public Writer {
public:
    explicit JsonWriter(FILE* out) : FOut(out) {}
    void Header(const std::vector<std::string>& names) override {
        FNames.clear();
        for (const std::string& n : names) FNames.push_back(JsonString(n));
    }
    void Row(const std::vector<Cell>& values) override {
        std::string line = FRows++ ? ",\n  {" : "[\n  {";
        for (size_t i = 0; i < values.size() && i < FNames.size(); ++i) {
            line += (i ? ", " : "") + FNames[i] + ": ";
            const Cell& c = values[i];
            switch (c.kind) {
            case ValueKind::Null: line += "null"; break;
            case ValueKind::Boolean: line += c.text; break;
            case ValueKind::Number: line += JsonNumber(c.text) ? c.text : JsonString(c.text); break;
            case ValueKind::Text: line += JsonString(c.text); break;
            }
        }
        line += '}';
        Put(FOut, line);
    }
    void End() override { Put(FOut, FRows ? "\n]\n" : "[]\n"); }

private:
    FILE* FOut;
    std::vector<std::string> FNames;
    size_t FRows = 0;
};

// Collects the rows to size the columns; a --limit keeps that bounded.
// Columns of numbers are aligned to the right.
class TableWriter : public Writer {
public:
    explicit TableWriter(FILE* out) : FOut(out) {}
    void Header(const std::vector<std::string>& names) override {
        FRows.push_back(names);
        FRight.assign(names.size(), false);
    }
    void Row(const std::vector<Cell>& values) override {
        std::vector<std::string> texts;
        for (size_t i = 0; i < values.size(); ++i) {
            std::string t = values[i].text;
            for (char& c : t)
                if (c == '\n' || c == '\r' || c == '\t') c = ' ';
            texts.push_back(std::move(t));
            if (i < FRight.size() && values[i].kind == ValueKind::Number) FRight[i] = true;
        }
        FRows.push_back(std::move(texts));
    }
    void End() override {
        std::vector<size_t> widths;
        for (const auto& row : FRows)
            for (size_t i = 0; i < row.size(); ++i) {
                if (widths.size() <= i) widths.push_back(0);
                widths[i] = std::max(widths[i], std::min<size_t>(Width(row[i]), 40));
            }
        for (size_t r = 0; r < FRows.size(); ++r) {
            std::string line;
            for (size_t i = 0; i < FRows[r].size(); ++i) {
                const std::string& cell = FRows[r][i];
                const std::string pad(widths[i] > Width(cell) ? widths[i] - Width(cell) : 0, ' ');
                const bool right = i < FRight.size() && FRight[i];
                line += (i ? "  " : "") + (right ? pad + cell : cell + pad);
            }
            while (!line.empty() && line.back() == ' ') line.pop_back();
            Put(FOut, line + "\n");
            if (r == 0) {
                size_t total = 0;
                for (size_t w : widths) total += w + 2;
                Put(FOut, std::string(total > 2 ? total - 2 : 0, '-') + "\n");
            }
        }
    }

private:
    FILE* FOut;
    std::vector<std::vector<std::string>> FRows;
    std::vector<bool> FRight;
};

std::string Span(int32_t pos, int32_t len) { return std::to_string(pos) + ".." + std::to_string(pos + len - 1); }

// Raises unless the data file's record length and key segments are the ones
// the description gives.
void CheckFits(const std::string& dict, const std::string& file, const TFileData& fd) {
    TBtrieveFile data;
    data.SetFileName(file);
    data.SetReadOnly(true);
    data.SetFileOwner(fd.Owner);
    data.SetActive(true);
    FileSpec spec{};
    data.Stat(spec);
    const std::string misfit = file + " does not fit its description in " + dict + ": ";
    if (int32_t(spec.RecordLen) != fd.Fields->DataSize)
        throw std::runtime_error(misfit + "its records are " + std::to_string(int(spec.RecordLen)) +
                                 " bytes long, the description's " + std::to_string(fd.Fields->DataSize));
    if (int32_t(spec.Indexes) != fd.Keys->Number)
        throw std::runtime_error(misfit + "it has " + std::to_string(int(spec.Indexes)) + " key(s), the description " +
                                 std::to_string(fd.Keys->Number));
    int segment = 0;
    for (const auto& k : *fd.Keys) {
        const TBField* f = fd.Fields->FindFieldExact(k->Name);
        if (!f) throw std::runtime_error(misfit + "key " + std::to_string(k->Number) + " names no field " + k->Name);
        if (segment >= kMaxSegments) break;
        const KeySpec& s = spec.KeyBuff[segment++];
        if (int32_t(s.KeyPos) != f->BegOfs + 1 || int32_t(s.KeyLen) != f->Length)
            throw std::runtime_error(misfit + "key " + std::to_string(k->Number) + " covers bytes " +
                                     Span(int32_t(s.KeyPos), int32_t(s.KeyLen)) + " in the file and " +
                                     Span(f->BegOfs + 1, f->Length) + " (" + k->Name + ") in the description");
    }
}

} // namespace

void CheckDictionary(const std::string& path) {
    TBtrieveFile file;
    file.SetFileName(path);
    file.SetReadOnly(true);
    file.SetActive(true);
    FileSpec spec{};
    file.Stat(spec);
    if (spec.RecordLen != sizeof(DictRec) || spec.Indexes != 3)
        throw std::runtime_error(path + " is not a dictionary (its records are " + std::to_string(int(spec.RecordLen)) +
                                 " bytes long with " + std::to_string(int(spec.Indexes)) + " key(s); a dictionary's are " +
                                 std::to_string(sizeof(DictRec)) + " bytes with 3 keys)");
}

void OpenDataSet(TBDataSet& ds, const std::string& dict, const std::string& file, const std::optional<std::string>& key,
                 const std::optional<std::string>& index) {
    if (key && index) throw UsageError("--key and --index choose the same thing: give one");
    CheckDictionary(dict);
    TFileData fd;
    GetFileData(file, dict, fd);
    CheckFits(dict, DescribedFile(dict, file), fd);
    ds.SetDictName(dict);
    ds.SetBaseName(file);
    ds.SetIndexCheck(true);
    if (key) {
        const int k = ParseInt(*key, "a key number");
        if (k < 0 || k >= fd.Keys->Number)
            throw std::runtime_error(file + " has no key " + *key + " (its keys are 0 to " +
                                     std::to_string(fd.Keys->Number - 1) + ")");
        ds.SetKeyPath(k);
    }
    if (index) {
        // The dictionary's "Town+Name" as well as "Town;Name".
        std::string names = *index;
        std::replace(names.begin(), names.end(), '+', ';');
        ds.SetIndexFields(names);
    }
    try {
        ds.Open();
    } catch (const EDatabaseError& e) {
        throw std::runtime_error(file + ": " + e.what()); // "No index for fields ..." names no file
    }
}

std::unique_ptr<Writer> MakeWriter(const std::string& format, FILE* out) {
    if (format == "table") return std::make_unique<TableWriter>(out);
    if (format == "csv") return std::make_unique<CsvWriter>(out);
    if (format == "json") return std::make_unique<JsonWriter>(out);
    throw UsageError("--format is table, csv or json, not \"" + format + "\"");
}

int CsvReader::Get() {
    if (FPos == FEnd) {
        FEnd = std::fread(FBuffer.data(), 1, FBuffer.size(), FIn);
        FPos = 0;
        if (FEnd == 0) {
            if (std::ferror(FIn)) throw std::runtime_error(std::string("read error: ") + std::strerror(errno));
            return EOF;
        }
    }
    ++FBytes;
    return static_cast<unsigned char>(FBuffer[FPos++]);
}

bool CsvReader::Next(std::vector<std::string>& row) {
    row.clear();
    if (!FStarted) {
        FStarted = true;
        static const unsigned char kBom[] = {0xEF, 0xBB, 0xBF};
        size_t matched = 0;
        for (int c; matched < 3 && (c = Get()) != EOF && c == kBom[matched];) ++matched;
        if (matched < 3) {
            // Not a mark: read those bytes again (they are all in the first buffer).
            const size_t got = FPos;
            FPos = 0;
            FBytes -= got;
        }
    }
    std::string field;
    bool quoted = false, any = false;
    FRecordLine = FLine;
    for (;;) {
        const int c = Get();
        if (c == EOF) {
            if (quoted) throw std::runtime_error("line " + std::to_string(FRecordLine) + ": a quoted value is not closed");
            if (!any && field.empty()) return false;
            row.push_back(std::move(field));
            return true;
        }
        if (quoted) {
            if (c == '"') {
                const int d = Get();
                if (d == '"') {
                    field += '"';
                } else {
                    quoted = false;
                    if (d != EOF) Unget();
                }
            } else {
                if (c == '\n') ++FLine;
                field += static_cast<char>(c);
            }
            continue;
        }
        if (c == '"' && field.empty()) {
            quoted = any = true;
        } else if (c == ',') {
            row.push_back(std::move(field));
            field.clear();
            any = true;
        } else if (c == '\n' || c == '\r') {
            if (c == '\r') {
                const int d = Get();
                if (d != '\n' && d != EOF) Unget();
            }
            ++FLine;
            if (any || !field.empty()) {
                row.push_back(std::move(field));
                return true;
            }
            FRecordLine = FLine; // a blank line
        } else {
            field += static_cast<char>(c);
            any = true;
        }
    }
}

namespace {

// The text a record's value is compared in: numbers in one spelling,
// booleans as true/false, dates and times as the fields write them.
std::string Comparable(const TField& field, const std::string& text) {
    if (text.empty()) return "";
    switch (field.DataType()) {
    case ftSmallint: case ftInteger: case ftWord: case ftFloat: return apps::CanonicalNumber(text).value_or(text);
    default: return text;
    }
}

} // namespace

bool Term::Matches() const {
    const std::string value = apps::FieldText(*field);
    if (text.empty()) return value.empty();
    return Comparable(*field, value) == text;
}

std::vector<Term> ParseTerms(TBDataSet& ds, const std::vector<std::string>& words, const std::string& what) {
    std::vector<Term> terms;
    for (const std::string& word : words) {
        const size_t eq = word.find('=');
        if (eq == std::string::npos || eq == 0) throw UsageError(what + " \"" + word + "\" is not Field=value");
        TField* field = ds.FindField(word.substr(0, eq));
        if (!field) throw std::runtime_error("no field \"" + word.substr(0, eq) + "\" in " + ds.BaseName());
        const std::string text = word.substr(eq + 1);
        std::string want;
        if (!text.empty()) {
            const Variant v = ValueFromText(*field, text); // raises for a value of the wrong type
            switch (field->DataType()) {
            case ftBoolean: want = v.AsBoolean() ? "true" : "false"; break;
            case ftDate: want = DateToStr(v.AsDateTime()); break;
            case ftTime: want = TimeToStr(v.AsDateTime()); break;
            default: want = Comparable(*field, text);
            }
        }
        terms.push_back({field, want});
    }
    return terms;
}

EngineTransaction::EngineTransaction() {
    try {
        BStartTransaction();
    } catch (...) {
        // A failed begin still holds its acquisition of the client.
        try {
            BRollback();
        } catch (...) {
        }
        throw;
    }
    FOpen = true;
}

EngineTransaction::~EngineTransaction() {
    if (!FOpen) return;
    try {
        BRollback();
    } catch (...) {
        // nothing was kept, which is what a rollback is for
    }
}

void EngineTransaction::Commit() {
    FOpen = false; // the commit ends the transaction whatever it answers
    BCommit();
}

} // namespace btr::tool
