// TBtrieveFile: one Btrieve file over the engine's call entry. Every
// operation issues its request with the client of the thread that made the
// object's first request, waits out lock conflicts and raises EBtrieve for
// the statuses in TrappedErrors.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/btrerrors.h"
#include "engine/btrv.h"
#include "platform/component.h"
#include "platform/endian.h"

namespace btr {

constexpr int kMaxSegments = 119;
constexpr int kMaxKeyLength = 255;
constexpr int32_t kMaxRecordLength = 65535; // record lengths are 16-bit
constexpr int kPosBlockSize = 128;
constexpr int kMaxFileNameLength = 250;
constexpr int kMaxOwnerLength = 8;
constexpr int kCollatingSequenceSize = 265;

// Lock biases added to read operations.
constexpr uint16_t kSingleWaitLock = 100;
constexpr uint16_t kSingleNoWaitLock = 200;
constexpr uint16_t kMultiWaitLock = 300;
constexpr uint16_t kMultiNoWaitLock = 400;

#pragma pack(push, 1)
// One key segment of the create and statistics buffer.
struct KeySpec {
    LE16 KeyPos; // 1-based position in the record
    LE16 KeyLen;
    LE16 KeyFlags; // bit 4 (16): another segment of the same key follows
    uint8_t Reserve1[4];
    uint8_t KeyType;
    uint8_t NullValue;
    uint8_t Reserve2[2];
    uint8_t KeyNumber;
    uint8_t ACS;
};

// The engine's create and statistics buffer.
struct FileSpec {
    LE16 RecordLen;
    LE16 PageSize;
    LE16 Indexes;
    LEInt32 Records;
    LE16 FileFlags; // bit 0: variable-length records
    uint8_t DupPoints;
    uint8_t Reserve1;
    LE16 FreePages;
    KeySpec KeyBuff[kMaxSegments];
    uint8_t Extra[kCollatingSequenceSize];
};

// The file object's copy of one segment.
struct KeyDef {
    uint16_t KeyPos;
    uint16_t KeyLen;
    uint16_t KeyFlags;
    uint8_t KeyType;
    uint8_t NullValue;
};

// One filter term of an extended read, as the object keeps it; the first 7
// (or, comparing with another field, 9) bytes go into the request.
struct TXFilterRec {
    uint8_t FType;
    LE16 FSize;
    LE16 FOffs;
    uint8_t FComp; // +64: compared with the field at FCOffset
    uint8_t FExpr; // connector to the next term
    LE16 FCOffset;
};

// One field extractor of an extended read.
struct TXFieldRec {
    LE16 FSize;
    LE16 FOffs;
};
#pragma pack(pop)
static_assert(sizeof(KeySpec) == 16);
static_assert(sizeof(FileSpec) == 2185);
static_assert(sizeof(KeyDef) == 8);
static_assert(sizeof(TXFilterRec) == 9 && sizeof(TXFieldRec) == 4);

using KeyDefArray = std::array<KeyDef, kMaxSegments>;

// One key segment's value for MakeKey: its address and how many bytes it
// holds. A segment longer than its value is zero-filled past it.
struct TKeyValue {
    const void* Address;
    size_t Size;
};

// One record of an extended read's answer.
struct TXRecord {
    uint32_t Position = 0;
    std::vector<uint8_t> Bytes; // the extracted fields, in order
};

// Splits an extended read's answer (count, then length, position and bytes
// per record); raises EBtrieve when the answer does not hold what it says.
std::vector<TXRecord> ParseExtendedAnswer(const void* Data, size_t Length);

class TBtrieveFile;

// Told before each pause in which a file object waits out a lock conflict or
// a busy engine (Retry counts from 1 to MaxRetry), so that a program can show
// that it is waiting rather than seem to hang. One handler per process;
// Set returns the one it replaces.
using TRetryWaitHandler = std::function<void(const TBtrieveFile& File, int32_t Status, int Retry, int MaxRetry)>;
TRetryWaitHandler SetRetryWaitHandler(TRetryWaitHandler Handler);

class TBtrieveFile : public TComponent {
public:
    explicit TBtrieveFile(TComponent* AOwner = nullptr);
    ~TBtrieveFile() override;

