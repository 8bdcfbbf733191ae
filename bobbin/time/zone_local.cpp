// Local time in a zone: the type that holds at a second, from the zone's
// transitions or its rule, and the inverse, from local dates to seconds.
#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "bobbin/time/internal/calendar.h"
#include "bobbin/time/internal/range.h"
#include "bobbin/time/internal/zone.h"

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

// The index of the last rule change at or before time shifted by *cycles
// 400-year cycles into the listed one. The list is not empty.
std::size_t RuleChangeIndex(const Zone64& zone, Time64 time, Time64* cycles) {
    const std::vector<RuleChange>& changes = zone.rule_changes;
    const bool in_cycle = static_cast<std::uint64_t>(time - kRuleCycleStart) <
                          static_cast<std::uint64_t>(kSecondsInGregorianCycle);
    *cycles = in_cycle ? 0 : FloorDiv(time - kRuleCycleStart, kSecondsInGregorianCycle);
    const Time64 within = time - *cycles * kSecondsInGregorianCycle;
    // within lies in listed year k or k + 1 (k counted in mean years): from
    // the first entry of year k - 1, the entries up to year k + 1's are
    // counted without branches.
    constexpr Time64 kMeanYear = kSecondsInGregorianCycle / kYearsInGregorianCycle;
    const auto year = static_cast<std::size_t>((within - kRuleCycleStart) / kMeanYear) +
                      static_cast<std::size_t>(2000 - kRuleFirstYear);
    const std::size_t first = kRuleChangesPerYear * (year - 1);
    constexpr std::size_t kCounted = 3 * kRuleChangesPerYear;
    assert(changes[first].at <= within && changes[first + kCounted].at > within);
    std::size_t index = first;
    for (std::size_t next = first + 1; next < first + kCounted; ++next) {
        index += changes[next].at <= within ? 1 : 0;
    }
    return index;
}

const LocalType& RuleTypeAt(const Zone64& zone, Time64 time) {
    if (zone.rule_changes.empty()) return zone.rule_types[0];
    Time64 cycles;
    return zone.rule_types[zone.rule_changes[RuleChangeIndex(zone, time, &cycles)].type];
}

// The first change of the rule's type after time, looked for within a year
// (the list is not empty); kNoChange when there is none.
constexpr Time64 kNoChange = INT64_MAX;
Time64 NextRuleChange(const Zone64& zone, Time64 time) {
    Time64 cycles;
    std::size_t index = RuleChangeIndex(zone, time, &cycles);
    const std::uint8_t type = zone.rule_changes[index].type;
    for (const std::size_t last = index + kRuleChangesPerYear + 1; index < last; ++index) {
        const RuleChange& change = zone.rule_changes[index + 1];
        if (change.type != type) return change.at + cycles * kSecondsInGregorianCycle;
    }
    return kNoChange;
}

