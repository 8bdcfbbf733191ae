// The bytes as a zone file image and, up to the first NUL, as a rule string.
// A zone that is read converts a few instants into dates whose fields are in
// range, or refuses them with EOVERFLOW; mktime64_z finds each date again,
// and of any fields gives a second whose local date it writes back.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bobbin/time/internal/range.h"
#include "bobbin/time/internal/zone.h"

namespace {

using bobbin::detail::kFirstTime;
using bobbin::detail::kLastTime;

bool InRange(const TM64& d) {
    return d.tm_sec >= 0 && d.tm_sec <= 60 && d.tm_min >= 0 && d.tm_min <= 59 && d.tm_hour >= 0 &&
           d.tm_hour <= 23 && d.tm_mday >= 1 && d.tm_mday <= 31 && d.tm_mon >= 0 &&
           d.tm_mon <= 11 && d.tm_wday >= 0 && d.tm_wday <= 6 && d.tm_yday >= 0 &&
           d.tm_yday <= 365 && (d.tm_isdst == 0 || d.tm_isdst == 1) && d.tm_zone != nullptr &&
           std::strlen(d.tm_zone) < 256;
}

bool SameLocalTime(const TM64& a, const TM64& b) {
    return a.tm_year == b.tm_year && a.tm_yday == b.tm_yday && a.tm_hour == b.tm_hour &&
           a.tm_min == b.tm_min && a.tm_sec == b.tm_sec && a.tm_isdst == b.tm_isdst &&
           a.tm_gmtoff == b.tm_gmtoff;
}

void Convert(const Zone64* zone, const std::uint8_t* data, std::size_t size) {
    Time64 times[] = {kFirstTime,     kLastTime,     0, -1, INT32_MIN, INT32_MAX, 4102444800,
                      kFirstTime - 1, kLastTime + 1, 0};
    if (size >= sizeof(Time64))
        std::memcpy(&times[9], data + size - sizeof(Time64), sizeof(Time64));
    for (const Time64 time : times) {
        TM64 date{}, back{};
        errno = 0;
        if (localtime64_rz(zone, &time, &date) == nullptr) {
            // Offsets and leap corrections are 32-bit: only near the ends.
            const Time64 reach = Time64{1} << 33;
            if (errno != EOVERFLOW || (time > kFirstTime + reach && time < kLastTime - reach)) {
                std::abort();
            }
            continue;
        }
        if (time < kFirstTime || time > kLastTime || !InRange(date)) std::abort();
        TM64 again = date;
        errno = 0;
        const Time64 found = mktime64_z(zone, &again);
        if (found == -1 && errno == EOVERFLOW) std::abort();
        if (!localtime64_rz(zone, &found, &back) || !SameLocalTime(back, date)) std::abort();
    }
    int fields[9] = {};
    std::memcpy(fields, data, std::min(size, sizeof fields));
    TM64 any{fields[0], fields[1], fields[2],     fields[3], fields[4], fields[5],
             fields[6], fields[7], fields[8] % 2, fields[3], nullptr};
    TM64 back{};
    errno = 0;
    const Time64 time = mktime64_z(zone, &any);
    if (time == -1 && errno == EOVERFLOW) return;
    if (!localtime64_rz(zone, &time, &back) || !SameLocalTime(back, any)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (Zone64* zone = bobbin::detail::ZoneFromFileImage(data, size)) {
        Convert(zone, data, size);
        tzfree64(zone);
    } else if (errno != EINVAL) {
        std::abort();
    }
    const std::string rule(reinterpret_cast<const char*>(data),
                           strnlen(reinterpret_cast<const char*>(data), size));
    if (Zone64* zone = bobbin::detail::ZoneFromRule(rule.c_str())) {
        Convert(zone, data, size);
        tzfree64(zone);
    } else if (errno != EINVAL) {
        std::abort();
    }
    return 0;
}
