// A dataset over rows kept in memory, written only with the framework's
// overridable operations. Record buffer: for each column a presence byte and
// its value (BLOB columns: an index into Blobs), then the calculated area,
// the bookmark flag and a 4-byte bookmark (the row's id).
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "framework/db.h"

namespace btr::test {

struct MemColumn {
    std::string Name;
    TFieldType Type;
    int Size = 0;
    bool Required = false;
};

struct MemRow {
    int32_t Id;                 // its bookmark
    std::vector<uint8_t> Image; // the stored record
};

class TMemDataSet : public TDataSet {
public:
    explicit TMemDataSet(std::vector<MemColumn> columns, TComponent* owner = nullptr)
        : TDataSet(owner), Columns(std::move(columns)) {}
    ~TMemDataSet() override { CloseOnDestroy(); }

    std::vector<MemColumn> Columns;
    std::vector<MemRow> Rows;
    std::vector<std::string> Blobs{""};      // index 0: no value
    // Told the name of each Internal* call (InternalClose once it closed,
    // the others before they act) and of InternalHandleException; what it
    // raises is the call's failure.
    std::function<void(const std::string& call)> OnInternal;
    bool ReadOnlyMode = false;
    bool EndsWithError = false; // answer grError at both ends, as some datasets do

    bool GetFieldData(TField* field, void* buffer) override {
        const uint8_t* p = Slot(field);
        if (!p || !p[0]) return false;
        if (buffer) std::memcpy(buffer, p + 1, static_cast<size_t>(field->DataSize()));
        return true;
    }
    void SetFieldData(TField* field, const void* buffer) override {
        uint8_t* p = Slot(field);
        if (!p) return;
        p[0] = buffer != nullptr;
        std::memset(p + 1, 0, static_cast<size_t>(field->DataSize()));
        if (buffer) std::memcpy(p + 1, buffer, static_cast<size_t>(field->DataSize()));
        if (State() != dsCalcFields && State() != dsFilter && State() != dsNewValue) DataEvent(deFieldChange, field);
    }
    std::unique_ptr<TStream> CreateBlobStream(TField* field, TBlobStreamMode mode) override {
        uint8_t* column = field->FieldNo() > 0 ? Slot(field) : nullptr;
        if (!column) return nullptr;
        return std::make_unique<BlobStream>(*this, column, mode);
    }

protected:
    void Note(const char* call) { if (OnInternal) OnInternal(call); }
    uint8_t* FlagOf(TRecordBuffer b) { return b + FRecSize + CalcFieldsSize(); }

    // Where a field's presence byte and value are in the buffer of the state.
    uint8_t* Slot(TField* field) {
        TRecordBuffer b = nullptr;
        switch (State()) {
        case dsBrowse: case dsBlockRead: b = IsEmpty() ? nullptr : ActiveBuffer(); break;
        case dsEdit: case dsInsert: case dsNewValue: b = ActiveBuffer(); break;
        case dsCalcFields: b = CalcBuffer(); break;
        case dsFilter: b = FFilterBuffer; break;
        case dsOldValue: b = FOld.empty() ? nullptr : FOld.data(); break;
        default: break;
        }
        if (!b) return nullptr;
        const int no = field->FieldNo();
        return no > 0 ? b + FOffsets[static_cast<size_t>(no - 1)] : b + FRecSize + field->Offset();
    }

    bool Accept(TRecordBuffer b) {
        if (!Filtered() || !OnFilterRecord) return true;
        FFilterBuffer = b;
        bool ok = true;
        struct Restore {
            TMemDataSet& ds;
            TDataSetState saved;
            ~Restore() { ds.RestoreState(saved); }
        } restore{*this, SetTempState(dsFilter)};
        OnFilterRecord(this, ok);
        return ok;
    }

    void PlaceRow(TRecordBuffer b, bool append) {
        MemRow row{FNextId++, std::vector<uint8_t>(b, b + FRecSize)};
        if (append || FCursor < 0 || FCursor >= static_cast<int>(Rows.size())) {
            Rows.push_back(std::move(row));
            FCursor = static_cast<int>(Rows.size()) - 1;
        } else {
            Rows.insert(Rows.begin() + FCursor, std::move(row));
        }
    }

    TRecordBuffer AllocRecordBuffer() override { return new uint8_t[FBufSize]; }
    void FreeRecordBuffer(TRecordBuffer& b) override { delete[] b; b = nullptr; }
    int GetRecordSize() override { return FRecSize; }
    bool IsCursorOpen() override { return FOpen; }
    bool GetCanModify() override { return !ReadOnlyMode; }
    void InternalHandleException() override { Note("InternalHandleException"); }
    void InternalInitRecord(TRecordBuffer b) override { std::memset(b, 0, FBufSize); }
    void ClearCalcFields(TRecordBuffer b) override { std::memset(b + FRecSize, 0, static_cast<size_t>(CalcFieldsSize())); }
    TBookmarkFlag GetBookmarkFlag(TRecordBuffer b) override { return static_cast<TBookmarkFlag>(*FlagOf(b)); }
    void SetBookmarkFlag(TRecordBuffer b, TBookmarkFlag f) override { *FlagOf(b) = f; }
    void GetBookmarkData(TRecordBuffer b, uint8_t* data) override { std::memcpy(data, FlagOf(b) + 1, 4); }
    void SetBookmarkData(TRecordBuffer b, const uint8_t* data) override { std::memcpy(FlagOf(b) + 1, data, 4); }
    void InternalFirst() override { FCursor = -1; }
    void InternalLast() override { FCursor = static_cast<int>(Rows.size()); }
    void InternalSetToRecord(TRecordBuffer b) override { InternalGotoBookmark(FlagOf(b) + 1); }
    void InternalGotoBookmark(const uint8_t* bookmark) override {
        int32_t id;
        std::memcpy(&id, bookmark, 4);
        auto row = std::find_if(Rows.begin(), Rows.end(), [id](const MemRow& r) { return r.Id == id; });
        if (row == Rows.end()) DatabaseError(SRecordNotFound, this);
        FCursor = static_cast<int>(row - Rows.begin());
    }

