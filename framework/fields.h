// Field definitions and fields of the data-access framework.
//
// A TFieldDef describes one column the dataset offers; a TField reads and
// writes the value of a column in the dataset's current record through the
// dataset's GetFieldData/SetFieldData, in the native buffer format of its
// type:
//   string, fixed char  NUL-terminated code page 1251 text, DataSize = Size + 1
//   smallint            int16        integer   int32       word      uint16
//   boolean             int16 (all bits set = true)        float     double
//   date                int32 day number (1 January of year 1 = 1)
//   time                int32 milliseconds since midnight
//   date-time           double TDateTime
//   BLOB, memo, graphic no buffer; the value goes through CreateBlobStream
// Calculated and lookup fields live in the dataset's calculated area: one
// presence byte and DataSize bytes at the field's Offset.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "framework/datetime.h"
#include "framework/dberrors.h"
#include "framework/variant.h"
#include "platform/codepage.h"
#include "platform/component.h"
#include "platform/streams.h"

namespace btr {

class TDataSet;
class TField;
class TFieldDefs;

enum TFieldType : uint8_t {
    ftUnknown, ftString, ftSmallint, ftInteger, ftWord, ftBoolean, ftFloat,
    ftDate, ftTime, ftDateTime, ftBlob, ftMemo, ftGraphic, ftFixedChar
};
// "String", "Smallint", ... as error messages name the types.
const char* FieldTypeName(TFieldType Type);

enum TFieldKind : uint8_t { fkData, fkCalculated, fkLookup, fkInternalCalc };
enum TBlobStreamMode : uint8_t { bmRead, bmWrite, bmReadWrite };

class TFieldDef {
public:
    // With an owner, the owner's list adopts the definition (and destroys it).
    TFieldDef(TFieldDefs* Owner, std::string Name, TFieldType DataType, int Size, bool Required, int FieldNo);

    const std::string& Name() const { return FName; }
    TFieldType DataType() const { return FDataType; }
    int Size() const { return FSize; }
    bool Required() const { return FRequired; }
    void SetRequired(bool v) { FRequired = v; }
    int FieldNo() const { return FFieldNo; }
    TFieldDefs* Collection() const { return FOwner; }
    // A field of the class for DataType, named and bound to the definitions'
    // dataset; AOwner destroys it (nullptr: nobody, the caller must).
    TField* CreateField(TComponent* AOwner) const;

private:
    TFieldDefs* FOwner;
    std::string FName;
    TFieldType FDataType;
    int FSize;
    bool FRequired;
    int FFieldNo;
};

class TFieldDefs {
public:
    explicit TFieldDefs(TDataSet* DataSet) : FDataSet(DataSet) {}
    TFieldDefs(const TFieldDefs&) = delete;
    TFieldDefs& operator=(const TFieldDefs&) = delete;

    // FieldNo 0 gives the next number (Count + 1). Duplicate names raise.
    TFieldDef& Add(std::string Name, TFieldType DataType, int Size = 0, bool Required = false, int FieldNo = 0);
    int Count() const { return static_cast<int>(FItems.size()); }
    TFieldDef& operator[](int Index) const;
    int IndexOf(std::string_view Name) const;  // case-insensitive; -1 when absent
    TFieldDef& Find(std::string_view Name) const;  // raises "Field '%s' not found"
    void Clear();

    // The definitions are read from the dataset when not up to date.
    bool Updated() const { return FUpdated; }
    void SetUpdated(bool v) { FUpdated = v; }
    void Update();
    TDataSet* DataSet() const { return FDataSet; }

private:
    friend class TFieldDef;
    void Adopt(TFieldDef* Def);

    TDataSet* FDataSet;
    std::vector<std::unique_ptr<TFieldDef>> FItems;
    bool FUpdated = false;
};

class TField : public TComponent {
public:
    explicit TField(TComponent* AOwner = nullptr);
    ~TField() override;

    // Joining a dataset puts the field into its Fields (the dataset must be
    // closed); nullptr takes it out.
    TDataSet* DataSet() const { return FDataSet; }
    void SetDataSet(TDataSet* Value);

