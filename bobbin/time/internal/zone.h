// Internal, not installed: a zone as the readers build it, and the lookups in
// one zone that the local conversions make: a second to its local date, a
// local date to its second as mktime resolves it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bobbin/time/internal/rule.h"
#include "bobbin/time/time64.h"

namespace bobbin::detail {

// A leap second record: from occurrence on, UTC lags the count by correction.
struct LeapSecond {
    Time64 occurrence;
    std::int64_t correction;
    bool operator==(const LeapSecond& other) const {
        return occurrence == other.occurrence && correction == other.correction;
    }
};

// The zone of rule: its standard and daylight-saving time. Daylight-saving
// time without dates follows, as in the C library, the changes of posixrules
// (when not null) moved onto the rule's offsets, then the default dates.
// Throws std::bad_alloc.
std::unique_ptr<Zone64> ZoneOfRule(const Rule& rule, const Zone64* posixrules);

// UTC under the abbreviation name. Throws std::bad_alloc.
std::unique_ptr<Zone64> UtcZone(const std::string& name);

// The local date of time in zone into *result (tm_zone points into zone):
// 0, or EOVERFLOW when the local year does not fit tm_year (*result is then
// not written).
int LocalTimeIn(const Zone64& zone, Time64 time, TM64* result);

// The second of the local date *date in zone, as mktime64 resolves it, with
// *date normalised: 0, or EOVERFLOW (*date untouched) when the date or its
// second lies outside the years that tm_year holds.
int MakeTimeIn(const Zone64& zone, TM64* date, Time64* result);

}  // namespace bobbin::detail

// A zone, unchanged once made.
struct Zone64 {
    // Transitions, ascending, and the type that each starts; initial_type
    // holds before the first (the first standard type, as the C library
    // takes it).
    std::vector<Time64> transitions;
    std::vector<std::uint8_t> transition_types;
    std::vector<bobbin::detail::LocalType> types;
    std::uint8_t initial_type = 0;
    std::vector<bobbin::detail::LeapSecond> leap_seconds;  // ascending

    // The number of transitions that are looked up; the rule makes the
    // others itself (they stay listed for mktime's search of a near type).
    std::size_t rule_transition = 0;

    // Times after transition rule_transition - 1 (all times when it is 0)
    // follow the rule, when has_rule.
    bool has_rule = false;
    bobbin::detail::RuleTable rule;

    std::string names;  // abbreviations, each ended by a null character

    // Sets the rule that follows the last transition, appending its names.
    // Throws std::bad_alloc.
    void SetRule(const bobbin::detail::Rule& footer);
    // Drops the last transitions that the rule makes itself, so that the
    // times after them take the rule's quick lookup.
    void DropTransitionsOfRule();

    bool operator==(const Zone64& other) const;
};
