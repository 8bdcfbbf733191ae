// Known answers and edge behaviour, then the conversions against two oracles:
// the C library (64-bit time_t) and a year-by-year, month-by-month walk.
#include "bobbin/time/time64.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "bobbin/time/time64_internal.h"

namespace {

using bobbin::Year;

constexpr Time64 kFirst = -67768040609740800;  // the first and last seconds
constexpr Time64 kLast = 67768036191676799;    // whose UTC year tm_year holds

void SetZone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
}

TM64 Date(int year, int mon, int mday, int hour = 0, int min = 0, int sec = 0, int wday = 0,
          int yday = 0) {
    return TM64{sec, min, hour, mday, mon, year, wday, yday, 0, 0, nullptr};
}

// The nine calendar fields as text; with `zone` also the offset and zone name.
std::string Text(const TM64& d, bool zone = false) {
    char text[200];
    std::snprintf(text, sizeof text, "%d-%d-%d %d:%d:%d wday %d yday %d dst %d %ld %s", d.tm_year,
                  d.tm_mon, d.tm_mday, d.tm_hour, d.tm_min, d.tm_sec, d.tm_wday, d.tm_yday,
                  d.tm_isdst, zone ? d.tm_gmtoff : 0L, zone && d.tm_zone ? d.tm_zone : "-");
    return text;
}

// The epoch, leap days of 2000 and (none) 1900, the 32-bit boundary, a cycle
// back and both ends; one second past either end is refused with EOVERFLOW,
// only tm_isdst and the low 32 bits of the year written.
TEST(Time64Test, KnownDatesAndTheEndsOfTheRange) {
    const std::pair<Time64, TM64> known[] = {
        {0, Date(70, 0, 1, 0, 0, 0, 4, 0)},
        {-1, Date(69, 11, 31, 23, 59, 59, 3, 364)},
        {951782400, Date(100, 1, 29, 0, 0, 0, 2, 59)},
        {-2203891200, Date(0, 2, 1, 0, 0, 0, 4, 59)},
        {2147483648, Date(138, 0, 19, 3, 14, 8, 2, 18)},
        {-12622780800, Date(-330, 0, 1, 0, 0, 0, 4, 0)},
        {kLast, Date(INT_MAX, 11, 31, 23, 59, 59, 3, 364)},
        {kFirst, Date(INT_MIN, 0, 1, 0, 0, 0, 4, 0)},
    };
    for (const auto& [time, date] : known) {
        TM64 ours{};
        ASSERT_EQ(gmtime64_r(&time, &ours), &ours) << time;
        EXPECT_EQ(Text(ours), Text(date)) << time;
        EXPECT_EQ(timegm64(&date), time);
    }
    for (const auto& [time, low_year] : {std::pair{kLast + 1, INT_MIN}, {kFirst - 1, INT_MAX}}) {
        TM64 result{5, 5, 5, 5, 5, 5, 5, 5, 1, 0, nullptr};  // tm_isdst 1
        errno = 0;
        EXPECT_TRUE(gmtime64_r(&time, &result) == nullptr && errno == EOVERFLOW);
        EXPECT_EQ(Text(result), Text(Date(low_year, 5, 5, 5, 5, 5, 5, 5)));
    }
}

// A safe year starts on the year's weekday and has its length and the length
// of the year before; seconds_between_years spans from one to the other.
TEST(Time64Test, SafeYearHasTheCalendarOfTheYear) {
    EXPECT_EQ(bobbin::seconds_between_years(1000, 1975), -30767990400);
    EXPECT_EQ(bobbin::seconds_between_years(3000, 2031), 30578688000);
    const Year known[][2] = {{2038, 2010}, {2100, 2027}, {1900, 1979}, {1969, 1997},
                             {1600, 1972}, {1971, 1971}, {2037, 2037}};
    for (const auto& pair : known) EXPECT_EQ(bobbin::safe_year(pair[0]), pair[1]) << pair[0];
    auto jan1 = [](Year year) {
        TM64 date = Date(static_cast<int>(year - 1900), 0, 1);
        return Time64{timegm(&date)};
    };
    std::vector<Year> years;  // every year near the epoch, and years over the whole range
    for (Year year = -1200; year <= 4800; ++year) years.push_back(year);
    for (Year year = -2147481747; year < 2147485547; year += 15032382) years.push_back(year);
    for (const Year year : years) {
        const Year safe = bobbin::safe_year(year);
        const Time64 start = jan1(year), end = jan1(year + 1);
        const Time64 safe_start = jan1(safe), safe_end = jan1(safe + 1);
        ASSERT_TRUE(safe >= 1971 && safe <= 2037 && (start - safe_start) % (7 * 86400) == 0 &&
                    end - start == safe_end - safe_start &&
                    start - jan1(year - 1) == safe_start - jan1(safe - 1))
            << year;
        ASSERT_EQ(bobbin::seconds_between_years(year, safe),
                  year > safe ? start - safe_start : end - safe_end);
    }
}

