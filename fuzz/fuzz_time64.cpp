// A time round trips UTC and local, or EOVERFLOW; any fields give asctime64_r's
// one line in 35 bytes (or EINVAL, EOVERFLOW) and mktime64's local time.
#include <bobbin/time/time64.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "bobbin/time/internal/range.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return setenv("TZ", "America/New_York", 1);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using bobbin::detail::kFirstTime;
    using bobbin::detail::kLastTime;
    Time64 time;
    int f[9];
    if (size < sizeof time + sizeof f) return 0;
    std::memcpy(&time, data, sizeof time);
    std::memcpy(f, data + sizeof time, sizeof f);
    TM64 date, back;
    errno = 0;
    const bool in_range = time >= kFirstTime && time <= kLastTime;
    if (gmtime64_r(&time, &date) ? !in_range || timegm64(&date) != time
                                 : in_range || errno != EOVERFLOW) {
        std::abort();
    }
    if (localtime64_r(&time, &date) && mktime64(&date) != time) std::abort();
    TM64 any{f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8] % 2, 0, nullptr};
    char* text = static_cast<char*>(std::malloc(35));  // ASan sees a write past the 35 bytes
    text[0] = 'x';
    errno = 0;
    const bool valid = any.tm_wday >= 0 && any.tm_wday <= 6 && any.tm_mon >= 0 && any.tm_mon <= 11;
    if (asctime64_r(&any, text) ? !valid || std::strchr(text, '\n') != text + std::strlen(text) - 1
                                : text[0] != 'x' || errno != (valid ? EOVERFLOW : EINVAL)) {
        std::abort();
    }
    std::free(text);
    const Time64 local = mktime64(&any);
    if (local != -1 && (!localtime64_r(&local, &back) || back.tm_year != any.tm_year ||
                        back.tm_yday != any.tm_yday || back.tm_sec != any.tm_sec ||
                        back.tm_gmtoff != any.tm_gmtoff)) {
        std::abort();
    }
    return 0;
}
