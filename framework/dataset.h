// TDataSet: the abstract record-oriented dataset of the data-access
// framework, with TDataSource and TDataLink that keep views in step.
//
// The dataset keeps a ring of record buffers: BufferCount buffers for the
// rows that views show (the largest BufferCount any data link asks for, at
// least 1), one more as TempBuffer, and points at the current row with
// ActiveBuffer. A concrete dataset supplies the protected overridable
// operations (GetRecord, InternalFirst, ...); everything else — states,
// navigation, editing with its events, fields, bookmarks, notifications — is
// done here.
//
// A concrete dataset's destructor calls CloseOnDestroy(): the record buffers
// and the cursor are the concrete dataset's, and the base destructor can no
// longer reach them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "framework/dberrors.h"
#include "framework/fields.h"
#include "framework/variant.h"
#include "platform/component.h"
#include "platform/sets.h"
#include "platform/streams.h"

namespace btr {

class TDataLink;
class TDataSource;

using TRecordBuffer = uint8_t*;
using TBookmark = std::vector<uint8_t>;

enum TDataSetState : uint8_t {
    dsInactive, dsBrowse, dsEdit, dsInsert, dsSetKey, dsCalcFields, dsFilter,
    dsNewValue, dsOldValue, dsCurValue, dsBlockRead, dsInternalCalc, dsOpening
};

enum TDataEvent : uint8_t {
    deFieldChange,      // Info: the TField*
    deRecordChange,     // Info: the TField* or 0
    deDataSetChange,
    deDataSetScroll,    // Info: how far the buffers moved (+: towards the end of the ring)
    deLayoutChange,
    deUpdateRecord,     // views write pending edits into the fields
    deUpdateState,
    deCheckBrowseMode,  // views finish their edits
    dePropertyChange,
    deFieldListChange,
    deFocusControl,     // Info: TField**
};

enum TGetMode : uint8_t { gmCurrent, gmNext, gmPrior };
enum TGetResult : uint8_t { grOK, grBOF, grEOF, grError };
enum TBookmarkFlag : uint8_t { bfCurrent, bfBOF, bfEOF, bfInserted };
enum TUpdateStatus : uint8_t { usUnmodified, usModified, usInserted, usDeleted };
enum TDataAction : uint8_t { daFail, daAbort, daRetry };
enum TLocateOption : uint8_t { loCaseInsensitive, loPartialKey };
enum TResyncModeItem : uint8_t { rmExact, rmCenter };

// Small sets of enumeration values: {loPartialKey}, {rmExact, rmCenter}.
using TLocateOptions = TSet<TLocateOption>;
using TResyncMode = TSet<TResyncModeItem>;

class TDataSet : public TComponent {
public:
    using TDataSetNotifyEvent = std::function<void(TDataSet* DataSet)>;
    using TDataSetErrorEvent = std::function<void(TDataSet* DataSet, EDatabaseError& E, TDataAction& Action)>;
    using TFilterRecordEvent = std::function<void(TDataSet* DataSet, bool& Accept)>;

    explicit TDataSet(TComponent* AOwner = nullptr);
    ~TDataSet() override;

    // ---- opening and state
    bool Active() const { return FState != dsInactive && FState != dsOpening; }
    void SetActive(bool Value);
    void Open() { SetActive(true); }
    void Close() { SetActive(false); }
    TDataSetState State() const { return FState; }
    bool Modified() const { return FModified; }
    void SetModified(bool Value) { FModified = Value; }
    bool CanModify() { return GetCanModify(); }
    bool IsEmpty() const { return FActiveRecord >= FRecordCount; }
    bool Bof() const { return FBOF; }
    bool Eof() const { return FEOF; }
    // True while the fields were made from the field definitions at opening.
    bool DefaultFields() const { return FDefaultFields; }
    bool AutoCalcFields() const { return FAutoCalcFields; }
    void SetAutoCalcFields(bool v) { FAutoCalcFields = v; }
    bool Filtered() const { return FFiltered; }
    // Switching the filter on or off goes to the first record.
    void SetFiltered(bool Value);
    const std::string& Filter() const { return FFilterText; }
    void SetFilter(const std::string& Value) { SetFilterText(Value); }
    int BlockReadSize() const { return FBlockReadSize; }
    void SetBlockReadSize(int Value);

