// POSIX TZ rule strings: "std offset [dst [offset] [,start[/time],end[/time]]]",
// with the extensions of RFC 8536 (times of day from -167 to 167 hours), and a
// rule's table of changes over one 400-year cycle.
#include "bobbin/time/internal/rule.h"

#include <algorithm>
#include <cassert>
#include <cctype>
#include <cstdint>

#include "bobbin/time/internal/calendar.h"

namespace bobbin::detail {

namespace {

// The default dates of daylight-saving time when a rule names none: the
// second Sunday in March to the first Sunday in November, at 02:00.
constexpr RuleDate kDefaultStart = {RuleDate::kMonthWeekDay, 3, 2, 0, 7200};
constexpr RuleDate kDefaultEnd = {RuleDate::kMonthWeekDay, 11, 1, 0, 7200};

// A decimal number from *text, leading zeros allowed as the C library allows
// them; false when there is none or it exceeds maxValue.
bool ParseNumber(const char** text, int maxValue, int* value) {
    const char* p = *text;
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    int number = 0;  // stops growing past maxValue, whatever the number of digits
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        number = std::min(number * 10 + (*p - '0'), maxValue + 1);
    }
    if (number > maxValue) return false;
    *text = p;
    *value = number;
    return true;
}

// [+|-]hh[:mm[:ss]] with hh at most maxHours, in seconds (signed as written).
// An offset (max_hours kOffsetHours) takes hh of any length, beyond 24 as 24,
// as the C library reads it.
constexpr int kOffsetHours = 24;
bool ParseTime(const char** text, int maxHours, std::int32_t* seconds) {
    const char* p = *text;
    int sign = 1;
    if (*p == '+' || *p == '-') sign = *p++ == '-' ? -1 : 1;
    int hours = 0, minutes = 0, secs = 0;
    if (maxHours == kOffsetHours) {
        if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
        for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
            hours = std::min(hours * 10 + (*p - '0'), kOffsetHours);
        }
    } else if (!ParseNumber(&p, maxHours, &hours)) {
        return false;
    }
    if (*p == ':') {
        ++p;
        if (!ParseNumber(&p, 59, &minutes)) return false;
        if (*p == ':') {
            ++p;
            if (!ParseNumber(&p, 59, &secs)) return false;
        }
    }
    *text = p;
    *seconds = sign * (hours * 3600 + minutes * 60 + secs);
    return true;
}

// A zone abbreviation: three or more letters, or "<...>" around three or more
// letters, digits, '+' and '-'.
bool ParseName(const char** text, std::string* name) {
    const char* p = *text;
    const char* begin = p;
    if (*p == '<') {
        begin = ++p;
        while (std::isalnum(static_cast<unsigned char>(*p)) || *p == '+' || *p == '-') ++p;
        if (*p != '>' || p - begin < 3) return false;
        name->assign(begin, p);
        *text = p + 1;
        return true;
    }
    while (std::isalpha(static_cast<unsigned char>(*p))) ++p;
    if (p - begin < 3) return false;
    name->assign(begin, p);
    *text = p;
    return true;
}

bool ParseDate(const char** text, RuleDate* date) {
    const char* p = *text;
    int month = 0, week = 0, day = 0;
    if (*p == 'M') {
        ++p;
        if (!ParseNumber(&p, 12, &month) || month < 1 || *p++ != '.' ||
            !ParseNumber(&p, 5, &week) || week < 1 || *p++ != '.' || !ParseNumber(&p, 6, &day)) {
            return false;
        }
        *date = {RuleDate::kMonthWeekDay, month, week, day, 7200};
    } else if (*p == 'J') {
        ++p;
        if (!ParseNumber(&p, 365, &day) || day < 1) return false;
        *date = {RuleDate::kJulian, 0, 0, day, 7200};
    } else {
        if (!ParseNumber(&p, 365, &day)) return false;
        *date = {RuleDate::kZeroBasedDay, 0, 0, day, 7200};
    }
    if (*p == '/') {
        ++p;
        if (!ParseTime(&p, 167, &date->time)) return false;
    }
    *text = p;
    return true;
}

// Seconds from 1970-01-01 00:00 to the date's local time in year.
Time64 LocalSecondsOf(const RuleDate& date, Year year) {
    const int leap = IsLeap(year);
    const std::int64_t year_start = DaysBeforeYear(year);
    std::int64_t day = 0;
    switch (date.kind) {
        case RuleDate::kJulian:
            day = date.day - 1 + (leap && date.day >= 60 ? 1 : 0);
            break;
        case RuleDate::kZeroBasedDay:
            day = date.day;
            break;
        case RuleDate::kMonthWeekDay: {
            const int first = kDaysBeforeMonth[leap][date.month - 1];
            const int length = kDaysBeforeMonth[leap][date.month] - first;
            const auto first_wday = static_cast<int>((year_start + first + 4) % 7 + 7) % 7;
            int in_month = (date.day - first_wday + 7) % 7 + 7 * (date.week - 1);
            while (in_month >= length) in_month -= 7;
            day = first + in_month;
            break;
        }
    }
    return (year_start + day) * 86400 + date.time;
}

}  // namespace

