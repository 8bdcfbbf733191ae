// Local time in the zone that TZ names: TZ resolved as the C library resolves
// it, each zone read once per process and shared by all threads, and the
// public local conversions on top.
#include <unistd.h>  // environ

#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

#include "bobbin/time/internal/range.h"
#include "bobbin/time/internal/zone.h"
#include "bobbin/time/time64.h"

namespace bobbin::detail {

namespace {

constexpr char kLocalTimeFile[] = "/etc/localtime";
constexpr char kZoneDirectory[] = "/usr/share/zoneinfo";

// The zone file that a TZ name (without its ':') denotes: an absolute path,
// or a name under TZDIR (when set and not empty) or the zone directory.
// *special (when not null) tells whether the path names something other than
// a regular file.
Zone64* ZoneFromName(const char* name, bool* special = nullptr) {
    if (*name == '/') return ZoneFromFile(name, special);
    const char* directory = std::getenv("TZDIR");
    std::string path = directory != nullptr && *directory != '\0' ? directory : kZoneDirectory;
    path.append("/").append(name);
    return ZoneFromFile(path.c_str(), special);
}

// Coordinated universal time under the abbreviation name.
Zone64* UtcZone(const std::string& name) {
    Rule rule{name, 0, "", 0, false, {}, {}};
    auto zone = std::make_unique<Zone64>();
    InstallRule(zone.get(), rule);
    return zone.release();
}

// The zone of a rule. Daylight-saving time without dates follows, as in the
// C library, the changes between standard and daylight-saving time of the
// zone directory's posixrules file, moved as the C library moves them (a
// change to daylight-saving time by the difference of the standard offsets,
// one to standard time by the rule's daylight-saving offset), under the
// rule's offsets and names; after the file's last change, and when there is
// no such file, the default dates. Throws std::bad_alloc.
Zone64* ZoneOfRule(const Rule& rule) {
    auto zone = std::make_unique<Zone64>();
    InstallRule(zone.get(), rule);
    if (rule.has_dates || rule.daylight_name.empty()) return zone.release();
    const std::unique_ptr<Zone64> rules(ZoneFromName("posixrules"));
    if (rules == nullptr) {
        if (errno == ENOMEM) throw std::bad_alloc();
        return zone.release();
    }
    zone->types.assign(zone->rule_types, zone->rule_types + 2);
    std::int32_t standard_offset = rules->types[0].offset;
    bool dst = false;
    for (std::size_t i = 0; i < rules->transitions.size(); ++i) {
        const LocalType& type = rules->types[rules->transition_types[i]];
        if (type.is_dst != dst) {
            const Time64 time = rules->transitions[i];
            zone->transitions.push_back(type.is_dst ? time + rule.standard_offset - standard_offset
                                                    : time + rule.daylight_offset);
            zone->transition_types.push_back(type.is_dst ? 1 : 0);
            dst = type.is_dst;
        }
        if (!type.is_dst) standard_offset = type.offset;
    }
    zone->rule_transition = zone->transitions.size();
    DropTransitionsOfRule(zone.get());
    return zone.release();
}

// The zone of a TZ value (null: unset) as the C library reads it: a zone file
// first, then a rule string (what follows a valid rule is ignored); else UTC,
// named by the value's leading abbreviation, if any. *special tells whether
// the value names a file that is not a regular one. Throws std::bad_alloc.
Zone64* ZoneOfTz(const char* tz, bool* special) {
    *special = false;
    if (tz == nullptr) {
        Zone64* zone = ZoneFromFile(kLocalTimeFile, special);
        if (zone == nullptr && errno == ENOMEM) throw std::bad_alloc();
        return zone != nullptr ? zone : UtcZone("UTC");
    }
    const char* name = *tz == ':' ? tz + 1 : tz;
    if (*name == '\0') return UtcZone("UTC");
    if (Zone64* zone = ZoneFromName(name, special)) return zone;
    if (errno == ENOMEM) throw std::bad_alloc();
    Rule rule;
    if (ParseRule(name, &rule) != nullptr) return ZoneOfRule(rule);
    const char* end = name;
    while ((*end >= 'A' && *end <= 'Z') || (*end >= 'a' && *end <= 'z')) ++end;
    return UtcZone(end - name >= 3 ? std::string(name, end) : std::string());
}

// A zone that TZ has named, and whether the C library may be left to read the
// same value: not when it names a FIFO or a device, whose open or read could
// block the C library for good.
struct SharedZone {
    const Zone64* zone;
    bool c_library_may_read;
};

// Every zone that TZ has named in this process, keyed by the value ("\1" +
// value; "" for unset), read once and never freed: threads keep pointers to
// them without a lock.
std::mutex zones_mutex;
std::unordered_map<std::string, SharedZone>* zones;  // guarded by zones_mutex; never freed

std::string KeyOf(const char* tz) {
    return tz == nullptr ? std::string() : std::string("\1").append(tz);
}

// Throws std::bad_alloc.
SharedZone SharedZoneOfTz(const char* tz) {
    const std::string key = KeyOf(tz);
    {
        std::lock_guard<std::mutex> hold(zones_mutex);
        if (zones == nullptr) zones = new std::unordered_map<std::string, SharedZone>;
        const auto found = zones->find(key);
        if (found != zones->end()) return found->second;
    }
    // Read without the lock, so that a slow file blocks no other thread's
    // lookup; a thread that read the same value meanwhile wins.
    bool special = false;
    std::unique_ptr<Zone64> zone(ZoneOfTz(tz, &special));
    std::lock_guard<std::mutex> hold(zones_mutex);
    const auto inserted = zones->emplace(key, SharedZone{zone.get(), !special});
    if (inserted.second) zone.release();
    return inserted.first->second;
}

// The TZ value that this thread saw last (key as in zones) and its zone (null:
// none yet). The value is copied only when it changes.
struct SeenZone {
    SharedZone shared{nullptr, false};
    std::string key;
};
thread_local SeenZone seen;

bool SameAsSeen(const char* tz) {
    const std::string& key = seen.key;
    return tz == nullptr ? key.empty() : !key.empty() && std::strcmp(tz, key.c_str() + 1) == 0;
}

[[gnu::noinline]] const SharedZone* LookUpZone(const char* tz) {
    try {
        const SharedZone shared = SharedZoneOfTz(tz);
        seen.shared.zone = nullptr;  // while the key is not yet the value's
        seen.key = KeyOf(tz);
        seen.shared = shared;
        return &seen.shared;
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return nullptr;
    }
}

// Where this thread last found TZ's entry in the environment: the array and
// the slot. setenv, putenv and unsetenv replace an entry's pointer or move the
// entries, so a slot that still holds the same pointer, in the same array,
// still starting "TZ=", is TZ's entry now. Only the search is saved: the value
// is read afresh at every call, as getenv would read it.
struct TzSlot {
    char** array = nullptr;
    std::size_t index = 0;
    const char* entry = nullptr;
};
thread_local TzSlot tz_slot;

bool IsTzEntry(const char* entry) {
    return entry[0] == 'T' && entry[1] == 'Z' && entry[2] == '=';
}

// The value of TZ, or null when it is unset; getenv without the search.
const char* ReadTz() {
    char** const array = environ;
    if (array == nullptr) return nullptr;
    const TzSlot& slot = tz_slot;
    if (array == slot.array && slot.entry != nullptr && array[slot.index] == slot.entry &&
        IsTzEntry(slot.entry)) {
        return slot.entry + 3;
    }
    for (std::size_t i = 0; array[i] != nullptr; ++i) {
        if (IsTzEntry(array[i])) {
            tz_slot = TzSlot{array, i, array[i]};
            return array[i] + 3;
        }
    }
    tz_slot = TzSlot{};
    return nullptr;
}

// The zone that TZ names now, or null with errno = ENOMEM. TZ is read at every
// call, as localtime reads it; only a value other than the one this thread saw
// last takes the lock.
const SharedZone* CurrentSharedZone() {
    const char* tz = ReadTz();
    if (seen.shared.zone != nullptr && SameAsSeen(tz)) return &seen.shared;
    return LookUpZone(tz);
}

}  // namespace

const Zone64* CurrentZone() {
    const SharedZone* shared = CurrentSharedZone();
    return shared != nullptr ? shared->zone : nullptr;
}

bool CLibraryMayReadTz() {
    const SharedZone* shared = CurrentSharedZone();
    return shared != nullptr && shared->c_library_may_read;
}

}  // namespace bobbin::detail

