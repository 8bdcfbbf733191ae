#include <cassert>

#include "bobbin/time/internal/calendar.h"

namespace bobbin::detail {

namespace {

// Years between 1971 and 2037, indexed by the position of a year in the
// 28-year cycle of weekdays and leap years.
constexpr int safe_years_high[28] = {2016, 2017, 2018, 2019, 2020, 2021, 2022, 2023, 2024, 2025,
                                     2026, 2027, 2028, 2029, 2030, 2031, 2032, 2033, 2034, 2035,
                                     2036, 2037, 2010, 2011, 2012, 2013, 2014, 2015};
constexpr int safe_years_low[28] = {1996, 1997, 1998, 1971, 1972, 1973, 1974, 1975, 1976, 1977,
                                    1978, 1979, 1980, 1981, 1982, 1983, 1984, 1985, 1986, 1987,
                                    1988, 1989, 1990, 1991, 1992, 1993, 1994, 1995};

constexpr bool is_exception_century(Year year) {
    return year % 100 == 0 && year % 400 != 0;
}

// Exception centuries from 2000 to year (negative before 2000), times the
// shift of 16 positions that each causes in the 28-year cycle.
Year cycle_offset(Year year) {
    Year since2000 = year - 2000;
    if (year > 2000) since2000 -= 1;
    const Year exceptions = since2000 / 100 - since2000 / 400;
    return exceptions * 16;
}

}  // namespace

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
    if (left > right) return (DaysBeforeYear(left) - DaysBeforeYear(right)) * 86400;
    return (DaysBeforeYear(left + 1) - DaysBeforeYear(right + 1)) * 86400;
}

}  // namespace bobbin::detail
