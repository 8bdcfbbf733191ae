// Test-only helpers shared by the cpuinfo tests.
#pragma once

#include <ostream>
#include <string>

#include "bobbin/cpuinfo/cpuinfo_parser.h"

namespace bobbin::cpuinfo_detail {

inline void PrintTo(const CpuInfoCounts& c, std::ostream* os) {
    *os << "{" << c.logicalCount << " " << c.physicalCPUCount << " " << c.coresPerPhysicalCPUCount
        << " " << c.logicalCPUPerCoreCount << " " << c.totalSystemCPUCount << " "
        << c.physicalProcessorCacheSize << " " << c.cacheSizePerCore << " "
        << c.cacheSizePerLogicalCPU << "}";
}

// Expected counts; cores per physical processor are always 1.
inline CpuInfoCounts Counts(int logical, int physical, int perCore, int total,
                            unsigned long long cache = 0, unsigned long long perLogical = 0) {
    return {logical, physical, 1, perCore, total, cache, cache, perLogical};
}

inline std::string FixturePath(const std::string& name) {
    return std::string(BOBBIN_CPUINFO_TESTDATA) + "/" + name + ".txt";
}

}  // namespace bobbin::cpuinfo_detail