using bobbin::detail::CurrentZone;

Zone64* tzalloc64(const char* name) {
    if (name == nullptr) name = std::getenv("TZ");
    if (name == nullptr) return bobbin::detail::ZoneFromFile(bobbin::detail::kLocalTimeFile);
    if (*name == ':') ++name;
    if (*name == '\0') {
        errno = EINVAL;
        return nullptr;
    }
    try {
        if (Zone64* zone = bobbin::detail::ZoneFromName(name)) return zone;
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return nullptr;
    }
    const int error = errno;
    if (*name == '/' ||
        (error != ENOENT && error != ENOTDIR && error != ENAMETOOLONG && error != EINVAL)) {
        errno = error;
        return nullptr;
    }
    bobbin::detail::Rule rule;
    const char* end = bobbin::detail::ParseRule(name, &rule);
    if (end == nullptr || *end != '\0') {
        errno = EINVAL;
        return nullptr;
    }
    try {
        return bobbin::detail::ZoneOfRule(rule);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return nullptr;
    }
}

TM64* localtime64_r(const Time64* time, TM64* result) {
    assert(result != nullptr);
    if (*time < bobbin::detail::kFirstTime || *time > bobbin::detail::kLastTime) {
        errno = EOVERFLOW;
        return nullptr;
    }
    const Zone64* zone = CurrentZone();
    return zone != nullptr && bobbin::detail::ZoneLocalTime(*zone, *time, result) ? result
                                                                                  : nullptr;
}

Time64 mktime64(TM64* date) {
    const Zone64* zone = CurrentZone();
    Time64 time;
    return zone != nullptr && bobbin::detail::ZoneMakeTime(*zone, date, &time) ? time : -1;
}

Time64 timelocal64(TM64* date) {
    return mktime64(date);
}

namespace {
constexpr struct tm kZeroDate {};
}  // namespace

struct tm* fake_localtime_r(const time_t* time, struct tm* result) {
    assert(result != nullptr);
    const Time64 time64 = *time;
    struct tm local {};
    const bool converted = localtime64_r(&time64, &local) != nullptr;
    std::memcpy(result, converted ? &local : &kZeroDate, sizeof local);
    return converted ? result : nullptr;
}