// Texts, and refusals (null) that leave the buffer untouched: EINVAL for a
// weekday or month out of range, EOVERFLOW for a text too long for 35 bytes.
TEST(Time64Test, TextOfDates) {
    const std::tuple<TM64, const char*, int> cases[] = {
        {Date(70, 0, 1, 0, 0, 0, 4), "Thu Jan 01 00:00:00 1970\n", 0},
        {Date(INT_MAX, 11, 31, 23, 59, 59, 3), "Wed Dec 31 23:59:59 2147485547\n", 0},
        {Date(INT_MIN, 0, 1000, 0, 0, 0, 4), "Thu Jan 1000 00:00:00 -2147481748\n", 0},
        {Date(70, 0, -5, -1, 99, -7, 4), "Thu Jan -5 -01:99:-07 1970\n", 0},
        {Date(INT_MIN, 0, -1000, 0, 0, 0, 4), nullptr, EOVERFLOW},  // 35 characters
        {Date(70, 0, INT_MIN, INT_MIN, INT_MIN, INT_MIN, 4), nullptr, EOVERFLOW},
        {Date(70, 0, 1, 0, 0, 0, 7), nullptr, EINVAL},
        {Date(70, 0, 1, 0, 0, 0, -1), nullptr, EINVAL},
        {Date(70, 12, 1, 0, 0, 0, 4), nullptr, EINVAL},
        {Date(70, -1, 1, 0, 0, 0, 4), nullptr, EINVAL},
    };
    for (const auto& [date, expected, error] : cases) {
        char text[40];
        std::memset(text, 'x', sizeof text);
        errno = 0;
        EXPECT_STREQ(asctime64_r(&date, text), expected);
        EXPECT_EQ(errno, error) << Text(date);
        const int kept = expected ? 35 : 0;
        EXPECT_EQ(std::string(text + kept, text + 40), std::string(40 - kept, 'x'));
    }
    errno = 0;
    EXPECT_TRUE(asctime64_r(nullptr, nullptr) == nullptr && errno == EINVAL);
}

TEST(Time64Test, NonReentrantFormsShareTheirStaticBuffers) {
    SetZone("UTC0");
    const Time64 epoch = 0, later = 4102444800;  // 2100-01-01
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
    SetZone("EST5EDT,M3.2.0,M11.1.0");
    for (const int year : {INT_MIN + 1, -2000000000, -1900, 0, 2000000000, INT_MAX - 1}) {
        for (const int month : {0, 6}) {
            TM64 date = Date(year, month, 1, 12), utc = date, back{};
            date.tm_isdst = -1;
            const Time64 time = mktime64(&date);
            EXPECT_EQ(time, timegm(&utc) + (month == 6 ? 4 : 5) * 3600) << year;
            EXPECT_EQ(date.tm_isdst, month == 6 ? 1 : 0);
            ASSERT_NE(localtime64_r(&time, &back), nullptr);
            EXPECT_EQ(Text(back, true), Text(date, true));
        }
    }
}

// Times past either end, local years beyond those tm_year holds and local
// dates whose UTC time lies past either end are refused, the date untouched.
TEST(Time64LocalTest, LocalYearsBeyondTheRangeAreRefused) {
    for (const auto& [zone, time] : {std::pair{"<+0530>-5:30", kLast},
                                     {"<-05>5", kFirst},
                                     {"UTC0", kLast + 1},
                                     {"UTC0", kFirst - 1}}) {
        SetZone(zone);
        TM64 result = Date(12345, 0, 1);
        char text[35];
        errno = 0;
        EXPECT_TRUE(localtime64_r(&time, &result) == nullptr && errno == EOVERFLOW) << zone;
        EXPECT_TRUE(result.tm_year == 12345 && ctime64_r(&time, text) == nullptr);
    }
    for (const auto& [zone, given] : {std::pair{"UTC0", Date(INT_MAX, 12, 1)},
                                      {"<-05>5", Date(INT_MAX, 11, 31, 19)},
                                      {"<+0530>-5:30", Date(INT_MIN, 0, 1, 5, 29)}}) {
        SetZone(zone);
        TM64 date = given;
        errno = 0;
        EXPECT_TRUE(mktime64(&date) == -1 && errno == EOVERFLOW) << zone;
        EXPECT_EQ(Text(date), Text(given));
    }
}

