#include "apps/common/layout.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>

namespace btr::apps {

namespace {

struct KeyTypeInfo {
    uint8_t code;
    const char* name;
};
constexpr KeyTypeInfo kKeyTypes[] = {
    {0, "string"},      {1, "integer"},     {2, "float"},      {3, "date"},       {4, "time"},
    {5, "decimal"},     {6, "money"},       {7, "logical"},    {8, "numeric"},    {9, "bfloat"},
    {10, "lstring"},    {11, "zstring"},    {12, "note"},      {13, "lvar"},      {14, "unsigned"},
    {15, "autoincrement"}, {16, "bit"},     {17, "numericsts"}, {18, "numericsa"}, {19, "currency"},
    {20, "timestamp"},  {21, "blob"},       {25, "wstring"},   {26, "wzstring"},  {27, "guid"},
    {28, "numericslb"}, {29, "numericsls"}, {30, "datetime"},  {31, "numericstb"}, {32, "autotimestamp"},
    {34, "timestamp2"},
};

// The create request takes a collating sequence only as a file: a private
// one, gone with the object.
class TempAcsFile {
public:
    explicit TempAcsFile(const std::vector<uint8_t>& acs) {
        std::string name = (std::filesystem::temp_directory_path() / "btrkit-acs-XXXXXX").string();
        const int fd = mkstemp(name.data());
        if (fd < 0) throw std::runtime_error("cannot write a temporary file for the collating sequence");
        FPath = name;
        const bool written = ::write(fd, acs.data(), acs.size()) == static_cast<ssize_t>(acs.size());
        ::close(fd);
        if (!written) throw std::runtime_error("cannot write a temporary file for the collating sequence");
    }
    ~TempAcsFile() {
        if (!FPath.empty()) ::unlink(FPath.c_str());
    }
    TempAcsFile(const TempAcsFile&) = delete;
    TempAcsFile& operator=(const TempAcsFile&) = delete;
    const std::string& Path() const { return FPath; }

private:
    std::string FPath;
};

} // namespace

int TFileLayout::Keys() const {
    int keys = 0;
    for (const KeySegment& s : segments) keys += (s.flags & kfSegmented) ? 0 : 1;
    return keys;
}

std::vector<KeySegment> TFileLayout::Key(int k) const {
    std::vector<KeySegment> out;
    int key = 0;
    for (const KeySegment& s : segments) {
        if (key == k) out.push_back(s);
        if (!(s.flags & kfSegmented) && ++key > k) break;
    }
    return out;
}

TFileLayout ReadLayout(TBtrieveFile& file) {
    FileSpec spec{};
    file.Stat(spec);
    TFileLayout layout;
    layout.recordLen = spec.RecordLen;
    layout.pageSize = spec.PageSize;
    layout.fileFlags = spec.FileFlags;
    layout.allocation = spec.FreePages;
    layout.dupPointers = spec.DupPoints;
    size_t s = 0;
    for (int k = 0; k < spec.Indexes && s < kMaxSegments; ++k) {
        for (bool more = true; more && s < kMaxSegments; ++s) {
            const KeySpec& ks = spec.KeyBuff[s];
            layout.segments.push_back({ks.KeyPos, ks.KeyLen, ks.KeyFlags, ks.KeyType, ks.NullValue});
            more = ks.KeyFlags & kfSegmented;
        }
    }
    const size_t at = 16 + sizeof(KeySpec) * s;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&spec);
    if (at + kCollatingSequenceSize <= sizeof spec && file.BytesRead() >= static_cast<int32_t>(at + kCollatingSequenceSize) &&
        bytes[at] == 0xAC)
        layout.acs.assign(bytes + at, bytes + at + kCollatingSequenceSize);
    return layout;
}

void CreateWithLayout(const std::string& path, const TFileLayout& layout, int32_t mode) {
    if (layout.segments.size() > static_cast<size_t>(kMaxSegments))
        throw std::runtime_error("a file has at most 119 key segments");
    TBtrieveFile file;
    file.SetFileName(path);
    for (const KeySegment& s : layout.segments) file.AddKeySegment(s.pos, s.len, s.flags, s.type, s.nullValue);
    std::unique_ptr<TempAcsFile> acs;
    if (!layout.acs.empty()) {
        acs = std::make_unique<TempAcsFile>(layout.acs);
        file.SetAltPath(acs->Path());
    }
    file.CreateFile(layout.fileFlags, layout.recordLen, layout.pageSize, layout.allocation, mode);
}

std::string KeyTypeName(uint8_t type) {
    for (const KeyTypeInfo& t : kKeyTypes)
        if (t.code == type) return t.name;
    return "?";
}

int KeyTypeCode(const std::string& text, std::string& why) {
    std::string name;
    for (char c : text)
        if (c != ' ' && c != '_') name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    // Spellings other tools print for the two whose names they shorten.
    if (name == "unsignedbinary" || name == "uns") return ktUnsigned;
    if (name == "autoinc" || name == "aut") return ktAutoInc;
    std::vector<const KeyTypeInfo*> found;
    for (const KeyTypeInfo& t : kKeyTypes) {
        if (name == t.name) return t.code;
        if (name.size() >= 3 && std::string_view(t.name).starts_with(name)) found.push_back(&t);
    }
    // "tim" is time, not timestamp: the one every other candidate extends.
    for (const KeyTypeInfo* base : found)
        if (std::all_of(found.begin(), found.end(),
                        [&](const KeyTypeInfo* t) { return std::string_view(t->name).starts_with(base->name); }))
            return base->code;
    if (found.empty()) {
        why = "unknown key type \"" + text + "\"";
    } else {
        why = "\"" + text + "\" may be";
        for (const KeyTypeInfo* t : found) why += std::string(t == found.front() ? " " : ", ") + t->name;
    }
    return -1;
}

bool EngineKeyType(uint8_t type) {
    switch (type) {
    case ktString: case ktInteger: case ktFloat: case ktDate: case ktTime: case ktDecimal: case ktLogical:
    case ktNumeric: case ktLString: case ktZString: case ktUnsigned: case ktAutoInc: return true;
    default: return false;
    }
}

} // namespace btr::apps
