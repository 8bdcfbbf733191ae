// The bytes as a zone file image and, up to the first NUL, as a rule string,
// through the zone-file reader and the rule builder that TZ and tzalloc64 use.
// A zone that is made converts a few instants into dates in range, or refuses
// them near the ends with EOVERFLOW; mktime64_z finds each date again, and of
// any fields gives a second whose local date it writes back. The bytes after
// the first 8 as fields give asctime64_r's one line within 35 bytes, or
// EINVAL, EOVERFLOW.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "bobbin/time/internal/range.h"
#include "bobbin/time/internal/rule.h"
#include "bobbin/time/internal/zone.h"
#include "bobbin/time/internal/zone_file.h"

namespace {

using bobbin::detail::kFirstTime;
using bobbin::detail::kLastTime;

bool Same(const TM64& a, const TM64& b) {
    return a.tm_year == b.tm_year && a.tm_yday == b.tm_yday && a.tm_hour == b.tm_hour &&
           a.tm_min == b.tm_min && a.tm_sec == b.tm_sec && a.tm_isdst == b.tm_isdst &&
           a.tm_gmtoff == b.tm_gmtoff;
}

// mktime64_z of date gives a second whose local date it writes back: for a
// date it read, that date itself; any other it may refuse.
bool FoundAgain(const Zone64* zone, TM64 date, bool read) {
    const TM64 given = date;
    TM64 back{};
    errno = 0;
    const Time64 time = mktime64_z(zone, &date);
    if (time == -1 && errno == EOVERFLOW) return !read;
    return localtime64_rz(zone, &time, &back) && Same(back, date) && (!read || Same(date, given));
}

// Within a second of a leap second a crafted file can make the wall clock
// read one date twice (an offset that is not a whole minute, a type held for
// that second alone), so mktime64 cannot give every second back there; the
// real leap-second zones are checked second by second by the unit tests.
bool NearLeapSecond(const Zone64* zone, Time64 time) {
    for (const auto& leap : zone->leap_seconds) {
        if (time >= leap.occurrence - 1 && time <= leap.occurrence + 1) return true;
    }
    return false;
}

void Convert(const Zone64* zone, const std::uint8_t* data, std::size_t size) {
    constexpr Time64 kReach = Time64{1} << 33;  // of 32-bit offsets and leap corrections
    Time64 times[] = {kFirstTime, kLastTime, 0, INT32_MIN, INT32_MAX, kLastTime + 1, 0};
    const std::size_t tail = std::min(size, sizeof(Time64));
    std::memcpy(&times[6], data + size - tail, tail);
    for (const Time64 time : times) {
        TM64 d{};
        errno = 0;
        if (localtime64_rz(zone, &time, &d) == nullptr) {
            if (errno != EOVERFLOW || (time > kFirstTime + kReach && time < kLastTime - kReach)) {
                std::abort();
            }
        } else if (time > kLastTime || d.tm_sec < 0 || d.tm_sec > 60 || d.tm_min < 0 ||
                   d.tm_min > 59 || d.tm_hour < 0 || d.tm_hour > 23 || d.tm_mday < 1 ||
                   d.tm_mday > 31 || d.tm_mon < 0 || d.tm_mon > 11 || d.tm_wday < 0 ||
                   d.tm_wday > 6 || d.tm_yday < 0 || d.tm_yday > 365 || d.tm_zone == nullptr ||
                   (!FoundAgain(zone, d, true) && !NearLeapSecond(zone, time))) {
            std::abort();
        }
    }
    int f[9] = {};
    std::memcpy(f, data, std::min(size, sizeof f));
    TM64 any{f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8] % 2, f[3], nullptr};
    if (!FoundAgain(zone, any, false)) std::abort();
}

void CheckText(const std::uint8_t* data, std::size_t size) {
    int f[9];
    if (size < sizeof(Time64) + sizeof f) return;
    std::memcpy(f, data + sizeof(Time64), sizeof f);
    const TM64 any{f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8], 0, nullptr};
    char* text = static_cast<char*>(std::malloc(35));  // ASan sees a write past the 35 bytes
    text[0] = 'x';
    errno = 0;
    const bool valid = any.tm_wday >= 0 && any.tm_wday <= 6 && any.tm_mon >= 0 && any.tm_mon <= 11;
    if (asctime64_r(&any, text) ? !valid || std::strchr(text, '\n') != text + std::strlen(text) - 1
                                : text[0] != 'x' || errno != (valid ? EOVERFLOW : EINVAL)) {
        std::abort();
    }
    std::free(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::unique_ptr<Zone64> image;
    if (bobbin::detail::ReadZoneImage(data, size, &image) == 0) Convert(image.get(), data, size);
    const std::string text(reinterpret_cast<const char*>(data),
                           strnlen(reinterpret_cast<const char*>(data), size));
    bobbin::detail::Rule rule;
    if (bobbin::detail::ParseRule(text.c_str(), &rule) != nullptr) {
        Convert(bobbin::detail::ZoneOfRule(rule, nullptr).get(), data, size);
    }
    CheckText(data, size);
    return 0;
}
