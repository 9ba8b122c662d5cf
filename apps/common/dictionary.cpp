#include "apps/common/dictionary.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>
#include <stdexcept>

#include "platform/codepage.h"

namespace btr::apps {

namespace {

struct KeyWord {
    const char* word;
    uint16_t flag;
};
constexpr KeyWord kKeyWords[] = {{"dup", 0x0001}, {"mod", 0x0002},     {"desc", 0x0040},
                                 {"nocase", kfNoCase}, {"autoinc", kfAutoIncrement}};

constexpr uint16_t kExtendedType = 0x0100;

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

std::vector<FileEntry> ParseDescription(const std::string& text) {
    std::vector<FileEntry> files;
    std::istringstream in(text);
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
                if (opt == "variable") f.flags |= 1;
                else if (opt.rfind("page=", 0) == 0 && IsNumber(opt.substr(5))) f.pageSize = std::stoi(opt.substr(5));
                else if (opt.rfind("owner=", 0) == 0) f.owner = w[i].substr(6);
                else fail("unknown file option \"" + w[i] + "\"");
            }
            files.push_back(std::move(f));
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
                const uint16_t segmentFlags = flags | kExtendedType | (i + 1 < names.size() ? kfSegmented : 0);
                f.segments.push_back({names[i], segmentFlags});
            }
        } else {
            fail("unknown entry \"" + w[0] + "\" (file, field or key)");
        }
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
