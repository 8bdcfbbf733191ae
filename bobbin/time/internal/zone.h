// Internal, not installed: the time module's zones, as the zone readers build
// them and the local conversions use them; shared by its sources, its tests
// and its fuzz target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bobbin/time/time64.h"

namespace bobbin::detail {

// A local time type: the offset east of UTC, whether it is daylight-saving
// time, and its abbreviation (an index into Zone64::names).
struct LocalType {
    std::int32_t offset;
    bool is_dst;
    std::uint32_t name;
};

// A leap second record: from occurrence on, UTC lags the count by correction.
struct LeapSecond {
    Time64 occurrence;
    std::int64_t correction;
};

// A rule date: Jn (day 1 to 365, 29 February never counted), n (day 0 to 365)
// or Mm.w.d (day d of week w of month m, week 5 the last), and the local time
// of day of the change, in seconds (-167 h to 167 h).
struct RuleDate {
    enum Kind : unsigned char { kJulian, kZeroBasedDay, kMonthWeekDay } kind;
    int month;
    int week;
    int day;
    std::int32_t time;
};

// A POSIX TZ rule: standard time, and optionally daylight-saving time with the
// dates that start and end it.
struct Rule {
    std::string standard_name;
    std::int32_t standard_offset;  // east of UTC
    std::string daylight_name;     // empty: no daylight-saving time
    std::int32_t daylight_offset;
    bool has_dates;  // start and end were given
    RuleDate start;
    RuleDate end;
};

// A change of a rule's local time type at a UTC second: type 0 standard, 1
// daylight-saving time.
struct RuleChange {
    Time64 at;
    std::uint8_t type;
};

// The start of the 400-year cycle that a zone's rule changes are listed for.
inline constexpr Time64 kRuleCycleStart = 946684800;  // 2000-01-01 00:00:00 UTC

// Parses a POSIX TZ rule at text into *rule. Returns the end of the rule
// (the first character after it), or null when text does not start with a
// valid rule. Daylight-saving time without dates has has_dates false.
const char* ParseRule(const char* text, Rule* rule);

// Adds rule to *zone as the rule after its last transition (abbreviations
// appended to its names). Throws std::bad_alloc when out of memory.
void InstallRule(Zone64* zone, const Rule& rule);

// The changes of a rule with daylight-saving dates, from shortly before
// kRuleCycleStart to shortly after one cycle later, ascending.
std::vector<RuleChange> RuleChanges(const Rule& rule);

// The zone of a zone file image (RFC 8536, versions 1 to 4) of size bytes at
// data, or null with errno = EINVAL when the image is malformed (ENOMEM when
// out of memory). Reads no byte outside [data, data + size). Free the zone
// with tzfree64.
Zone64* ZoneFromFileImage(const unsigned char* data, std::size_t size);

// The zone of a POSIX TZ rule string (std offset [dst [offset]
// [,start[/time],end[/time]]], nothing after it), or null with errno =
// EINVAL when rule is not one. Daylight-saving time without dates follows
// the dates of the default rule, "M3.2.0,M11.1.0". Free the zone with
// tzfree64.
Zone64* ZoneFromRule(const char* rule);

// The zone of the zone file at path, or null with errno set: EINVAL when it
// is not a regular file or is malformed, else the error of opening or
// reading it. Reads at most kMaxZoneFileSize bytes.
Zone64* ZoneFromFile(const char* path);

// Larger files are malformed: zone files take a few kilobytes.
inline constexpr std::size_t kMaxZoneFileSize = 256 * 1024;

// Drops the last transitions of a zone file that its rule makes itself, so
// that the times after them take the rule's quick lookup.
void DropTransitionsOfRule(Zone64* zone);

// The local time of time in zone into *result (tm_zone points into zone).
// False with errno = EOVERFLOW when the local year does not fit tm_year.
bool ZoneLocalTime(const Zone64& zone, Time64 time, TM64* result);

// The second of the local date *date in zone, as mktime64 resolves it, with
// *date normalised; false with errno = EOVERFLOW (*date untouched) when the
// date or its second lies outside the years that tm_year holds.
bool ZoneMakeTime(const Zone64& zone, TM64* date, Time64* result);

// The zone that TZ names now, read once per process (a TZ value that names
// no zone: UTC, as the C library falls back); null with errno = ENOMEM when
// a new value's zone could not be read for want of memory.
const Zone64* CurrentZone();

}  // namespace bobbin::detail

// A zone, unchanged once made.
struct Zone64 {
    // Transitions, ascending, and the type that each starts; types[0] holds
    // before the first.
    std::vector<Time64> transitions;
    std::vector<std::uint8_t> transition_types;
    std::vector<bobbin::detail::LocalType> types;
    std::vector<bobbin::detail::LeapSecond> leap_seconds;  // ascending

    // The number of transitions that are looked up; the rule makes the
    // others itself (they stay listed for mktime's search of a near type).
    std::size_t rule_transition = 0;

    // Times after transition rule_transition - 1 (all times when it is 0)
    // follow the rule, when has_rule: rule_types[0] standard time, rule_types[1]
    // daylight-saving time, whose changes in one 400-year cycle are listed.
    bool has_rule = false;
    bobbin::detail::LocalType rule_types[2] = {};
    std::vector<bobbin::detail::RuleChange> rule_changes;

    std::string names;  // abbreviations, each ended by a null character
};
