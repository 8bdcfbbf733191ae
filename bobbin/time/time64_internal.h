// Internal, not installed: calendar arithmetic of the time64 module, shared
// by its sources and reached by its tests.
#pragma once

#include <cstdint>

#include "bobbin/time/time64.h"

namespace bobbin {

// A full year of the proleptic Gregorian calendar (1 BC is 0).
using Year = std::int64_t;

constexpr int is_leap(Year year) {
    return (year % 400 == 0 || (year % 4 == 0 && year % 100 != 0)) ? 1 : 0;
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

// A year between 1971 and 2037 with the same leap status and the same weekday
// on 1 January as year, whose preceding year also has the leap status of the
// year before year; years 1971 to 2037 are their own. Defined for |year| below
// 10^15.
Year safe_year(Year year);

// For left > right: seconds from 1 January of right to 1 January of left.
// Otherwise minus the seconds of the years left + 1 to right, which for a year
// and its safe year is the exact (negative) span between them. 0 when equal.
// Defined for years within +/-10^11.
Time64 seconds_between_years(Year left, Year right);

}  // namespace bobbin