    void InternalInitFieldDefs() override {
        FieldDefs().Clear();
        for (const MemColumn& c : Columns) FieldDefs().Add(c.Name, c.Type, c.Size, c.Required);
    }

    void InternalOpen() override {
        Note("InternalOpen");
        InternalInitFieldDefs();
        if (DefaultFields()) CreateFields();
        BindFields(true);
        FOffsets.clear();
        FRecSize = 0;
        for (const MemColumn& c : Columns) { // eight bytes hold every value but text
            FOffsets.push_back(FRecSize);
            FRecSize += 1 + std::max(c.Size + 1, 8);
        }
        FBufSize = static_cast<size_t>(FRecSize + CalcFieldsSize() + 5);
        SetBookmarkSize(4);
        FCursor = -1;
        FOpen = true;
    }

    void InternalClose() override {
        BindFields(false);
        if (DefaultFields()) DestroyFields();
        FOld.clear();
        FOpen = false;
        Note("InternalClose");
    }

    TGetResult GetRecord(TRecordBuffer b, TGetMode mode, bool) override {
        const int count = static_cast<int>(Rows.size());
        for (int c = FCursor;;) {
            c += mode == gmNext ? 1 : mode == gmPrior ? -1 : 0;
            if (c < 0 || c >= count) {
                FCursor = c < 0 ? -1 : count;
                return EndsWithError ? grError : c < 0 ? grBOF : grEOF;
            }
            FCursor = c;
            const MemRow& row = Rows[static_cast<size_t>(c)];
            std::memcpy(b, row.Image.data(), static_cast<size_t>(FRecSize));
            *FlagOf(b) = bfCurrent;
            std::memcpy(FlagOf(b) + 1, &row.Id, 4);
            if (Accept(b)) break;
            if (mode == gmCurrent) return grError;
        }
        GetCalcFields(b);
        return grOK;
    }

    void InternalEdit() override {
        Note("InternalEdit");
        FOld.assign(ActiveBuffer(), ActiveBuffer() + FBufSize);
    }
    void InternalInsert() override {
        Note("InternalInsert");
        FOld.clear(); // a new record has no old values
    }
    void InternalCancel() override {
        Note("InternalCancel");
        FOld.clear();
    }
    void InternalPost() override {
        Note("InternalPost");
        if (State() == dsEdit)
            Rows[static_cast<size_t>(FCursor)].Image.assign(ActiveBuffer(), ActiveBuffer() + FRecSize);
        else
            PlaceRow(ActiveBuffer(), GetBookmarkFlag(ActiveBuffer()) == bfEOF);
        FOld.clear();
    }
    void InternalAddRecord(TRecordBuffer b, bool append) override {
        Note("InternalAddRecord");
        const bool atEnd = append || GetBookmarkFlag(b) == bfEOF || GetBookmarkFlag(b) == bfBOF;
        if (!atEnd) InternalSetToRecord(b);
        PlaceRow(b, atEnd);
    }
    void InternalDelete() override {
        Note("InternalDelete");
        Rows.erase(Rows.begin() + FCursor);
    }

    // A BLOB value is replaced, never changed in place: a stream that may
    // write stores a new entry of Blobs when it goes and points the buffer's
    // column at it.
    class BlobStream : public TMemoryStream {
    public:
        BlobStream(TMemDataSet& ds, uint8_t* column, TBlobStreamMode mode)
            : FDataSet(ds), FColumn(column), FMode(mode) {
            int32_t index = 0;
            if (mode != bmWrite && column[0]) std::memcpy(&index, column + 1, 4);
            const std::string& s = ds.Blobs[static_cast<size_t>(index)];
            Write(s.data(), static_cast<int32_t>(s.size()));
            Seek(0, TSeekOrigin::soBeginning);
        }
        ~BlobStream() override {
            if (FMode == bmRead) return;
            FDataSet.Blobs.emplace_back(reinterpret_cast<const char*>(Memory()), static_cast<size_t>(Size()));
            const auto index = static_cast<int32_t>(FDataSet.Blobs.size() - 1);
            FColumn[0] = Size() > 0;
            std::memcpy(FColumn + 1, &index, 4);
        }

    private:
        TMemDataSet& FDataSet;
        uint8_t* FColumn;
        TBlobStreamMode FMode;
    };

private:
    std::vector<int> FOffsets;
    int FRecSize = 0;
    size_t FBufSize = 0;
    int FCursor = -1;
    int32_t FNextId = 1;
    bool FOpen = false;
    TRecordBuffer FFilterBuffer = nullptr;
    std::vector<uint8_t> FOld;
};

} // namespace btr::test
