// A zone built from a rule, and the lookups in one zone: the type that holds at
// a second, from the zone's transitions or its rule, and the inverse, from
// local dates to their candidate seconds, then mktime's choice among them.
#include "bobbin/time/internal/zone.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "bobbin/time/internal/calendar.h"
#include "bobbin/time/internal/range.h"

namespace bobbin::detail {

namespace {

// Beyond these distances from a local date no offset of a zone reaches.
constexpr Time64 kBeforeSpan = 26 * 3600;
constexpr Time64 kAfterSpan = 25 * 3600;

// How far from a local date mktime looks for an offset with the requested
// tm_isdst when the date has the other one.
constexpr Time64 kDstSearchSpan = 229046400;  // 2651 days

// How many of the count ascending times at times are at or before time: a
// binary search without branches on the data.
std::size_t CountAtOrBefore(const Time64* times, std::size_t count, Time64 time) {
    if (count == 0) return 0;
    const Time64* base = times;
    while (count > 1) {
        const std::size_t half = count / 2;
        base = base[half] <= time ? base + half : base;
        count -= half;
    }
    return static_cast<std::size_t>(base - times) + (*base <= time ? 1 : 0);
}

// True when time follows the zone's rule rather than its transitions.
bool InRule(const Zone64& zone, Time64 time) {
    return zone.has_rule &&
           (zone.rule_transition == 0 || time > zone.transitions[zone.rule_transition - 1]);
}

// The index of the last transition at or before time; -1 before the first.
std::ptrdiff_t TransitionIndex(const Zone64& zone, Time64 time) {
    return static_cast<std::ptrdiff_t>(
               CountAtOrBefore(zone.transitions.data(), zone.rule_transition, time)) -
           1;
}

// The type from transition index on; the initial type before the first (-1).
const LocalType& TypeFrom(const Zone64& zone, std::ptrdiff_t index) {
    return zone.types[index < 0 ? zone.initial_type
                                : zone.transition_types[static_cast<std::size_t>(index)]];
}

const LocalType& TypeAt(const Zone64& zone, Time64 time) {
    if (InRule(zone, time)) return zone.rule.TypeAt(time);
    return TypeFrom(zone, TransitionIndex(zone, time));
}

// The leap-second correction at time, and whether time is an inserted leap
// second itself. A first record whose correction is not one second is where
// a file's data was cut (RFC 8536): its correction holds before it too.
std::int64_t LeapCorrection(const Zone64& zone, Time64 time, bool* inserted) {
    *inserted = false;
    const std::vector<LeapSecond>& leaps = zone.leap_seconds;
    const auto next =
        std::upper_bound(leaps.begin(), leaps.end(), time,
                         [](Time64 value, const LeapSecond& l) { return value < l.occurrence; });
    const std::int64_t first = leaps.empty() ? 0 : leaps.front().correction;
    const std::int64_t leading = first == 1 || first == -1 ? 0 : first;
    if (next == leaps.begin()) return leading;
    const LeapSecond& last = next[-1];
    const std::int64_t before = next - 1 == leaps.begin() ? leading : next[-2].correction;
    *inserted = last.occurrence == time && last.correction > before;
    return last.correction;
}

// The wall-clock seconds (as UTC) of time in zone, its type, and whether it
// is an inserted leap second (then the wall clock reads 60 seconds in the
// minute before the one returned).
Time64 WallOf(const Zone64& zone, Time64 time, const LocalType** type, bool* inserted) {
    *type = &TypeAt(zone, time);
    *inserted = false;
    const std::int64_t correction =
        zone.leap_seconds.empty() ? 0 : LeapCorrection(zone, time, inserted);
    return time - correction + (*inserted ? 1 : 0) + (*type)->offset;
}

// A second whose wall clock reads wall with offset, the leap-second
// correction found by steps; false when there is none.
bool SolveWithOffset(const Zone64& zone, Time64 wall, std::int32_t offset, Time64* time,
                     const LocalType** type) {
    Time64 candidate = wall - offset;
    for (int attempt = 0; attempt < 3; ++attempt) {
        bool inserted;
        const Time64 found = WallOf(zone, candidate, type, &inserted);
        if (found == wall && !inserted && (*type)->offset == offset) {
            *time = candidate;
            return true;
        }
        // A leap second reads :60 of the minute before wall; wall is next.
        const Time64 step = found == wall ? 1 : wall - (found - (*type)->offset + offset);
        if (step == 0) return false;
        candidate += step;
    }
    return false;
}

// The second at which a clock with offset reads wall, on the zone's count of
// seconds (leap seconds included).
Time64 AtOffset(const Zone64& zone, Time64 wall, std::int32_t offset) {
    const Time64 time = wall - offset;
    if (zone.leap_seconds.empty()) return time;
    bool inserted = false;
    const std::int64_t correction = LeapCorrection(zone, time, &inserted);
    return time + LeapCorrection(zone, time + correction, &inserted);
}

// The offset nearest to time, within kDstSearchSpan, of a type whose is_dst
// is dst; false when there is none.
bool NearestOffsetWithDst(const Zone64& zone, Time64 time, bool dst, std::int32_t* offset) {
    // All transitions, also those that the rule makes itself.
    const std::vector<Time64>& transitions = zone.transitions;
    if (zone.has_rule && (transitions.empty() || time - kDstSearchSpan > transitions.back())) {
        const LocalType& type = zone.rule.types[dst ? 1 : 0];
        *offset = type.offset;
        return type.is_dst == dst;
    }
    const std::ptrdiff_t here =
        std::upper_bound(transitions.begin(), transitions.end(), time) - transitions.begin() - 1;
    Time64 best = kDstSearchSpan + 1;
    auto type_of = [&](std::ptrdiff_t index) -> const LocalType& { return TypeFrom(zone, index); };
    // Back: the interval from transition index on ends at the next transition.
    for (std::ptrdiff_t index = here; index >= -1; --index) {
        const Time64 end = index == here ? time : transitions[static_cast<std::size_t>(index + 1)];
        if (time - end >= best) break;
        if (type_of(index).is_dst == dst) {
            best = time - end;
            *offset = type_of(index).offset;
            break;
        }
    }
    // Forward: transitions after time, then the rule.
    const auto count = static_cast<std::ptrdiff_t>(transitions.size());
    for (std::ptrdiff_t index = here + 1; index < count; ++index) {
        const Time64 start = transitions[static_cast<std::size_t>(index)];
        if (start - time >= best) break;
        if (type_of(index).is_dst == dst) {
            best = start - time;
            *offset = type_of(index).offset;
            break;
        }
    }
    if (best > kDstSearchSpan && zone.has_rule && !zone.rule.changes.empty() &&
        (transitions.empty() || time + kDstSearchSpan > transitions.back())) {
        best = 0;
        *offset = zone.rule.types[dst ? 1 : 0].offset;
    }
    return best <= kDstSearchSpan;
}

// The first second after time at which the zone's type may change (a
// transition, the rule taking over, a change of the rule); kNoChange if none.
Time64 NextChange(const Zone64& zone, Time64 time) {
    if (!InRule(zone, time)) {
        const auto next = static_cast<std::size_t>(TransitionIndex(zone, time) + 1);
        if (next < zone.rule_transition) return zone.transitions[next];
        return zone.has_rule ? zone.transitions[next - 1] + 1 : kNoChange;
    }
    return zone.rule.NextChange(time);
}

// The seconds whose wall clock reads wall (all fields carried into range) in
// zone, each with its type, and the types around a gap over wall.
struct Candidates {
    static constexpr int kMax = 12;  // distinct seconds kept
    Time64 times[kMax];
    const LocalType* types[kMax];
    int count = 0;
    bool one_type = false;  // a single type holds around wall, without leap seconds
    const LocalType* gap_before = nullptr;
    const LocalType* gap_after = nullptr;
    Time64 gap_at = 0;
};

Candidates FindCandidates(const Zone64& zone, Time64 wall) {
    // The types that hold from wall - kBeforeSpan to wall + kAfterSpan, the
    // only seconds whose clock can read wall, each from its change on.
    Candidates found;
    Time64 from = wall - kBeforeSpan;
    const LocalType* type = &TypeAt(zone, from);
    Time64 next = NextChange(zone, from);
    found.one_type = next > wall + kAfterSpan && zone.leap_seconds.empty();
    // Every span of the window is visited, however many changes a file puts
    // there (a 256 KiB file holds fewer than kMaxSteps).
    constexpr int kMaxSteps = 1 << 16;
    for (int step = 0; step < kMaxSteps; ++step) {
        Time64 time = wall - type->offset;
        const LocalType* solved = type;
        if (found.count < Candidates::kMax &&
            (zone.leap_seconds.empty()
                 ? time >= from && time < next
                 : SolveWithOffset(zone, wall, type->offset, &time, &solved)) &&
            std::find(found.times, found.times + found.count, time) == found.times + found.count) {
            found.times[found.count] = time;
            found.types[found.count++] = solved;
        }
        if (next > wall + kAfterSpan) break;
        const LocalType* after = &TypeAt(zone, next);
        if (next + type->offset <= wall && wall < next + after->offset) {
            found.gap_before = type;
            found.gap_after = after;
            found.gap_at = next;
        }
        from = next;
        type = after;
        next = NextChange(zone, from);
    }
    return found;
}

// The second that mktime takes for wall among found: one told apart by isdst
// and then by gmtoff (else the earlier); for a wall clock that does not occur,
// or not with the isdst asked for, one an hour or an offset change away.
Time64 Choose(const Zone64& zone, Time64 wall, const Candidates& found, int isdst, long gmtoff) {
    int best = -1;
    for (int i = 0; i < found.count; ++i) {
        if (isdst >= 0 && found.types[i]->is_dst != (isdst > 0)) continue;
        if (best < 0 || found.types[i]->offset == gmtoff ||
            (found.types[best]->offset != gmtoff && found.times[i] < found.times[best])) {
            best = i;
        }
    }
    if (best >= 0) return found.times[best];
    const LocalType* before = found.gap_before;
    const LocalType* after = found.gap_after;
    if (found.count == 0 && before != nullptr) {
        // In a gap: with isdst -1 the offset before it; else the side with the
        // requested isdst, and when both have it (as mktime's first guess) the
        // side that holds at wall taken as UTC.
        const bool before_fits = isdst < 0 || before->is_dst == (isdst > 0);
        const bool after_fits = isdst >= 0 && after->is_dst == (isdst > 0);
        if (before_fits || after_fits) {
            const bool take_after = !before_fits || (after_fits && wall >= found.gap_at);
            return AtOffset(zone, wall, (take_after ? after : before)->offset);
        }
    }
    // The date has the other isdst: the offset of a near time that has it.
    const LocalType* near = found.count > 0 ? found.types[0]
                            : before        ? before
                                            : &TypeAt(zone, wall);
    const Time64 time = found.count > 0 ? found.times[0] : AtOffset(zone, wall, near->offset);
    std::int32_t offset = 0;
    if (NearestOffsetWithDst(zone, time, isdst > 0, &offset)) return AtOffset(zone, wall, offset);
    return AtOffset(zone, wall, near->offset + (isdst > 0 ? 3600 : -3600));
}

// The second of wall in zone as mktime resolves it; *onlyType is the type of
// the result when it is the one type that holds around wall (else null).
Time64 Resolve(const Zone64& zone, Time64 wall, const TM64& date, const LocalType** onlyType) {
    const Candidates found = FindCandidates(zone, wall);
    const bool isdst_fits =
        date.tm_isdst < 0 || (found.count > 0 && found.types[0]->is_dst == (date.tm_isdst > 0));
    *onlyType = found.one_type && found.count == 1 && isdst_fits ? found.types[0] : nullptr;
    return Choose(zone, wall, found, date.tm_isdst, date.tm_gmtoff);
}

}  // namespace

std::unique_ptr<Zone64> UtcZone(const std::string& name) {
    return ZoneOfRule(Rule{name, 0, "", 0, false, {}, {}}, nullptr);
}

std::unique_ptr<Zone64> ZoneOfRule(const Rule& rule, const Zone64* posixrules) {
    auto zone = std::make_unique<Zone64>();
    zone->SetRule(rule);
    if (rule.has_dates || rule.daylight_name.empty() || posixrules == nullptr) return zone;
    // posixrules' changes between standard and daylight-saving time, moved as
    // the C library moves them: a change to daylight-saving time by the
    // difference of the standard offsets, one to standard time by the rule's
    // daylight-saving offset; after its last change, the default dates.
    zone->types.assign(zone->rule.types, zone->rule.types + 2);
    std::int32_t standard_offset = posixrules->types[posixrules->initial_type].offset;
    bool dst = false;
    for (std::size_t i = 0; i < posixrules->transitions.size(); ++i) {
        const LocalType& type = posixrules->types[posixrules->transition_types[i]];
        if (type.is_dst != dst) {
            const Time64 time = posixrules->transitions[i];
            zone->transitions.push_back(type.is_dst ? time + rule.standard_offset - standard_offset
                                                    : time + rule.daylight_offset);
            zone->transition_types.push_back(type.is_dst ? 1 : 0);
            dst = type.is_dst;
        }
        if (!type.is_dst) standard_offset = type.offset;
    }
    zone->rule_transition = zone->transitions.size();
    zone->DropTransitionsOfRule();
    return zone;
}

int LocalTimeIn(const Zone64& zone, Time64 time, TM64* result) {
    const LocalType* type;
    bool inserted;
    const Time64 wall = WallOf(zone, time, &type, &inserted);
    Year year;
    if (const int error = SplitTime(wall - (inserted ? 1 : 0), result, &year)) return error;
    result->tm_sec += inserted ? 1 : 0;  // 23:59:60
    result->tm_isdst = type->is_dst ? 1 : 0;
    result->tm_gmtoff = type->offset;
    result->tm_zone = zone.names.c_str() + type->name;
    return 0;
}

int MakeTimeIn(const Zone64& zone, TM64* date, Time64* result) {
    // Seconds outside 0 to 59 are added after the zone is resolved, as
    // mktime adds them; the other fields are carried into range first, so
    // that every spelling of a wall-clock time takes the same path.
    TM64 local = *date;
    local.tm_sec = std::clamp(date->tm_sec, 0, 59);
    const Time64 extra_seconds = Time64{date->tm_sec} - local.tm_sec;
    const Time64 wall = timegm64(&local);
    const LocalType* only_type;
    Time64 time = Resolve(zone, wall, *date, &only_type) + extra_seconds;
    if (date->tm_sec == 60 && !zone.leap_seconds.empty()) {
        // A leap second where :59 of its minute does not occur (a transition
        // at it): the second before the next minute, when it reads :60.
        const Time64 leap = Resolve(zone, wall + 1, *date, &only_type) - 1;
        bool inserted = false;
        LeapCorrection(zone, leap, &inserted);
        if (inserted && !(LeapCorrection(zone, time, &inserted), inserted)) time = leap;
        only_type = nullptr;
    }
    if (time < kFirstTime || time > kLastTime) return EOVERFLOW;
    if (only_type != nullptr && extra_seconds == 0) {  // the wall clock is the date
        Year year;
        if (const int error = SplitTime(wall, &local, &year)) return error;
        local.tm_isdst = only_type->is_dst ? 1 : 0;
        local.tm_gmtoff = only_type->offset;
        local.tm_zone = zone.names.c_str() + only_type->name;
    } else if (const int error = LocalTimeIn(zone, time, &local)) {
        return error;
    }
    *date = local;
    *result = time;
    return 0;
}

}  // namespace bobbin::detail

