// Local time against the C library's, over the system's zone files and every
// form of a TZ value: its answers where it applies a zone's rules (a zone file
// to year 5,881,580, a rule string's from 1970), else its answers whole 400-year
// cycles away (a rule string's rule holds in every year, a footer without end).

#include <algorithm>
#include <climits>
#include <cstdint>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <utility>

#include "bobbin/time/internal/range.h"
#include "bobbin/time/internal/zone.h"
#include "bobbin/time/time64.h"
#include "bobbin/time/time_test_support.h"

namespace {

namespace fs = std::filesystem;
using bobbin::detail::kFirstTime;
using bobbin::detail::kLastTime;
using Year = std::int64_t;
using bobbin::testing::Text;

constexpr Time64 kCycle = 12622780800;  // seconds in 400 Gregorian years
const fs::path kZoneDirectory = "/usr/share/zoneinfo";
const bool kSweep = std::getenv("BOBBIN_SOAK_SECONDS") != nullptr;  // else a sample

Time64 Jan1(Year year) {
    const TM64 date = bobbin::testing::Date(year - 1900, 0, 1);
    return timegm64(&date);
}

// A TZ value (null: unset) and its kind: 'f' a zone file or fixed offset, 'r'
// a rule string with rules (which the C library applies from 1970 on), 'd'
// daylight saving without rules or 'n' a value that names no zone (which it
// treats on its own terms: compared from 1971 to 2036 only). Of 'd', local
// times away from changes only: the C library's answers around them depend on
// its earlier calls (a mktime, another such value).
struct Tz {
    const char* value;
    char kind;
};

// Whole cycles that move a year where the C library does not apply the zone's
// rules (after 5,881,580; a rule string's before 1971) into 2400 to 2799.
Year Cycles(const Tz& tz, Year year) {
    const bool applies = year < 5881580 && (tz.kind != 'r' || year >= 1971);
    return applies ? 0 : (2799 - year) / 400 - ((2799 - year) % 400 < 0);
}

// mktime64 and mktime64_z against the C library on the date moved by Cycles.
// A wall-clock time that occurs once, or twice and is told apart by tm_isdst
// and then by tm_gmtoff, is that second; one that occurs once with the other
// tm_isdst is resolved as mktime resolves it. Elsewhere (in a gap, or twice
// with a tm_isdst of neither) mktime's answer depends on its previous calls:
// a second within two hours of the offsets around will do if the date written
// is its local date. What differs, or "".
std::string MktimeDiffers(const Tz& tz, const Zone64* zone, TM64 date) {
    TM64 mine = date, in_zone = date, back{};
    const std::string given = Text(date);
    const Year cycles = Cycles(tz, date.tm_year + Year{1900});
    errno = 0;
    const Time64 my_time = mktime64(&mine);
    const bool refused = my_time == -1 && errno == EOVERFLOW;
    if (zone && (mktime64_z(zone, &in_zone) != my_time || Text(in_zone) != Text(mine))) {
        return "mktime64_z " + Text(in_zone) + " of " + given;
    }
    const bool round_trip = refused || (localtime64_r(&my_time, &back) && Text(back) == Text(mine));
    date.tm_year = static_cast<int>(date.tm_year + 400 * cycles);
    const Time64 wall = timegm64(&date);
    std::vector<std::pair<time_t, TM64>> found, picked;  // the C library's seconds that read wall
    long low = date.tm_gmtoff, high = low;
    for (const Time64 day : {-86400, -7200, 7200, 86400}) {  // by the offsets around
        TM64 local{};
        time_t time = wall - date.tm_gmtoff + day;
        if (!localtime_r(&time, &local)) continue;
        low = std::min(low, local.tm_gmtoff), high = std::max(high, local.tm_gmtoff);
        const long offset = local.tm_gmtoff;
        time = wall - offset;
        for (int step = 0; step < 3 && localtime_r(&time, &local); ++step) {
            time += wall - (timegm64(&local) - local.tm_gmtoff + offset);  // leap seconds
        }
        // A leap second reads :60 of the minute before wall, not wall.
        if (timegm64(&local) == wall && local.tm_sec != 60 && local.tm_gmtoff == offset &&
            std::none_of(found.begin(), found.end(), [&](auto& f) { return f.first == time; })) {
            found.emplace_back(time, local);
        }
    }
    for (const auto& f : found) {
        if (date.tm_isdst < 0 || f.second.tm_isdst == date.tm_isdst) picked.push_back(f);
    }
    if (picked.size() == 2 && (picked[0].second.tm_gmtoff == date.tm_gmtoff) !=
                                  (picked[1].second.tm_gmtoff == date.tm_gmtoff)) {
        picked.erase(picked.begin() + (picked[0].second.tm_gmtoff == date.tm_gmtoff));
    }
    const bool carried_seconds = date.tm_sec < 0 || date.tm_sec > 59;
    // With leap seconds (right/ zones) every span may hold a minute more.
    const bool right_zone = tz.value && std::string(tz.value).rfind("right/", 0) == 0;
    const Time64 leap_slack = right_zone ? 60 : 0;
    time_t moved = 0;
    bool their_refusal = false;
    if (picked.size() == 1 && !carried_seconds) {
        moved = picked[0].first, date = picked[0].second;
    } else if (found.size() == 1 || carried_seconds) {
        errno = 0;
        moved = mktime(&date);
        their_refusal = moved == -1 && errno;
    } else {
        const Time64 first = wall - high - 7200 - leap_slack - cycles * kCycle;
        const Time64 last = wall - low + 7200 + leap_slack - cycles * kCycle;
        if (refused ? first < kFirstTime || last > kLastTime
                    : (round_trip && my_time >= first && my_time <= last) ||
                          std::abs(mktime(&date) - cycles * kCycle - my_time) <= leap_slack) {
            return "";
        }
        return "mktime64 of " + given + ": " + std::to_string(my_time) + " " + Text(mine);
    }
    const Time64 their_time = moved - cycles * kCycle;
    const Year year = date.tm_year - 400 * cycles;
    date.tm_year = static_cast<int>(year);
    their_refusal =
        their_refusal || their_time < kFirstTime || their_time > kLastTime || year != date.tm_year;
    // With leap seconds, the C library's second for the other tm_isdst is off by
    // those between the time it looked at and the date, and at a leap second
    // (:60) by the hour it borrows as well: an hour and a minute will do there.
    const bool leaps = right_zone && picked.empty() && round_trip &&
                       std::abs(my_time - their_time) <= 3600 + leap_slack;
    // A tm_isdst that neither side holds (Apia's skipped day, daylight time on
    // both sides): the C library borrows an offset by a search of its own; any
    // second that reads the date back, within the widest swing (26 h), will do.
    const bool borrowed = picked.empty() && found.size() == 1 && date.tm_isdst >= 0 && round_trip &&
                          std::abs(my_time - their_time) <= 26 * 3600;
    if (their_refusal ? refused
                      : leaps || borrowed ||
                            (my_time == their_time && Text(mine) == Text(date) && round_trip)) {
        return "";
    }
    return "mktime64 of " + given + ": " + std::to_string(my_time) + " " + Text(mine) +
           ", C library: " + std::to_string(their_time) + " " + Text(date);
}

// At time: localtime64_r and localtime64_rz against localtime_r of the time
// moved by Cycles; mktime64 of the date with tm_isdst -1, flipped and as
// converted (which gives the time back). What differs, or "".
std::string Differs(const Tz& tz, const Zone64* zone, Time64 time) {
    TM64 ours{}, theirs{}, in_zone{}, utc{};
    errno = 0;
    const bool ok = localtime64_r(&time, &ours) != nullptr;
    const int error = errno;
    if (zone && (localtime64_rz(zone, &time, &in_zone) ? Text(in_zone) != Text(ours) : ok)) {
        return "localtime64_rz " + Text(in_zone);
    }
    const Year cycles = Cycles(tz, gmtime64_r(&time, &utc)->tm_year + Year{1900});
    const time_t moved = time + cycles * kCycle;
    const bool their_ok = localtime_r(&moved, &theirs) != nullptr;
    const Year their_year = theirs.tm_year - 400 * cycles;
    if (ok != (their_ok && their_year == static_cast<int>(their_year))) {
        return ok ? "localtime64_r converts" : "localtime64_r refuses";
    }
    if (!ok) return error == EOVERFLOW ? "" : "errno " + std::to_string(error);
    theirs.tm_year = static_cast<int>(their_year);
    if (Text(ours) != Text(theirs)) return "localtime64_r " + Text(ours) + ", " + Text(theirs);
    for (const int isdst : {-1, 1 - ours.tm_isdst, ours.tm_isdst}) {
        if (tz.kind == 'd') break;
        TM64 date = ours;
        date.tm_isdst = isdst;
        if (std::string what = MktimeDiffers(tz, zone, date); !what.empty()) return what;
    }
    return mktime64(&ours) == time ? "" : "mktime64 does not give the time back";
}

// The instants, and around the zone's changes (transitions, leap seconds and
// rule changes; all or six at random) a second before and at each and the
// wall-clock times in the gap or overlap it opens (each tm_isdst). A change
// that the zone lacks shows in the instants; one that it misplaces, here.
void ExpectAgreement(const Tz& tz, const std::vector<Time64>& times, bool everyChange) {
    tz.value ? setenv("TZ", tz.value, 1) : unsetenv("TZ");
    tzset();                            // localtime_r need not read TZ again; localtime64_r must
    Zone64* zone = tzalloc64(nullptr);  // the zone that TZ names
    const std::string name = tz.value ? tz.value : "(unset)";
    EXPECT_EQ(zone != nullptr, tz.kind != 'n') << "tzalloc64 of " << name;
    std::vector<Time64> changes;
    if (zone != nullptr && tz.kind != 'd') {
        changes = zone->transitions;
        for (const auto& leap : zone->leap_seconds) changes.push_back(leap.occurrence);
        for (const auto& change : zone->rule.changes) changes.push_back(change.at);
    }
    if (!everyChange) {
        std::shuffle(changes.begin(), changes.end(), std::mt19937_64(changes.size()));
        changes.resize(std::min<std::size_t>(changes.size(), 6));
    }
    int failures = 0;
    const auto expect = [&](const std::string& what, Time64 time) {
        if (!what.empty() && ++failures <= 3)
            ADD_FAILURE() << name << " at " << time << ": " << what;
    };
    for (const Time64 time : times) expect(Differs(tz, zone, time), time);
    for (const Time64 time : changes) {
        if (time <= kFirstTime || time > kLastTime) continue;  // the "since ever" transition
        expect(Differs(tz, zone, time - 1), time - 1);
        expect(Differs(tz, zone, time), time);
        TM64 before{}, after{};
        const Time64 earlier = time - 1;
        localtime64_r(&earlier, &before), localtime64_r(&time, &after);
        const Time64 half = std::abs(after.tm_gmtoff - before.tm_gmtoff) / 2;
        for (auto [date, seconds] : {std::pair{before, 1 + half}, std::pair{after, half}}) {
            const Time64 wall = timegm64(&date) + seconds;
            gmtime64_r(&wall, &date);  // tm_gmtoff stays
            for (date.tm_isdst = -1; date.tm_isdst < 2 && tz.kind != 'd'; ++date.tm_isdst) {
                expect(MktimeDiffers(tz, zone, date), time);
            }
        }
    }
    EXPECT_EQ(failures, 0) << name;
    tzfree64(zone);
}

// Fixed-seed instants over the whole range, denser where zones change, and
// both ends; or from 1971 to 2036 only.
std::vector<Time64> Instants(std::uint64_t seed, int count, bool near = false) {
    const Year spans[][3] = {{4, -2147481748, 2147485547},
                             {4, 1800, 2040},
                             {2, 2037, 3000},
                             {1, -1000000, 1000000},
                             {1, 5881579, 5881582}};
    std::mt19937_64 engine(seed);
    std::vector<Time64> times = {kFirstTime, kFirstTime + 99999, kLastTime, kLastTime - 99999};
    if (near) times.clear();
    for (const auto& [share, from, to] : spans) {
        std::uniform_int_distribution<Time64> pick(Jan1(near ? 1971 : from),
                                                   Jan1(near ? 2037 : to) - 1);
        for (int i = 0; i < count * share / 12; ++i) times.push_back(pick(engine));
    }
    return times;
}

// Every zone file (every sixteenth in the unit run): sampled instants and
// instants around the zone's transitions, all of them for a few zones (two
// whose nearest time with the other tm_isdst is not the latest one of it).
TEST(LocalTimeDifferentialTest, EveryZoneFileAgreesWithTheCLibrarySoak) {
    const std::set<std::string> every_transition = {
        "America/New_York", "Europe/London", "right/Europe/London", "Australia/Lord_Howe",
        "Asia/Kolkata",     "Pacific/Apia",  "Europe/Lisbon",       "America/Indiana/Petersburg"};
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(kZoneDirectory)) {
        char magic[4] = {};
        if (!entry.is_symlink() && entry.is_regular_file() &&
            std::ifstream(entry.path()).read(magic, 4) && std::string(magic, 4) == "TZif") {
            names.push_back(entry.path().lexically_relative(kZoneDirectory));
        }
    }
    std::sort(names.begin(), names.end());
    ASSERT_GT(names.size(), 300u) << "the zone files of tzdata are not installed";
    for (std::size_t i = 0; i < names.size(); ++i) {
        const bool all = kSweep || every_transition.count(names[i]) > 0;
        if (!all && i % 16 != 0) continue;
        ExpectAgreement({names[i].c_str(), 'f'}, Instants(i, kSweep ? 120 : 24), all);
    }
}

