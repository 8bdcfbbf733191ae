// Local time in the zone that TZ names: TZ resolved as the C library resolves
// it, each zone read once per process and shared by all threads, and the
// public local conversions on top.
#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "bobbin/time/internal/range.h"
#include "bobbin/time/internal/zone.h"
#include "bobbin/time/time64.h"

namespace bobbin::detail {

namespace {

constexpr char kLocalTimeFile[] = "/etc/localtime";
constexpr char kZoneDirectory[] = "/usr/share/zoneinfo";

// The zone file that a TZ name (without its ':') denotes: an absolute path,
// or a name under TZDIR (when set and not empty) or the zone directory.
Zone64* ZoneFromName(const char* name) {
    if (*name == '/') return ZoneFromFile(name);
    const char* directory = std::getenv("TZDIR");
    std::string path = directory != nullptr && *directory != '\0' ? directory : kZoneDirectory;
    path.append("/").append(name);
    return ZoneFromFile(path.c_str());
}

// Coordinated universal time under the abbreviation name.
Zone64* UtcZone(const std::string& name) {
    Rule rule{name, 0, "", 0, false, {}, {}};
    auto* zone = new Zone64;
    InstallRule(zone, rule);
    return zone;
}

// The zone of a TZ value (null: unset) as the C library reads it: a zone file
// first, then a rule string (what follows a valid rule is ignored); else UTC,
// named by the value's leading abbreviation, if any. Throws std::bad_alloc.
Zone64* ZoneOfTz(const char* tz) {
    if (tz == nullptr) {
        Zone64* zone = ZoneFromFile(kLocalTimeFile);
        return zone != nullptr ? zone : UtcZone("UTC");
    }
    const char* name = *tz == ':' ? tz + 1 : tz;
    if (*name == '\0') return UtcZone("UTC");
    if (Zone64* zone = ZoneFromName(name)) return zone;
    if (errno == ENOMEM) throw std::bad_alloc();
    Rule rule;
    if (ParseRule(name, &rule) != nullptr) {
        auto* zone = new Zone64;
        InstallRule(zone, rule);
        return zone;
    }
    const char* end = name;
    while ((*end >= 'A' && *end <= 'Z') || (*end >= 'a' && *end <= 'z')) ++end;
    return UtcZone(end - name >= 3 ? std::string(name, end) : std::string());
}

// Every zone that TZ has named in this process, read once and never freed:
// threads keep pointers to them without a lock.
struct SharedZone {
    bool tz_set;
    std::string tz;
    const Zone64* zone;
};
std::mutex zones_mutex;
std::vector<SharedZone>* zones;  // guarded by zones_mutex; never freed

const Zone64* SharedZoneOfTz(const char* tz) {
    {
        std::lock_guard<std::mutex> hold(zones_mutex);
        if (zones != nullptr) {
            for (const SharedZone& shared : *zones) {
                if (shared.tz_set == (tz != nullptr) && (tz == nullptr || shared.tz == tz)) {
                    return shared.zone;
                }
            }
        }
    }
    // Read without the lock, so that a slow file blocks no other thread's
    // lookup; a thread that read the same value meanwhile wins.
    Zone64* zone = ZoneOfTz(tz);
    std::lock_guard<std::mutex> hold(zones_mutex);
    if (zones == nullptr) zones = new std::vector<SharedZone>;
    for (const SharedZone& shared : *zones) {
        if (shared.tz_set == (tz != nullptr) && (tz == nullptr || shared.tz == tz)) {
            tzfree64(zone);
            return shared.zone;
        }
    }
    try {
        zones->push_back({tz != nullptr, tz != nullptr ? tz : "", zone});
    } catch (const std::bad_alloc&) {
        tzfree64(zone);
        throw;
    }
    return zone;
}

// The TZ value that this thread saw last and its zone (null: none yet). A
// value too long for tz is looked up in the shared zones at every call.
struct SeenZone {
    const Zone64* zone;
    bool tz_set;
    char tz[128];
};
thread_local SeenZone seen;

[[gnu::noinline]] const Zone64* LookUpZone(const char* tz) {
    const Zone64* zone;
    try {
        zone = SharedZoneOfTz(tz);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return nullptr;
    }
    const std::size_t length = tz == nullptr ? 0 : std::strlen(tz);
    if (length < sizeof seen.tz) {
        seen.tz_set = tz != nullptr;
        std::memcpy(seen.tz, tz != nullptr ? tz : "", length + 1);
        seen.zone = zone;
    } else {
        seen.zone = nullptr;
    }
    return zone;
}

}  // namespace

// The zone that TZ names now. TZ is read at every call, as localtime reads
// it; only a value other than the one this thread saw last takes the lock.
const Zone64* CurrentZone() {
    const char* tz = std::getenv("TZ");
    if (seen.zone != nullptr &&
        (tz == nullptr ? !seen.tz_set : seen.tz_set && std::strcmp(tz, seen.tz) == 0)) {
        return seen.zone;
    }
    return LookUpZone(tz);
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
    return bobbin::detail::ZoneFromRule(name);
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
    Time64 time;
    const Zone64* zone = CurrentZone();
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
