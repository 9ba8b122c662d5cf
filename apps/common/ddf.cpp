#include "apps/common/ddf.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <stdexcept>

#include "dictionary/dictrec.h"
#include "platform/codepage.h"
#include "platform/endian.h"
#include "platform/files.h"

namespace btr::apps {

namespace {

// Catalog type codes (X$Field.Xe$DataType).
enum TDdfType : uint8_t {
    dtString = 0, dtInteger = 1, dtFloat = 2, dtDate = 3, dtTime = 4, dtDecimal = 5, dtMoney = 6, dtLogical = 7,
    dtNumeric = 8, dtBFloat = 9, dtLString = 10, dtZString = 11, dtNote = 12, dtLVar = 13, dtUnsigned = 14,
    dtAutoInc = 15, dtBit = 16, dtNumericSTS = 17, dtNumericSA = 18, dtCurrency = 19, dtTimestamp = 20, dtBlob = 21,
    dtWString = 25, dtWZString = 26, dtGuid = 27, dtNumericSLB = 28, dtNumericSLS = 29, dtDateTime = 30,
    dtNumericSTB = 31, dtAutoTimestamp = 32, dtTimestamp2 = 34, dtConstraintName = 227, dtIndexName = 255,
};

// Catalog index flags (X$Index.Xi$Flags): not the engine's key flags.
constexpr uint16_t kxDuplicates = 0x0001;
constexpr uint16_t kxModifiable = 0x0002;
constexpr uint16_t kxAltCol = 0x0004;
constexpr uint16_t kxNullKey = 0x0008;
constexpr uint16_t kxSegmented = 0x0010;
constexpr uint16_t kxNoCase = 0x0020;
constexpr uint16_t kxDescending = 0x0040;
constexpr uint16_t kxNamed = 0x0080;
constexpr uint16_t kxExtType = 0x0100;
constexpr uint16_t kxForeign = 0x2000;
constexpr uint16_t kxPrimary = 0x4000;
constexpr uint16_t kxKnown = kxDuplicates | kxModifiable | kxAltCol | kxNullKey | kxSegmented | kxNoCase |
                             kxDescending | kxNamed | kxExtType | kxForeign | kxPrimary;

constexpr uint8_t kDictionaryTable = 0x10; // X$File.Xf$Flags: one of the catalog's own files
constexpr int32_t kCatalogPageSize = 4096;  // the catalog does not say; the vendor's usual

const char* DdfTypeName(uint8_t type) {
    switch (type) {
    case dtString: return "STRING"; case dtInteger: return "INTEGER"; case dtFloat: return "FLOAT";
    case dtDate: return "DATE"; case dtTime: return "TIME"; case dtDecimal: return "DECIMAL";
    case dtMoney: return "MONEY"; case dtLogical: return "LOGICAL"; case dtNumeric: return "NUMERIC";
    case dtBFloat: return "BFLOAT"; case dtLString: return "LSTRING"; case dtZString: return "ZSTRING";
    case dtNote: return "NOTE"; case dtLVar: return "LVAR"; case dtUnsigned: return "UNSIGNED BINARY";
    case dtAutoInc: return "AUTOINCREMENT"; case dtBit: return "BIT"; case dtNumericSTS: return "NUMERICSTS";
    case dtNumericSA: return "NUMERICSA"; case dtCurrency: return "CURRENCY"; case dtTimestamp: return "TIMESTAMP";
    case dtBlob: return "BLOB"; case dtWString: return "WSTRING"; case dtWZString: return "WZSTRING";
    case dtGuid: return "GUID"; case dtNumericSLB: return "NUMERICSLB"; case dtNumericSLS: return "NUMERICSLS";
    case dtDateTime: return "DATETIME"; case dtNumericSTB: return "NUMERICSTB";
    case dtAutoTimestamp: return "AUTOTIMESTAMP"; case dtTimestamp2: return "TIMESTAMP2";
    default: return nullptr;
    }
}

std::string TypeText(uint8_t type) {
    const char* name = DdfTypeName(type);
    return name ? name : "type " + std::to_string(type);
}

bool HasDecimalPlaces(uint8_t type) {
    switch (type) {
    case dtDecimal: case dtMoney: case dtNumeric: case dtNumericSTS: case dtNumericSA: case dtNumericSLB:
    case dtNumericSLS: case dtNumericSTB: case dtCurrency: return true;
    default: return false;
    }
}

// Text of a CHAR column: up to a NUL, trailing blanks dropped, as 1251.
std::string Text(const uint8_t* p, size_t n) {
    size_t len = 0;
    while (len < n && p[len]) ++len;
    while (len > 0 && p[len - 1] == ' ') --len;
    return AnsiToUtf8(std::string_view(reinterpret_cast<const char*>(p), len));
}

// The dictionary type that holds a column's bytes as they are, or none.
int32_t ExactType(const TDdfColumn& c) {
    switch (c.type) {
    case dtString: return btString;
    case dtInteger: case dtAutoInc: return c.size == 2 ? btSmallint : c.size == 4 ? btLongint : btNone;
    case dtFloat: return c.size == 8 ? btDouble : btNone;
    case dtDate: return c.size == 4 ? btDate : btNone;
    case dtTime: return c.size == 4 ? btTime : btNone;
    case dtDecimal: case dtMoney: return btDecimal;
    case dtLogical: return c.size == 1 || c.size == 2 ? btBoolean : btNone;
    case dtLString: return c.size >= 2 ? btLStringWIN : btNone;
    case dtZString: return btZStringWIN;
    case dtUnsigned: return c.size == 2 ? btWord : btNone;
    default: return btNone;
    }
}

bool Lives(const TDdfColumn& c) { return c.type != dtConstraintName && c.type != dtIndexName; }

struct Field {
    std::string name;
    int32_t type;
    uint32_t offset, size;
    std::string remark;
    std::vector<const TDdfColumn*> columns; // more than one: bits of one byte
};

class TableImport {
public:
    TableImport(const TDdfCatalog& catalog, const TDdfTable& table) : FCatalog(catalog), FTable(table) {
        FOut.table = table.name;
    }

