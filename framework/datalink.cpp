#include "framework/dataset.h"

#include <algorithm>

namespace btr {

// ------------------------------------------------------------ TDataSource

TDataSource::TDataSource(TComponent* AOwner) : TComponent(AOwner) {}

TDataSource::~TDataSource() {
    BeginDestroy();
    SetDataSet(nullptr);
    for (TDataLink* l : FLinks) l->FDataSource = nullptr;
    FLinks.clear();
}

void TDataSource::SetDataSet(TDataSet* Value) {
    if (Value == FDataSet) return;
    if (FDataSet) FDataSet->RemoveDataSource(this);
    FDataSet = Value;
    if (Value) Value->AddDataSource(this);
    NotifyState();
}

void TDataSource::SetEnabled(bool Value) {
    if (Value == FEnabled) return;
    FEnabled = Value;
    NotifyState();
}

void TDataSource::Edit() {
    if (FAutoEdit && FState == dsBrowse && FDataSet) FDataSet->Edit();
}

void TDataSource::NotifyLinks(TDataEvent Event, intptr_t Info) {
    // A link may leave (or join) while it is told.
    const std::vector<TDataLink*> links = FLinks;
    for (TDataLink* l : links)
        if (std::find(FLinks.begin(), FLinks.end(), l) != FLinks.end()) l->DataEvent(Event, Info);
}

void TDataSource::NotifyState() {
    const TDataSetState state = FEnabled && FDataSet ? FDataSet->State() : dsInactive;
    if (state == FState) return;
    const TDataSetState prior = FState;
    FState = state;
    NotifyLinks(deUpdateState, 0);
    if (Destroying()) return;
    if (OnStateChange) OnStateChange(this);
    if (prior == dsInactive && OnDataChange) OnDataChange(this, nullptr);
}

void TDataSource::DataEvent(TDataEvent Event, intptr_t Info) {
    if (Event == deUpdateState) return NotifyState();
    if (FState == dsInactive) return;
    NotifyLinks(Event, Info);
    switch (Event) {
    case deFieldChange:
    case deRecordChange:
        if (OnDataChange) OnDataChange(this, reinterpret_cast<TField*>(Info));
        break;
    case deDataSetChange:
    case deDataSetScroll:
    case deLayoutChange:
        if (OnDataChange) OnDataChange(this, nullptr);
        break;
    case deUpdateRecord:
        if (OnUpdateData) OnUpdateData(this);
        break;
    default: break;
    }
}

// -------------------------------------------------------------- TDataLink

TDataLink::~TDataLink() {
    if (!FDataSource) return;
    auto& links = FDataSource->FLinks;
    links.erase(std::remove(links.begin(), links.end(), this), links.end());
    if (TDataSet* ds = FDataSource->FDataSet; ds && !ds->Destroying() && ds->Active()) ds->UpdateBufferCount();
}

void TDataLink::SetDataSource(TDataSource* Value) {
    if (Value == FDataSource) return;
    if (FDataSource) {
        TDataSource* old = FDataSource;
        auto& links = old->FLinks;
        links.erase(std::remove(links.begin(), links.end(), this), links.end());
        FDataSource = nullptr;
        if (old->FDataSet && old->FDataSet->Active()) old->FDataSet->UpdateBufferCount();
    }
    FDataSource = Value;
    if (Value) {
        Value->FLinks.push_back(this);
        if (Value->FDataSet && Value->FDataSet->Active()) Value->FDataSet->UpdateBufferCount();
    }
    UpdateState();
}

TDataSet* TDataLink::DataSet() const { return FDataSource ? FDataSource->DataSet() : nullptr; }

void TDataLink::SetReadOnly(bool Value) {
    if (Value == FReadOnly) return;
    FReadOnly = Value;
    UpdateState();
}

void TDataLink::SetBufferCount(int Value) {
    if (Value < 1) Value = 1;
    if (Value == FBufferCount) return;
    FBufferCount = Value;
    TDataSet* ds = DataSet();
    if (ds && ds->Active()) {
        ds->UpdateBufferCount();
        if (FActive) UpdateRange();
    }
}

void TDataLink::UpdateState() {
    const bool active = FDataSource && FDataSource->Enabled() && FDataSource->State() != dsInactive;
    if (active != FActive) SetActive(active);
    const TDataSetState s = active ? FDataSource->State() : dsInactive;
    SetEditing(!FReadOnly && (s == dsEdit || s == dsInsert || s == dsSetKey));
}

void TDataLink::SetActive(bool Value) {
    FActive = Value;
    if (Value)
        UpdateRange();
    else
        FFirstRecord = 0;
    ActiveChanged();
}

void TDataLink::SetEditing(bool Value) {
    if (Value == FEditing) return;
    FEditing = Value;
    EditingChanged();
}

void TDataLink::UpdateRange() {
    const TDataSet* ds = DataSet();
    if (!ds) return;
    const int active = ds->FActiveRecord;
    const int lowest = std::max(0, active - FBufferCount + 1);
    const int highest = std::min(std::max(0, ds->FBufferCount - FBufferCount), active);
    FFirstRecord = std::clamp(FFirstRecord, lowest, std::max(lowest, highest));
}

int TDataLink::ActiveRecord() const {
    const TDataSet* ds = DataSet();
    return FActive && ds ? ds->FActiveRecord - FFirstRecord : 0;
}

void TDataLink::SetActiveRecord(int Value) {
    TDataSet* ds = DataSet();
    if (!FActive || !ds) return;
    const int index = Value + FFirstRecord;
    // The spare buffer at the end stays out of reach: it holds no row.
    if (index < 0 || index >= std::max(ds->FRecordCount, 1)) throw ERangeError("Data link row out of range");
    ds->FActiveRecord = index;
}

int TDataLink::RecordCount() const {
    const TDataSet* ds = DataSet();
    if (!FActive || !ds) return 0;
    return std::clamp(ds->FRecordCount - FFirstRecord, 0, FBufferCount);
}

bool TDataLink::Bof() const { return DataSet() && DataSet()->Bof(); }
bool TDataLink::Eof() const { return DataSet() && DataSet()->Eof(); }

bool TDataLink::Edit() {
    if (!FReadOnly && !FEditing && FDataSource) FDataSource->Edit();
    return FEditing;
}

void TDataLink::UpdateRecord() {
    FUpdating = true;
    try {
        UpdateData();
    } catch (...) {
        FUpdating = false;
        throw;
    }
    FUpdating = false;
}

int TDataLink::MoveBy(int Distance) {
    TDataSet* ds = DataSet();
    return ds ? ds->MoveBy(Distance) : 0;
}

void TDataLink::DataEvent(TDataEvent Event, intptr_t Info) {
    if (Event == deUpdateState) return UpdateState();
    if (!FActive) return;
    switch (Event) {
    case deFieldChange:
    case deRecordChange:
        if (!FUpdating) RecordChanged(reinterpret_cast<TField*>(Info));
        break;
    case deDataSetChange:
    case deDataSetScroll:
    case deLayoutChange: {
        // The rows keep their records when the ring shifts; then the window
        // follows the current record. The distance is the window's move.
        int shifted = FFirstRecord;
        if (Event == deDataSetScroll && FDataSource->State() != dsSetKey) shifted += static_cast<int>(Info);
        FFirstRecord = shifted;
        UpdateRange();
        if (Event == deDataSetChange)
            DataSetChanged();
        else if (Event == deDataSetScroll)
            DataSetScrolled(FFirstRecord - shifted);
        else
            LayoutChanged();
        break;
    }
    case deUpdateRecord: UpdateRecord(); break;
    case deCheckBrowseMode: CheckBrowseMode(); break;
    case deFocusControl: FocusControl(reinterpret_cast<TField**>(Info)); break;
    default: break;
    }
}

} // namespace btr
