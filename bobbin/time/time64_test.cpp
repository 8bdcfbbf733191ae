// The calendar against the C library (64-bit time_t): gmtime_r and timegm
// everywhere; localtime_r and mktime in eleven zones, directly where the C
// library applies the zone's rules, elsewhere 400-year cycles away where it does.
#include "bobbin/time/time64.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bobbin/time/time64_internal.h"

namespace {

using bobbin::Year;

constexpr Time64 kFirst = -67768040609740800;  // the first and last seconds
constexpr Time64 kLast = 67768036191676799;    // whose UTC year tm_year holds
constexpr Time64 kCycle = 12622780800;         // seconds in 400 Gregorian years
constexpr Year kRuleEnd = 5881580;             // the last year of the C library's daylight saving

TM64 Date(Year year, int mon, int mday, int hour = 0, int min = 0, int sec = 0, int wday = 0) {
    return TM64{sec, min, hour, mday, mon, static_cast<int>(year), wday, 0, 0, 0, nullptr};
}

// The fields (tm_year less `cycles` 400-year cycles), offset and zone name.
std::string Text(const TM64& d, Year cycles = 0) {
    char text[160];
    std::snprintf(text, sizeof text, "%lld-%d-%d %d:%d:%d %d %d %d %ld %s",
                  static_cast<long long>(d.tm_year - 400 * cycles), d.tm_mon, d.tm_mday, d.tm_hour,
                  d.tm_min, d.tm_sec, d.tm_wday, d.tm_yday, d.tm_isdst, d.tm_gmtoff,
                  d.tm_zone ? d.tm_zone : "");
    return text;
}

// A safe year starts on the year's weekday and has its length and that of the
// year before; seconds_between_years spans from one to the other.
TEST(Time64Test, SafeYearHasTheCalendarOfTheYear) {
    auto jan1 = [](Year year) {
        const TM64 date = Date(year - 1900, 0, 1);
        return timegm64(&date);
    };
    for (Year year = -2134599444; year < 2147485547;
         year += year < -1200 || year >= 4800 ? 15032382 : 1) {
        const Year safe = bobbin::safe_year(year);
        const Time64 start = jan1(year), end = jan1(year + 1), safe_start = jan1(safe);
        ASSERT_TRUE(
            safe >= 1971 && safe <= 2037 && (safe == year) == (year >= 1971 && year <= 2037) &&
            (start - safe_start) % (7 * 86400) == 0 && end - start == jan1(safe + 1) - safe_start &&
            start - jan1(year - 1) == safe_start - jan1(safe - 1) &&
            bobbin::seconds_between_years(year, safe) ==
                (year > safe ? start - safe_start : end - jan1(safe + 1)))
            << year;
    }
}

// Texts, and refusals (null) that leave the buffer untouched: EINVAL for a
// weekday or month out of range, EOVERFLOW for a text too long for 35 bytes.
TEST(Time64Test, TextOfDates) {
    const struct {
        TM64 date;
        const char* text;
        int error;
    } cases[] = {{Date(70, 0, 1, 0, 0, 0, 4), "Thu Jan 01 00:00:00 1970\n", 0},
                 {Date(INT_MIN, 0, 1000, 0, 0, 0, 4), "Thu Jan 1000 00:00:00 -2147481748\n", 0},
                 {Date(70, 0, -5, -1, 99, -7, 6), "Sat Jan -5 -01:99:-07 1970\n", 0},
                 {Date(INT_MIN, 0, -1000, 0, 0, 0, 4), nullptr, EOVERFLOW},  // 35 characters
                 {Date(70, 0, 1, 0, 0, 0, 7), nullptr, EINVAL},
                 {Date(70, -1, 1, 0, 0, 0, 4), nullptr, EINVAL}};
    for (const auto& [date, text, error] : cases) {
        char buffer[40];
        std::memset(buffer, 'x', sizeof buffer);
        errno = 0;
        EXPECT_STREQ(asctime64_r(&date, buffer), text);
        EXPECT_EQ(errno, error);
        const int kept = text ? 35 : 0;
        EXPECT_EQ(std::string(buffer + kept, buffer + 40), std::string(40 - kept, 'x'));
    }
    errno = 0;
    EXPECT_TRUE(asctime64_r(nullptr, nullptr) == nullptr && errno == EINVAL);
}

// Both ends, random times (uniform, or uniform in bit length with either sign)
// and every day of 400-year cycles at the epoch and years +-10^9 against
// gmtime_r and timegm (also with fields far out of range). Past either end only
// tm_isdst and tm_year are written.
TEST(Time64DifferentialTest, UtcAgreesWithTheCLibrary) {
    std::mt19937_64 engine(20380119);
    std::vector<Time64> times = {kFirst, kFirst - 1, kLast, kLast + 1, INT64_MIN, INT64_MAX};
    for (int i = 0; i < 300000; ++i) {
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
    for (const Time64 time : times) {
        const time_t platform_time = time;
        TM64 ours = Date(5, 5, 5), theirs{};
        ours.tm_isdst = 1;
        errno = 0;
        const bool ok = gmtime64_r(&time, &ours) != nullptr;
        const bool refused = errno == EOVERFLOW && ours.tm_isdst == 0 && ours.tm_mday == 5;
        const bool their_ok = gmtime_r(&platform_time, &theirs) != nullptr;
        theirs.tm_zone = nullptr;
        auto any = [&] { return static_cast<int>(engine()); };
        TM64 wide = Date(any() / 2, any(), any(), any(), any(), any()), copy = wide;
        if ((ok != their_ok || (time % 4 == 0 && timegm64(&wide) != timegm(&copy)) ||
             (ok ? Text(ours) != Text(theirs) || timegm64(&ours) != time : !refused)) &&
            ++disagreements < 5) {
            ADD_FAILURE() << time << ": " << Text(ours);
        }
    }
    EXPECT_EQ(disagreements, 0);
}

const char* const kZones[] = {"UTC0",
                              "<-05>5",
                              "<+0530>-5:30",
                              "EST5EDT,M3.2.0,M11.1.0",
                              "America/New_York",
                              ":Europe/London",
                              "America/Sao_Paulo",
                              "Europe/Moscow",
                              "Australia/Lord_Howe",  // half an hour of DST
                              "Africa/Casablanca",
                              "Pacific/Apia"};  // negative DST; a day skipped

// Sets TZ without tzset (the change must be seen as localtime sees it); false
// when the zone file is missing here.
bool SetZone(const std::string& zone) {
    const std::string file = zone.substr(zone[0] == ':');
    return (file.find('/') == std::string::npos ||
            access(("/usr/share/zoneinfo/" + file).c_str(), R_OK) == 0) &&
           setenv("TZ", zone.c_str(), 1) == 0;
}

// The 400-year cycles that move a year in which the C library does not apply
// the zone's rules (a rule string's before 1971, daylight saving from kRuleEnd)
// into 2400-2799, where it applies each zone's current rule.
Year Cycles(const std::string& zone, Year year) {
    const bool rules = (zone.find(',') == std::string::npos || year >= 1971) &&
                       (zone.find_first_of(",/") == std::string::npos || year < kRuleEnd);
    const Year to2799 = 2799 - year;
    return rules ? 0 : to2799 / 400 - (to2799 % 400 < 0);
}

// mktime64 agrees with the C library's mktime of the date moved by Cycles,
// refuses where that fails or leaves the range, and its result converts back.
::testing::AssertionResult MktimeAgrees(const std::string& zone, TM64 date) {
    TM64 mine = date, normal = date, back{};
    normal.tm_sec = std::clamp(normal.tm_sec, 0, 59);
    const Time64 wall = timegm64(&normal);
    const bool fits = gmtime64_r(&wall, &normal) != nullptr;
    const Year cycles = fits ? Cycles(zone, normal.tm_year + Year{1900}) : 0;
    errno = 0;
    const Time64 my_time = mktime64(&mine);
    const int my_error = errno;
    date.tm_year = static_cast<int>(date.tm_year + 400 * cycles);
    errno = 0;
    const time_t moved_time = mktime(&date);
    const Time64 their_time = moved_time - cycles * kCycle;
    const Year year = date.tm_year - 400 * cycles;
    date.tm_year = static_cast<int>(year);
    if (!fits || (moved_time == -1 && errno) || their_time < kFirst || their_time > kLast ||
                year != date.tm_year
            ? my_time == -1 && my_error == EOVERFLOW
            : my_time == their_time && Text(mine) == Text(date) && localtime64_r(&my_time, &back) &&
                  Text(back) == Text(mine)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << zone << ": " << Text(mine) << " " << my_time << " vs "
                                         << Text(date) << " " << their_time;
}

// In each zone: random instants between the years -10^6 and 10^6, near
// 1901/1902, 2037/2039, kRuleEnd, 2*10^9 and both ends through localtime64_r,
// and mktime64 of each result with tm_isdst as converted (which gives the
// instant back), -1 and flipped; dates whose fields carry as wall-clock time
// (into the year before or after too), one moment of 1877 written twice,
// January 1 00:30 with daylight saving, a skipped hour, dates out of range.
TEST(Time64DifferentialTest, LocalTimeAgreesWithTheCLibrary) {
    const Year spans[][3] = {{120, -1000000, 1000001},
                             {12, 1901, 1903},
                             {12, 2037, 2040},
                             {8, kRuleEnd - 1, kRuleEnd + 2},
                             {4, 2000000000, 2000000001}};
    const TM64 dates[] = {Date(1100, 12, 1),
                          Date(-2900, 0, 1, 0, 0, -1),
                          Date(100000, 11, 31, 24 * 800),
                          Date(100000, 0, 1, 0, 0, INT_MIN),
                          Date(2, 0, 1, -219000),
                          Date(-23, 0, 6),
                          Date(128, 128, 128, 128, 128, 128),
                          Date(600, 0, 1, 0, 30),
                          Date(-400, 0, 1, 0, 30),
                          Date(6000000, 0, 1, 0, 30),
                          Date(6000000, 2, 12, 2, 30),
                          Date(INT_MAX, 12, 1),
                          Date(INT_MAX, 11, 31, 20),
                          Date(INT_MIN, 0, 1, 5, 29)};
    for (const char* zone : kZones) {
        if (!SetZone(zone)) continue;
        std::mt19937_64 engine(19011213);
        std::vector<Time64> times = {kFirst, kLast, INT32_MIN, INT32_MAX};
        for (const auto& [count, from, to] : spans) {
            const TM64 first = Date(from - 1900, 0, 1), last = Date(to - 1900, 0, 1);
            std::uniform_int_distribution<Time64> pick(timegm64(&first), timegm64(&last) - 1);
            for (int i = 0; i < count; ++i) times.push_back(pick(engine));
        }
        for (int i = 0; i < 3; ++i) times.push_back(kFirst + engine() % 172800);
        for (int i = 0; i < 3; ++i) times.push_back(kLast - engine() % 172800);
        int disagreements = 0;
        for (const Time64 time : times) {
            TM64 ours{}, utc{};
            errno = 0;
            const bool ok = localtime64_r(&time, &ours) != nullptr;
            const int error = errno;
            const Year cycles = Cycles(zone, gmtime64_r(&time, &utc)->tm_year + Year{1900});
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
        for (TM64 date : dates) {
            for (date.tm_isdst = -1; date.tm_isdst <= 1; ++date.tm_isdst) {
                EXPECT_TRUE(MktimeAgrees(zone, date));
            }
        }
    }
}

// Concurrent local conversions, through the C library and beyond it, agree
// with a lone thread's.
TEST(Time64DifferentialTest, ConcurrentLocalConversionsAgree) {
    if (!SetZone(kZones[4])) GTEST_SKIP();
    std::vector<std::pair<Time64, std::string>> expected;
    for (Time64 time = -5000000000; time < 5000000000; time += 55555555) {
        for (const Time64 moment : {time, time + 500000 * kCycle}) {
            char text[35];
            expected.emplace_back(moment, ctime64_r(&moment, text) ? text : "");
        }
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

}  // namespace
