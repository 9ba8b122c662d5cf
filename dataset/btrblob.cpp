// TBDataSet: the variable part of records and the BLOB values in it.
#include "dataset/btrblob.h"

#include <cstring>

#include "dataset/btrset.h"
#include "platform/messages.h"

namespace btr {

namespace {

constexpr int32_t kVarChunk = 32768;

// Engine errors on the variable part reach the caller as the database error.
template <class F> auto Guarded(TBDataSet* DataSet, F&& step) {
    try {
        return step();
    } catch (const EBtrieve& e) {
        DatabaseError(e.Message(), DataSet);
    }
}

TBLOBData Descriptor(const uint8_t* R, const TBField& f) {
    TBLOBData d{};
    if (R && f.Length >= static_cast<int32_t>(sizeof d)) std::memcpy(&d, R + f.BegOfs, sizeof d);
    return d;
}

} // namespace

// ---- TVarStream ------------------------------------------------------------------

TVarStream::TVarStream(TBDataSet* DataSet, uint32_t Position, int32_t MaxSize)
    : FDataSet(DataSet), FBtrPos(Position), FVarSizeMax(MaxSize) {}

int32_t TVarStream::GetVarLen() {
    std::unique_ptr<uint8_t[]> scratch(new uint8_t[kVarChunk]);
    TBtrieveFile& file = *FDataSet->DataFile();
    return Guarded(FDataSet, [&] {
        int64_t total = 0;
        for (;;) {
            const uint32_t n = file.GetChunk(FBtrPos, static_cast<uint32_t>(file.RecordLen() + total), kVarChunk,
                                             scratch.get());
            total += n;
            if (n < static_cast<uint32_t>(kVarChunk) || total >= INT32_MAX - kVarChunk) break;
        }
        return static_cast<int32_t>(total);
    });
}

int32_t TVarStream::Read(void* Buffer, int32_t Count) {
    if (Count <= 0) return 0;
    TBtrieveFile& file = *FDataSet->DataFile();
    const auto n = Guarded(FDataSet, [&] {
        return static_cast<int32_t>(file.GetChunk(FBtrPos, static_cast<uint32_t>(file.RecordLen() + FCurPos),
                                                  static_cast<uint32_t>(Count), Buffer));
    });
    FCurPos += n;
    if (n != Count) FVarSizeMax = FCurPos;
    return n;
}

int32_t TVarStream::Write(const void* Buffer, int32_t Count) {
    if (Count <= 0) return 0;
    TBtrieveFile& file = *FDataSet->DataFile();
    Guarded(FDataSet, [&] {
        file.UpdateChunk(static_cast<uint32_t>(file.RecordLen() + FCurPos), static_cast<uint32_t>(Count), Buffer);
        // A refusal the file object leaves to its caller (103: a write past
        // the end that would leave a gap) wrote nothing.
        if (file.Status() != bsOk) throw EBtrieve(file.Status(), bUpdateChunk, file.FileName());
    });
    FCurPos += Count;
    if (FCurPos > FVarSizeMax) FVarSizeMax = FCurPos;
    return Count;
}

int64_t TVarStream::Seek(int64_t Offset, TSeekOrigin Origin) {
    switch (Origin) {
    case TSeekOrigin::soBeginning: FCurPos = static_cast<int32_t>(Offset); break;
    case TSeekOrigin::soCurrent: FCurPos += static_cast<int32_t>(Offset); break;
    case TSeekOrigin::soEnd: FCurPos = GetVarLen() + static_cast<int32_t>(Offset); break;
    }
    return FCurPos;
}

void TVarStream::SetSize(int64_t NewSize) {
    if (NewSize > FVarSizeMax || NewSize < 0) return;
    TBtrieveFile& file = *FDataSet->DataFile();
    Guarded(FDataSet, [&] {
        // Truncation works on the file's current record: it must be this one.
        if (file.GetPosition() != FBtrPos) DatabaseError(LoadResString(res::SPositionChanged), FDataSet);
        file.TruncateRec(FBtrPos, static_cast<int32_t>(file.RecordLen() + NewSize));
    });
    FVarSizeMax = static_cast<int32_t>(NewSize);
}

// ---- TBlobFiler ------------------------------------------------------------------

TBlobFiler::TBlobFiler(TBDataSet* DataSet, const uint8_t* R, TBlobField* Field, std::string Key)
    : FDataSet(DataSet), FField(Field), FKey(std::move(Key)) {
    const TBLOBData d = Descriptor(R, *DataSet->StoredField(Field));
    FSize = d.Size;
    FOffs = d.Ofs;
    if (DataSet->State() != dsInsert && !DataSet->IsEmpty())
        FReadStream = std::make_unique<TVarStream>(DataSet, DataSet->BufferPosition(R), DataSet->MaxVarRecSize());
}

void TBlobFiler::Attach(TBlobStreamMode Mode) {
    ++FRefCount;
    if (!FLoaded) {
        FLoaded = true;
        if (Mode != bmWrite && FReadStream && FSize > 0) {
            FReadStream->SetPosition(FOffs);
            FWriteStream.CopyFrom(*FReadStream, FSize);
            FWriteStream.SetPosition(0);
        }
    }
    if (Mode == bmWrite) FWriteStream.Clear();
    if (Mode != bmRead) FOpenMode = Mode;
}

int32_t TBlobFiler::Write(const void* Buffer, int32_t Count) {
    FDataSet->FBlobsModified = true;
    return FWriteStream.Write(Buffer, Count);
}

void TBlobFiler::SetSize(int64_t NewSize) {
    FDataSet->FBlobsModified = true;
    FWriteStream.SetSize(NewSize);
}

// ---- TBlobStream -----------------------------------------------------------------

TBlobStream::TBlobStream(TBlobField* Field, TBlobStreamMode Mode)
    : FDataSet(static_cast<TBDataSet*>(Field->DataSet())), FField(Field), FOpenMode(Mode) {
    FStream = FDataSet->Filer(Field);
    FStream->Attach(Mode);
}

TBlobStream::~TBlobStream() {
    FStream->Detach();
    if (FStream->RefCount() == 0 && FStream->OpenMode() == bmRead) FDataSet->ForgetFiler(*FStream);
}

int32_t TBlobStream::Read(void* Buffer, int32_t Count) {
    if (FOpenMode == bmWrite) return 0;
    FStream->SetPosition(FPosition);
    const int32_t n = FStream->Read(Buffer, Count);
    FPosition = FStream->Position();
    return n;
}

int32_t TBlobStream::Write(const void* Buffer, int32_t Count) {
    if (FOpenMode == bmRead) return 0;
    FStream->SetPosition(FPosition);
    const int32_t n = FStream->Write(Buffer, Count);
    FPosition = FStream->Position();
    Modified();
    return n;
}

int64_t TBlobStream::Seek(int64_t Offset, TSeekOrigin Origin) {
    FStream->SetPosition(FPosition);
    FPosition = FStream->Seek(Offset, Origin);
    return FPosition;
}

void TBlobStream::SetSize(int64_t NewSize) {
    if (FOpenMode == bmRead) return;
    FStream->SetSize(NewSize);
    Modified();
}

void TBlobStream::Modified() {
    FField->SetModified(true);
    FDataSet->SetModified(true);
}

// ---- the dataset's side ----------------------------------------------------------

std::string TBDataSet::FilerKey(const uint8_t* R, const std::string& FieldName) {
    if (State() == dsInsert || IsEmpty() || !R) return FieldName;
    return std::string(reinterpret_cast<const char*>(R + FBookmarkOfs), kBookmarkSize - 1) + '\x01' + FieldName;
}

std::shared_ptr<TBlobFiler> TBDataSet::Filer(TBlobField* Field) {
    const uint8_t* R = ActiveBuffer();
    std::string key = FilerKey(R, Field->FieldName());
    auto& slot = FBlobFilers[key];
    if (!slot) {
        try {
            slot = std::make_shared<TBlobFiler>(this, R, Field, key);
        } catch (...) {
            FBlobFilers.erase(key);
            throw;
        }
    }
    return slot;
}

void TBDataSet::ForgetFiler(const TBlobFiler& Filer) {
    const auto it = FBlobFilers.find(Filer.Key());
    if (it != FBlobFilers.end() && it->second.get() == &Filer) FBlobFilers.erase(it);
}

// The stored content of a BLOB-type field of the record image R, which is the
// record at Position: what a search compares without a stream, which would
// stand on the active record instead.
std::string TBDataSet::StoredBlob(const uint8_t* R, const TBField& f, uint32_t Position) {
    const TBLOBData d = Descriptor(R, f);
    if (d.Size <= 0 || d.Ofs < 0) return {};
    std::string bytes(static_cast<size_t>(d.Size), '\0');
    const uint32_t n = FDataFile->GetChunk(Position, static_cast<uint32_t>(FDataFile->RecordLen() + d.Ofs),
                                           static_cast<uint32_t>(d.Size), bytes.data());
    bytes.resize(n);
    return bytes;
}

std::unique_ptr<TStream> TBDataSet::CreateBlobStream(TField* Field, TBlobStreamMode Mode) {
    if (Mode != bmRead && State() != dsEdit && State() != dsInsert) DatabaseError(SNotEditing, this);
    auto* blob = dynamic_cast<TBlobField*>(Field);
    if (!blob || blob->DataSet() != this) return nullptr;
    UpdateCursorPos();
    return std::make_unique<TBlobStream>(blob, Mode);
}

std::unique_ptr<TVarStream> TBDataSet::CreateVarStream() {
    if (IsEmpty() || !FDataFile || !FDataFile->VariableLen() || (State() != dsBrowse && State() != dsEdit))
        return nullptr;
    try {
        UpdateCursorPos();
        return std::make_unique<TVarStream>(this, FDataFile->GetPosition(), FMaxVarRec);
    } catch (const EBtrieve&) {
        return nullptr;
    } catch (const EDatabaseError&) {
        return nullptr; // the cursor update reports engine errors this way
    }
}

void TBDataSet::FreeBlobs() {
    for (auto it = FBlobFilers.begin(); it != FBlobFilers.end();)
        it = it->second->RefCount() == 0 ? FBlobFilers.erase(it) : std::next(it);
}

void TBDataSet::FlushBlobs(TRecordBuffer R) {
    FBlobsModified = false;
    const bool inserting = State() == dsInsert;
    TMemoryStream all;
    for (const auto& f : *FFields) {
        if (f->FType < btBLOB || f->FType > btGraphic || f->Length < static_cast<int32_t>(sizeof(TBLOBData))) continue;
        TBLOBData d = Descriptor(R, *f);
        const auto it = FBlobFilers.find(inserting ? f->Name : FilerKey(R, f->Name));
        const int32_t start = static_cast<int32_t>(all.Size());
        if (it != FBlobFilers.end()) {
            TBlobFiler& filer = *it->second;
            d.Size = static_cast<int32_t>(filer.Size());
            if (d.Size > 0) all.CopyFrom(filer, 0);
        } else if (!inserting && d.Size > 0) {
            // Not touched (or no field object at all): the stored content moves
            // along unchanged.
            TVarStream stored(this, BufferPosition(R), FMaxVarRec);
            stored.SetPosition(d.Ofs);
            all.CopyFrom(stored, d.Size);
        } else {
            continue;
        }
        d.Ofs = start;
        std::memcpy(R + f->BegOfs, &d, sizeof d);
    }
    TVarStream var(this, Guarded(this, [&] { return FDataFile->GetPosition(); }), FMaxVarRec);
    if (all.Size() > 0) var.CopyFrom(all, 0);
    // The variable part ends with its last value, so a shortened value gives
    // its space back (a record just inserted has nothing beyond it).
    if (!inserting) var.SetSize(all.Size());
    if (!FKeepBlobs) FreeBlobs();
}

} // namespace btr
