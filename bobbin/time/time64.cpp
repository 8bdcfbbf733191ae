#include "bobbin/time/time64.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

#include "bobbin/time/time64_internal.h"

using bobbin::Year;

namespace {

// Index [leap] of the tables: 1 for a leap year, else 0.
constexpr int days_in_month[2][12] = {
    {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
    {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
};
constexpr int julian_days_by_month[2][12] = {
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335},
};
constexpr int length_of_year[2] = {365, 366};

constexpr Year years_in_gregorian_cycle = 400;
constexpr std::int64_t days_in_gregorian_cycle = 146097;
constexpr Time64 seconds_in_gregorian_cycle = 12622780800;
static_assert(seconds_in_gregorian_cycle == days_in_gregorian_cycle * 86400);

// The first and last seconds whose UTC year tm_year holds.
constexpr Time64 first_time = -67768040609740800;
constexpr Time64 last_time = 67768036191676799;

// Years between 1971 and 2037, indexed by the position of a year in the
// 28-year cycle of weekdays and leap years.
constexpr int safe_years_high[28] = {2016, 2017, 2018, 2019, 2020, 2021, 2022, 2023, 2024, 2025,
                                     2026, 2027, 2028, 2029, 2030, 2031, 2032, 2033, 2034, 2035,
                                     2036, 2037, 2010, 2011, 2012, 2013, 2014, 2015};
constexpr int safe_years_low[28] = {1996, 1997, 1998, 1971, 1972, 1973, 1974, 1975, 1976, 1977,
                                    1978, 1979, 1980, 1981, 1982, 1983, 1984, 1985, 1986, 1987,
                                    1988, 1989, 1990, 1991, 1992, 1993, 1994, 1995};

constexpr TM64 make_date(int year, int mon, int mday, int hour, int min, int sec, int wday,
                         int yday) {
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

// The dates that a signed 32-bit count of seconds reaches; between them the C
// library's mktime is used as it is.
constexpr TM64 SYSTEM_MKTIME_MIN = make_date(1, 11, 13, 12, 45, 52, 5, 346);
constexpr TM64 SYSTEM_MKTIME_MAX = make_date(138, 0, 18, 19, 14, 7, 1, 17);

constexpr char wday_name[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr char mon_name[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Buffer size of the text of a date, terminator included.
constexpr std::size_t text_size = 35;

TM64 Static_Return_Date;
char Static_Return_String[text_size];

constexpr bool fits_int(Year value) {
    return value >= std::numeric_limits<int>::min() && value <= std::numeric_limits<int>::max();
}

// The low 32 bits of value, as tm_year receives a year that does not fit.
int low_bits(Year value) {
    return static_cast<int>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(value)));
}

constexpr int is_leap(Year year) {
    return (year % 400 == 0 || (year % 4 == 0 && year % 100 != 0)) ? 1 : 0;
}

constexpr bool is_exception_century(Year year) {
    return year % 100 == 0 && year % 400 != 0;
}

// Rounds toward minus infinity; divisor > 0.
constexpr std::int64_t floor_div(std::int64_t value, std::int64_t divisor) {
    return value / divisor - (value % divisor < 0 ? 1 : 0);
}

// Days from 1970-01-01 to 1 January of year.
constexpr std::int64_t days_before_year(Year year) {
    const Year before = year - 1;
    return 365 * (year - 1970) + floor_div(before, 4) - floor_div(before, 100) +
           floor_div(before, 400) - 477;  // 477 leap days before 1970
}

// Exception centuries from 2000 to year (negative before 2000), times the
// shift of 16 positions that each causes in the 28-year cycle.
Year cycle_offset(Year year) {
    Year since2000 = year - 2000;
    if (year > 2000) since2000 -= 1;
    const Year exceptions = since2000 / 100 - since2000 / 400;
    return exceptions * 16;
}

// True when months, days, hours, minutes and seconds (0 to 59) lie within
// their ranges, so that normalising the date changes nothing.
bool fields_in_range(const TM64* date) {
    return date->tm_sec >= 0 && date->tm_sec <= 59 && date->tm_min >= 0 && date->tm_min <= 59 &&
           date->tm_hour >= 0 && date->tm_hour <= 23 && date->tm_mon >= 0 && date->tm_mon <= 11 &&
           date->tm_mday >= 1 &&
           date->tm_mday <= days_in_month[is_leap(Year{date->tm_year} + 1900)][date->tm_mon];
}

// The internal consistency check of every converted date.
[[maybe_unused]] bool check_tm(const TM64* date) {
    const int leap = is_leap(Year{date->tm_year} + 1900);
    return date->tm_sec >= 0 && date->tm_sec <= 61 && date->tm_min >= 0 && date->tm_min <= 59 &&
           date->tm_hour >= 0 && date->tm_hour <= 23 && date->tm_mon >= 0 && date->tm_mon <= 11 &&
           date->tm_mday >= 1 && date->tm_mday <= days_in_month[leap][date->tm_mon] &&
           date->tm_wday >= 0 && date->tm_wday <= 6 && date->tm_yday >= 0 &&
           date->tm_yday < length_of_year[leap];
}

// The C library's local conversion after rereading the zone, as localtime
// does, but into the caller's storage.
bool platform_localtime(Time64 time, struct tm* result) {
    const time_t platform_time = time;
    return fake_localtime_r(&platform_time, result) != nullptr;
}

}  // namespace

namespace bobbin {

Year safe_year(Year year) {
    if (year >= 1971 && year <= 2037) return year;
    Year position = year + cycle_offset(year);
    if (year <= 1970) position -= 8;
    if (is_exception_century(year)) position += 11;
    if (is_exception_century(year - 1)) position += 17;
    position %= 28;
    if (position < 0) position += 28;
    assert(position >= 0 && position < 28);
    const Year safe = year <= 1970 ? safe_years_low[position] : safe_years_high[position];
    assert(safe >= 1971 && safe <= 2037);
    return safe;
}

Time64 seconds_between_years(Year left, Year right) {
    if (left > right) return (days_before_year(left) - days_before_year(right)) * 86400;
    return (days_before_year(left + 1) - days_before_year(right + 1)) * 86400;
}

}  // namespace bobbin

TM64* gmtime64_r(const Time64* time, TM64* result) {
    assert(result != nullptr);
    result->tm_isdst = 0;

    Time64 rest = *time;
    int sec = static_cast<int>(rest % 60);
    rest /= 60;
    int min = static_cast<int>(rest % 60);
    rest /= 60;
    int hour = static_cast<int>(rest % 24);
    std::int64_t days = rest / 24;
    if (sec < 0) {
        sec += 60;
        --min;
    }
    if (min < 0) {
        min += 60;
        --hour;
    }
    if (hour < 0) {
        hour += 24;
        --days;
    }
    int wday = static_cast<int>((days + 4) % 7);  // 1 January 1970 was a Thursday
    if (wday < 0) wday += 7;

    // Day to date counted from 1 March of year 0, so that the leap day ends
    // each year: whole 400-year cycles, then the year within the cycle (the
    // divisions by 1460, 36524 and 146096 discount the leap days of 4, 100
    // and 400 years), then months, 153 days for each five from March.
    const std::int64_t from_march0 = days + 719468;
    const std::int64_t cycles = floor_div(from_march0, days_in_gregorian_cycle);
    const std::int64_t day_of_cycle = from_march0 - cycles * days_in_gregorian_cycle;
    const std::int64_t year_of_cycle =
        (day_of_cycle - day_of_cycle / 1460 + day_of_cycle / 36524 - day_of_cycle / 146096) / 365;
    const int day_of_year =
        static_cast<int>(day_of_cycle - (365 * year_of_cycle + year_of_cycle / 4 -
                                         year_of_cycle / 100));  // 0 is 1 March
    const int month_from_march = (5 * day_of_year + 2) / 153;
    const int in_january_or_february = month_from_march >= 10 ? 1 : 0;
    const Year year = cycles * years_in_gregorian_cycle + year_of_cycle + in_january_or_february;
    const Year tm_year = year - 1900;

    if (!fits_int(tm_year)) {
        result->tm_year = low_bits(tm_year);
        errno = EOVERFLOW;
        return nullptr;
    }
    const int leap = is_leap(year);
    result->tm_year = static_cast<int>(tm_year);
    result->tm_mday = day_of_year - (153 * month_from_march + 2) / 5 + 1;
    result->tm_mon = in_january_or_february ? month_from_march - 10 : month_from_march + 2;
    result->tm_yday = in_january_or_february ? day_of_year - 306 : day_of_year + 59 + leap;
    result->tm_wday = wday;
    result->tm_hour = hour;
    result->tm_min = min;
    result->tm_sec = sec;
    assert(check_tm(result));
    return result;
}

Time64 timegm64(const TM64* date) {
    Year year = Year{date->tm_year} + 1900;
    std::int64_t month = date->tm_mon;
    if (month < 0 || month > 11) {
        const std::int64_t carry = floor_div(month, 12);
        year += carry;
        month -= carry * 12;
    }
    const std::int64_t days = days_before_year(year) + julian_days_by_month[is_leap(year)][month] +
                              (std::int64_t{date->tm_mday} - 1);
    return days * 86400 + std::int64_t{date->tm_hour} * 3600 + std::int64_t{date->tm_min} * 60 +
           date->tm_sec;
}

TM64* localtime64_r(const Time64* time, TM64* result) {
    assert(result != nullptr);
    struct tm local {};
    if (*time >= std::numeric_limits<std::int32_t>::min() &&
        *time <= std::numeric_limits<std::int32_t>::max()) {
        if (!platform_localtime(*time, &local)) return nullptr;
        copy_tm_to_TM64(&local, result);
        assert(check_tm(result));
        return result;
    }

    // Convert the same moment of a year with the same calendar, whose zone
    // rules the C library knows, and move the date back to the real year.
    TM64 utc;
    if (gmtime64_r(time, &utc) == nullptr) return nullptr;
    const int utc_year = utc.tm_year;
    if (utc.tm_year > 137 || utc.tm_year < 70) {
        utc.tm_year = static_cast<int>(bobbin::safe_year(Year{utc.tm_year} + 1900) - 1900);
    }
    if (!platform_localtime(timegm64(&utc), &local)) return nullptr;

    // The local date may lie in the year before or after the UTC date.
    Year year = utc_year;
    const int month_shift = local.tm_mon - utc.tm_mon;
    if (month_shift == 11) year -= 1;
    if (month_shift == -11) year += 1;
    if (!fits_int(year)) {
        errno = EOVERFLOW;
        return nullptr;
    }
    local.tm_year = static_cast<int>(year);
    copy_tm_to_TM64(&local, result);
    assert(check_tm(result));
    return result;
}

Time64 mktime64(TM64* date) {
    if (date_in_safe_range(date, &SYSTEM_MKTIME_MIN, &SYSTEM_MKTIME_MAX)) {
        return mktime(date);  // TM64 is the C library's struct tm
    }

    // Normalise the wall-clock fields within the real year first, so that a
    // carry across a year boundary reaches that year. Seconds outside 0 to 59
    // are added after the zone is resolved, as mktime adds them.
    TM64 safe = *date;
    safe.tm_sec = std::clamp(date->tm_sec, 0, 59);
    const Time64 extra_seconds = Time64{date->tm_sec} - safe.tm_sec;
    if (!fields_in_range(&safe)) {
        const Time64 wall_seconds = timegm64(&safe);
        if (gmtime64_r(&wall_seconds, &safe) == nullptr) return -1;  // errno is EOVERFLOW
    }
    const Year year = Year{safe.tm_year} + 1900;
    const Year safe_full_year = bobbin::safe_year(year);
    safe.tm_year = static_cast<int>(safe_full_year - 1900);
    safe.tm_isdst = date->tm_isdst;

    const time_t safe_time = mktime(&safe);
    if (safe_time == -1) return -1;  // no time of the safe years is -1
    const Time64 result =
        safe_time + bobbin::seconds_between_years(year, safe_full_year) + extra_seconds;
    if (result < first_time || result > last_time) {
        errno = EOVERFLOW;  // a local date near either end whose UTC year does not fit
        return -1;
    }
    if (extra_seconds == 0 && safe.tm_year == safe_full_year - 1900) {
        safe.tm_year = static_cast<int>(year - 1900);
        *date = safe;
        return result;
    }
    // The zone or the extra seconds moved the date out of the safe year, whose
    // neighbours need not match the real year's: convert the result itself.
    TM64 local;
    if (localtime64_r(&result, &local) == nullptr) return -1;
    *date = local;
    return result;
}

Time64 timelocal64(TM64* date) {
    return mktime64(date);
}

char* asctime64_r(const TM64* date, char* result) {
    if (date == nullptr || !valid_tm_wday(date) || !valid_tm_mon(date)) {
        errno = EINVAL;
        return nullptr;
    }
    char text[96];  // room for every field at its widest
    const int length =
        std::snprintf(text, sizeof text, "%.3s %.3s %02d %.2d:%.2d:%.2d %" PRId64 "\n",
                      wday_name[date->tm_wday], mon_name[date->tm_mon], date->tm_mday,
                      date->tm_hour, date->tm_min, date->tm_sec, Year{date->tm_year} + 1900);
    if (length < 0 || static_cast<std::size_t>(length) >= text_size) {
        errno = EOVERFLOW;
        return nullptr;
    }
    std::memcpy(result, text, static_cast<std::size_t>(length) + 1);
    return result;
}

char* ctime64_r(const Time64* time, char* result) {
    TM64 date;
    if (localtime64_r(time, &date) == nullptr) return nullptr;
    return asctime64_r(&date, result);
}

TM64* gmtime64(const Time64* time) {
    return gmtime64_r(time, &Static_Return_Date);
}

TM64* localtime64(const Time64* time) {
    tzset();
    return localtime64_r(time, &Static_Return_Date);
}

char* asctime64(const TM64* date) {
    return asctime64_r(date, Static_Return_String);
}

char* ctime64(const Time64* time) {
    tzset();
    const TM64* date = localtime64(time);
    return date == nullptr ? nullptr : asctime64(date);
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

struct tm* fake_localtime_r(const time_t* time, struct tm* result) {
    assert(result != nullptr);
    tzset();  // localtime_r alone would keep a zone read earlier
    if (localtime_r(time, result) == nullptr) {
        *result = tm{};
        return nullptr;
    }
    return result;
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
