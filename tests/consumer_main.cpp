// A user's program, built by .ci/run with strict warnings: 0 when bobbin works.
#include <bobbin/bobbin.h>

#include <cstdio>
#include <cstring>
#include <mutex>

int main() {
    CriticalSectionExt section;
    const std::lock_guard<CriticalSectionExt> hold(section);
    const Time64 epoch = 0;
    const bool works = std::strcmp(bobbin_version(), BOBBIN_VERSION_STRING) == 0 &&
                       section.IsAcquired() && gmtime64(&epoch)->tm_year == 70 &&
                       getAvailableCPUCount() >= 1;
    std::printf("consumer: bobbin %s %s\n", bobbin_version(), works ? "works" : "FAILS");
    return works ? 0 : 1;
}
