// Test helper: compares and prints the probe's counts, and builds expected ones.
#pragma once

#include <ostream>
#include <tuple>

#include "bobbin/cpuinfo/cpuinfo_parser.h"

namespace bobbin::cpuinfo_detail {

inline auto Tie(const CpuInfoCounts& c) {
    return std::tie(c.logicalCount, c.physicalCPUCount, c.coresPerPhysicalCPUCount,
                    c.logicalCPUPerCoreCount, c.totalSystemCPUCount, c.physicalProcessorCacheSize,
                    c.cacheSizePerCore, c.cacheSizePerLogicalCPU);
}

inline bool operator==(const CpuInfoCounts& a, const CpuInfoCounts& b) {
    return Tie(a) == Tie(b);
}

inline void PrintTo(const CpuInfoCounts& c, std::ostream* os) {
    std::apply([os](auto... v) { ((*os << v << ' '), ...); }, Tie(c));
}

// Expected counts; cores per physical processor are always 1.
inline CpuInfoCounts Counts(int logical, int physical, int perCore, int total,
                            unsigned long long cache = 0, unsigned long long perLogical = 0) {
    return {logical, physical, 1, perCore, total, cache, cache, perLogical};
}

}  // namespace bobbin::cpuinfo_detail
