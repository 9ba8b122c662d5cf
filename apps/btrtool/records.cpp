#include "apps/btrtool/records.h"

#include <algorithm>
#include <stdexcept>

#include "apps/btrtool/cli.h"
#include "engine/btrerrors.h"
#include "engine/btrv.h"

namespace btr::tool {

using apps::ParseInt;

namespace {

std::string CsvField(const std::string& v) {
    if (v.find_first_of(",\"\r\n") == std::string::npos) return v;
    std::string out = "\"";
    for (char c : v) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

std::string JsonString(const std::string& v) {
    std::string out = "\"";
    for (unsigned char c : v) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
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

// Display width of UTF-8 text: one column per code point.
size_t Width(const std::string& s) {
    return static_cast<size_t>(std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

class CsvWriter : public Writer {
public:
    explicit CsvWriter(FILE* out) : FOut(out) {}
    void Header(const std::vector<std::string>& names) override { Row(names); }
    void Row(const std::vector<std::string>& values) override {
        for (size_t i = 0; i < values.size(); ++i) std::fprintf(FOut, "%s%s", i ? "," : "", CsvField(values[i]).c_str());
        std::fputc('\n', FOut);
    }

private:
    FILE* FOut;
};

class JsonWriter : public Writer {
public:
    explicit JsonWriter(FILE* out) : FOut(out) {}
    void Header(const std::vector<std::string>& names) override { FNames = names; }
    void Row(const std::vector<std::string>& values) override {
        std::fprintf(FOut, "%s\n  {", FRows++ ? "," : "[");
        for (size_t i = 0; i < values.size() && i < FNames.size(); ++i)
            std::fprintf(FOut, "%s%s: %s", i ? ", " : "", JsonString(FNames[i]).c_str(), JsonString(values[i]).c_str());
        std::fputc('}', FOut);
    }
    void End() override { std::fprintf(FOut, "%s]\n", FRows ? "\n" : "["); }

private:
    FILE* FOut;
    std::vector<std::string> FNames;
    size_t FRows = 0;
};

// Collects the rows to size the columns; a --limit keeps that bounded.
class TableWriter : public Writer {
public:
    explicit TableWriter(FILE* out) : FOut(out) {}
    void Header(const std::vector<std::string>& names) override { FRows.push_back(names); }
    void Row(const std::vector<std::string>& values) override { FRows.push_back(values); }
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
                std::string cell = FRows[r][i];
                for (char& c : cell)
                    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
                line += (i ? "  " : "") + cell + std::string(widths[i] > Width(cell) ? widths[i] - Width(cell) : 0, ' ');
            }
            while (!line.empty() && line.back() == ' ') line.pop_back();
            std::fprintf(FOut, "%s\n", line.c_str());
            if (r == 0) {
                size_t total = 0;
                for (size_t w : widths) total += w + 2;
                std::fprintf(FOut, "%s\n", std::string(total > 2 ? total - 2 : 0, '-').c_str());
            }
        }
    }

private:
    FILE* FOut;
    std::vector<std::vector<std::string>> FRows;
};

} // namespace

void OpenDataSet(TBDataSet& ds, const std::string& dict, const std::string& file, const std::optional<std::string>& key,
                 const std::optional<std::string>& index) {
    if (key && index) throw UsageError("--key and --index choose the same thing: give one");
    ds.SetDictName(dict);
    ds.SetBaseName(file);
    if (key) ds.SetKeyPath(ParseInt(*key, "a key number"));
    if (index) ds.SetIndexFields(*index);
    ds.Open();
}

std::unique_ptr<Writer> MakeWriter(const std::string& format, FILE* out) {
    if (format == "table") return std::make_unique<TableWriter>(out);
    if (format == "csv") return std::make_unique<CsvWriter>(out);
    if (format == "json") return std::make_unique<JsonWriter>(out);
    throw UsageError("--format is table, csv or json, not \"" + format + "\"");
}

std::vector<std::vector<std::string>> ParseCsv(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> row;
    std::string field;
    bool quoted = false, any = false;
    size_t line = 1;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                if (c == '\n') ++line;
                field += c;
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
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            if (any || !field.empty()) {
                row.push_back(std::move(field));
                rows.push_back(std::move(row));
            }
            row.clear();
            field.clear();
            any = false;
            ++line;
        } else {
            field += c;
            any = true;
        }
    }
    if (quoted) throw std::runtime_error("line " + std::to_string(line) + ": a quoted value is not closed");
    if (any || !field.empty()) {
        row.push_back(std::move(field));
        rows.push_back(std::move(row));
    }
    return rows;
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
