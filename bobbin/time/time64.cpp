#include "bobbin/time/time64.h"

#include <unistd.h>  // environ

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "bobbin/time/internal/zone.h"
#include "bobbin/time/time64_internal.h"

using bobbin::days_before_year;
using bobbin::floor_div;
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

// The C library evaluates a daylight-saving rule for a year from the days
// between 1970 and 1 January of that year, counted in an int; from the year
// whose count passes INT_MAX on, it applies standard time only. rule_end_year
// is the last year that it converts with the zone's rules, rule_end_time the
// first second after it.
constexpr Year rule_end_year = 5881580;
static_assert(days_before_year(rule_end_year) <= INT_MAX &&
              days_before_year(rule_end_year + 1) > INT_MAX);
constexpr Time64 rule_end_time = days_before_year(rule_end_year + 1) * 86400;

// From 400,000 years after 2000 on, further than any zone file lists
// transitions, the C library converts with each zone's current rule.
constexpr Year current_rule_year = 402000;
constexpr Time64 current_rule_shift =
    (current_rule_year - 2000) / years_in_gregorian_cycle * seconds_in_gregorian_cycle;

// True when months, days, hours, minutes and seconds (0 to 59) lie within
// their ranges, so that normalising the date changes nothing.
bool fields_in_range(const TM64* date) {
    return date->tm_sec >= 0 && date->tm_sec <= 59 && date->tm_min >= 0 && date->tm_min <= 59 &&
           date->tm_hour >= 0 && date->tm_hour <= 23 && date->tm_mon >= 0 && date->tm_mon <= 11 &&
           date->tm_mday >= 1 &&
           date->tm_mday <=
               days_in_month[bobbin::is_leap(Year{date->tm_year} + 1900)][date->tm_mon];
}

// The internal consistency check of every converted date.
[[maybe_unused]] bool check_tm(const TM64* date) {
    const int leap = bobbin::is_leap(Year{date->tm_year} + 1900);
    return date->tm_sec >= 0 && date->tm_sec <= 61 && date->tm_min >= 0 && date->tm_min <= 59 &&
           date->tm_hour >= 0 && date->tm_hour <= 23 && date->tm_mon >= 0 && date->tm_mon <= 11 &&
           date->tm_mday >= 1 && date->tm_mday <= days_in_month[leap][date->tm_mon] &&
           date->tm_wday >= 0 && date->tm_wday <= 6 && date->tm_yday >= 0 &&
           date->tm_yday < length_of_year[leap];
}

// The C library's local conversion of time with the zone it holds; false with
// errno = EOVERFLOW when the local year does not fit tm_year.
bool platform_localtime(Time64 time, struct tm* result) {
    const time_t platform_time = time;
    if (localtime_r(&platform_time, result) != nullptr) return true;
    errno = EOVERFLOW;
    return false;
}

// What a thread knows of the zone that TZ names (zero-initialised: unknown).
struct ZoneState {
    bool known;          // the fields below describe TZ as tz_set and tz hold it
    bool tz_set;         // TZ is set, to tz
    char tz[256];        // TZ as last seen; a longer one is never known
    char** environment;  // environ, when TZ was found in it at tz_index
    std::size_t tz_index;
    const char* tz_entry;  // the "TZ=" entry found there
    unsigned generation;   // zone_generation when last seen
    bool rule_string;      // a POSIX rule string with explicit rules: no zone file
    Year rule_window;      // 0 until needed, see rule_year
};

thread_local ZoneState zone_state;

// Bumped when a thread makes the C library load a TZ other than the one it
// last saw, so that every thread looks again, also one whose TZ is back at
// the value it saw.
std::atomic<unsigned> zone_generation{0};