// Outside 1901-2038 too, fields that carry into a neighbouring year reach the real year.
TEST(Time64LocalTest, MktimeCarriesOutOfRangeFieldsIntoTheRealYear) {
    SetZone("<-05>5");
    for (TM64 date : {Date(1100, 12, 1), Date(1100, 0, 0), Date(-2900, 0, 1, 0, 0, -1),
                      Date(100000, 11, 31, 24 * 800), Date(100000, 0, 1, 0, 0, INT_MIN)}) {
        TM64 theirs = date;
        EXPECT_EQ(mktime64(&date), mktime(&theirs)) << Text(theirs);
        EXPECT_EQ(Text(date, true), Text(theirs, true));
    }
}

// Concurrent local conversions, in 1901 to 2038 and beyond, agree with a lone thread's.
TEST(Time64LocalTest, ConcurrentLocalConversionsAgree) {
    SetZone("EST5EDT,M3.2.0,M11.1.0");
    std::vector<std::pair<Time64, std::string>> expected;
    for (Time64 time = -5000000000; time < 5000000000; time += 2777777) {
        char text[35];
        expected.emplace_back(time, ctime64_r(&time, text) ? text : "");
    }
    std::atomic<int> wrong{0};
    auto check = [&] {
        for (const auto& [time, text] : expected) {
            char ours[35];
            TM64 date{};
            wrong += !ctime64_r(&time, ours) || text != ours || !localtime64_r(&time, &date) ||
                     mktime64(&date) != time;
        }
    };
    std::thread first(check), second(check), third(check);
    check();
    first.join(), second.join(), third.join();
    EXPECT_EQ(wrong, 0);
}

// The walk, on full years: 400-year cycles from 1970, years forward or back, months.
int Length(Year year) {
    return (year % 400 == 0 || (year % 4 == 0 && year % 100 != 0)) ? 366 : 365;
}
int MonthDays(Year year, int month) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return days[month] + (month == 1 ? Length(year) - 365 : 0);
}

TM64* WalkGmtime(Time64 t, TM64* out) {
    const Time64 days = t / 86400 - (t % 86400 < 0 ? 1 : 0), sec = t - days * 86400;
    Year year = 1970 + days / 146097 * 400;
    int yday = static_cast<int>(days % 146097), month = 0;
    while (yday < 0) yday += Length(--year);
    while (yday >= Length(year)) yday -= Length(year++);
    out->tm_isdst = 0;
    out->tm_year = static_cast<int>(static_cast<std::uint32_t>(year - 1900));
    if (out->tm_year != year - 1900) return errno = EOVERFLOW, nullptr;
    int mday = yday;
    while (mday >= MonthDays(year, month)) mday -= MonthDays(year, month++);
    *out = Date(out->tm_year, month, mday + 1, sec / 3600, sec / 60 % 60, sec % 60,
                (days % 7 + 11) % 7, yday);
    return out;
}

// The ends, a million random times (uniform, or uniform in bit length with
// either sign) and every day of 400-year cycles at the epoch and years +-10^9
// against gmtime_r and timegm, the ends and every tenth against the walk.
TEST(Time64DifferentialTest, UtcAgreesWithBothOracles) {
    std::mt19937_64 engine(20380119);
    std::vector<Time64> times = {kFirst, kFirst - 1, kLast, kLast + 1, INT64_MIN, INT64_MAX};
    for (int i = 0; i < 1000000; ++i) {
        const auto magnitude = static_cast<Time64>(engine() >> (8 + engine() % 56));
        times.push_back(i % 2 ? std::uniform_int_distribution<Time64>(kFirst, kLast)(engine)
                              : (engine() % 2 ? magnitude : -magnitude));
    }
    for (const Time64 first_day : {Time64{-73048}, Time64{365242190000}, Time64{-365242336097}}) {
        for (Time64 day = first_day; day < first_day + 146097; ++day) {
            times.push_back(day * 86400 + static_cast<Time64>(engine() % 86400));
        }
    }
    int disagreements = 0;
    for (std::size_t i = 0; i < times.size(); ++i) {
        const Time64 time = times[i];
        const time_t platform_time = time;
        TM64 ours{}, theirs{}, walked{};
        errno = 0;
        const bool ok = gmtime64_r(&time, &ours) != nullptr;
        const int error = errno;
        bool agree =
            ok == (gmtime_r(&platform_time, &theirs) != nullptr) &&
            (ok ? Text(ours) == Text(theirs) && timegm64(&ours) == time && timegm(&theirs) == time
                : error == EOVERFLOW);
        if (i < 6 || i % 10 == 0) {
            errno = 0;
            agree = agree && ok == (WalkGmtime(time, &walked) != nullptr) && errno == error &&
                    Text(ours) == Text(walked);
        }
        if (i < 100000) {  // and dates with fields far out of range against timegm
            auto any = [&] { return static_cast<int>(engine()); };
            TM64 wide = Date(any() / 2, any(), any(), any(), any(), any()), copy = wide;
            agree = agree && timegm64(&wide) == timegm(&copy);
        }
        if (!agree && ++disagreements < 5) ADD_FAILURE() << time << ": " << Text(ours);
    }
    EXPECT_EQ(disagreements, 0);
}