bool SameType(const Zone64& zone, const LocalType& a, const LocalType& b) {
    return a.offset == b.offset && a.is_dst == b.is_dst &&
           std::strcmp(zone.names.c_str() + a.name, zone.names.c_str() + b.name) == 0;
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

const LocalType& TypeAt(const Zone64& zone, Time64 time) {
    if (InRule(zone, time)) return RuleTypeAt(zone, time);
    if (zone.rule_transition == 0 || time < zone.transitions.front()) return zone.types[0];
    const std::ptrdiff_t index = TransitionIndex(zone, time);
    return zone.types[index < 0 ? 0 : zone.transition_types[static_cast<std::size_t>(index)]];
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
        const LocalType& type = zone.rule_types[dst ? 1 : 0];
        *offset = type.offset;
        return type.is_dst == dst;
    }
    const std::ptrdiff_t here =
        std::upper_bound(transitions.begin(), transitions.end(), time) - transitions.begin() - 1;
    Time64 best = kDstSearchSpan + 1;
    auto type_of = [&](std::ptrdiff_t index) -> const LocalType& {
        return zone.types[index < 0 ? 0 : zone.transition_types[static_cast<std::size_t>(index)]];
    };
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
    if (best > kDstSearchSpan && zone.has_rule && !zone.rule_changes.empty() &&
        (transitions.empty() || time + kDstSearchSpan > transitions.back())) {
        best = 0;
        *offset = zone.rule_types[dst ? 1 : 0].offset;
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
    return zone.rule_changes.empty() ? kNoChange : NextRuleChange(zone, time);
}

// The second of the wall-clock seconds wall (all fields carried into range)
// in zone: one where the clock reads wall, told apart by isdst and then by
// gmtoff when it reads wall twice; else, as mktime resolves a date that does
// not occur or has the other isdst, one an hour or an offset change away.
Time64 SolveLocal(const Zone64& zone, Time64 wall, int isdst, long gmtoff,
                  const LocalType** onlyType) {
    // The types that hold from wall - kBeforeSpan to wall + kAfterSpan, the
    // only seconds whose clock can read wall, each from its change on.
    constexpr int kMaxSpans = 12;  // solutions kept
    *onlyType = nullptr;
    Time64 from = wall - kBeforeSpan;
    const LocalType* type = &TypeAt(zone, from);
    Time64 next = NextChange(zone, from);
    if (next > wall + kAfterSpan && zone.leap_seconds.empty() &&
        (isdst < 0 || type->is_dst == (isdst > 0))) {
        *onlyType = type;
        return wall - type->offset;
    }
    Time64 solutions[kMaxSpans];
    const LocalType* types[kMaxSpans];
    int count = 0;
    const LocalType* gap_before = nullptr;  // the types around a gap over wall
    const LocalType* gap_after = nullptr;
    Time64 gap_at = 0;
    // Every span of the window is visited, however many changes a file puts
    // there (a 256 KiB file holds fewer than kMaxSteps); at most kMaxSpans
    // distinct solutions are kept.
    constexpr int kMaxSteps = 1 << 16;
    for (int step = 0; step < kMaxSteps; ++step) {
        Time64 time = wall - type->offset;
        const LocalType* found = type;
        if (count < kMaxSpans && (zone.leap_seconds.empty()
                                      ? time >= from && time < next
                                      : SolveWithOffset(zone, wall, type->offset, &time, &found))) {
            if (std::find(solutions, solutions + count, time) == solutions + count) {
                solutions[count] = time;
                types[count++] = found;
            }
        }
        if (next > wall + kAfterSpan) break;
        const LocalType* after = &TypeAt(zone, next);
        if (next + type->offset <= wall && wall < next + after->offset) {
            gap_before = type;
            gap_after = after;
            gap_at = next;
        }
        from = next;
        type = after;
        next = NextChange(zone, from);
    }
    int best = -1;
    for (int i = 0; i < count; ++i) {
        if (isdst >= 0 && types[i]->is_dst != (isdst > 0)) continue;
        if (best < 0 || types[i]->offset == gmtoff ||
            (types[best]->offset != gmtoff && solutions[i] < solutions[best])) {
            best = i;
        }
    }
    if (best >= 0) return solutions[best];
    const LocalType* near = count > 0 ? types[0] : gap_before ? gap_before : &TypeAt(zone, wall);
    if (count == 0 && gap_before != nullptr) {
        // In a gap: the offset of the side with the requested isdst; when
        // both have it, the standard time's, else (as mktime's first guess)
        // the side that holds at wall taken as UTC.
        const bool before_fits = isdst < 0 || gap_before->is_dst == (isdst > 0);
        const bool after_fits = isdst < 0 || gap_after->is_dst == (isdst > 0);
        if (before_fits || after_fits) {
            const bool after = !before_fits                              ? true
                               : !after_fits                             ? false
                               : gap_before->is_dst != gap_after->is_dst ? !gap_after->is_dst
                                                                         : wall >= gap_at;
            return AtOffset(zone, wall, (after ? gap_after : gap_before)->offset);
        }
    }
    // The date has the other isdst: the offset of a near time that has it.
    const Time64 time = count > 0 ? solutions[0] : AtOffset(zone, wall, near->offset);
    std::int32_t offset = 0;
    if (NearestOffsetWithDst(zone, time, isdst > 0, &offset)) return AtOffset(zone, wall, offset);
    return AtOffset(zone, wall, near->offset + (isdst > 0 ? 3600 : -3600));
}

}  // namespace