// The value of TZ, as getenv finds it. The environment's functions replace an
// entry's pointer when they change it and move entries when they remove one,
// so an entry still in its place with the same pointer and text is TZ as it
// was; only then is the scan of the environment saved.
// `unchanged` tells that TZ is the value this thread saw last.
const char* find_tz(ZoneState& zone, bool* unchanged) {
    char** const environment = environ;
    *unchanged = zone.known && zone.tz_set && environment == zone.environment &&
                 environment[zone.tz_index] == zone.tz_entry &&
                 std::strcmp(zone.tz_entry + 3, zone.tz) == 0;
    if (*unchanged) return zone.tz_entry + 3;
    for (std::size_t i = 0; environment != nullptr && environment[i] != nullptr; ++i) {
        if (std::strncmp(environment[i], "TZ=", 3) == 0) {
            zone.environment = environment;
            zone.tz_index = i;
            zone.tz_entry = environment[i];
            return environment[i] + 3;
        }
    }
    return nullptr;
}

bool same_tz(const ZoneState& zone, const char* tz) {
    return tz == nullptr ? !zone.tz_set : zone.tz_set && std::strcmp(zone.tz, tz) == 0;
}

// True when the C library reads tz as a POSIX rule string with explicit
// daylight-saving rules ("EST5EDT,M3.2.0,M11.1.0"): one that names no zone
// file. Unset, empty, a zone file and a rule string without rules are not.
bool is_rule_string(const char* tz) {
    if (tz == nullptr) return false;
    if (*tz == ':') ++tz;
    if (std::strchr(tz, ',') == nullptr) return false;
    std::string path = tz;
    if (*tz != '/') {
        const char* directory = std::getenv("TZDIR");
        path = std::string(directory && *directory ? directory : "/usr/share/zoneinfo") + "/" + tz;
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return true;
    char magic[4] = {};
    const bool zone_file = std::fread(magic, 1, 4, file) == 4 && std::memcmp(magic, "TZif", 4) == 0;
    std::fclose(file);
    return !zone_file;
}

// Has the C library reread TZ, as localtime does, when it differs from the
// value that this thread saw last or another thread has loaded a new one
// since (always when reread is set), and returns what is known of the zone.
ZoneState& current_zone(bool reread) {
    ZoneState& zone = zone_state;
    bool unchanged = false;
    const char* tz = find_tz(zone, &unchanged);
    unsigned generation = zone_generation.load(std::memory_order_acquire);
    if (!reread && zone.known && zone.generation == generation &&
        (unchanged || same_tz(zone, tz))) {
        return zone;
    }
    tzset();
    if (!zone.known || !same_tz(zone, tz)) generation = zone_generation.fetch_add(1) + 1;
    zone.tz_set = tz != nullptr;
    const std::size_t length = tz == nullptr ? 0 : std::strlen(tz);
    zone.known = length < sizeof zone.tz;
    if (zone.tz_set && zone.known) std::memcpy(zone.tz, tz, length + 1);
    zone.generation = generation;
    zone.rule_string = is_rule_string(tz);
    zone.rule_window = 0;
    return zone;
}

bool same_offset(const struct tm& a, const struct tm& b) {
    return a.tm_gmtoff == b.tm_gmtoff && a.tm_isdst == b.tm_isdst &&
           std::strcmp(a.tm_zone ? a.tm_zone : "", b.tm_zone ? b.tm_zone : "") == 0;
}

// True when the C library converts year as it converts the same year 400,000
// years later, where only the zone's current rule reaches: the offset is the
// same at each day's start and changes at the same seconds (found by halving).
bool follows_current_rule(Year year) {
    Time64 time = days_before_year(year) * 86400;
    const Time64 end = days_before_year(year + 1) * 86400;
    struct tm here, there;
    if (!platform_localtime(time, &here) ||
        !platform_localtime(time + current_rule_shift, &there) || !same_offset(here, there)) {
        return false;
    }
    for (; time < end; time += 86400) {
        struct tm next, next_there;
        if (!platform_localtime(time + 86400, &next) ||
            !platform_localtime(time + 86400 + current_rule_shift, &next_there) ||
            !same_offset(next, next_there)) {
            return false;
        }
        if (!same_offset(here, next)) {
            Time64 before = time, after = time + 86400;  // the offset changes in (before, after]
            while (after - before > 1) {
                const Time64 middle = before + (after - before) / 2;
                struct tm probe;
                if (!platform_localtime(middle, &probe)) return false;
                (same_offset(probe, here) ? before : after) = middle;
            }
            if (!platform_localtime(before + current_rule_shift, &there) ||
                !same_offset(there, here) ||
                !platform_localtime(after + current_rule_shift, &there) ||
                !same_offset(there, next)) {
                return false;
            }
        }
        here = next;
    }
    return true;
}

// The first of 28 years (2010, 2038 or 2066) that the C library converts with
// the zone's current rule, or -1 when there is none.
Year find_rule_window() {
    for (const Year first : {2010, 2038, 2066}) {
        Year year = first;
        while (year < first + 28 && follows_current_rule(year)) ++year;
        if (year == first + 28) return first;
    }
    return -1;
}

// A year with the calendar of year (weekday of 1 January, leap status, and
// that of the year before) in which the C library applies the zone's rule,
// for a year outside 1971 to 2037: for a rule string its safe year, for a
// zone file a year that the C library converts with the zone's current rule,
// so that the far future goes on as the near future.
Year rule_year(ZoneState& zone, Year year) {
    if (zone.rule_string) return bobbin::safe_year(year);
    if (zone.rule_window == 0) zone.rule_window = find_rule_window();
    if (zone.rule_window > 0) return bobbin::safe_year(year) - 2010 + zone.rule_window;
    return current_rule_year + (year % 400 + 400) % 400;
}

// The local time of time from the same moment of rule_year, moved back.
bool moved_localtime(ZoneState& zone, Time64 time, struct tm* local) {
    TM64 utc;
    if (gmtime64_r(&time, &utc) == nullptr) return false;
    const Year year = Year{utc.tm_year} + 1900;
    const Year moved_year = rule_year(zone, year);
    if (!platform_localtime(time - bobbin::seconds_between_years(year, moved_year), local)) {
        return false;
    }
    const Year local_year = Year{local->tm_year} + (year - moved_year);
    if (!fits_int(local_year)) {
        errno = EOVERFLOW;
        return false;
    }
    local->tm_year = static_cast<int>(local_year);
    return true;
}

// The second whose local time is the wall-clock date *local (fields in range),
// with *local rewritten as the C library converts that second. The offset in
// tm_gmtoff is tried first, then the one found there: that settles a local
// time that occurs once, and picks by tm_gmtoff one that occurs twice. A time
// that does not occur, or whose tm_isdst the zone does not have then, goes to
// mktime. False with errno = EOVERFLOW when no second fits.
bool solve_local(struct tm* local, Time64* result) {
    const Time64 wall = timegm64(local);
    long offset = local->tm_gmtoff > -86400 && local->tm_gmtoff < 86400 ? local->tm_gmtoff : 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        struct tm found;
        if (!platform_localtime(wall - offset, &found)) break;
        if (timegm64(&found) == wall) {
            if (local->tm_isdst >= 0 && (local->tm_isdst > 0) != (found.tm_isdst > 0)) break;
            *result = wall - offset;
            *local = found;
            return true;
        }
        offset = found.tm_gmtoff;
    }
    struct tm copy = *local;
    errno = 0;
    const time_t time = mktime(&copy);
    if (time == -1 && errno != 0) {
        errno = EOVERFLOW;
        return false;
    }
    *result = time;
    *local = copy;
    return true;
}

}  // namespace

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
    const int leap = bobbin::is_leap(year);
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
    const std::int64_t days = days_before_year(year) +
                              julian_days_by_month[bobbin::is_leap(year)][month] +
                              (std::int64_t{date->tm_mday} - 1);
    return days * 86400 + std::int64_t{date->tm_hour} * 3600 + std::int64_t{date->tm_min} * 60 +
           date->tm_sec;
}

