#include "bobbin/time/time64.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bobbin/time/internal/calendar.h"

namespace {

using bobbin::detail::Year;

constexpr Time64 kFirst = -67768040609740800;  // the first and last seconds
constexpr Time64 kLast = 67768036191676799;    // whose UTC year tm_year holds
constexpr Time64 kCycle = 12622780800;         // seconds in 400 Gregorian years

TM64 Date(Year year, int mon, int mday, int hour = 0, int min = 0, int sec = 0, int wday = 0) {
    return TM64{sec, min, hour, mday, mon, static_cast<int>(year), wday, 0, 0, 0, nullptr};
}

Time64 Jan1(Year year) {
    const TM64 date = Date(year - 1900, 0, 1);
    return timegm64(&date);
}

std::string Text(const TM64& d, Year cycles = 0) {
    char text[160];
    std::snprintf(text, sizeof text, "%lld-%d-%d %d:%d:%d %d %d %d %ld %s",
                  static_cast<long long>(d.tm_year - 400 * cycles), d.tm_mon, d.tm_mday, d.tm_hour,
                  d.tm_min, d.tm_sec, d.tm_wday, d.tm_yday, d.tm_isdst, d.tm_gmtoff,
                  d.tm_zone ? d.tm_zone : "");
    return text;
}

// A safe year has the year's weekday on 1 January, length and preceding length.
TEST(Time64Test, SafeYearHasTheCalendarOfTheYear) {
    for (Year y = -2134599444; y < 2147485547; y += y < -1200 || y >= 4800 ? 15032382 : 1) {
        const Year s = bobbin::detail::safe_year(y);
        ASSERT_TRUE(s >= 1971 && s <= 2037 && (s == y) == (y >= 1971 && y <= 2037) &&
                    (Jan1(y) - Jan1(s)) % 604800 == 0 &&
                    Jan1(y + 1) - Jan1(y) == Jan1(s + 1) - Jan1(s) &&
                    Jan1(y) - Jan1(y - 1) == Jan1(s) - Jan1(s - 1))
            << y;
    }
}

// Both ends, random times and every day of 400 years against gmtime_r and
// timegm; past the ends only tm_isdst and tm_year are written. A date's text.
TEST(Time64DifferentialTest, UtcAgreesWithTheCLibrary) {
    std::mt19937_64 engine(20380119);
    std::vector<Time64> times = {kFirst, kFirst - 1, kLast, kLast + 1};
    for (Time64 day = -62091; day < 146097 - 62091; ++day) times.push_back(day * 86400 + day % 7);
    for (int i = 0; i < 300000; ++i) times.push_back(Time64(engine()) >> engine() % 64);
    int disagreements = 0;
    for (const Time64 time : times) {
        TM64 ours = Date(5, 5, 5), theirs{};
        ours.tm_isdst = 1, ours.tm_zone = "GMT";
        errno = 0;
        const bool ok = gmtime64_r(&time, &ours) != nullptr;
        const bool refused = !ok && errno == EOVERFLOW && ours.tm_isdst == 0 && ours.tm_mday == 5;
        const bool agree = gmtime_r(&time, &theirs)
                               ? ok && Text(ours) == Text(theirs) && timegm64(&ours) == time
                               : refused;
        if (!agree && ++disagreements < 5) ADD_FAILURE() << time << ": " << Text(ours);
    }
    EXPECT_EQ(disagreements, 0);
    char text[35];
    EXPECT_STREQ(asctime64_r(gmtime64(&times[0]), text), "Thu Jan 01 00:00:00 -2147481748\n");
    const TM64 early = Date(9, 8, 7, 6, 5, 4), later = Date(9, 8, 7, 6, 5, 5);
    EXPECT_TRUE(cmp_date(&early, &later) == -1 && cmp_date(&later, &early) == 1 &&
                date_in_safe_range(&later, &early, &later));
}

// 400-year cycles moving a year without the C library's rules into 2400-2799.
Year Cycles(const std::string& zone, Year year) {
    const bool rules = (zone.find(',') == std::string::npos || year >= 1971) && year < 5881580;
    return rules ? 0 : (2799 - year) / 400 - ((2799 - year) % 400 < 0);
}

// mktime64 agrees with mktime of the date moved by Cycles, and converts back.
bool MktimeAgrees(const std::string& zone, TM64 date) {
    TM64 mine = date, back{};
    const Year cycles = Cycles(zone, date.tm_year + Year{1900});
    errno = 0;
    const Time64 my_time = mktime64(&mine);
    const int my_error = errno;
    date.tm_year = static_cast<int>(date.tm_year + 400 * cycles);
    errno = 0;
    const time_t moved = mktime(&date);
    const Time64 their_time = moved - cycles * kCycle, year = date.tm_year - 400 * cycles;
    date.tm_year = static_cast<int>(year);
    return (moved == -1 && errno) || their_time < kFirst || their_time > kLast ||
                   year != date.tm_year
               ? my_time == -1 && my_error == EOVERFLOW
               : my_time == their_time && Text(mine) == Text(date) &&
                     localtime64_r(&my_time, &back) && Text(back) == Text(mine);
}

// Per zone (Lord Howe: half-hour DST, Casablanca: negative, Apia: a lost day),
// instants both ways and dates that carry, spell twice, fall in gaps, overflow.
TEST(Time64DifferentialTest, LocalTimeAgreesWithTheCLibrary) {
    const Year spans[][3] = {
        {120, -1000000, 1000001}, {12, 1901, 1903}, {12, 2037, 2040}, {8, 5881579, 5881582}};
    const int dates[][6] = {
        {1100, 12, 1, 0, 0, 0},         {-2900, 0, 1, 0, 0, -1},    {100000, 11, 31, 19200, 0, 0},
        {100000, 0, 1, 0, 0, INT_MIN},  {2, 0, 1, -219000, 0, 0},   {-23, 0, 6, 0, 0, 0},
        {128, 128, 128, 128, 128, 128}, {600, 0, 1, 0, 30, 0},      {-400, 0, 1, 0, 30, 0},
        {6000000, 0, 1, 0, 30, 0},      {6000000, 2, 12, 2, 30, 0}, {INT_MAX, 12, 1, 0, 0, 0},
        {INT_MAX, 11, 31, 20, 0, 0},    {INT_MIN, 0, 1, 5, 29, 0}};
    clearenv();  // TZ becomes the first variable of the environment
    std::istringstream zones(
        "UTC0 <-05>5 <+0530>-5:30 EST5EDT,M3.2.0,M11.1.0 America/New_York :Europe/London "
        "America/Sao_Paulo Europe/Moscow Australia/Lord_Howe Africa/Casablanca Pacific/Apia -");
    for (std::string zone; zones >> zone;) {
        zone == "-" ? unsetenv("TZ") : setenv("TZ", zone.c_str(), 1);  // "-": unset; no tzset
        std::mt19937_64 engine(19011213);
        std::vector<Time64> times = {INT32_MIN, INT32_MAX};
        for (const auto& [count, from, to] : spans) {
            std::uniform_int_distribution<Time64> pick(Jan1(from), Jan1(to) - 1);
            for (int i = 0; i < count; ++i) times.push_back(pick(engine));
        }
        for (int i = 0; i < 8; ++i) times.push_back(i % 2 ? kFirst + i * 9999 : kLast - i * 9999);
        int disagreements = 0;
        for (const Time64 time : times) {
            TM64 ours{};
            errno = 0;
            const bool ok = localtime64_r(&time, &ours) != nullptr;
            const int error = errno;
            const Year cycles = Cycles(zone, gmtime64(&time)->tm_year + Year{1900});
            const time_t moved = time + cycles * kCycle;
            const TM64* theirs = localtime(&moved);  // rereads TZ, as ours must have done
            const Year their_year = theirs ? theirs->tm_year - 400 * cycles : Year{1} << 40;
            bool agree = ok == (their_year == static_cast<int>(their_year)) &&
                         (ok ? Text(ours) == Text(*theirs, cycles) : error == EOVERFLOW);
            for (const int isdst : {ours.tm_isdst, -1, 1 - ours.tm_isdst}) {
                TM64 date = ours;
                date.tm_isdst = isdst;
                agree = agree && (!ok || (MktimeAgrees(zone, date) &&
                                          (isdst != ours.tm_isdst || mktime64(&date) == time)));
            }
            if (!agree && ++disagreements < 5) ADD_FAILURE() << zone << " " << time;
        }
        EXPECT_EQ(disagreements, 0) << zone;
        for (const auto& f : dates) {
            TM64 date = Date(f[0], f[1], f[2], f[3], f[4], f[5]);
            for (date.tm_isdst = -1; date.tm_isdst < 2; ++date.tm_isdst) {
                EXPECT_TRUE(MktimeAgrees(zone, date)) << zone << " " << Text(date);
            }
        }
    }
}

}  // namespace
