// gmtime64_r then timegm64 gives every time inside the range back; outside it
// gmtime64_r returns null with errno EOVERFLOW.
#include <bobbin/time/time64.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

Time64 Bound(int year, int mon, int mday, int hour, int min, int sec) {
    TM64 date{};
    date.tm_year = year;
    date.tm_mon = mon;
    date.tm_mday = mday;
    date.tm_hour = hour;
    date.tm_min = min;
    date.tm_sec = sec;
    return timegm64(&date);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Time64 kFirst = Bound(INT_MIN, 0, 1, 0, 0, 0);
    static const Time64 kLast = Bound(INT_MAX, 11, 31, 23, 59, 59);
    if (size < sizeof(Time64)) return 0;
    Time64 time;
    std::memcpy(&time, data, sizeof time);
    TM64 date;
    errno = 0;
    TM64* result = gmtime64_r(&time, &date);
    if (time < kFirst || time > kLast) {
        if (result != nullptr || errno != EOVERFLOW) std::abort();
        return 0;
    }
    if (result != &date || timegm64(&date) != time) std::abort();
    return 0;
}