    const std::string& FieldName() const { return FFieldName; }
    void SetFieldName(std::string Value);
    // > 0: the stored field of that number; <= 0: calculated or lookup.
    int FieldNo() const { return FFieldNo; }
    TFieldType DataType() const { return FDataType; }
    TFieldKind FieldKind() const { return FFieldKind; }
    void SetFieldKind(TFieldKind Value);
    bool Calculated() const { return FFieldKind == fkCalculated; }
    void SetCalculated(bool Value) { SetFieldKind(Value ? fkCalculated : fkData); }
    bool Lookup() const { return FFieldKind == fkLookup; }
    void SetLookup(bool Value) { SetFieldKind(Value ? fkLookup : fkData); }
    int Size() const { return FSize; }
    void SetSize(int Value);
    // Bytes of the native value buffer.
    virtual int DataSize() const { return 0; }
    // Place of a calculated or lookup field within the calculated area.
    int Offset() const { return FOffset; }
    int Index() const;  // position in the dataset's Fields, -1 without one
    virtual bool IsBlob() const { return false; }

    bool Required() const { return FRequired; }
    void SetRequired(bool v) { FRequired = v; }
    bool ReadOnly() const { return FReadOnly; }
    void SetReadOnly(bool v) { FReadOnly = v; }
    bool Visible() const { return FVisible; }
    void SetVisible(bool v) { FVisible = v; }
    const std::string& DisplayLabel() const { return FDisplayLabel; }
    void SetDisplayLabel(std::string v) { FDisplayLabel = std::move(v); }
    // DisplayLabel, or FieldName when there is none.
    const std::string& DisplayName() const { return FDisplayLabel.empty() ? FFieldName : FDisplayLabel; }
    int DisplayWidth() const { return FDisplayWidth > 0 ? FDisplayWidth : DefaultDisplayWidth(); }
    void SetDisplayWidth(int v) { FDisplayWidth = v; }
    // False when the field or its dataset cannot take a value now.
    bool CanModify() const;

    // Lookup fields: KeyFields of this dataset are looked up as
    // LookupKeyFields in LookupDataSet, which gives LookupResultField.
    const std::string& KeyFields() const { return FKeyFields; }
    void SetKeyFields(std::string v) { FKeyFields = std::move(v); }
    TDataSet* LookupDataSet() const { return FLookupDataSet; }
    void SetLookupDataSet(TDataSet* Value);
    const std::string& LookupKeyFields() const { return FLookupKeyFields; }
    void SetLookupKeyFields(std::string v) { FLookupKeyFields = std::move(v); }
    const std::string& LookupResultField() const { return FLookupResultField; }
    void SetLookupResultField(std::string v) { FLookupResultField = std::move(v); }

    // The value in the dataset's current record (or the buffer its state
    // selects). Reading a null value gives "", 0, 0.0, false or 0.0 (date);
    // setting "" clears all but string fields. A conversion the field type
    // has no meaning for raises "Cannot access field '%s' as type %s".
    virtual bool IsNull() const;
    virtual void Clear() { SetData(nullptr); }
    Variant Value() const;
    void SetValue(const Variant& Value);
    std::string AsString() const { return GetAsString(); }  // UTF-8
    // AsString into Out, whose storage is reused: a scan that reads every
    // value as text makes no string per value.
    void AsStringTo(std::string& Out) const { GetAsStringTo(Out); }
    virtual void SetAsString(std::string_view Value);
    AnsiString AsAnsiString() const { return GetAsAnsiString(); }  // code page 1251
    virtual void SetAsAnsiString(std::string_view Value) { SetAsString(AnsiToUtf8(Value)); }
    int32_t AsInteger() const { return GetAsInteger(); }
    virtual void SetAsInteger(int32_t Value);
    double AsFloat() const { return GetAsFloat(); }
    virtual void SetAsFloat(double Value);
    bool AsBoolean() const { return GetAsBoolean(); }
    virtual void SetAsBoolean(bool Value);
    TDateTime AsDateTime() const { return GetAsDateTime(); }
    virtual void SetAsDateTime(TDateTime Value);

    // The value before the edit began, the value being posted, the value
    // stored now: read through the dataset's old-, new- and current-value
    // states. Calculated fields have none (null).
    Variant OldValue() const;
    Variant NewValue() const;
    void SetNewValue(const Variant& Value);
    Variant CurValue() const;

    // Text for editing and for display; OnGetText / OnSetText replace them.
    std::string Text() const;
    void SetText(const std::string& Value);
    std::string DisplayText() const;
    // DisplayText into Out, whose storage is reused (a view reading every
    // cell); OnGetText and GetText are given it empty, as DisplayText does.
    void DisplayTextTo(std::string& Out) const;

