#include "apps/common/dictionary.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>
#include <stdexcept>

#include "engine/btrfile.h"
#include "platform/codepage.h"

namespace btr::apps {

namespace {

struct KeyWord {
    const char* word;
    uint16_t flag;
};
constexpr KeyWord kKeyWords[] = {{"dup", kfDuplicates}, {"mod", kfModifiable}, {"desc", kfDescending},
                                 {"nocase", kfNoCase}, {"autoinc", kfAutoIncrement}};

constexpr uint16_t kVariableLength = 0x0001; // file flag: records have a variable part
constexpr int32_t kMaxKeyLength = 255;
constexpr int32_t kMaxRecordLength = 65535;

bool IsBlobType(int32_t type) { return type == btBLOB || type == btMEMO || type == btGraphic; }

// A dictionary name: at most 20 characters, all of code page 1251.
std::string NameFault(const std::string& name, const char* what) {
    const AnsiString ansi = Utf8ToAnsi(name);
    if (AnsiToUtf8(ansi) != name) return std::string(what) + " \"" + name + "\" has a character code page 1251 lacks";
    if (ansi.size() > kDictNameMax)
        return std::string(what) + " \"" + name + "\" is longer than " + std::to_string(kDictNameMax) + " characters";
    return "";
}

// The lengths the engine takes for a segment of the key type.
bool KeyLengthFits(int32_t keyType, int32_t length) {
    switch (keyType) {
    case ktInteger: case ktAutoInc: return length == 1 || length == 2 || length == 4 || length == 8;
    case ktFloat: return length == 4 || length == 8 || length == 10;
    case ktDate: case ktTime: return length == 4;
    case ktLogical: return length == 1 || length == 2;
    default: return length >= 1 && length <= kMaxKeyLength;
    }
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A type by its name without regard to case; "RS float" may be written
// with or without its blank.
int32_t TypeCode(const std::string& name) {
    auto squeeze = [](std::string s) {
        s.erase(std::remove(s.begin(), s.end(), ' '), s.end());
        return Lower(s);
    };
    for (int32_t i = 1; i < kFieldTypeCount; ++i)
        if (squeeze(std::string(Types[static_cast<size_t>(i)].Name)) == squeeze(name)) return i;
    return -1;
}

bool IsNumber(const std::string& s) { return !s.empty() && std::all_of(s.begin(), s.end(), ::isdigit); }

} // namespace

std::string TypeName(int32_t type) {
    return type >= 0 && type < kFieldTypeCount ? std::string(Types[static_cast<size_t>(type)].Name) : "?";
}

std::vector<FileEntry> ReadDictionary(TDictFile& dict) {
    std::map<std::string, FileEntry> files;
    std::vector<DictRec> fields, segments;
    dict.SetKeyPath(0);
    for (dict.Get(12, 0); dict.Status() == 0; dict.Get(6, 0)) {
        const DictRec& r = dict.Buff;
        if (r.EType == etFile) {
            FileEntry& f = files[r.NameText()];
            f.name = r.NameText();
            f.owner = r.OwnerText();
            f.flags = r.IType;
            f.pageSize = r.Length;
        } else if (r.EType == etField) {
            fields.push_back(r);
        } else if (r.EType == etKeySegment) {
            segments.push_back(r);
        }
    }
    auto byNumber = [](const DictRec& a, const DictRec& b) { return int32_t(a.Number) < int32_t(b.Number); };
    std::stable_sort(fields.begin(), fields.end(), byNumber);
    std::stable_sort(segments.begin(), segments.end(), byNumber);
    for (const DictRec& r : fields)
        files[r.OwnerText()].fields.push_back({r.NameText(), int32_t(uint16_t(r.IType)), int32_t(r.Length), r.RemarkText()});
    for (const DictRec& r : segments) files[r.OwnerText()].segments.push_back({r.NameText(), r.KeyFlags});
    std::vector<FileEntry> out;
    for (auto& [name, f] : files) {
        if (f.name.empty()) f.name = name; // entries whose file entry is missing
        out.push_back(std::move(f));
    }
    return out;
}

std::optional<DescriptionFault> CheckDescription(const FileEntry& file) {
    using F = DescriptionFault;
    if (file.name.find('/') != std::string::npos)
        return F{F::File, 0, "the dictionary names files without a directory, not \"" + file.name + "\""};
    if (auto why = NameFault(file.name, "the file name"); !why.empty()) return F{F::File, 0, why};
    if (file.owner.size() > static_cast<size_t>(kMaxOwnerLength) || AnsiToUtf8(Utf8ToAnsi(file.owner)) != file.owner)
        return F{F::File, 0, "an owner name is at most " + std::to_string(kMaxOwnerLength) + " characters of code page 1251"};
    if (file.pageSize < 512 || file.pageSize > 16384 || file.pageSize % 512 != 0)
        return F{F::File, 0, "the page size is a multiple of 512 from 512 to 16384, not " + std::to_string(file.pageSize)};
    int64_t length = 0;
    for (size_t i = 0; i < file.fields.size(); ++i) {
        const FieldEntry& f = file.fields[i];
        if (auto why = NameFault(f.name, "the field name"); !why.empty()) return F{F::Field, i, why};
        if (f.length <= 0 || f.length > kMaxRecordLength)
            return F{F::Field, i, "field " + f.name + " needs a length from 1 to " + std::to_string(kMaxRecordLength)};
        if (IsBlobType(f.type) && !(file.flags & kVariableLength))
            return F{F::Field, i, "a " + TypeName(f.type) + " field lives in the variable part of a record: " + file.name +
                                      " needs \"variable\""};
        length += f.length;
    }
    if (length < 4 || length > kMaxRecordLength)
        return F{F::File, 0, "the record of " + file.name + " is " + std::to_string(length) +
                                 " bytes long; the engine takes 4 to " + std::to_string(kMaxRecordLength)};
    if (file.segments.empty()) return F{F::File, 0, file.name + " has no key; every data file needs one"};
    if (file.segments.size() > static_cast<size_t>(kMaxSegments))
        return F{F::Segment, kMaxSegments, "a file has at most " + std::to_string(kMaxSegments) + " key segments"};
    int32_t keyLength = 0;
    for (size_t i = 0; i < file.segments.size(); ++i) {
        const SegmentEntry& s = file.segments[i];
        const auto f = std::find_if(file.fields.begin(), file.fields.end(), [&](const FieldEntry& x) { return x.name == s.field; });
        if (f == file.fields.end()) return F{F::Segment, i, "key field " + s.field + " is not a field of " + file.name};
        if (IsBlobType(f->type)) return F{F::Segment, i, "a " + TypeName(f->type) + " field cannot be part of a key"};
        const int32_t keyType = (s.flags & kfAutoIncrement) ? ktAutoInc : (Types[static_cast<size_t>(f->type)].KeyType & 0xFF);
        if (!KeyLengthFits(keyType, f->length))
            return F{F::Segment, i, "a key cannot cover the " + std::to_string(f->length) + "-byte " + TypeName(f->type) +
                                        " field " + f->name};
        keyLength += f->length;
        if (keyLength > kMaxKeyLength)
            return F{F::Segment, i, "the key is " + std::to_string(keyLength) + " bytes long; the engine takes at most " +
                                        std::to_string(kMaxKeyLength)};
        if (!(s.flags & kfSegmented)) keyLength = 0;
    }
    return std::nullopt;
}

std::vector<FileEntry> ParseDescription(const std::string& text) {
    std::vector<FileEntry> files;
    // Where each entry was written, to name its line in an error.
    struct Lines {
        int file;
        std::vector<int> fields, segments;
    };
    std::vector<Lines> lines;
    const std::string_view bom = "\xEF\xBB\xBF";
    std::istringstream in(text.rfind(bom, 0) == 0 ? text.substr(bom.size()) : text);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        auto fail = [number](const std::string& why) {
            throw std::runtime_error("line " + std::to_string(number) + ": " + why);
        };
        if (const size_t hash = line.find('#'); hash != std::string::npos) line.resize(hash);
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;) w.push_back(word);
        if (w.empty()) continue;
        const std::string what = Lower(w[0]);
        if (what == "file") {
            if (w.size() < 2) fail("\"file\" needs a file name");
            FileEntry f;
            f.name = w[1];
            for (size_t i = 2; i < w.size(); ++i) {
                const std::string opt = Lower(w[i]);
                if (opt == "variable") f.flags |= kVariableLength;
                else if (opt.rfind("page=", 0) == 0 && IsNumber(opt.substr(5))) f.pageSize = std::stoi(opt.substr(5));
                else if (opt.rfind("owner=", 0) == 0) f.owner = w[i].substr(6);
                else fail("unknown file option \"" + w[i] + "\"");
            }
            for (size_t i = 0; i < files.size(); ++i)
                if (Utf8CompareTextI(files[i].name, f.name) == 0)
                    fail(f.name + " is described twice (first on line " + std::to_string(lines[i].file) + ")");
            files.push_back(std::move(f));
            lines.push_back({number, {}, {}});
            continue;
        }
        if (files.empty()) fail("\"" + w[0] + "\" before any \"file\" line");
        FileEntry& f = files.back();
        if (what == "field") {
            if (w.size() < 3) fail("\"field\" needs a name and a type");
            FieldEntry field{w[1], 0, 0};
            size_t typeEnd = w.size();
            if (w.size() > 3 && IsNumber(w.back())) {
                field.length = std::stoi(w.back());
                typeEnd = w.size() - 1;
            }
            std::string type = w[2];
            for (size_t i = 3; i < typeEnd; ++i) type += " " + w[i];
            field.type = TypeCode(type);
            if (field.type < 0) fail("unknown field type \"" + type + "\"");
            const TFieldTypeInfo& info = Types[static_cast<size_t>(field.type)];
            const int32_t fixed = info.Len ? info.Len : (field.type >= 18 && field.type <= 20 ? 8 : 0);
            if (!field.length) field.length = fixed;
            if (!field.length) fail("field " + field.name + " of type " + type + " needs a length");
            if (fixed && !info.LenEdit && field.length != fixed)
                fail("type " + type + " has the fixed length " + std::to_string(fixed));
            for (const FieldEntry& other : f.fields)
                if (Lower(other.name) == Lower(field.name)) fail("field " + field.name + " is named twice");
            f.fields.push_back(field);
            lines.back().fields.push_back(number);
        } else if (what == "key") {
            if (w.size() < 2) fail("\"key\" needs its fields");
            uint16_t flags = 0;
            for (size_t i = 2; i < w.size(); ++i) {
                const auto* kw = std::find_if(std::begin(kKeyWords), std::end(kKeyWords),
                                              [&](const KeyWord& k) { return Lower(w[i]) == k.word; });
                if (kw == std::end(kKeyWords)) fail("unknown key option \"" + w[i] + "\"");
                flags |= kw->flag;
            }
            std::vector<std::string> names;
            std::istringstream parts(w[1]);
            for (std::string part; std::getline(parts, part, '+');) names.push_back(part);
            for (size_t i = 0; i < names.size(); ++i) {
                const bool known = std::any_of(f.fields.begin(), f.fields.end(),
                                               [&](const FieldEntry& x) { return x.name == names[i]; });
                if (!known) fail("key field " + names[i] + " is not a field of " + f.name);
                // Typed segments: the key type comes from the field's type.
                const uint16_t segmentFlags = flags | kfExtType | (i + 1 < names.size() ? kfSegmented : 0);
                f.segments.push_back({names[i], segmentFlags});
                lines.back().segments.push_back(number);
            }
        } else {
            fail("unknown entry \"" + w[0] + "\" (file, field or key)");
        }
    }
    for (size_t i = 0; i < files.size(); ++i)
        if (const auto fault = CheckDescription(files[i])) {
            const Lines& l = lines[i];
            const int at = fault->entry == DescriptionFault::Field     ? l.fields.at(fault->index)
                           : fault->entry == DescriptionFault::Segment ? l.segments.at(std::min(fault->index, l.segments.size() - 1))
                                                                       : l.file;
            throw std::runtime_error("line " + std::to_string(at) + ": " + fault->why);
        }
    return files;
}

