#include "bobbin/time/time64.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "bobbin/time/time64_internal.h"
#include "bobbin/time/time64_testing.h"

namespace {

using bobbin::testing::Describe;
using bobbin::testing::SameDate;
using bobbin::testing::ZoneScope;

TM64 Date(int year, int mon, int mday, int hour, int min, int sec, int wday = 0, int yday = 0) {
    TM64 date{};
    date.tm_year = year;
    date.tm_mon = mon;
    date.tm_mday = mday;
    date.tm_hour = hour;
    date.tm_min = min;
    date.tm_sec = sec;
    date.tm_wday = wday;
    date.tm_yday = yday;
    return date;
}

struct KnownDate {
    Time64 time;
    TM64 date;  // tm_isdst 0
};

// Times at the epoch, the 32-bit boundary, the start of the 2008 walk, a whole
// cycle back, and the two ends of the range.
const KnownDate kKnownDates[] = {
    {0, Date(70, 0, 1, 0, 0, 0, 4, 0)},
    {-1, Date(69, 11, 31, 23, 59, 59, 3, 364)},
    {2147483648, Date(138, 0, 19, 3, 14, 8, 2, 18)},
    {1199145600, Date(108, 0, 1, 0, 0, 0, 2, 0)},
    {1199145599, Date(107, 11, 31, 23, 59, 59, 1, 364)},
    {-12622780800, Date(-330, 0, 1, 0, 0, 0, 4, 0)},
    {67768036191676799, Date(INT_MAX, 11, 31, 23, 59, 59, 3, 364)},
    {-67768040609740800, Date(INT_MIN, 0, 1, 0, 0, 0, 4, 0)},
};

TEST(Time64Test, KnownDatesConvertBothWaysAsTheCLibraryDoes) {
    for (const KnownDate& known : kKnownDates) {
        SCOPED_TRACE(known.time);
        TM64 ours{};
        ASSERT_EQ(gmtime64_r(&known.time, &ours), &ours);
        EXPECT_TRUE(SameDate(ours, known.date)) << Describe(ours);
        const time_t platform_time = known.time;
        TM64 theirs{};
        ASSERT_NE(gmtime_r(&platform_time, &theirs), nullptr);
        EXPECT_TRUE(SameDate(theirs, known.date)) << Describe(theirs);
        EXPECT_EQ(timegm64(&known.date), known.time);
    }
}

TEST(Time64Test, OneSecondPastEitherEndOverflows) {
    struct Case {
        Time64 time;
        bool check_year;
        int low_year;  // the low 32 bits of the year, left in tm_year
    };
    const Case cases[] = {{67768036191676799 + 1, true, INT_MIN},
                          {-67768040609740800 - 1, true, INT_MAX},
                          {INT64_MAX, false, 0},
                          {INT64_MIN, false, 0}};
    for (const Case& test : cases) {
        SCOPED_TRACE(test.time);
        TM64 result = Date(5, 5, 5, 5, 5, 5, 5, 5);
        result.tm_isdst = 1;
        errno = 0;
        EXPECT_EQ(gmtime64_r(&test.time, &result), nullptr);
        EXPECT_EQ(errno, EOVERFLOW);
        EXPECT_EQ(result.tm_isdst, 0);
        if (test.check_year) {
            EXPECT_EQ(result.tm_year, test.low_year);
        }
        EXPECT_TRUE(result.tm_sec == 5 && result.tm_mday == 5 && result.tm_wday == 5 &&
                    result.tm_yday == 5);
        errno = 0;
        EXPECT_EQ(localtime64_r(&test.time, &result), nullptr);
        EXPECT_EQ(errno, EOVERFLOW);
        char text[35];
        EXPECT_EQ(ctime64_r(&test.time, text), nullptr);
    }
}

TEST(Time64Test, TimegmCarriesMonthsAndWideFieldsAsTheCLibraryDoes) {
    const TM64 dates[] = {
        Date(100, 12, 1, 0, 0, 0),
        Date(100, -1, 1, 0, 0, 0),
        Date(100, -13, 31, 0, 0, 0),
        Date(2000, INT_MAX, 1, 0, 0, 0),
        Date(-2000, INT_MIN, 1, 0, 0, 0),
        Date(70, 0, 1, INT_MAX, INT_MAX, INT_MAX),
        Date(70, 0, 1, INT_MIN, INT_MIN, INT_MIN),
        Date(70, 1, 32, 0, 0, 0),
        Date(70, 0, INT_MIN, 0, 0, 0),
        Date(-1900, 1, 29, 0, 0, 0),
    };
    for (const TM64& date : dates) {
        SCOPED_TRACE(Describe(date));
        TM64 copy = date;
        EXPECT_EQ(timegm64(&date), timegm(&copy));
    }
}

TEST(Time64Test, SafeYearKnownAnswers) {
    const bobbin::Year cases[][2] = {{2038, 2010}, {2100, 2027}, {1900, 1979}, {1969, 1997},
                                     {1600, 1972}, {1971, 1971}, {2037, 2037}, {1970, 1998}};
    for (const auto& pair : cases) EXPECT_EQ(bobbin::safe_year(pair[0]), pair[1]) << pair[0];
}

// A year's first weekday and leap status, from the C library.
struct YearShape {
    int first_weekday;
    int days;
};
YearShape ShapeOf(bobbin::Year year) {
    TM64 first = Date(static_cast<int>(year - 1900), 0, 1, 0, 0, 0);
    TM64 next = Date(static_cast<int>(year - 1899), 0, 1, 0, 0, 0);
    const time_t start = timegm(&first);
    return {first.tm_wday, static_cast<int>((timegm(&next) - start) / 86400)};
}

TEST(Time64Test, SafeYearHasTheCalendarOfTheYearAndOfTheYearBefore) {
    std::vector<bobbin::Year> years;
    for (bobbin::Year year = -1200; year <= 4800; ++year) years.push_back(year);
    for (bobbin::Year year = -2147481747; year < 2147485547; year += 2147483 * 7 + 1) {
        years.push_back(year);
    }
    for (const bobbin::Year year : years) {
        const bobbin::Year safe = bobbin::safe_year(year);
        ASSERT_GE(safe, 1971) << year;
        ASSERT_LE(safe, 2037) << year;
        const YearShape real = ShapeOf(year);
        const YearShape fake = ShapeOf(safe);
        ASSERT_EQ(real.first_weekday, fake.first_weekday) << year;
        ASSERT_EQ(real.days, fake.days) << year;
        ASSERT_EQ(ShapeOf(year - 1).days, ShapeOf(safe - 1).days) << year;
    }
}

TEST(Time64Test, SecondsBetweenYearsMatchesTheCalendar) {
    auto jan1 = [](bobbin::Year year) {
        TM64 date = Date(static_cast<int>(year - 1900), 0, 1, 0, 0, 0);
        return static_cast<Time64>(timegm(&date));
    };
    EXPECT_EQ(bobbin::seconds_between_years(1000, 1975), -30767990400);
    EXPECT_EQ(bobbin::seconds_between_years(3000, 2031), 30578688000);
    EXPECT_EQ(bobbin::seconds_between_years(2031, 2031), 0);
    // Also where left lies beyond 2400 below right, or before 1600 above it.
    const bobbin::Year pairs[][2] = {{2800, 3200},    {1000, 500},  {-5000000, 1980},
                                     {5000000, 2030}, {2500, 2012}, {1200, -1200}};
    for (const auto& pair : pairs) {
        const bobbin::Year left = pair[0];
        const bobbin::Year right = pair[1];
        const Time64 expected =
            left > right ? jan1(left) - jan1(right) : jan1(left + 1) - jan1(right + 1);
        EXPECT_EQ(bobbin::seconds_between_years(left, right), expected) << left << ' ' << right;
    }
}

TEST(Time64Test, TextOfDates) {
    struct Case {
        TM64 date;
        const char* text;
    };
    const Case cases[] = {
        {Date(70, 0, 1, 0, 0, 0, 4), "Thu Jan 01 00:00:00 1970\n"},
        {Date(-1944, 2, 15, 9, 5, 7, 5), "Fri Mar 15 09:05:07 -44\n"},
        {Date(-1900, 11, 31, 23, 59, 59, 0), "Sun Dec 31 23:59:59 0\n"},
        {Date(INT_MIN, 0, 1, 0, 0, 0, 4), "Thu Jan 01 00:00:00 -2147481748\n"},
        {Date(INT_MAX, 11, 31, 23, 59, 59, 3), "Wed Dec 31 23:59:59 2147485547\n"},
        // Out-of-range fields that still fit 34 characters and a terminator.
        {Date(INT_MIN, 0, 1000, 0, 0, 0, 4), "Thu Jan 1000 00:00:00 -2147481748\n"},
        {Date(70, 0, -5, -1, 99, -7, 4), "Thu Jan -5 -01:99:-07 1970\n"},
    };
    for (const Case& test : cases) {
        char text[35];
        ASSERT_EQ(asctime64_r(&test.date, text), text) << test.text;
        EXPECT_STREQ(text, test.text);
    }
}

TEST(Time64Test, TextRefusalsLeaveTheBufferUntouched) {
    struct Case {
        TM64 date;
        int error;  // errno afterwards; 0 = unchanged
    };
    const Case cases[] = {
        {Date(70, 0, 1, 0, 0, 0, 7), 0},
        {Date(70, 0, 1, 0, 0, 0, -1), 0},
        {Date(70, 12, 1, 0, 0, 0, 4), 0},
        {Date(70, -1, 1, 0, 0, 0, 4), 0},
        {Date(INT_MIN, 0, -1000, 0, 0, 0, 4), EOVERFLOW},  // 35 characters
        {Date(70, 0, INT_MIN, INT_MIN, INT_MIN, INT_MIN, 4), EOVERFLOW},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(Describe(test.date));
        char text[40];
        std::memset(text, 'x', sizeof text);
        errno = 0;
        EXPECT_EQ(asctime64_r(&test.date, text), nullptr);
        EXPECT_EQ(errno, test.error);
        EXPECT_EQ(std::string(text, sizeof text), std::string(sizeof text, 'x'));
    }
    char text[35] = "untouched";
    EXPECT_EQ(asctime64_r(nullptr, text), nullptr);
    EXPECT_STREQ(text, "untouched");
}

TEST(Time64Test, NonReentrantFormsShareTheirStaticBuffers) {
    ZoneScope zone("UTC0");
    const Time64 epoch = 0;
    const Time64 later = 4102444800;  // 2100-01-01
    TM64* first = gmtime64(&epoch);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(localtime64(&later), first);
    EXPECT_EQ(first->tm_year, 200);
    EXPECT_EQ(gmtime64(&epoch), first);
    EXPECT_EQ(first->tm_year, 70);

    char* text = ctime64(&later);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "Fri Jan 01 00:00:00 2100\n");
    EXPECT_EQ(first->tm_year, 200);  // ctime64 went through localtime64
    EXPECT_EQ(asctime64(gmtime64(&epoch)), text);
    EXPECT_STREQ(text, "Thu Jan 01 00:00:00 1970\n");

    char own[35];
    EXPECT_STREQ(ctime64_r(&later, own), "Fri Jan 01 00:00:00 2100\n");
    EXPECT_STREQ(text, "Thu Jan 01 00:00:00 1970\n");
}

TEST(Time64Test, DatesCompareFieldByFieldAsGiven) {
    const TM64 base = Date(100, 5, 15, 12, 30, 30);
    EXPECT_EQ(cmp_date(&base, &base), 0);
    const TM64 later_year = Date(101, 0, 1, 0, 0, 0);
    const TM64 later_second = Date(100, 5, 15, 12, 30, 31);
    const TM64 unnormalised = Date(100, 4, 99, 0, 0, 0);  // 99 May is after 15 June
    EXPECT_EQ(cmp_date(&later_year, &base), 1);
    EXPECT_EQ(cmp_date(&base, &later_second), -1);
    EXPECT_EQ(cmp_date(&unnormalised, &base), -1);
    EXPECT_TRUE(date_in_safe_range(&base, &base, &later_second));
    EXPECT_TRUE(date_in_safe_range(&later_second, &base, &later_second));
    EXPECT_FALSE(date_in_safe_range(&later_year, &base, &later_second));
}

}  // namespace
