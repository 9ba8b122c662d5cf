// Dates and times as the data-access framework keeps them.
//
// Three forms meet here:
// - TDateTime: days since 30 December 1899 as a double; the fraction is the
//   time of day (for negative values too: -1.25 is 29 December 1899 06:00);
// - the day number: 1 January of year 1 is day 1 (the native date format of
//   field buffers);
// - milliseconds since midnight (the native time format of field buffers).
// The calendar is the proleptic Gregorian one, years 1 to 9999.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace btr {

using TDateTime = double;

// Day number of 30 December 1899, the TDateTime origin.
inline constexpr int32_t DateDelta = 693594;
inline constexpr int32_t MSecsPerDay = 86400000;
inline constexpr int32_t MinDayNumber = 1;        // 1 January 1
inline constexpr int32_t MaxDayNumber = 3652059;  // 31 December 9999

struct TTimeStamp {
    int32_t Time = 0;  // milliseconds since midnight
    int32_t Date = 0;  // day number
};

bool IsLeapYear(int Year);
// 0 for a month outside 1..12.
int DaysInAMonth(int Year, int Month);

// Calendar date <-> day number. The Try forms answer false for an invalid date.
bool TryEncodeDayNumber(int Year, int Month, int Day, int32_t& DayNumber);
int32_t EncodeDayNumber(int Year, int Month, int Day);  // EConvertError when invalid
// EConvertError for a day number outside MinDayNumber..MaxDayNumber.
void DecodeDayNumber(int32_t DayNumber, int& Year, int& Month, int& Day);

bool TryEncodeDate(int Year, int Month, int Day, TDateTime& Date);
TDateTime EncodeDate(int Year, int Month, int Day);
bool TryEncodeTime(int Hour, int Min, int Sec, int MSec, TDateTime& Time);
TDateTime EncodeTime(int Hour, int Min, int Sec, int MSec);
void DecodeDate(TDateTime Date, int& Year, int& Month, int& Day);
void DecodeTime(TDateTime Time, int& Hour, int& Min, int& Sec, int& MSec);

// Both raise EConvertError for values outside years 1..9999 (and NaN).
TTimeStamp DateTimeToTimeStamp(TDateTime DateTime);
TDateTime TimeStampToDateTime(const TTimeStamp& TimeStamp);

// Time of day in milliseconds <-> fraction of a day. MSecsToTime raises
// EConvertError outside 0..MSecsPerDay-1.
TDateTime MSecsToTime(int32_t MSecs);
int32_t TimeToMSecs(TDateTime Time);  // the time-of-day part, rounded to a millisecond
TDateTime DayNumberToDate(int32_t DayNumber);
int32_t DateToDayNumber(TDateTime Date);  // the date part

// Text forms: "YYYY-MM-DD", "HH:MM:SS" (".zzz" added when there are
// milliseconds) and "YYYY-MM-DD HH:MM:SS" (the time left out at midnight).
std::string DateToStr(TDateTime Date);
std::string TimeToStr(TDateTime Time);
std::string DateTimeToStr(TDateTime DateTime);
// The same into a string the caller reuses.
void DateToStr(TDateTime Date, std::string& Out);
void TimeToStr(TDateTime Time, std::string& Out);
void DateTimeToStr(TDateTime DateTime, std::string& Out);
// DateToStr of a day number and TimeToStr of a time of day in milliseconds,
// straight from the numbers (the range errors of DayNumberToDate and
// MSecsToTime included).
void DayNumberToStr(int32_t DayNumber, std::string& Out);
void MSecsToStr(int32_t MSecs, std::string& Out);

// Parsing accepts "YYYY-MM-DD" and "DD.MM.YYYY" for the date and
// "HH:MM[:SS[.zzz]]" for the time, separated by a blank or "T"; surrounding
// blanks are ignored. The Str forms raise EConvertError for anything else.
bool TryStrToDate(std::string_view S, TDateTime& Value);
bool TryStrToTime(std::string_view S, TDateTime& Value);
bool TryStrToDateTime(std::string_view S, TDateTime& Value);
TDateTime StrToDate(std::string_view S);
TDateTime StrToTime(std::string_view S);
TDateTime StrToDateTime(std::string_view S);

} // namespace btr
