#include "engine/btrfile.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "engine/keyorder.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/klstrings.h"
#include "platform/messages.h"
#include "platform/threads.h"

namespace btr {

namespace {

constexpr int32_t kMissingBuffers = 5000;

// Key lengths add up in 8 bits; a sum past the engine's limit stays at the
// limit instead of wrapping to a short buffer.
uint8_t AddKeyLength(uint8_t sum, uint16_t len) {
    return static_cast<uint8_t>(std::min<int>(sum + (len & 0xFF), kMaxKeyLength));
}

// Operations whose status 22 may mean "the variable part was cut": reads.
bool IsRecordRead(int32_t op) {
    return (op >= 5 && op <= 13) || op == 23 || op == 24 || (op >= 33 && op <= 39) || op == 44 || op == 15;
}

std::string Trimmed(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return s.substr(b, e - b);
}

std::mutex gRetryWaitLock;
TRetryWaitHandler gRetryWait;

void TellRetryWait(const TBtrieveFile& file, int32_t status, int retry, int maxRetry) {
    TRetryWaitHandler handler;
    {
        std::lock_guard lock(gRetryWaitLock);
        handler = gRetryWait;
    }
    if (handler) handler(file, status, retry, maxRetry);
}

} // namespace

TRetryWaitHandler SetRetryWaitHandler(TRetryWaitHandler Handler) {
    std::lock_guard lock(gRetryWaitLock);
    std::swap(gRetryWait, Handler);
    return Handler;
}

TBtrieveFile::TBtrieveFile(TComponent* AOwner) : TComponent(AOwner) {}

TBtrieveFile::~TBtrieveFile() {
    try {
        if (FActive) Close();
    } catch (...) {
        // A destructor reports nothing; the file is closed by the engine
        // when the client goes.
    }
    XReset();
    if (FClientID) {
        FClientID = nullptr;
        try {
            FreeClientID();
        } catch (...) {
            // Destroyed on a thread that holds no client: nothing to release.
        }
    }
}

// ---- the request loop and the status check ---------------------------------

TClient_ID* TBtrieveFile::GetClientID() {
    if (!FClientID) FClientID = AddClientID();
    return FClientID;
}

bool TBtrieveFile::Error(int32_t Op, const std::string& FileName) {
    if (FStatus == 22) {
        FStatus = 0;
        return false;
    }
    if (FStatus < 0 || (FStatus <= TErrorSet::kMax && !FTrappedErrors.Contains(FStatus))) {
        FRetryCount = 0;
        return false;
    }
    if ((FStatus == 84 || FStatus == 85 || FStatus > TErrorSet::kMax) && FRetryCount < FMaxRetry) {
        TellRetryWait(*this, FStatus, FRetryCount + 1, FMaxRetry);
        Sleep(FRetryDelay);
        ++FRetryCount;
        return true;
    }
    // An answer that raises ends the conflict too: the next one is waited
    // out in full.
    FRetryCount = 0;
    throw EBtrieve(FStatus, Op, FileName);
}

int16_t TBtrieveFile::Call(int32_t Op, void* DataBuf, int32_t& DataLen, void* KeyBuf, uint8_t KeyLen, uint8_t KeyNum) {
    TClient_ID& client = *GetClientID();
    const auto op = static_cast<int16_t>(Op);
    return FEngine ? FEngine->Call(op, FPosBlock, DataBuf, DataLen, KeyBuf, KeyLen, KeyNum, client)
                   : BTRV(op, FPosBlock, DataBuf, DataLen, KeyBuf, KeyLen, KeyNum, client);
}

void TBtrieveFile::Request(int32_t Op, int32_t CheckOp, void* DataBuf, int32_t& DataLen, void* KeyBuf,
                           uint8_t KeyLen, uint8_t KeyNum, bool read) {
    const int32_t offered = DataLen;
    do {
        FStatus = Call(Op, DataBuf, DataLen, KeyBuf, KeyLen, KeyNum);
        // 22 is success only for a read that filled the buffer offered (its
        // variable part was cut); a write or a short answer did nothing.
        if (FStatus == 22 && !(read && DataLen == offered && offered > 0)) {
            FRetryCount = 0;
            throw EBtrieve(FStatus, CheckOp, FFileName);
        }
    } while (Error(CheckOp, FFileName));
}

void TBtrieveFile::RequireData(int32_t Op, uint32_t minSize) {
    if (!FData || FDataSize < minSize)
        throw EBtrieve(Format(LoadResString(res::SNoDataBuffer), {OperationText(Op), FFileName}));
}

// ---- opening and closing ---------------------------------------------------

void TBtrieveFile::Open(int32_t Mode, const std::string& Owner) {
    // The name and the owner go in fixed buffers: refuse what does not fit
    // before anything is sent, with the status the engine would give.
    if (FFileName.size() > kMaxFileNameLength) Reject(bsInvalidFileName, bOpen);
    const std::string owner = Trimmed(Owner);
    const AnsiString ansiOwner = Utf8ToAnsi(owner);
    if (ansiOwner.size() > kMaxOwnerLength) Reject(bsInvalidOwner, bOpen);
    FFileOwner = owner;

    char name[kMaxFileNameLength + 1];
    KLStrPCopy(name, FFileName);
    char ownerBuf[kMaxOwnerLength + 1];
    KLStrPLCopy(ownerBuf, ansiOwner, kMaxOwnerLength);
    int32_t len = static_cast<int32_t>(ansiOwner.size()) + 1;
    Request(0, 0, ownerBuf, len, name, static_cast<uint8_t>(FFileName.size() + 1), static_cast<uint8_t>(Mode));
    FActive = FStatus == 0;
    if (!FActive) return;

    FileSpec spec{};
    Stat(spec);
    FRecordLen = spec.RecordLen;
    if (FStatus != 0) return;
    FIndexCnt = static_cast<uint8_t>(spec.Indexes & 0xFF);
    FVariableLen = (spec.FileFlags & 1) != 0;
    FBytesToWrite = FRecordLen;
    if (FReadKeyDefs) ReadKeyLayout(spec);
    ReadCollatingSequence(spec, FBytesRead);

    if (FAllocateData) {
        FDataSize = FRecordLen;
        FOwnedData = std::make_unique<uint8_t[]>(FRecordLen ? FRecordLen : 1);
        FData = FOwnedData.get();
    }
    if (FAllocateKey) {
        AllocateKeyBuffer();
        ClearKey();
        FCurrentKeySize = 0;
    }
    if ((!FData && FDataSize > 0) || (!FKeyBuffer && FKeySize > 0)) {
        // A file object without its buffers cannot work: say so at once
        // rather than pausing for retries, and close the engine's handle so
        // that the next SetActive(true) opens the file again.
        try {
            Close();
        } catch (const EBtrieve&) {
            // The missing buffer is the error worth reporting.
        }
        Reject(kMissingBuffers, bOpen);
    }
}

void TBtrieveFile::ReadKeyLayout(const FileSpec& spec) {
    FSegmentCnt = 0;
    FCurrentKeySize = 0;
    FKeyStart.fill(0);
    for (int k = 0; k < FIndexCnt && k < kMaxSegments && FSegmentCnt < kMaxSegments; ++k) {
        FKeyStart[static_cast<size_t>(k)] = static_cast<uint8_t>(FSegmentCnt + 1);
        // A key's segments run until one without the "follows" bit; a
        // layout that claims more than the buffer holds stops at its end.
        for (;;) {
            const KeySpec& s = spec.KeyBuff[FSegmentCnt++];
            FCurrentKeySize = AddKeyLength(FCurrentKeySize, s.KeyLen);
            if (!(s.KeyFlags & kfSegmented) || FSegmentCnt >= kMaxSegments) break;
        }
        FKeySize = std::max(FKeySize, FCurrentKeySize);
        FCurrentKeySize = 0;
    }
    for (int s = 0; s < FSegmentCnt; ++s) {
        const KeySpec& k = spec.KeyBuff[s];
        FKeyList[static_cast<size_t>(s)] = KeyDef{k.KeyPos, k.KeyLen, k.KeyFlags, k.KeyType, k.NullValue};
    }
}

// The statistics follow the last segment with the file's collating sequence,
// when it has one: the byte 0xAC, an 8-byte name and the 256-byte table.
void TBtrieveFile::ReadCollatingSequence(const FileSpec& spec, int32_t length) {
    FHasCollation = false;
    constexpr size_t kHeader = 16;
    const size_t at = kHeader + sizeof(KeySpec) * FSegmentCnt;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&spec);
    if (at + kCollatingSequenceSize > sizeof spec || length < static_cast<int32_t>(at + kCollatingSequenceSize) ||
        bytes[at] != 0xAC)
        return;
    std::memcpy(FCollation.data(), bytes + at + 9, FCollation.size());
    FHasCollation = true;
}