TM64* localtime64_r(const Time64* time, TM64* result) {
    assert(result != nullptr);
    if (*time < first_time || *time > last_time) {
        errno = EOVERFLOW;
        return nullptr;
    }
    ZoneState& zone = current_zone(false);
    struct tm local;
    const bool platform_rules = *time < rule_end_time && (!zone.rule_string || *time >= 0);
    if (!(platform_rules ? platform_localtime(*time, &local)
                         : moved_localtime(zone, *time, &local))) {
        return nullptr;
    }
    *result = local;
    assert(check_tm(result));
    return result;
}

Time64 mktime64(TM64* date) {
    // Carry the wall-clock fields into range first, so that every spelling of a
    // local time takes the same path. Seconds outside 0 to 59 are added after
    // the zone is resolved, as mktime adds them. A date that carries past
    // either end of tm_year is carried 400 years nearer, a year of the same
    // calendar under the same rules, as the zone may still bring it back.
    TM64 local = *date;
    local.tm_sec = std::clamp(date->tm_sec, 0, 59);
    const Time64 extra_seconds = Time64{date->tm_sec} - local.tm_sec;
    Year cycles_nearer = 0;
    if (!fields_in_range(&local)) {
        Time64 wall = timegm64(&local);
        if (gmtime64_r(&wall, &local) == nullptr) {
            cycles_nearer = wall < 0 ? 1 : -1;
            wall += cycles_nearer * seconds_in_gregorian_cycle;
            if (gmtime64_r(&wall, &local) == nullptr) return -1;  // errno is EOVERFLOW
        }
        local.tm_isdst = date->tm_isdst;
    }

    // Solve in the year itself where the C library applies the zone's rules,
    // else in a year of the same calendar where it does, and move back.
    ZoneState& zone = current_zone(false);
    const Year solved_year = Year{local.tm_year} + 1900;
    const Year year = solved_year - cycles_nearer * years_in_gregorian_cycle;
    const bool platform_rules = year < rule_end_year && (!zone.rule_string || year > 1970);
    if (!platform_rules) local.tm_year = static_cast<int>(rule_year(zone, year) - 1900);
    const Year moved_year = platform_rules ? solved_year : Year{local.tm_year} + 1900;
    Time64 result;
    if (!solve_local(&local, &result)) return -1;
    result += bobbin::seconds_between_years(year, moved_year) + extra_seconds;
    const Year local_year = Year{local.tm_year} + (year - moved_year);
    if (!fits_int(local_year) || result < first_time || result > last_time) {
        errno = EOVERFLOW;  // a local date near either end whose UTC year does not fit
        return -1;
    }
    local.tm_year = static_cast<int>(local_year);
    if (extra_seconds != 0 && localtime64_r(&result, &local) == nullptr) return -1;
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
    current_zone(true);
    return localtime64_r(time, &Static_Return_Date);
}

char* asctime64(const TM64* date) {
    return asctime64_r(date, Static_Return_String);
}

char* ctime64(const Time64* time) {
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
    current_zone(false);  // localtime_r alone would keep a zone read earlier
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

// Placeholders until the zone reader lands: every zone is refused.
Zone64* bobbin::detail::ZoneFromFileImage(const unsigned char*, std::size_t) {
    errno = EINVAL;
    return nullptr;
}

Zone64* bobbin::detail::ZoneFromRule(const char*) {
    errno = EINVAL;
    return nullptr;
}

Zone64* tzalloc64(const char*) {
    errno = EINVAL;
    return nullptr;
}

void tzfree64(Zone64*) {}

TM64* localtime64_rz(const Zone64*, const Time64* time, TM64* result) {
    return localtime64_r(time, result);
}

Time64 mktime64_z(const Zone64*, TM64* date) {
    return mktime64(date);
}