    int BufferCount() const { return FBufferCount; }
    int RecordCount() { return GetRecordCount(); }
    int RecNo() { return GetRecNo(); }
    virtual void SetRecNo(int Value);
    int RecordSize() { return GetRecordSize(); }
    int BookmarkSize() const { return FBookmarkSize; }
    int CalcFieldsSize() const { return FCalcFieldsSize; }

    void CheckActive() const;    // raises for a closed dataset
    void CheckInactive() const;  // raises for an open one
    // Closes a pending edit (posts when modified, else cancels).
    void CheckBrowseMode();

    // ---- navigation
    void First();
    void Last();
    void Next() { MoveBy(1); }
    void Prior() { MoveBy(-1); }
    int MoveBy(int Distance);
    void Refresh();
    void Resync(TResyncMode Mode);
    void UpdateCursorPos();
    void CursorPosChanged() { FCurrentRecord = -1; }

    // ---- editing
    void Edit();
    void Insert();
    void Append();
    virtual void Post();
    void Cancel();
    void Delete();
    // Adds a record from values given in field order (null: left as the
    // new record has it) without an edit by the user.
    void InsertRecord(const std::vector<Variant>& Values) { AddRecord(Values, false); }
    void AppendRecord(const std::vector<Variant>& Values) { AddRecord(Values, true); }
    void SetFields(const std::vector<Variant>& Values);
    // Views write pending edits (deUpdateRecord); raises outside edit modes.
    void UpdateRecord();
    void ClearFields();

    // ---- fields
    TFieldDefs& FieldDefs() { return FFieldDefs; }
    TFields& Fields() { return FFields; }
    int FieldCount() const { return FFields.Count(); }
    TField* FindField(std::string_view FieldName) const { return FFields.FindField(FieldName); }
    TField* FieldByName(std::string_view FieldName) const;
    TField* FieldByNumber(int FieldNo) const { return FFields.FieldByNumber(FieldNo); }
    // Fields named in "A;B;C"; raises "Field '%s' not found".
    void GetFieldList(std::vector<TField*>& List, std::string_view FieldNames) const;
    std::vector<TField*> GetFieldList(std::string_view FieldNames) const;
    std::vector<std::string> GetFieldNames() const;
    // One name: that field's value; several: an array of values.
    Variant FieldValues(std::string_view FieldNames) const;
    void SetFieldValues(std::string_view FieldNames, const Variant& Values);
    Variant GetFieldValue(std::string_view FieldName) const { return FieldValues(FieldName); }
    Variant GetStateFieldValue(TDataSetState State, const TField* Field) const;
    void SetStateFieldValue(TDataSetState State, TField* Field, const Variant& Value);

    // ---- bookmarks
    // Empty when there is no current record.
    TBookmark GetBookmark();
    void GotoBookmark(const TBookmark& Bookmark);
    bool BookmarkValid(const TBookmark& Bookmark);
    TBookmark Bookmark() { return GetBookmark(); }
    void SetBookmark(const TBookmark& Value) { GotoBookmark(Value); }
    // Either may be null (null sorts first); -1, 0 or 1.
    virtual int CompareBookmarks(const uint8_t* Bookmark1, const uint8_t* Bookmark2);

    // ---- searching. The base versions scan the records in order; a dataset
    // with indexes does better. Locate makes the found record current;
    // Lookup leaves the cursor where it is and answers the ResultFields
    // values (null when nothing matches).
    virtual bool Locate(std::string_view KeyFields, const Variant& KeyValues, TLocateOptions Options);
    virtual Variant Lookup(std::string_view KeyFields, const Variant& KeyValues, std::string_view ResultFields);

