// Local conversions against the C library's localtime_r and mktime, in zones
// whose rules are the same in every year, so that the safe-year method must
// agree exactly with them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bobbin/time/time64.h"
#include "bobbin/time/time64_testing.h"

namespace {

using bobbin::testing::Describe;
using bobbin::testing::SameLocalDate;
using bobbin::testing::ZoneScope;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kSamples = 4000;
#else
constexpr int kSamples = 40000;
#endif

constexpr Time64 kFirst = -67768040609740800;
constexpr Time64 kLast = 67768036191676799;

struct ZoneCase {
    const char* zone;
    // tm_year range in which the C library applies the zone's rules exactly.
    // Its daylight-saving rules fail before 1971 and after about year 5.8
    // million (a 32-bit day count overflows), so those zones are compared
    // from 2038 to 5 million only.
    int first_year;
    int last_year;
    bool daylight_saving;
};

const ZoneCase kZones[] = {
    {"UTC0", INT_MIN, INT_MAX, false},
    {"<-05>5", INT_MIN, INT_MAX, false},
    {"<+0530>-5:30", INT_MIN, INT_MAX, false},
    {"EST5EDT,M3.2.0,M11.1.0", 138, 5000000 - 1900, true},
    {"America/New_York", 138, 5000000 - 1900, true},
    {"America/New_York", 2, 137, true},
};

bool ZoneAvailable(const char* zone) {
    struct stat info {};
    return zone[0] == '<' || std::string(zone).find('/') == std::string::npos ||
           stat(("/usr/share/zoneinfo/" + std::string(zone)).c_str(), &info) == 0;
}

std::string Name(const ZoneCase& zone) {
    return std::string(zone.zone) + " years " + std::to_string(zone.first_year) + ".." +
           std::to_string(zone.last_year);
}

// A time whose UTC date lies in the case's tm_year range.
Time64 TimeInYears(std::mt19937_64& engine, const ZoneCase& zone) {
    TM64 first{};
    first.tm_year = zone.first_year;
    first.tm_mday = 1;
    TM64 last{};
    last.tm_year = zone.last_year;
    last.tm_mon = 11;
    last.tm_mday = 31;
    last.tm_hour = 23;
    const Time64 low = std::max(timegm64(&first), kFirst);
    const Time64 high = std::min(timegm64(&last), kLast);
    return std::uniform_int_distribution<Time64>(low, high)(engine);
}

class Time64LocalTest : public ::testing::TestWithParam<ZoneCase> {};

TEST_P(Time64LocalTest, LocaltimeAgreesWithTheCLibrary) {
    const ZoneCase& zone = GetParam();
    if (!ZoneAvailable(zone.zone)) GTEST_SKIP() << "no zone file for " << zone.zone;
    ZoneScope scope(zone.zone);
    std::mt19937_64 engine(42);
    int disagreements = 0;
    std::string example;
    for (int i = 0; i < kSamples; ++i) {
        const Time64 time = TimeInYears(engine, zone);
        const time_t platform_time = time;
        TM64 ours{};
        TM64 theirs{};
        errno = 0;
        const bool ours_ok = localtime64_r(&time, &ours) != nullptr;
        const int our_error = errno;
        errno = 0;
        const bool theirs_ok = localtime_r(&platform_time, &theirs) != nullptr;
        if (ours_ok != theirs_ok || (ours_ok && !SameLocalDate(ours, theirs)) ||
            (!ours_ok && our_error != errno)) {
            if (disagreements++ == 0) example = std::to_string(time) + ": " + Describe(ours);
        }
    }
    EXPECT_EQ(disagreements, 0) << example;
}

// A random date, its fields in range or, for one in three, far outside.
TM64 RandomDate(std::mt19937_64& engine, const ZoneCase& zone, bool daylight_saving) {
    auto pick = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(engine);
    };
    TM64 date{};
    // Keep a margin so that carried fields stay within the compared years.
    const int margin = 40000;
    const int low = zone.first_year == INT_MIN ? INT_MIN + margin : zone.first_year + 1;
    const int high = zone.last_year == INT_MAX ? INT_MAX - margin : zone.last_year - 1;
    date.tm_year =
        pick(0, 3) == 0 ? pick(std::max(low, -3000), std::min(high, 3000)) : pick(low, high);
    date.tm_mon = pick(0, 11);
    date.tm_mday = pick(1, 28);
    date.tm_hour = pick(0, 23);
    date.tm_min = pick(0, 59);
    date.tm_sec = pick(0, 59);
    date.tm_isdst = pick(0, 19) == 0 ? 1 : pick(-1, 0);  // 1 makes mktime search years
    if (pick(0, 2) == 0) {
        date.tm_mon = pick(-500, 500);
        date.tm_mday = pick(-3000, 3000);
        date.tm_hour = pick(-100000, 100000);
        date.tm_min = pick(-1000000, 1000000);
        date.tm_sec = pick(-10000000, 10000000);
    }
    if (daylight_saving) date.tm_isdst = -1;
    return date;
}

