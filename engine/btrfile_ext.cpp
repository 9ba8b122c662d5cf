// TBtrieveFile beyond whole records: file creation, extended reads, partial
// records and percentages.
#include <cstring>

#include "engine/btrfile.h"
#include "engine/keyorder.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/messages.h"

namespace btr {

namespace {

constexpr uint32_t kChunkMax = 16000;
constexpr uint32_t kDirectChunks = 0x80000001; // chunk bytes at the caller's address
constexpr uint32_t kTruncate = 0x80000004;
constexpr size_t kXRequestMax = 65535;
constexpr uint8_t kCompareWithField = 64;

// Chunk descriptors; addresses are pointer-sized here.
#pragma pack(push, 1)
struct ChunkReadDescriptor {
    LE32 Position;
    LE32 Subfunction;
    LE32 Count;
    LE32 Offset;
    LE32 Length;
    LE<uint64_t> Address;
};
struct ChunkWriteDescriptor {
    LE32 Subfunction;
    LE32 Count;
    LE32 Offset;
    LE32 Length;
    LE<uint64_t> Address;
};
struct TruncateDescriptor {
    LE32 Subfunction;
    LEInt32 Offset;
};
#pragma pack(pop)
static_assert(sizeof(ChunkReadDescriptor) == 28 && sizeof(ChunkWriteDescriptor) == 24 &&
              sizeof(TruncateDescriptor) == 8);

uint64_t AddressOf(const void* p) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)); }

// Builds an extended request; refuses to grow past the engine's limit.
class XRequest {
public:
    XRequest() : FBuf(kXRequestMax + 1), FPos(2) {}
    void Append(const void* p, size_t n) {
        if (FPos + n > kXRequestMax) throw EBtrieve(LoadResString(res::STooManyXConditions));
        std::memcpy(FBuf.data() + FPos, p, n);
        FPos += n;
    }
    void Append16(uint16_t v) {
        LE16 le(v);
        Append(&le, 2);
    }
    uint8_t* Finish() {
        WriteLE<uint16_t>(FBuf.data(), static_cast<uint16_t>(FPos));
        return FBuf.data();
    }

private:
    std::vector<uint8_t> FBuf;
    size_t FPos;
};

} // namespace

// ---- file creation ---------------------------------------------------------

void TBtrieveFile::ResetKeyLayout() {
    FSegmentCnt = 0;
    FIndexCnt = 0;
    FCurrentKeySize = 0;
    FKeyStart.fill(0);
}

void TBtrieveFile::AddKeySegment(uint16_t KeyPos, uint16_t KeyLen, uint16_t KeyFlags, uint8_t KeyType,
                                 uint8_t NullValue) {
    FReadKeyDefs = false;
    if (FSegmentCnt >= kMaxSegments) return; // the engine takes no more
    FCurrentKeySize = static_cast<uint8_t>(std::min<int>(FCurrentKeySize + (KeyLen & 0xFF), kMaxKeyLength));
    ++FSegmentCnt;
    if (FIndexCnt < kMaxSegments && FKeyStart[FIndexCnt] == 0) FKeyStart[FIndexCnt] = FSegmentCnt;
    FKeyList[FSegmentCnt - 1u] = KeyDef{KeyPos, KeyLen, KeyFlags, KeyType, NullValue};
    if (!(KeyFlags & kfSegmented)) {
        ++FIndexCnt;
        FKeySize = std::max(FKeySize, FCurrentKeySize);
        FCurrentKeySize = 0;
        // An object that already has its key buffer keeps it as long as the
        // longest key, so that no request names more bytes than it holds.
        if (FKeyBuffer) AllocateKeyBuffer();
    }
}