    // ---- views
    void DisableControls();
    void EnableControls();
    bool ControlsDisabled() const { return FDisableCount != 0; }
    void DataEvent(TDataEvent Event, intptr_t Info = 0);
    void DataEvent(TDataEvent Event, TField* Field) { DataEvent(Event, reinterpret_cast<intptr_t>(Field)); }
    bool IsLinkedTo(const TDataSource* DataSource) const;

    // ---- field values and BLOBs (the dataset's side of TField)
    virtual bool GetFieldData(TField* Field, void* Buffer);
    virtual void SetFieldData(TField* Field, const void* Buffer) = 0;
    virtual std::unique_ptr<TStream> CreateBlobStream(TField* Field, TBlobStreamMode Mode);
    virtual bool IsSequenced();

    // Temporary states (calculating, filtering, reading old values, ...):
    // no notifications go out while one is in force.
    TDataSetState SetTempState(TDataSetState Value);
    void RestoreState(TDataSetState Value);

    // ---- fields at opening and closing
    void CreateFields();
    void BindFields(bool Binding);
    void DestroyFields();
    // Field definitions from the dataset (also while closed).
    void InitFieldDefs();

    // ---- events
    TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose;
    TDataSetNotifyEvent BeforeInsert, AfterInsert, BeforeEdit, AfterEdit;
    TDataSetNotifyEvent BeforePost, AfterPost, BeforeCancel, AfterCancel;
    TDataSetNotifyEvent BeforeDelete, AfterDelete, BeforeScroll, AfterScroll;
    TDataSetNotifyEvent BeforeRefresh, AfterRefresh;
    TDataSetNotifyEvent OnCalcFields, OnNewRecord;
    TFilterRecordEvent OnFilterRecord;
    TDataSetErrorEvent OnPostError, OnEditError, OnDeleteError;

protected:
    // ---- the overridable operations of a concrete dataset
    virtual void ClearCalcFields(TRecordBuffer Buffer);
    virtual bool GetCanModify();
    virtual int GetRecordCount();
    virtual int GetRecNo();
    virtual void InternalCancel();
    virtual void InternalEdit();
    virtual void InternalInsert();
    virtual void SetFilterText(const std::string& Value);
    virtual TRecordBuffer AllocRecordBuffer() = 0;
    virtual void FreeRecordBuffer(TRecordBuffer& Buffer) = 0;
    virtual int GetRecordSize() = 0;
    virtual void GetBookmarkData(TRecordBuffer Buffer, uint8_t* Data) = 0;
    virtual TBookmarkFlag GetBookmarkFlag(TRecordBuffer Buffer) = 0;
    virtual void InternalAddRecord(TRecordBuffer Buffer, bool Append) = 0;
    virtual void InternalDelete() = 0;
    virtual void InternalFirst() = 0;
    virtual void InternalGotoBookmark(const uint8_t* Bookmark) = 0;
    virtual void InternalInitRecord(TRecordBuffer Buffer) = 0;
    virtual void InternalLast() = 0;
    virtual void InternalPost() = 0;
    virtual void InternalSetToRecord(TRecordBuffer Buffer) = 0;
    virtual void SetBookmarkFlag(TRecordBuffer Buffer, TBookmarkFlag Value) = 0;
    virtual void SetBookmarkData(TRecordBuffer Buffer, const uint8_t* Data) = 0;
    virtual TGetResult GetRecord(TRecordBuffer Buffer, TGetMode GetMode, bool DoCheck) = 0;
    virtual void InternalClose() = 0;
    // Told, inside the catch block, about an exception that cannot be passed
    // on (closing while being destroyed); std::current_exception() has it.
    virtual void InternalHandleException() = 0;
    virtual void InternalInitFieldDefs() = 0;
    virtual void InternalOpen() = 0;
    virtual bool IsCursorOpen() = 0;