// Random dates (a third with wide fields) through mktime64 and mktime, and their times through
// localtime64_r and localtime_r, where the safe-year method must agree exactly; wall times
// 01:00 to 03:59, missing or ambiguous under daylight saving, are skipped.
using ZoneCase = std::tuple<std::string, std::string, int, int>;  // name, TZ, tm_year range
class Time64ZoneTest : public ::testing::TestWithParam<ZoneCase> {};

TEST_P(Time64ZoneTest, LocalConversionsAgreeWithTheCLibrary) {
    const auto& [name, zone, first_year, last_year] = GetParam();
    if (zone.find('/') != std::string::npos && access(("/usr/share/zoneinfo/" + zone).c_str(), 0)) {
        GTEST_SKIP() << "no zone file " << zone;
    }
    const bool daylight_saving = zone.find_first_of(",/") != std::string::npos;
    SetZone(zone.c_str());
    std::mt19937_64 engine(7);
    auto pick = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(engine);
    };
    int disagreements = 0;
    for (int i = 0; i < 40000; ++i) {
        const int margin = daylight_saving ? 1 : 40000;  // room for carried fields
        const int year = pick(0, 3) ? pick(first_year + margin, last_year - margin)
                                    : std::clamp(pick(-3000, 3000), first_year, last_year);
        TM64 date =
            pick(0, 2) ? Date(year, pick(0, 11), pick(1, 28), pick(0, 23), pick(0, 59), pick(0, 59))
                       : Date(year, pick(-500, 500), pick(-3000, 3000), pick(-100000, 100000),
                              pick(-1000000, 1000000), pick(-10000000, 10000000));
        date.tm_isdst = daylight_saving ? -1 : pick(0, 19) == 0 ? 1 : pick(-1, 0);  // 1 is slow
        const Time64 wall = timegm64(&date) - date.tm_sec + std::clamp(date.tm_sec, 0, 59);
        const Time64 hour = (wall % 86400 + 86400) % 86400 / 3600;  // seconds are added after
        if (daylight_saving && hour >= 1 && hour <= 3) continue;
        TM64 ours = date, theirs = date, our_local{}, their_local{};
        const Time64 time = mktime64(&ours);
        const time_t their_time = mktime(&theirs);
        bool agree = time == their_time && Text(ours, true) == Text(theirs, true);
        if (agree && localtime_r(&their_time, &their_local) && their_local.tm_year >= first_year &&
            their_local.tm_year <= last_year) {
            agree = localtime64_r(&time, &our_local) &&
                    Text(our_local, true) == Text(their_local, true);
        }
        if (!agree && ++disagreements < 5) ADD_FAILURE() << Text(date) << " -> " << time;
    }
    EXPECT_EQ(disagreements, 0);
}

const ZoneCase kZones[] = {{"Utc", "UTC0", INT_MIN, INT_MAX},
                           {"Minus5", "<-05>5", INT_MIN, INT_MAX},
                           {"Plus0530", "<+0530>-5:30", INT_MIN, INT_MAX},
                           {"UsRule2038On", "EST5EDT,M3.2.0,M11.1.0", 138, 4998100},
                           {"NewYork1902To2037", "America/New_York", 2, 137}};
INSTANTIATE_TEST_SUITE_P(Zones, Time64ZoneTest, ::testing::ValuesIn(kZones),
                         [](const auto& info) { return std::get<0>(info.param); });

}  // namespace
