// The public local conversions: in a given zone (the _rz and _z forms), and in
// the zone that TZ names now, which is the same conversion on the current
// zone.
#include <cassert>
#include <cerrno>
#include <ctime>

#include "bobbin/time/internal/calendar.h"
#include "bobbin/time/internal/range.h"
#include "bobbin/time/internal/zone.h"
#include "bobbin/time/internal/zone_cache.h"
#include "bobbin/time/time64.h"

namespace {

// The zone that TZ names now, or null with errno = ENOMEM; *value (unless
// value is null) the TZ value read.
const Zone64* CurrentZone(const char** value = nullptr) {
    const Zone64* zone = nullptr;
    if (const int error = bobbin::detail::CurrentZone(&zone, value)) {
        errno = error;
        return nullptr;
    }
    return zone;
}

}  // namespace

TM64* localtime64_rz(const Zone64* zone, const Time64* time, TM64* result) {
    assert(zone != nullptr && result != nullptr);
    const int error = *time < bobbin::detail::kFirstTime || *time > bobbin::detail::kLastTime
                          ? EOVERFLOW
                          : bobbin::detail::LocalTimeIn(*zone, *time, result);
    if (error == 0) return result;
    errno = error;
    return nullptr;
}

Time64 mktime64_z(const Zone64* zone, TM64* date) {
    assert(zone != nullptr);
    Time64 time;
    const int error = bobbin::detail::MakeTimeIn(*zone, date, &time);
    if (error == 0) return time;
    errno = error;
    return -1;
}

TM64* localtime64_r(const Time64* time, TM64* result) {
    const Zone64* zone = CurrentZone();
    return zone != nullptr ? localtime64_rz(zone, time, result) : nullptr;
}

Time64 mktime64(TM64* date) {
    const Zone64* zone = CurrentZone();
    return zone != nullptr ? mktime64_z(zone, date) : -1;
}

Time64 timelocal64(TM64* date) {
    return mktime64(date);
}

TM64* localtime64(const Time64* time) {
    // TZ is read once: the C library rereads the same value (so that its
    // tzname follows TZ too), unless that would block it on a FIFO or a device.
    const char* value = nullptr;
    const Zone64* zone = CurrentZone(&value);
    if (zone == nullptr) return nullptr;
    if (bobbin::detail::CLibraryMayRead(value)) tzset();
    return localtime64_rz(zone, time, bobbin::detail::StaticReturnDate());
}

char* ctime64_r(const Time64* time, char* result) {
    TM64 date;
    return localtime64_r(time, &date) != nullptr ? asctime64_r(&date, result) : nullptr;
}

char* ctime64(const Time64* time) {
    const TM64* date = localtime64(time);
    return date != nullptr ? asctime64(date) : nullptr;
}

struct tm* fake_localtime_r(const time_t* time, struct tm* result) {
    assert(result != nullptr);
    const Time64 time64 = *time;
    TM64 local{};
    if (localtime64_r(&time64, &local) == nullptr) {
        *result = tm{};
        return nullptr;
    }
    *result = local;
    return result;
}