    // ---- published properties
    const std::string& FileName() const { return FFileName; }
    void SetFileName(const std::string& Value);
    const std::string& FileOwner() const { return FFileOwner; }
    void SetFileOwner(const std::string& Value);
    uint16_t MaxRetry() const { return FMaxRetry; }
    void SetMaxRetry(uint16_t Value) { FMaxRetry = Value; }
    uint16_t RetryDelay() const { return FRetryDelay; }
    void SetRetryDelay(uint16_t Value) { FRetryDelay = Value; }
    bool Active() const { return FActive; }
    void SetActive(bool Value);
    bool ReadOnly() const { return FReadOnly; }
    void SetReadOnly(bool Value);
    bool AllocateData() const { return FAllocateData; }
    void SetAllocateData(bool Value);

    // ---- public properties
    uint16_t RecordLen() const { return FRecordLen; }
    int32_t Status() const { return FStatus; }
    uint8_t* Data() const { return FData; }
    uint16_t DataSize() const { return FDataSize; }
    uint8_t IndexCnt() const { return FIndexCnt; }
    bool VariableLen() const { return FVariableLen; }
    int32_t BytesRead() const { return FBytesRead; }
    int32_t BytesToWrite() const { return FBytesToWrite; }
    uint16_t KeyPath() const { return FKeyPath; }
    void SetKeyPath(uint16_t Value);
    uint8_t* KeyBuffer() const { return FKeyBuffer.get(); }
    uint8_t KeySize() const { return FKeySize; }
    uint8_t SegmentCnt() const { return FSegmentCnt; }
    uint8_t CurrentKeySize() const { return FCurrentKeySize; }
    bool ReadKeyDefs() const { return FReadKeyDefs; }
    // Segment s, counted from 1; key k's first segment (0 while unknown).
    const KeyDef& KeyList(int s) const { return FKeyList.at(static_cast<size_t>(s - 1)); }
    uint8_t KeyStart(int k) const { return FKeyStart.at(static_cast<size_t>(k)); }
    // The open file's 256-byte alternate collating table, or null.
    const uint8_t* CollatingTable() const { return FHasCollation ? FCollation.data() : nullptr; }
    uint16_t RetryCount() const { return FRetryCount; }
    // Requests go to `Engine` instead of the process-wide binding (null: back
    // to it). Changed only while the file is closed; the engine outlives
    // the object.
    void SetEngine(TEngineLibrary* Engine);
    TEngineLibrary* Engine() const { return FEngine; }
    TErrorSet& TrappedErrors() { return FTrappedErrors; }
    const std::string& AltPath() const { return FAltPath; }
    void SetAltPath(const std::string& Value) { FAltPath = Value; }
    const uint8_t* PosBlock() const { return FPosBlock; }

    // ---- operations
    void Open(int32_t Mode, const std::string& Owner);
    void Close();
    void Get(int32_t Op, uint16_t Lock);
    void GetDirect(uint16_t Lock, uint32_t Position);
    uint32_t GetPosition();
    void Insert() { Get(2, 0); }
    void Update() { Get(3, 0); }
    void Delete() { Get(4, 0); }
    void Unlock() { Get(27, 0); }
    void Stat(FileSpec& Spec);
    // Gives the open file an owner name (operation 29); `Access` is the
    // engine's owner mode (0: every access needs the name, 1: reads do not).
    void AssignOwner(const std::string& Owner, uint8_t Access);
    int32_t NumberOfRecords();
    void ClearBuffer();
    void ClearKey();
    // Builds the current key path's key from one address per segment; each
    // address must hold the segment's whole length.
    void MakeKey(std::span<const void* const> Values);
    void MakeKey(std::initializer_list<const void*> Values) { MakeKey(std::span(Values.begin(), Values.size())); }
    // The same, copying no more of each value than it holds.
    void MakeKey(std::span<const TKeyValue> Values);
    void MakeKey(std::initializer_list<TKeyValue> Values) { MakeKey(std::span(Values.begin(), Values.size())); }
    void SetDataBuffer(void* Buffer, uint16_t Size);
    TClient_ID* GetClientID();
    // The status check of the last answer: true when the request is to be
    // repeated after the pause it made.
    bool Error(int32_t Op, const std::string& FileName);

    // ---- file creation
    void AddKeySegment(uint16_t KeyPos, uint16_t KeyLen, uint16_t KeyFlags, uint8_t KeyType, uint8_t NullValue);
    void CreateFile(uint16_t Flags, uint16_t RecLen, uint16_t PageSize, uint16_t Allocation, int32_t Mode);

