// TBDataSet: opening, record buffers, navigation, keys, ranges, search and
// writing whole records.
#include "dataset/btrset.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>
#include <typeinfo>

#include "platform/codepage.h"
#include "platform/exceptions.h"
#include "platform/files.h"
#include "platform/klstrings.h"
#include "platform/messages.h"

namespace btr {

namespace {

// The bookmark text of a physical position: ten characters, right-aligned.
void WriteBookmark(uint8_t* dst, uint32_t position) {
    int i = kBookmarkSize - 2;
    do {
        dst[i--] = static_cast<uint8_t>('0' + position % 10);
        position /= 10;
    } while (position != 0 && i >= 0);
    while (i >= 0) dst[i--] = ' ';
    dst[kBookmarkSize - 1] = 0;
}

uint32_t ParseBookmark(const uint8_t* b) {
    const std::string text = KLStrPas(reinterpret_cast<const char*>(b), kBookmarkSize);
    return static_cast<uint32_t>(std::strtoull(text.c_str(), nullptr, 10));
}

// Changes a state for a scope and puts the old one back, whatever happens.
class TempState {
public:
    TempState(TDataSetState state, std::function<TDataSetState(TDataSetState)> set,
              std::function<void(TDataSetState)> restore)
        : FRestore(std::move(restore)), FOld(set(state)) {}
    ~TempState() { FRestore(FOld); }

private:
    std::function<void(TDataSetState)> FRestore;
    TDataSetState FOld;
};

} // namespace

#define BTR_TEMP_STATE(state) \
    TempState tempState_(state, [this](TDataSetState s) { return SetTempState(s); }, \
                         [this](TDataSetState s) { RestoreState(s); })

template <class F> void TBDataSet::AsDatabaseError(F&& step) {
    try {
        step();
    } catch (const EBtrieve& e) {
        DatabaseError(e.Message(), this);
    }
}

TBDataSet::TBDataSet(TComponent* AOwner) : TDataSet(AOwner) {}

TBDataSet::~TBDataSet() {
    CloseOnDestroy();
    // Neither a master nor a detail may keep a reference to a dead dataset.
    if (FMasterSet) FMasterSet->RemoveChild(this);
    for (TBDataSet* child : FChildren) child->FMasterSet = nullptr;
}

// ---- properties --------------------------------------------------------------

void TBDataSet::SetBaseName(const std::string& Value) {
    FBaseName = Value;
    if (Active()) {
        Close();
        Open();
    }
}

void TBDataSet::SetDictName(const std::string& Value) {
    if (Value == FDictName) return;
    CheckInactive();
    FDictName = Value;
}

void TBDataSet::SetReadOnly(bool Value) {
    FReadOnly = Value;
    if (FDataFile) {
        FDataFile->SetReadOnly(Value);
        Refresh();
    }
}

void TBDataSet::SetAlias(const std::string& Value) {
    if (Value == FAlias) return;
    CheckInactive();
    FAlias = Value;
}

void TBDataSet::SetLocking(bool Value) {
    FLocking = Value;
    if (State() == dsEdit && FDataFile) FDataFile->Unlock();
}

void TBDataSet::SetMasterSet(TBDataSet* Value) {
    if (Value == FMasterSet) return;
    // A master of its own, directly or through others, would cascade forever.
    for (const TBDataSet* m = Value; m; m = m->FMasterSet)
        if (m == this) DatabaseError("Circular MasterSet link", this);
    if (FMasterSet) FMasterSet->RemoveChild(this);
    FMasterSet = Value;
    if (Value) Value->AddChild(this);
}

void TBDataSet::AddChild(TBDataSet* Child) { FChildren.push_back(Child); }

void TBDataSet::RemoveChild(TBDataSet* Child) { std::erase(FChildren, Child); }

bool TBDataSet::GetCanModify() { return !(FReadOnly || (FDataFile && FDataFile->ReadOnly())); }

// ---- opening and closing ----------------------------------------------------

void TBDataSet::InternalOpen() {
    TFileData fd;
    GetFileData(FBaseName, FDictName, fd);
    FFields = std::move(fd.Fields);
    FKeys = std::move(fd.Keys);

    FDataFile = std::make_unique<TBtrieveFile>();
    FDataFile->SetFileName(DescribedFile(FDictName, FBaseName));
    FDataFile->SetFileOwner(fd.Owner);
    FDataFile->SetReadOnly(FReadOnly);
    FDataFile->SetActive(true);

    if (!FIndexFields.empty())
        FDataFile->SetKeyPath(static_cast<uint16_t>(FindKeyNumberEx(FIndexFields, false)));
    else
        FDataFile->SetKeyPath(static_cast<uint16_t>(FKeyPath & 0xFFFF));

    if ((!FDataFile->VariableLen() && FDataFile->RecordLen() != FFields->DataSize) ||
        (FIndexCheck && FDataFile->IndexCnt() != FKeys->Number))
        throw EBtrieve(LoadResString(res::SDictMismatch));

    InternalInitFieldDefs();
    if (DefaultFields()) CreateFields();
    BindFields(true);
    InitBufferPointers();
    FKeyBuffer.assign(FRecordSize, 0);
    FRecordKeys.clear();
    for (int k = 0; k < FDataFile->IndexCnt(); ++k)
        FRecordKeys.emplace_back(*FDataFile, k, *FKeys, *FFields, FRecordSize, FBaseName);
    FRangeReady = false;
    // A descendant may translate DOS text its own way: then every text goes through it.
    FPlainTranslate = typeid(*this) == typeid(TBDataSet);
    FBeforeBOF = true;
    FAfterEOF = false;
    FCursorOpen = true;
}

// The record image holds the file's whole fixed part: a variable-length
// file's dictionary may describe less of it, and what it leaves out is kept
// as read.
void TBDataSet::InitBufferPointers() {
    SetBookmarkSize(kBookmarkSize);
    const size_t image = std::max<size_t>(static_cast<size_t>(FFields->DataSize),
                                          FDataFile && FDataFile->VariableLen() ? FDataFile->RecordLen() : 0);
    // 16-bit sizes must not wrap: refuse a layout that does not fit.
    const size_t total = image + static_cast<size_t>(CalcFieldsSize()) + sizeof(TRecInfo) + kBookmarkSize;
    if (total > 65535)
        throw EBtrieve(Format("Record buffer of %d bytes for \"%s\" exceeds 65535 bytes", {int(total), FBaseName}));
    FRecordSize = static_cast<uint16_t>(image);
    FRecInfoOfs = static_cast<uint16_t>(FRecordSize + CalcFieldsSize());
    FBookmarkOfs = static_cast<uint16_t>(FRecInfoOfs + sizeof(TRecInfo));
    FRecBufSize = static_cast<uint16_t>(FBookmarkOfs + kBookmarkSize);
}

// Field values are read and written at fixed widths by type: a dictionary
// whose lengths are shorter than those, or negative, would reach outside the
// record.
void TBDataSet::CheckFieldLayout() const {
    for (const auto& f : *FFields) {
        int32_t least = 0;
        switch (f->FType) {
        case btDate: case btTime: least = 4; break;
        case btDouble: case btDoubleM: case btRSFloat: case btBLOB: case btMEMO: case btGraphic: least = 8; break;
        case btExtended: case btExtendedM: least = 10; break;
        default: break;
        }
        if (f->Length < 0 || f->Length < least || f->BegOfs < 0)
            throw EBtrieve(Format("Field \"%s\" of \"%s\" is %d bytes long; its type needs at least %d",
                                  {f->Name, FBaseName, int(f->Length), int(least)}));
    }
    if (FFields->DataSize < 0 || FFields->DataSize > 65535)
        throw EBtrieve(Format("The fields of \"%s\" add up to %d bytes", {FBaseName, int(FFields->DataSize)}));
}

void TBDataSet::InternalClose() {
    FBlobFilers.clear();
    FRecordKeys.clear();
    FKeyBuffer.clear();
    FOldRecord.clear();
    BindFields(false);
    if (DefaultFields()) DestroyFields();
    FKeys.reset();
    FFields.reset();
    FDataFile.reset();
    FCursorOpen = false;
}

void TBDataSet::InternalInitFieldDefs() {
    const bool fetched = !FFields;
    FieldDefs().Clear();
    if (fetched) {
        TFileData fd;
        GetFileData(FBaseName, FDictName, fd);
        FFields = std::move(fd.Fields);
        FKeys = std::move(fd.Keys);
    }
    try {
        CheckFieldLayout();
    } catch (...) {
        if (fetched) {
            FFields.reset();
            FKeys.reset();
        }
        throw;
    }
    for (int i = 0; i < FFields->Count(); ++i) {
        const TBField& f = *FFields->Items(i);
        TFieldType type = ftUnknown;
        int size = 0;
        switch (f.FType) {
        case btZStringDOS: case btSNR: case btZStringWIN: case btString: case btLStringDOS: case btLStringWIN:
            type = ftString;
            size = f.Length;
            break;
        case btSmallint: type = ftSmallint; break;
        case btLongint: type = ftInteger; break;
        case btDouble: case btDoubleM: case btExtended: case btExtendedM: case btDecimal: case btRSFloat:
            type = ftFloat;
            break;
        case btDate: type = ftDate; break;
        case btTime: type = ftTime; break;
        case btBoolean: type = ftBoolean; break;
        case btWord: type = ftWord; break;
        case btBLOB: type = ftBlob; break;
        case btMEMO: type = ftMemo; break;
        case btGraphic: type = ftGraphic; break;
        case btChar: type = ftFixedChar; size = 1; break;
        default: break;
        }
        FieldDefs().Add(f.Name, type, size, false, i + 1);
    }
    if (fetched) {
        FFields.reset();
        FKeys.reset();
    }
}

// ---- record buffers ---------------------------------------------------------

TRecordBuffer TBDataSet::AllocRecordBuffer() { return new uint8_t[FRecBufSize ? FRecBufSize : 1]; }

void TBDataSet::FreeRecordBuffer(TRecordBuffer& Buffer) {
    delete[] Buffer;
    Buffer = nullptr;
}

TRecInfo& TBDataSet::RecInfo(TRecordBuffer Buffer) const {
    return *reinterpret_cast<TRecInfo*>(Buffer + FRecInfoOfs);
}

void TBDataSet::InternalInitRecord(TRecordBuffer Buffer) {
    std::memset(Buffer, 0, FRecBufSize);
    new (Buffer + FRecInfoOfs) TRecInfo{};
}

void TBDataSet::ClearCalcFields(TRecordBuffer Buffer) {
    std::memset(Buffer + FRecordSize, 0, static_cast<size_t>(CalcFieldsSize()));
}

TBookmarkFlag TBDataSet::GetBookmarkFlag(TRecordBuffer Buffer) { return RecInfo(Buffer).BookmarkFlag; }
void TBDataSet::SetBookmarkFlag(TRecordBuffer Buffer, TBookmarkFlag Value) { RecInfo(Buffer).BookmarkFlag = Value; }
void TBDataSet::GetBookmarkData(TRecordBuffer Buffer, uint8_t* Data) { std::memcpy(Data, Buffer + FBookmarkOfs, kBookmarkSize); }
void TBDataSet::SetBookmarkData(TRecordBuffer Buffer, const uint8_t* Data) { std::memcpy(Buffer + FBookmarkOfs, Data, kBookmarkSize); }

uint8_t* TBDataSet::ScratchData(size_t size) {
    if (FScratch.size() < size) FScratch.resize(size);
    return FScratch.data();
}

// ---- keys ---------------------------------------------------------------------

int32_t TBDataSet::FindKeyNumber(const std::vector<std::string>& FieldNames, bool /*Strict*/) {
    if (!FKeys) return -1;
    for (int i = 0; i < FKeys->Count();) {
        const int32_t number = FKeys->Items(i)->Number;
        size_t matched = 0;
        int j = i;
        for (; j < FKeys->Count() && FKeys->Items(j)->Number == number; ++j)
            if (matched == static_cast<size_t>(j - i) && matched < FieldNames.size() &&
                FKeys->Items(j)->Name == FieldNames[matched])
                ++matched;
        if (matched == FieldNames.size()) return number;
        i = j;
    }
    return -1;
}

int32_t TBDataSet::FindKeyNumberEx(const std::string& FieldNames, bool Strict) {
    std::vector<std::string> names;
    for (size_t pos = 0; pos < FieldNames.size();) {
        std::string name = ExtractFieldName(FieldNames, pos);
        if (!name.empty()) names.push_back(std::move(name));
    }
    const int32_t k = FindKeyNumber(names, Strict);
    if (k < 0) DatabaseErrorFmt(SNoIndexForFields, {FieldNames}, this);
    return k;
}

int TBDataSet::GetKeyStart(int32_t K) const {
    if (!FKeys) return -1;
    for (int i = 0; i < FKeys->Count(); ++i)
        if (FKeys->Items(i)->Number == K) return i;
    return -1;
}

void TBDataSet::ClearKey() { std::fill(FKeyBuffer.begin(), FKeyBuffer.end(), 0); }

const TRecordKey* TBDataSet::CurrentKey() const {
    const size_t path = FDataFile ? FDataFile->KeyPath() : SIZE_MAX;
    return path < FRecordKeys.size() ? &FRecordKeys[path] : nullptr;
}

const TRecordKey& TBDataSet::RequireKey() {
    const TRecordKey* key = CurrentKey();
    if (!key) DatabaseErrorFmt("Key %d of \"%s\" is not a key of the file", {int(FDataFile->KeyPath()), FBaseName}, this);
    return *key;
}

// In the set-key state: the key buffer cleared, then Values assigned to the
// fields of the key's leading segments. Returns how many segments they name.
size_t TBDataSet::AssignKeyValues(const TRecordKey& Key, const std::vector<Variant>& Values) {
    ClearKey();
    const size_t n = std::min(Values.size(), Key.Count());
    for (size_t i = 0; i < n; ++i) {
        // A bound the dictionary cannot place would silently widen the search.
        if (Key.FieldName(i).empty())
            DatabaseErrorFmt("Segment %d of key %d of \"%s\" is not described in the dictionary",
                             {int(i + 1), Key.Number(), FBaseName}, this);
        FieldByName(Key.FieldName(i))->SetValue(Values[i]);
    }
    return n;
}

bool TBDataSet::GetRecordByKey(int32_t Op) { return GetRecordByKey(Op, SIZE_MAX, false); }

bool TBDataSet::GetRecordByKey(int32_t Op, size_t Named, bool Largest) {
    RequireKey().Make(*FDataFile, FKeyBuffer.data(), Named, Largest);
    FDataFile->SetDataBuffer(FKeyBuffer.data(), FRecordSize);
    FDataFile->Get(Op, 0);
    if (FDataFile->Status() != 0) return false;
    ClearTail(FKeyBuffer.data());
    return true;
}

// A variable-length record shorter than the buffer leaves the rest of it as
// the previous record had it: zero it, so no field shows another record's bytes.
void TBDataSet::ClearTail(uint8_t* Buffer) const {
    const int32_t got = FDataFile->BytesRead();
    if (got >= 0 && got < FRecordSize) std::memset(Buffer + got, 0, static_cast<size_t>(FRecordSize - got));
}

// The bounds in the current key's order, made once per range and key path.
void TBDataSet::PrepareRange() {
    const TRecordKey* key = CurrentKey();
    if (FRangeReady && FRangeKey == (key ? key->Number() : -1)) return;
    FRangeLowN = FRangeHighN = 0;
    FRangeKey = key ? key->Number() : -1;
    if (key && !(RangeStart.empty() && RangeEnd.empty())) {
        BTR_TEMP_STATE(dsSetKey);
        FRangeLowN = AssignKeyValues(*key, RangeStart);
        key->Encode(FKeyBuffer.data(), FRangeLowN, FRangeLow);
        FRangeHighN = AssignKeyValues(*key, RangeEnd);
        key->Encode(FKeyBuffer.data(), FRangeHighN, FRangeHigh);
    }
    FRangeReady = true;
}

// The record's leading segments against each bound, compared as the engine
// orders them (descending segments reversed, case folded where the key
// folds it, bytes where the key compares bytes).
bool TBDataSet::CheckForRange(TRecordBuffer Buffer, bool TestEnd, bool TestStart) {
    if (RangeStart.empty() && RangeEnd.empty()) return true;
    PrepareRange();
    const TRecordKey* key = CurrentKey();
    if (!key) return true;
    if (TestEnd && FRangeHighN) {
        key->Encode(Buffer, FRangeHighN, FEncoded);
        if (FEncoded > FRangeHigh) return false;
    }
    if (TestStart && FRangeLowN) {
        key->Encode(Buffer, FRangeLowN, FEncoded);
        if (FEncoded < FRangeLow) return false;
    }
    return true;
}

// ---- navigation -------------------------------------------------------------

bool TBDataSet::AcceptRecord(TRecordBuffer Buffer) {
    if (!Filtered() || !OnFilterRecord || FIgnoreFilter) return true;
    FFilterBuffer = Buffer;
    BTR_TEMP_STATE(dsFilter);
    bool accept = true;
    OnFilterRecord(this, accept);
    return accept;
}

// The first (or last) record of the range: the bound's segments as given,
// the others at their smallest (or largest) value in key order.
void TBDataSet::SeekRange(TRecordBuffer Buffer, bool End) {
    struct Restore {
        TBDataSet* ds;
        TRecordBuffer buf;
        ~Restore() { ds->FDataFile->SetDataBuffer(buf, ds->FRecordSize); }
    } restore{this, Buffer};
    PrepareRange();
    const TRecordKey& key = RequireKey();
    {
        BTR_TEMP_STATE(dsSetKey);
        const size_t named = AssignKeyValues(key, End ? RangeEnd : RangeStart);
        GetRecordByKey(End ? bGetLessOrEqual : bGetGreaterOrEqual, named, End);
    }
    std::memcpy(Buffer, FKeyBuffer.data(), FRecordSize);
}

TGetResult TBDataSet::GetRecord(TRecordBuffer Buffer, TGetMode GetMode, bool DoCheck) {
    try {
        FDataFile->SetDataBuffer(Buffer, FRecordSize);
        bool ok = false;
        switch (GetMode) {
        case gmCurrent:
            if (FBeforeBOF || FAfterEOF) break;
            try {
                FDataFile->GetDirect(0, FDataFile->GetPosition());
            } catch (const EBtrieve& e) {
                // No current record (8), or it is gone (43: deleted by another
                // client, rolled back): nothing to show, not an error to report.
                if (e.Error() != bsNoCurrency && e.Error() != bsInvalidPosition) throw;
                break;
            }
            if (FDataFile->Status() != 0) break;
            ClearTail(Buffer);
            ok = AcceptRecord(Buffer) && CheckForRange(Buffer, true, true);
            break;
        case gmNext:
        case gmPrior: {
            const bool next = GetMode == gmNext;
            const int32_t step = next ? bGetNext : bGetPrevious;
            if (next ? FAfterEOF : FBeforeBOF) break;
            if (next ? FBeforeBOF : FAfterEOF)
                SeekRange(Buffer, !next);
            else
                FDataFile->Get(step, 0);
            // A step from a record left before the range (or after it) lands in front of it.
            if (FDataFile->Status() == 0 && !CheckForRange(Buffer, !next, next)) SeekRange(Buffer, !next);
            for (;;) {
                if (FDataFile->Status() != 0) break;
                ClearTail(Buffer);
                if (!CheckForRange(Buffer, next, !next)) break;
                if (AcceptRecord(Buffer)) {
                    (next ? FBeforeBOF : FAfterEOF) = false;
                    ok = true;
                    break;
                }
                FDataFile->Get(step, 0);
            }
            break;
        }
        }
        if (!ok) return grError;
        TRecInfo& info = RecInfo(Buffer);
        info.BookmarkFlag = bfCurrent;
        info.BPosition = FDataFile->GetPosition();
        uint8_t bookmark[kBookmarkSize];
        WriteBookmark(bookmark, info.BPosition);
        GetCalcFields(Buffer);
        std::memcpy(Buffer + FBookmarkOfs, bookmark, kBookmarkSize);
        return grOK;
    } catch (const EBtrieve& e) {
        BError(e);
        if (DoCheck && Active()) DatabaseError(e.Message(), this);
        return grError;
    }
}

// The cursor stands before the first record or after the last, never both:
// a flag left over from an empty range would hide every record after it.
void TBDataSet::InternalFirst() {
    FBeforeBOF = true;
    FAfterEOF = false;
}

void TBDataSet::InternalLast() {
    FAfterEOF = true;
    FBeforeBOF = false;
}

void TBDataSet::InternalGotoBookmark(const uint8_t* Bookmark) {
    AsDatabaseError([&] {
        const uint32_t position = ParseBookmark(Bookmark);
        std::vector<uint8_t> scratch(FRecordSize ? FRecordSize : 4);
        FDataFile->SetDataBuffer(scratch.data(), static_cast<uint16_t>(scratch.size()));
        struct Detach {
            TBtrieveFile* f;
            ~Detach() { f->SetDataBuffer(nullptr, 0); }
        } detach{FDataFile.get()};
        FDataFile->GetDirect(0, position);
        FBeforeBOF = FAfterEOF = false;
    });
}

// A buffer that holds no bookmark (a record not yet inserted) leaves the
// file where it is.
void TBDataSet::InternalSetToRecord(TRecordBuffer Buffer) {
    if (Buffer[FBookmarkOfs] != 0) InternalGotoBookmark(Buffer + FBookmarkOfs);
}

uint32_t TBDataSet::BufferPosition(const uint8_t* R) const { return ParseBookmark(R + FBookmarkOfs); }

int TBDataSet::CompareBookmarks(const uint8_t* Bookmark1, const uint8_t* Bookmark2) {
    if (!Bookmark1 && !Bookmark2) return 0;
    if (!Bookmark1) return -1;
    if (!Bookmark2) return 1;
    const int c = KLStrComp(reinterpret_cast<const char*>(Bookmark1), reinterpret_cast<const char*>(Bookmark2));
    return (c > 0) - (c < 0);
}

int TBDataSet::GetRecordCount() {
    if (!FEvaluteScroll) return -1;
    if (!FDataFile || !FDataFile->Active()) DatabaseErrorFmt(SDataSetClosed, {Name()}, this);
    FCurRecordCount = FDataFile->NumberOfRecords();
    return FCurRecordCount;
}

int TBDataSet::GetRecNo() {
    if (!FEvaluteScroll) return -1;
    if (!FDataFile || !FDataFile->Active() || IsEmpty()) return 0;
    UpdateCursorPos();
    const int32_t pct = FDataFile->GetPercentage();
    return static_cast<int>(std::nearbyint(pct / 10000.0 * FCurRecordCount));
}

void TBDataSet::SetRecNo(int Value) {
    if (!FEvaluteScroll || !FDataFile || !FDataFile->Active()) return;
    CheckBrowseMode();
    // The count is needed for the fraction: take it first when unknown.
    if (FCurRecordCount <= 0) GetRecordCount();
    if (FCurRecordCount <= 0) return;
    DoBeforeScroll();
    const int32_t pct = static_cast<int32_t>(std::nearbyint(static_cast<double>(Value) / FCurRecordCount * 10000.0));
    AsDatabaseError([&] {
        FDataFile->SetDataBuffer(ScratchData(FRecordSize ? FRecordSize : 4), std::max<uint16_t>(FRecordSize, 4));
        FDataFile->GetByPercentage(std::clamp(pct, 0, 10000));
    });
    FBeforeBOF = FAfterEOF = false;
    Resync({rmExact});
    DoAfterScroll();
}

bool TBDataSet::IsSequenced() {
    if (!FEvaluteScroll) return true;
    return !Filtered() && RangeStart.empty() && RangeEnd.empty() && !(FDataFile && FDataFile->VariableLen());
}

void TBDataSet::SetFilterText(const std::string&) { throw Exception("You can not set filter for this object."); }

// ---- key paths, ranges and search ---------------------------------------------

void TBDataSet::SetKeyPath(int32_t Value) {
    if (Value == FKeyPath) return;
    if (FDataFile && FDataFile->Active()) {
        if (Value == -1) {
            FDataFile->SetKeyPath(static_cast<uint16_t>(FindKeyNumberEx(FIndexFields, false)));
        } else {
            FDataFile->SetKeyPath(static_cast<uint16_t>(Value));
            FIndexFields.clear();
        }
        SetRange({}, {});
    }
    FKeyPath = Value;
}

void TBDataSet::SetIndexFields(const std::string& Value) {
    if (Value == FIndexFields) return;
    if (FDataFile && FDataFile->Active()) {
        if (Value.empty()) {
            FDataFile->SetKeyPath(static_cast<uint16_t>(FKeyPath & 0xFFFF));
        } else {
            FDataFile->SetKeyPath(static_cast<uint16_t>(FindKeyNumberEx(Value, false)));
            FKeyPath = -1;
        }
        FIndexFields = Value;
        SetRange({}, {});
        return;
    }
    FIndexFields = Value;
}

void TBDataSet::SetRange(const std::vector<Variant>& StartValues, const std::vector<Variant>& EndValues) {
    if (const TRecordKey* key = CurrentKey(); key && std::max(StartValues.size(), EndValues.size()) > key->Count())
        DatabaseErrorFmt("A range of %d values on key %d of \"%s\", which has %d segments",
                         {int(std::max(StartValues.size(), EndValues.size())), key->Number(), FBaseName,
                          int(key->Count())}, this);
    DataEvent(deDataSetChange);
    RangeStart = StartValues;
    RangeEnd = EndValues;
    FRangeReady = false;
    First();
}

void TBDataSet::CopyFoundRecord() {
    if (FRecordSize == 0) return;
    if (!FDataFile->Data()) throw EBtrieve("Error on move in TBDataSet.LocateRecord DataFile.Data=nil");
    if (!TempBuffer()) throw EBtrieve("Error on move in TBDataSet.LocateRecord TempBuffer=nil");
    if (FRecordSize > FDataFile->DataSize())
        throw EBtrieve(Format("Error on move in TBDataSet.LocateRecord DataFileSize: %d RecordSize: %d",
                              {int(FDataFile->DataSize()), int(FRecordSize)}));
    std::memcpy(TempBuffer(), FDataFile->Data(), FRecordSize);
}

// A search by the key's first `Named` segments alone: the others take the
// extreme that makes the operation answer by the named ones (equal becomes
// the first record at or after them, checked to start with them).
bool TBDataSet::SearchKey(const TRecordKey& Key, int32_t Op, size_t Named) {
    if (Named >= Key.Count()) return GetRecordByKey(Op);
    std::string wanted;
    if (Op == bGetEqual) Key.Encode(FKeyBuffer.data(), Named, wanted);
    const bool largest = Op == bGetGreater || Op == bGetLessOrEqual;
    if (!GetRecordByKey(Op == bGetEqual ? bGetGreaterOrEqual : Op, Named, largest)) return false;
    if (Op != bGetEqual) return true;
    Key.Encode(FKeyBuffer.data(), Named, FEncoded);
    return FEncoded == wanted;
}

bool TBDataSet::FindKey(const std::vector<Variant>& KeyValues, int32_t Op) {
    // The searching gets only: any other code would write, delete or walk
    // through the key buffer.
    switch (Op) {
    case bGetEqual: case bGetGreater: case bGetGreaterOrEqual: case bGetLess: case bGetLessOrEqual: break;
    default: DatabaseErrorFmt("FindKey cannot search with operation %d", {Op}, this);
    }
    CheckBrowseMode();
    CursorPosChanged();
    const std::vector<TField*> fields = GetFieldList(FIndexFields);
    if (KeyValues.size() != fields.size()) DatabaseError(LoadResString(res::SIncorrectKeyValues), this);
    const TRecordKey& key = RequireKey();
    for (size_t i = 0; i < fields.size(); ++i)
        if (i >= key.Count() || key.FieldName(i) != fields[i]->FieldName())
            DatabaseErrorFmt(SNoIndexForFields, {FIndexFields}, this);
    bool found = false;
    {
        BTR_TEMP_STATE(dsSetKey);
        ClearKey();
        for (size_t i = 0; i < fields.size(); ++i) fields[i]->SetValue(KeyValues[i]);
        AsDatabaseError([&] { found = SearchKey(key, Op, fields.size()); });
    }
    if (found) {
        CopyFoundRecord();
        FBeforeBOF = FAfterEOF = false;
        Resync({rmExact, rmCenter});
        DataEvent(deDataSetScroll);
        DoAfterScroll();
    }
    return found;
}

bool TBDataSet::LocateRecord(std::string_view KeyFields, const Variant& KeyValues, TLocateOptions Options,
                             bool /*SyncCursor*/) {
    if (!Options.Empty()) DatabaseError(LoadResString(res::SPartialCompare), this);
    CheckBrowseMode();
    CursorPosChanged();
    const std::vector<TField*> fields = GetFieldList(KeyFields);
    const size_t n = fields.size();
    std::vector<Variant> values;
    if (KeyValues.IsArray() && KeyValues.ArrayCount() == n)
        values = KeyValues.AsArray();
    else if (!KeyValues.IsArray() && n == 1)
        values.push_back(KeyValues);
    else
        DatabaseErrorFmt(SKeyValuesMismatch, {int(KeyValues.IsArray() ? KeyValues.ArrayCount() : 1), int(n)}, this);
    // The search puts the values into a record image: a calculated or lookup
    // field has no place there.
    for (TField* f : fields)
        if (f->FieldNo() <= 0)
            DatabaseErrorFmt("Locate cannot search by the calculated or lookup field '%s'", {f->FieldName()}, this);

    // The key that covers the longest leading run of the located fields.
    size_t best = 0;
    int32_t bestKey = -1;
    for (const TRecordKey& key : FRecordKeys) {
        size_t count = 0;
        while (count < n && count < key.Count() && key.FieldName(count) == fields[count]->FieldName()) ++count;
        if (count > best) {
            best = count;
            bestKey = key.Number();
        }
        if (best == n) break;
    }

    struct RestorePath {
        TBtrieveFile* file;
        uint16_t path;
        ~RestorePath() { file->SetKeyPath(path); }
    } restore{FDataFile.get(), FDataFile->KeyPath()};
    if (bestKey >= 0) FDataFile->SetKeyPath(static_cast<uint16_t>(bestKey));
    bool result = false;
    {
        BTR_TEMP_STATE(dsSetKey);
        ClearKey();
        // Only the key's fields go into the search key; the others are compared.
        for (size_t i = 0; i < best; ++i) fields[i]->SetValue(values[i]);
        const TRecordKey& key = RequireKey();
        std::string wanted;
        key.Encode(FKeyBuffer.data(), best, wanted);
        // The records whose covered segments equal the values, in key order:
        // on a case-insensitive key that is every case variant, so each one
        // is compared exactly.
        for (bool more = GetRecordByKey(bGetGreaterOrEqual, best, false); more;) {
            key.Encode(FKeyBuffer.data(), best, FEncoded);
            if (FEncoded != wanted) break;
            result = true;
            for (size_t i = 0; i < n && result; ++i) result = HoldsValue(fields[i], values[i]);
            if (result) break;
            FDataFile->Get(bGetNext, 0);
            more = FDataFile->Status() == 0;
            if (more) ClearTail(FKeyBuffer.data());
        }
    }
    if (result) {
        CopyFoundRecord();
        FBeforeBOF = FAfterEOF = false;
    }
    return result;
}

// Whether the record in the key buffer holds Value in Field; a BLOB value is
// read from the file, at the record the search stands on.
bool TBDataSet::HoldsValue(TField* Field, const Variant& Value) {
    if (!Field->IsBlob()) return Field->Value() == Value;
    const std::string stored = StoredBlob(FKeyBuffer.data(), *StoredField(Field), FDataFile->GetPosition());
    if (Value.IsNull()) return stored.empty();
    const std::string wanted = VarToStr(Value);
    return stored == (Field->DataType() == ftMemo ? Utf8ToAnsi(wanted) : wanted);
}

bool TBDataSet::Locate(std::string_view KeyFields, const Variant& KeyValues, TLocateOptions Options) {
    DoBeforeScroll();
    RangeStart.clear();
    RangeEnd.clear();
    FRangeReady = false;
    if (!LocateRecord(KeyFields, KeyValues, Options, true)) return false;
    Resync({rmExact, rmCenter});
    DataEvent(deDataSetScroll);
    DoAfterScroll();
    return true;
}

Variant TBDataSet::Lookup(std::string_view KeyFields, const Variant& KeyValues, std::string_view ResultFields) {
    Variant result;
    if (!LocateRecord(KeyFields, KeyValues, {}, false)) return result;
    std::exception_ptr failure;
    {
        BTR_TEMP_STATE(dsCalcFields);
        try {
            GetCalcFields(TempBuffer());
            result = FieldValues(ResultFields);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    // Back to the active record; the first error is the one to report.
    if (failure) {
        try {
            Refresh();
        } catch (...) {
        }
        std::rethrow_exception(failure);
    }
    Refresh();
    return result;
}

// ---- transactions ------------------------------------------------------------------

namespace {

// Begins without their end on this thread: each holds one acquisition of the
// thread's client.
thread_local int gOpenTransactions = 0;

int16_t TransactionCall(int32_t Op, TClient_ID* Client) {
    int32_t len = 0;
    return BTRV(static_cast<int16_t>(Op), nullptr, nullptr, len, nullptr, 0, 0, *Client);
}

void EndTransaction(int32_t Op) {
    // Without a begin the releases below would take a file object's acquisition.
    if (gOpenTransactions == 0) DatabaseError("No transaction was started on this thread");
    const int16_t status = TransactionCall(Op, AddClientID());
    --gOpenTransactions;
    FreeClientID();
    FreeClientID();
    if (status != 0) DatabaseErrorFmt(LoadResString(res::STransactionError), {int(status)});
}

// An engine transaction around one write that spans several records or files
// (a master and its details, a record and its BLOBs), so they change together
// or not at all. When the thread has a transaction of its own, that one
// already does it and nothing is begun here.
class TOwnTransaction {
public:
    explicit TOwnTransaction(bool Needed) {
        if (!Needed || gOpenTransactions > 0) return;
        TClient_ID* client = AddClientID();
        if (TransactionCall(bBeginTransaction + bConcurrent, client) != bsOk) {
            FreeClientID(); // the engine has no transaction for us: write without
            return;
        }
        FClient = client;
        ++gOpenTransactions;
    }
    ~TOwnTransaction() {
        if (FClient) End(bAbortTransaction);
    }
    TOwnTransaction(const TOwnTransaction&) = delete;
    TOwnTransaction& operator=(const TOwnTransaction&) = delete;

    void Commit() {
        if (!FClient) return;
        const int16_t status = End(bEndTransaction);
        if (status != 0) DatabaseErrorFmt(LoadResString(res::STransactionError), {int(status)});
    }

private:
    int16_t End(int32_t Op) {
        const int16_t status = TransactionCall(Op, FClient);
        FClient = nullptr;
        --gOpenTransactions;
        FreeClientID();
        return status;
    }

    TClient_ID* FClient = nullptr;
};

// Sets a flag for a scope.
class TScopedFlag {
public:
    explicit TScopedFlag(bool& flag) : FFlag(flag), FOld(flag) { flag = true; }
    ~TScopedFlag() { FFlag = FOld; }
    TScopedFlag(const TScopedFlag&) = delete;
    TScopedFlag& operator=(const TScopedFlag&) = delete;

private:
    bool& FFlag;
    bool FOld;
};

} // namespace

void BStartTransaction(int32_t Value) {
    TClient_ID* client = AddClientID();
    ++gOpenTransactions; // held even when the begin fails: a rollback balances it
    const int16_t status = TransactionCall(bBeginTransaction + Value, client);
    if (status != 0) DatabaseErrorFmt(LoadResString(res::STransactionError), {int(status)});
}

void BCommit() { EndTransaction(bEndTransaction); }
void BRollback() { EndTransaction(bAbortTransaction); }

// ---- writing ---------------------------------------------------------------------

void TBDataSet::InternalEdit() {
    FBlobsModified = false;
    FOldRecord.assign(FRecBufSize, 0);
    try {
        FDataFile->SetDataBuffer(FOldRecord.data(), FRecordSize);
        FDataFile->GetDirect(FLocking ? kSingleNoWaitLock : 0, FDataFile->GetPosition());
        ClearTail(FOldRecord.data());
        std::memcpy(ActiveBuffer(), FOldRecord.data(), FRecordSize);
    } catch (...) {
        FOldRecord.clear();
        throw;
    }
}

void TBDataSet::InternalInsert() {
    FBlobsModified = false;
    FOldRecord.assign(FRecBufSize, 0);
}

// The master is written first and its details after it, all in one engine
// transaction: a master that cannot be written leaves every detail as it was,
// and a detail that fails takes the master's change back with it. Until the
// whole post succeeded, the old record and the BLOB values stay, so that a
// corrected retry starts from the same place.
void TBDataSet::InternalPost() {
    AsDatabaseError([&] {
        const bool edit = State() == dsEdit;
        const std::vector<Variant> oldMaster = edit ? ChangedMasterValues() : std::vector<Variant>{};
        TOwnTransaction transaction(!oldMaster.empty() || (!edit && FBlobsModified));
        {
            TScopedFlag keep(FKeepBlobs);
            // The write puts new BLOB descriptors into the buffer; a retry
            // must start from the ones that match the record on disk.
            const std::vector<uint8_t> image(ActiveBuffer(), ActiveBuffer() + FRecordSize);
            try {
                if (edit) StandOnEditedRecord();
                WriteActiveRecord(edit);
                if (!oldMaster.empty()) CascadeKeyUpdate(oldMaster);
                transaction.Commit();
            } catch (...) {
                // What was written is undone with the transaction (or stays
                // in the caller's): read the record afresh before a retry.
                std::memcpy(ActiveBuffer(), image.data(), image.size());
                FReread = true;
                throw;
            }
        }
        FReread = false;
        FOldRecord.clear();
        FreeBlobs();
    });
}

void TBDataSet::WriteActiveRecord(bool Edit) {
    if (Edit && FDataFile->VariableLen()) {
        FlushBlobs(ActiveBuffer());
        // Only the fixed part: the variable part stays as FlushBlobs left it.
        FDataFile->UpdateChunk(0, FRecordSize, ActiveBuffer());
        if (FLocking) FDataFile->Unlock();
        return;
    }
    FDataFile->SetDataBuffer(ActiveBuffer(), FRecordSize);
    if (Edit) {
        FDataFile->Update();
    } else {
        FDataFile->Insert();
        if (FBlobsModified) {
            FlushBlobs(ActiveBuffer());
            // The descriptors FlushBlobs wrote into the buffer reach the file.
            if (FDataFile->VariableLen()) FDataFile->UpdateChunk(0, FRecordSize, ActiveBuffer());
        }
    }
    FBeforeBOF = FAfterEOF = false;
}

// The writes below work on the file's current record. Reading the record
// again would also make the engine forget that the record was read before
// another client changed it, and the post would silently overwrite that
// change; so the record is read again only when the file moved away (or a
// failed post was undone), and a record that changed since the edit began is
// refused as the engine refuses it (80).
void TBDataSet::StandOnEditedRecord() {
    const uint32_t position = BufferPosition(ActiveBuffer());
    try {
        if (!FReread && FDataFile->GetPosition() == position) return;
    } catch (const EBtrieve& e) {
        if (e.Error() != bsNoCurrency) throw;
    }
    uint8_t* now = ScratchData(FRecordSize);
    FDataFile->SetDataBuffer(now, FRecordSize);
    FDataFile->GetDirect(0, position);
    ClearTail(now);
    if (std::memcmp(now, FOldRecord.data(), FRecordSize) != 0) throw EBtrieve(bsConflict, bUpdate, FDataFile->FileName());
}

// The old values of MasterFields when an edit changes them and details follow
// them; empty otherwise. Every detail is checked before anything is written.
std::vector<Variant> TBDataSet::ChangedMasterValues() {
    if (FChildren.empty()) return {};
    const std::vector<TField*> mf = GetFieldList(FMasterFields);
    bool changed = false;
    for (TField* f : mf) changed = changed || f->OldValue() != f->Value();
    if (!changed) return {};
    for (TBDataSet* child : FChildren)
        if (child->GetFieldList(child->IndexFields()).size() != mf.size())
            DatabaseError(LoadResString(res::SMasterFieldsMismatch), child);
    std::vector<Variant> old;
    for (TField* f : mf) old.push_back(f->OldValue());
    return old;
}

// Every record of a detail whose key starts with Values, those its filter
// hides included, one after the other. Their positions are taken first, so a
// record that stays in the range after Step (a case-only change on a
// case-insensitive key) is neither met twice nor the end of the walk. The
// detail ends on that range again, which shows what is left in it.
void TBDataSet::ForEachDetailRecord(TBDataSet* Child, const std::vector<Variant>& Values,
                                    const std::function<void()>& Step) {
    Child->CheckBrowseMode();
    {
        TScopedFlag unfiltered(Child->FIgnoreFilter);
        Child->SetRange(Values, Values);
        std::vector<TBookmark> marks;
        for (; !Child->Eof(); Child->Next()) marks.push_back(Child->GetBookmark());
        for (const TBookmark& mark : marks) {
            Child->GotoBookmark(mark);
            Step();
        }
    }
    Child->SetRange(Values, Values);
}

// The details carry the master's MasterFields in the leading segments of
// their keys: every detail record with the old values gets the new ones.
void TBDataSet::CascadeKeyUpdate(const std::vector<Variant>& Old) {
    const std::vector<TField*> mf = GetFieldList(FMasterFields);
    for (TBDataSet* child : FChildren) {
        const std::vector<TField*> cf = child->GetFieldList(child->IndexFields());
        ForEachDetailRecord(child, Old, [&] {
            child->Edit();
            for (size_t j = 0; j < mf.size(); ++j) {
                cf[j]->SetValue(mf[j]->Value());
                // A detail field too short for the new value would point at no master.
                if (cf[j]->Value() != mf[j]->Value())
                    DatabaseErrorFmt("Field '%s' of \"%s\" cannot hold the new value %s of '%s'",
                                     {cf[j]->FieldName(), child->BaseName(), VarToStr(mf[j]->Value()),
                                      mf[j]->FieldName()},
                                     child);
            }
            child->Post();
        });
    }
}

void TBDataSet::CascadeDelete() {
    // An empty range would take every record of every detail.
    if (FMasterFields.empty())
        DatabaseError("DeleteChildren needs MasterFields naming the fields the details refer to", this);
    std::vector<Variant> values;
    for (TField* f : GetFieldList(FMasterFields)) values.push_back(f->Value());
    for (TBDataSet* child : FChildren) ForEachDetailRecord(child, values, [child] { child->Delete(); });
}

void TBDataSet::Post() { TDataSet::Post(); }

void TBDataSet::InternalCancel() {
    FreeBlobs();
    FOldRecord.clear();
    FReread = false;
    if (FLocking) FDataFile->Unlock();
}

// The details go first and the record after them, in one engine transaction.
void TBDataSet::InternalDelete() {
    AsDatabaseError([&] {
        UpdateCursorPos();
        const bool cascade = !FChildren.empty() && FDeleteChildren;
        TOwnTransaction transaction(cascade);
        if (cascade) {
            CascadeDelete();
            // The details' files are their own; this one still stands on the record.
        }
        FDataFile->Delete();
        transaction.Commit();
    });
}

void TBDataSet::InternalAddRecord(TRecordBuffer Buffer, bool /*Append*/) {
    AsDatabaseError([&] {
        InternalSetToRecord(Buffer);
        FDataFile->SetDataBuffer(Buffer, FRecordSize);
        FDataFile->Insert();
    });
}

} // namespace btr
