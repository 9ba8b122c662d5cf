// A Btrieve file's layout as the engine's statistics give it and its create
// request takes it: record length, page size, flags, key segments and the
// collating sequence.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/btrfile.h"
#include "engine/keyorder.h"

namespace btr::apps {

constexpr uint16_t kVariableRecords = 0x0001; // file flag

struct TFileLayout {
    uint16_t recordLen = 0;
    uint16_t pageSize = 0;
    uint16_t fileFlags = 0;
    uint16_t allocation = 0; // pages to preallocate
    uint8_t dupPointers = 0;
    std::vector<KeySegment> segments; // every key's, in key order
    std::vector<uint8_t> acs;         // 265 bytes (0xAC, 8-byte name, table) or none

    bool Variable() const { return fileFlags & kVariableRecords; }
    int Keys() const;
    // The segments of key k.
    std::vector<KeySegment> Key(int k) const;
};

// The layout of an open file, from its statistics.
TFileLayout ReadLayout(TBtrieveFile& file);

// Creates `path` empty with `layout` through btrkit's engine. Mode 0
// replaces an existing file, -1 refuses one (EBtrieve, status 59).
void CreateWithLayout(const std::string& path, const TFileLayout& layout, int32_t mode);

// Names of the key types (C.7 codes): "string", "integer", ... "?" for codes
// without one.
std::string KeyTypeName(uint8_t type);
// The key type a description names: full names and the statistics report's
// spellings without regard to case, blanks or underscores, or a prefix of at
// least three letters that names one type (or one base type, "num" for
// numeric rather than numericsts). -1 when none; `why` then says so.
int KeyTypeCode(const std::string& text, std::string& why);
// True when btrkit's engine orders keys of this type.
bool EngineKeyType(uint8_t type);

} // namespace btr::apps