void WriteFile(TDictFile& dict, const FileEntry& file) {
    auto put = [&dict](int16_t etype, const std::string& owner, int32_t number, const std::string& name, uint16_t itype,
                       uint16_t keyFlags, int32_t length, const std::string& remark = {}) {
        dict.Buff.Clear();
        dict.Buff.SetRemark(remark);
        dict.Buff.EType = etype;
        dict.Buff.SetOwner(owner);
        dict.Buff.Number = number;
        dict.Buff.SetName(name);
        dict.Buff.IType = itype;
        dict.Buff.KeyFlags = keyFlags;
        dict.Buff.Length = length;
        dict.Insert();
    };
    put(etFile, file.owner, 0, file.name, file.flags, 0, file.pageSize);
    int32_t number = 0;
    for (const FieldEntry& f : file.fields) put(etField, file.name, number++, f.name, static_cast<uint16_t>(f.type), 0, f.length, f.remark);
    number = 0;
    for (const SegmentEntry& s : file.segments) put(etKeySegment, file.name, number++, s.field, 0, s.flags, 0);
}

void RemoveFile(TDictFile& dict, const std::string& name) {
    const AnsiString bare = Utf8ToAnsi(name);
    dict.SetKeyPath(0);
    // After a delete the next read goes on from where the entry was.
    for (dict.Get(12, 0); dict.Status() == 0; dict.Get(6, 0)) {
        const DictRec& r = dict.Buff;
        const std::string text = r.EType == etFile ? r.NameText() : r.OwnerText();
        if (AnsiCompareTextI(Utf8ToAnsi(text), bare) == 0) dict.Delete();
    }
}

} // namespace btr::apps
