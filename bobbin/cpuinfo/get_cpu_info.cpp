#include "bobbin/cpuinfo/get_cpu_info.h"

#include <sched.h>

#include "bobbin/cpuinfo/cgroup_quota.h"
#include "bobbin/cpuinfo/cpuinfo_parser.h"

using bobbin::cpuinfo_detail::CpuInfoCounts;
using bobbin::cpuinfo_detail::CpuInfoProbe;

namespace {

// The process-wide state and its probe (calculateCPUInfo). Constant-initialised:
// no work at start-up, usable from any static initialiser.
CpuInfoProbe probe("/proc/cpuinfo");

}  // namespace

int getLogicalCPUCount() {
    return probe.Get(&CpuInfoCounts::logicalCount);
}

int getPhysicalCPUCount() {
    return probe.Get(&CpuInfoCounts::physicalCPUCount);
}

int getCoresPerPhysicalCPUCount() {
    return probe.Get(&CpuInfoCounts::coresPerPhysicalCPUCount);
}

int getLogicalCPUPerCoreCount() {
    return probe.Get(&CpuInfoCounts::logicalCPUPerCoreCount);
}

int getTotalSystemCPUCount() {
    return probe.Get(&CpuInfoCounts::totalSystemCPUCount);
}

unsigned long long getPhysicalProcessorPackageCacheSize() {
    return probe.Get(&CpuInfoCounts::physicalProcessorCacheSize);
}

unsigned long long getPhysicalProcessorPackageCacheSizePerCore() {
    return probe.Get(&CpuInfoCounts::cacheSizePerCore);
}

unsigned long long getPhysicalProcessorPackageCacheSizePerLogicalCPU() {
    return probe.Get(&CpuInfoCounts::cacheSizePerLogicalCPU);
}

int getProcessorAffinityCount() {
    return probe.AffinityCount(&::sched_getaffinity);
}

int getAvailableCPUCount() {
    return bobbin::cpuinfo_detail::AvailableCPUCount(getProcessorAffinityCount(),
                                                     bobbin::cpuinfo_detail::ReadSmallFile);
}