    // Native-format access; a null Buffer asks "non-null?" / sets null.
    // SetData checks the dataset's state and the field's ReadOnly, runs
    // OnValidate (which reads the new value through the field) and stores.
    bool GetData(void* Buffer) const;
    void SetData(const void* Buffer);

    std::function<void(TField* Sender)> OnChange;
    std::function<void(TField* Sender)> OnValidate;
    std::function<void(TField* Sender, std::string& Text, bool DisplayText)> OnGetText;
    std::function<void(TField* Sender, const std::string& Text)> OnSetText;

protected:
    TField(TComponent* AOwner, TFieldType DataType, int Size);
    void SetDataType(TFieldType v) { FDataType = v; }

    virtual std::string GetAsString() const;
    virtual void GetAsStringTo(std::string& Out) const { Out = GetAsString(); }
    virtual AnsiString GetAsAnsiString() const { return Utf8ToAnsi(GetAsString()); }
    virtual int32_t GetAsInteger() const;
    virtual double GetAsFloat() const;
    virtual bool GetAsBoolean() const;
    virtual TDateTime GetAsDateTime() const;
    virtual Variant GetAsVariant() const;
    virtual void SetAsVariant(const Variant& Value);
    virtual void GetText(std::string& Text, bool /*DisplayText*/) const { GetAsStringTo(Text); }
    virtual int DefaultDisplayWidth() const { return 10; }
    virtual void CheckSize(int Value) const;
    // Drops per-record state after a post or cancel.
    virtual void FreeBuffers() {}

    [[noreturn]] void AccessError(const char* TypeName) const;
    [[noreturn]] void RangeError(const std::string& Value, const std::string& Min, const std::string& Max) const;
    // The dataset, or EDatabaseError "Field '%s' has no dataset".
    TDataSet& CheckDataSet() const;

    void Notification(TComponent* AComponent, TOperation Operation) override;

private:
    friend class TDataSet;
    friend class TFields;
    void CalcLookupValue();
    void Change() { if (OnChange) OnChange(this); }
    void Validate(const void* Buffer);
    void SetLookupValue(const Variant& Value);

    TDataSet* FDataSet = nullptr;
    std::string FFieldName;
    int FFieldNo = 0;
    TFieldType FDataType = ftUnknown;
    TFieldKind FFieldKind = fkData;
    int FSize = 0;
    int FOffset = 0;
    bool FRequired = false;
    bool FReadOnly = false;
    bool FVisible = true;
    std::string FDisplayLabel;
    int FDisplayWidth = 0;
    std::string FKeyFields, FLookupKeyFields, FLookupResultField;
    TDataSet* FLookupDataSet = nullptr;
    // While OnValidate runs, reads of the field see the value being set.
    const void* FValidateBuffer = nullptr;
    bool FValidating = false;
};

// The fields of a dataset, in order; they are not owned here.
class TFields {
public:
    explicit TFields(TDataSet* DataSet) : FDataSet(DataSet) {}
    TFields(const TFields&) = delete;
    TFields& operator=(const TFields&) = delete;

    int Count() const { return static_cast<int>(FList.size()); }
    TField* operator[](int Index) const;  // ERangeError-like EDatabaseError outside
    TField* FindField(std::string_view Name) const;  // case-insensitive; nullptr when absent
    TField* FieldByName(std::string_view Name) const;  // raises "Field '%s' not found"
    TField* FieldByNumber(int FieldNo) const;
    int IndexOf(const TField* Field) const;
    auto begin() const { return FList.begin(); }
    auto end() const { return FList.end(); }
    TDataSet* DataSet() const { return FDataSet; }

private:
    friend class TDataSet;
    friend class TField;
    void Add(TField* Field);
    void Remove(TField* Field);

