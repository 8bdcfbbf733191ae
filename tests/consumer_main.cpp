// Built against an installed bobbin, once through find_package and once
// through pkg-config. Exits 0 when the library works.
#include <bobbin/bobbin.h>

#include <cstdio>

int main() {
    CriticalSectionExt section;
    {
        CriticalSection::Lock hold(section);
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
    if (!task.Start(0) || !task.WaitForStop() || task.GetExitCode() != 5) return 2;
    SynchEvent event(false, true, nullptr);
    event.WaitForSignal(0);
    if (getLogicalCPUCount() < 1 || getProcessorAffinityCount() < 1) return 1;
    std::puts("consumer: bobbin linked and working");
    return 0;
}