void TBtrieveFile::AllocateKeyBuffer() {
    // Never shrinks: KeySize only grows, and a smaller buffer is replaced by
    // one that keeps its bytes.
    if (!FKeyBuffer || FKeyBufferSize < FKeySize) {
        auto grown = std::make_unique<uint8_t[]>(FKeySize ? FKeySize : 1);
        if (FKeyBuffer) std::memcpy(grown.get(), FKeyBuffer.get(), FKeyBufferSize);
        FKeyBufferSize = FKeySize;
        FKeyBuffer = std::move(grown);
    }
}

uint8_t TBtrieveFile::SentKeyLen() const {
    return static_cast<uint8_t>(std::min<uint16_t>(FKeySize, FKeyBuffer ? FKeyBufferSize : 0));
}

void TBtrieveFile::Reject(int32_t Status, int32_t Op) {
    FStatus = Status;
    throw EBtrieve(Status, Op, FFileName);
}

void TBtrieveFile::ReleaseOwnedData() {
    if (!FAllocateData) return;
    FOwnedData.reset();
    FData = nullptr;
    FDataSize = 0;
}

void TBtrieveFile::Close() {
    uint32_t scratch = 0;
    int32_t len = 0;
    struct Finally {
        TBtrieveFile* f;
        ~Finally() {
            f->ReleaseOwnedData();
            f->FRecordLen = 0;
            f->FActive = false;
        }
    } finally{this};
    Request(1, 1, &scratch, len, &scratch, 0, 0);
}

