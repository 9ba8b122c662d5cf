// TBDataSet: field values between the record image and the framework's
// native formats, one conversion per dictionary field type.
#include <cfloat>
#include <cmath>
#include <cstring>

#include "dataset/btrset.h"
#include "engine/btrtools.h"
#include "framework/datetime.h"
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

// Packed decimal: 2n-1 digits, high nibble first, the sign in the last
// byte's low nibble (0xD negative).
double ReadDecimal(const uint8_t* p, int n) {
    double d = 0;
    for (int i = 0; i < n; ++i) {
        d = d * 10 + (p[i] >> 4);
        if (i != n - 1) d = d * 10 + (p[i] & 0x0F);
    }
    return (n > 0 && (p[n - 1] & 0x0F) == 0x0D) ? -d : d;
}

void WriteDecimal(uint8_t* p, int n, double e) {
    if (n <= 0) return;
    const uint8_t sign = e < 0 ? 0x0D : 0x00;
    e = std::trunc(std::fabs(e));
    auto digit = [&] {
        const int d = static_cast<int>(std::fmod(e, 10.0));
        e = std::trunc(e / 10);
        return static_cast<uint8_t>(d);
    };
    for (int i = n - 1; i >= 0; --i) {
        uint8_t b = (i == n - 1) ? sign : digit();
        b = static_cast<uint8_t>(b | digit() << 4);
        p[i] = b;
    }
}

[[noreturn]] void ShortBuffer(const TBField& f, int dataSize, int needed) {
    throw EBtrieve(Format("Error on move in TBDataSet.GetFieldData (%s) on %d DataSize: %d Write buff length: %d",
                          {f.Name, f.FType, dataSize, needed}));
}