    TImportedTable Run() {
        FileName();
        Fields();
        Keys();
        return std::move(FOut);
    }

private:
    [[noreturn]] void Fail(const std::string& why) const {
        throw std::runtime_error("table " + FTable.name + ": " + why);
    }
    void Warn(const std::string& why) { FOut.warnings.push_back("table " + FTable.name + ", " + why); }

    void FileName() {
        FOut.file.name = ExtractFileName(FTable.location);
        if (FOut.file.name.empty()) Fail("no file location (Xf$Loc)");
        if (Utf8ToAnsi(FOut.file.name).size() > kDictNameMax)
            Fail("its file name " + FOut.file.name + " is longer than the 20 characters a dictionary holds");
        FOut.file.pageSize = kCatalogPageSize;
    }

    void Fields() {
        std::vector<const TDdfColumn*> columns;
        for (const TDdfColumn& c : FCatalog.columns)
            if (c.table == FTable.id && Lives(c)) columns.push_back(&c);
        if (columns.empty()) Fail("no columns in FIELD.DDF");
        std::stable_sort(columns.begin(), columns.end(),
                         [](const TDdfColumn* a, const TDdfColumn* b) { return a->offset < b->offset; });

        std::vector<Field> fields;
        for (const TDdfColumn* c : columns) {
            if (c->size == 0) Fail("column " + c->name + " is 0 bytes long");
            if (!fields.empty()) {
                Field& last = fields.back();
                if (c->type == dtBit && last.columns.front()->type == dtBit && c->offset == last.offset) {
                    last.columns.push_back(c);
                    continue;
                }
                if (c->offset < last.offset + last.size)
                    Fail("columns " + last.columns.back()->name + " (offset " + std::to_string(last.offset) + ", " +
                         std::to_string(last.size) + " bytes) and " + c->name + " (offset " + std::to_string(c->offset) +
                         ") overlap");
            }
            fields.push_back(ColumnField(*c));
        }

        uint32_t at = 0;
        int fillers = 0;
        for (Field& f : fields) {
            if (f.columns.front()->type == dtBit) {
                std::string names;
                for (const TDdfColumn* c : f.columns) names += (names.empty() ? "" : ", ") + c->name;
                f.remark = "BIT " + names;
                Warn(std::string(f.columns.size() > 1 ? "columns " : "column ") + names +
                     ": BIT has no dictionary type; imported as the String field " + f.name + " of " +
                     std::to_string(f.size) + " byte(s) holding the bits as they are");
            }
            if (f.offset > at) AddFiller(at, f.offset - at, ++fillers);
            for (const FieldEntry& x : FOut.file.fields)
                if (Utf8CompareTextI(x.name, f.name) == 0) Fail("two columns are named " + f.name);
            FOut.file.fields.push_back({f.name, f.type, static_cast<int32_t>(f.size), f.remark});
            for (const TDdfColumn* c : f.columns) FColumnField[c->id] = f.name;
            at = f.offset + f.size;
        }
        if (at > 65535) Fail("its columns reach byte " + std::to_string(at) + "; a record has at most 65535");
    }

