#include "dictionary/dictfile.h"

#include <iterator>
#include <vector>

#include "engine/btrerrors.h"
#include "platform/codepage.h"
#include "platform/exceptions.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/klstrings.h"
#include "platform/messages.h"
#include "platform/ui.h"

namespace btr {

TDictFile* DFile = nullptr;

namespace {

constexpr uint32_t kQuestionBox = MB_YESNO | MB_ICONQUESTION; // 0x24
constexpr uint32_t kErrorBox = MB_OK | MB_ICONERROR;          // 0x10

// Whether the engine finds a file at the path (a server's file is asked for).
bool Exists(const std::string& path) {
    if (!IsServerPath(path)) return FileExists(path);
    TBtrieveFile probe(nullptr);
    probe.SetFileName(path);
    probe.SetReadOnly(true);
    try {
        probe.SetActive(true);
    } catch (const EBtrieve& e) {
        return e.Error() != bsFileNotFound;
    }
    probe.SetActive(false);
    return true;
}

bool OverwriteAllowed(const std::string& path) {
    return !Exists(path) ||
           MessageBox(LoadResString(res::SFileExists), LoadResString(res::SConfirmation), kQuestionBox) == IDYES;
}

// Tells the user why nothing is created and ends silently.
[[noreturn]] void Refuse(const std::string& text) {
    MessageBox(text, LoadResString(res::SErrorCaption), kErrorBox);
    Abort();
}

struct FieldItem {
    AnsiString name;
    int32_t length;
    int32_t type;
};

// The dictionary's own keys: (position, length, flags, key type) per segment.
struct SegmentDef {
    uint16_t pos, len, flags;
    uint8_t type;
};
constexpr SegmentDef kDictionaryKeys[] = {
    {1, 2, 0x0113, 1}, {3, 21, 0x0113, 11}, {28, 21, 0x0103, 11},  // 0: EType, Owner, Name
    {1, 2, 0x0113, 1}, {28, 21, 0x0503, 11},                       // 1: EType, Name (no case)
    {1, 2, 0x0113, 1}, {3, 21, 0x0113, 11}, {24, 4, 0x0103, 1},    // 2: EType, Owner, Number
};

} // namespace

void CheckDictionaryLayout(const TBtrieveFile& file) {
    bool ok = file.RecordLen() == sizeof(DictRec) && file.IndexCnt() >= 3 &&
              file.SegmentCnt() >= std::size(kDictionaryKeys);
    for (size_t i = 0; ok && i < std::size(kDictionaryKeys); ++i) {
        const KeyDef& k = file.KeyList(static_cast<int>(i + 1));
        const SegmentDef& d = kDictionaryKeys[i];
        ok = k.KeyPos == d.pos && k.KeyLen == d.len && (k.KeyFlags & kfSegmented) == (d.flags & kfSegmented);
    }
    if (!ok) throw EBtrieve(LoadResString(res::SBadDictStructure));
}

TDictFile::TDictFile(const std::string& FileName) : TBtrieveFile(nullptr) {
    SetFileName(FileName);
    SetDataBuffer(&Buff, sizeof Buff);
}

void TDictFile::CreateFile() {
    if (!OverwriteAllowed(FileName())) throw EBtrieve(bsFileExists, bCreate, FileName());
    // Always exactly the dictionary's three keys, whatever layout the object
    // held before (an opened file's, an earlier create's).
    ResetKeyLayout();
    for (const SegmentDef& s : kDictionaryKeys) AddKeySegment(s.pos, s.len, s.flags, s.type, 0);
    TBtrieveFile::CreateFile(0, sizeof(DictRec), 2048, 0, 0);
}

void TDictFile::CreateFile(const std::string& aFileName) {
    // Read through keys 1 and 2 of an open dictionary: a closed object gets
    // the engine's "file not open" for the first read, before any question.
    if (!Active()) Reject(bsNotOpen, bGetGreaterOrEqual);
    CheckDictionaryLayout(*this);
    // A bare name goes beside a dictionary on a server; a path names where
    // the file goes, and its last part the file the dictionary describes.
    const std::string path = DescribedFile(FileName(), aFileName);
    if (!OverwriteAllowed(path)) Abort();
    const AnsiString name = Utf8ToAnsi(ExtractFileName(aFileName));
    if (name.size() > kDictNameMax)
        throw EBtrieve(Format(LoadResString(res::SNameTooLong), {ExtractFileName(aFileName), int(kDictNameMax)}));

    auto first = [&](int16_t etype) {
        Buff.Clear();
        Buff.EType = etype;
        KLStrPCopy(Buff.Owner, name);
        Buff.Number = 0;
        SetKeyPath(2);
        MakeKey({TKeyValue{&Buff.EType, sizeof Buff.EType}, TKeyValue{Buff.Owner, sizeof Buff.Owner},
                 TKeyValue{&Buff.Number, sizeof Buff.Number}});
        Get(bGetGreaterOrEqual, 0);
    };
    auto current = [&](int16_t etype) {
        return Status() == bsOk && Buff.EType == etype && KLStrPas(Buff.Owner, sizeof Buff.Owner) == name;
    };

    // Fields, in record order.
    std::vector<FieldItem> fields;
    int64_t recordLen = 0;
    for (first(etField); current(etField); Get(bGetNext, 0)) {
        const int32_t type = Buff.IType;
        if (type < 0 || type >= kFieldTypeCount)
            Refuse(Format(LoadResString(res::SBadFieldType), {type, Buff.NameText()}));
        const int32_t length = Buff.Length;
        if (length < 0) Refuse(Format(LoadResString(res::SBadFieldLength), {length, Buff.NameText()}));
        fields.push_back({KLStrPas(Buff.Name, sizeof Buff.Name), length, type});
        recordLen += length;
    }
    if (recordLen > kMaxRecordLength) Refuse(LoadResString(res::SRecordTooLong));

    TBtrieveFile target(nullptr);
    target.SetFileName(path);
    target.SetAllocateData(true);

    // Key segments, each placed at the offset of the field it names.
    first(etKeySegment);
    if (!current(etKeySegment)) Refuse(LoadResString(res::SNoIndexes));
    for (; current(etKeySegment); Get(bGetNext, 0)) {
        const AnsiString fieldName = KLStrPas(Buff.Name, sizeof Buff.Name);
        int64_t pos = 1;
        const FieldItem* field = nullptr;
        for (const FieldItem& f : fields) {
            if (f.name == fieldName) {
                field = &f;
                break;
            }
            pos += f.length;
        }
        if (!field) Refuse(Format(LoadResString(res::SIndexFieldNotFound), {Buff.NameText()}));
        const uint16_t flags = Buff.KeyFlags;
        if (flags & kfAutoIncrement) {
            target.AddKeySegment(static_cast<uint16_t>(pos), static_cast<uint16_t>(field->length),
                                 flags & ~kfAutoIncrement, 15, 0);
        } else {
            const auto keyType = static_cast<uint8_t>(Types[static_cast<size_t>(field->type)].KeyType & 0xFF);
            target.AddKeySegment(static_cast<uint16_t>(pos), static_cast<uint16_t>(field->length), flags,
                                 keyType, 0);
        }
    }

    // The file entry gives the file flags and the page size.
    Buff.Clear();
    Buff.EType = etFile;
    KLStrPCopy(Buff.Name, name);
    SetKeyPath(1);
    MakeKey({TKeyValue{&Buff.EType, sizeof Buff.EType}, TKeyValue{Buff.Name, sizeof Buff.Name}});
    Get(bGetEqual, 0);
    if (Status() != bsOk) Abort();

    target.CreateFile(Buff.IType, static_cast<uint16_t>(recordLen), static_cast<uint16_t>(Buff.Length & 0xFFFF), 0,
                      0);
}

} // namespace btr