    // ---- services for a concrete dataset
    TRecordBuffer ActiveBuffer() const { return FBuffers.empty() ? nullptr : FBuffers[FActiveRecord]; }
    TRecordBuffer TempBuffer() const { return FBuffers.empty() ? nullptr : FBuffers[FRecordCount]; }
    TRecordBuffer CalcBuffer() const { return FCalcBuffer; }
    void SetBookmarkSize(int Value) { FBookmarkSize = Value; }
    // Computes the calculated and lookup fields of a buffer just fetched;
    // GetRecord calls it for every record it returns.
    void GetCalcFields(TRecordBuffer Buffer);
    bool GetNextRecord();
    bool GetPriorRecord();
    int GetNextRecords();
    int GetPriorRecords();
    void SetState(TDataSetState Value);
    void ClearBuffers();
    void CheckCanModify();
    void DoBeforeScroll() { if (BeforeScroll) BeforeScroll(this); }
    void DoAfterScroll() { if (AfterScroll) AfterScroll(this); }
    // Rows of the ring in use, the current row's index in it.
    int RecordBufferCount() const { return FRecordCount; }
    int ActiveRecord() const { return FActiveRecord; }
    TRecordBuffer Buffers(int Index) const { return FBuffers[static_cast<size_t>(Index)]; }
    // Closes without the close events and reports a failure through
    // InternalHandleException instead of raising; for destructors.
    void CloseOnDestroy() noexcept;

private:
    friend class TDataLink;
    friend class TDataSource;
    friend class TField;

    TGetResult Fetch(TRecordBuffer Buffer, TGetMode GetMode, bool DoCheck);
    void OpenCursor();
    void CloseCursor();
    void SetBufferCount(int Value);
    void SetBufListSize(int Value);
    void UpdateBufferCount();
    void SetCurrentRecord(int Index);
    void ActivateBuffers();
    void MoveBuffer(int CurIndex, int NewIndex);
    void InitRecord(TRecordBuffer Buffer);
    void FreeFieldBuffers();
    void BeginInsertAppend();
    void EndInsertAppend();
    void AddRecord(const std::vector<Variant>& Values, bool Append);
    void CheckRequiredFields();
    void CalculateFields(TRecordBuffer Buffer);
    void UpdateCalcFields();
    void CheckOperation(void (TDataSet::*Operation)(), const TDataSetErrorEvent& ErrorEvent);
    void DoEvent(const TDataSetNotifyEvent& Event) { if (Event) Event(this); }
    // Scans from the first record for KeyValues; the cursor stays on the
    // match, whose record is in TempBuffer. Used by Locate and Lookup.
    bool ScanFor(std::string_view KeyFields, const Variant& KeyValues, TLocateOptions Options);
    void AddDataSource(TDataSource* Source);
    void RemoveDataSource(TDataSource* Source);

    TDataSetState FState = dsInactive;
    bool FModified = false;
    bool FBOF = true, FEOF = true;
    bool FDefaultFields = false;
    bool FAutoCalcFields = true;
    bool FFiltered = false;
    bool FInternalOpenComplete = false;
    bool FDestroyClosing = false;
    std::string FFilterText;
    int FBlockReadSize = 0;
    int FBookmarkSize = 0;
    int FCalcFieldsSize = 0;
    int FBufferCount = 0;
    int FRecordCount = 0;
    int FActiveRecord = 0;
    int FCurrentRecord = -1;
    int FDisableCount = 0;
    int FFetchDepth = 0;
    TDataSetState FDisableState = dsInactive;
    TDataEvent FEnableEvent = deDataSetChange;
    std::vector<TRecordBuffer> FBuffers;
    TRecordBuffer FCalcBuffer = nullptr;
    TFieldDefs FFieldDefs;
    TFields FFields;
    std::vector<TDataSource*> FDataSources;
};

// Connects views (through data links) to one dataset.
class TDataSource : public TComponent {
public:
    explicit TDataSource(TComponent* AOwner = nullptr);
    ~TDataSource() override;

