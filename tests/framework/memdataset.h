// A dataset over rows kept in memory, written only with the framework's
// overridable operations. Record buffer: for each column a presence byte and
// its value (BLOB columns: an index into Blobs), then the calculated area,
// the bookmark flag and a 4-byte bookmark (the row's id).
#pragma once

#include <cstring>
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

class TMemDataSet : public TDataSet {
public:
    explicit TMemDataSet(std::vector<MemColumn> columns, TComponent* owner = nullptr)
        : TDataSet(owner), Columns(std::move(columns)) {}
    ~TMemDataSet() override { CloseOnDestroy(); }

    std::vector<MemColumn> Columns;
    std::vector<std::vector<uint8_t>> Rows;  // stored record images
    std::vector<int32_t> Ids;                // bookmark of each row
    std::vector<std::string> Blobs{""};      // index 0: no value
    std::vector<std::string>* Log = nullptr;  // the Internal* calls, when set
    bool ReadOnlyMode = false;
    bool EndsWithError = false;  // answer grError at both ends, as some datasets do
    int HandledExceptions = 0;
    int FailNextPosts = 0;       // InternalPost raises this many times

    int CompareBookmarks(const uint8_t* b1, const uint8_t* b2) override {
        if (!b1 || !b2) return TDataSet::CompareBookmarks(b1, b2);
        return (RowOf(b1) > RowOf(b2)) - (RowOf(b1) < RowOf(b2));
    }
    bool GetFieldData(TField* field, void* buffer) override {
        TRecordBuffer b = RecBuf();
        if (!b) return false;
        uint8_t* p = field->FieldNo() > 0 ? Column(b, field->FieldNo() - 1) : b + FRecSize + field->Offset();
        if (!p[0]) return false;
        if (buffer) std::memcpy(buffer, p + 1, static_cast<size_t>(field->DataSize()));
        return true;
    }

    void SetFieldData(TField* field, const void* buffer) override {
        TRecordBuffer b = RecBuf();
        if (!b) return;
        uint8_t* p = field->FieldNo() > 0 ? Column(b, field->FieldNo() - 1) : b + FRecSize + field->Offset();
        p[0] = buffer != nullptr;
        std::memset(p + 1, 0, static_cast<size_t>(field->DataSize()));
        if (buffer) std::memcpy(p + 1, buffer, static_cast<size_t>(field->DataSize()));
        if (State() != dsCalcFields && State() != dsFilter && State() != dsNewValue) DataEvent(deFieldChange, field);
    }

    void SetRecNo(int value) override {
        CheckBrowseMode();
        if (value < 1 || value > static_cast<int>(Rows.size())) return;
        DoBeforeScroll();
        FCursor = value - 1;
        Resync({rmExact, rmCenter});
        DoAfterScroll();
    }
    std::unique_ptr<TStream> CreateBlobStream(TField* field, TBlobStreamMode mode) override {
        if (mode != bmRead && State() != dsEdit && State() != dsInsert) DatabaseError(SNotEditing, this);
        TRecordBuffer b = RecBuf();
        if (!b || field->FieldNo() <= 0) return nullptr;
        return std::make_unique<BlobStream>(*this, static_cast<TBlobField*>(field), Column(b, field->FieldNo() - 1), mode);
    }

protected:
    static int ValueSize(const MemColumn& c) {
        switch (c.Type) {
        case ftString: case ftFixedChar: return c.Size + 1;
        case ftInteger: case ftDate: case ftTime: case ftBlob: case ftMemo: case ftGraphic: return 4;
        case ftFloat: case ftDateTime: return 8;
        default: return 2;
        }
    }
    void Note(const char* what) { if (Log) Log->push_back(what); }
    uint8_t* Column(TRecordBuffer b, int index) const { return b + FOffsets[static_cast<size_t>(index)]; }
    uint8_t* FlagOf(TRecordBuffer b) { return b + FRecSize + CalcFieldsSize(); }

    TRecordBuffer RecBuf() {
        switch (State()) {
        case dsBrowse: case dsInternalCalc: case dsBlockRead: return IsEmpty() ? nullptr : ActiveBuffer();
        case dsEdit: case dsInsert: case dsNewValue: return ActiveBuffer();
        case dsCalcFields: return CalcBuffer();
        case dsFilter: return FFilterBuffer;
        case dsOldValue: return FOld.empty() ? nullptr : FOld.data();
        default: return nullptr;
        }
    }

    int RowOf(const uint8_t* bookmark) const {
        int32_t id;
        std::memcpy(&id, bookmark, 4);
        for (size_t i = 0; i < Ids.size(); ++i)
            if (Ids[i] == id) return static_cast<int>(i);
        return -1;
    }

    bool Accept(TRecordBuffer b) {
        if (!Filtered() || !OnFilterRecord) return true;
        FFilterBuffer = b;
        bool ok = true;
        const TDataSetState saved = SetTempState(dsFilter);
        try {
            OnFilterRecord(this, ok);
        } catch (...) {
            RestoreState(saved);
            throw;
        }
        RestoreState(saved);
        return ok;
    }

