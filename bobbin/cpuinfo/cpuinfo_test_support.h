// Test-only helpers shared by the cpuinfo tests: fixture paths, expected counts.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <ostream>
#include <sstream>
#include <string>

#include "bobbin/cpuinfo/cpuinfo_parser.h"

namespace bobbin::cpuinfo_detail {

// Lets GoogleTest print counts that differ.
inline void PrintTo(const CpuInfoCounts& c, std::ostream* os) {
    *os << "{logical " << c.logicalCount << ", physical " << c.physicalCPUCount
        << ", cores/physical " << c.coresPerPhysicalCPUCount << ", logical/core "
        << c.logicalCPUPerCoreCount << ", total " << c.totalSystemCPUCount << ", cache "
        << c.physicalProcessorCacheSize << ", per core " << c.cacheSizePerCore << ", per logical "
        << c.cacheSizePerLogicalCPU << "}";
}

}  // namespace bobbin::cpuinfo_detail

namespace bobbin::testing {

// Counts as the probe's model derives them (cores per physical processor is 1;
// the per-core size is the package size whenever that is above 1).
inline cpuinfo_detail::CpuInfoCounts Counts(int logical, int physical, int perCore, int total,
                                            unsigned long long cache = 0,
                                            unsigned long long perLogical = 0) {
    cpuinfo_detail::CpuInfoCounts c;
    c.logicalCount = logical;
    c.physicalCPUCount = physical;
    c.coresPerPhysicalCPUCount = 1;
    c.logicalCPUPerCoreCount = perCore;
    c.totalSystemCPUCount = total;
    c.physicalProcessorCacheSize = cache;
    c.cacheSizePerCore = cache > 1 ? cache : 0;
    c.cacheSizePerLogicalCPU = perLogical;
    return c;
}

// A file of bobbin/cpuinfo/testdata/.
inline std::string FixturePath(const std::string& name) {
    return std::string(BOBBIN_CPUINFO_TESTDATA) + "/" + name;
}

inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << path;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

}  // namespace bobbin::testing
