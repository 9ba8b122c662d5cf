// TBDataSet: one Btrieve file as a dataset of the data-access framework. The
// record layout comes from the file's description in a data dictionary; the
// file itself is reached through a TBtrieveFile.
//
// A record buffer holds the record image exactly as stored, the calculated
// area, a TRecInfo and an 11-byte bookmark: the record's physical position in
// decimal, right-aligned in ten characters, and a zero byte.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dataset/btrblob.h"
#include "dataset/recordkey.h"
#include "dictionary/dictcache.h"
#include "engine/btrfile.h"
#include "framework/db.h"

namespace btr {

#pragma pack(push, 1)
// A date inside a record.
struct TBDate {
    uint8_t day;
    uint8_t month;
    LE16 year;
};
// A time of day inside a record.
struct TBTime {
    uint8_t sec100;
    uint8_t sec;
    uint8_t min;
    uint8_t hour;
};
// Where a BLOB, MEMO or Graphic value lies in the variable part.
struct TBLOBData {
    LEInt32 Ofs;
    LEInt32 Size; // 0: null
};
// Packed: it follows a record image of any length inside the buffer.
struct TRecInfo {
    LE32 BPosition;
    TUpdateStatus UpdateStatus = usUnmodified;
    TBookmarkFlag BookmarkFlag = bfCurrent;
};
#pragma pack(pop)
static_assert(sizeof(TBDate) == 4 && sizeof(TBTime) == 4 && sizeof(TBLOBData) == 8 && sizeof(TRecInfo) == 6);

constexpr int kBookmarkSize = 11;

// Str: 8-bit text in and out; ToOem: true on the way to the file.
using TTranslateEvent = std::function<void(std::string& Str, bool ToOem, TField* Field)>;

class TBDataSet : public TDataSet {
public:
    explicit TBDataSet(TComponent* AOwner = nullptr);
    ~TBDataSet() override;

    // ---- published properties
    const std::string& BaseName() const { return FBaseName; }
    void SetBaseName(const std::string& Value);
    const std::string& DictName() const { return FDictName; }
    void SetDictName(const std::string& Value);
    bool IndexCheck() const { return FIndexCheck; }
    void SetIndexCheck(bool Value) { FIndexCheck = Value; }
    bool ReadOnly() const { return FReadOnly; }
    void SetReadOnly(bool Value);
    bool EvaluteScroll() const { return FEvaluteScroll; }
    void SetEvaluteScroll(bool Value) { FEvaluteScroll = Value; }
    int32_t KeyPath() const { return FKeyPath; }
    void SetKeyPath(int32_t Value);
    int32_t MaxVarRecSize() const { return FMaxVarRec; }
    void SetMaxVarRecSize(int32_t Value) { FMaxVarRec = Value; }
    const std::string& IndexFields() const { return FIndexFields; }
    void SetIndexFields(const std::string& Value);
    bool Locking() const { return FLocking; }
    void SetLocking(bool Value);
    const std::string& MasterFields() const { return FMasterFields; }
    void SetMasterFields(const std::string& Value) { FMasterFields = Value; }
    bool DeleteChildren() const { return FDeleteChildren; }
    void SetDeleteChildren(bool Value) { FDeleteChildren = Value; }
    // Master-detail: the master keeps its details' keys in step with its
    // MasterFields (cascade update, and cascade delete when DeleteChildren).
    TBDataSet* MasterSet() const { return FMasterSet; }
    void SetMasterSet(TBDataSet* Value);
    const std::vector<TBDataSet*>& Children() const { return FChildren; }
    const std::string& Alias() const { return FAlias; }
    void SetAlias(const std::string& Value);
    TTranslateEvent OnTranslate;

    TBtrieveFile* DataFile() const { return FDataFile.get(); }
    const TBFieldList* DictFields() const { return FFields.get(); }
    const TBKeyList* DictKeys() const { return FKeys.get(); }

