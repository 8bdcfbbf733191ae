// The calendar against the C library (64-bit time_t): gmtime_r and timegm
// everywhere; localtime_r and mktime in eleven zones, directly where the C
// library applies the zone's rules, elsewhere 400-year cycles away where it does.
#include "bobbin/time/time64.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bobbin/time/time64_internal.h"

namespace {

using bobbin::Year;

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
    for (Year year = -2134599444; year < 2147485547;
         year += year < -1200 || year >= 4800 ? 15032382 : 1) {
        const Year safe = bobbin::safe_year(year);
        const Time64 start = Jan1(year), end = Jan1(year + 1), safe_start = Jan1(safe);
        ASSERT_TRUE(
            safe >= 1971 && safe <= 2037 && (safe == year) == (year >= 1971 && year <= 2037) &&
            (start - safe_start) % (7 * 86400) == 0 && end - start == Jan1(safe + 1) - safe_start &&
            start - Jan1(year - 1) == safe_start - Jan1(safe - 1) &&
            bobbin::seconds_between_years(year, safe) ==
                (year > safe ? start - safe_start : end - Jan1(safe + 1)))
            << year;
    }
}

// Texts; refusals leave the buffer untouched: EINVAL for no date or a weekday
// or month out of range, EOVERFLOW for a text longer than 35 bytes.
TEST(Time64Test, TextOfDates) {
    const std::pair<TM64, const char*> cases[] = {
        {Date(70, 0, 1, 0, 0, 0, 4), "Thu Jan 01 00:00:00 1970\n"},
        {Date(INT_MIN, 0, 1000, 0, 0, 0, 4), "Thu Jan 1000 00:00:00 -2147481748\n"},
        {Date(70, 0, -5, -1, 99, -7, 6), "Sat Jan -5 -01:99:-07 1970\n"},
        {Date(INT_MIN, 0, -1000, 0, 0, 0, 4), nullptr},  // 35 characters
        {Date(70, 0, 1, 0, 0, 0, 7), nullptr},
        {Date(70, -1, 1, 0, 0, 0, 4), nullptr}};
    for (const auto& [date, text] : cases) {
        char buffer[40] = "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx";
        errno = 0;
        EXPECT_STREQ(asctime64_r(&date, buffer), text);
        EXPECT_EQ(errno, text ? 0 : date.tm_wday > 6 || date.tm_mon < 0 ? EINVAL : EOVERFLOW);
        EXPECT_EQ(std::string(buffer + (text ? 35 : 0)), std::string(text ? 4 : 39, 'x'));
    }
    errno = 0;
    EXPECT_TRUE(asctime64_r(nullptr, nullptr) == nullptr && errno == EINVAL);
}

// Both ends, random times (uniform in bit length, either sign) and every day of
// 400 years against gmtime_r and timegm (also with fields far out of range).
// Past either end only tm_isdst and tm_year are written.
TEST(Time64DifferentialTest, UtcAgreesWithTheCLibrary) {
    std::mt19937_64 engine(20380119);
    std::vector<Time64> times = {kFirst, kFirst - 1, kLast, kLast + 1};
    for (Time64 day = -62091; day < 146097 - 62091; ++day) times.push_back(day * 86400 + day % 7);
    for (int i = 0; i < 300000; ++i)
        times.push_back(static_cast<Time64>(engine()) >> engine() % 64);
    int disagreements = 0;
    for (const Time64 time : times) {
        auto any = [&] { return static_cast<int>(engine()); };
        TM64 ours = Date(5, 5, 5), theirs{},
             wide = Date(any() / 2, any(), any(), any(), any(), any());
        TM64 copy = wide;
        ours.tm_isdst = 1, ours.tm_zone = "GMT";
        errno = 0;
        const bool ok = gmtime64_r(&time, &ours) != nullptr;
        const bool refused = !ok && errno == EOVERFLOW && ours.tm_isdst == 0 && ours.tm_mday == 5;
        const time_t platform_time = time;
        const bool agree = gmtime_r(&platform_time, &theirs)
                               ? ok && Text(ours) == Text(theirs) && timegm64(&ours) == time
                               : refused;
        if ((!agree || timegm64(&wide) != timegm(&copy)) && ++disagreements < 5) {
            ADD_FAILURE() << time << ": " << Text(ours);
        }
    }
    EXPECT_EQ(disagreements, 0);
}