    Field ColumnField(const TDdfColumn& c) {
        Field f{c.name.empty() ? "Column" + std::to_string(c.id) : c.name, ExactType(c), c.offset, c.size, {}, {&c}};
        std::string remark;
        if (f.type == btNone) {
            f.type = btString;
            remark = TypeText(c.type);
            if (c.type != dtBit)
                Warn("column " + f.name + ": " + TypeText(c.type) + " (" + std::to_string(c.size) +
                     " bytes) has no dictionary type; imported as String, its bytes kept as they are");
        }
        if (HasDecimalPlaces(c.type)) remark += (remark.empty() ? "" : ", ") + std::string("decimal places: ") + std::to_string(c.decimals);
        if (c.type == dtNote || c.type == dtLVar || c.type == dtBlob) {
            FOut.file.flags |= 1; // its data goes on in the variable part
            Warn("column " + f.name + ": " + TypeText(c.type) + " continues in the record's variable part, which the "
                                                               "dictionary does not describe");
        }
        f.remark = remark;
        return f;
    }

    void AddFiller(uint32_t offset, uint32_t size, int n) {
        std::string name = "Filler" + std::to_string(n);
        for (int k = 2; std::any_of(FCatalog.columns.begin(), FCatalog.columns.end(), [&](const TDdfColumn& c) {
                 return c.table == FTable.id && Utf8CompareTextI(c.name, name) == 0;
             });
             ++k)
            name = "Filler" + std::to_string(n) + "_" + std::to_string(k);
        FOut.file.fields.push_back({name, btString, static_cast<int32_t>(size),
                                    "bytes " + std::to_string(offset) + ".." + std::to_string(offset + size - 1) +
                                        " no column describes"});
    }

    void Keys() {
        std::vector<const TDdfSegment*> segments;
        for (const TDdfSegment& s : FCatalog.segments)
            if (s.table == FTable.id) segments.push_back(&s);
        std::stable_sort(segments.begin(), segments.end(), [](const TDdfSegment* a, const TDdfSegment* b) {
            return a->number != b->number ? a->number < b->number : a->part < b->part;
        });
        int expected = 0;
        for (size_t i = 0; i < segments.size(); ++i) {
            const TDdfSegment& s = *segments[i];
            const std::string where = "index " + std::to_string(s.number) + " part " + std::to_string(s.part);
            const bool last = i + 1 == segments.size() || segments[i + 1]->number != s.number;
            if (i > 0 && segments[i - 1]->number == s.number && segments[i - 1]->part == s.part)
                Fail(where + " is defined twice");
            if (i == 0 || segments[i - 1]->number != s.number) {
                if (s.number != expected)
                    Warn(where + ": the index numbers skip to " + std::to_string(s.number) +
                         "; the dictionary numbers keys in order, so this is its key " + std::to_string(expected));
                ++expected;
            }
            const auto field = FColumnField.find(s.column);
            if (field == FColumnField.end())
                Fail(where + " names column id " + std::to_string(s.column) + ", which is not a column of the table");
            if (s.flags & ~kxKnown)
                Warn(where + ": index flags 0x" + Hex(s.flags) + " hold bits the dictionary does not carry");
            if (FOut.file.segments.size() >= static_cast<size_t>(kMaxSegmentCount))
                Fail("more than 119 index segments");
            FOut.file.segments.push_back({field->second, KeyFlags(s, last)});
        }
    }

