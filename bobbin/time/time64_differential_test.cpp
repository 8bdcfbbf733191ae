// The conversions against independent oracles: the C library (64-bit time_t)
// and a literal year-by-year, month-by-month walk of the calendar.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>

#include "bobbin/time/time64.h"
#include "bobbin/time/time64_internal.h"
#include "bobbin/time/time64_testing.h"

namespace {

using bobbin::Year;
using bobbin::testing::Describe;
using bobbin::testing::SameDate;
using bobbin::testing::ZoneScope;

constexpr Time64 kFirst = -67768040609740800;
constexpr Time64 kLast = 67768036191676799;
constexpr Time64 kCycle = 12622780800;  // seconds of 400 years

// ---- The walks, step by step; years count from 1900 unless named full.
int Leap(Year full) {
    return (full % 400 == 0 || (full % 4 == 0 && full % 100 != 0)) ? 1 : 0;
}
int Length(Year full) {
    return 365 + Leap(full);
}
int MonthDays(Year full, int month) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return days[month] + (month == 1 ? Leap(full) : 0);
}

TM64* WalkGmtime(Time64 t, TM64* out) {
    out->tm_isdst = 0;
    Time64 sec = t % 60, min = (t / 60) % 60, hour = (t / 3600) % 24, days = t / 86400;
    if (sec < 0) sec += 60, --min;
    if (min < 0) min += 60, --hour;
    if (hour < 0) hour += 24, --days;
    const Time64 wday = ((days + 4) % 7 + 7) % 7;
    Year year = 70;
    Time64 m = days;
    if (m > 13878) year = 108, m -= 13879;
    int month = 0;
    if (m >= 0) {
        const Time64 cycles = m / 146097;
        m -= cycles * 146097, year += cycles * 400;
        while (m >= Length(year + 1900)) m -= Length(year + 1900), ++year;
        while (m >= MonthDays(year + 1900, month)) m -= MonthDays(year + 1900, month++);
    } else {
        --year;
        const Time64 cycles = m / 146097 + 1;
        m -= cycles * 146097, year += cycles * 400;
        while (m < -Length(year + 1900)) m += Length(year + 1900), --year;
        month = 11;
        while (m < -MonthDays(year + 1900, month)) m += MonthDays(year + 1900, month--);
        m += MonthDays(year + 1900, month);
    }
    out->tm_year = static_cast<int>(static_cast<std::uint32_t>(year));
    if (year < INT_MIN || year > INT_MAX) {
        errno = EOVERFLOW;
        return nullptr;
    }
    int yday = static_cast<int>(m);
    for (int before = 0; before < month; ++before) yday += MonthDays(year + 1900, before);
    *out = bobbin::testing::Date(out->tm_year, month, static_cast<int>(m) + 1,
                                 static_cast<int>(hour), static_cast<int>(min),
                                 static_cast<int>(sec), static_cast<int>(wday), yday);
    return out;
}

Time64 WalkTimegm(const TM64& date) {  // tm_mon 0 to 11
    Year year = date.tm_year;
    Time64 days = 0;
    if (year > 100 || year < -300) {
        const Year cycles = (year - 100) / 400;
        year -= cycles * 400, days += cycles * 146097;
    }
    for (Year y = 70; y < year; ++y) days += Length(y + 1900);
    for (Year y = year; y < 70; ++y) days -= Length(y + 1900);
    for (int m = 0; m < date.tm_mon; ++m) days += MonthDays(year + 1900, m);
    days += date.tm_mday - 1;
    return days * 86400 + Time64{date.tm_hour} * 3600 + Time64{date.tm_min} * 60 + date.tm_sec;
}

Time64 WalkSecondsBetweenYears(Year left, Year right) {  // full years
    const int increment = left > right ? 1 : -1;
    Time64 seconds = 0;
    if (left > 2400) {
        const Year cycles = (left - 2400) / 400;
        left -= cycles * 400, seconds += cycles * kCycle;
    } else if (left < 1600) {
        const Year cycles = (1600 - left) / 400;
        left += cycles * 400, seconds += cycles * kCycle;
    }
    for (; left != right; right += increment) seconds += Length(right) * Time64{86400};
    return seconds * increment;
}

