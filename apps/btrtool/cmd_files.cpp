// Commands over dictionaries and file layouts: dict create/show/import,
// create, stat.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "apps/btrtool/cli.h"
#include "apps/btrtool/exchange.h"
#include "apps/common/dictionary.h"
#include "engine/btrerrors.h"
#include "platform/codepage.h"

namespace btr::tool {

using namespace btr::apps;

namespace {

std::string KeyFlagsText(uint16_t flags) {
    std::string out;
    auto add = [&out](const char* w) { out += out.empty() ? w : std::string(" ") + w; };
    if (flags & 0x0001) add("dup");
    if (flags & 0x0002) add("mod");
    if (flags & 0x0040) add("desc");
    if (flags & kfNoCase) add("nocase");
    if (flags & kfAutoIncrement) add("autoinc");
    return out;
}

void ShowFile(const FileEntry& f) {
    std::printf("%s: page %d%s%s\n", f.name.c_str(), f.pageSize, (f.flags & 1) ? ", variable-length" : "",
                f.owner.empty() ? "" : (", owner " + f.owner).c_str());
    int32_t offset = 0;
    std::printf("  %-20s %-14s %6s %6s\n", "field", "type", "offset", "length");
    for (const FieldEntry& x : f.fields) {
        std::printf("  %-20s %-14s %6d %6d\n", x.name.c_str(), TypeName(x.type).c_str(), offset, x.length);
        offset += x.length;
    }
    std::printf("  record length %d\n", offset);
    int key = 0;
    std::string line;
    for (const SegmentEntry& s : f.segments) {
        if (line.empty()) line = "  key " + std::to_string(key) + ": " + s.field;
        else line += " + " + s.field;
        if (!(s.flags & kfSegmented)) {
            const std::string flags = KeyFlagsText(s.flags);
            std::printf("%s%s\n", line.c_str(), flags.empty() ? "" : (" (" + flags + ")").c_str());
            line.clear();
            ++key;
        }
    }
    if (!line.empty()) std::printf("%s (unfinished: the last segment says another follows)\n", line.c_str());
}

int DictCreate(const Args& a) {
    a.Expect(1, 1, {"yes"});
    TDictFile dict(a.At(0, "DICT"));
    dict.CreateFile();
    std::printf("Created the dictionary %s\n", dict.FileName().c_str());
    return 0;
}

int DictShow(const Args& a) {
    a.Expect(1, 2, {});
    TDictFile dict(a.At(0, "DICT"));
    dict.SetReadOnly(true);
    dict.SetActive(true);
    const auto files = ReadDictionary(dict);
    if (a.Count() == 2) {
        for (const FileEntry& f : files)
            if (std::filesystem::path(f.name).filename() == std::filesystem::path(a.At(1, "FILE")).filename()) {
                ShowFile(f);
                return 0;
            }
        throw std::runtime_error(a.At(1, "FILE") + " is not described in " + a.At(0, "DICT"));
    }
    std::printf("%-20s %6s %6s %5s  %s\n", "file", "fields", "keys", "page", "flags");
    for (const FileEntry& f : files) {
        int keys = 0;
        for (const SegmentEntry& s : f.segments) keys += (s.flags & kfSegmented) ? 0 : 1;
        std::printf("%-20s %6zu %6d %5d  %s\n", f.name.c_str(), f.fields.size(), keys, f.pageSize,
                    (f.flags & 1) ? "variable" : "-");
    }
    std::printf("%zu file(s)\n", files.size());
    return 0;
}

int DictImport(const Args& a) {
    a.Expect(2, 2, {});
    std::ifstream in(a.At(1, "DESCRIPTION"));
    if (!in) throw std::runtime_error("cannot read " + a.At(1, "DESCRIPTION"));
    std::stringstream text;
    text << in.rdbuf();
    const auto files = ParseDescription(text.str());
    TDictFile dict(a.At(0, "DICT"));
    dict.SetActive(true);
    // Refuse before writing anything: a file may be described only once.
    const auto existing = ReadDictionary(dict);
    for (const FileEntry& f : files)
        for (const FileEntry& e : existing)
            if (AnsiCompareTextI(Utf8ToAnsi(e.name), Utf8ToAnsi(f.name)) == 0)
                throw std::runtime_error(f.name + " is already described in " + dict.FileName());
    for (const FileEntry& f : files) {
        WriteFile(dict, f);
        std::printf("Added %s: %zu field(s), %zu key segment(s)\n", f.name.c_str(), f.fields.size(), f.segments.size());
    }
    return 0;
}

int DictRemove(const Args& a) {
    a.Expect(2, 2, {});
    TDictFile dict(a.At(0, "DICT"));
    dict.SetActive(true);
    const std::string& name = a.At(1, "FILE");
    bool described = false;
    for (const FileEntry& f : ReadDictionary(dict))
        described = described || AnsiCompareTextI(Utf8ToAnsi(f.name), Utf8ToAnsi(name)) == 0;
    if (!described) throw std::runtime_error(name + " is not described in " + dict.FileName());
    RemoveFile(dict, name);
    std::printf("Removed %s from %s (the data file itself is untouched)\n", name.c_str(), dict.FileName().c_str());
    return 0;
}

int Create(const Args& a) {
    if (a.Option("description")) return CreateFromDescription(a);
    a.Expect(2, 2, {"yes"});
    const std::filesystem::path dictPath = std::filesystem::absolute(a.At(0, "DICT"));
    const std::filesystem::path target = std::filesystem::absolute(a.At(1, "FILE"));
    TDictFile dict(dictPath.string());
    dict.SetActive(true);
    // The dictionary names files without a directory: create it where it goes.
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(target.parent_path());
    try {
        dict.CreateFile(target.filename().string());
    } catch (...) {
        std::filesystem::current_path(cwd);
        throw;
    }
    std::filesystem::current_path(cwd);
    std::printf("Created %s from %s\n", target.string().c_str(), dictPath.string().c_str());
    return 0;
}

const char* KeyTypeName(uint8_t t) {
    static const char* names[] = {"string", "integer", "float",   "date",    "time",     "decimal",
                                  "money",  "logical", "numeric", "bfloat",  "lstring",  "zstring",
                                  "note",   "lvar",    "unsigned", "autoinc"};
    return t < sizeof names / sizeof *names ? names[t] : "?";
}

int Stat(const Args& a) {
    a.Expect(1, 1, {"owner", "format"});
    const std::string format = a.Option("format").value_or("text");
    if (format != "text" && format != "butil") throw UsageError("--format is text or butil, not \"" + format + "\"");
    TBtrieveFile file;
    file.SetFileName(a.At(0, "FILE"));
    file.SetReadOnly(true);
    file.SetFileOwner(a.Option("owner").value_or(""));
    file.SetActive(true);
    if (format == "butil") {
        PrintButilStat(file, a.At(0, "FILE"));
        return 0;
    }
    FileSpec spec{};
    file.Stat(spec);
    std::printf("%s\n", file.FileName().c_str());
    std::printf("  record length %d, page size %d, flags 0x%04x%s\n", int(spec.RecordLen), int(spec.PageSize),
                unsigned(spec.FileFlags), (spec.FileFlags & 1) ? " (variable-length)" : "");
    std::printf("  records %d, keys %d\n", int(spec.Records), int(spec.Indexes));
    int seg = 0;
    for (int k = 0; k < spec.Indexes; ++k) {
        std::printf("  key %d:", k);
        for (bool more = true; more && seg < kMaxSegments; ++seg) {
            const KeySpec& s = spec.KeyBuff[seg];
            const uint16_t flags = s.KeyFlags;
            const uint8_t type = (flags & 0x0100) ? uint8_t(s.KeyType) : ((flags & 0x0004) ? 14 : 0);
            const std::string words = KeyFlagsText(flags);
            std::printf(" [%d..%d %s%s]", int(s.KeyPos), int(s.KeyPos) + int(s.KeyLen) - 1, KeyTypeName(type),
                        words.empty() ? "" : (" " + words).c_str());
            more = flags & 0x0010;
        }
        std::printf("\n");
    }
    return 0;
}

const RegisterCommand kDictCreate({"dict create", "DICT", "Creates an empty dictionary file.", {"yes"}, DictCreate});
const RegisterCommand kDictShow({"dict show", "DICT [FILE]",
                                 "Lists the files a dictionary describes, or one file's fields and keys.", {}, DictShow});
const RegisterCommand kDictImport(
    {"dict import", "DICT DESCRIPTION",
     "Adds the files of a plain-text description to a dictionary. Lines:\n"
     "  file NAME [page=1024] [owner=NAME] [variable]\n"
     "  field NAME TYPE [LENGTH]      (TYPE: a dictionary type name, e.g. Longint, ZString(WIN), Date)\n"
     "  key FIELD[+FIELD...] [dup] [mod] [desc] [nocase] [autoinc]\n"
     "'#' starts a comment. Nothing is written when a line is wrong or a file is already described.",
     {},
     DictImport});
const RegisterCommand kDictRemove({"dict remove", "DICT FILE",
                                   "Removes a file's description (file, field and key entries) from a dictionary.", {},
                                   DictRemove});
const RegisterCommand kCreate({"create", "DICT FILE | FILE --description DESC",
                               "Creates an empty data file from its dictionary description, or from a description "
                               "file in the vendor's format (what BUTIL -CREATE reads; elements the engine does not "
                               "honour, such as compression, are accepted and reported).",
                               {"yes"}, Create});
const RegisterCommand kStat({"stat", "FILE [--owner NAME] [--format text|butil]",
                             "Shows a file's record length, page size, flags, keys and record count; --format butil "
                             "prints the vendor's BUTIL -STAT report.",
                             {}, Stat});

} // namespace

} // namespace btr::tool
