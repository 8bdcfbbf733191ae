// Processor topology probe: how many processors the machine has, how they are
// grouped into physical processors and cores, how large the processor cache is,
// on how many processors the calling thread may run, and how many it may use
// under the CPU quota of the process's control group. To size a pool of worker
// threads, use getAvailableCPUCount(): the topology counts describe the machine,
// not what the process may use.
//
// The first query that can open /proc/cpuinfo reads it once; every later query
// returns what was stored then, without reading the file or taking a lock. The
// model is a simple one: each "processor" entry is a logical processor; if the
// "flags" carry the hyper-threading mark (a token beginning with "ht"), every two
// logical processors form one physical processor, otherwise each logical
// processor is a physical processor of its own; each physical processor has one
// core; the "cache size" is one physical processor's cache.
//
// Any thread may make the first query, also several at once. No query reports
// an error: when /proc/cpuinfo cannot be opened, every query but the last two
// returns 0 and the next query tries again. Only getAvailableCPUCount, which
// reads files, allocates, and it throws std::bad_alloc when memory runs out.
#pragma once

#include "bobbin/export.h"

// Number of logical processors: the count of "processor" entries.
BOBBIN_EXPORT int getLogicalCPUCount();

// Number of physical processors: half the logical count (rounded down) with the
// hyper-threading mark, else the logical count.
BOBBIN_EXPORT int getPhysicalCPUCount();

// Cores per physical processor: 1 once the file has been read.
BOBBIN_EXPORT int getCoresPerPhysicalCPUCount();

// Logical processors per core: 2 with the hyper-threading mark, else 1.
BOBBIN_EXPORT int getLogicalCPUPerCoreCount();

// Physical processors times logical processors per core (with the mark and an odd
// logical count this is one less than the logical count).
BOBBIN_EXPORT int getTotalSystemCPUCount();

// Cache size of one physical processor in bytes ("cache size" in KB times 1024;
// the last such line wins; 0 without one, or when it is no positive number).
BOBBIN_EXPORT unsigned long long getPhysicalProcessorPackageCacheSize();

// Bytes of cache per core (the package size when it is above 1, else 0).
BOBBIN_EXPORT unsigned long long getPhysicalProcessorPackageCacheSizePerCore();

// Bytes of cache per logical processor (the package size divided by the logical
// processors per core when it is above 1, else 0).
BOBBIN_EXPORT unsigned long long getPhysicalProcessorPackageCacheSizePerLogicalCPU();

// Number of processors on which the calling thread may run, counted afresh at
// every call from its scheduler affinity mask (1024 processors at most). Only if
// the scheduler cannot tell does it return getTotalSystemCPUCount().
BOBBIN_EXPORT int getProcessorAffinityCount();

// Number of processors the calling thread may use, bounded by the CPU quota of
// the process's control group: min(getProcessorAffinityCount(), quota / period
// rounded up), at least 1. The quota is the tightest of cgroup v2 "cpu.max"
// from the process's cgroup up to the mount point and cgroup v1
// "cpu.cfs_quota_us" over "cpu.cfs_period_us" of the cpu controller, located
// through /proc/self/cgroup and /proc/self/mountinfo. Without a quota (none
// set, no cgroup files, or files that cannot be read or parsed) it is
// getProcessorAffinityCount(), or 1 should that be 0. Reads the files and the
// affinity mask afresh at every call and keeps nothing.
BOBBIN_EXPORT int getAvailableCPUCount();
