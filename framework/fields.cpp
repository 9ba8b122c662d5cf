#include "framework/fields.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <charconv>
#include <cstring>
#include <limits>

#include "framework/dataset.h"

namespace btr {

namespace {

bool SameName(std::string_view a, std::string_view b) { return Utf8CompareTextI(a, b) == 0; }

bool IsBlank(std::string_view s) { return s.find_first_not_of(" \t") == std::string_view::npos; }

// Buffer writes are allowed in these states only.
bool IsWritableState(TDataSetState s) {
    switch (s) {
    case dsEdit: case dsInsert: case dsSetKey: case dsCalcFields:
    case dsFilter: case dsNewValue: case dsInternalCalc: return true;
    default: return false;
    }
}

// A field value in native format: DataSize bytes and one spare zero byte, so
// that text read from a careless dataset always ends. It lives on the stack
// unless it is large, as reading fields is the inner loop of every scan.
class ValueBuffer {
public:
    explicit ValueBuffer(int size) : FSize(static_cast<size_t>(std::max(size, 0)) + 1) {
        if (FSize > FInline.size()) {
            FHeap.assign(FSize, 0);
            FData = FHeap.data();
        } else {
            std::memset(FData, 0, FSize);
        }
    }
    ValueBuffer(const ValueBuffer&) = delete;
    ValueBuffer& operator=(const ValueBuffer&) = delete;
    void* Data() { return FData; }
    const char* Text() const { return FData; }
    size_t TextLength() const { return strnlen(FData, FSize - 1); }

private:
    size_t FSize;
    std::array<char, 264> FInline;
    std::vector<char> FHeap;
    char* FData = FInline.data();
};

template <typename T> T Load(const ValueBuffer& b) {
    T v;
    std::memcpy(&v, b.Text(), sizeof v);
    return v;
}

} // namespace

const char* FieldTypeName(TFieldType Type) {
    switch (Type) {
    case ftUnknown: return "Unknown";
    case ftString: return "String";
    case ftSmallint: return "Smallint";
    case ftInteger: return "Integer";
    case ftWord: return "Word";
    case ftBoolean: return "Boolean";
    case ftFloat: return "Float";
    case ftDate: return "Date";
    case ftTime: return "Time";
    case ftDateTime: return "DateTime";
    case ftBlob: return "Blob";
    case ftMemo: return "Memo";
    case ftGraphic: return "Graphic";
    case ftFixedChar: return "FixedChar";
    }
    return "Unknown";
}

std::string ExtractFieldName(std::string_view Fields, size_t& Pos) {
    if (Pos >= Fields.size()) {
        Pos = Fields.size();
        return {};
    }
    size_t end = Fields.find(';', Pos);
    if (end == std::string_view::npos) end = Fields.size();
    std::string_view name = Fields.substr(Pos, end - Pos);
    const size_t first = name.find_first_not_of(" \t");
    name = first == std::string_view::npos ? std::string_view() : name.substr(first, name.find_last_not_of(" \t") - first + 1);
    Pos = end < Fields.size() ? end + 1 : end;
    return std::string(name);
}

// ---------------------------------------------------------------- TFieldDef

TFieldDef::TFieldDef(TFieldDefs* Owner, std::string Name, TFieldType DataType, int Size, bool Required, int FieldNo)
    : FOwner(Owner), FName(std::move(Name)), FDataType(DataType), FSize(Size), FRequired(Required),
      FFieldNo(FieldNo) {
    if (FName.empty()) DatabaseError(SFieldNameMissing);
    if (Size < 0) DatabaseError(SInvalidFieldSize);
    if (Owner) {
        if (Owner->IndexOf(FName) >= 0) DatabaseErrorFmt(SDuplicateFieldName, {FName});
        Owner->Adopt(this);
    }
}

TField* TFieldDef::CreateField(TComponent* AOwner) const {
    std::unique_ptr<TField> f;
    switch (FDataType) {
    case ftString: f = std::make_unique<TStringField>(nullptr); break;
    case ftFixedChar: f = std::make_unique<TFixedCharField>(nullptr); break;
    case ftSmallint: f = std::make_unique<TSmallintField>(nullptr); break;
    case ftInteger: f = std::make_unique<TIntegerField>(nullptr); break;
    case ftWord: f = std::make_unique<TWordField>(nullptr); break;
    case ftBoolean: f = std::make_unique<TBooleanField>(nullptr); break;
    case ftFloat: f = std::make_unique<TFloatField>(nullptr); break;
    case ftDate: f = std::make_unique<TDateField>(nullptr); break;
    case ftTime: f = std::make_unique<TTimeField>(nullptr); break;
    case ftDateTime: f = std::make_unique<TDateTimeField>(nullptr); break;
    case ftBlob: f = std::make_unique<TBlobField>(nullptr); break;
    case ftMemo: f = std::make_unique<TMemoField>(nullptr); break;
    case ftGraphic: f = std::make_unique<TGraphicField>(nullptr); break;
    case ftUnknown: DatabaseErrorFmt(SUnknownFieldType, {FName});
    }
    const bool sized = FDataType == ftString || FDataType == ftFixedChar || f->IsBlob();
    if (sized) f->SetSize(FSize);
    f->SetFieldName(FName);
    f->SetRequired(FRequired);
    if (FOwner && FOwner->DataSet()) f->SetDataSet(FOwner->DataSet());
    if (AOwner) AOwner->InsertComponent(f.get());
    return f.release();
}

// --------------------------------------------------------------- TFieldDefs

void TFieldDefs::Adopt(TFieldDef* Def) {
    FItems.emplace_back(Def);
    FUpdated = true;
}

TFieldDef& TFieldDefs::Add(std::string Name, TFieldType DataType, int Size, bool Required, int FieldNo) {
    return *new TFieldDef(this, std::move(Name), DataType, Size, Required, FieldNo > 0 ? FieldNo : Count() + 1);
}

TFieldDef& TFieldDefs::operator[](int Index) const {
    if (Index < 0 || Index >= Count()) DatabaseError(SFieldIndexError);
    return *FItems[static_cast<size_t>(Index)];
}

int TFieldDefs::IndexOf(std::string_view Name) const {
    for (int i = 0; i < Count(); ++i)
        if (SameName(FItems[static_cast<size_t>(i)]->Name(), Name)) return i;
    return -1;
}

TFieldDef& TFieldDefs::Find(std::string_view Name) const {
    const int i = IndexOf(Name);
    if (i < 0) DatabaseErrorFmt(SFieldNotFound, {Name}, FDataSet);
    return *FItems[static_cast<size_t>(i)];
}

void TFieldDefs::Clear() {
    FItems.clear();
    FUpdated = false;
}

void TFieldDefs::Update() {
    if (!FUpdated && FDataSet) FDataSet->InitFieldDefs();
}

// ------------------------------------------------------------------ TFields

TField* TFields::operator[](int Index) const {
    if (Index < 0 || Index >= Count()) DatabaseError(SFieldIndexError, FDataSet);
    return FList[static_cast<size_t>(Index)];
}

TField* TFields::FindField(std::string_view Name) const {
    for (TField* f : FList)
        if (SameName(f->FieldName(), Name)) return f;
    return nullptr;
}

TField* TFields::FieldByName(std::string_view Name) const {
    TField* f = FindField(Name);
    if (!f) DatabaseErrorFmt(SFieldNotFound, {Name}, FDataSet);
    return f;
}

TField* TFields::FieldByNumber(int FieldNo) const {
    for (TField* f : FList)
        if (f->FieldNo() == FieldNo) return f;
    return nullptr;
}

int TFields::IndexOf(const TField* Field) const {
    auto it = std::find(FList.begin(), FList.end(), Field);
    return it == FList.end() ? -1 : static_cast<int>(it - FList.begin());
}

void TFields::Add(TField* Field) { FList.push_back(Field); }

void TFields::Remove(TField* Field) {
    FList.erase(std::remove(FList.begin(), FList.end(), Field), FList.end());
}

// ------------------------------------------------------------------- TField

TField::TField(TComponent* AOwner) : TComponent(AOwner) {}

TField::TField(TComponent* AOwner, TFieldType DataType, int Size)
    : TComponent(AOwner), FDataType(DataType), FSize(Size) {}

TField::~TField() {
    if (FDataSet) FDataSet->FFields.Remove(this);
}

void TField::SetDataSet(TDataSet* Value) {
    if (Value == FDataSet) return;
    if (Value) {
        Value->CheckInactive();
        if (!FFieldName.empty() && Value->FindField(FFieldName)) DatabaseErrorFmt(SDuplicateFieldName, {FFieldName}, Value);
    }
    if (FDataSet) {
        FDataSet->CheckInactive();
        FDataSet->FFields.Remove(this);
    }
    FDataSet = Value;
    if (Value) Value->FFields.Add(this);
}

void TField::SetFieldName(std::string Value) {
    if (FDataSet) {
        FDataSet->CheckInactive();
        TField* other = FDataSet->FindField(Value);
        if (other && other != this) DatabaseErrorFmt(SDuplicateFieldName, {Value}, FDataSet);
    }
    FFieldName = std::move(Value);
}

void TField::SetFieldKind(TFieldKind Value) {
    if (FDataSet) FDataSet->CheckInactive();
    FFieldKind = Value;
}

void TField::SetSize(int Value) {
    if (FDataSet) FDataSet->CheckInactive();
    CheckSize(Value);
    FSize = Value;
}

void TField::CheckSize(int Value) const {
    if (Value != 0) DatabaseError(SInvalidFieldSize);
}

int TField::Index() const { return FDataSet ? FDataSet->FFields.IndexOf(this) : -1; }

bool TField::CanModify() const {
    if (FReadOnly || !FDataSet || FFieldKind == fkCalculated || FFieldKind == fkInternalCalc) return false;
    return FDataSet->CanModify();
}

void TField::SetLookupDataSet(TDataSet* Value) {
    if (Value && Value == FDataSet) DatabaseErrorFmt(SCircularLookup, {DisplayName()});
    if (FLookupDataSet) RemoveFreeNotification(FLookupDataSet);
    FLookupDataSet = Value;
    if (Value) FreeNotification(Value);
}

void TField::Notification(TComponent* AComponent, TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (Operation == TOperation::opRemove && AComponent == FLookupDataSet) FLookupDataSet = nullptr;
}

TDataSet& TField::CheckDataSet() const {
    if (!FDataSet) DatabaseErrorFmt(SDataSetMissing, {DisplayName()});
    return *FDataSet;
}

void TField::AccessError(const char* TypeName) const { DatabaseErrorFmt(SFieldAccessError, {DisplayName(), TypeName}); }

void TField::RangeError(const std::string& Value, const std::string& Min, const std::string& Max) const {
    DatabaseErrorFmt(SFieldRangeError, {Value, DisplayName(), Min, Max});
}

bool TField::GetData(void* Buffer) const {
    if (FValidating) {
        if (!FValidateBuffer) return false;
        if (Buffer) std::memcpy(Buffer, FValidateBuffer, static_cast<size_t>(DataSize()));
        return true;
    }
    return CheckDataSet().GetFieldData(const_cast<TField*>(this), Buffer);
}

void TField::SetData(const void* Buffer) {
    TDataSet& ds = CheckDataSet();
    const TDataSetState state = ds.State();
    if (!IsWritableState(state)) DatabaseError(SNotEditing, &ds);
    const bool userEdit = state == dsEdit || state == dsInsert || state == dsNewValue;
    if (userEdit) {
        if (FReadOnly) DatabaseErrorFmt(SFieldReadOnly, {DisplayName()}, &ds);
        Validate(Buffer);
    }
    ds.SetFieldData(this, Buffer);
}

void TField::Validate(const void* Buffer) {
    if (!OnValidate) return;
    FValidating = true;
    FValidateBuffer = Buffer;
    try {
        OnValidate(this);
    } catch (...) {
        FValidating = false;
        FValidateBuffer = nullptr;
        throw;
    }
    FValidating = false;
    FValidateBuffer = nullptr;
}

bool TField::IsNull() const { return !GetData(nullptr); }

Variant TField::Value() const { return GetAsVariant(); }

void TField::SetValue(const Variant& Value) {
    const TDataSetState state = CheckDataSet().State();
    if (FFieldKind == fkLookup && (state == dsEdit || state == dsInsert))
        SetLookupValue(Value);
    else
        SetAsVariant(Value);
}

// Choosing a lookup value sets the key fields to the matching record's keys.
void TField::SetLookupValue(const Variant& Value) {
    if (!FLookupDataSet || FKeyFields.empty() || FLookupKeyFields.empty() || FLookupResultField.empty())
        DatabaseErrorFmt(SLookupInfoError, {DisplayName()}, FDataSet);
    FDataSet->SetFieldValues(FKeyFields, FLookupDataSet->Lookup(FLookupResultField, Value, FLookupKeyFields));
}

void TField::CalcLookupValue() {
    if (!FLookupDataSet || !FLookupDataSet->Active()) return;
    const Variant keys = FDataSet->FieldValues(FKeyFields);
    SetAsVariant(FLookupDataSet->Lookup(FLookupKeyFields, keys, FLookupResultField));
}

std::string TField::GetAsString() const { AccessError("String"); }
int32_t TField::GetAsInteger() const { AccessError("Integer"); }
double TField::GetAsFloat() const { AccessError("Float"); }
bool TField::GetAsBoolean() const { AccessError("Boolean"); }
TDateTime TField::GetAsDateTime() const { AccessError("DateTime"); }
Variant TField::GetAsVariant() const { AccessError("Variant"); }
void TField::SetAsVariant(const Variant&) { AccessError("Variant"); }
void TField::SetAsString(std::string_view) { AccessError("String"); }
void TField::SetAsInteger(int32_t) { AccessError("Integer"); }
void TField::SetAsFloat(double) { AccessError("Float"); }
void TField::SetAsBoolean(bool) { AccessError("Boolean"); }
void TField::SetAsDateTime(TDateTime) { AccessError("DateTime"); }

Variant TField::OldValue() const { return CheckDataSet().GetStateFieldValue(dsOldValue, this); }
Variant TField::NewValue() const { return CheckDataSet().GetStateFieldValue(dsNewValue, this); }
void TField::SetNewValue(const Variant& Value) { CheckDataSet().SetStateFieldValue(dsNewValue, this, Value); }
Variant TField::CurValue() const { return CheckDataSet().GetStateFieldValue(dsCurValue, this); }

std::string TField::Text() const {
    std::string t;
    if (OnGetText)
        OnGetText(const_cast<TField*>(this), t, false);
    else
        GetText(t, false);
    return t;
}

std::string TField::DisplayText() const {
    std::string t;
    DisplayTextTo(t);
    return t;
}

void TField::DisplayTextTo(std::string& Out) const {
    Out.clear();
    if (OnGetText)
        OnGetText(const_cast<TField*>(this), Out, true);
    else
        GetText(Out, true);
}

void TField::SetText(const std::string& Value) {
    if (OnSetText)
        OnSetText(this, Value);
    else
        SetAsString(Value);
}

// ------------------------------------------------------------- TStringField

TStringField::TStringField(TComponent* AOwner, TFieldType Type, int Size) : TField(AOwner, Type, Size) {}

void TStringField::CheckSize(int Value) const {
    if (Value < 0) DatabaseError(SInvalidFieldSize);
}

bool TStringField::GetValue(AnsiString& Value) const {
    ValueBuffer b(DataSize());
    if (!GetData(b.Data())) return false;
    Value.assign(b.Text(), b.TextLength());
    return true;
}

std::string TStringField::GetAsString() const {
    std::string s;
    GetAsStringTo(s);
    return s;
}

void TStringField::GetAsStringTo(std::string& Out) const {
    ValueBuffer b(DataSize());
    if (!GetData(b.Data())) return Out.clear();
    AnsiToUtf8(std::string_view(b.Text(), b.TextLength()), Out);
}

AnsiString TStringField::GetAsAnsiString() const {
    AnsiString s;
    GetValue(s);
    return s;
}

void TStringField::SetAsAnsiString(std::string_view Value) {
    ValueBuffer b(DataSize());
    const size_t n = std::min(Value.size(), static_cast<size_t>(Size()));
    std::memcpy(b.Data(), Value.data(), n);
    SetData(b.Data());
}

// Numbers and dates read from text; empty text is 0 (or false).
int32_t TStringField::GetAsInteger() const {
    const AnsiString s = GetAsAnsiString();
    return IsBlank(s) ? 0 : Variant(s).AsInteger();
}

double TStringField::GetAsFloat() const {
    const AnsiString s = GetAsAnsiString();
    return IsBlank(s) ? 0 : Variant(s).AsDouble();
}

bool TStringField::GetAsBoolean() const {
    const AnsiString s = GetAsAnsiString();
    return !IsBlank(s) && Variant(s).AsBoolean();
}

TDateTime TStringField::GetAsDateTime() const {
    const AnsiString s = GetAsAnsiString();
    return IsBlank(s) ? 0 : Variant(s).AsDateTime();
}

Variant TStringField::GetAsVariant() const {
    AnsiString s;
    if (!GetValue(s)) return {};
    return Variant(AnsiToUtf8(s));
}

void TStringField::SetAsVariant(const Variant& Value) {
    if (Value.IsNull())
        Clear();
    else
        SetAsString(Value.AsString());
}

// ------------------------------------------------------------ TIntegerField

TIntegerField::TIntegerField(TComponent* AOwner, TFieldType Type) : TNumericField(AOwner, Type, 0) {}

bool TIntegerField::GetValue(int64_t& Value) const {
    ValueBuffer b(DataSize());
    if (!GetData(b.Data())) return false;
    switch (DataType()) {
    case ftSmallint: Value = Load<int16_t>(b); break;
    case ftWord: Value = Load<uint16_t>(b); break;
    default: Value = Load<int32_t>(b); break;
    }
    return true;
}

void TIntegerField::SetInt(int64_t Value) {
    int64_t lo, hi;
    switch (DataType()) {
    case ftSmallint: lo = INT16_MIN; hi = INT16_MAX; break;
    case ftWord: lo = 0; hi = UINT16_MAX; break;
    default: lo = INT32_MIN; hi = INT32_MAX; break;
    }
    if (FMinValue != 0 || FMaxValue != 0) {
        lo = std::max(lo, FMinValue);
        hi = std::min(hi, FMaxValue);
    }
    if (Value < lo || Value > hi) RangeError(std::to_string(Value), std::to_string(lo), std::to_string(hi));
    uint8_t buf[4];
    if (DataType() == ftInteger) {
        const int32_t v = static_cast<int32_t>(Value);
        std::memcpy(buf, &v, 4);
    } else if (DataType() == ftSmallint) {
        const int16_t v = static_cast<int16_t>(Value);
        std::memcpy(buf, &v, 2);
    } else {
        const uint16_t v = static_cast<uint16_t>(Value);
        std::memcpy(buf, &v, 2);
    }
    SetData(buf);
}

void TIntegerField::SetAsString(std::string_view Value) {
    if (IsBlank(Value)) return Clear();
    int64_t v;
    if (!TryStrToInt64(Value, v)) DatabaseErrorFmt(SInvalidIntegerValue, {Value, DisplayName()});
    SetInt(v);
}

void TIntegerField::SetAsFloat(double Value) {
    const double r = std::nearbyint(Value);
    if (!(r >= -9.0e18 && r <= 9.0e18)) RangeError(FloatToStr(Value), std::to_string(INT32_MIN), std::to_string(INT32_MAX));
    SetInt(static_cast<int64_t>(r));
}

std::string TIntegerField::GetAsString() const {
    std::string s;
    GetAsStringTo(s);
    return s;
}

void TIntegerField::GetAsStringTo(std::string& Out) const {
    int64_t v;
    if (!GetValue(v)) return Out.clear();
    char text[24];
    Out.assign(text, std::to_chars(text, text + sizeof text, v).ptr);
}

int32_t TIntegerField::GetAsInteger() const {
    int64_t v = 0;
    GetValue(v);
    return static_cast<int32_t>(v);  // every stored integer type fits
}

double TIntegerField::GetAsFloat() const {
    int64_t v = 0;
    GetValue(v);
    return static_cast<double>(v);
}

Variant TIntegerField::GetAsVariant() const {
    int64_t v;
    if (!GetValue(v)) return {};
    return Variant(static_cast<long long>(v));
}

void TIntegerField::SetAsVariant(const Variant& Value) {
    if (Value.IsNull())
        Clear();
    else
        SetInt(Value.AsInt64());
}

// -------------------------------------------------------------- TFloatField

bool TFloatField::GetValue(double& Value) const {
    ValueBuffer b(DataSize());
    if (!GetData(b.Data())) return false;
    Value = Load<double>(b);
    return true;
}

void TFloatField::SetAsFloat(double Value) {
    // Stored formats (packed decimals, scaled integers) have no NaN or infinity.
    if (!std::isfinite(Value)) DatabaseErrorFmt(SInvalidFloatValue, {FloatToStr(Value), DisplayName()});
    if ((FMinValue != 0 || FMaxValue != 0) && (Value < FMinValue || Value > FMaxValue))
        RangeError(FloatToStr(Value), FloatToStr(FMinValue), FloatToStr(FMaxValue));
    SetData(&Value);
}

void TFloatField::SetAsString(std::string_view Value) {
    if (IsBlank(Value)) return Clear();
    double v;
    if (!TryStrToFloat(Value, v)) DatabaseErrorFmt(SInvalidFloatValue, {Value, DisplayName()});
    SetAsFloat(v);
}

std::string TFloatField::GetAsString() const {
    std::string s;
    GetAsStringTo(s);
    return s;
}

void TFloatField::GetAsStringTo(std::string& Out) const {
    double v;
    if (!GetValue(v)) return Out.clear();
    FloatToStr(v, Out);
}

int32_t TFloatField::GetAsInteger() const {
    double v = 0;
    GetValue(v);
    return Variant(v).AsInteger();
}

double TFloatField::GetAsFloat() const {
    double v = 0;
    GetValue(v);
    return v;
}

Variant TFloatField::GetAsVariant() const {
    double v;
    if (!GetValue(v)) return {};
    return Variant(v);
}

void TFloatField::SetAsVariant(const Variant& Value) {
    if (Value.IsNull())
        Clear();
    else
        SetAsFloat(Value.AsDouble());
}

// ------------------------------------------------------------ TBooleanField

void TBooleanField::SetDisplayValues(std::string Value) {
    const size_t sep = Value.find(';');
    std::string t = Value.substr(0, sep);
    std::string f = sep == std::string::npos ? std::string() : Value.substr(sep + 1);
    if (t.empty() && f.empty()) DatabaseErrorFmt(SInvalidBoolValue, {Value, DisplayName()});
    FTrueText = std::move(t);
    FFalseText = std::move(f);
    FDisplayValues = std::move(Value);
}

bool TBooleanField::GetValue(bool& Value) const {
    ValueBuffer b(DataSize());
    if (!GetData(b.Data())) return false;
    Value = Load<int16_t>(b) != 0;
    return true;
}

void TBooleanField::SetAsBoolean(bool Value) {
    const int16_t v = Value ? -1 : 0;  // all bits set for true
    SetData(&v);
}

void TBooleanField::SetAsString(std::string_view Value) {
    if (IsBlank(Value)) return Clear();
    auto isPrefixOf = [&](const std::string& text) {
        return !text.empty() && Value.size() <= text.size() && Utf8CompareTextI(Value, std::string_view(text).substr(0, Value.size())) == 0;
    };
    // A text that starts both words (an empty one) is ambiguous; the
    // whole-word match wins.
    if (Utf8CompareTextI(Value, FTrueText) == 0) return SetAsBoolean(true);
    if (Utf8CompareTextI(Value, FFalseText) == 0) return SetAsBoolean(false);
    const bool t = isPrefixOf(FTrueText), f = isPrefixOf(FFalseText);
    if (t == f) DatabaseErrorFmt(SInvalidBoolValue, {Value, DisplayName()});
    SetAsBoolean(t);
}

std::string TBooleanField::GetAsString() const {
    bool v;
    if (!GetValue(v)) return {};
    return v ? FTrueText : FFalseText;
}

bool TBooleanField::GetAsBoolean() const {
    bool v = false;
    GetValue(v);
    return v;
}

Variant TBooleanField::GetAsVariant() const {
    bool v;
    if (!GetValue(v)) return {};
    return Variant(v);
}

void TBooleanField::SetAsVariant(const Variant& Value) {
    if (Value.IsNull())
        Clear();
    else
        SetAsBoolean(Value.AsBoolean());
}

// ----------------------------------------------------------- TDateTimeField

bool TDateTimeField::GetValue(TDateTime& Value) const {
    ValueBuffer b(DataSize());
    if (!GetData(b.Data())) return false;
    switch (DataType()) {
    case ftDate: Value = DayNumberToDate(Load<int32_t>(b)); break;
    case ftTime: Value = MSecsToTime(Load<int32_t>(b)); break;
    default: Value = Load<double>(b); break;
    }
    return true;
}

void TDateTimeField::SetAsDateTime(TDateTime Value) {
    // Out-of-range values raise EConvertError before anything is stored.
    const TTimeStamp ts = DateTimeToTimeStamp(Value);
    if (DataType() == ftDate) {
        SetData(&ts.Date);
    } else if (DataType() == ftTime) {
        SetData(&ts.Time);
    } else {
        SetData(&Value);
    }
}

void TDateTimeField::SetAsString(std::string_view Value) {
    if (IsBlank(Value)) return Clear();
    TDateTime v;
    const bool ok = DataType() == ftTime ? TryStrToTime(Value, v) || TryStrToDateTime(Value, v)
                                         : TryStrToDateTime(Value, v);
    if (!ok) DatabaseErrorFmt(SInvalidDateTimeValue, {Value, DisplayName()});
    SetAsDateTime(v);
}

std::string TDateTimeField::GetAsString() const {
    std::string s;
    GetAsStringTo(s);
    return s;
}

// The text of the stored number as GetValue reads it, without the way
// through a TDateTime.
void TDateTimeField::GetAsStringTo(std::string& Out) const {
    ValueBuffer b(DataSize());
    if (!GetData(b.Data())) return Out.clear();
    switch (DataType()) {
    case ftDate: return DayNumberToStr(Load<int32_t>(b), Out);
    case ftTime: return MSecsToStr(Load<int32_t>(b), Out);
    default: return DateTimeToStr(Load<double>(b), Out);
    }
}

TDateTime TDateTimeField::GetAsDateTime() const {
    TDateTime v = 0;
    GetValue(v);
    return v;
}

Variant TDateTimeField::GetAsVariant() const {
    TDateTime v;
    if (!GetValue(v)) return {};
    return Variant::FromDateTime(v);
}

void TDateTimeField::SetAsVariant(const Variant& Value) {
    if (Value.IsNull())
        Clear();
    else
        SetAsDateTime(Value.AsDateTime());
}

// --------------------------------------------------------------- TBlobField

void TBlobField::CheckSize(int Value) const {
    if (Value < 0) DatabaseError(SInvalidFieldSize);
}

std::unique_ptr<TStream> TBlobField::OpenStream(TBlobStreamMode Mode) const {
    TDataSet& ds = CheckDataSet();
    if (Mode != bmRead) {
        const TDataSetState s = ds.State();
        if (s != dsEdit && s != dsInsert) DatabaseError(SNotEditing, &ds);
        if (ReadOnly()) DatabaseErrorFmt(SFieldReadOnly, {DisplayName()}, &ds);
    }
    auto stream = ds.CreateBlobStream(const_cast<TBlobField*>(this), Mode);
    if (!stream) DatabaseErrorFmt(SBlobNotSupported, {DisplayName()}, &ds);
    return stream;
}

// A value written but not yet posted decides by its content.
bool TBlobField::IsNull() const {
    if (FModified) return OpenStream(bmRead)->Size() == 0;
    return TField::IsNull();
}

void TBlobField::Clear() {
    OpenStream(bmWrite);
    FModified = true;
    CheckDataSet().DataEvent(deFieldChange, const_cast<TBlobField*>(this));
}

int64_t TBlobField::BlobSize() const {
    if (!FModified && TField::IsNull()) return 0;
    return OpenStream(bmRead)->Size();
}

void TBlobField::LoadFromStream(TStream& Stream) {
    {
        auto out = OpenStream(bmWrite);
        Stream.SetPosition(0);
        const int64_t size = Stream.Size();
        if (size > 0) out->CopyFrom(Stream, size);
    }
    FModified = true;
    CheckDataSet().DataEvent(deFieldChange, this);
}

void TBlobField::SaveToStream(TStream& Stream) const {
    if (!FModified && TField::IsNull()) return;
    auto in = OpenStream(bmRead);
    const int64_t size = in->Size();
    if (size > 0) Stream.CopyFrom(*in, 0);
}

void TBlobField::LoadFromFile(const std::string& FileName) {
    TMemoryStream m;
    m.LoadFromFile(FileName);
    LoadFromStream(m);
}

void TBlobField::SaveToFile(const std::string& FileName) const {
    TMemoryStream m;
    SaveToStream(m);
    m.SaveToFile(FileName);
}

AnsiString TBlobField::GetAsAnsiString() const {
    TMemoryStream m;
    SaveToStream(m);
    return AnsiString(reinterpret_cast<const char*>(m.Memory()), static_cast<size_t>(m.Size()));
}

void TBlobField::SetAsAnsiString(std::string_view Value) {
    {
        auto out = OpenStream(bmWrite);
        if (!Value.empty()) out->WriteBuffer(Value.data(), static_cast<int32_t>(Value.size()));
    }
    FModified = true;
    CheckDataSet().DataEvent(deFieldChange, this);
}

Variant TBlobField::GetAsVariant() const {
    if (IsNull()) return {};
    return Variant(GetAsString());
}

void TBlobField::SetAsVariant(const Variant& Value) {
    if (Value.IsNull())
        Clear();
    else
        SetAsString(Value.AsString());
}

void TBlobField::GetText(std::string& Text, bool DisplayText) const {
    if (!DisplayText) {
        Text = GetAsString();
        return;
    }
    std::string name = DataType() == ftMemo ? "MEMO" : DataType() == ftGraphic ? "GRAPHIC" : "BLOB";
    // Lower case tells an empty value at a glance, as views show it.
    if (IsNull())
        for (char& c : name) c = static_cast<char>(c | 0x20);
    Text = "(" + name + ")";
}

} // namespace btr