    // ---- keys and search
    virtual int32_t FindKeyNumber(const std::vector<std::string>& FieldNames, bool Strict);
    virtual int32_t FindKeyNumberEx(const std::string& FieldNames, bool Strict);
    void SetRange(const std::vector<Variant>& StartValues, const std::vector<Variant>& EndValues);
    bool FindKey(const std::vector<Variant>& KeyValues, int32_t Op);
    bool Locate(std::string_view KeyFields, const Variant& KeyValues, TLocateOptions Options) override;
    Variant Lookup(std::string_view KeyFields, const Variant& KeyValues, std::string_view ResultFields) override;
    int CompareBookmarks(const uint8_t* Bookmark1, const uint8_t* Bookmark2) override;

    // ---- field values
    bool GetFieldData(TField* Field, void* Buffer) override;
    void SetFieldData(TField* Field, const void* Buffer) override;
    bool IsSequenced() override;
    void SetRecNo(int Value) override;
    void Post() override;

    // The record buffer field access works on in the current state.
    bool GetActiveRecBuf(TRecordBuffer& RecBuf);

    // ---- the variable part and BLOB values
    std::unique_ptr<TStream> CreateBlobStream(TField* Field, TBlobStreamMode Mode) override;
    // A stream over the current record's variable part, or none when there is
    // no such record (empty, fixed-length file, not browsing or editing).
    std::unique_ptr<TVarStream> CreateVarStream();
    // Writes every BLOB value of R into the current record's variable part and
    // puts their new descriptors into R.
    virtual void FlushBlobs(TRecordBuffer R);
    // Drops the BLOB values no stream holds.
    virtual void FreeBlobs();

protected:
    // ---- the framework's overridable operations
    void ClearCalcFields(TRecordBuffer Buffer) override;
    bool GetCanModify() override;
    int GetRecordCount() override;
    int GetRecNo() override;
    void InternalCancel() override;
    void InternalEdit() override;
    void InternalInsert() override;
    void SetFilterText(const std::string& Value) override;
    TRecordBuffer AllocRecordBuffer() override;
    void FreeRecordBuffer(TRecordBuffer& Buffer) override;
    int GetRecordSize() override { return FRecordSize; }
    void GetBookmarkData(TRecordBuffer Buffer, uint8_t* Data) override;
    TBookmarkFlag GetBookmarkFlag(TRecordBuffer Buffer) override;
    void InternalAddRecord(TRecordBuffer Buffer, bool Append) override;
    void InternalDelete() override;
    void InternalFirst() override;
    void InternalGotoBookmark(const uint8_t* Bookmark) override;
    void InternalInitRecord(TRecordBuffer Buffer) override;
    void InternalLast() override;
    void InternalPost() override;
    void InternalSetToRecord(TRecordBuffer Buffer) override;
    void SetBookmarkFlag(TRecordBuffer Buffer, TBookmarkFlag Value) override;
    void SetBookmarkData(TRecordBuffer Buffer, const uint8_t* Data) override;
    TGetResult GetRecord(TRecordBuffer Buffer, TGetMode GetMode, bool DoCheck) override;
    void InternalClose() override;
    void InternalHandleException() override {}
    void InternalInitFieldDefs() override;
    void InternalOpen() override;
    bool IsCursorOpen() override { return FCursorOpen; }

    // ---- the dataset's own overridables
    virtual bool LocateRecord(std::string_view KeyFields, const Variant& KeyValues, TLocateOptions Options,
                              bool SyncCursor);
    virtual std::string InternalTranslate(const std::string& S, bool ToOem, TField* Field);

    // ---- key buffer and range primitives
    int GetKeyStart(int32_t K) const;
    void ClearKey();
    bool GetRecordByKey(int32_t Op);
    bool CheckForRange(TRecordBuffer Buffer, bool TestEnd, bool TestStart);

    void AddChild(TBDataSet* Child);
    void RemoveChild(TBDataSet* Child);

private:
    friend class TVarStream;
    friend class TBlobFiler;
    friend class TBlobStream;

