// Internal, not installed: POSIX TZ rule strings, and a rule's table of
// changes between standard and daylight-saving time; used by the zone builder,
// the zone-file reader (a file's footer), the time module's tests and its fuzz
// target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bobbin/time/time64.h"

namespace bobbin::detail {

// A local time type: the offset east of UTC, whether it is daylight-saving
// time, and its abbreviation (an index into the zone's names).
struct LocalType {
    std::int32_t offset;
    bool is_dst;
    std::uint32_t name;
    bool operator==(const LocalType& other) const {
        return offset == other.offset && is_dst == other.is_dst && name == other.name;
    }
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
    bool has_dates;  // a start was given (the end may be the default one)
    RuleDate start;
    RuleDate end;
};

// Parses a POSIX TZ rule at text into *rule. Returns the end of the rule (the
// first character after it), or null when text does not start with a valid
// rule. Daylight-saving time with a start and no end (nothing, or an empty
// field, after the start) ends on the default date, the first Sunday in
// November at 02:00; a lone ',' after it gives no dates (has_dates false).
// Dates that do not parse leave standard time only.
const char* ParseRule(const char* text, Rule* rule);

// A rule's local time type from a UTC second on: type 0 standard, 1
// daylight-saving time.
struct RuleChange {
    Time64 at;
    std::uint8_t type;
    bool operator==(const RuleChange& other) const { return at == other.at && type == other.type; }
};

// The no-change answer of RuleTable::NextChange and of the zone lookups.
inline constexpr Time64 kNoChange = INT64_MAX;

// A rule as a zone applies it: its two types and, with daylight-saving time,
// its changes over one 400-year cycle (starting 2000-01-01 00:00:00 UTC, with a
// margin of years on both sides), which every other cycle repeats.
struct RuleTable {
    LocalType types[2] = {};          // standard, daylight-saving time
    std::vector<RuleChange> changes;  // empty: standard time at every second

    // Fills the table for rule, appending its abbreviations to *names (each
    // ended by a null character). Throws std::bad_alloc.
    void Make(const Rule& rule, std::string* names);
    const LocalType& TypeAt(Time64 time) const;
    // The first change of type after time (looked for within a year), or kNoChange.
    Time64 NextChange(Time64 time) const;
    bool operator==(const RuleTable& other) const {
        return types[0] == other.types[0] && types[1] == other.types[1] && changes == other.changes;
    }
};

}  // namespace bobbin::detail