    // The engine's flags for a segment; the catalog numbers its bits its own way.
    uint16_t KeyFlags(const TDdfSegment& s, bool last) const {
        uint16_t f = kfExtType; // the key type comes from the field's type
        if (s.flags & kxDuplicates) f |= kfDuplicates;
        if (s.flags & kxModifiable) f |= kfModifiable;
        if (s.flags & kxAltCol) f |= kfAltCol;
        if (s.flags & kxNullKey) f |= kfNullAll;
        if (s.flags & kxNoCase) f |= kfNoCase;
        if (s.flags & kxDescending) f |= kfDescending;
        if (!last) f |= kfSegmented;
        for (const TDdfColumn& c : FCatalog.columns)
            if (c.id == s.column && c.table == FTable.id && c.type == dtAutoInc) f |= kfAutoIncrement;
        return f;
    }

    static std::string Hex(uint16_t v) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "%04X", unsigned(v));
        return buf;
    }

    static constexpr int kMaxSegmentCount = 119;
    const TDdfCatalog& FCatalog;
    const TDdfTable& FTable;
    TImportedTable FOut;
    std::map<uint16_t, std::string> FColumnField; // column id -> field name
};

} // namespace

TDdfTable DdfTable(const uint8_t* r) {
    return {ReadLE<uint16_t>(r), Text(r + 2, 20), Text(r + 22, 64), r[86]};
}

TDdfColumn DdfColumn(const uint8_t* r) {
    return {ReadLE<uint16_t>(r),      ReadLE<uint16_t>(r + 2),  Text(r + 4, 20), r[24],
            ReadLE<uint16_t>(r + 25), ReadLE<uint16_t>(r + 27), r[29],           ReadLE<uint16_t>(r + 30)};
}

TDdfSegment DdfSegment(const uint8_t* r) {
    return {ReadLE<uint16_t>(r), ReadLE<uint16_t>(r + 2), ReadLE<uint16_t>(r + 4), ReadLE<uint16_t>(r + 6),
            ReadLE<uint16_t>(r + 8)};
}

std::vector<TImportedTable> ImportCatalog(const TDdfCatalog& catalog, const std::vector<std::string>& only) {
    std::vector<TImportedTable> out;
    std::vector<bool> found(only.size());
    for (const TDdfTable& t : catalog.tables) {
        if (t.flags & kDictionaryTable) continue;
        if (!only.empty()) {
            bool wanted = false;
            for (size_t i = 0; i < only.size(); ++i)
                if (Utf8CompareTextI(only[i], t.name) == 0) wanted = found[i] = true;
            if (!wanted) continue;
        }
        out.push_back(TableImport(catalog, t).Run());
        for (size_t i = 0; i + 1 < out.size(); ++i)
            if (Utf8CompareTextI(out[i].file.name, out.back().file.name) == 0)
                throw std::runtime_error("tables " + out[i].table + " and " + t.name + " both live in " +
                                         out.back().file.name);
    }
    for (size_t i = 0; i < only.size(); ++i)
        if (!found[i]) throw std::runtime_error("the catalog has no table " + only[i]);
    return out;
}

} // namespace btr::apps