void TBtrieveFile::CreateFile(uint16_t Flags, uint16_t RecLen, uint16_t PageSize, uint16_t Allocation,
                              int32_t Mode) {
    if (FFileName.size() > kMaxFileNameLength) Reject(bsInvalidFileName, bCreate);
    FileSpec spec{};
    spec.RecordLen = RecLen;
    spec.PageSize = PageSize;
    spec.Indexes = FIndexCnt;
    spec.FileFlags = Flags;
    spec.FreePages = Allocation;
    for (int s = 0; s < FSegmentCnt; ++s) {
        const KeyDef& k = FKeyList[static_cast<size_t>(s)];
        KeySpec& out = spec.KeyBuff[s];
        out.KeyPos = k.KeyPos;
        out.KeyLen = k.KeyLen;
        out.KeyFlags = k.KeyFlags;
        out.KeyType = k.KeyType;
        out.NullValue = k.NullValue;
    }
    int32_t len = 16 + 16 * FSegmentCnt;
    if (!FAltPath.empty()) {
        // Read first: a missing or short file stops the create with nothing sent.
        const std::vector<uint8_t> acs = ReadFileBytes(FAltPath, kCollatingSequenceSize);
        std::memcpy(reinterpret_cast<uint8_t*>(&spec) + len, acs.data(), acs.size());
        len += kCollatingSequenceSize;
        FAltPath.clear();
    }
    char name[kMaxFileNameLength + 1];
    std::memset(name, 0, sizeof name);
    std::memcpy(name, FFileName.data(), FFileName.size());
    Request(14, 14, &spec, len, name, static_cast<uint8_t>(FFileName.size() + 1), static_cast<uint8_t>(Mode));
}

// ---- extended reads --------------------------------------------------------

void TBtrieveFile::XInit(void* Buffer, uint16_t Size) {
    XReset();
    FXData = static_cast<uint8_t*>(Buffer);
    FXDataSize = Size;
}

void TBtrieveFile::XReset() {
    FXFilter.clear();
    FXFields.clear();
}

void TBtrieveFile::AddFilterCondition(uint8_t FType, uint16_t FSize, uint16_t FOffs, uint8_t FComp, uint8_t FExpr,
                                      const void* Value, uint16_t FCOffset) {
    FilterTerm t{TXFilterRec{FType, FSize, FOffs, FComp, FExpr, FCOffset}, {}};
    if (!(FComp & kCompareWithField)) {
        const auto* v = static_cast<const uint8_t*>(Value);
        if (!v && FSize) throw EBtrieve(Format("Filter constant of %d bytes is missing", {int(FSize)}));
        t.value.assign(v, v + FSize);
    }
    FXFilter.push_back(std::move(t));
}

void TBtrieveFile::AddFieldToExtract(uint16_t FSize, uint16_t FOffs) { FXFields.push_back(TXFieldRec{FSize, FOffs}); }

void TBtrieveFile::XGet(uint16_t Op, bool UseUC, uint16_t MaxReject, uint16_t MaxRecords) {
    XRequest req;
    req.Append(UseUC ? "UC" : "EG", 2);
    req.Append16(MaxReject);
    req.Append16(static_cast<uint16_t>(FXFilter.size()));
    for (const FilterTerm& t : FXFilter) {
        if (t.rec.FComp & kCompareWithField) {
            req.Append(&t.rec, 9);
        } else {
            req.Append(&t.rec, 7);
            req.Append(t.value.data(), t.value.size());
        }
    }
    req.Append16(MaxRecords);
    req.Append16(static_cast<uint16_t>(FXFields.size()));
    for (const TXFieldRec& f : FXFields) req.Append(&f, sizeof f);
    uint8_t* work = req.Finish();

    FBytesRead = FXDataSize;
    Request(Op, Op, work, FBytesRead, FKeyBuffer.get(), SentKeyLen(), static_cast<uint8_t>(FKeyPath & 0xFF), true);
    // Never more than the caller's buffer holds, whatever length came back.
    const size_t n = std::min<size_t>(static_cast<size_t>(std::max(FBytesRead, 0)), FXDataSize);
    if (FXData && n) std::memcpy(FXData, work, n);
}

