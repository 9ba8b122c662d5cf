// TBDataSet: opening, record buffers, navigation, keys, ranges, search and
// writing whole records.
#include "dataset/btrset.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>

#include "platform/codepage.h"
#include "platform/exceptions.h"
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
    FDataFile->SetFileName(FBaseName);
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
    FBeforeBOF = true;
    FAfterEOF = false;
    FCursorOpen = true;
}

void TBDataSet::InitBufferPointers() {
    SetBookmarkSize(kBookmarkSize);
    // 16-bit sizes must not wrap: refuse a layout that does not fit.
    const size_t total = static_cast<size_t>(FFields->DataSize) + static_cast<size_t>(CalcFieldsSize()) +
                         sizeof(TRecInfo) + kBookmarkSize;
    if (FFields->DataSize < 0 || total > 65535)
        throw EBtrieve(Format("Record buffer of %d bytes for \"%s\" exceeds 65535 bytes", {int(total), FBaseName}));
    FRecordSize = static_cast<uint16_t>(FFields->DataSize);
    FRecInfoOfs = static_cast<uint16_t>(FRecordSize + CalcFieldsSize());
    FBookmarkOfs = static_cast<uint16_t>(FRecInfoOfs + sizeof(TRecInfo));
    FRecBufSize = static_cast<uint16_t>(FBookmarkOfs + kBookmarkSize);
}