// The 400-year cycles that move a year in which the C library may not apply
// the zone's rules (a rule string's before 1971, any zone's after 5,881,579)
// into 2400-2799, where it applies each zone's current rule.
Year Cycles(const std::string& zone, Year year) {
    const bool rules = (zone.find(',') == std::string::npos || year >= 1971) && year < 5881580;
    return rules ? 0 : (2799 - year) / 400 - ((2799 - year) % 400 < 0);
}

// mktime64 agrees with the C library's mktime of the date moved by the Cycles
// of its year (refusing where that fails or leaves the range), and converts back.
::testing::AssertionResult MktimeAgrees(const std::string& zone, TM64 date) {
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
    if ((moved == -1 && errno) || their_time < kFirst || their_time > kLast || year != date.tm_year
            ? my_time == -1 && my_error == EOVERFLOW
            : my_time == their_time && Text(mine) == Text(date) && localtime64_r(&my_time, &back) &&
                  Text(back) == Text(mine)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << zone << ": " << Text(mine) << " " << my_time << " vs "
                                         << Text(date) << " " << their_time;
}

// Per zone (Lord Howe: half an hour of daylight saving, Casablanca: negative,
// Apia: a skipped day), random instants through localtime64_r, then mktime64
// of the result with tm_isdst as converted (giving the instant back), -1 and
// flipped; and dates that carry fields (into the year before or after too),
// one moment of 1877 written twice, 1 January 00:30 with daylight saving, a
// skipped hour, dates out of range, with tm_isdst -1, 0 and 1.
TEST(Time64DifferentialTest, LocalTimeAgreesWithTheCLibrary) {
    const Year spans[][3] = {{120, -1000000, 1000001},
                             {12, 1901, 1903},
                             {12, 2037, 2040},
                             {8, 5881579, 5881582},
                             {4, 2000000000, 2000000001}};
    const int dates[][6] = {
        {1100, 12, 1, 0, 0, 0},         {-2900, 0, 1, 0, 0, -1},    {100000, 11, 31, 19200, 0, 0},
        {100000, 0, 1, 0, 0, INT_MIN},  {2, 0, 1, -219000, 0, 0},   {-23, 0, 6, 0, 0, 0},
        {128, 128, 128, 128, 128, 128}, {600, 0, 1, 0, 30, 0},      {-400, 0, 1, 0, 30, 0},
        {6000000, 0, 1, 0, 30, 0},      {6000000, 2, 12, 2, 30, 0}, {INT_MAX, 12, 1, 0, 0, 0},
        {INT_MAX, 11, 31, 20, 0, 0},    {INT_MIN, 0, 1, 5, 29, 0}};
    std::istringstream zones(
        "UTC0 <-05>5 <+0530>-5:30 EST5EDT,M3.2.0,M11.1.0 America/New_York :Europe/London "
        "America/Sao_Paulo Europe/Moscow Australia/Lord_Howe Africa/Casablanca Pacific/Apia");
    for (std::string zone; zones >> zone;) {
        const std::string file = "/usr/share/zoneinfo/" + zone.substr(zone[0] == ':');
        if (zone.find('/') != std::string::npos && access(file.c_str(), R_OK) != 0) continue;
        setenv("TZ", zone.c_str(), 1);  // no tzset: the change must be seen as localtime sees it
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
                EXPECT_TRUE(MktimeAgrees(zone, date));
            }
        }
    }
}

// Local conversions in four threads at once, through the C library and beyond
// it, agree with a lone thread's.
TEST(Time64DifferentialTest, ConcurrentLocalConversionsAgree) {
    if (access("/usr/share/zoneinfo/America/New_York", R_OK) != 0) GTEST_SKIP();
    setenv("TZ", "America/New_York", 1);
    auto convert = [](Time64 time) {
        char text[35] = "";
        TM64 date{};
        const bool back = localtime64_r(&time, &date) && mktime64(&date) == time;
        return std::string(back && ctime64_r(&time, text) ? text : "");
    };
    std::vector<std::pair<Time64, std::string>> expected;
    for (Time64 time = -5000000000; time < 5000000000; time += 27777777) {
        expected.emplace_back(time * 1000003, convert(time * 1000003));
    }
    std::atomic<int> wrong{0};
    auto check = [&] {
        for (const auto& [time, text] : expected) wrong += text.empty() || convert(time) != text;
    };
    std::thread first(check), second(check), third(check);
    check();
    first.join(), second.join(), third.join();
    EXPECT_EQ(wrong, 0);
}

}  // namespace
