// UTC calendar arithmetic, dates as text, and the UTC functions that return
// the module's static storage.
#include "bobbin/time/internal/calendar.h"

#include <cassert>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>

#include "bobbin/time/internal/range.h"
#include "bobbin/time/time64.h"

namespace bobbin::detail {

int LowBits(Year value) {
    return static_cast<int>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(value)));
}

const int kDaysBeforeMonth[2][13] = {
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366},
};

namespace {

constexpr bool FitsInt(Year value) {
    return value >= std::numeric_limits<int>::min() && value <= std::numeric_limits<int>::max();
}

// The internal consistency check of every converted date.
[[maybe_unused]] bool CheckTm(const TM64* date) {
    const int leap = IsLeap(Year{date->tm_year} + 1900);
    const int month = date->tm_mon;
    return date->tm_sec >= 0 && date->tm_sec <= 61 && date->tm_min >= 0 && date->tm_min <= 59 &&
           date->tm_hour >= 0 && date->tm_hour <= 23 && month >= 0 && month <= 11 &&
           date->tm_mday >= 1 &&
           date->tm_mday <= kDaysBeforeMonth[leap][month + 1] - kDaysBeforeMonth[leap][month] &&
           date->tm_wday >= 0 && date->tm_wday <= 6 && date->tm_yday >= 0 &&
           date->tm_yday < kDaysBeforeMonth[leap][12];
}

// The cycles added to a time so that every time near the years that tm_year
// holds is positive.
constexpr std::uint32_t kCycleDays = kDaysInGregorianCycle;
constexpr std::int64_t kBiasCycles = 5500000;
constexpr std::uint64_t kBias = kBiasCycles * kSecondsInGregorianCycle;
constexpr Time64 kBiasMargin = 7 * 86400;
static_assert(kFirstTime - kBiasMargin + static_cast<Time64>(kBias) > 0);

// The year of any time, for one too far for tm_year.
Year YearOf(Time64 time) {
    const std::int64_t days = FloorDiv(time, 86400) + 719468;  // from 1 March of year 0
    const std::int64_t cycles = FloorDiv(days, kDaysInGregorianCycle);
    const std::int64_t day_of_cycle = days - cycles * kDaysInGregorianCycle;
    const std::int64_t year_of_cycle =
        (day_of_cycle - day_of_cycle / 1460 + day_of_cycle / 36524 - day_of_cycle / 146096) / 365;
    const std::int64_t day_of_year =
        day_of_cycle - (365 * year_of_cycle + year_of_cycle / 4 - year_of_cycle / 100);
    return cycles * kYearsInGregorianCycle + year_of_cycle + (day_of_year >= 306 ? 1 : 0);
}

}  // namespace

int SplitTime(Time64 time, TM64* date, Year* fullYear) {
    if (time < kFirstTime - kBiasMargin || time > kLastTime + kBiasMargin) {
        *fullYear = YearOf(time);
        return EOVERFLOW;
    }
    // Whole 400-year cycles added make every time positive, so that the
    // divisions are unsigned; a cycle has whole weeks, so the weekday stays.
    const std::uint64_t biased = static_cast<std::uint64_t>(time) + kBias;
    const std::uint64_t days = biased / 86400;
    const auto seconds = static_cast<std::uint32_t>(biased % 86400);

    // Days to date counted from 1 March of a year that starts a cycle, so that
    // the leap day ends each year: whole cycles, then within a cycle the
    // century, the year of the century and the day of the year (each a
    // multiplication that discounts the leap days), then the month and day.
    const std::uint64_t from_march = days + 719468;
    const std::uint64_t cycles = from_march / kCycleDays;
    const auto day_of_cycle = static_cast<std::uint32_t>(from_march % kCycleDays);
    const std::uint32_t quarter_days = 4 * day_of_cycle + 3;
    const std::uint32_t century = quarter_days / kCycleDays;
    const std::uint32_t day_of_century = quarter_days % kCycleDays / 4;
    const std::uint64_t scaled = std::uint64_t{2939745} * (4 * day_of_century + 3);
    const auto year_of_century = static_cast<std::uint32_t>(scaled >> 32);
    const std::uint32_t day_of_year =
        static_cast<std::uint32_t>(scaled) / 2939745 / 4;  // 0: 1 March
    const std::uint32_t month_and_day = 2141 * day_of_year + 197913;
    const std::uint32_t in_january_or_february = day_of_year >= 306 ? 1 : 0;
    const Year year = (static_cast<Year>(cycles) - kBiasCycles) * kYearsInGregorianCycle +
                      century * 100 + year_of_century + in_january_or_february;
    *fullYear = year;
    if (!FitsInt(year - 1900)) return EOVERFLOW;
    const auto month = static_cast<int>(month_and_day >> 16) - (in_january_or_february ? 12 : 0);
    date->tm_year = static_cast<int>(year - 1900);
    date->tm_mon = month - 1;
    date->tm_mday = static_cast<int>((month_and_day & 0xFFFF) / 2141) + 1;
    // From March on the year is the one counted from March, whose leap day
    // came before: a multiple of 4 that is not a century, or the 400th year.
    const std::uint32_t leap = year_of_century % 4 == 0 && (year_of_century != 0 || century == 0);
    date->tm_yday =
        static_cast<int>(in_january_or_february ? day_of_year - 306 : day_of_year + 59 + leap);
    date->tm_wday = static_cast<int>((days + 4) % 7);  // 1970-01-01 was a Thursday
    date->tm_hour = static_cast<int>(seconds / 3600);
    date->tm_min = static_cast<int>(seconds / 60 % 60);
    date->tm_sec = static_cast<int>(seconds % 60);
    assert(CheckTm(date));
    return 0;
}

}  // namespace bobbin::detail