    void PlaceRow(const std::vector<uint8_t>& image, bool append) {
        if (append || FCursor < 0 || FCursor >= static_cast<int>(Rows.size())) {
            Rows.push_back(image);
            Ids.push_back(FNextId++);
            FCursor = static_cast<int>(Rows.size()) - 1;
        } else {
            Rows.insert(Rows.begin() + FCursor, image);
            Ids.insert(Ids.begin() + FCursor, FNextId++);
        }
    }

    TRecordBuffer AllocRecordBuffer() override { return new uint8_t[FBufSize]; }
    void FreeRecordBuffer(TRecordBuffer& b) override { delete[] b; b = nullptr; }
    int GetRecordSize() override { return FRecSize; }
    bool IsCursorOpen() override { return FOpen; }
    bool GetCanModify() override { return !ReadOnlyMode; }
    void InternalHandleException() override { ++HandledExceptions; }
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
        const int row = RowOf(bookmark);
        if (row < 0) DatabaseError(SRecordNotFound, this);
        FCursor = row;
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
        for (const MemColumn& c : Columns) {
            FOffsets.push_back(FRecSize);
            FRecSize += 1 + ValueSize(c);
        }
        FBufSize = static_cast<size_t>(FRecSize + CalcFieldsSize() + 5);
        SetBookmarkSize(4);
        FCursor = -1;
        FOpen = true;
    }

    void InternalClose() override {
        Note("InternalClose");
        BindFields(false);
        if (DefaultFields()) DestroyFields();
        FOld.clear();
        FOpen = false;
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
            std::memcpy(b, Rows[static_cast<size_t>(c)].data(), static_cast<size_t>(FRecSize));
            *FlagOf(b) = bfCurrent;
            std::memcpy(FlagOf(b) + 1, &Ids[static_cast<size_t>(c)], 4);
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
        FOld.assign(FBufSize, 0);
    }
    void InternalCancel() override {
        Note("InternalCancel");
        FOld.clear();
    }
    void InternalPost() override {
        Note("InternalPost");
        if (FailNextPosts > 0 && FailNextPosts-- > 0) DatabaseError("post refused", this);
        std::vector<uint8_t> image(ActiveBuffer(), ActiveBuffer() + FRecSize);
        if (State() == dsEdit)
            Rows[static_cast<size_t>(FCursor)] = image;
        else
            PlaceRow(image, GetBookmarkFlag(ActiveBuffer()) == bfEOF);
        FOld.clear();
    }
    void InternalAddRecord(TRecordBuffer b, bool append) override {
        Note("InternalAddRecord");
        const bool atEnd = append || GetBookmarkFlag(b) == bfEOF || GetBookmarkFlag(b) == bfBOF;
        if (!atEnd) InternalSetToRecord(b);
        PlaceRow(std::vector<uint8_t>(b, b + FRecSize), atEnd);
    }
    void InternalDelete() override {
        Note("InternalDelete");
        Rows.erase(Rows.begin() + FCursor);
        Ids.erase(Ids.begin() + FCursor);
    }

    int GetRecordCount() override { CheckActive(); return static_cast<int>(Rows.size()); }
    int GetRecNo() override {
        if (IsEmpty() || GetBookmarkFlag(ActiveBuffer()) != bfCurrent) return 0;
        return RowOf(FlagOf(ActiveBuffer()) + 1) + 1;
    }

    // A BLOB value is replaced, never changed in place: a written stream
    // stores a new entry of Blobs and points the buffer's column at it.
    class BlobStream : public TMemoryStream {
    public:
        BlobStream(TMemDataSet& ds, TBlobField* field, uint8_t* column, TBlobStreamMode mode)
            : FDataSet(ds), FField(field), FColumn(column), FMode(mode), FDirty(mode == bmWrite) {
            int32_t index;
            std::memcpy(&index, column + 1, 4);
            if (mode != bmWrite && column[0]) {
                const std::string& s = ds.Blobs[static_cast<size_t>(index)];
                TMemoryStream::Write(s.data(), static_cast<int32_t>(s.size()));
                Seek(0, TSeekOrigin::soBeginning);
            }
        }
        ~BlobStream() override {
            if (!FDirty) return;
            FDataSet.Blobs.emplace_back(reinterpret_cast<const char*>(Memory()), static_cast<size_t>(Size()));
            const int32_t index = static_cast<int32_t>(FDataSet.Blobs.size() - 1);
            FColumn[0] = Size() > 0;
            std::memcpy(FColumn + 1, &index, 4);
            FField->SetModified(true);
            FDataSet.SetModified(true);
        }
        int32_t Write(const void* buffer, int32_t count) override {
            if (FMode == bmRead) return 0;
            FDirty = true;
            return TMemoryStream::Write(buffer, count);
        }
        void SetSize(int64_t size) override {
            if (FMode == bmRead) return;
            FDirty = true;
            TMemoryStream::SetSize(size);
        }

    private:
        TMemDataSet& FDataSet;
        TBlobField* FField;
        uint8_t* FColumn;
        TBlobStreamMode FMode;
        bool FDirty;
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
