// TBDataSet: field values between the record image and the framework's
// native formats, one conversion per dictionary field type.
#include <array>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>

#include "dataset/btrset.h"
#include "engine/btrtools.h"
#include "framework/datetime.h"
#include "platform/exceptions.h"
#include "platform/format.h"
#include "platform/klstrings.h"

namespace btr {

namespace {

static_assert(LDBL_MANT_DIG == 64, "10-byte reals are read through the x87 extended type");

double ReadExtended(const uint8_t* p) {
    long double v = 0;
    std::memcpy(&v, p, 10);
    return static_cast<double>(v);
}

void WriteExtended(uint8_t* p, double d) {
    const long double v = d;
    std::memcpy(p, &v, 10);
}

// A double as the shortest text that reads back as it, for messages.
std::string Shortest(double d) {
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, d).ptr);
}

// The two digits of a byte of packed decimal as a number, kNoDigits when a
// nibble is above 9.
constexpr uint8_t kNoDigits = 0xFF;
constexpr std::array<uint8_t, 256> kDigitPair = [] {
    std::array<uint8_t, 256> t{};
    for (int b = 0; b < 256; ++b)
        t[b] = (b >> 4) > 9 || (b & 0x0F) > 9 ? kNoDigits : static_cast<uint8_t>((b >> 4) * 10 + (b & 0x0F));
    return t;
}();

// Packed decimal: 2n-1 digits, high nibble first, the sign in the last
// byte's low nibble (0xD negative). The digits are gathered exactly and
// rounded to a double once.
double ReadDecimal(const uint8_t* p, int n) {
    if (n <= 0) return 0;
    const bool negative = (p[n - 1] & 0x0F) == 0x0D;
    auto nibble = [p](int k) { return k % 2 == 0 ? p[k / 2] >> 4 : p[k / 2] & 0x0F; }; // digit k, from 0
    const int count = 2 * n - 1;
    if (count <= 19) { // exact in 64 bits, rounded once
        uint64_t exact = 0;
        bool bad = false;
        for (int i = 0; i < n - 1; ++i) {
            const uint8_t pair = kDigitPair[p[i]];
            bad |= pair == kNoDigits;
            exact = exact * 100 + pair;
        }
        const unsigned last = p[n - 1] >> 4; // beside the sign
        bad |= last > 9;
        exact = exact * 10 + last;
        if (!bad) return negative ? -static_cast<double>(exact) : static_cast<double>(exact);
    }
    bool bcd = true;
    for (int k = 0; k < count && bcd; ++k) bcd = nibble(k) <= 9;
    double d = 0;
    if (bcd) {
        std::string digits(static_cast<size_t>(count), '0');
        for (int k = 0; k < count; ++k) digits[static_cast<size_t>(k)] = static_cast<char>('0' + nibble(k));
        std::from_chars(digits.data(), digits.data() + digits.size(), d);
    } else {
        // A nibble above 9 is no digit: such a field adds its value as it is.
        long double loose = 0;
        for (int k = 0; k < count; ++k) loose = loose * 10 + nibble(k);
        d = static_cast<double>(loose);
    }
    return negative ? -d : d;
}

// Every digit of the value's integer part, or ERangeError when the field's
// 2n-1 digits cannot hold them all. The fraction is dropped.
void WriteDecimal(uint8_t* p, int n, double e, const TBField& f) {
    if (n <= 0) return;
    char digits[400];
    const auto r = std::to_chars(digits, digits + sizeof digits, std::trunc(std::fabs(e)), std::chars_format::fixed, 0);
    int count = static_cast<int>(r.ptr - digits);
    if (count == 1 && digits[0] == '0') count = 0;
    if (count > 2 * n - 1)
        throw ERangeError(Format("%s has more digits than the %d of Decimal field \"%s\"",
                                 {Shortest(e), 2 * n - 1, f.Name}));
    std::memset(p, 0, static_cast<size_t>(n));
    p[n - 1] = e < 0 ? 0x0D : 0x00;
    // Digit k from the right sits in byte n-1-(k+1)/2: high nibble for even k.
    for (int k = 0; k < count; ++k) {
        const auto d = static_cast<uint8_t>(digits[count - 1 - k] - '0');
        uint8_t& b = p[n - 1 - (k + 1) / 2];
        b = static_cast<uint8_t>(k % 2 == 0 ? (b | d << 4) : (b | d));
    }
}

// The value in ten-thousandths, or ERangeError outside what 64 bits hold.
int64_t ScaledRS(double d, const TBField& f) {
    const double scaled = std::nearbyint(d * 10000.0); // halves to even
    if (!(scaled >= -9223372036854775808.0 && scaled < 9223372036854775808.0))
        throw ERangeError(Format("%s is out of the range of RS float field \"%s\"", {Shortest(d), f.Name}));
    return static_cast<int64_t>(scaled);
}

[[noreturn]] void ShortBuffer(const TBField& f, int dataSize, int needed) {
    throw EBtrieve(Format("Error on move in TBDataSet.GetFieldData (%s) on %d DataSize: %d Write buff length: %d",
                          {f.Name, f.FType, dataSize, needed}));
}