// ---- records ---------------------------------------------------------------

void TBtrieveFile::Get(int32_t Op, uint16_t Lock) {
    // Every operation but delete, unlock and the key-only reads moves a
    // record through the data buffer.
    const bool keyOnly = Op >= 55 && Op <= 63;
    if (Op != 4 && Op != 27 && !keyOnly) RequireData(Op, 0);
    FBytesRead = FDataSize;
    Request(Op + Lock, Op, FData, FBytesRead, FKeyBuffer.get(), SentKeyLen(), static_cast<uint8_t>(FKeyPath & 0xFF),
            IsRecordRead(Op));
}

void TBtrieveFile::GetDirect(uint16_t Lock, uint32_t Position) {
    RequireData(23, 4);
    FBytesRead = FDataSize;
    WriteLE<uint32_t>(FData, Position);
    Request(23 + Lock, 23, FData, FBytesRead, FKeyBuffer.get(), SentKeyLen(), static_cast<uint8_t>(FKeyPath & 0xFF),
            true);
}

uint32_t TBtrieveFile::GetPosition() {
    uint8_t result[4];
    int32_t len = 4;
    do {
        std::memset(result, 0, sizeof result);
        FStatus = Call(22, result, len, result, 0, 0);
    } while (Error(22, FFileName));
    return ReadLE<uint32_t>(result);
}

void TBtrieveFile::Stat(FileSpec& Spec) {
    uint8_t scratch[128] = {};
    FBytesRead = sizeof(FileSpec);
    Request(15, 15, &Spec, FBytesRead, scratch, sizeof scratch, 0, true);
}

void TBtrieveFile::AssignOwner(const std::string& Owner, uint8_t Access) {
    // The engine reads the name from both buffers; one that does not fit is
    // refused before anything is sent, as at open.
    const AnsiString name = Utf8ToAnsi(Owner);
    if (name.empty() || name.size() > kMaxOwnerLength)
        throw EBtrieve(Format("An owner name is 1 to %d characters: \"%s\" for %s", {kMaxOwnerLength, Owner, FFileName}));
    char data[kMaxOwnerLength + 1] = {};
    char key[kMaxOwnerLength + 1] = {};
    KLStrPCopy(data, name);
    KLStrPCopy(key, name);
    int32_t len = static_cast<int32_t>(name.size()) + 1;
    Request(29, 29, data, len, key, static_cast<uint8_t>(name.size() + 1), Access);
}

