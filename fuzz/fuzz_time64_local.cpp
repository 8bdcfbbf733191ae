// localtime64_r and mktime64 over arbitrary inputs under a fixed zone with
// daylight saving: no crash, no sanitizer report, and a converted time maps
// back to itself.
#include <bobbin/time/time64.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
    tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Time64 time;
    int fields[7];
    if (size < sizeof time + sizeof fields) return 0;
    std::memcpy(&time, data, sizeof time);
    std::memcpy(fields, data + sizeof time, sizeof fields);

    TM64 local;
    if (localtime64_r(&time, &local) != nullptr) {
        TM64 copy = local;
        if (mktime64(&copy) != time) std::abort();
    }

    TM64 date{};
    date.tm_sec = fields[0];
    date.tm_min = fields[1];
    date.tm_hour = fields[2];
    date.tm_mday = fields[3];
    date.tm_mon = fields[4];
    date.tm_year = fields[5];
    date.tm_isdst = fields[6] % 2 - (fields[6] < 0);
    mktime64(&date);
    return 0;
}