bool ValidDate(const TBDate& d) {
    const int y = d.year;
    return d.month >= 1 && d.month <= 12 && y >= 1 && y <= 9999 && d.day >= 1 && d.day <= DaysInAMonth(y, d.month);
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

const TBField* TBDataSet::StoredField(const TField* Field) const {
    const int no = Field->FieldNo();
    if (!FFields || no < 1 || no > FFields->Count()) DatabaseErrorFmt(SFieldNotFound, {Field->FieldName()}, this);
    return FFields->Items(no - 1);
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
    const TBField& f = *StoredField(Field);
    const int size = Field->DataSize();
    const uint8_t* src = rec + f.BegOfs;
    auto* out = static_cast<uint8_t*>(Buffer);
    if (out) std::memset(out, 0, static_cast<size_t>(size));
    auto need = [&](int n) {
        if (size < n) ShortBuffer(f, size, n);
    };
    const int len = f.Length;
    switch (f.FType) {
    case 1: { // ZString(DOS)
        if (!out) return true;
        if (!OnTranslate) {
            // The usual case, straight through the table: no copies.
            const int n = std::min(len, size - 1);
            for (int i = 0; i < n && src[i] != 0; ++i) out[i] = DosToWinTable[src[i]];
            return true;
        }
        const std::string t = InternalTranslate(KLStrPas(reinterpret_cast<const char*>(src), static_cast<size_t>(len)), false, Field);
        if (src[0] != 0 && !t.empty()) PutText(out, size, t);
        return true;
    }
    case 2: case 3: case 4: case 7: case 8: case 9: case 13:
        if (out) std::memcpy(out, src, static_cast<size_t>(std::min(len, size)));
        return true;
    case 14: // String: the whole field, blanks and all
        if (out) PutText(out, size, std::string(reinterpret_cast<const char*>(src), static_cast<size_t>(std::min(len, size > 0 ? size - 1 : 0))));
        return true;
    case 15: case 16: { // LString
        if (!out) return true;
        const int n = std::min<int>(src[0], std::max(len - 1, 0));
        std::string s(reinterpret_cast<const char*>(src + 1), static_cast<size_t>(n));
        if (f.FType == 15) s = InternalTranslate(s, false, Field);
        PutText(out, size, s);
        return true;
    }
    case 22: // Char
        if (out) {
            need(2);
            out[0] = len > 0 ? src[0] : 0;
        }
        return true;
    case 12: // Boolean of any length
        if (out) {
            need(2);
            const bool v = !CheckFill(src, static_cast<uint32_t>(len), 0);
            const uint16_t b = v ? 0xFFFF : 0;
            std::memcpy(out, &b, 2);
        }
        return true;
    case 10: case 11:
        if (out) {
            need(8);
            const double d = len >= 10 ? ReadExtended(src) : 0.0;
            std::memcpy(out, &d, 8);
        }
        return true;
    case 21:
        if (out) {
            need(8);
            const double d = static_cast<double>(ReadLE<int64_t>(src)) / 10000.0;
            std::memcpy(out, &d, 8);
        }
        return true;
    case 17: {
        const double d = ReadDecimal(src, len);
        if (out) {
            need(8);
            std::memcpy(out, &d, 8);
        }
        return true;
    }
    case 5: {
        TBDate d;
        std::memcpy(&d, src, sizeof d);
        int32_t day = 0;
        if (!ValidDate(d) || !TryEncodeDayNumber(d.year, d.month, d.day, day)) return false;
        if (out) {
            need(4);
            std::memcpy(out, &day, 4);
        }
        return true;
    }
    case 6: {
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
    case 18: case 19: case 20:
        return ReadLE<int32_t>(src + 4) != 0;
    default:
        return false;
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
        uint8_t* dst = rec + f.BegOfs;
        const int len = f.Length;
        std::memset(dst, 0, static_cast<size_t>(len));
        if (in && len > 0) {
            const char* text = reinterpret_cast<const char*>(in);
            auto store = [&](const std::string& s, int at, int max) {
                std::memcpy(dst + at, s.data(), std::min<size_t>(s.size(), static_cast<size_t>(std::max(max, 0))));
            };
            switch (f.FType) {
            case 1: store(InternalTranslate(text, true, Field), 0, len - 1); break;
            case 8: case 9: store(text, 0, len - 1); break;
            case 2: case 3: case 4: case 7: case 13:
                std::memcpy(dst, in, static_cast<size_t>(std::min(len, Field->DataSize())));
                break;
            case 14: store(text, 0, len); break;
            case 22: dst[0] = in[0]; break;
            case 15: case 16: {
                const std::string s = text;
                const int n = std::min<int>(static_cast<int>(s.size()), len - 1);
                dst[0] = static_cast<uint8_t>(n);
                store(f.FType == 15 ? InternalTranslate(s, true, Field) : s, 1, n);
                break;
            }
            case 12: {
                uint16_t b;
                std::memcpy(&b, in, 2);
                dst[0] = static_cast<uint8_t>(b);
                if (len > 1) dst[1] = static_cast<uint8_t>(b >> 8);
                break;
            }
            case 10: case 11: {
                double d;
                std::memcpy(&d, in, 8);
                if (len >= 10) WriteExtended(dst, d);
                break;
            }
            case 21: {
                double d;
                std::memcpy(&d, in, 8);
                // Round half to even; clamp to what 64 bits hold.
                const double scaled = std::nearbyint(d * 10000.0);
                const int64_t v = scaled >= 9.2233720368547748e18 ? INT64_MAX
                                  : scaled <= -9.2233720368547748e18 ? INT64_MIN : static_cast<int64_t>(scaled);
                if (len >= 8) WriteLE<int64_t>(dst, v);
                break;
            }
            case 17: {
                double d;
                std::memcpy(&d, in, 8);
                WriteDecimal(dst, len, d);
                break;
            }
            case 5: {
                int32_t day;
                std::memcpy(&day, in, 4);
                int y, m, dd;
                DecodeDayNumber(day, y, m, dd);
                if (len >= 4) {
                    TBDate d{static_cast<uint8_t>(dd), static_cast<uint8_t>(m), static_cast<uint16_t>(y)};
                    std::memcpy(dst, &d, sizeof d);
                }
                break;
            }
            case 6: {
                int32_t ms;
                std::memcpy(&ms, in, 4);
                if (len >= 4) {
                    TBTime t{static_cast<uint8_t>((ms % 1000) / 10), static_cast<uint8_t>((ms % 60000) / 1000),
                             static_cast<uint8_t>((ms / 60000) % 60), static_cast<uint8_t>((ms / 60000) / 60)};
                    std::memcpy(dst, &t, sizeof t);
                }
                break;
            }
            default:
                break; // BLOB types are written through streams; unknown types hold nothing
            }
        }
    }
    if (State() != dsCalcFields && State() != dsFilter && State() != dsNewValue) DataEvent(deFieldChange, Field);
}

} // namespace btr