using bobbin::detail::LocalType;

void Zone64::SetRule(const bobbin::detail::Rule& footer) {
    rule.Make(footer, &names);
    has_rule = true;
}

void Zone64::DropTransitionsOfRule() {
    if (!has_rule || rule.changes.empty()) return;
    auto type_of = [this](std::size_t index) -> const LocalType& {
        return types[transition_types[index]];
    };
    auto same = [this](const LocalType& a, const LocalType& b) {
        return a.offset == b.offset && a.is_dst == b.is_dst &&
               std::strcmp(names.c_str() + a.name, names.c_str() + b.name) == 0;
    };
    std::size_t kept = transitions.size();
    while (kept > 1) {
        const std::size_t last = kept - 1;
        const Time64 time = transitions[last];
        // The rule must hold the same types on both sides and change at the
        // transition, or nowhere up to it when the transition keeps the type.
        const Time64 next = rule.NextChange(transitions[last - 1]);
        if (!same(rule.TypeAt(time), type_of(last)) ||
            !same(rule.TypeAt(time - 1), type_of(last - 1)) ||
            (same(type_of(last), type_of(last - 1)) ? next <= time : next != time)) {
            break;
        }
        kept = last;
    }
    rule_transition = kept;
}

bool Zone64::operator==(const Zone64& other) const {
    return transitions == other.transitions && transition_types == other.transition_types &&
           types == other.types && initial_type == other.initial_type &&
           leap_seconds == other.leap_seconds && rule_transition == other.rule_transition &&
           has_rule == other.has_rule && rule == other.rule && names == other.names;
}
