#include "bobbin/time/time64.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bobbin/time/time64_internal.h"
#include "bobbin/time/time64_testing.h"

namespace {

using bobbin::Year;
using bobbin::testing::Date;
using bobbin::testing::Describe;
using bobbin::testing::SameDate;
using bobbin::testing::ZoneScope;

constexpr Time64 kFirst = -67768040609740800;
constexpr Time64 kLast = 67768036191676799;

// The epoch, the 32-bit boundary, the start of the walk from 2008, a whole
// cycle back and both ends of the range, checked against the C library too.
TEST(Time64Test, KnownDatesConvertBothWays) {
    const std::pair<Time64, TM64> known[] = {
        {0, Date(70, 0, 1, 0, 0, 0, 4, 0)},
        {-1, Date(69, 11, 31, 23, 59, 59, 3, 364)},
        {2147483648, Date(138, 0, 19, 3, 14, 8, 2, 18)},
        {1199145600, Date(108, 0, 1, 0, 0, 0, 2, 0)},
        {1199145599, Date(107, 11, 31, 23, 59, 59, 1, 364)},
        {-12622780800, Date(-330, 0, 1, 0, 0, 0, 4, 0)},
        {kLast, Date(INT_MAX, 11, 31, 23, 59, 59, 3, 364)},
        {kFirst, Date(INT_MIN, 0, 1, 0, 0, 0, 4, 0)},
    };
    for (const auto& [time, date] : known) {
        TM64 ours{};
        TM64 theirs{};
        const time_t platform_time = time;
        ASSERT_EQ(gmtime64_r(&time, &ours), &ours) << time;
        ASSERT_NE(gmtime_r(&platform_time, &theirs), nullptr) << time;
        EXPECT_TRUE(SameDate(ours, date) && SameDate(theirs, date)) << time << Describe(ours);
        EXPECT_EQ(timegm64(&date), time);
    }
}

// Past either end: null, EOVERFLOW, and only tm_isdst and the low 32 bits of
// the year written.
TEST(Time64Test, OneSecondPastEitherEndOverflows) {
    for (const auto& [time, low_year] : {std::pair{kLast + 1, INT_MIN}, {kFirst - 1, INT_MAX}}) {
        TM64 result = Date(5, 5, 5, 5, 5, 5, 5, 5);
        result.tm_isdst = 1;
        char text[35];
        errno = 0;
        EXPECT_EQ(gmtime64_r(&time, &result), nullptr);
        EXPECT_EQ(errno, EOVERFLOW);
        EXPECT_TRUE(SameDate(result, Date(low_year, 5, 5, 5, 5, 5, 5, 5))) << Describe(result);
        errno = 0;
        EXPECT_TRUE(localtime64_r(&time, &result) == nullptr && errno == EOVERFLOW);
        EXPECT_EQ(ctime64_r(&time, text), nullptr);
    }
}

// Each safe year has the year's calendar and the year before's leap status;
// the C library gives the weekdays and year lengths.
TEST(Time64Test, SafeYearHasTheCalendarOfTheYear) {
    const Year known[][2] = {{2038, 2010}, {2100, 2027}, {1900, 1979}, {1969, 1997},
                             {1600, 1972}, {1971, 1971}, {2037, 2037}};
    for (const auto& pair : known) EXPECT_EQ(bobbin::safe_year(pair[0]), pair[1]) << pair[0];
    auto shape = [](Year year) {  // first weekday * 1000 + days
        TM64 first = Date(static_cast<int>(year - 1900), 0, 1);
        TM64 next = Date(static_cast<int>(year - 1899), 0, 1);
        const time_t start = timegm(&first);
        return first.tm_wday * 1000 + static_cast<int>((timegm(&next) - start) / 86400);
    };
    std::vector<Year> years;
    for (Year year = -1200; year <= 4800; ++year) years.push_back(year);
    for (Year year = -2147481747; year < 2147485547; year += 15032382) years.push_back(year);
    for (const Year year : years) {
        const Year safe = bobbin::safe_year(year);
        ASSERT_TRUE(safe >= 1971 && safe <= 2037) << year;
        ASSERT_EQ(shape(year), shape(safe)) << year;
        ASSERT_EQ(shape(year - 1) % 1000, shape(safe - 1) % 1000) << year;
    }
}

// Also where left lies beyond 2400 below right, or before 1600 above it.
TEST(Time64Test, SecondsBetweenYearsMatchesTheCalendar) {
    EXPECT_EQ(bobbin::seconds_between_years(1000, 1975), -30767990400);
    EXPECT_EQ(bobbin::seconds_between_years(3000, 2031), 30578688000);
    auto jan1 = [](Year year) {
        TM64 date = Date(static_cast<int>(year - 1900), 0, 1);
        return static_cast<Time64>(timegm(&date));
    };
    const Year pairs[][2] = {{2800, 3200}, {1000, 500},   {-5000000, 1980}, {5000000, 2030},
                             {2500, 2012}, {1200, -1200}, {2031, 2031}};
    for (const auto& [left, right] : pairs) {
        const Time64 expected =
            left > right ? jan1(left) - jan1(right) : jan1(left + 1) - jan1(right + 1);
        EXPECT_EQ(bobbin::seconds_between_years(left, right), expected) << left << ' ' << right;
    }
}

// Texts of negative and extreme years and of wide fields; refusals leave the
// buffer untouched, and only a text too long for its 35 bytes sets errno.
TEST(Time64Test, TextOfDates) {
    struct Case {
        TM64 date;
        const char* text;  // null: refused
        int error;
    };
    const Case cases[] = {
        {Date(70, 0, 1, 0, 0, 0, 4), "Thu Jan 01 00:00:00 1970\n", 0},
        {Date(-1944, 2, 15, 9, 5, 7, 5), "Fri Mar 15 09:05:07 -44\n", 0},
        {Date(INT_MIN, 0, 1, 0, 0, 0, 4), "Thu Jan 01 00:00:00 -2147481748\n", 0},
        {Date(INT_MAX, 11, 31, 23, 59, 59, 3), "Wed Dec 31 23:59:59 2147485547\n", 0},
        {Date(INT_MIN, 0, 1000, 0, 0, 0, 4), "Thu Jan 1000 00:00:00 -2147481748\n", 0},
        {Date(70, 0, -5, -1, 99, -7, 4), "Thu Jan -5 -01:99:-07 1970\n", 0},
        {Date(INT_MIN, 0, -1000, 0, 0, 0, 4), nullptr, EOVERFLOW},  // 35 characters
        {Date(70, 0, INT_MIN, INT_MIN, INT_MIN, INT_MIN, 4), nullptr, EOVERFLOW},
        {Date(70, 0, 1, 0, 0, 0, 7), nullptr, 0},
        {Date(70, 0, 1, 0, 0, 0, -1), nullptr, 0},
        {Date(70, 12, 1, 0, 0, 0, 4), nullptr, 0},
        {Date(70, -1, 1, 0, 0, 0, 4), nullptr, 0},
    };
    for (const auto& [date, expected, error] : cases) {
        char text[40];
        std::memset(text, 'x', sizeof text);
        errno = 0;
        const char* result = asctime64_r(&date, text);
        EXPECT_EQ(errno, error) << Describe(date);
        if (expected == nullptr) {
            EXPECT_EQ(result, nullptr);
            EXPECT_EQ(std::string(text, sizeof text), std::string(sizeof text, 'x'));
        } else {
            EXPECT_STREQ(result, expected);
        }
    }
    EXPECT_EQ(asctime64_r(nullptr, nullptr), nullptr);
}

TEST(Time64Test, NonReentrantFormsShareTheirStaticBuffers) {
    ZoneScope zone("UTC0");
    const Time64 epoch = 0;
    const Time64 later = 4102444800;  // 2100-01-01
    TM64* date = gmtime64(&epoch);
    EXPECT_EQ(localtime64(&later), date);
    EXPECT_EQ(date->tm_year, 200);
    char* text = ctime64(&epoch);
    EXPECT_EQ(date->tm_year, 70);  // ctime64 went through localtime64
    EXPECT_EQ(asctime64(gmtime64(&later)), text);
    EXPECT_STREQ(text, "Fri Jan 01 00:00:00 2100\n");
}

// The zone's rule holds in every year, also where the C library applies none
// (before 1970) or errs (after year 5.8 million): 1 July is summer time.
TEST(Time64LocalTest, DaylightSavingRuleAppliesInEveryYear) {
    ZoneScope zone("EST5EDT,M3.2.0,M11.1.0");
    for (const int year : {INT_MIN + 1, -2000000000, -1900, 0, 2000000000, INT_MAX - 1}) {
        for (const int month : {0, 6}) {
            TM64 date = Date(year, month, 1, 12);
            date.tm_isdst = -1;
            TM64 utc = date;
            const Time64 time = mktime64(&date);
            EXPECT_EQ(time, timegm(&utc) + (month == 6 ? 4 : 5) * 3600) << year;
            EXPECT_EQ(date.tm_isdst, month == 6 ? 1 : 0);
            TM64 back{};
            ASSERT_NE(localtime64_r(&time, &back), nullptr);
            EXPECT_TRUE(SameDate(back, date, true)) << Describe(back);
        }
    }
}

// A local date in the year after the last one that tm_year holds, or before
// the first, is refused rather than wrapped, as the C library refuses it.
TEST(Time64LocalTest, LocalYearsBeyondTheRangeAreRefused) {
    const std::pair<const char*, Time64> cases[] = {{"<+0530>-5:30", kLast}, {"<-05>5", kFirst}};
    for (const auto& [zone_name, time] : cases) {
        ZoneScope zone(zone_name);
        TM64 result = Date(12345, 0, 1);
        const time_t platform_time = time;
        errno = 0;
        EXPECT_EQ(localtime64_r(&time, &result), nullptr) << zone_name;
        EXPECT_EQ(errno, EOVERFLOW);
        EXPECT_EQ(result.tm_year, 12345);
        EXPECT_EQ(localtime_r(&platform_time, &result), nullptr);
    }
    // January of the year after the last, and local dates of the last and
    // first years whose UTC time lies beyond the range.
    const std::pair<const char*, TM64> dates[] = {{"UTC0", Date(INT_MAX, 12, 1)},
                                                  {"<-05>5", Date(INT_MAX, 11, 31, 19)},
                                                  {"<+0530>-5:30", Date(INT_MIN, 0, 1, 5, 29)}};
    for (const auto& [zone_name, given] : dates) {
        ZoneScope zone(zone_name);
        TM64 date = given;
        errno = 0;
        EXPECT_EQ(mktime64(&date), -1) << zone_name;
        EXPECT_EQ(errno, EOVERFLOW);
        EXPECT_TRUE(SameDate(date, given));
    }
}

// Outside 1901 to 2038, fields that carry into a neighbouring year reach the
// real year, as mktime carries them.
TEST(Time64LocalTest, MktimeCarriesOutOfRangeFieldsIntoTheRealYear) {
    ZoneScope zone("<-05>5");
    for (TM64 date : {Date(1100, 12, 1), Date(1100, 0, 0), Date(-2900, 0, 1, 0, 0, -1),
                      Date(100000, 11, 31, 24 * 800), Date(100000, 0, 1, 0, 0, INT_MIN)}) {
        TM64 theirs = date;
        EXPECT_EQ(mktime64(&date), mktime(&theirs)) << Describe(theirs);
        EXPECT_TRUE(SameDate(date, theirs, true)) << Describe(date) << " / " << Describe(theirs);
    }
}

// Concurrent local conversions need not take turns: each thread's results
// equal those of a lone thread, on both the direct and the safe-year path.
TEST(Time64LocalTest, ConcurrentLocalConversionsAgree) {
    ZoneScope zone("EST5EDT,M3.2.0,M11.1.0");
    std::vector<std::pair<Time64, std::string>> expected;
    for (Time64 time = -100000000000; time < 100000000000; time += 3111111111) {
        for (const Time64 t : {time, time / 50}) {  // safe-year and direct path
            char text[35];
            ASSERT_NE(ctime64_r(&t, text), nullptr);
            expected.emplace_back(t, text);
        }
    }
    std::vector<int> wrong(4, 0);
    std::vector<std::thread> threads;
    for (int& count : wrong) {
        threads.emplace_back([&] {
            for (int round = 0; round < 50; ++round) {
                for (const auto& [time, text] : expected) {
                    char ours[35];
                    TM64 date{};
                    count += ctime64_r(&time, ours) == nullptr || text != ours ||
                             localtime64_r(&time, &date) == nullptr || mktime64(&date) != time;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

}  // namespace
