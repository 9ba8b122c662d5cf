#include "framework/datetime.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/exceptions.h"

namespace btr {

namespace {

constexpr int32_t D1 = 365;
constexpr int32_t D4 = D1 * 4 + 1;
constexpr int32_t D100 = D4 * 25 - 1;
constexpr int32_t D400 = D100 * 4 + 1;

[[noreturn]] void InvalidDate() { throw EConvertError("Invalid argument to date encode"); }
[[noreturn]] void InvalidTime() { throw EConvertError("Invalid argument to time encode"); }
[[noreturn]] void InvalidDateTime(double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15g", value);
    throw EConvertError(std::string("Invalid date and time value: ") + buf);
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// Reads 1..maxDigits decimal digits from the front of s.
bool TakeNumber(std::string_view& s, int maxDigits, int& value) {
    int n = 0;
    value = 0;
    while (n < maxDigits && n < static_cast<int>(s.size()) && s[n] >= '0' && s[n] <= '9') {
        value = value * 10 + (s[n] - '0');
        ++n;
    }
    s.remove_prefix(static_cast<size_t>(n));
    return n > 0;
}

bool TakeChar(std::string_view& s, char c) {
    if (s.empty() || s.front() != c) return false;
    s.remove_prefix(1);
    return true;
}

bool ParseDatePart(std::string_view s, TDateTime& value) {
    int a, b, c;
    std::string_view rest = s;
    if (!TakeNumber(rest, 4, a)) return false;
    if (TakeChar(rest, '-')) {  // YYYY-MM-DD
        if (!TakeNumber(rest, 2, b) || !TakeChar(rest, '-') || !TakeNumber(rest, 2, c)) return false;
        return rest.empty() && TryEncodeDate(a, b, c, value);
    }
    if (TakeChar(rest, '.')) {  // DD.MM.YYYY
        if (!TakeNumber(rest, 2, b) || !TakeChar(rest, '.') || !TakeNumber(rest, 4, c)) return false;
        return rest.empty() && TryEncodeDate(c, b, a, value);
    }
    return false;
}

bool ParseTimePart(std::string_view s, TDateTime& value) {
    int h, m, sec = 0, ms = 0;
    if (!TakeNumber(s, 2, h) || !TakeChar(s, ':') || !TakeNumber(s, 2, m)) return false;
    if (TakeChar(s, ':')) {
        if (!TakeNumber(s, 2, sec)) return false;
        if (TakeChar(s, '.')) {
            std::string_view digits = s;
            if (!TakeNumber(s, 3, ms)) return false;
            for (size_t n = digits.size() - s.size(); n < 3; ++n) ms *= 10;  // ".5" is 500 ms
        }
    }
    return s.empty() && TryEncodeTime(h, m, sec, ms, value);
}

} // namespace

bool IsLeapYear(int Year) { return Year % 4 == 0 && (Year % 100 != 0 || Year % 400 == 0); }

int DaysInAMonth(int Year, int Month) {
    static constexpr int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (Month < 1 || Month > 12) return 0;
    return Month == 2 && IsLeapYear(Year) ? 29 : days[Month - 1];
}

bool TryEncodeDayNumber(int Year, int Month, int Day, int32_t& DayNumber) {
    if (Year < 1 || Year > 9999 || Day < 1 || Day > DaysInAMonth(Year, Month)) return false;
    static constexpr int16_t before[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    const int32_t dayOfYear = before[Month - 1] + Day + (Month > 2 && IsLeapYear(Year) ? 1 : 0);
    const int32_t y = Year - 1;
    DayNumber = y * 365 + y / 4 - y / 100 + y / 400 + dayOfYear;
    return true;
}

int32_t EncodeDayNumber(int Year, int Month, int Day) {
    int32_t n;
    if (!TryEncodeDayNumber(Year, Month, Day, n)) InvalidDate();
    return n;
}

void DecodeDayNumber(int32_t DayNumber, int& Year, int& Month, int& Day) {
    if (DayNumber < MinDayNumber || DayNumber > MaxDayNumber) InvalidDateTime(DayNumber - DateDelta);
    int32_t t = DayNumber - 1;
    int y = 1 + 400 * (t / D400);
    t %= D400;
    int32_t i = t / D100, d = t % D100;
    if (i == 4) { --i; d += D100; }  // the last day of a 400-year cycle
    y += i * 100;
    y += 4 * (d / D4);
    d %= D4;
    i = d / D1;
    d %= D1;
    if (i == 4) { --i; d += D1; }  // the last day of a leap year
    y += i;
    // Days before each month. d / 31 is the month or the one before it: no
    // month is longer than 31 days, and the months before the j-th (from 0)
    // hold at least 31 * (j - 1) days.
    static constexpr int16_t before[2][13] = {{0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
                                              {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366}};
    const int16_t* const starts = before[IsLeapYear(y)];
    int m = d / 31;
    if (d >= starts[m + 1]) ++m;
    Year = y;
    Month = m + 1;
    Day = d - starts[m] + 1;
}

bool TryEncodeDate(int Year, int Month, int Day, TDateTime& Date) {
    int32_t n;
    if (!TryEncodeDayNumber(Year, Month, Day, n)) return false;
    Date = n - DateDelta;
    return true;
}

TDateTime EncodeDate(int Year, int Month, int Day) { return EncodeDayNumber(Year, Month, Day) - DateDelta; }

bool TryEncodeTime(int Hour, int Min, int Sec, int MSec, TDateTime& Time) {
    if (Hour < 0 || Hour > 23 || Min < 0 || Min > 59 || Sec < 0 || Sec > 59 || MSec < 0 || MSec > 999)
        return false;
    Time = static_cast<double>(((Hour * 60 + Min) * 60 + Sec) * 1000 + MSec) / MSecsPerDay;
    return true;
}

TDateTime EncodeTime(int Hour, int Min, int Sec, int MSec) {
    TDateTime t;
    if (!TryEncodeTime(Hour, Min, Sec, MSec, t)) InvalidTime();
    return t;
}

void DecodeDate(TDateTime Date, int& Year, int& Month, int& Day) {
    DecodeDayNumber(DateTimeToTimeStamp(Date).Date, Year, Month, Day);
}

void DecodeTime(TDateTime Time, int& Hour, int& Min, int& Sec, int& MSec) {
    const int32_t ms = TimeToMSecs(Time);
    Hour = ms / 3600000;
    Min = ms / 60000 % 60;
    Sec = ms / 1000 % 60;
    MSec = ms % 1000;
}

TTimeStamp DateTimeToTimeStamp(TDateTime DateTime) {
    // Anything beyond this is far outside years 1..9999; checking first keeps
    // the conversion to an integer defined.
    if (!std::isfinite(DateTime) || std::fabs(DateTime) > 1e7) InvalidDateTime(DateTime);
    const double days = std::trunc(DateTime);
    int64_t ms = std::llround(std::fabs(DateTime - days) * MSecsPerDay);
    int64_t date = DateDelta + static_cast<int64_t>(days);
    if (ms >= MSecsPerDay) {  // rounded up to the next midnight
        ms -= MSecsPerDay;
        ++date;
    }
    if (date < MinDayNumber || date > MaxDayNumber) InvalidDateTime(DateTime);
    return {static_cast<int32_t>(ms), static_cast<int32_t>(date)};
}

TDateTime TimeStampToDateTime(const TTimeStamp& TimeStamp) {
    if (TimeStamp.Date < MinDayNumber || TimeStamp.Date > MaxDayNumber || TimeStamp.Time < 0 ||
        TimeStamp.Time >= MSecsPerDay)
        throw EConvertError("Invalid time stamp");
    const double days = TimeStamp.Date - DateDelta;
    const double frac = static_cast<double>(TimeStamp.Time) / MSecsPerDay;
    return days < 0 ? days - frac : days + frac;
}

TDateTime MSecsToTime(int32_t MSecs) {
    if (MSecs < 0 || MSecs >= MSecsPerDay) InvalidTime();
    return static_cast<double>(MSecs) / MSecsPerDay;
}

int32_t TimeToMSecs(TDateTime Time) {
    if (!std::isfinite(Time)) InvalidDateTime(Time);
    const int64_t ms = std::llround(std::fabs(Time - std::trunc(Time)) * MSecsPerDay);
    return ms >= MSecsPerDay ? 0 : static_cast<int32_t>(ms);
}

TDateTime DayNumberToDate(int32_t DayNumber) {
    if (DayNumber < MinDayNumber || DayNumber > MaxDayNumber) InvalidDateTime(DayNumber - DateDelta);
    return DayNumber - DateDelta;
}

int32_t DateToDayNumber(TDateTime Date) { return DateTimeToTimeStamp(Date).Date; }

namespace {

// Fixed-width decimal digits at p; the values come from the decoders, in
// range. Two at a time: every field read of a date or a time comes here.
char* Digits(char* p, int value, int width) {
    static constexpr auto kPairs = [] {
        std::array<char, 200> t{};
        for (int i = 0; i < 100; ++i) {
            t[static_cast<size_t>(2 * i)] = static_cast<char>('0' + i / 10);
            t[static_cast<size_t>(2 * i + 1)] = static_cast<char>('0' + i % 10);
        }
        return t;
    }();
    int i = width;
    for (; i >= 2; i -= 2, value /= 100) std::memcpy(p + i - 2, kPairs.data() + 2 * (value % 100), 2);
    if (i == 1) p[0] = static_cast<char>('0' + value % 10);
    return p + width;
}

// The text forms written at p, which has room for kTextRoom characters; the
// end of what was written. Field reads format every value through here.
constexpr int kTextRoom = 48;

char* PutDayNumber(char* p, int32_t DayNumber) {
    int y, m, d;
    DecodeDayNumber(DayNumber, y, m, d);
    if (y < 0 || y > 9999) return p + std::snprintf(p, kTextRoom, "%04d-%02d-%02d", y, m, d);
    p = Digits(p, y, 4);
    *p++ = '-';
    p = Digits(p, m, 2);
    *p++ = '-';
    return Digits(p, d, 2);
}

char* PutMSecs(char* p, int32_t MSecs) {
    p = Digits(p, MSecs / 3600000, 2);
    *p++ = ':';
    p = Digits(p, MSecs / 60000 % 60, 2);
    *p++ = ':';
    p = Digits(p, MSecs / 1000 % 60, 2);
    if (MSecs % 1000 != 0) {
        *p++ = '.';
        p = Digits(p, MSecs % 1000, 3);
    }
    return p;
}

char* PutDate(char* p, TDateTime Date) { return PutDayNumber(p, DateToDayNumber(Date)); }
char* PutTime(char* p, TDateTime Time) { return PutMSecs(p, TimeToMSecs(Time)); }

} // namespace

void DateToStr(TDateTime Date, std::string& Out) {
    char text[kTextRoom];
    Out.assign(text, PutDate(text, Date));
}

void TimeToStr(TDateTime Time, std::string& Out) {
    char text[kTextRoom];
    Out.assign(text, PutTime(text, Time));
}

void DateTimeToStr(TDateTime DateTime, std::string& Out) {
    const TTimeStamp ts = DateTimeToTimeStamp(DateTime);
    char text[2 * kTextRoom];
    char* end = PutDate(text, DateTime);
    if (ts.Time != 0) {
        *end++ = ' ';
        end = PutTime(end, DateTime);
    }
    Out.assign(text, end);
}

void DayNumberToStr(int32_t DayNumber, std::string& Out) {
    char text[kTextRoom];
    Out.assign(text, PutDayNumber(text, DayNumber));
}

void MSecsToStr(int32_t MSecs, std::string& Out) {
    if (MSecs < 0 || MSecs >= MSecsPerDay) InvalidTime();
    char text[kTextRoom];
    Out.assign(text, PutMSecs(text, MSecs));
}

std::string DateToStr(TDateTime Date) {
    std::string s;
    DateToStr(Date, s);
    return s;
}

std::string TimeToStr(TDateTime Time) {
    std::string s;
    TimeToStr(Time, s);
    return s;
}

std::string DateTimeToStr(TDateTime DateTime) {
    std::string s;
    DateTimeToStr(DateTime, s);
    return s;
}

bool TryStrToDate(std::string_view S, TDateTime& Value) { return ParseDatePart(Trim(S), Value); }

bool TryStrToTime(std::string_view S, TDateTime& Value) { return ParseTimePart(Trim(S), Value); }

bool TryStrToDateTime(std::string_view S, TDateTime& Value) {
    S = Trim(S);
    const size_t sep = S.find_first_of(" T");
    TDateTime date;
    if (sep == std::string_view::npos) {
        if (ParseDatePart(S, date)) {
            Value = date;
            return true;
        }
        return ParseTimePart(S, Value);
    }
    TDateTime time;
    if (!ParseDatePart(S.substr(0, sep), date) || !ParseTimePart(Trim(S.substr(sep + 1)), time)) return false;
    Value = date < 0 ? date - time : date + time;
    return true;
}

TDateTime StrToDate(std::string_view S) {
    TDateTime v;
    if (!TryStrToDate(S, v)) throw EConvertError("'" + std::string(S) + "' is not a valid date");
    return v;
}

TDateTime StrToTime(std::string_view S) {
    TDateTime v;
    if (!TryStrToTime(S, v)) throw EConvertError("'" + std::string(S) + "' is not a valid time");
    return v;
}

TDateTime StrToDateTime(std::string_view S) {
    TDateTime v;
    if (!TryStrToDateTime(S, v)) throw EConvertError("'" + std::string(S) + "' is not a valid date and time");
    return v;
}

} // namespace btr