// True when the wall time that mktime looks up (seconds held to 0 to 59)
// lies between 01:00 and 03:59, where a change of daylight saving may make it
// missing or ambiguous; the C library then answers by its previous guess, so
// there is no one exact answer.
bool NearDaylightSavingChange(const TM64& date) {
    TM64 wall = date;
    wall.tm_sec = std::clamp(wall.tm_sec, 0, 59);
    const Time64 wall_seconds = timegm64(&wall);
    TM64 normal{};
    return gmtime64_r(&wall_seconds, &normal) != nullptr && normal.tm_hour >= 1 &&
           normal.tm_hour <= 3;
}

TEST_P(Time64LocalTest, MktimeAgreesWithTheCLibrary) {
    const ZoneCase& zone = GetParam();
    if (!ZoneAvailable(zone.zone)) GTEST_SKIP() << "no zone file for " << zone.zone;
    ZoneScope scope(zone.zone);
    std::mt19937_64 engine(7);
    int disagreements = 0;
    int compared = 0;
    std::string example;
    for (int i = 0; i < kSamples; ++i) {
        const TM64 date = RandomDate(engine, zone, zone.daylight_saving);
        if (zone.daylight_saving && NearDaylightSavingChange(date)) continue;
        TM64 ours = date;
        TM64 theirs = date;
        errno = 0;
        const Time64 our_time = mktime64(&ours);
        const int our_error = errno;
        errno = 0;
        const time_t their_time = mktime(&theirs);
        ++compared;
        if (our_time != their_time || !SameLocalDate(ours, theirs) ||
            (their_time == -1 && our_error != errno)) {
            if (disagreements++ == 0) {
                example = Describe(date) + " -> " + std::to_string(our_time) + " " +
                          Describe(ours) + " / " + std::to_string(their_time) + " " +
                          Describe(theirs);
            }
        }
    }
    EXPECT_GT(compared, kSamples / 2);
    EXPECT_EQ(disagreements, 0) << example;
}

INSTANTIATE_TEST_SUITE_P(Zones, Time64LocalTest, ::testing::ValuesIn(kZones),
                         [](const ::testing::TestParamInfo<ZoneCase>& info) {
                             std::string name = Name(info.param);
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             }
                             return name;
                         });

TEST(Time64LocalKnownTest, KnownAnswers) {
    {
        ZoneScope zone("UTC0");
        TM64 date{};
        date.tm_year = 200;
        date.tm_mday = 1;
        EXPECT_EQ(mktime64(&date), 4102444800);
        EXPECT_EQ(date.tm_wday, 5);
        EXPECT_EQ(date.tm_yday, 0);
        EXPECT_EQ(date.tm_year, 200);
    }
    ZoneScope zone("<-05>5");
    const Time64 time = 4102444800;
    TM64 date{};
    ASSERT_NE(localtime64_r(&time, &date), nullptr);
    EXPECT_EQ(Describe(date), "year 199 mon 11 mday 31 19:0:0 wday 4 yday 364 isdst 0");
}

// Daylight saving by the zone's rule in years where the C library has none
// (before 1971) or errs (after year 5.8 million): 1 July is summer time,
// 1 January is not; the UTC time comes from timegm.
TEST(Time64LocalKnownTest, RuleAppliesInEveryYear) {
    ZoneScope zone("EST5EDT,M3.2.0,M11.1.0");
    for (const int year : {INT_MIN + 1, -2000000000, -1900, 0, 2000000000, INT_MAX - 1}) {
        for (const int month : {0, 6}) {
            SCOPED_TRACE(std::to_string(year) + " month " + std::to_string(month));
            TM64 date{};
            date.tm_year = year;
            date.tm_mon = month;
            date.tm_mday = 1;
            date.tm_hour = 12;
            date.tm_isdst = -1;
            TM64 utc = date;
            const Time64 offset = month == 6 ? 4 * 3600 : 5 * 3600;
            const Time64 time = mktime64(&date);
            EXPECT_EQ(time, timegm(&utc) + offset);
            EXPECT_EQ(date.tm_isdst, month == 6 ? 1 : 0);
            TM64 back{};
            ASSERT_NE(localtime64_r(&time, &back), nullptr);
            EXPECT_TRUE(SameLocalDate(back, date)) << Describe(back);
            EXPECT_STREQ(back.tm_zone, month == 6 ? "EDT" : "EST");
        }
    }
}