// TZ unset, with ':', an absolute path, a name under TZDIR, rule strings with
// and without rules (negative and long change times, changes across New Year
// or a day apart, start equal to end, hours past 24, numbers with leading
// zeros), fixed offsets and values that name no zone; and dates whose fields
// carry, spell a time twice, fall in a gap or overflow.
TEST(LocalTimeDifferentialTest, EveryFormOfTzAgreesWithTheCLibrary) {
    // Each value after its kind (see Tz); "f" alone: TZ unset.
    std::istringstream table(
        "f f::Europe/London f:/usr/share/zoneinfo/Asia/Kolkata f::/usr/share/zoneinfo/Pacific/Apia "
        "f:Sao_Paulo f:UTC0 f:<+0530>-5:30 f:UTC+25 f:UTC-24:30 r:EST5EDT,M3.2.0,M11.1.0 "
        "r:<+1030>-10:30<+11>-11,M10.1.0,M4.1.0 r:IST-2IDT,M3.4.4/26,M10.5.0 "
        "r:<-03>3<-02>,M3.5.0/-2,M10.5.0/-1 r:<+0330>-3:30<+0430>,J79/24,J263/24 "
        "r:AAA-10BBB,59/2,300/-3 r:AEST-10AEDT,M10.1.0,M4.1.0/3 r:IST-1GMT0,M10.5.0,M3.5.0/1 "
        "r:ABC5DEF4:30,J60/25,J300/-1:30 r:ABC5DEF,59/0,300/167 r:EST5EDT,M3.2.0/2,M3.2.0/3 "
        "r:ABC-13:45DEF-14:45,M9.5.0/2:45,M4.1.0/3:45 r:AAA3BBB,J1/0,J365/30 r:AAA3BBB,0/0,365/24 "
        "r:EST5EDT,0/0,J365/25 r:EST5EDT,M12.5.6/23,M1.1.0/1 r:WART4WARST,J1/0,J365/25 "
        "r:EST5EDT26,M3.2.0,M11.1.0 r:EST5EDT,J1,J365 r:EST5EDT6,M3.2.0,M11.1.0 "
        "r:EST05:00EDT,M03.02.00/0002,J0300/02:00:00 "
        "r:EST5EDT,M3.2.0/00000000000000000000000000000000000000002,M11.1.0 d:AAA3BBB "
        "r:PST8PDT,M3.2.0/2 r:XST5XDT,M3.2.0, r:WMARS3SMARS,J80 d:XST5XDT, "
        "d:CET-1CEST d:EST5EDT4 d:AAA3BBB1 d:<+0530>-5:30<+0630>-7 f: f:: n:garbage n:!!! "
        "n:XYZ n:America/Nowhere n:/etc/passwd n:/ n:A5 n:EST5EDT,M13.1.0,M11.1.0");
    const int kDates[][6] = {
        // year - 1900, month, day, hour, minute, second
        {1100, 12, 1, 0, 0, 0},         {-2900, 0, 1, 0, 0, -1},    {100000, 11, 31, 19200, 0, 0},
        {100000, 0, 1, 0, 0, INT_MIN},  {2, 0, 1, -219000, 0, 0},   {-23, 0, 6, 0, 0, 0},
        {128, 128, 128, 128, 128, 128}, {600, 0, 1, 0, 30, 0},      {-400, 0, 1, 0, 30, 0},
        {6000000, 0, 1, 0, 30, 0},      {6000000, 2, 12, 2, 30, 0}, {INT_MAX, 12, 1, 0, 0, 0},
        {INT_MAX, 11, 31, 20, 0, 0},    {INT_MIN, 0, 1, 5, 29, 0},  {126, 2, 8, 2, 30, 0}};
    for (std::string entry; table >> entry;) {
        const std::string value = entry.size() > 1 ? entry.substr(2) : "";
        const Tz tz{entry.size() > 1 ? value.c_str() : nullptr, entry[0]};
        const bool tzdir = value == "Sao_Paulo";  // found under TZDIR only
        tzdir ? setenv("TZDIR", (kZoneDirectory / "America").c_str(), 1) : unsetenv("TZDIR");
        const bool near = tz.kind == 'd' || tz.kind == 'n';
        ExpectAgreement(tz, Instants(7, near ? 48 : 120, near), true);
        for (const auto& f : kDates) {
            TM64 date = bobbin::testing::Date(f[0], f[1], f[2], f[3], f[4], f[5]);
            for (date.tm_isdst = -1; date.tm_isdst < 2 && !near; ++date.tm_isdst) {
                EXPECT_EQ(MktimeDiffers(tz, nullptr, date), "") << entry;
            }
        }
    }
}

}  // namespace
