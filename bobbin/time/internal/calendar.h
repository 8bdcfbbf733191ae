// Internal, not installed: UTC calendar arithmetic of the time module, shared
// by its sources and reached by its tests.
#pragma once

#include <cstdint>

#include "bobbin/time/time64.h"

namespace bobbin::detail {

// A full year of the proleptic Gregorian calendar (1 BC is 0).
using Year = std::int64_t;

inline constexpr std::int64_t kDaysInGregorianCycle = 146097;
inline constexpr Time64 kSecondsInGregorianCycle = 12622780800;
inline constexpr Year kYearsInGregorianCycle = 400;

constexpr int IsLeap(Year year) {
    return (year % 400 == 0 || (year % 4 == 0 && year % 100 != 0)) ? 1 : 0;
}

// Rounds toward minus infinity; divisor > 0.
constexpr std::int64_t FloorDiv(std::int64_t value, std::int64_t divisor) {
    return value / divisor - (value % divisor < 0 ? 1 : 0);
}

// Days from 1970-01-01 to 1 January of year.
constexpr std::int64_t DaysBeforeYear(Year year) {
    const Year before = year - 1;
    return 365 * (year - 1970) + FloorDiv(before, 4) - FloorDiv(before, 100) +
           FloorDiv(before, 400) - 477;  // 477 leap days before 1970
}

// Days before each month (index [leap][month]).
extern const int kDaysBeforeMonth[2][13];

// Writes the UTC date of time into tm_sec to tm_yday of *date; tm_isdst,
// tm_gmtoff and tm_zone are left alone. Sets *fullYear. Returns 0, or
// EOVERFLOW when the year does not fit tm_year; then *date is not written.
int SplitTime(Time64 time, TM64* date, Year* fullYear);

// The date that gmtime64 and localtime64 return, shared by both.
TM64* StaticReturnDate();

// The low 32 bits of value, as tm_year receives a year that does not fit.
int LowBits(Year value);

}  // namespace bobbin::detail
