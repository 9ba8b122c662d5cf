#include "dictionary/dictcache.h"

#include <cstring>

#include "dictionary/dictfile.h"
#include "engine/btrerrors.h"
#include "engine/btrfile.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/klstrings.h"
#include "platform/messages.h"

namespace btr {

TBDicList* BDictList = nullptr;

// ---- lists ---------------------------------------------------------------

PBField TBFieldList::AddField(std::string_view Name, int32_t Len, int32_t FType) {
    // A damaged dictionary may give any length: refuse what no record can
    // hold rather than let offsets run past the record.
    if (Len < 0 || Len > kMaxRecordLength)
        throw EBtrieve(Format(LoadResString(res::SBadFieldLength), {Len, std::string(Name)}));
    if (DataSize + Len > kMaxRecordLength) throw EBtrieve(LoadResString(res::SRecordTooLong));
    PBField f = Append(TBField{std::string(Name), DataSize, FType, Len});
    DataSize += Len;
    return f;
}

PBField TBFieldList::FindField(std::string_view FieldName) const {
    const AnsiString wanted = Utf8ToAnsi(FieldName);
    for (const auto& f : *this)
        if (AnsiCompareTextI(Utf8ToAnsi(f->Name), wanted) == 0) return f.get();
    return nullptr;
}

PBField TBFieldList::FindFieldExact(std::string_view FieldName) const {
    for (const auto& f : *this)
        if (f->Name == FieldName) return f.get();
    return nullptr;
}

int TBFieldList::IndexOf(const TBField* field) const {
    for (int i = 0; i < Count(); ++i)
        if (Items(i) == field) return i;
    return -1;
}

PBKey TBKeyList::AddKey(std::string_view Name, bool Segment, bool NoCase) {
    PBKey k = Append(TBKey{std::string(Name), Number, NoCase, Segment});
    if (!Segment) ++Number;
    return k;
}

void TFileData::CopyFrom(const TFileData& source) {
    RecSize = source.RecSize;
    Owner = source.Owner;
    Fields = std::make_unique<TBFieldList>();
    if (source.Fields) {
        for (const auto& f : *source.Fields) Fields->AddField(f->Name, f->Length, f->FType);
        Fields->DataSize = source.Fields->DataSize;
    }
    Keys = std::make_unique<TBKeyList>();
    if (source.Keys) {
        for (const auto& k : *source.Keys) Keys->AddKey(k->Name, k->Segment, k->NoCase);
        Keys->Number = source.Keys->Number;
    }
}

// ---- one dictionary ------------------------------------------------------

namespace {

// Cache keys: names compare without regard to case, Cyrillic included; any
// other character is kept as it is, so different names never share a key.
std::string CacheKey(const std::string& utf8) { return Utf8UpperCase(utf8); }

constexpr int kDictRecLen = sizeof(DictRec);

// Positions the dictionary on the first entry of `etype` for `owner` (1251)
// through key 2 and returns whether one was found.
bool FirstEntryOf(TBtrieveFile& file, DictRec& rec, int16_t etype, const AnsiString& owner) {
    rec.Clear();
    rec.EType = etype;
    KLStrPCopy(rec.Owner, owner);
    rec.Number = 0;
    file.SetKeyPath(2);
    file.MakeKey({TKeyValue{&rec.EType, sizeof rec.EType}, TKeyValue{rec.Owner, sizeof rec.Owner},
                  TKeyValue{&rec.Number, sizeof rec.Number}});
    file.Get(bGetGreaterOrEqual, 0);
    return file.Status() == bsOk;
}

bool SameEntry(const DictRec& rec, int16_t etype, const AnsiString& owner) {
    return rec.EType == etype && KLStrPas(rec.Owner, sizeof rec.Owner) == owner;
}

} // namespace

TBDictionary::TBDictionary(std::string FileName) : FFileName(std::move(FileName)) {}

TBDictionary::~TBDictionary() = default;

void TBDictionary::InternalGetFileData(const std::string& aFileName, TFileData& FileData) {
    const std::string bare = ExtractFileName(aFileName);
    const AnsiString name = Utf8ToAnsi(bare);

    // A buffer of this read's own: two reads on one dictionary object never
    // share a record buffer, even when they bypass the list's lock.
    DictRec rec{};
    TBtrieveFile file(nullptr);
    file.SetFileName(FFileName);
    file.SetDataBuffer(&rec, kDictRecLen);
    file.SetReadOnly(true);
    file.SetActive(true);
    try {
        CheckDictionaryLayout(file);
        FileData.RecSize = 72;
        FileData.Fields = std::make_unique<TBFieldList>();
        FileData.Keys = std::make_unique<TBKeyList>();
        try {
            // The file entry, by key 1 (EType, Name without regard to case).
            // A name that 1251 cannot hold names no entry.
            bool found = false;
            if (name.size() <= kDictNameMax && AnsiToUtf8(name) == bare) {
                rec.Clear();
                rec.EType = etFile;
                KLStrPCopy(rec.Name, name);
                file.SetKeyPath(1);
                file.MakeKey({TKeyValue{&rec.EType, sizeof rec.EType}, TKeyValue{rec.Name, sizeof rec.Name}});
                file.Get(bGetEqual, 0);
                found = file.Status() == bsOk;
            }
            if (!found) throw EBtrieve(Format(LoadResString(res::SFileNotInDict), {bare, FFileName}));
            FileData.Owner = rec.OwnerText();

            // Fields and key segments, in Number order by key 2; the Owner
            // text matches exactly.
            for (bool ok = FirstEntryOf(file, rec, etField, name); ok && SameEntry(rec, etField, name);
                 file.Get(bGetNext, 0), ok = file.Status() == bsOk) {
                FileData.Fields->AddField(rec.NameText(), rec.Length, rec.IType);
                FileData.RecSize += 50;
            }
            for (bool ok = FirstEntryOf(file, rec, etKeySegment, name);
                 ok && SameEntry(rec, etKeySegment, name); file.Get(bGetNext, 0), ok = file.Status() == bsOk) {
                FileData.Keys->AddKey(rec.NameText(), (rec.KeyFlags & kfSegmented) != 0,
                                      (rec.KeyFlags & kfNoCase) != 0);
                FileData.RecSize += 46;
            }
            FileData.RecSize += static_cast<int32_t>(Utf8ToAnsi(FileData.Owner).size()) + 13;
        } catch (...) {
            FileData.Fields.reset();
            FileData.Keys.reset();
            throw;
        }
    } catch (...) {
        try {
            file.SetActive(false);
        } catch (...) {
            // The first error is the one worth reporting.
        }
        throw;
    }
    file.SetActive(false);
}

void TBDictionary::GetFileData(const std::string& aFileName, TFileData& FileData) {
    const std::string key = CacheKey(ExtractFileName(aFileName));
    {
        TLockGuard lock(FLock);
        auto it = FDefsCache.find(key);
        if (it != FDefsCache.end()) {
            FileData.CopyFrom(*it->second);
            return;
        }
    }
    InternalGetFileData(aFileName, FileData);
    // Only a fully read description enters the cache, and as a copy.
    auto cached = std::make_unique<TFileData>();
    cached->CopyFrom(FileData);
    TLockGuard lock(FLock);
    FDefsCache.emplace(key, std::move(cached)); // keeps an entry another thread added meanwhile
}

void TBDictionary::Refresh() {
    TLockGuard lock(FLock);
    FDefsCache.clear();
}

int TBDictionary::CachedCount() {
    TLockGuard lock(FLock);
    return static_cast<int>(FDefsCache.size());
}

// ---- the list of dictionaries ------------------------------------------

TBDicList::~TBDicList() { Clear(); }

void TBDicList::Clear() {
    TLockGuard lock(FLock);
    FList.clear();
}

void TBDicList::GetFileData(const std::string& ADictName, const std::string& AFileName, TFileData& FileData) {
    TLockGuard lock(FLock);
    auto& dict = FList[CacheKey(ADictName)];
    if (!dict) dict = std::make_unique<TBDictionary>(ADictName);
    dict->GetFileData(AFileName, FileData);
}

void TBDicList::Refresh(const std::string& ADictName) {
    TLockGuard lock(FLock);
    if (ADictName.empty()) {
        for (auto& [name, dict] : FList) dict->Refresh();
    } else if (auto it = FList.find(CacheKey(ADictName)); it != FList.end()) {
        it->second->Refresh();
    }
}

int TBDicList::Count() {
    TLockGuard lock(FLock);
    return static_cast<int>(FList.size());
}

void GetFileData(const std::string& AFileName, const std::string& ADictName, TFileData& FileData) {
    if (!BDictList) throw Exception("The dictionary cache is not initialised");
    BDictList->GetFileData(ADictName, AFileName, FileData);
}

// Owned through the plain pointer: the unload hook may run after the
// library's static objects are destroyed, so none may own it.
void InitDictCacheUnit() { BDictList = new TBDicList; }

void FinalizeDictCacheUnit() {
    delete BDictList;
    BDictList = nullptr;
}

} // namespace btr
