// gmtime64_r and timegm64 against two oracles: the C library (64-bit time_t,
// exact for every year of a 32-bit tm_year) and a literal year-by-year and
// month-by-month walk of the calendar.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <random>
#include <sstream>
#include <vector>

#include "bobbin/time/time64.h"
#include "bobbin/time/time64_internal.h"
#include "bobbin/time/time64_testing.h"

namespace {

using bobbin::Year;
using bobbin::testing::Describe;
using bobbin::testing::SameDate;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kRandomTimes = 100000;  // each check is many times slower
constexpr int kWalkSamples = 10000;
#else
constexpr int kRandomTimes = 1000000;
constexpr int kWalkSamples = 100000;
#endif

constexpr Time64 kFirst = -67768040609740800;
constexpr Time64 kLast = 67768036191676799;
constexpr Time64 kCycleSeconds = 12622780800;

// ---- The walks, transcribed step by step (years count from 1900 where noted).

int Leap(Year full_year) {
    return (full_year % 400 == 0 || (full_year % 4 == 0 && full_year % 100 != 0)) ? 1 : 0;
}
int Length(Year full_year) {
    return 365 + Leap(full_year);
}
int MonthDays(Year full_year, int month) {
    static const int days[2][12] = {{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
                                    {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31}};
    return days[Leap(full_year)][month];
}
int DaysBefore(Year full_year, int month) {
    int days = 0;
    for (int m = 0; m < month; ++m) days += MonthDays(full_year, m);
    return days;
}

TM64* WalkGmtime(Time64 time, TM64* out) {
    out->tm_isdst = 0;
    Time64 sec = time % 60;
    time /= 60;
    Time64 min = time % 60;
    time /= 60;
    Time64 hour = time % 24;
    Time64 days = time / 24;
    if (sec < 0) sec += 60, --min;
    if (min < 0) min += 60, --hour;
    if (hour < 0) hour += 24, --days;
    Time64 wday = (days + 4) % 7;
    if (wday < 0) wday += 7;

    Year year = 70;  // since 1900
    Time64 m = days;
    if (m > 13878) year = 108, m -= 13879;
    int month;
    if (m >= 0) {
        const Time64 cycles = m / 146097;
        if (cycles != 0) m -= cycles * 146097, year += cycles * 400;
        while (m >= Length(year + 1900)) m -= Length(year + 1900), ++year;
        month = 0;
        while (m >= MonthDays(year + 1900, month)) m -= MonthDays(year + 1900, month), ++month;
    } else {
        --year;
        const Time64 cycles = m / 146097 + 1;
        if (cycles != 0) m -= cycles * 146097, year += cycles * 400;
        while (m < -Length(year + 1900)) m += Length(year + 1900), --year;
        month = 11;
        while (m < -MonthDays(year + 1900, month)) m += MonthDays(year + 1900, month), --month;
        m += MonthDays(year + 1900, month);
    }
    out->tm_year = static_cast<int>(static_cast<std::uint32_t>(year));
    if (year < INT_MIN || year > INT_MAX) {
        errno = EOVERFLOW;
        return nullptr;
    }
    out->tm_mday = static_cast<int>(m) + 1;
    out->tm_yday = DaysBefore(year + 1900, month) + static_cast<int>(m);
    out->tm_mon = month;
    out->tm_wday = static_cast<int>(wday);
    out->tm_hour = static_cast<int>(hour);
    out->tm_min = static_cast<int>(min);
    out->tm_sec = static_cast<int>(sec);
    return out;
}

// tm_mon 0 to 11; the hour and minute products in 64 bits.
Time64 WalkTimegm(const TM64& date) {
    Year year = date.tm_year;
    Time64 days = 0;
    if (year > 100 || year < -300) {
        const Year cycles = (year - 100) / 400;
        year -= cycles * 400;
        days += cycles * 146097;
    }
    for (Year y = 70; y < year; ++y) days += Length(y + 1900);
    for (Year y = year; y < 70; ++y) days -= Length(y + 1900);
    days += DaysBefore(year + 1900, date.tm_mon) + date.tm_mday - 1;
    return days * 86400 + Time64{date.tm_hour} * 3600 + Time64{date.tm_min} * 60 + date.tm_sec;
}

Time64 WalkSecondsBetweenYears(Year left, Year right) {
    const int increment = left > right ? 1 : -1;
    Time64 seconds = 0;
    if (left > 2400) {
        const Year cycles = (left - 2400) / 400;
        left -= cycles * 400;
        seconds += cycles * kCycleSeconds;
    } else if (left < 1600) {
        const Year cycles = (1600 - left) / 400;
        left += cycles * 400;
        seconds += cycles * kCycleSeconds;
    }
    while (left != right) {
        seconds += Length(right) * Time64{86400};
        right += increment;
    }
    return seconds * increment;
}

// ---- Sampling.

class Sampler {
  public:
    explicit Sampler(std::uint64_t seed) : engine_(seed) {}
    Time64 Uniform() { return std::uniform_int_distribution<Time64>(kFirst, kLast)(engine_); }
    // Magnitudes spread evenly over 0 to 17 decimal digits, either sign.
    Time64 LogUniform() {
        const double digits = std::uniform_real_distribution<double>(0.0, 16.8)(engine_);
        const auto magnitude = static_cast<Time64>(std::pow(10.0, digits));
        return (engine_() & 1) ? magnitude : -magnitude;
    }
    int Int(int low, int high) { return std::uniform_int_distribution<int>(low, high)(engine_); }

  private:
    std::mt19937_64 engine_;
};

// Collects disagreements and keeps the first few for the failure message.
class Disagreements {
  public:
    void Add(const std::string& what) {
        if (++count_ <= 5) examples_ << what << '\n';
    }
    int Count() const { return count_; }
    std::string Examples() const { return examples_.str(); }

  private:
    int count_ = 0;
    std::ostringstream examples_;
};

std::string Text(Time64 time, const TM64& ours, const TM64& theirs) {
    return std::to_string(time) + ": " + Describe(ours) + " / " + Describe(theirs);
}

// gmtime64_r against gmtime_r, and timegm64 back against time and timegm.
void CompareWithCLibrary(Time64 time, Disagreements& found) {
    TM64 ours{};
    TM64 theirs{};
    const time_t platform_time = time;
    errno = 0;
    const bool ours_ok = gmtime64_r(&time, &ours) != nullptr;
    const int our_error = errno;
    errno = 0;
    const bool theirs_ok = gmtime_r(&platform_time, &theirs) != nullptr;
    if (ours_ok != theirs_ok || (!ours_ok && our_error != errno)) {
        found.Add(std::to_string(time) + ": success or errno differs");
        return;
    }
    if (!ours_ok) return;
    if (!SameDate(ours, theirs)) found.Add(Text(time, ours, theirs));
    TM64 copy = ours;
    if (timegm64(&ours) != time || timegm(&copy) != time) found.Add(std::to_string(time));
}

TEST(Time64DifferentialTest, RandomTimesAgreeWithTheCLibrary) {
    Sampler sampler(20380119);
    Disagreements found;
    for (int i = 0; i < kRandomTimes / 2; ++i) {
        CompareWithCLibrary(sampler.Uniform(), found);
        CompareWithCLibrary(sampler.LogUniform(), found);
    }
    for (const Time64 edge : {kFirst, kFirst - 1, kLast, kLast + 1, Time64{INT32_MIN} - 1,
                              Time64{INT32_MAX} + 1, Time64{-1}, Time64{0}}) {
        CompareWithCLibrary(edge, found);
    }
    EXPECT_EQ(found.Count(), 0) << found.Examples();
}

// Every day of a 400-year cycle around the epoch and of one around year 10^9,
// each at a random second of the day.
TEST(Time64DifferentialTest, EveryDayOfTwoCyclesAgreesWithTheCLibrary) {
    Sampler sampler(146097);
    Disagreements found;
    const Time64 first_days[] = {-73048, 365242190 * Time64{1000}};
    for (const Time64 first_day : first_days) {
        for (Time64 day = first_day; day < first_day + 146097; ++day) {
            CompareWithCLibrary(day * 86400 + sampler.Int(0, 86399), found);
        }
    }
    EXPECT_EQ(found.Count(), 0) << found.Examples();
}

TEST(Time64DifferentialTest, ClosedFormsAgreeWithTheWalks) {
    Sampler sampler(1582);
    Disagreements found;
    std::vector<Time64> times = {kFirst,    kFirst - 1, kLast, kLast + 1,  INT64_MIN,
                                 INT64_MAX, 0,          -1,    1199145600, 1199145599};
    for (const Time64 cycle : {-2, -1, 1, 2}) {
        for (const Time64 delta : {-86401, -1, 0, 1, 86400}) {
            times.push_back(cycle * kCycleSeconds + delta);
            times.push_back(1199145600 + cycle * kCycleSeconds + delta);
        }
    }
    for (int i = 0; i < kWalkSamples / 2; ++i) {
        times.push_back(sampler.Uniform());
        times.push_back(sampler.LogUniform());
    }
    for (const Time64 time : times) {
        TM64 ours{};
        TM64 walked{};
        errno = 0;
        const bool ours_ok = gmtime64_r(&time, &ours) != nullptr;
        const int our_error = errno;
        errno = 0;
        const bool walked_ok = WalkGmtime(time, &walked) != nullptr;
        // On failure both have written tm_isdst and the same tm_year only.
        if (ours_ok != walked_ok || our_error != errno || !SameDate(ours, walked)) {
            found.Add(Text(time, ours, walked));
        } else if (ours_ok && timegm64(&ours) != WalkTimegm(walked)) {
            found.Add("timegm " + Text(time, ours, walked));
        }
    }
    // The span from a year to its safe year, the one use of the span.
    for (int i = 0; i < kWalkSamples; ++i) {
        const Year year = sampler.Int(INT_MIN, INT_MAX) + Year{1900};
        const Year safe = bobbin::safe_year(year);
        if (bobbin::seconds_between_years(year, safe) != WalkSecondsBetweenYears(year, safe)) {
            found.Add("span " + std::to_string(year));
        }
    }
    EXPECT_EQ(found.Count(), 0) << found.Examples();
}

// Fields far outside their ranges (months carried into years, 64-bit hour
// and minute products) against timegm.
TEST(Time64DifferentialTest, WideFieldsAgreeWithTimegm) {
    Sampler sampler(1970);
    Disagreements found;
    for (int i = 0; i < kWalkSamples; ++i) {
        TM64 date{};
        date.tm_year = sampler.Int(-1000000000, 1000000000);
        date.tm_mon = sampler.Int(INT_MIN, INT_MAX);
        date.tm_mday = sampler.Int(INT_MIN, INT_MAX);
        date.tm_hour = sampler.Int(INT_MIN, INT_MAX);
        date.tm_min = sampler.Int(INT_MIN, INT_MAX);
        date.tm_sec = sampler.Int(INT_MIN, INT_MAX);
        TM64 copy = date;
        const Time64 ours = timegm64(&date);
        if (ours != timegm(&copy)) found.Add(Describe(date) + " -> " + std::to_string(ours));
    }
    EXPECT_EQ(found.Count(), 0) << found.Examples();
}

}  // namespace
