// The vendor's SQL catalog (V1 dictionary files FILE.DDF, FIELD.DDF and
// INDEX.DDF) turned into btrkit dictionary descriptions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "apps/common/dictionary.h"

namespace btr::apps {

// Record lengths of the three catalog files; longer records are read, their
// tails ignored.
constexpr size_t kDdfFileRecord = 97;
constexpr size_t kDdfFieldRecord = 32;
constexpr size_t kDdfIndexRecord = 10;

struct TDdfTable {    // X$File
    uint16_t id = 0;
    std::string name;     // UTF-8, trailing blanks gone
    std::string location; // UTF-8, as stored
    uint8_t flags = 0;
};
struct TDdfColumn {   // X$Field
    uint16_t id = 0, table = 0;
    std::string name;
    uint8_t type = 0;
    uint16_t offset = 0, size = 0;
    uint8_t decimals = 0;
    uint16_t flags = 0;
};
struct TDdfSegment {  // X$Index
    uint16_t table = 0, column = 0, number = 0, part = 0, flags = 0;
};

// From one catalog record (at least the length above; text read as 1251).
TDdfTable DdfTable(const uint8_t* record);
TDdfColumn DdfColumn(const uint8_t* record);
TDdfSegment DdfSegment(const uint8_t* record);

struct TDdfCatalog {
    std::vector<TDdfTable> tables;
    std::vector<TDdfColumn> columns;
    std::vector<TDdfSegment> segments;
};

struct TImportedTable {
    std::string table;
    FileEntry file;
    std::vector<std::string> warnings; // each naming the table and the column
};

// Every user table of the catalog (or those named in `only`, without regard
// to case): fields in offset order with fillers in the gaps, keys from the
// index segments. Raises std::runtime_error naming the table and columns for
// a catalog that cannot describe a record (overlapping columns, segments
// naming no column of their table ...).
std::vector<TImportedTable> ImportCatalog(const TDdfCatalog& catalog, const std::vector<std::string>& only);

} // namespace btr::apps
