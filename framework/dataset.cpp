#include "framework/dataset.h"

#include <algorithm>
#include <cstring>

#include "platform/exceptions.h"

namespace btr {

namespace {

bool IsEditState(TDataSetState s) { return s == dsEdit || s == dsInsert; }

bool SameBufferFormat(TFieldType a, TFieldType b) {
    auto isText = [](TFieldType t) { return t == ftString || t == ftFixedChar; };
    return a == b || (isText(a) && isText(b));
}

// Restores a temporary state however the block is left.
class TempState {
public:
    TempState(TDataSet& ds, TDataSetState s, TDataSetState (TDataSet::*set)(TDataSetState),
              void (TDataSet::*restore)(TDataSetState))
        : FDataSet(ds), FRestore(restore), FSaved((ds.*set)(s)) {}
    ~TempState() { (FDataSet.*FRestore)(FSaved); }
    TempState(const TempState&) = delete;
    TempState& operator=(const TempState&) = delete;

private:
    TDataSet& FDataSet;
    void (TDataSet::*FRestore)(TDataSetState);
    TDataSetState FSaved;
};

TempState EnterTempState(TDataSet& ds, TDataSetState s) {
    return TempState(ds, s, &TDataSet::SetTempState, &TDataSet::RestoreState);
}

} // namespace

TDataSet::TDataSet(TComponent* AOwner) : TComponent(AOwner), FFieldDefs(this), FFields(this) {}

TDataSet::~TDataSet() {
    BeginDestroy();
    while (!FDataSources.empty()) FDataSources.back()->SetDataSet(nullptr);
    // Fields owned elsewhere outlive us without a dataset; our own go now,
    // while the members they would touch still exist.
    for (TField* f : FFields.FList) f->FDataSet = nullptr;
    FFields.FList.clear();
    DestroyComponents();
}

// ------------------------------------------------------------ opening

void TDataSet::SetActive(bool Value) {
    if (Value == Active()) return;
    if (Value) {
        DoEvent(BeforeOpen);
        OpenCursor();
        SetState(dsBrowse);
        DoEvent(AfterOpen);
        if (!IsEmpty()) DoAfterScroll();
    } else {
        if (!FDestroyClosing) DoEvent(BeforeClose);
        SetState(dsInactive);
        CloseCursor();
        if (!FDestroyClosing) DoEvent(AfterClose);
    }
}

void TDataSet::OpenCursor() {
    FDefaultFields = FFields.Count() == 0;
    try {
        InternalOpen();
        FInternalOpenComplete = true;
        UpdateBufferCount();
        FBOF = true;
    } catch (...) {
        // What InternalOpen had set up is released by InternalClose.
        try {
            CloseCursor();
        } catch (...) {
        }
        throw;
    }
}

void TDataSet::CloseCursor() {
    FBlockReadSize = 0;
    FInternalOpenComplete = false;
    FreeFieldBuffers();
    ClearBuffers();
    SetBufListSize(0);
    FBufferCount = 0;
    try {
        InternalClose();
    } catch (...) {
        FDefaultFields = false;
        throw;
    }
    FDefaultFields = false;
}

void TDataSet::CloseOnDestroy() noexcept {
    FDestroyClosing = true;
    try {
        SetActive(false);
    } catch (...) {
        try {
            InternalHandleException();
        } catch (...) {
        }
    }
}

void TDataSet::CheckActive() const {
    if (!Active()) DatabaseError(SDataSetClosed, this);
}

void TDataSet::CheckInactive() const {
    if (Active()) DatabaseError(SDataSetOpen, this);
}

void TDataSet::CheckCanModify() {
    if (!CanModify()) DatabaseError(SDataSetReadOnly, this);
}

void TDataSet::SetState(TDataSetState Value) {
    if (FState == Value) return;
    FState = Value;
    FModified = false;
    DataEvent(deUpdateState);
}

TDataSetState TDataSet::SetTempState(TDataSetState Value) {
    const TDataSetState saved = FState;
    FState = Value;
    ++FDisableCount;
    return saved;
}

void TDataSet::RestoreState(TDataSetState Value) {
    FState = Value;
    --FDisableCount;
}

void TDataSet::SetFiltered(bool Value) {
    if (Value == FFiltered) return;
    FFiltered = Value;
    if (Active()) First();
}

void TDataSet::SetBlockReadSize(int Value) {
    if (Value > 0) {
        CheckActive();
        SetState(dsBlockRead);
    } else if (FState == dsBlockRead) {
        SetState(dsBrowse);
    }
    FBlockReadSize = Value > 0 ? Value : 0;
}

// ------------------------------------------------------- the buffer ring

void TDataSet::SetBufListSize(int Value) {
    const size_t n = static_cast<size_t>(Value);
    while (FBuffers.size() < n) {
        FBuffers.push_back(nullptr);
        FBuffers.back() = AllocRecordBuffer();
    }
    while (FBuffers.size() > n) {
        TRecordBuffer b = FBuffers.back();
        FBuffers.pop_back();
        FreeRecordBuffer(b);
    }
}

void TDataSet::UpdateBufferCount() {
    if (!IsCursorOpen()) return;
    int count = 1;
    for (TDataSource* s : FDataSources)
        for (TDataLink* l : s->FLinks) count = std::max(count, l->FBufferCount);
    SetBufferCount(count);
}

void TDataSet::SetBufferCount(int Value) {
    if (Value < 1) Value = 1;
    if (Value == FBufferCount) return;
    if (Value < FBufferCount && FRecordCount > 0) {
        // Keep the current record: drop rows from the front when it would
        // fall off the end.
        const int delta = std::max(0, FActiveRecord - (Value - 1));
        for (int i = 0; i < Value && i + delta < static_cast<int>(FBuffers.size()); ++i) MoveBuffer(i + delta, i);
        FActiveRecord -= delta;
        FRecordCount = std::min(FRecordCount - delta, Value);
        if (FCurrentRecord >= 0) FCurrentRecord -= delta;
        if (FCurrentRecord < 0 || FCurrentRecord >= FRecordCount) FCurrentRecord = -1;
        for (TDataSource* s : FDataSources)
            for (TDataLink* l : s->FLinks) l->FFirstRecord = std::max(0, l->FFirstRecord - delta);
    }
    SetBufListSize(Value + 1);
    FBufferCount = Value;
    GetNextRecords();
    const int prior = GetPriorRecords();
    for (TDataSource* s : FDataSources)
        for (TDataLink* l : s->FLinks) l->FFirstRecord += prior;
}

void TDataSet::ClearBuffers() {
    FRecordCount = 0;
    FActiveRecord = 0;
    FCurrentRecord = -1;
    FBOF = true;
    FEOF = true;
}

void TDataSet::ActivateBuffers() {
    FRecordCount = 1;
    FActiveRecord = 0;
    FCurrentRecord = 0;
    FBOF = false;
    FEOF = false;
}

void TDataSet::MoveBuffer(int CurIndex, int NewIndex) {
    if (CurIndex == NewIndex) return;
    auto first = FBuffers.begin();
    if (CurIndex < NewIndex)
        std::rotate(first + CurIndex, first + CurIndex + 1, first + NewIndex + 1);
    else
        std::rotate(first + NewIndex, first + CurIndex, first + CurIndex + 1);
}

TGetResult TDataSet::Fetch(TRecordBuffer Buffer, TGetMode GetMode, bool DoCheck) {
    ++FFetchDepth;
    TGetResult r;
    try {
        r = GetRecord(Buffer, GetMode, DoCheck);
    } catch (...) {
        --FFetchDepth;
        throw;
    }
    --FFetchDepth;
    return r;
}

// Puts the dataset's cursor on the record of a buffer.
void TDataSet::SetCurrentRecord(int Index) {
    if (FCurrentRecord == Index) return;
    TRecordBuffer b = FBuffers[static_cast<size_t>(Index)];
    switch (GetBookmarkFlag(b)) {
    case bfCurrent:
    case bfInserted: InternalSetToRecord(b); break;
    case bfBOF: InternalFirst(); break;
    case bfEOF: InternalLast(); break;
    }
    FCurrentRecord = Index;
}

void TDataSet::UpdateCursorPos() {
    if (FRecordCount > 0) SetCurrentRecord(FActiveRecord);
}

bool TDataSet::GetNextRecord() {
    TGetMode mode = gmNext;
    if (FRecordCount > 0) {
        SetCurrentRecord(FRecordCount - 1);
        // An inserted row at the end of the ring stands for the record it
        // was inserted before: that record comes next.
        if (FState == dsInsert && FCurrentRecord == FActiveRecord && GetBookmarkFlag(ActiveBuffer()) == bfInserted)
            mode = gmCurrent;
    }
    if (Fetch(FBuffers[static_cast<size_t>(FRecordCount)], mode, true) != grOK) {
        CursorPosChanged();
        return false;
    }
    if (FRecordCount == 0)
        ActivateBuffers();
    else if (FRecordCount < FBufferCount)
        ++FRecordCount;
    else
        MoveBuffer(0, FRecordCount);
    FCurrentRecord = FRecordCount - 1;
    return true;
}

bool TDataSet::GetPriorRecord() {
    if (FRecordCount > 0) SetCurrentRecord(0);
    if (Fetch(FBuffers[static_cast<size_t>(FRecordCount)], gmPrior, true) != grOK) {
        CursorPosChanged();
        return false;
    }
    if (FRecordCount == 0) {
        ActivateBuffers();
    } else {
        MoveBuffer(FRecordCount, 0);
        if (FRecordCount < FBufferCount) {
            ++FRecordCount;
            ++FActiveRecord;
        }
    }
    FCurrentRecord = 0;
    return true;
}

int TDataSet::GetNextRecords() {
    int n = 0;
    while (FRecordCount < FBufferCount && GetNextRecord()) ++n;
    return n;
}

int TDataSet::GetPriorRecords() {
    int n = 0;
    while (FRecordCount < FBufferCount && GetPriorRecord()) ++n;
    return n;
}

// ------------------------------------------------------------ navigation

void TDataSet::First() {
    CheckBrowseMode();
    DoBeforeScroll();
    ClearBuffers();
    try {
        InternalFirst();
        GetNextRecord();
        GetNextRecords();
    } catch (...) {
        FBOF = true;
        DataEvent(deDataSetChange);
        throw;
    }
    FBOF = true;
    DataEvent(deDataSetChange);
    DoAfterScroll();
}

void TDataSet::Last() {
    CheckBrowseMode();
    DoBeforeScroll();
    ClearBuffers();
    try {
        InternalLast();
        GetPriorRecord();
        GetPriorRecords();
    } catch (...) {
        FEOF = true;
        DataEvent(deDataSetChange);
        throw;
    }
    FEOF = true;
    DataEvent(deDataSetChange);
    DoAfterScroll();
}

int TDataSet::MoveBy(int Distance) {
    CheckBrowseMode();
    int moved = 0;
    if (!((Distance > 0 && !FEOF) || (Distance < 0 && !FBOF))) return 0;
    DoBeforeScroll();
    FBOF = false;
    FEOF = false;
    int shift = 0;  // how far the buffers moved within the ring
    try {
        for (; Distance > 0; --Distance, ++moved) {
            if (FActiveRecord < FRecordCount - 1) {
                ++FActiveRecord;
                continue;
            }
            const bool full = FRecordCount >= FBufferCount;
            if (!GetNextRecord()) {
                FEOF = true;
                break;
            }
            if (full)
                --shift;
            else
                FActiveRecord = FRecordCount - 1;
        }
        for (; Distance < 0; ++Distance, --moved) {
            if (FActiveRecord > 0) {
                --FActiveRecord;
                continue;
            }
            if (!GetPriorRecord()) {
                FBOF = true;
                break;
            }
            ++shift;
            FActiveRecord = 0;
        }
    } catch (...) {
        DataEvent(deDataSetScroll, shift);
        throw;
    }
    DataEvent(deDataSetScroll, shift);
    DoAfterScroll();
    return moved;
}

void TDataSet::Resync(TResyncMode Mode) {
    if (FBuffers.empty()) return;
    TRecordBuffer spare = FBuffers[static_cast<size_t>(FRecordCount)];
    if (Mode.Contains(rmExact)) {
        CursorPosChanged();
        if (Fetch(spare, gmCurrent, true) != grOK) DatabaseError(SRecordNotFound, this);
    } else if (Fetch(spare, gmCurrent, false) != grOK && Fetch(spare, gmNext, false) != grOK &&
               Fetch(spare, gmPrior, false) != grOK) {
        ClearBuffers();
        DataEvent(deDataSetChange);
        return;
    }
    int before = Mode.Contains(rmCenter) ? (FBufferCount - 1) / 2 : FActiveRecord;
    MoveBuffer(FRecordCount, 0);
    ActivateBuffers();
    try {
        while (before > 0 && GetPriorRecord()) --before;
        GetNextRecords();
        GetPriorRecords();
    } catch (...) {
        DataEvent(deDataSetChange);
        throw;
    }
    DataEvent(deDataSetChange);
}

void TDataSet::Refresh() {
    DoEvent(BeforeRefresh);
    CheckBrowseMode();
    UpdateCursorPos();
    Resync({});
    DoEvent(AfterRefresh);
}

void TDataSet::CheckBrowseMode() {
    CheckActive();
    DataEvent(deCheckBrowseMode);
    switch (FState) {
    case dsEdit:
    case dsInsert:
        UpdateRecord();
        if (FModified)
            Post();
        else
            Cancel();
        break;
    case dsSetKey: Post(); break;
    default: break;
    }
}

void TDataSet::SetRecNo(int) {}
int TDataSet::GetRecNo() { return -1; }
int TDataSet::GetRecordCount() { return -1; }
bool TDataSet::IsSequenced() { return true; }
bool TDataSet::GetCanModify() { return true; }
void TDataSet::ClearCalcFields(TRecordBuffer) {}
void TDataSet::InternalCancel() {}
void TDataSet::InternalEdit() {}
void TDataSet::InternalInsert() {}
bool TDataSet::GetFieldData(TField*, void*) { return false; }
std::unique_ptr<TStream> TDataSet::CreateBlobStream(TField*, TBlobStreamMode) { return nullptr; }

void TDataSet::SetFilterText(const std::string& Value) {
    FFilterText = Value;
    if (Active() && FFiltered) First();
}

// --------------------------------------------------------------- editing

void TDataSet::CheckOperation(void (TDataSet::*Operation)(), const TDataSetErrorEvent& ErrorEvent) {
    for (;;) {
        TDataAction action = daFail;
        try {
            UpdateCursorPos();
            (this->*Operation)();
            return;
        } catch (EDatabaseError& e) {
            if (ErrorEvent) ErrorEvent(this, e, action);
            if (action == daFail) throw;
        } catch (EAbort&) {
            throw;
        } catch (Exception& e) {
            // Other errors (an engine's) reach the handler as a database
            // error with their text; failing passes the original on.
            if (!ErrorEvent) throw;
            EDatabaseError wrapped(e.Message());
            ErrorEvent(this, wrapped, action);
            if (action == daFail) throw;
        }
        if (action == daAbort) Abort();
    }
}

void TDataSet::InitRecord(TRecordBuffer Buffer) {
    InternalInitRecord(Buffer);
    ClearCalcFields(Buffer);
    SetBookmarkFlag(Buffer, bfInserted);
}

void TDataSet::FreeFieldBuffers() {
    for (TField* f : FFields) f->FreeBuffers();
}

void TDataSet::Edit() {
    if (IsEditState(FState)) return;
    if (FRecordCount == 0) return Insert();
    CheckBrowseMode();
    CheckCanModify();
    DoEvent(BeforeEdit);
    CheckOperation(&TDataSet::InternalEdit, OnEditError);
    GetCalcFields(ActiveBuffer());
    SetState(dsEdit);
    DataEvent(deRecordChange);
    DoEvent(AfterEdit);
}

void TDataSet::BeginInsertAppend() {
    CheckBrowseMode();
    CheckCanModify();
    DoEvent(BeforeInsert);
    DoBeforeScroll();
}

void TDataSet::EndInsertAppend() {
    SetState(dsInsert);
    try {
        DoEvent(OnNewRecord);
    } catch (...) {
        UpdateCursorPos();
        InternalCancel();
        FreeFieldBuffers();
        SetState(dsBrowse);
        Resync({});
        throw;
    }
    FModified = false;
    DataEvent(deDataSetChange);
    DoEvent(AfterInsert);
    DoAfterScroll();
}

void TDataSet::Insert() {
    BeginInsertAppend();
    const TBookmark oldCurrent = GetBookmark();
    MoveBuffer(FRecordCount, FActiveRecord);
    TRecordBuffer b = ActiveBuffer();
    InitRecord(b);
    if (FRecordCount == 0 || oldCurrent.empty())
        SetBookmarkFlag(b, bfBOF);
    else
        SetBookmarkData(b, oldCurrent.data());
    if (FRecordCount < FBufferCount) ++FRecordCount;
    try {
        InternalInsert();
    } catch (...) {
        CursorPosChanged();
        Resync({});
        throw;
    }
    EndInsertAppend();
}

void TDataSet::Append() {
    BeginInsertAppend();
    ClearBuffers();
    TRecordBuffer b = FBuffers[0];
    InitRecord(b);
    SetBookmarkFlag(b, bfEOF);
    FRecordCount = 1;
    FBOF = false;
    GetPriorRecords();
    try {
        InternalInsert();
    } catch (...) {
        CursorPosChanged();
        Resync({});
        throw;
    }
    EndInsertAppend();
}

void TDataSet::UpdateRecord() {
    if (!IsEditState(FState) && FState != dsSetKey) DatabaseError(SNotEditing, this);
    DataEvent(deUpdateRecord);
}

void TDataSet::CheckRequiredFields() {
    for (TField* f : FFields)
        if (f->Required() && !f->ReadOnly() && f->FieldKind() == fkData && f->IsNull())
            DatabaseErrorFmt(SFieldRequired, {f->DisplayName()});
}

void TDataSet::Post() {
    UpdateRecord();
    if (FState == dsSetKey) {
        SetState(dsBrowse);
        return;
    }
    DataEvent(deCheckBrowseMode);
    DoEvent(BeforePost);
    CheckRequiredFields();
    CheckOperation(&TDataSet::InternalPost, OnPostError);
    FreeFieldBuffers();
    SetState(dsBrowse);
    Resync({});
    DoEvent(AfterPost);
}

void TDataSet::Cancel() {
    if (FState == dsSetKey) {
        SetState(dsBrowse);
        return;
    }
    if (!IsEditState(FState)) return;
    DataEvent(deCheckBrowseMode);
    DoEvent(BeforeCancel);
    const bool scroll = FState == dsInsert;
    if (scroll) DoBeforeScroll();
    UpdateCursorPos();
    InternalCancel();
    FreeFieldBuffers();
    SetState(dsBrowse);
    Resync({});
    DoEvent(AfterCancel);
    if (scroll) DoAfterScroll();
}

void TDataSet::Delete() {
    CheckActive();
    if (FState == dsInsert || FState == dsSetKey) return Cancel();
    if (FRecordCount == 0) DatabaseError(SDataSetEmpty, this);
    DataEvent(deCheckBrowseMode);
    DoEvent(BeforeDelete);
    DoBeforeScroll();
    CheckOperation(&TDataSet::InternalDelete, OnDeleteError);
    FreeFieldBuffers();
    SetState(dsBrowse);
    Resync({});
    DoEvent(AfterDelete);
    DoAfterScroll();
}

void TDataSet::SetFields(const std::vector<Variant>& Values) {
    if (Values.size() > static_cast<size_t>(FFields.Count())) DatabaseError(SFieldIndexError, this);
    for (size_t i = 0; i < Values.size(); ++i)
        if (!Values[i].IsNull()) FFields.FList[i]->SetValue(Values[i]);
}

void TDataSet::ClearFields() {
    if (!IsEditState(FState)) DatabaseError(SNotEditing, this);
    DataEvent(deCheckBrowseMode);
    InternalInitRecord(ActiveBuffer());
    if (FState != dsSetKey) GetCalcFields(ActiveBuffer());
    DataEvent(deRecordChange);
}

void TDataSet::AddRecord(const std::vector<Variant>& Values, bool Append) {
    BeginInsertAppend();
    if (!Append) UpdateCursorPos();
    const TBookmark oldCurrent = Append ? TBookmark() : GetBookmark();
    DisableControls();
    try {
        MoveBuffer(FRecordCount, FActiveRecord);
        TRecordBuffer b = ActiveBuffer();
        try {
            InitRecord(b);
            if (Append)
                SetBookmarkFlag(b, bfEOF);
            else if (!oldCurrent.empty())
                SetBookmarkData(b, oldCurrent.data());
            else
                SetBookmarkFlag(b, bfBOF);
            FState = dsInsert;
            try {
                DoEvent(OnNewRecord);
                DoEvent(AfterInsert);
                SetFields(Values);
                DoEvent(BeforePost);
                CheckRequiredFields();
                InternalAddRecord(b, Append);
            } catch (...) {
                FreeFieldBuffers();
                FState = dsBrowse;
                FModified = false;
                throw;
            }
            FreeFieldBuffers();
            FState = dsBrowse;
            FModified = false;
        } catch (...) {
            MoveBuffer(FActiveRecord, FRecordCount);
            CursorPosChanged();
            throw;
        }
        Resync({});
        DoEvent(AfterPost);
        DoAfterScroll();
    } catch (...) {
        EnableControls();
        throw;
    }
    EnableControls();
}

// ---------------------------------------------------- calculated fields

void TDataSet::GetCalcFields(TRecordBuffer Buffer) {
    // Readers in the calculate-fields state find the buffer here even when
    // there is nothing to calculate.
    FCalcBuffer = Buffer;
    if (FCalcFieldsSize <= 0) return;
    auto guard = EnterTempState(*this, dsCalcFields);
    CalculateFields(Buffer);
}

void TDataSet::CalculateFields(TRecordBuffer Buffer) {
    FCalcBuffer = Buffer;
    if (FState != dsInternalCalc) {
        ClearCalcFields(Buffer);
        for (TField* f : FFields)
            if (f->FieldKind() == fkLookup) f->CalcLookupValue();
    }
    DoEvent(OnCalcFields);
}

void TDataSet::UpdateCalcFields() {
    if (FAutoCalcFields && ActiveBuffer()) GetCalcFields(ActiveBuffer());
}

// ---------------------------------------------------------------- fields

void TDataSet::InitFieldDefs() {
    InternalInitFieldDefs();
    FFieldDefs.SetUpdated(true);
}

void TDataSet::CreateFields() {
    for (int i = 0; i < FFieldDefs.Count(); ++i) {
        const TFieldDef& d = FFieldDefs[i];
        if (d.DataType() != ftUnknown) d.CreateField(this);
    }
}

void TDataSet::DestroyFields() {
    const std::vector<TField*> fields = FFields.FList;
    for (TField* f : fields) delete f;
}

void TDataSet::BindFields(bool Binding) {
    FCalcFieldsSize = 0;
    for (TField* f : FFields) {
        if (!Binding) {
            f->FFieldNo = 0;
            continue;
        }
        if (f->FFieldKind == fkCalculated || f->FFieldKind == fkLookup) {
            if (f->FFieldKind == fkLookup &&
                (!f->FLookupDataSet || f->FKeyFields.empty() || f->FLookupKeyFields.empty() || f->FLookupResultField.empty()))
                DatabaseErrorFmt(SLookupInfoError, {f->DisplayName()}, this);
            f->FFieldNo = -1;
            f->FOffset = FCalcFieldsSize;
            FCalcFieldsSize += f->DataSize() + 1;
            continue;
        }
        const int i = FFieldDefs.IndexOf(f->FieldName());
        if (i < 0) DatabaseErrorFmt(SFieldNotFound, {f->DisplayName()}, this);
        const TFieldDef& d = FFieldDefs[i];
        if (!SameBufferFormat(f->DataType(), d.DataType()))
            DatabaseErrorFmt(SFieldTypeMismatch, {f->DisplayName(), FieldTypeName(f->DataType()), FieldTypeName(d.DataType())}, this);
        if ((d.DataType() == ftString || d.DataType() == ftFixedChar) && d.Size() != f->Size())
            DatabaseErrorFmt(SFieldSizeMismatch, {f->DisplayName(), d.Size(), f->Size()}, this);
        f->FFieldNo = d.FieldNo();
    }
    if (Binding)
        for (TField* f : FFields)
            if (f->FFieldKind == fkLookup) GetFieldList(f->FKeyFields);  // the key fields must exist
}

TField* TDataSet::FieldByName(std::string_view FieldName) const { return FFields.FieldByName(FieldName); }

void TDataSet::GetFieldList(std::vector<TField*>& List, std::string_view FieldNames) const {
    size_t pos = 0;
    while (pos < FieldNames.size()) List.push_back(FieldByName(ExtractFieldName(FieldNames, pos)));
}

std::vector<TField*> TDataSet::GetFieldList(std::string_view FieldNames) const {
    std::vector<TField*> list;
    GetFieldList(list, FieldNames);
    return list;
}

std::vector<std::string> TDataSet::GetFieldNames() const {
    std::vector<std::string> names;
    for (TField* f : FFields) names.push_back(f->FieldName());
    return names;
}

Variant TDataSet::FieldValues(std::string_view FieldNames) const {
    const auto list = GetFieldList(FieldNames);
    if (list.empty()) DatabaseErrorFmt(SFieldNotFound, {FieldNames}, this);
    if (list.size() == 1) return list[0]->Value();
    std::vector<Variant> values;
    values.reserve(list.size());
    for (TField* f : list) values.push_back(f->Value());
    return VarArrayOf(std::move(values));
}

void TDataSet::SetFieldValues(std::string_view FieldNames, const Variant& Values) {
    const auto list = GetFieldList(FieldNames);
    if (list.empty()) DatabaseErrorFmt(SFieldNotFound, {FieldNames}, this);
    if (list.size() == 1 && !Values.IsArray()) return list[0]->SetValue(Values);
    if (!Values.IsArray() || Values.ArrayCount() != list.size())
        DatabaseErrorFmt(SKeyValuesMismatch, {static_cast<int>(Values.IsArray() ? Values.ArrayCount() : 1),
                                              static_cast<int>(list.size())}, this);
    for (size_t i = 0; i < list.size(); ++i) list[i]->SetValue(Values[i]);
}

Variant TDataSet::GetStateFieldValue(TDataSetState State, const TField* Field) const {
    if (Field->FieldKind() != fkData && Field->FieldKind() != fkInternalCalc) return {};
    auto guard = EnterTempState(const_cast<TDataSet&>(*this), State);
    return Field->Value();
}

void TDataSet::SetStateFieldValue(TDataSetState State, TField* Field, const Variant& Value) {
    if (!IsEditState(FState)) DatabaseError(SNotEditing, this);
    {
        auto guard = EnterTempState(*this, State);
        Field->SetValue(Value);
    }
    DataEvent(deFieldChange, Field);
}

// ------------------------------------------------------------- bookmarks

TBookmark TDataSet::GetBookmark() {
    const bool available = (FState == dsBrowse || IsEditState(FState)) && !IsEmpty() && FBookmarkSize > 0 &&
                           GetBookmarkFlag(ActiveBuffer()) == bfCurrent;
    if (!available) return {};
    TBookmark b(static_cast<size_t>(FBookmarkSize));
    GetBookmarkData(ActiveBuffer(), b.data());
    return b;
}

void TDataSet::GotoBookmark(const TBookmark& Bookmark) {
    if (Bookmark.empty()) return;
    if (Bookmark.size() != static_cast<size_t>(FBookmarkSize)) DatabaseError(SBookmarkInvalid, this);
    CheckBrowseMode();
    DoBeforeScroll();
    InternalGotoBookmark(Bookmark.data());
    Resync({rmExact, rmCenter});
    DoAfterScroll();
}

bool TDataSet::BookmarkValid(const TBookmark& Bookmark) {
    if (!Active() || Bookmark.empty() || Bookmark.size() != static_cast<size_t>(FBookmarkSize) || FBuffers.empty())
        return false;
    bool valid = false;
    try {
        InternalGotoBookmark(Bookmark.data());
        valid = Fetch(TempBuffer(), gmCurrent, false) == grOK;
    } catch (const Exception&) {
        valid = false;
    }
    CursorPosChanged();
    return valid;
}

int TDataSet::CompareBookmarks(const uint8_t* Bookmark1, const uint8_t* Bookmark2) {
    if (!Bookmark1 || !Bookmark2) return (Bookmark1 != nullptr) - (Bookmark2 != nullptr);
    const int c = std::memcmp(Bookmark1, Bookmark2, static_cast<size_t>(FBookmarkSize));
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

// -------------------------------------------------------------- searching

namespace {

bool Matches(const TField* f, const Variant& value, TLocateOptions options) {
    if (value.IsNull()) return f->IsNull();
    if (f->IsNull()) return false;
    const bool text = f->DataType() == ftString || f->DataType() == ftFixedChar || f->DataType() == ftMemo;
    if (!text || options.Empty()) return f->Value() == value;
    AnsiString have = Utf8ToAnsi(f->AsString()), want = Utf8ToAnsi(VarToStr(value));
    if (options.Contains(loCaseInsensitive)) {
        have = AnsiUpperCase(have);
        want = AnsiUpperCase(want);
    }
    if (options.Contains(loPartialKey)) return have.compare(0, want.size(), want) == 0;
    return have == want;
}

} // namespace

bool TDataSet::ScanFor(std::string_view KeyFields, const Variant& KeyValues, TLocateOptions Options) {
    CheckActive();
    const auto fields = GetFieldList(KeyFields);
    if (fields.empty()) DatabaseErrorFmt(SFieldNotFound, {KeyFields}, this);
    std::vector<Variant> values;
    if (fields.size() == 1 && !KeyValues.IsArray())
        values.push_back(KeyValues);
    else if (KeyValues.IsArray() && KeyValues.ArrayCount() == fields.size())
        values = KeyValues.AsArray();
    else
        DatabaseErrorFmt(SKeyValuesMismatch, {static_cast<int>(KeyValues.IsArray() ? KeyValues.ArrayCount() : 1),
                                              static_cast<int>(fields.size())}, this);
    // A lookup cycle that comes back to a dataset in the middle of a fetch
    // finds nothing rather than moving that dataset's cursor.
    if (FFetchDepth > 0 || FBuffers.empty()) return false;
    CursorPosChanged();
    InternalFirst();
    TRecordBuffer buffer = TempBuffer();
    while (Fetch(buffer, gmNext, true) == grOK) {
        auto guard = EnterTempState(*this, dsCalcFields);
        FCalcBuffer = buffer;
        bool all = true;
        for (size_t i = 0; all && i < fields.size(); ++i) all = Matches(fields[i], values[i], Options);
        if (all) return true;
    }
    return false;
}

bool TDataSet::Locate(std::string_view KeyFields, const Variant& KeyValues, TLocateOptions Options) {
    CheckBrowseMode();
    DoBeforeScroll();
    const bool found = ScanFor(KeyFields, KeyValues, Options);
    if (found) {
        Resync({rmExact, rmCenter});
        DoAfterScroll();
    }
    return found;
}

Variant TDataSet::Lookup(std::string_view KeyFields, const Variant& KeyValues, std::string_view ResultFields) {
    Variant result;
    if (ScanFor(KeyFields, KeyValues, {})) {
        auto guard = EnterTempState(*this, dsCalcFields);
        FCalcBuffer = TempBuffer();
        result = FieldValues(ResultFields);
    }
    CursorPosChanged();
    return result;
}

// ---------------------------------------------------------- notifications

void TDataSet::DisableControls() {
    if (FDisableCount == 0) {
        FDisableState = FState;
        FEnableEvent = deDataSetChange;
    }
    ++FDisableCount;
}

void TDataSet::EnableControls() {
    if (FDisableCount == 0) return;
    if (--FDisableCount != 0) return;
    if (FDisableState != FState) DataEvent(deUpdateState);
    if (FDisableState != dsInactive && FState != dsInactive) DataEvent(FEnableEvent);
}

void TDataSet::DataEvent(TDataEvent Event, intptr_t Info) {
    TField* changed = Event == deFieldChange ? reinterpret_cast<TField*>(Info) : nullptr;
    // Only a user's edit marks the record modified and recalculates; key
    // buffers, filters and calculations write fields too.
    const bool userEdit = IsEditState(FState) || FState == dsNewValue;
    if (changed && userEdit) {
        if (changed->FieldKind() == fkData || changed->FieldKind() == fkInternalCalc) SetModified(true);
        UpdateCalcFields();
    }
    if (!ControlsDisabled() && FState != dsBlockRead) {
        const std::vector<TDataSource*> sources = FDataSources;
        for (TDataSource* s : sources) s->DataEvent(Event, Info);
    } else if ((Event == deUpdateState && FState == dsInactive) || Event == deLayoutChange) {
        FEnableEvent = deLayoutChange;
    }
    if (changed && userEdit) changed->Change();
}

bool TDataSet::IsLinkedTo(const TDataSource* DataSource) const {
    return std::find(FDataSources.begin(), FDataSources.end(), DataSource) != FDataSources.end();
}

void TDataSet::AddDataSource(TDataSource* Source) {
    FDataSources.push_back(Source);
    if (Active()) UpdateBufferCount();
}

void TDataSet::RemoveDataSource(TDataSource* Source) {
    FDataSources.erase(std::remove(FDataSources.begin(), FDataSources.end(), Source), FDataSources.end());
    if (!Destroying() && Active()) UpdateBufferCount();
}

} // namespace btr
