// File descriptions read from a data dictionary, and the process-wide cache
// that hands every caller its own copy.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dictionary/dictrec.h"
#include "platform/threads.h"

namespace btr {

// One field of a record. Names are UTF-8 (1251 on disk).
struct TBField {
    std::string Name;
    int32_t BegOfs = 0; // offset in the fixed-length record
    int32_t FType = 0;  // index into Types
    int32_t Length = 0;
};
using PBField = TBField*;

// One key segment.
struct TBKey {
    std::string Name; // the field the segment covers
    int32_t Number = 0; // key number, from 0
    bool NoCase = false;
    bool Segment = false; // another segment of the same key follows
};
using PBKey = TBKey*;

// Owned records in order; pointers to them stay valid while the list lives.
template <class T> class TOwnedList {
public:
    int Count() const { return static_cast<int>(FItems.size()); }
    T* Items(int index) const { return FItems.at(static_cast<size_t>(index)).get(); }
    T* operator[](int index) const { return Items(index); }
    auto begin() const { return FItems.begin(); }
    auto end() const { return FItems.end(); }

protected:
    T* Append(T item) {
        FItems.push_back(std::make_unique<T>(std::move(item)));
        return FItems.back().get();
    }

private:
    std::vector<std::unique_ptr<T>> FItems;
};

class TBFieldList : public TOwnedList<TBField> {
public:
    // Sum of the lengths so far: the next field's offset; after loading, the
    // fixed record length.
    int32_t DataSize = 0;

    // Appends a field at the current end of the record.
    PBField AddField(std::string_view Name, int32_t Len, int32_t FType);
    // The first field whose name equals FieldName without regard to case
    // (Latin and Cyrillic), or null.
    PBField FindField(std::string_view FieldName) const;
    // The same, with an exact comparison.
    PBField FindFieldExact(std::string_view FieldName) const;
    // Index of a field in the list, -1 when absent.
    int IndexOf(const TBField* field) const;
};

class TBKeyList : public TOwnedList<TBKey> {
public:
    // Number of complete keys so far; after loading, the file's key count.
    int32_t Number = 0;

    // Appends a segment to the current key.
    PBKey AddKey(std::string_view Name, bool Segment, bool NoCase);
};

// The description of one file. Whoever receives one owns its two lists.
struct TFileData {
    double LastAccess = 0; // reserved
    int32_t RecSize = 0;   // an estimate of the memory the description takes
    std::string Owner;
    std::unique_ptr<TBKeyList> Keys;
    std::unique_ptr<TBFieldList> Fields;

    // A deep copy: fresh lists and records, nothing shared.
    void CopyFrom(const TFileData& source);
};
using PFileData = TFileData*;

// One dictionary file and its cached descriptions, keyed by the upper-cased
// bare file name.
class TBDictionary {
public:
    explicit TBDictionary(std::string FileName);
    ~TBDictionary();
    TBDictionary(const TBDictionary&) = delete;
    TBDictionary& operator=(const TBDictionary&) = delete;

    const std::string& FileName() const { return FFileName; }

    // Reads a description from the dictionary file, bypassing the cache.
    // On an error after the lists were made both lists are null again.
    void InternalGetFileData(const std::string& aFileName, TFileData& FileData);
    // Forgets every cached description.
    void Refresh();
    int CachedCount();

    DictRec Buff{};

private:
    friend class TBDicList;
    // The cached read; only TBDicList calls it, under its own lock.
    void GetFileData(const std::string& aFileName, TFileData& FileData);

    std::string FFileName;
    std::map<std::string, std::unique_ptr<TFileData>> FDefsCache;
    double FLastAccessTime = 0; // reserved
    TCriticalSection FLock;
};

// The open dictionaries, keyed by the upper-cased dictionary name as the
// caller wrote it.
class TBDicList {
public:
    TBDicList() = default;
    ~TBDicList();
    TBDicList(const TBDicList&) = delete;
    TBDicList& operator=(const TBDicList&) = delete;

    // Forgets every dictionary.
    void Clear();
    void GetFileData(const std::string& ADictName, const std::string& AFileName, TFileData& FileData);
    // Forgets the cached descriptions of one dictionary (all when empty).
    void Refresh(const std::string& ADictName = {});
    int Count();

private:
    TCriticalSection FLock;
    std::map<std::string, std::unique_ptr<TBDictionary>> FList;
};

// The process-wide cache; exists between the package's start and stop.
extern TBDicList* BDictList;

// The description of a file from a dictionary, through BDictList. Note the
// order: the file name first.
void GetFileData(const std::string& AFileName, const std::string& ADictName, TFileData& FileData);

// Package unit hooks: create and destroy BDictList.
void InitDictCacheUnit();
void FinalizeDictCacheUnit();

} // namespace btr