// Uniform over the range, or 0 to 17 decimal digits evenly, either sign.
Time64 RandomTime(std::mt19937_64& engine, bool log_uniform) {
    if (!log_uniform) return std::uniform_int_distribution<Time64>(kFirst, kLast)(engine);
    const double digits = std::uniform_real_distribution<double>(0.0, 16.8)(engine);
    const auto magnitude = static_cast<Time64>(std::pow(10.0, digits));
    return (engine() & 1) ? magnitude : -magnitude;
}

// A million random times, the ends, cycle boundaries and every day of a
// 400-year cycle around the epoch and one around year 10^9 against gmtime_r
// and timegm; the boundaries and every tenth time also against the walks,
// with the span from its year to the year's safe year.
TEST(Time64DifferentialTest, UtcAgreesWithBothOracles) {
    std::mt19937_64 engine(20380119);
    std::vector<Time64> times = {kFirst, kFirst - 1, kLast, kLast + 1, INT64_MIN, INT64_MAX};
    for (const Time64 base : {Time64{0}, Time64{1199145600}}) {
        for (const Time64 cycles : {-2, -1, 0, 1, 2}) {
            for (const Time64 delta : {-86401, -1, 0, 1, 86400}) {
                times.push_back(base + cycles * kCycle + delta);
            }
        }
    }
    for (int i = 0; i < 1000000; ++i) times.push_back(RandomTime(engine, i % 2 == 1));
    for (const Time64 first_day : {Time64{-73048}, Time64{365242190000}}) {
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
            (ok ? SameDate(ours, theirs) && timegm64(&ours) == time && timegm(&theirs) == time
                : error == EOVERFLOW);
        if (i < 56 || i % 10 == 0) {
            errno = 0;
            agree = agree && ok == (WalkGmtime(time, &walked) != nullptr) && errno == error &&
                    SameDate(ours, walked) && (!ok || WalkTimegm(walked) == time);
            const Year year = Year{walked.tm_year} + 1900;
            const Year safe = bobbin::safe_year(year);
            agree = agree && bobbin::seconds_between_years(year, safe) ==
                                 WalkSecondsBetweenYears(year, safe);
        }
        if (!agree && ++disagreements < 5) ADD_FAILURE() << time << ": " << Describe(ours);
    }
    EXPECT_EQ(disagreements, 0);
}

// Any field far outside its range (months carry into years, hours and
// minutes multiply in 64 bits), against timegm.
TEST(Time64DifferentialTest, WideFieldsAgreeWithTimegm) {
    std::mt19937_64 engine(1970);
    auto any = [&] { return static_cast<int>(engine()); };
    int disagreements = 0;
    for (int i = 0; i < 100000; ++i) {
        TM64 date = bobbin::testing::Date(any() / 2, any(), any(), any(), any(), any());
        TM64 copy = date;
        if (timegm64(&date) != timegm(&copy) && ++disagreements < 5)
            ADD_FAILURE() << Describe(date);
    }
    EXPECT_EQ(disagreements, 0);
}

// Local conversions in zones whose rules the safe-year method must reproduce
// exactly. The C library applies daylight-saving rules only from 1971 to
// about year 5.8 million (beyond, a 32-bit day count overflows), so those
// zones are compared from 2038 to year 5 million, and New York also within
// 1902 to 2037. The fixed-offset zones are compared over the whole range.
struct ZoneCase {
    const char* name;
    const char* zone;
    int first_year, last_year;  // tm_year
    bool daylight_saving;
};
void PrintTo(const ZoneCase& c, std::ostream* out) {
    *out << c.zone << " " << c.first_year << ".." << c.last_year;
}
class Time64ZoneTest : public ::testing::TestWithParam<ZoneCase> {};

