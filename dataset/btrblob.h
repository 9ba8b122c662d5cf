// Streams over the variable part of a record and over the BLOB values kept
// there.
//
// TVarStream reads and writes the variable part of one record through chunk
// operations. TBlobFiler is the in-memory copy of one BLOB value of one
// record, shared by every stream open on that field of that record, so a
// value written and not yet posted is what later readers see. TBlobStream is
// what the framework's BLOB fields read and write through.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "framework/fields.h"
#include "platform/streams.h"

namespace btr {

class TBDataSet;

class TVarStream : public TStream {
public:
    TVarStream(TBDataSet* DataSet, uint32_t Position, int32_t MaxSize);

    // The length of the variable part, found by reading it through.
    int32_t GetVarLen();

    int32_t Read(void* Buffer, int32_t Count) override;
    int32_t Write(const void* Buffer, int32_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    // Cuts the variable part; ignored beyond the last known length.
    void SetSize(int64_t NewSize) override;

    uint32_t BtrPos() const { return FBtrPos; }
    int32_t VarSizeMax() const { return FVarSizeMax; }

private:
    TBDataSet* FDataSet;
    uint32_t FBtrPos;
    int32_t FVarSizeMax;
    int32_t FCurPos = 0;
};

class TBlobFiler : public TStream {
public:
    // R: the record buffer whose descriptor the value starts from.
    TBlobFiler(TBDataSet* DataSet, const uint8_t* R, TBlobField* Field, std::string Key);

    void Attach(TBlobStreamMode Mode);
    void Detach() { --FRefCount; }

    int32_t Read(void* Buffer, int32_t Count) override { return FWriteStream.Read(Buffer, Count); }
    int32_t Write(const void* Buffer, int32_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override { return FWriteStream.Seek(Offset, Origin); }
    void SetSize(int64_t NewSize) override;
    int64_t Size() override { return FWriteStream.Size(); }

    const std::string& Key() const { return FKey; }
    int32_t RefCount() const { return FRefCount; }
    TBlobStreamMode OpenMode() const { return FOpenMode; }

private:
    TBDataSet* FDataSet;
    TBlobField* FField;
    std::string FKey;
    TBlobStreamMode FOpenMode = bmRead;
    bool FLoaded = false;
    TMemoryStream FWriteStream;
    std::unique_ptr<TVarStream> FReadStream; // none for a record being inserted
    int32_t FSize = 0, FOffs = 0;
    int32_t FRefCount = 0;
};

class TBlobStream : public TStream {
public:
    TBlobStream(TBlobField* Field, TBlobStreamMode Mode);
    ~TBlobStream() override;
    TBlobStream(const TBlobStream&) = delete;
    TBlobStream& operator=(const TBlobStream&) = delete;

    int32_t Read(void* Buffer, int32_t Count) override;
    int32_t Write(const void* Buffer, int32_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    void SetSize(int64_t NewSize) override;
    int64_t Size() override { return FStream->Size(); }

private:
    void Modified();

    TBDataSet* FDataSet;
    TBlobField* FField;
    std::shared_ptr<TBlobFiler> FStream;
    TBlobStreamMode FOpenMode;
    int64_t FPosition = 0;
};

} // namespace btr
