// Commands over dictionaries and file layouts: dict create/show/import,
// create, stat.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "apps/btrtool/cli.h"
#include "apps/btrtool/exchange.h"
#include "apps/btrtool/records.h"
#include "apps/common/dictionary.h"
#include "apps/common/layout.h"
#include "engine/btrerrors.h"
#include "engine/btrv.h"
#include "platform/codepage.h"
#include "platform/files.h"

namespace btr::tool {

using namespace btr::apps;

namespace {

constexpr uint16_t kVariableLength = 0x0001; // file flag

std::string KeyFlagsText(uint16_t flags) {
    std::string out;
    auto add = [&out](const char* w) { out += out.empty() ? w : std::string(" ") + w; };
    if (flags & kfDuplicates) add("dup");
    if (flags & kfModifiable) add("mod");
    if (flags & kfDescending) add("desc");
    if (flags & kfNoCase) add("nocase");
    if (flags & kfAutoIncrement) add("autoinc");
    return out;
}

void ShowFile(const FileEntry& f) {
    std::printf("%s: page %d%s%s\n", f.name.c_str(), f.pageSize, (f.flags & kVariableLength) ? ", variable-length" : "",
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
    SetSubject(a.At(0, "DICT"));
    dict.CreateFile();
    std::printf("Created the dictionary %s\n", dict.FileName().c_str());
    return 0;
}

int DictShow(const Args& a) {
    a.Expect(1, 2, {});
    CheckDictionary(a.At(0, "DICT"));
    TDictFile dict(a.At(0, "DICT"));
    dict.SetReadOnly(true);
    dict.SetActive(true);
    const auto files = ReadDictionary(dict);
    if (a.Count() == 2) {
        for (const FileEntry& f : files)
            if (ExtractFileName(f.name) == ExtractFileName(a.At(1, "FILE"))) {
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
                    (f.flags & kVariableLength) ? "variable" : "-");
    }
    std::printf("%zu file(s)\n", files.size());
    return 0;
}

int DictImport(const Args& a) {
    a.Expect(2, 2, {});
    const std::string& dictPath = a.At(0, "DICT");
    const std::string& descPath = a.At(1, "DESCRIPTION");
    std::ifstream in(descPath, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + descPath);
    std::stringstream text;
    text << in.rdbuf();
    const std::string nothing = "; nothing was added to " + dictPath;
    std::vector<FileEntry> files;
    try {
        files = ParseDescription(text.str());
    } catch (const std::exception& e) {
        throw std::runtime_error(descPath + ", " + e.what() + nothing);
    }
    CheckDictionary(dictPath);
    TDictFile dict(dictPath);
    dict.SetActive(true);
    // Refuse before writing anything: a file may be described only once.
    const auto existing = ReadDictionary(dict);
    for (const FileEntry& f : files)
        for (const FileEntry& e : existing)
            if (AnsiCompareTextI(Utf8ToAnsi(e.name), Utf8ToAnsi(f.name)) == 0)
                throw std::runtime_error(descPath + ": " + f.name + " is already described in " + dictPath + nothing);
    // All or nothing, even when the disk fails half-way.
    EngineTransaction tx;
    for (const FileEntry& f : files) WriteFile(dict, f);
    tx.Commit();
    for (const FileEntry& f : files)
        std::printf("Added %s to %s: %zu field(s), %zu key segment(s)\n", f.name.c_str(), dictPath.c_str(), f.fields.size(),
                    f.segments.size());
    return 0;
}

int DictRemove(const Args& a) {
    a.Expect(2, 2, {});
    CheckDictionary(a.At(0, "DICT"));
    TDictFile dict(a.At(0, "DICT"));
    dict.SetActive(true);
    const std::string& name = a.At(1, "FILE");
    bool described = false;
    for (const FileEntry& f : ReadDictionary(dict))
        described = described || AnsiCompareTextI(Utf8ToAnsi(f.name), Utf8ToAnsi(name)) == 0;
    if (!described) throw std::runtime_error(name + " is not described in " + dict.FileName());
    EngineTransaction tx;
    RemoveFile(dict, name);
    tx.Commit();
    std::printf("Removed %s from %s (the data file itself is untouched)\n", name.c_str(), dict.FileName().c_str());
    return 0;
}

// Gives a new file the owner name its description names: opening it then
// needs that name.
void SetOwner(const std::string& path, const std::string& owner) {
    TBtrieveFile file;
    file.SetFileName(path);
    file.SetActive(true);
    file.AssignOwner(owner, 0);
}

int Create(const Args& a) {
    if (a.Option("description")) return CreateFromDescription(a);
    a.Expect(2, 2, {"yes"});
    if (IsServerPath(a.At(0, "DICT")) || IsServerPath(a.At(1, "FILE"))) {
        // A bare name goes beside a dictionary on a server; a server path
        // where it says.
        const std::string dictPath = a.At(0, "DICT"), target = DescribedFile(dictPath, a.At(1, "FILE"));
        CheckDictionary(dictPath);
        TDictFile dict(dictPath);
        dict.SetActive(true);
        std::string owner;
        for (const FileEntry& f : ReadDictionary(dict))
            if (Utf8CompareTextI(f.name, ExtractFileName(target)) == 0) owner = f.owner;
        SetSubject(target);
        dict.CreateFile(target);
        if (!owner.empty()) SetOwner(target, owner);
        std::printf("Created %s from %s%s\n", target.c_str(), dictPath.c_str(),
                    owner.empty() ? "" : (" with the owner name " + owner).c_str());
        return 0;
    }
    const std::filesystem::path dictPath = std::filesystem::absolute(a.At(0, "DICT"));
    const std::filesystem::path target = std::filesystem::absolute(a.At(1, "FILE"));
    CheckDictionary(dictPath.string());
    TDictFile dict(dictPath.string());
    dict.SetActive(true);
    std::string owner;
    for (const FileEntry& f : ReadDictionary(dict))
        if (Utf8CompareTextI(f.name, target.filename().string()) == 0) owner = f.owner;
    SetSubject(a.At(1, "FILE"));
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
    if (!owner.empty()) SetOwner(target.string(), owner);
    std::printf("Created %s from %s%s\n", target.string().c_str(), dictPath.string().c_str(),
                owner.empty() ? "" : (" with the owner name " + owner).c_str());
    return 0;
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
                unsigned(spec.FileFlags), (spec.FileFlags & kVariableLength) ? " (variable-length)" : "");
    std::printf("  records %d, keys %d\n", int(spec.Records), int(spec.Indexes));
    int seg = 0;
    for (int k = 0; k < spec.Indexes; ++k) {
        std::printf("  key %d:", k);
        for (bool more = true; more && seg < kMaxSegments; ++seg) {
            const KeySpec& s = spec.KeyBuff[seg];
            const uint16_t flags = s.KeyFlags;
            const uint8_t type = KeySegment{0, 0, flags, uint8_t(s.KeyType), 0}.Type();
            const std::string words = KeyFlagsText(flags);
            std::printf(" [%d..%d %s%s]", int(s.KeyPos), int(s.KeyPos) + int(s.KeyLen) - 1, KeyTypeName(type).c_str(),
                        words.empty() ? "" : (" " + words).c_str());
            more = flags & kfSegmented;
        }
        std::printf("\n");
    }
    return 0;
}

const RegisterCommand kDictCreate({"dict create", "DICT [--yes]", "Creates an empty dictionary file; an existing one is replaced only when you agree (--yes agrees).", {"yes"}, DictCreate});
const RegisterCommand kDictShow({"dict show", "DICT [FILE]",
                                 "Lists the files a dictionary describes, or one file's fields and keys.", {}, DictShow});
const RegisterCommand kDictImport(
    {"dict import", "DICT DESCRIPTION",
     "Adds the files of a plain-text description to a dictionary. Lines:\n"
     "  file NAME [page=1024] [owner=NAME] [variable]\n"
     "  field NAME TYPE [LENGTH]      (TYPE: a dictionary type name, e.g. Longint, ZString(WIN), Date)\n"
     "  key FIELD[+FIELD...] [dup] [mod] [desc] [nocase] [autoinc]\n"
     "'#' starts a comment. Every line is checked first (names of at most 20 characters, an owner of at most 8, "
     "page sizes, at least one key per file, key lengths): nothing is written when a line is wrong or a file is "
     "already described, and the error names the line.",
     {},
     DictImport});
const RegisterCommand kDictRemove({"dict remove", "DICT FILE",
                                   "Removes a file's description (file, field and key entries) from a dictionary.", {},
                                   DictRemove});
const RegisterCommand kCreate({"create", "DICT FILE [--yes] | FILE --description DESC [--yes]",
                               "Creates an empty data file from its dictionary description, with the owner name the "
                               "description gives, or from a description file in the vendor's format (what BUTIL "
                               "-CREATE reads; elements the engine does not honour, such as compression, are accepted "
                               "and reported). An existing file is replaced only when you agree (--yes agrees).",
                               {"yes"}, Create});
const RegisterCommand kStat({"stat", "FILE [--owner NAME] [--format text|butil]",
                             "Shows a file's record length, page size, flags, keys and record count; --format butil "
                             "prints the vendor's BUTIL -STAT report.",
                             {}, Stat});

} // namespace

} // namespace btr::tool