// Whether reading field f fills a value buffer of `size` bytes: numbers in
// fields as wide as their type. Any other buffer is cleared first.
bool FillsValue(const TBField& f, int size) {
    switch (f.FType) {
    case btSmallint: case btLongint: case btDouble: case btDoubleM: case btWord: return f.Length >= size;
    case btExtended: case btExtendedM: case btRSFloat: case btDecimal: return size == 8;
    default: return false;
    }
}

bool ValidTime(const TBTime& t) {
    return t.hour < 24 && t.min < 60 && t.sec < 60 && t.sec100 < 100 &&
           (t.hour | t.min | t.sec | t.sec100) != 0;
}

// Copies text with its zero into a value buffer of `size` bytes.
void PutText(void* buffer, int size, const std::string& text) {
    if (size > 0) KLStrPLCopy(static_cast<char*>(buffer), static_cast<size_t>(size), text, static_cast<size_t>(size - 1));
}

} // namespace

std::string TBDataSet::InternalTranslate(const std::string& S, bool ToOem, TField* Field) {
    std::string result = S;
    if (OnTranslate) {
        OnTranslate(result, ToOem, Field);
        return result;
    }
    return ToOem ? StrWin2Dos(result) : StrDOS2Win(result);
}

// Field reads run through this for every value: kept small enough to be
// inlined.
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

void TBDataSet::FieldNotStored(const TField& Field) const {
    DatabaseErrorFmt(SFieldNotFound, {Field.FieldName()}, this);
}

bool TBDataSet::GetFieldData(TField* Field, void* Buffer) {
    TRecordBuffer rec = nullptr;
    if (!GetActiveRecBuf(rec)) return false;
    if (Field->FieldNo() <= 0) {
        if (State() == dsFilter) DatabaseError("Calculated fields are not supported in OnFilterRecord handler", this);
        const uint8_t* p = rec + FRecordSize + Field->Offset();
        if (p[0] && Buffer) std::memcpy(Buffer, p + 1, static_cast<size_t>(Field->DataSize()));
        return p[0] != 0;
    }
    // Field lengths were checked against each type's width at opening.
    const TBField& f = *StoredField(Field);
    const int size = Field->DataSize();
    const uint8_t* src = rec + f.BegOfs;
    auto* out = static_cast<uint8_t*>(Buffer);
    if (out && !FillsValue(f, size)) std::memset(out, 0, static_cast<size_t>(size));
    auto need = [&](int n) {
        if (size < n) ShortBuffer(f, size, n);
    };
    const int len = f.Length;
    switch (f.FType) {
    case btZStringDOS: {
        if (!out) return true;
        // The usual case, straight through the table: no copies. A translation
        // of the application's own (OnTranslate, or InternalTranslate of a
        // descendant) sees every text.
        if (!OnTranslate && FPlainTranslate) {
            const int n = std::min(len, size - 1);
            for (int i = 0; i < n && src[i] != 0; ++i) out[i] = DosToWinTable[src[i]];
            return true;
        }
        const std::string t = InternalTranslate(KLStrPas(reinterpret_cast<const char*>(src), static_cast<size_t>(len)), false, Field);
        if (src[0] != 0 && !t.empty()) PutText(out, size, t);
        return true;
    }
    case btSmallint: case btLongint: case btDouble: case btDoubleM: case btSNR: case btZStringWIN: case btWord:
        if (out) std::memcpy(out, src, static_cast<size_t>(std::min(len, size)));
        return true;
    case btString: // the whole field, blanks and all
        if (out) PutText(out, size, std::string(reinterpret_cast<const char*>(src), static_cast<size_t>(std::min(len, size > 0 ? size - 1 : 0))));
        return true;
    case btLStringDOS: case btLStringWIN: {
        if (!out) return true;
        const int n = std::min<int>(src[0], std::max(len - 1, 0));
        std::string s(reinterpret_cast<const char*>(src + 1), static_cast<size_t>(n));
        if (f.FType == btLStringDOS) s = InternalTranslate(s, false, Field);
        PutText(out, size, s);
        return true;
    }
    case btChar:
        if (out) {
            need(2);
            out[0] = len > 0 ? src[0] : 0;
        }
        return true;
    case btBoolean: // of any length
        if (out) {
            need(2);
            const bool v = !CheckFill(src, static_cast<uint32_t>(len), 0);
            const uint16_t b = v ? 0xFFFF : 0;
            std::memcpy(out, &b, 2);
        }
        return true;
    case btExtended: case btExtendedM:
        if (out) {
            need(8);
            const double d = ReadExtended(src);
            std::memcpy(out, &d, 8);
        }
        return true;
    case btRSFloat:
        if (out) {
            need(8);
            const double d = static_cast<double>(ReadLE<int64_t>(src)) / 10000.0;
            std::memcpy(out, &d, 8);
        }
        return true;
    case btDecimal: {
        const double d = ReadDecimal(src, len);
        if (out) {
            need(8);
            std::memcpy(out, &d, 8);
        }
        return true;
    }
    case btDate: {
        TBDate d;
        std::memcpy(&d, src, sizeof d);
        int32_t day = 0;
        // Refused: what is no day of years 1..9999 (zeros, 30 February).
        if (!TryEncodeDayNumber(d.year, d.month, d.day, day)) return false;
        if (out) {
            need(4);
            std::memcpy(out, &day, 4);
        }
        return true;
    }
    case btTime: {
        TBTime t;
        std::memcpy(&t, src, sizeof t);
        if (!ValidTime(t)) return false;
        if (out) {
            need(4);
            const int32_t ms = ((t.hour * 60 + t.min) * 60 + t.sec) * 1000 + t.sec100 * 10;
            std::memcpy(out, &ms, 4);
        }
        return true;
    }
    case btBLOB: case btMEMO: case btGraphic:
        return ReadLE<int32_t>(src + 4) != 0;
    default:
        return false;
    }
}