    TDataSet* DataSet() const { return FDataSet; }
    void SetDataSet(TDataSet* Value);
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value);
    // Views may put the dataset into edit mode on a keystroke.
    bool AutoEdit() const { return FAutoEdit; }
    void SetAutoEdit(bool v) { FAutoEdit = v; }
    // dsInactive while disabled or without a dataset.
    TDataSetState State() const { return FState; }
    // Puts the dataset into edit mode when AutoEdit allows it.
    void Edit();

    std::function<void(TDataSource* Sender)> OnStateChange;
    std::function<void(TDataSource* Sender, TField* Field)> OnDataChange;
    std::function<void(TDataSource* Sender)> OnUpdateData;

private:
    friend class TDataSet;
    friend class TDataLink;
    void DataEvent(TDataEvent Event, intptr_t Info);
    void NotifyLinks(TDataEvent Event, intptr_t Info);
    void NotifyState();

    TDataSet* FDataSet = nullptr;
    bool FEnabled = true;
    bool FAutoEdit = true;
    TDataSetState FState = dsInactive;
    std::vector<TDataLink*> FLinks;
};

// A view's connection to a data source. Override the notifications the view
// needs. The link's rows are BufferCount records of the dataset's ring,
// starting at its first visible record; SetActiveRecord lets a view read the
// fields of any of its rows (set it back when done).
class TDataLink {
public:
    TDataLink() = default;
    virtual ~TDataLink();
    TDataLink(const TDataLink&) = delete;
    TDataLink& operator=(const TDataLink&) = delete;

    TDataSource* DataSource() const { return FDataSource; }
    void SetDataSource(TDataSource* Value);
    TDataSet* DataSet() const;
    bool Active() const { return FActive; }
    bool Editing() const { return FEditing; }
    bool ReadOnly() const { return FReadOnly; }
    void SetReadOnly(bool Value);
    int BufferCount() const { return FBufferCount; }
    void SetBufferCount(int Value);
    int ActiveRecord() const;
    void SetActiveRecord(int Value);
    // Rows of this link that hold records.
    int RecordCount() const;
    bool Bof() const;
    bool Eof() const;
    // Puts the dataset into edit mode when the source allows; true when it is.
    bool Edit();
    // Writes this view's pending edit (UpdateData) without the view being
    // told about its own change.
    void UpdateRecord();
    int MoveBy(int Distance);

protected:
    virtual void ActiveChanged() {}
    virtual void CheckBrowseMode() {}
    virtual void DataSetChanged() { RecordChanged(nullptr); }
    virtual void DataSetScrolled(int Distance) { (void)Distance; DataSetChanged(); }
    virtual void EditingChanged() {}
    virtual void FocusControl(TField** Field) { (void)Field; }
    virtual void LayoutChanged() { DataSetChanged(); }
    virtual void RecordChanged(TField* Field) { (void)Field; }
    virtual void UpdateData() {}
    virtual void DataEvent(TDataEvent Event, intptr_t Info);

private:
    friend class TDataSource;
    friend class TDataSet;
    void SetActive(bool Value);
    void SetEditing(bool Value);
    void UpdateState();
    // Keeps the dataset's current record among this link's rows.
    void UpdateRange();

    TDataSource* FDataSource = nullptr;
    int FBufferCount = 1;
    int FFirstRecord = 0;
    bool FActive = false;
    bool FEditing = false;
    bool FReadOnly = false;
    bool FUpdating = false;
};

// Bookmark data for the pointer-taking operations: nullptr for an empty one.
inline const uint8_t* BookmarkData(const TBookmark& Bookmark) {
    return Bookmark.empty() ? nullptr : Bookmark.data();
}

} // namespace btr
