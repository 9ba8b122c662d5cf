// Dictionaries as the programs read and write them: every entry of a
// dictionary file grouped by data file, and the plain-text description
// `btrtool dict import` reads.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "dictionary/dictfile.h"

namespace btr::apps {

struct FieldEntry {
    std::string name;
    int32_t type = 0;
    int32_t length = 0;
    std::string remark{}; // UTF-8, cut at 70 bytes of 1251
};

struct SegmentEntry {
    std::string field;
    uint16_t flags = 0;
};

struct FileEntry {
    std::string name;
    std::string owner;
    uint16_t flags = 0;
    int32_t pageSize = 1024;
    std::vector<FieldEntry> fields;
    std::vector<SegmentEntry> segments;
};

// Every data file a dictionary describes, in name order.
std::vector<FileEntry> ReadDictionary(TDictFile& dict);

// Parses a description and checks every file (CheckDescription); raises
// std::runtime_error naming the line.
//
//   file CLIENTS.DAT [page=1024] [owner=NAME] [variable]
//   field Code Longint
//   field Name ZString(WIN) 21
//   key Code
//   key Town+Name dup mod nocase
std::vector<FileEntry> ParseDescription(const std::string& text);

// What is wrong with a file's description, before anything is written: the
// entry it is about (the file itself, field `index` or key segment `index`)
// and why. Checks what the dictionary and the engine would refuse or cut:
// name lengths, the owner, the page size, the record length, field types a
// fixed-length file cannot hold, a file without keys, key lengths.
struct DescriptionFault {
    enum Entry { File, Field, Segment } entry;
    size_t index;
    std::string why;
};
std::optional<DescriptionFault> CheckDescription(const FileEntry& file);

// Adds the entries of one file to an open dictionary.
void WriteFile(TDictFile& dict, const FileEntry& file);
// Removes every entry of one file (file, fields, key segments).
void RemoveFile(TDictFile& dict, const std::string& name);

// "Longint", "ZString(WIN)" ... of a type code, "?" outside the table.
std::string TypeName(int32_t type);

} // namespace btr::apps
