// One input drives the calendar's three surfaces: a time through gmtime64_r
// and timegm64 (the time back inside the range, EOVERFLOW past either end),
// the same time through localtime64_r and mktime64 under a zone with daylight
// saving (the time back), and arbitrary fields through mktime64 (the date it
// normalises is the local time of its result) and asctime64_r (never more
// than its 35 bytes written, one line).
#include <bobbin/time/time64.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const bool file = access("/usr/share/zoneinfo/America/New_York", R_OK) == 0;
    setenv("TZ", file ? "America/New_York" : "EST5EDT,M3.2.0,M11.1.0", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr Time64 kFirst = -67768040609740800, kLast = 67768036191676799;
    Time64 time;
    int fields[9];
    if (size < sizeof time + sizeof fields) return 0;
    std::memcpy(&time, data, sizeof time);
    std::memcpy(fields, data + sizeof time, sizeof fields);

    TM64 date, back;
    errno = 0;
    const bool in_range = time >= kFirst && time <= kLast;
    if (gmtime64_r(&time, &date) == nullptr ? in_range || errno != EOVERFLOW
                                            : !in_range || timegm64(&date) != time) {
        std::abort();
    }
    if (localtime64_r(&time, &date) != nullptr && mktime64(&date) != time) std::abort();

    TM64 any{fields[0], fields[1], fields[2],     fields[3], fields[4], fields[5],
             fields[6], fields[7], fields[8] % 2, 0,         nullptr};
    char* text = static_cast<char*>(std::malloc(35));  // ASan sees a write past the 35 bytes
    if (asctime64_r(&any, text) != nullptr) {
        const char* end = static_cast<const char*>(std::memchr(text, '\0', 35));
        if (end == nullptr || end == text || end[-1] != '\n' ||
            std::strchr(text, '\n') != end - 1) {
            std::abort();
        }
    }
    std::free(text);
    const Time64 local = mktime64(&any);
    if (local != -1 && (localtime64_r(&local, &back) == nullptr || back.tm_year != any.tm_year ||
                        back.tm_yday != any.tm_yday || back.tm_hour != any.tm_hour ||
                        back.tm_sec != any.tm_sec || back.tm_gmtoff != any.tm_gmtoff)) {
        std::abort();
    }
    return 0;
}