    // ---- extended reads
    void XInit(void* Buffer, uint16_t Size);
    void XReset();
    void AddFilterCondition(uint8_t FType, uint16_t FSize, uint16_t FOffs, uint8_t FComp, uint8_t FExpr,
                            const void* Value, uint16_t FCOffset);
    void AddFieldToExtract(uint16_t FSize, uint16_t FOffs);
    void XGet(uint16_t Op, bool UseUC, uint16_t MaxReject, uint16_t MaxRecords);
    uint8_t* XData() const { return FXData; }
    uint16_t XDataSize() const { return FXDataSize; }
    size_t FilterCount() const { return FXFilter.size(); }
    size_t ExtractorCount() const { return FXFields.size(); }

    // ---- partial records and percentages
    uint32_t GetChunk(uint32_t Position, uint32_t Offset, uint32_t Count, void* Dest);
    void UpdateChunk(uint32_t Offset, uint32_t Count, const void* Src);
    void TruncateRec(uint32_t Position, int32_t Offset);
    int32_t GetPercentage();
    void GetByPercentage(int32_t Percent);

protected:
    // Forgets the key layout, so that AddKeySegment starts a fresh one.
    void ResetKeyLayout();
    // Raises EBtrieve for a request refused before it reached the engine,
    // leaving the status in Status like any answer.
    [[noreturn]] void Reject(int32_t Status, int32_t Op);

private:
    struct FilterTerm {
        TXFilterRec rec;
        std::vector<uint8_t> value; // the owned copy of the constant
    };

    // The request loop: issue, check, repeat while the check says so.
    // `read` marks a request whose status 22 with a full buffer is success.
    void Request(int32_t Op, int32_t CheckOp, void* DataBuf, int32_t& DataLen, void* KeyBuf, uint8_t KeyLen,
                 uint8_t KeyNum, bool read = false);
    void RequireData(int32_t Op, uint32_t minSize);
    // One engine call with the object's client, through its engine.
    int16_t Call(int32_t Op, void* DataBuf, int32_t& DataLen, void* KeyBuf, uint8_t KeyLen, uint8_t KeyNum);
    // The key length a request names: never more than the buffer holds.
    uint8_t SentKeyLen() const;
    // Copies one value per segment of the current key path; `value(i)`
    // gives the i-th value.
    template <class ValueOf> void BuildKey(size_t count, ValueOf value);
    void ReadKeyLayout(const FileSpec& spec);
    void ReadCollatingSequence(const FileSpec& spec, int32_t length);
    void AllocateKeyBuffer();
    void ReleaseOwnedData();

    uint16_t FMaxRetry = 10;
    uint16_t FRetryDelay = 3000;
    int32_t FStatus = 0;
    uint16_t FRecordLen = 0;
    uint16_t FRetryCount = 0;
    TErrorSet FTrappedErrors = TErrorSet::Default();
    std::string FAltPath;
    uint8_t* FData = nullptr;
    std::unique_ptr<uint8_t[]> FOwnedData;
    uint16_t FDataSize = 0;
    int32_t FBytesRead = 0;
    int32_t FBytesToWrite = 0;
    std::unique_ptr<uint8_t[]> FKeyBuffer;
    uint16_t FKeyPath = 0;
    KeyDefArray FKeyList{};
    std::array<uint8_t, kMaxSegments> FKeyStart{};
    uint8_t FPosBlock[kPosBlockSize] = {};
    std::string FFileName;
    std::string FFileOwner;
    std::vector<TXFieldRec> FXFields;
    std::vector<FilterTerm> FXFilter;
    uint8_t* FXData = nullptr;
    uint16_t FXDataSize = 0;
    bool FVariableLen = false;
    bool FReadKeyDefs = true;
    uint8_t FKeySize = 0;
    uint8_t FSegmentCnt = 0;
    bool FAllocateKey = true;
    bool FReadOnly = false;
    bool FAllocateData = false;
    bool FActive = false;
    uint8_t FIndexCnt = 0;
    uint8_t FCurrentKeySize = 0;
    uint16_t FKeyBufferSize = 0; // bytes actually allocated for the key buffer
    TClient_ID* FClientID = nullptr;
    TEngineLibrary* FEngine = nullptr;
    std::array<uint8_t, 256> FCollation{};
    bool FHasCollation = false;
};

} // namespace btr