// The bytes a value takes in its field, made before the field is touched:
// a value the field cannot hold raises and leaves the record as it was.
void TBDataSet::EncodeFieldValue(TField* Field, const TBField& f, const uint8_t* in, std::vector<uint8_t>& out) {
    const int len = f.Length;
    out.assign(static_cast<size_t>(len), 0);
    if (!in || len <= 0) return;
    uint8_t* dst = out.data();
    const char* text = reinterpret_cast<const char*>(in);
    auto store = [&](const std::string& s, int at, int max) {
        std::memcpy(dst + at, s.data(), std::min<size_t>(s.size(), static_cast<size_t>(std::max(max, 0))));
    };
    auto number = [&] {
        double d;
        std::memcpy(&d, in, 8);
        return d;
    };
    switch (f.FType) {
    case btZStringDOS: store(InternalTranslate(text, true, Field), 0, len - 1); break;
    case btSNR: case btZStringWIN: store(text, 0, len - 1); break;
    case btSmallint: case btLongint: case btDouble: case btDoubleM: case btWord:
        std::memcpy(dst, in, static_cast<size_t>(std::min(len, Field->DataSize())));
        break;
    case btString: store(text, 0, len); break;
    case btChar: dst[0] = in[0]; break;
    case btLStringDOS: case btLStringWIN: {
        const std::string s = text;
        const int n = std::min<int>(static_cast<int>(s.size()), len - 1);
        // The length is one byte: a longer text would be stored with a wrapped length.
        if (n > 255)
            throw ERangeError(Format("A text of %d characters does not fit the length byte of field \"%s\"", {n, f.Name}));
        dst[0] = static_cast<uint8_t>(n);
        store(f.FType == btLStringDOS ? InternalTranslate(s, true, Field) : s, 1, n);
        break;
    }
    case btBoolean: {
        uint16_t b;
        std::memcpy(&b, in, 2);
        dst[0] = static_cast<uint8_t>(b);
        if (len > 1) dst[1] = static_cast<uint8_t>(b >> 8);
        break;
    }
    case btExtended: case btExtendedM: WriteExtended(dst, number()); break;
    case btRSFloat: WriteLE<int64_t>(dst, ScaledRS(number(), f)); break;
    case btDecimal: WriteDecimal(dst, len, number(), f); break;
    case btDate: {
        int32_t day;
        std::memcpy(&day, in, 4);
        int y, m, dd;
        DecodeDayNumber(day, y, m, dd);
        const TBDate d{static_cast<uint8_t>(dd), static_cast<uint8_t>(m), static_cast<uint16_t>(y)};
        std::memcpy(dst, &d, sizeof d);
        break;
    }
    case btTime: {
        int32_t ms;
        std::memcpy(&ms, in, 4);
        const TBTime t{static_cast<uint8_t>((ms % 1000) / 10), static_cast<uint8_t>((ms % 60000) / 1000),
                       static_cast<uint8_t>((ms / 60000) % 60), static_cast<uint8_t>((ms / 60000) / 60)};
        std::memcpy(dst, &t, sizeof t);
        break;
    }
    default:
        break; // BLOB types are written through streams; unknown types hold nothing
    }
}

void TBDataSet::SetFieldData(TField* Field, const void* Buffer) {
    TRecordBuffer rec = nullptr;
    if (!GetActiveRecBuf(rec)) return;
    switch (State()) {
    case dsEdit: case dsInsert: case dsSetKey: case dsCalcFields: case dsFilter: case dsNewValue: case dsInternalCalc:
        break;
    default:
        DatabaseError(SNotEditing, this);
    }
    const auto* in = static_cast<const uint8_t*>(Buffer);
    if (Field->FieldNo() <= 0) {
        uint8_t* p = rec + FRecordSize + Field->Offset();
        p[0] = in ? 1 : 0;
        if (in) std::memcpy(p + 1, in, static_cast<size_t>(Field->DataSize()));
    } else {
        const TBField& f = *StoredField(Field);
        EncodeFieldValue(Field, f, in, FFieldBytes);
        if (!FFieldBytes.empty()) std::memcpy(rec + f.BegOfs, FFieldBytes.data(), FFieldBytes.size());
    }
    if (State() != dsCalcFields && State() != dsFilter && State() != dsNewValue) DataEvent(deFieldChange, Field);
}

} // namespace btr
