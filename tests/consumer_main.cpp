// A program of a bobbin user, built by .ci/run against an installed bobbin
// (find_package, pkg-config, shared) and as a subproject (add_subdirectory,
// FetchContent), with strict warnings. Exits 0 when the library works.
#include <bobbin/bobbin.h>

#include <cstdio>
#include <cstring>
#include <mutex>

int main() {
    if (std::strcmp(bobbin_version(), BOBBIN_VERSION_STRING) != 0) return 1;
    CriticalSectionExt section;
    {
        std::lock_guard<CriticalSectionExt> hold(section);
        if (!section.IsAcquired()) return 1;
    }
    const Time64 epoch = 0;
    TM64 date{};
    if (gmtime64_r(&epoch, &date) == nullptr || date.tm_year != 70) return 1;
    Mutex mutex("consumer");
    Mutex::Lock hold(mutex);
    struct Task : ThreadHot {
        int Run() override { return 5; }
    } task;
    if (!task.Start(0) || !task.TimedWaitForStop(10000) || task.GetExitCode() != 5) return 1;
    SynchEvent event(false, true, nullptr);
    if (!event.TimedWait(0) || getLogicalCPUCount() < 1 || getAvailableCPUCount() < 1) return 1;
    std::printf("consumer: bobbin %s linked and working\n", bobbin_version());
    return 0;
}