const char* ParseRule(const char* text, Rule* rule) {
    const char* p = text;
    if (!ParseName(&p, &rule->standard_name)) return nullptr;
    std::int32_t west = 0;
    if (!ParseTime(&p, kOffsetHours, &west)) return nullptr;
    rule->standard_offset = -west;
    rule->daylight_name.clear();
    rule->daylight_offset = rule->standard_offset + 3600;
    rule->has_dates = false;
    const char* end = p;
    if (!ParseName(&p, &rule->daylight_name)) {
        rule->daylight_name.clear();
        return end;
    }
    end = p;
    if (ParseTime(&p, kOffsetHours, &west)) {
        rule->daylight_offset = -west;
        end = p;
    }
    rule->start = kDefaultStart;
    rule->end = kDefaultEnd;
    if (*p != ',') return end;
    ++p;
    if (*p == '\0') return p;  // no dates after all
    // A start and no end, or an empty one, ends on the default date.
    if (ParseDate(&p, &rule->start) &&
        (*p == '\0' || (*p == ',' && (*++p == '\0' || ParseDate(&p, &rule->end))))) {
        rule->has_dates = true;
        return p;
    }
    rule->daylight_name.clear();  // dates that do not parse: standard time only
    return end;
}

namespace {

// The start of the 400-year cycle that a table lists, and the years listed (a
// margin on both sides), each with a fixed number of entries.
constexpr Time64 kCycleStart = 946684800;  // 2000-01-01 00:00:00 UTC
constexpr Year kFirstYear = 1998;
constexpr Year kLastYear = 2401;
constexpr std::size_t kChangesPerYear = 3;

}  // namespace

void RuleTable::Make(const Rule& rule, std::string* names) {
    const auto standard = static_cast<std::uint32_t>(names->size());
    names->append(rule.standard_name).push_back('\0');
    types[0] = {rule.standard_offset, false, standard};
    types[1] = types[0];
    changes.clear();
    if (rule.daylight_name.empty()) return;
    const auto daylight = static_cast<std::uint32_t>(names->size());
    names->append(rule.daylight_name).push_back('\0');
    types[1] = {rule.daylight_offset, true, daylight};
    // Each UTC year takes the start and end of its own: daylight-saving time
    // from start to end, or outside end to start when end comes first (none
    // when they are equal), even where they fall in another year. Listed per
    // year: its first second, then start and end in order, each moved into
    // the year, with the type from there on.
    changes.reserve(kChangesPerYear * (kLastYear - kFirstYear + 1));
    for (Year year = kFirstYear; year <= kLastYear; ++year) {
        const Time64 first = DaysBeforeYear(year) * 86400;
        const Time64 last = DaysBeforeYear(year + 1) * 86400 - 1;
        const Time64 start = LocalSecondsOf(rule.start, year) - rule.standard_offset;
        const Time64 end = LocalSecondsOf(rule.end, year) - rule.daylight_offset;
        auto type_at = [start, end](Time64 time) -> std::uint8_t {
            return start <= end ? start <= time && time < end : time < end || time >= start;
        };
        for (const Time64 at : {first, std::min(start, end), std::max(start, end)}) {
            const Time64 within = std::clamp(at, first, last);
            changes.push_back({within, type_at(within)});
        }
    }
}

namespace {

// The index of the last change at or before time shifted by *cycles 400-year
// cycles into the listed one. The list is not empty.
std::size_t ChangeIndex(const std::vector<RuleChange>& changes, Time64 time, Time64* cycles) {
    const Time64 since = time - kCycleStart;
    const bool in_cycle =
        static_cast<std::uint64_t>(since) < static_cast<std::uint64_t>(kSecondsInGregorianCycle);
    *cycles = in_cycle ? 0 : FloorDiv(since, kSecondsInGregorianCycle);
    const Time64 within = time - *cycles * kSecondsInGregorianCycle;
    // The first entry of the year that within lies in, counted in mean years
    // (which is that year or one next to it), then the entries of the year
    // up to within.
    constexpr Time64 kMeanYear = kSecondsInGregorianCycle / kYearsInGregorianCycle;
    const RuleChange* change = changes.data();
    std::size_t index =
        kChangesPerYear * (static_cast<std::size_t>((within - kCycleStart) / kMeanYear) +
                           static_cast<std::size_t>(2000 - kFirstYear));
    if (change[index].at > within) {
        index -= kChangesPerYear;
    } else if (change[index + kChangesPerYear].at <= within) {
        index += kChangesPerYear;
    }
    assert(change[index].at <= within && change[index + kChangesPerYear].at > within);
    return index + (change[index + 1].at <= within ? 1 : 0) +
           (change[index + 2].at <= within ? 1 : 0);
}

}  // namespace

const LocalType& RuleTable::TypeAt(Time64 time) const {
    if (changes.empty()) return types[0];
    Time64 cycles;
    return types[changes[ChangeIndex(changes, time, &cycles)].type];
}

Time64 RuleTable::NextChange(Time64 time) const {
    if (changes.empty()) return kNoChange;
    Time64 cycles;
    std::size_t index = ChangeIndex(changes, time, &cycles);
    const std::uint8_t type = changes[index].type;
    for (const std::size_t last = index + kChangesPerYear + 1; index < last; ++index) {
        const RuleChange& change = changes[index + 1];
        if (change.type != type) return change.at + cycles * kSecondsInGregorianCycle;
    }
    return kNoChange;
}

}  // namespace bobbin::detail