void DropTransitionsOfRule(Zone64* zone) {
    if (!zone->has_rule || zone->rule_changes.empty()) return;
    std::vector<Time64>& transitions = zone->transitions;
    auto type_of = [zone](std::size_t index) -> const LocalType& {
        return zone->types[zone->transition_types[index]];
    };
    std::size_t kept = transitions.size();
    while (kept > 1) {
        const std::size_t last = kept - 1;
        const Time64 time = transitions[last];
        // The rule must hold the same types on both sides and change at the
        // transition, or nowhere up to it when the transition keeps the type.
        const Time64 next = NextRuleChange(*zone, transitions[last - 1]);
        if (!SameType(*zone, RuleTypeAt(*zone, time), type_of(last)) ||
            !SameType(*zone, RuleTypeAt(*zone, time - 1), type_of(last - 1)) ||
            (SameType(*zone, type_of(last), type_of(last - 1)) ? next <= time : next != time)) {
            break;
        }
        kept = last;
    }
    zone->rule_transition = kept;
}

bool ZoneLocalTime(const Zone64& zone, Time64 time, TM64* result) {
    const LocalType* type;
    bool inserted;
    const Time64 wall = WallOf(zone, time, &type, &inserted);
    Year year;
    if (!SplitTime(wall - (inserted ? 1 : 0), result, &year)) return false;  // errno is EOVERFLOW
    result->tm_sec += inserted ? 1 : 0;                                      // 23:59:60
    result->tm_isdst = type->is_dst ? 1 : 0;
    result->tm_gmtoff = type->offset;
    result->tm_zone = zone.names.c_str() + type->name;
    return true;
}

bool ZoneMakeTime(const Zone64& zone, TM64* date, Time64* result) {
    // Seconds outside 0 to 59 are added after the zone is resolved, as
    // mktime adds them; the other fields are carried into range first, so
    // that every spelling of a wall-clock time takes the same path.
    TM64 local = *date;
    local.tm_sec = std::clamp(date->tm_sec, 0, 59);
    const Time64 extra_seconds = Time64{date->tm_sec} - local.tm_sec;
    const Time64 wall = timegm64(&local);
    const LocalType* only_type;
    Time64 time =
        SolveLocal(zone, wall, date->tm_isdst, date->tm_gmtoff, &only_type) + extra_seconds;
    if (date->tm_sec == 60 && !zone.leap_seconds.empty()) {
        // A leap second where :59 of its minute does not occur (a transition
        // at it): the second before the next minute, when it reads :60.
        const Time64 leap =
            SolveLocal(zone, wall + 1, date->tm_isdst, date->tm_gmtoff, &only_type) - 1;
        bool inserted = false;
        LeapCorrection(zone, leap, &inserted);
        if (inserted && !(LeapCorrection(zone, time, &inserted), inserted)) time = leap;
        only_type = nullptr;
    }
    if (time < kFirstTime || time > kLastTime) {
        errno = EOVERFLOW;
        return false;
    }
    if (only_type != nullptr && extra_seconds == 0) {  // the wall clock is the date
        Year year;
        if (!SplitTime(wall, &local, &year)) return false;  // errno is EOVERFLOW
        local.tm_isdst = only_type->is_dst ? 1 : 0;
        local.tm_gmtoff = only_type->offset;
        local.tm_zone = zone.names.c_str() + only_type->name;
    } else if (!ZoneLocalTime(zone, time, &local)) {
        return false;  // errno is EOVERFLOW
    }
    *date = local;
    *result = time;
    return true;
}

}  // namespace bobbin::detail

TM64* localtime64_rz(const Zone64* zone, const Time64* time, TM64* result) {
    assert(zone != nullptr && result != nullptr);
    if (*time < bobbin::detail::kFirstTime || *time > bobbin::detail::kLastTime) {
        errno = EOVERFLOW;
        return nullptr;
    }
    return bobbin::detail::ZoneLocalTime(*zone, *time, result) ? result : nullptr;
}

Time64 mktime64_z(const Zone64* zone, TM64* date) {
    assert(zone != nullptr);
    Time64 time;
    return bobbin::detail::ZoneMakeTime(*zone, date, &time) ? time : -1;
}