void TBDataSet::InternalClose() {
    FBlobFilers.clear();
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
    for (int i = 0; i < FFields->Count(); ++i) {
        const TBField& f = *FFields->Items(i);
        TFieldType type = ftUnknown;
        int size = 0;
        switch (f.FType) {
        case 1: case 8: case 9: case 14: case 15: case 16: type = ftString; size = f.Length; break;
        case 2: type = ftSmallint; break;
        case 3: type = ftInteger; break;
        case 4: case 7: case 10: case 11: case 17: case 21: type = ftFloat; break;
        case 5: type = ftDate; break;
        case 6: type = ftTime; break;
        case 12: type = ftBoolean; break;
        case 13: type = ftWord; break;
        case 18: type = ftBlob; break;
        case 19: type = ftMemo; break;
        case 20: type = ftGraphic; break;
        case 22: type = ftFixedChar; size = 1; break;
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

bool TBDataSet::GetActiveRecBuf(TRecordBuffer& RecBuf) {
    switch (State()) {
    case dsBrowse: case dsInternalCalc: RecBuf = IsEmpty() ? nullptr : ActiveBuffer(); break;
    case dsEdit: case dsInsert: case dsNewValue: RecBuf = ActiveBuffer(); break;
    case dsSetKey: RecBuf = FKeyBuffer.empty() ? nullptr : FKeyBuffer.data(); break;
    case dsCalcFields: RecBuf = CalcBuffer(); break;
    case dsFilter: RecBuf = FFilterBuffer; break;
    case dsOldValue: RecBuf = FOldRecord.empty() ? nullptr : FOldRecord.data(); break;
    default: RecBuf = nullptr; break;
    }
    return RecBuf != nullptr;
}

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

bool TBDataSet::GetRecordByKey(int32_t Op) {
    const int32_t path = FDataFile->KeyPath();
    // A key path the dictionary does not describe would read garbage keys.
    const int start = GetKeyStart(path);
    if (start < 0) DatabaseErrorFmt("Key %d of \"%s\" is not described in the dictionary", {path, FBaseName}, this);
    std::vector<const void*> values;
    for (int i = start; i < FKeys->Count() && FKeys->Items(i)->Number == path; ++i)
        if (const TBField* f = FFields->FindFieldExact(FKeys->Items(i)->Name)) values.push_back(FKeyBuffer.data() + f->BegOfs);
    FDataFile->MakeKey(values);
    FDataFile->SetDataBuffer(FKeyBuffer.data(), FRecordSize);
    FDataFile->Get(Op, 0);
    return FDataFile->Status() == 0;
}

int32_t TBDataSet::CompareVariants(const Variant& V1, const Variant& V2, bool NoCase) {
    if (V1.IsNull()) return V2.IsNull() ? 0 : -1;
    if (V2.IsNull()) return 1;
    if (V1.VarType() == varString) {
        const AnsiString a = Utf8ToAnsi(V1.AsString()), b = Utf8ToAnsi(V2.AsString());
        return NoCase ? KLStrIComp(a.c_str(), b.c_str()) : KLStrComp(a.c_str(), b.c_str());
    }
    const double a = V1.AsDouble(), b = V2.AsDouble();
    if (a > b) return 1;
    if (a == b) return 0;
    return -1; // smaller, or unordered
}

bool TBDataSet::CheckForRange(TRecordBuffer Buffer, bool TestEnd, bool TestStart) {
    if (RangeStart.empty() && RangeEnd.empty()) return true;
    const int start = GetKeyStart(FDataFile->KeyPath());
    if (start < 0) return true;
    FFilterBuffer = Buffer;
    BTR_TEMP_STATE(dsFilter);
    // Lexicographic comparison of the record's key prefix with one bound.
    auto within = [&](const std::vector<Variant>& bound, int outside) {
        for (size_t k = 0; k < bound.size(); ++k) {
            const int i = start + static_cast<int>(k);
            if (i >= FKeys->Count() || FKeys->Items(i)->Number != FDataFile->KeyPath()) break;
            const TBKey& seg = *FKeys->Items(i);
            const int32_t cmp = CompareVariants(FieldByName(seg.Name)->Value(), bound[k], seg.NoCase);
            if (cmp * outside > 0) return false;
            if (cmp != 0) break;
        }
        return true;
    };
    if (TestEnd && !within(RangeEnd, 1)) return false;
    if (TestStart && !within(RangeStart, -1)) return false;
    return true;
}

// ---- navigation -------------------------------------------------------------

bool TBDataSet::AcceptRecord(TRecordBuffer Buffer) {
    if (!Filtered() || !OnFilterRecord) return true;
    FFilterBuffer = Buffer;
    BTR_TEMP_STATE(dsFilter);
    bool accept = true;
    OnFilterRecord(this, accept);
    return accept;
}

void TBDataSet::SeekRangeStart(TRecordBuffer Buffer) {
    struct Restore {
        TBDataSet* ds;
        TRecordBuffer buf;
        ~Restore() { ds->FDataFile->SetDataBuffer(buf, ds->FRecordSize); }
    } restore{this, Buffer};
    const int start = GetKeyStart(FDataFile->KeyPath());
    {
        BTR_TEMP_STATE(dsSetKey);
        ClearKey();
        // Segments without a start value search from their type's smallest
        // value: zero bytes alone would skip negative numbers.
        for (int i = start; start >= 0 && i < FKeys->Count() && FKeys->Items(i)->Number == FDataFile->KeyPath(); ++i) {
            TField* field = FieldByName(FKeys->Items(i)->Name);
            const size_t k = static_cast<size_t>(i - start);
            if (k < RangeStart.size()) {
                field->SetValue(RangeStart[k]);
            } else if (field->FieldNo() > 0) {
                AssignSmallest(field, FFields->Items(field->FieldNo() - 1)->FType);
            }
        }
        GetRecordByKey(9);
    }
    std::memcpy(Buffer, FKeyBuffer.data(), FRecordSize);
}

// Zero bytes are already the smallest value of the unsigned, text, date and
// time types; the signed ones get their most negative value.
void TBDataSet::AssignSmallest(TField* Field, int32_t FType) {
    switch (FType) {
    case 2: Field->SetAsInteger(-32768); break;
    case 3: Field->SetAsInteger(INT32_MIN); break;
    case 4: case 7: case 10: case 11: Field->SetAsFloat(-1.7e308); break;
    case 17: {
        const TBField* f = FFields->FindFieldExact(Field->FieldName());
        const int digits = f ? 2 * f->Length - 1 : 0;
        Field->SetAsFloat(digits > 0 ? 1 - std::pow(10.0, std::min(digits, 300)) : 0);
        break;
    }
    case 21: Field->SetAsFloat(-922337203685477.0); break;
    default: break;
    }
}

void TBDataSet::AssignLargest(TField* Field, int32_t FType) {
    switch (FType) {
    case 1: case 8: case 9: case 14: case 15: case 16:
        Field->SetAsAnsiString(std::string(static_cast<size_t>(Field->Size()), '\xFF'));
        break;
    case 2: Field->SetAsInteger(32767); break;
    case 3: Field->SetAsInteger(2147483647); break;
    case 4: case 7: case 10: case 11: Field->SetAsFloat(1.7e308); break;
    case 5: Field->SetAsDateTime(2920000.0); break;
    case 6: Field->SetAsDateTime(0.999988425925926); break;
    case 12: Field->SetAsBoolean(true); break;
    case 13: Field->SetAsInteger(65535); break;
    case 17: {
        // The largest packed value the field holds: all digits 9.
        const TBField* f = FFields->FindFieldExact(Field->FieldName());
        const int digits = f ? 2 * f->Length - 1 : 0;
        Field->SetAsFloat(digits > 0 ? std::pow(10.0, std::min(digits, 300)) - 1 : 0);
        break;
    }
    case 21: Field->SetAsFloat(922337203685477.0); break; // the largest scaled 64-bit value, in range
    case 22: Field->SetAsAnsiString("\xFF"); break;
    default: break;
    }
}

void TBDataSet::SeekRangeEnd(TRecordBuffer Buffer) {
    struct Restore {
        TBDataSet* ds;
        TRecordBuffer buf;
        ~Restore() { ds->FDataFile->SetDataBuffer(buf, ds->FRecordSize); }
    } restore{this, Buffer};
    const int start = GetKeyStart(FDataFile->KeyPath());
    {
        BTR_TEMP_STATE(dsSetKey);
        for (int i = start; start >= 0 && i < FKeys->Count() && FKeys->Items(i)->Number == FDataFile->KeyPath(); ++i) {
            TField* field = FieldByName(FKeys->Items(i)->Name);
            const size_t k = static_cast<size_t>(i - start);
            if (k < RangeEnd.size()) {
                field->SetValue(RangeEnd[k]);
            } else if (field->FieldNo() > 0) {
                AssignLargest(field, FFields->Items(field->FieldNo() - 1)->FType);
            }
        }
        GetRecordByKey(11);
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
                if (e.Error() != 8 && e.Error() != 43) throw;
                break;
            }
            ok = FDataFile->Status() == 0 && AcceptRecord(Buffer) && CheckForRange(Buffer, true, true);
            break;
        case gmNext:
        case gmPrior: {
            const bool next = GetMode == gmNext;
            if (next ? FAfterEOF : FBeforeBOF) break;
            if (next ? FBeforeBOF : FAfterEOF)
                next ? SeekRangeStart(Buffer) : SeekRangeEnd(Buffer);
            else
                FDataFile->Get(next ? 6 : 7, 0);
            if (FDataFile->Status() == 0 && !CheckForRange(Buffer, !next, next))
                next ? SeekRangeStart(Buffer) : SeekRangeEnd(Buffer);
            if (FDataFile->Status() != 0 || !CheckForRange(Buffer, next, !next)) break;
            for (;;) {
                if (AcceptRecord(Buffer)) {
                    (next ? FBeforeBOF : FAfterEOF) = false;
                    ok = true;
                    break;
                }
                FDataFile->Get(next ? 6 : 7, 0);
                if (FDataFile->Status() != 0 || !CheckForRange(Buffer, next, !next)) break;
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

void TBDataSet::InternalFirst() { FBeforeBOF = true; }
void TBDataSet::InternalLast() { FAfterEOF = true; }

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
    DataEvent(deDataSetChange);
    RangeStart = StartValues;
    RangeEnd = EndValues;
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

bool TBDataSet::FindKey(const std::vector<Variant>& KeyValues, int32_t Op) {
    CheckBrowseMode();
    CursorPosChanged();
    const std::vector<TField*> fields = GetFieldList(FIndexFields);
    if (KeyValues.size() != fields.size()) DatabaseError(LoadResString(res::SIncorrectKeyValues), this);
    bool found = false;
    {
        BTR_TEMP_STATE(dsSetKey);
        // Segments the values do not name start from zero, not from the
        // bytes the previous read left.
        ClearKey();
        for (size_t i = 0; i < fields.size(); ++i) fields[i]->SetValue(KeyValues[i]);
        AsDatabaseError([&] { found = GetRecordByKey(Op); });
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
    auto valueOf = [&](size_t i) { return KeyValues.IsArray() ? KeyValues[i] : KeyValues; };

    // The key that covers the longest leading run of the located fields.
    size_t best = 0;
    int32_t bestKey = -1;
    for (int i = 0; FKeys && i < FKeys->Count() && best < n;) {
        const int32_t number = FKeys->Items(i)->Number;
        size_t count = 0;
        int j = i;
        for (; j < FKeys->Count() && FKeys->Items(j)->Number == number; ++j)
            if (count == static_cast<size_t>(j - i) && count < n && FKeys->Items(j)->Name == fields[count]->FieldName())
                ++count;
        if (count > best) {
            best = count;
            bestKey = number;
        }
        i = j;
    }

    const uint16_t oldPath = FDataFile->KeyPath();
    if (bestKey >= 0) FDataFile->SetKeyPath(static_cast<uint16_t>(bestKey));
    bool result = false;
    struct Finally {
        TBDataSet* ds;
        uint16_t path;
        bool& result;
        ~Finally() {
            ds->FDataFile->SetKeyPath(path);
        }
    } finally{this, oldPath, result};
    {
        ClearKey();
        BTR_TEMP_STATE(dsSetKey);
        for (size_t i = 0; i < n; ++i) fields[i]->SetValue(valueOf(i));
        if (GetRecordByKey(9)) {
            for (;;) {
                bool leadDiffers = false;
                for (size_t i = 0; i < best && !leadDiffers; ++i) leadDiffers = fields[i]->Value() != valueOf(i);
                if (leadDiffers) break;
                bool rest = true;
                for (size_t i = best; i < n && rest; ++i) rest = fields[i]->Value() == valueOf(i);
                if (rest) {
                    result = true;
                    break;
                }
                FDataFile->Get(6, 0);
                if (FDataFile->Status() != 0) break;
            }
        }
    }
    if (result) {
        CopyFoundRecord();
        FBeforeBOF = FAfterEOF = false;
    }
    return result;
}

bool TBDataSet::Locate(std::string_view KeyFields, const Variant& KeyValues, TLocateOptions Options) {
    DoBeforeScroll();
    RangeStart.clear();
    RangeEnd.clear();
    bool found = false;
    AsDatabaseError([&] { found = LocateRecord(KeyFields, KeyValues, Options, true); });
    if (found) {
        Resync({rmExact, rmCenter});
        DataEvent(deDataSetScroll);
        DoAfterScroll();
    }
    return found;
}

Variant TBDataSet::Lookup(std::string_view KeyFields, const Variant& KeyValues, std::string_view ResultFields) {
    Variant result;
    bool found = false;
    AsDatabaseError([&] { found = LocateRecord(KeyFields, KeyValues, {}, false); });
    if (found) {
        struct Back {
            TBDataSet* ds;
            ~Back() {
                try {
                    ds->Refresh();
                } catch (...) {
                    // the found value is still the answer
                }
            }
        } back{this};
        BTR_TEMP_STATE(dsCalcFields);
        GetCalcFields(TempBuffer());
        result = FieldValues(ResultFields);
    }
    return result;
}

// ---- writing ---------------------------------------------------------------------

void TBDataSet::InternalEdit() {
    FBlobsModified = false;
    FOldRecord.assign(FRecBufSize, 0);
    try {
        FDataFile->SetDataBuffer(FOldRecord.data(), FRecordSize);
        FDataFile->GetDirect(FLocking ? kSingleNoWaitLock : 0, FDataFile->GetPosition());
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

void TBDataSet::InternalPost() {
    AsDatabaseError([&] {
        // A conflict is found before any detail is touched.
        if (State() == dsEdit) StandOnEditedRecord();
        CascadeKeyUpdate();
        FOldRecord.clear();
        if (State() == dsEdit && FDataFile->VariableLen()) {
            FlushBlobs(ActiveBuffer());
            // Only the fixed part: the variable part stays as FlushBlobs left it.
            FDataFile->UpdateChunk(0, FRecordSize, ActiveBuffer());
            if (FLocking) FDataFile->Unlock();
        } else {
            FDataFile->SetDataBuffer(ActiveBuffer(), FRecordSize);
            if (State() == dsEdit) {
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
    });
}

// The writes below work on the file's current record. Reading the record
// again would also make the engine forget that the record was read before
// another client changed it, and the post would silently overwrite that
// change; so the record is read again only when the file moved away, and a
// record that changed since the edit began is refused as the engine refuses
// it (80).
void TBDataSet::StandOnEditedRecord() {
    const uint32_t position = BufferPosition(ActiveBuffer());
    try {
        if (FDataFile->GetPosition() == position) return;
    } catch (const EBtrieve& e) {
        if (e.Error() != 8) throw;
    }
    uint8_t* now = ScratchData(FRecordSize);
    FDataFile->SetDataBuffer(now, FRecordSize);
    FDataFile->GetDirect(0, position);
    if (std::memcmp(now, FOldRecord.data(), FRecordSize) != 0) throw EBtrieve(80, 3, FDataFile->FileName());
}

// The details carry the master's MasterFields in the leading segments of
// their keys: when those values change, every detail record with the old ones
// gets the new ones before the master is written.
void TBDataSet::CascadeKeyUpdate() {
    if (FChildren.empty() || State() != dsEdit) return;
    const std::vector<TField*> mf = GetFieldList(FMasterFields);
    bool changed = false;
    for (TField* f : mf) changed = changed || f->OldValue() != f->Value();
    if (!changed) return;
    // Checked for every detail before any is touched, so a mismatch writes nothing.
    for (TBDataSet* child : FChildren)
        if (child->GetFieldList(child->IndexFields()).size() != mf.size())
            DatabaseError(LoadResString(res::SMasterFieldsMismatch), child);
    std::vector<Variant> old;
    for (TField* f : mf) old.push_back(f->OldValue());
    for (TBDataSet* child : FChildren) {
        // A record met again was posted and stayed in the range (a detail
        // field too short to tell the new value from the old): stop rather
        // than loop for ever.
        std::set<uint32_t> posted;
        child->SetRange(old, old);
        while (!child->Eof()) {
            if (!posted.insert(child->BufferPosition(child->ActiveBuffer())).second)
                DatabaseError("The details' fields cannot hold the new MasterFields values", child);
            const std::vector<TField*> cf = child->GetFieldList(child->IndexFields());
            child->Edit();
            for (size_t j = 0; j < mf.size(); ++j) cf[j]->SetValue(mf[j]->Value());
            child->Post();
            child->SetRange(old, old);
        }
    }
}

void TBDataSet::CascadeDelete() {
    if (FChildren.empty() || !FDeleteChildren) return;
    // An empty range would take every record of every detail.
    if (FMasterFields.empty())
        DatabaseError("DeleteChildren needs MasterFields naming the fields the details refer to", this);
    std::vector<Variant> range;
    for (TField* f : GetFieldList(FMasterFields)) range.push_back(f->Value());
    for (TBDataSet* child : FChildren) {
        child->SetRange(range, range);
        while (!child->Eof()) {
            child->Delete();
            child->SetRange(range, range);
        }
    }
}

void TBDataSet::Post() { TDataSet::Post(); }

void TBDataSet::InternalCancel() {
    FreeBlobs();
    FOldRecord.clear();
    if (FLocking) FDataFile->Unlock();
}

void TBDataSet::InternalDelete() {
    AsDatabaseError([&] {
        UpdateCursorPos();
        CascadeDelete();
        // The details' files are their own; this one still stands on the record.
        FDataFile->Delete();
    });
}

void TBDataSet::InternalAddRecord(TRecordBuffer Buffer, bool /*Append*/) {
    AsDatabaseError([&] {
        InternalSetToRecord(Buffer);
        FDataFile->SetDataBuffer(Buffer, FRecordSize);
        FDataFile->Insert();
    });
}

// ---- transactions ------------------------------------------------------------------

namespace {

// Begins without their end on this thread: each holds one acquisition of the
// thread's client.
thread_local int gOpenTransactions = 0;

int16_t TransactionCall(int16_t Op, TClient_ID* Client) {
    int32_t len = 0;
    return BTRV(Op, nullptr, nullptr, len, nullptr, 0, 0, *Client);
}

void EndTransaction(int16_t Op) {
    // Without a begin the releases below would take a file object's acquisition.
    if (gOpenTransactions == 0) DatabaseError("No transaction was started on this thread");
    const int16_t status = TransactionCall(Op, AddClientID());
    --gOpenTransactions;
    FreeClientID();
    FreeClientID();
    if (status != 0) DatabaseErrorFmt(LoadResString(res::STransactionError), {int(status)});
}

} // namespace

void BStartTransaction(int32_t Value) {
    TClient_ID* client = AddClientID();
    ++gOpenTransactions; // held even when the begin fails: a rollback balances it
    const int16_t status = TransactionCall(static_cast<int16_t>(19 + Value), client);
    if (status != 0) DatabaseErrorFmt(LoadResString(res::STransactionError), {int(status)});
}

void BCommit() { EndTransaction(20); }
void BRollback() { EndTransaction(21); }

} // namespace btr
