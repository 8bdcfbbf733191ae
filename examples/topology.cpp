// Prints the processor topology probe's view of this machine, the processors the
// CPU quota leaves to the process, and what the scheduler and the standard
// library report.
#include <bobbin/cpuinfo/get_cpu_info.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

int main() {
    std::puts("bobbin's probe (/proc/cpuinfo read once; affinity and quota at each call):");
    std::printf("  logical processors             %d\n", getLogicalCPUCount());
    std::printf("  physical processors            %d\n", getPhysicalCPUCount());
    std::printf("  cores per physical             %d\n", getCoresPerPhysicalCPUCount());
    std::printf("  logical per core               %d\n", getLogicalCPUPerCoreCount());
    std::printf("  total system processors        %d\n", getTotalSystemCPUCount());
    std::printf("  package cache                  %llu bytes\n",
                getPhysicalProcessorPackageCacheSize());
    std::printf("  cache per core                 %llu bytes\n",
                getPhysicalProcessorPackageCacheSizePerCore());
    std::printf("  cache per logical processor    %llu bytes\n",
                getPhysicalProcessorPackageCacheSizePerLogicalCPU());
    std::printf("  affinity count                 %d\n", getProcessorAffinityCount());
    std::printf("  available (with CPU quota)     %d\n", getAvailableCPUCount());

    std::puts("the scheduler and the standard library:");
    cpu_set_t mask;
    if (sched_getaffinity(0, sizeof mask, &mask) == 0) {
        std::printf("  sched_getaffinity CPU_COUNT    %d\n", CPU_COUNT(&mask));
    } else {
        std::puts("  sched_getaffinity              failed");
    }
    std::printf("  hardware_concurrency           %u\n", std::thread::hardware_concurrency());
    std::printf("  sysconf(_SC_NPROCESSORS_ONLN)  %ld\n", sysconf(_SC_NPROCESSORS_ONLN));
    std::printf("  sysconf(_SC_NPROCESSORS_CONF)  %ld\n", sysconf(_SC_NPROCESSORS_CONF));

    // Narrowed to one processor, this thread's affinity count follows at once.
    cpu_set_t one;
    CPU_ZERO(&one);
    int first = 0;
    while (first < CPU_SETSIZE && !CPU_ISSET(first, &mask)) ++first;
    if (first < CPU_SETSIZE) {
        CPU_SET(first, &one);
        if (sched_setaffinity(0, sizeof one, &one) == 0) {
            std::printf(
                "pinned to processor %d: affinity count %d, available %d, logical count still %d\n",
                first, getProcessorAffinityCount(), getAvailableCPUCount(), getLogicalCPUCount());
            sched_setaffinity(0, sizeof mask, &mask);
        }
    }
    return getLogicalCPUCount() > 0 ? 0 : 1;  // 0 only if /proc/cpuinfo could be read
}