std::vector<TXRecord> ParseExtendedAnswer(const void* Data, size_t Length) {
    const auto* p = static_cast<const uint8_t*>(Data);
    auto bad = [] { return EBtrieve(LoadResString(res::SBadExtendedAnswer)); };
    if (Length < 2) throw bad();
    const uint16_t count = ReadLE<uint16_t>(p);
    std::vector<TXRecord> records;
    records.reserve(count);
    size_t pos = 2;
    for (uint16_t i = 0; i < count; ++i) {
        if (pos + 6 > Length) throw bad();
        const uint16_t len = ReadLE<uint16_t>(p + pos);
        TXRecord r;
        r.Position = ReadLE<uint32_t>(p + pos + 2);
        pos += 6;
        if (pos + len > Length) throw bad();
        r.Bytes.assign(p + pos, p + pos + len);
        pos += len;
        records.push_back(std::move(r));
    }
    return records;
}

// ---- partial records -------------------------------------------------------

uint32_t TBtrieveFile::GetChunk(uint32_t Position, uint32_t Offset, uint32_t Count, void* Dest) {
    auto* dest = static_cast<uint8_t*>(Dest);
    uint32_t total = 0;
    while (Count > 0) {
        const uint32_t chunk = std::min(Count, kChunkMax);
        ChunkReadDescriptor d{};
        d.Position = Position;
        d.Subfunction = kDirectChunks;
        d.Count = 1;
        d.Offset = Offset;
        d.Length = chunk;
        d.Address = AddressOf(dest);
        Offset += chunk;
        dest += chunk;
        Count -= chunk;
        FBytesRead = sizeof d;
        Request(23, 23, &d, FBytesRead, FKeyBuffer.get(), SentKeyLen(), 254);
        // A refused chunk (103 past the end, left to the caller) moved nothing;
        // an answer claiming more than was asked counts only what was asked.
        if (FStatus != 0) break;
        const uint32_t got = std::min<uint32_t>(static_cast<uint32_t>(std::max(FBytesRead, 0)), chunk);
        total += got;
        if (got != chunk) break;
    }
    return total;
}

void TBtrieveFile::UpdateChunk(uint32_t Offset, uint32_t Count, const void* Src) {
    const auto* src = static_cast<const uint8_t*>(Src);
    while (Count > 0) {
        const uint32_t chunk = std::min(Count, kChunkMax);
        ChunkWriteDescriptor d{};
        d.Subfunction = kDirectChunks;
        d.Count = 1;
        d.Offset = Offset;
        d.Length = chunk;
        d.Address = AddressOf(src);
        Offset += chunk;
        src += chunk;
        Count -= chunk;
        FBytesRead = sizeof d;
        Request(53, 53, &d, FBytesRead, FKeyBuffer.get(), SentKeyLen(), static_cast<uint8_t>(FKeyPath & 0xFF));
        // A refused chunk (103: it would leave a gap) wrote nothing; the ones
        // after it would land in the wrong place.
        if (FStatus != 0) break;
    }
}

void TBtrieveFile::TruncateRec(uint32_t /*Position: the engine cuts the current record*/, int32_t Offset) {
    TruncateDescriptor d{};
    d.Subfunction = kTruncate;
    d.Offset = Offset;
    FBytesRead = sizeof d;
    Request(53, 53, &d, FBytesRead, FKeyBuffer.get(), SentKeyLen(), static_cast<uint8_t>(FKeyPath & 0xFF));
}

// ---- percentages -------------------------------------------------------------

int32_t TBtrieveFile::GetPercentage() {
    uint8_t result[4];
    int32_t len;
    do {
        std::memset(result, 0, sizeof result);
        len = sizeof result;
        FStatus = Call(45, result, len, FKeyBuffer.get(), SentKeyLen(), static_cast<uint8_t>(FKeyPath & 0xFF));
    } while (Error(45, FFileName));
    return ReadLE<int32_t>(result);
}

void TBtrieveFile::GetByPercentage(int32_t Percent) {
    RequireData(44, 4);
    WriteLE<int32_t>(FData, Percent);
    Get(44, 0);
}

} // namespace btr