int32_t TBtrieveFile::NumberOfRecords() {
    FileSpec spec{};
    uint8_t scratch[64] = {};
    int32_t len = sizeof spec;
    Request(15, 15, &spec, len, scratch, sizeof scratch, 0, true);
    return spec.Records;
}

void TBtrieveFile::ClearBuffer() {
    if (FData) std::memset(FData, 0, FDataSize);
    FBytesRead = 0;
}

void TBtrieveFile::ClearKey() {
    if (FKeyBuffer) std::memset(FKeyBuffer.get(), 0, FKeyBufferSize);
}

template <class ValueOf> void TBtrieveFile::BuildKey(size_t count, ValueOf value) {
    // 125 and 255 are valid key paths for the engine but name no key here.
    if (FKeyPath >= FIndexCnt || FKeyPath >= kMaxSegments || FKeyStart[FKeyPath] == 0)
        throw ERangeError(Format("Key path %d names no key of \"%s\"", {int(FKeyPath), FFileName}));
    ClearKey();
    size_t offset = 0;
    size_t index = 0;
    for (int s = FKeyStart[FKeyPath]; s <= FSegmentCnt; ++s, ++index) {
        const KeyDef& seg = FKeyList[static_cast<size_t>(s - 1)];
        if (index >= count) throw ERangeError("Too few key values");
        // Never past the key buffer, whatever the segment lengths add up to,
        // nor past the value.
        const TKeyValue v = value(index);
        const size_t room = FKeyBufferSize > offset ? FKeyBufferSize - offset : 0;
        const size_t n = std::min({size_t{seg.KeyLen}, room, v.Size});
        if (n) std::memcpy(FKeyBuffer.get() + offset, v.Address, n);
        offset += seg.KeyLen;
        if (!(seg.KeyFlags & kfSegmented)) break;
    }
}

void TBtrieveFile::MakeKey(std::span<const void* const> Values) {
    BuildKey(Values.size(), [&](size_t i) { return TKeyValue{Values[i], SIZE_MAX}; });
}

void TBtrieveFile::MakeKey(std::span<const TKeyValue> Values) {
    BuildKey(Values.size(), [&](size_t i) { return Values[i]; });
}

void TBtrieveFile::SetKeyPath(uint16_t Value) {
    if (Value < FIndexCnt || Value == 255 || Value == 125) FKeyPath = Value;
}

void TBtrieveFile::SetDataBuffer(void* Buffer, uint16_t Size) {
    if (FAllocateData) {
        FOwnedData.reset();
        FAllocateData = false;
    }
    FData = static_cast<uint8_t*>(Buffer);
    FDataSize = Size;
}

// ---- properties ------------------------------------------------------------

void TBtrieveFile::SetAllocateData(bool Value) {
    if (Value == FAllocateData) return;
    FAllocateData = Value;
    if (Value) {
        FDataSize = FRecordLen;
        FOwnedData = FRecordLen ? std::make_unique<uint8_t[]>(FRecordLen) : nullptr;
        FData = FOwnedData.get();
    } else {
        FOwnedData.reset();
        FData = nullptr;
        FDataSize = 0;
    }
}

void TBtrieveFile::SetActive(bool Value) {
    if (Value == FActive) return;
    if (Value)
        Open(FReadOnly ? -2 : 0, FFileOwner);
    else
        Close();
}

void TBtrieveFile::SetEngine(TEngineLibrary* Engine) {
    // A handle belongs to the engine that opened it.
    if (FActive && Engine != FEngine) throw Exception("The engine of an open file cannot change: " + FFileName);
    FEngine = Engine;
}

void TBtrieveFile::SetReadOnly(bool Value) {
    if (Value == FReadOnly) return;
    FReadOnly = Value;
    if (FActive) {
        SetActive(false);
        SetActive(true);
    }
}

void TBtrieveFile::SetFileName(const std::string& Value) {
    FFileName = Value;
    if (FActive) {
        Close();
        SetActive(true);
    }
}

void TBtrieveFile::SetFileOwner(const std::string& Value) {
    FFileOwner = Value;
    if (FActive) {
        Close();
        SetActive(true);
    }
}

} // namespace btr