using bobbin::detail::Year;

namespace {

constexpr char kWdayName[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr char kMonName[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Buffer size of the text of a date, terminator included.
constexpr std::size_t kTextSize = 35;

TM64 Static_Return_Date;
char Static_Return_String[kTextSize];

}  // namespace

TM64* bobbin::detail::StaticReturnDate() {
    return &Static_Return_Date;
}

TM64* gmtime64_r(const Time64* time, TM64* result) {
    assert(result != nullptr);
    result->tm_isdst = 0;
    Year year;
    const int error = bobbin::detail::SplitTime(*time, result, &year);
    if (error == 0) return result;
    result->tm_year = bobbin::detail::LowBits(year - 1900);
    errno = error;
    return nullptr;
}

Time64 timegm64(const TM64* date) {
    using bobbin::detail::FloorDiv;
    Year year = Year{date->tm_year} + 1900;
    std::int64_t month = date->tm_mon;
    if (month < 0 || month > 11) {
        const std::int64_t carry = FloorDiv(month, 12);
        year += carry;
        month -= carry * 12;
    }
    const std::int64_t days =
        bobbin::detail::DaysBeforeYear(year) +
        bobbin::detail::kDaysBeforeMonth[bobbin::detail::IsLeap(year)][month] +
        (std::int64_t{date->tm_mday} - 1);
    return days * 86400 + std::int64_t{date->tm_hour} * 3600 + std::int64_t{date->tm_min} * 60 +
           date->tm_sec;
}

char* asctime64_r(const TM64* date, char* result) {
    if (date == nullptr || !valid_tm_wday(date) || !valid_tm_mon(date)) {
        errno = EINVAL;
        return nullptr;
    }
    char text[96];  // room for every field at its widest
    const int length =
        std::snprintf(text, sizeof text, "%.3s %.3s %02d %.2d:%.2d:%.2d %" PRId64 "\n",
                      kWdayName[date->tm_wday], kMonName[date->tm_mon], date->tm_mday,
                      date->tm_hour, date->tm_min, date->tm_sec, Year{date->tm_year} + 1900);
    if (length < 0 || static_cast<std::size_t>(length) >= kTextSize) {
        errno = EOVERFLOW;
        return nullptr;
    }
    std::memcpy(result, text, static_cast<std::size_t>(length) + 1);
    return result;
}

TM64* gmtime64(const Time64* time) {
    return gmtime64_r(time, &Static_Return_Date);
}

char* asctime64(const TM64* date) {
    return asctime64_r(date, Static_Return_String);
}

int cmp_date(const TM64* left, const TM64* right) {
    if (left->tm_year != right->tm_year) return left->tm_year > right->tm_year ? 1 : -1;
    if (left->tm_mon != right->tm_mon) return left->tm_mon > right->tm_mon ? 1 : -1;
    if (left->tm_mday != right->tm_mday) return left->tm_mday > right->tm_mday ? 1 : -1;
    if (left->tm_hour != right->tm_hour) return left->tm_hour > right->tm_hour ? 1 : -1;
    if (left->tm_min != right->tm_min) return left->tm_min > right->tm_min ? 1 : -1;
    if (left->tm_sec != right->tm_sec) return left->tm_sec > right->tm_sec ? 1 : -1;
    return 0;
}

int date_in_safe_range(const TM64* date, const TM64* min, const TM64* max) {
    return cmp_date(date, min) >= 0 && cmp_date(date, max) <= 0 ? 1 : 0;
}

void copy_tm_to_TM64(const struct tm* source, TM64* destination) {
    *destination = source == nullptr ? TM64{} : *source;
}

void copy_TM64_to_tm(const TM64* source, struct tm* destination) {
    *destination = source == nullptr ? tm{} : *source;
}

struct tm* fake_gmtime_r(const time_t* time, struct tm* result) {
    assert(result != nullptr);
    if (gmtime_r(time, result) == nullptr) {
        *result = tm{};
        return nullptr;
    }
    return result;
}

int valid_tm_wday(const TM64* date) {
    return date->tm_wday >= 0 && date->tm_wday <= 6 ? 1 : 0;
}

int valid_tm_mon(const TM64* date) {
    return date->tm_mon >= 0 && date->tm_mon <= 11 ? 1 : 0;
}
