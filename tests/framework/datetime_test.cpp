#include "framework/datetime.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "platform/exceptions.h"

namespace btr {
namespace {

TEST(DateTime, DayNumberAnchorsAndCalendarRules) {
    EXPECT_EQ(EncodeDayNumber(1, 1, 1), 1);
    EXPECT_EQ(EncodeDayNumber(1899, 12, 30), DateDelta);
    EXPECT_EQ(EncodeDayNumber(9999, 12, 31), MaxDayNumber);
    EXPECT_DOUBLE_EQ(EncodeDate(1899, 12, 30), 0.0);
    EXPECT_DOUBLE_EQ(EncodeDate(1900, 1, 1), 2.0);
    // Consecutive days across month, year and century ends.
    EXPECT_EQ(EncodeDayNumber(2000, 3, 1) - EncodeDayNumber(2000, 2, 28), 2);
    EXPECT_EQ(EncodeDayNumber(1900, 3, 1) - EncodeDayNumber(1900, 2, 28), 1);
    EXPECT_EQ(EncodeDayNumber(2001, 1, 1) - EncodeDayNumber(2000, 12, 31), 1);
    EXPECT_TRUE(IsLeapYear(2000));
    EXPECT_FALSE(IsLeapYear(1900));
    EXPECT_TRUE(IsLeapYear(2024));
    EXPECT_EQ(DaysInAMonth(2023, 2), 28);
    EXPECT_EQ(DaysInAMonth(2023, 13), 0);
    int32_t n;
    EXPECT_FALSE(TryEncodeDayNumber(1900, 2, 29, n));
    EXPECT_TRUE(TryEncodeDayNumber(2000, 2, 29, n));
    EXPECT_FALSE(TryEncodeDayNumber(2020, 4, 31, n));
    EXPECT_FALSE(TryEncodeDayNumber(0, 1, 1, n));
    EXPECT_FALSE(TryEncodeDayNumber(10000, 1, 1, n));
    EXPECT_THROW(EncodeDate(2021, 0, 1), EConvertError);
    EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
    int y, m, d;
    EXPECT_THROW(DecodeDayNumber(0, y, m, d), EConvertError);
    EXPECT_THROW(DecodeDayNumber(MaxDayNumber + 1, y, m, d), EConvertError);
}

// Every day of years 1..9999, decoded, encoded and written as text (into
// one reused string, as a scan does).
TEST(DateTime, EveryDayNumberRoundTrips) {
    int py = 1, pm = 1, pd = 0;
    std::string text = "left over";
    char want[48];
    for (int32_t n = MinDayNumber; n <= MaxDayNumber; ++n) {
        int y, m, d;
        DecodeDayNumber(n, y, m, d);
        // Each day follows the one before it in the calendar.
        const bool next = (y == py && m == pm && d == pd + 1) || (y == py && m == pm + 1 && d == 1) ||
                          (y == py + 1 && m == 1 && d == 1);
        ASSERT_TRUE(next) << n << ": " << y << "-" << m << "-" << d;
        ASSERT_EQ(EncodeDayNumber(y, m, d), n);
        DayNumberToStr(n, text);
        std::snprintf(want, sizeof want, "%04d-%02d-%02d", y, m, d);
        ASSERT_EQ(text, want) << n;
        py = y, pm = m, pd = d;
    }
    EXPECT_EQ(py, 9999);
    EXPECT_EQ(DateToStr(DayNumberToDate(MaxDayNumber)), "9999-12-31");
    EXPECT_THROW(DayNumberToStr(MinDayNumber - 1, text), EConvertError);
    EXPECT_THROW(DayNumberToStr(MaxDayNumber + 1, text), EConvertError);
}

// Times of day from their milliseconds and through TDateTime give one text.
TEST(DateTime, TimeTextFromMillisecondsAndFromTimes) {
    std::string text = "left over";
    char want[48];
    for (int32_t ms = 0; ms < MSecsPerDay; ms += ms < 5000 ? 1 : 997) {
        MSecsToStr(ms, text);
        ASSERT_EQ(text, TimeToStr(MSecsToTime(ms))) << ms;
        if (ms % 1000 == 0)
            std::snprintf(want, sizeof want, "%02d:%02d:%02d", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60);
        else
            std::snprintf(want, sizeof want, "%02d:%02d:%02d.%03d", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
        ASSERT_EQ(text, want) << ms;
    }
    MSecsToStr(MSecsPerDay - 1, text);
    EXPECT_EQ(text, "23:59:59.999");
    EXPECT_THROW(MSecsToStr(-1, text), EConvertError);
    EXPECT_THROW(MSecsToStr(MSecsPerDay, text), EConvertError);
}

TEST(DateTime, TimeStampsAndNegativeDates) {
    const TDateTime t = EncodeDate(1899, 12, 29) - EncodeTime(6, 0, 0, 0);  // 29 Dec 1899 06:00
    EXPECT_DOUBLE_EQ(t, -1.25);
    const TTimeStamp ts = DateTimeToTimeStamp(t);
    EXPECT_EQ(ts.Date, DateDelta - 1);
    EXPECT_EQ(ts.Time, 6 * 3600000);
    EXPECT_DOUBLE_EQ(TimeStampToDateTime(ts), -1.25);
    // A time that rounds up to midnight belongs to the next day.
    const TTimeStamp late = DateTimeToTimeStamp(EncodeDate(2020, 12, 31) + 0.9999999999);
    EXPECT_EQ(late.Date, EncodeDayNumber(2021, 1, 1));
    EXPECT_EQ(late.Time, 0);
    EXPECT_THROW(DateTimeToTimeStamp(1e12), EConvertError);
    EXPECT_THROW(DateTimeToTimeStamp(std::numeric_limits<double>::quiet_NaN()), EConvertError);
    EXPECT_THROW(TimeStampToDateTime({-1, 5}), EConvertError);
    EXPECT_EQ(TimeToMSecs(EncodeTime(23, 59, 59, 999)), MSecsPerDay - 1);
    EXPECT_THROW(MSecsToTime(MSecsPerDay), EConvertError);
    int h, mi, s, ms;
    DecodeTime(EncodeTime(7, 8, 9, 10), h, mi, s, ms);
    EXPECT_EQ(h * 1000000 + mi * 10000 + s * 100 + ms, 7080910);
}

TEST(DateTime, TextFormsBothWays) {
    const TDateTime dt = EncodeDate(2024, 3, 9) + EncodeTime(8, 5, 3, 0);
    EXPECT_EQ(DateToStr(dt), "2024-03-09");
    EXPECT_EQ(TimeToStr(dt), "08:05:03");
    EXPECT_EQ(TimeToStr(EncodeTime(0, 0, 1, 50)), "00:00:01.050");
    EXPECT_EQ(DateTimeToStr(dt), "2024-03-09 08:05:03");
    EXPECT_EQ(DateTimeToStr(EncodeDate(2024, 3, 9)), "2024-03-09");
    EXPECT_DOUBLE_EQ(StrToDateTime(DateTimeToStr(dt)), dt);
    EXPECT_DOUBLE_EQ(StrToDate("09.03.2024"), EncodeDate(2024, 3, 9));
    EXPECT_DOUBLE_EQ(StrToDateTime(" 2024-03-09T08:05:03 "), dt);
    EXPECT_DOUBLE_EQ(StrToTime("8:05"), EncodeTime(8, 5, 0, 0));
    EXPECT_DOUBLE_EQ(StrToTime("00:00:01.5"), EncodeTime(0, 0, 1, 500));
    EXPECT_DOUBLE_EQ(StrToDateTime("1899-12-29 06:00"), -1.25);
    for (const char* bad : {"", "2024-13-01", "2024-02-30", "24-03-09x", "12:60", "2024-03-09 25:00", "abc"})
        EXPECT_THROW(StrToDateTime(bad), EConvertError) << bad;
}

} // namespace
} // namespace btr