    TDataSet* FDataSet;
    std::vector<TField*> FList;
};

class TStringField : public TField {
public:
    explicit TStringField(TComponent* AOwner = nullptr) : TStringField(AOwner, ftString, 20) {}
    int DataSize() const override { return Size() + 1; }
    bool FixedChar() const { return FFixedChar; }
    void SetFixedChar(bool v) { FFixedChar = v; }
    // Text longer than Size bytes (in code page 1251) is cut to Size.
    void SetAsString(std::string_view Value) override { SetAsAnsiString(Utf8ToAnsi(Value)); }
    void SetAsAnsiString(std::string_view Value) override;
    void SetAsInteger(int32_t Value) override { SetAsAnsiString(std::to_string(Value)); }
    void SetAsFloat(double Value) override { SetAsAnsiString(FloatToStr(Value)); }
    void SetAsBoolean(bool Value) override { SetAsAnsiString(Value ? STextTrue : STextFalse); }
    void SetAsDateTime(TDateTime Value) override { SetAsAnsiString(DateTimeToStr(Value)); }
    // The raw 1251 value; false for null.
    bool GetValue(AnsiString& Value) const;

protected:
    TStringField(TComponent* AOwner, TFieldType Type, int Size);
    std::string GetAsString() const override;
    void GetAsStringTo(std::string& Out) const override;
    AnsiString GetAsAnsiString() const override;
    int32_t GetAsInteger() const override;
    double GetAsFloat() const override;
    bool GetAsBoolean() const override;
    TDateTime GetAsDateTime() const override;
    Variant GetAsVariant() const override;
    void SetAsVariant(const Variant& Value) override;
    int DefaultDisplayWidth() const override { return Size(); }
    void CheckSize(int Value) const override;

private:
    bool FFixedChar = false;
};

class TFixedCharField : public TStringField {
public:
    explicit TFixedCharField(TComponent* AOwner = nullptr) : TStringField(AOwner, ftFixedChar, 1) {
        SetFixedChar(true);
    }
};

class TNumericField : public TField {
protected:
    using TField::TField;
};

// Integers of 16 and 32 bits, signed or not: values outside the type's range
// (or MinValue..MaxValue when they are set, both not 0) are refused.
class TIntegerField : public TNumericField {
public:
    explicit TIntegerField(TComponent* AOwner = nullptr) : TIntegerField(AOwner, ftInteger) {}
    int DataSize() const override { return DataType() == ftInteger ? 4 : 2; }
    int64_t MinValue() const { return FMinValue; }
    void SetMinValue(int64_t v) { FMinValue = v; }
    int64_t MaxValue() const { return FMaxValue; }
    void SetMaxValue(int64_t v) { FMaxValue = v; }
    void SetAsString(std::string_view Value) override;
    void SetAsInteger(int32_t Value) override { SetInt(Value); }
    void SetAsFloat(double Value) override;
    bool GetValue(int64_t& Value) const;

protected:
    TIntegerField(TComponent* AOwner, TFieldType Type);
    std::string GetAsString() const override;
    void GetAsStringTo(std::string& Out) const override;
    int32_t GetAsInteger() const override;
    double GetAsFloat() const override;
    Variant GetAsVariant() const override;
    void SetAsVariant(const Variant& Value) override;
    void SetInt(int64_t Value);

private:
    int64_t FMinValue = 0, FMaxValue = 0;
};

class TSmallintField : public TIntegerField {
public:
    explicit TSmallintField(TComponent* AOwner = nullptr) : TIntegerField(AOwner, ftSmallint) {}
};

class TWordField : public TIntegerField {
public:
    explicit TWordField(TComponent* AOwner = nullptr) : TIntegerField(AOwner, ftWord) {}
};

// Doubles; NaN and infinities are refused, as are values outside
// MinValue..MaxValue when those are set (both not 0).
class TFloatField : public TNumericField {
public:
    explicit TFloatField(TComponent* AOwner = nullptr) : TNumericField(AOwner, ftFloat, 0) {}
    int DataSize() const override { return 8; }
    double MinValue() const { return FMinValue; }
    void SetMinValue(double v) { FMinValue = v; }
    double MaxValue() const { return FMaxValue; }
    void SetMaxValue(double v) { FMaxValue = v; }
    void SetAsString(std::string_view Value) override;
    void SetAsInteger(int32_t Value) override { SetAsFloat(Value); }
    void SetAsFloat(double Value) override;
    bool GetValue(double& Value) const;

protected:
    std::string GetAsString() const override;
    void GetAsStringTo(std::string& Out) const override;
    int32_t GetAsInteger() const override;
    double GetAsFloat() const override;
    Variant GetAsVariant() const override;
    void SetAsVariant(const Variant& Value) override;

private:
    double FMinValue = 0, FMaxValue = 0;
};

class TBooleanField : public TField {
public:
    explicit TBooleanField(TComponent* AOwner = nullptr) : TField(AOwner, ftBoolean, 0) {}
    int DataSize() const override { return 2; }
    // "True;False": the texts of true and false; setting text accepts any
    // prefix of either, without regard to case.
    const std::string& DisplayValues() const { return FDisplayValues; }
    void SetDisplayValues(std::string Value);
    void SetAsString(std::string_view Value) override;
    void SetAsBoolean(bool Value) override;
    bool GetValue(bool& Value) const;

protected:
    std::string GetAsString() const override;
    bool GetAsBoolean() const override;
    Variant GetAsVariant() const override;
    void SetAsVariant(const Variant& Value) override;
    int DefaultDisplayWidth() const override { return 5; }

private:
    std::string FDisplayValues = "True;False";
    std::string FTrueText = STextTrue, FFalseText = STextFalse;
};

// Date-time values; TDateField keeps the date part only, TTimeField the
// time of day only.
class TDateTimeField : public TField {
public:
    explicit TDateTimeField(TComponent* AOwner = nullptr) : TDateTimeField(AOwner, ftDateTime) {}
    int DataSize() const override { return DataType() == ftDateTime ? 8 : 4; }
    void SetAsString(std::string_view Value) override;
    void SetAsFloat(double Value) override { SetAsDateTime(Value); }
    void SetAsDateTime(TDateTime Value) override;
    bool GetValue(TDateTime& Value) const;

protected:
    TDateTimeField(TComponent* AOwner, TFieldType Type) : TField(AOwner, Type, 0) {}
    std::string GetAsString() const override;
    void GetAsStringTo(std::string& Out) const override;
    double GetAsFloat() const override { return GetAsDateTime(); }
    TDateTime GetAsDateTime() const override;
    Variant GetAsVariant() const override;
    void SetAsVariant(const Variant& Value) override;
    int DefaultDisplayWidth() const override { return 19; }
};

class TDateField : public TDateTimeField {
public:
    explicit TDateField(TComponent* AOwner = nullptr) : TDateTimeField(AOwner, ftDate) {}
};

class TTimeField : public TDateTimeField {
public:
    explicit TTimeField(TComponent* AOwner = nullptr) : TDateTimeField(AOwner, ftTime) {}
};

// BLOB values are read and written through the dataset's CreateBlobStream.
// AsString gives the bytes as they are (TMemoField: 1251 text as UTF-8).
class TBlobField : public TField {
public:
    explicit TBlobField(TComponent* AOwner = nullptr) : TBlobField(AOwner, ftBlob) {}
    bool IsBlob() const override { return true; }
    bool IsNull() const override;
    void Clear() override;
    // Set by streams that wrote into the value since the last post or cancel.
    bool Modified() const { return FModified; }
    void SetModified(bool v) { FModified = v; }
    int64_t BlobSize() const;
    void LoadFromStream(TStream& Stream);  // from the stream's start
    void SaveToStream(TStream& Stream) const;
    void LoadFromFile(const std::string& FileName);
    void SaveToFile(const std::string& FileName) const;
    void SetAsString(std::string_view Value) override { SetAsAnsiString(Value); }
    void SetAsAnsiString(std::string_view Value) override;

protected:
    TBlobField(TComponent* AOwner, TFieldType Type) : TField(AOwner, Type, 0) {}
    std::string GetAsString() const override { return GetAsAnsiString(); }
    AnsiString GetAsAnsiString() const override;
    Variant GetAsVariant() const override;
    void SetAsVariant(const Variant& Value) override;
    void GetText(std::string& Text, bool DisplayText) const override;
    void FreeBuffers() override { FModified = false; }
    void CheckSize(int Value) const override;
    std::unique_ptr<TStream> OpenStream(TBlobStreamMode Mode) const;

private:
    bool FModified = false;
};

class TMemoField : public TBlobField {
public:
    explicit TMemoField(TComponent* AOwner = nullptr) : TBlobField(AOwner, ftMemo) {}
    void SetAsString(std::string_view Value) override { SetAsAnsiString(Utf8ToAnsi(Value)); }

protected:
    std::string GetAsString() const override { return AnsiToUtf8(GetAsAnsiString()); }
};

class TGraphicField : public TBlobField {
public:
    explicit TGraphicField(TComponent* AOwner = nullptr) : TBlobField(AOwner, ftGraphic) {}
};

// Splits "A; B;C" at ";" (blanks around a name dropped): the name that
// starts at Pos, with Pos moved past it and its ";". Callers loop while
// Pos < Fields.size().
std::string ExtractFieldName(std::string_view Fields, size_t& Pos);

} // namespace btr
