#include "bobbin/cpuinfo/get_cpu_info.h"

#include <sched.h>

#include "bobbin/cpuinfo/internal/cgroup_quota.h"
#include "bobbin/cpuinfo/internal/cpuinfo_parser.h"

using bobbin::detail::CpuInfoCounts;
using bobbin::detail::CpuInfoProbe;

namespace {

// The process-wide state and its probe (calculateCPUInfo). Constant-initialised:
// no work at start-up, usable from any static initialiser.
CpuInfoProbe probe("/proc/cpuinfo");

}  // namespace

int getLogicalCPUCount() {
    return probe.Get(&CpuInfoCounts::logical_count);
}

int getPhysicalCPUCount() {
    return probe.Get(&CpuInfoCounts::physical_cpu_count);
}

int getCoresPerPhysicalCPUCount() {
    return probe.Get(&CpuInfoCounts::cores_per_physical_cpu_count);
}

int getLogicalCPUPerCoreCount() {
    return probe.Get(&CpuInfoCounts::logical_cpu_per_core_count);
}

int getTotalSystemCPUCount() {
    return probe.Get(&CpuInfoCounts::total_system_cpu_count);
}

unsigned long long getPhysicalProcessorPackageCacheSize() {
    return probe.Get(&CpuInfoCounts::physical_processor_cache_size);
}

unsigned long long getPhysicalProcessorPackageCacheSizePerCore() {
    return probe.Get(&CpuInfoCounts::cache_size_per_core);
}

unsigned long long getPhysicalProcessorPackageCacheSizePerLogicalCPU() {
    return probe.Get(&CpuInfoCounts::cache_size_per_logical_cpu);
}

int getProcessorAffinityCount() {
    return probe.AffinityCount(&::sched_getaffinity);
}

int getAvailableCPUCount() {
    return bobbin::detail::AvailableCPUCount(getProcessorAffinityCount(),
                                             bobbin::detail::ReadSmallFile);
}