    void InitBufferPointers();
    uint32_t BufferPosition(const uint8_t* R) const;
    std::string FilerKey(const uint8_t* R, const std::string& FieldName);
    std::shared_ptr<TBlobFiler> Filer(TBlobField* Field);
    void ForgetFiler(const TBlobFiler& Filer);
    void StandOnEditedRecord();
    void WriteActiveRecord(bool Edit);
    std::vector<Variant> ChangedMasterValues();
    void ForEachDetailRecord(TBDataSet* Child, const std::vector<Variant>& Values, const std::function<void()>& Step);
    void CascadeKeyUpdate(const std::vector<Variant>& Old);
    void CascadeDelete();
    TRecInfo& RecInfo(TRecordBuffer Buffer) const;
    // The dictionary field a field reads; inline: every field read asks.
    const TBField* StoredField(const TField* Field) const {
        const int no = Field->FieldNo();
        if (!FFields || no < 1 || no > FFields->Count()) [[unlikely]]
            FieldNotStored(*Field);
        return FFields->Items(no - 1);
    }
    [[noreturn]] void FieldNotStored(const TField& Field) const;
    bool AcceptRecord(TRecordBuffer Buffer);
    void SeekRange(TRecordBuffer Buffer, bool End);
    void CopyFoundRecord();
    // The key of the file's current key path, or null when the path names none.
    const TRecordKey* CurrentKey() const;
    const TRecordKey& RequireKey();
    size_t AssignKeyValues(const TRecordKey& Key, const std::vector<Variant>& Values);
    bool GetRecordByKey(int32_t Op, size_t Named, bool Largest);
    bool SearchKey(const TRecordKey& Key, int32_t Op, size_t Named);
    void PrepareRange();
    void ClearTail(uint8_t* Buffer) const;
    void CheckFieldLayout() const;
    void EncodeFieldValue(TField* Field, const TBField& f, const uint8_t* in, std::vector<uint8_t>& out);
    std::string StoredBlob(const uint8_t* R, const TBField& f, uint32_t Position);
    bool HoldsValue(TField* Field, const Variant& Value);
    // Runs a step of the cursor; an engine error becomes the database error.
    template <class F> void AsDatabaseError(F&& step);
    uint8_t* ScratchData(size_t size);

    std::string FBaseName;
    std::string FDictName;
    std::unique_ptr<TBKeyList> FKeys;
    std::unique_ptr<TBFieldList> FFields;
    std::unique_ptr<TBtrieveFile> FDataFile;
    std::vector<uint8_t> FKeyBuffer;
    std::vector<uint8_t> FOldRecord;
    std::vector<uint8_t> FScratch;
    uint16_t FRecBufSize = 0;
    uint16_t FRecordSize = 0;
    uint16_t FBookmarkOfs = 0;
    uint16_t FRecInfoOfs = 0;
    int32_t FKeyPath = -1;
    std::string FAlias;
    std::string FIndexFields;
    std::string FMasterFields;
    int32_t FCurRecordCount = 0;
    int32_t FMaxVarRec = 2147483647;
    TRecordBuffer FFilterBuffer = nullptr;
    std::vector<Variant> RangeStart, RangeEnd;
    // The keys of the open file, by number, over the record image.
    std::vector<TRecordKey> FRecordKeys;
    // The range bounds encoded in the current key's order, and how many
    // segments each bounds; made again when the range or the key path changes.
    std::string FRangeLow, FRangeHigh, FEncoded;
    size_t FRangeLowN = 0, FRangeHighN = 0;
    int FRangeKey = -1;
    bool FRangeReady = false;
    bool FIgnoreFilter = false; // a cascade reaches the records a filter hides
    bool FKeepBlobs = false;    // a post keeps its BLOB values until it succeeded
    bool FReread = false;       // a failed post: read the record again before the next one
    std::vector<uint8_t> FFieldBytes; // a field value on its way into a record
    bool FPlainTranslate = true;      // DOS text goes through the code-page tables alone
    bool FDeleteChildren = false;
    bool FEvaluteScroll = true;
    bool FCursorOpen = false;
    bool FBeforeBOF = false, FAfterEOF = false;
    bool FReadOnly = false;
    bool FIndexCheck = false;
    bool FLocking = true;
    bool FBlobsModified = false;
    // BLOB values by the bookmark text, code 1 and the field name (the field
    // name alone while inserting).
    std::map<std::string, std::shared_ptr<TBlobFiler>> FBlobFilers;
    TBDataSet* FMasterSet = nullptr;
    std::vector<TBDataSet*> FChildren;
};

// Engine transactions of the calling thread's client; Value is added to the
// begin operation's code. Failures raise "Ошибка транзакции. Код ошибки %d".
void BStartTransaction(int32_t Value = 0);
void BCommit();
void BRollback();

} // namespace btr