// A local date in the year after the last one that tm_year holds, or before
// the first, is refused rather than wrapped.
TEST(Time64LocalKnownTest, LocalYearBeyondTheRangeOverflows) {
    struct Case {
        const char* zone;
        Time64 time;
    };
    const Case cases[] = {{"<+0530>-5:30", kLast}, {"<-05>5", kFirst}};
    for (const Case& test : cases) {
        ZoneScope zone(test.zone);
        TM64 result{};
        result.tm_year = 12345;
        errno = 0;
        EXPECT_EQ(localtime64_r(&test.time, &result), nullptr) << test.zone;
        EXPECT_EQ(errno, EOVERFLOW);
        EXPECT_EQ(result.tm_year, 12345);
        const time_t platform_time = test.time;
        EXPECT_EQ(localtime_r(&platform_time, &result), nullptr);  // so does the C library
    }
}

// Outside 1901 to 2038, fields that carry into a neighbouring year reach the
// real year, as mktime carries them; a year that leaves tm_year is refused.
TEST(Time64LocalKnownTest, MktimeCarriesOutOfRangeFieldsIntoTheRealYear) {
    ZoneScope zone("<-05>5");
    struct Case {
        int mon, mday, hour, min, sec;
    };
    const Case cases[] = {{12, 1, 0, 0, 0},  {-1, 1, 0, 0, 0},       {0, 0, 0, 0, 0},
                          {11, 32, 0, 0, 0}, {0, 1, 0, -1, 0},       {0, 1, 0, 0, 86400 * 366},
                          {0, 1, 0, 0, -1},  {0, 1, 24 * 800, 0, 0}, {0, 1, 0, 0, INT_MIN}};
    for (const int year : {1100, -2900, 100000}) {
        for (const Case& test : cases) {
            TM64 date{};
            date.tm_year = year;
            date.tm_mon = test.mon;
            date.tm_mday = test.mday;
            date.tm_hour = test.hour;
            date.tm_min = test.min;
            date.tm_sec = test.sec;
            TM64 theirs = date;
            SCOPED_TRACE(Describe(date));
            EXPECT_EQ(mktime64(&date), mktime(&theirs));
            EXPECT_TRUE(SameLocalDate(date, theirs)) << Describe(date) << " / " << Describe(theirs);
        }
    }
    TM64 date{};
    date.tm_year = INT_MAX;
    date.tm_mon = 12;
    date.tm_mday = 1;
    const TM64 before = date;
    errno = 0;
    EXPECT_EQ(mktime64(&date), -1);
    EXPECT_EQ(errno, EOVERFLOW);
    EXPECT_TRUE(SameLocalDate(date, before));
}

// Concurrent local conversions need not take turns: each thread's results
// equal those of a lone thread.
TEST(Time64LocalKnownTest, ConcurrentLocalConversionsAgree) {
    ZoneScope zone("EST5EDT,M3.2.0,M11.1.0");
    std::vector<Time64> times;
    std::vector<std::string> expected;
    std::mt19937_64 engine(99);
    for (int i = 0; i < 64; ++i) {
        const Time64 range = i % 2 == 0 ? INT32_MAX : 100000000000;  // both paths
        const Time64 time = std::uniform_int_distribution<Time64>(-range, range)(engine);
        char text[35];
        ASSERT_NE(ctime64_r(&time, text), nullptr);
        times.push_back(time);
        expected.emplace_back(text);
    }
    std::vector<int> wrong(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 50; ++round) {
                for (std::size_t i = 0; i < times.size(); ++i) {
                    char text[35];
                    TM64 date{};
                    if (ctime64_r(&times[i], text) == nullptr || expected[i] != text ||
                        localtime64_r(&times[i], &date) == nullptr || mktime64(&date) != times[i]) {
                        ++wrong[t];
                    }
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

}  // namespace