// Random dates, for one in three with fields far outside their ranges, go
// through mktime64 and mktime; the times they give, within the compared years,
// through localtime64_r and localtime_r. Wall times from 01:00 to 03:59 are left out in zones with
// daylight saving: a change may make them missing or ambiguous, and mktime
// then answers by its previous guess.
TEST_P(Time64ZoneTest, LocalConversionsAgreeWithTheCLibrary) {
    const ZoneCase& param = GetParam();
    struct stat info {};
    if (std::string(param.zone).find('/') != std::string::npos &&
        stat(("/usr/share/zoneinfo/" + std::string(param.zone)).c_str(), &info) != 0) {
        GTEST_SKIP() << "no zone file " << param.zone;
    }
    ZoneScope zone(param.zone);
    std::mt19937_64 engine(7);
    auto pick = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(engine);
    };
    const int margin = param.daylight_saving ? 1 : 40000;  // room for carried fields
    int disagreements = 0;
    int compared = 0;
    for (int i = 0; i < 40000; ++i) {
        const int year = pick(0, 3) == 0
                             ? pick(-3000, 3000)
                             : pick(param.first_year + margin, param.last_year - margin);
        TM64 date =
            bobbin::testing::Date(std::clamp(year, param.first_year, param.last_year), pick(0, 11),
                                  pick(1, 28), pick(0, 23), pick(0, 59), pick(0, 59));
        if (pick(0, 2) == 0) {
            date.tm_mon = pick(-500, 500), date.tm_mday = pick(-3000, 3000);
            date.tm_hour = pick(-100000, 100000), date.tm_min = pick(-1000000, 1000000);
            date.tm_sec = pick(-10000000, 10000000);
        }
        // tm_isdst 1 makes mktime search years for summer time: rarely.
        date.tm_isdst = param.daylight_saving ? -1 : pick(0, 19) == 0 ? 1 : pick(-1, 0);
        TM64 wall = date;
        wall.tm_sec = std::clamp(wall.tm_sec, 0, 59);
        const Time64 wall_seconds = timegm64(&wall);
        if (param.daylight_saving && gmtime64_r(&wall_seconds, &wall) && wall.tm_hour >= 1 &&
            wall.tm_hour <= 3) {
            continue;
        }
        ++compared;
        TM64 ours = date, theirs = date;
        errno = 0;
        const Time64 time = mktime64(&ours);
        const int our_error = errno;
        errno = 0;
        const time_t their_time = mktime(&theirs);
        bool agree = time == their_time && SameDate(ours, theirs, true) &&
                     (time != -1 || our_error == errno);
        TM64 our_local{}, their_local{};
        if (agree && localtime_r(&their_time, &their_local) != nullptr &&
            their_local.tm_year >= param.first_year && their_local.tm_year <= param.last_year) {
            agree = localtime64_r(&time, &our_local) && SameDate(our_local, their_local, true);
        }
        if (!agree && ++disagreements < 5) ADD_FAILURE() << Describe(date) << " -> " << time;
    }
    EXPECT_GT(compared, 20000);
    EXPECT_EQ(disagreements, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Zones, Time64ZoneTest,
    ::testing::Values(ZoneCase{"Utc", "UTC0", INT_MIN, INT_MAX, false},
                      ZoneCase{"Minus5", "<-05>5", INT_MIN, INT_MAX, false},
                      ZoneCase{"Plus0530", "<+0530>-5:30", INT_MIN, INT_MAX, false},
                      ZoneCase{"UsRule2038On", "EST5EDT,M3.2.0,M11.1.0", 138, 4998100, true},
                      ZoneCase{"NewYork2038On", "America/New_York", 138, 4998100, true},
                      ZoneCase{"NewYork1902To2037", "America/New_York", 2, 137, true}),
    [](const ::testing::TestParamInfo<ZoneCase>& info) { return std::string(info.param.name); });

}  // namespace
