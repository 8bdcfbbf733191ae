#include "bobbin/cpuinfo/get_cpu_info.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bobbin/cpuinfo/cpuinfo_parser.h"
#include "bobbin/cpuinfo/cpuinfo_test_support.h"

namespace {

using namespace bobbin::cpuinfo_detail;

// Runs `read` on eight threads released at the same moment; returns what each saw.
std::vector<CpuInfoCounts> AtOnce(const std::function<CpuInfoCounts()>& read) {
    std::vector<CpuInfoCounts> seen(8);
    std::atomic<int> waiting{8};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (--waiting; waiting.load() > 0;) std::this_thread::yield();
            seen[t] = read();
        });
    }
    for (std::thread& thread : threads) thread.join();
    return seen;
}

CpuInfoCounts ReadAll(CpuInfoProbe& probe) {
    using C = CpuInfoCounts;
    return {probe.Get(&C::logicalCount),
            probe.Get(&C::physicalCPUCount),
            probe.Get(&C::coresPerPhysicalCPUCount),
            probe.Get(&C::logicalCPUPerCoreCount),
            probe.Get(&C::totalSystemCPUCount),
            probe.Get(&C::physicalProcessorCacheSize),
            probe.Get(&C::cacheSizePerCore),
            probe.Get(&C::cacheSizePerLogicalCPU)};
}

CpuInfoCounts ReadAllPublic() {
    return CpuInfoCounts{getLogicalCPUCount(),
                         getPhysicalCPUCount(),
                         getCoresPerPhysicalCPUCount(),
                         getLogicalCPUPerCoreCount(),
                         getTotalSystemCPUCount(),
                         getPhysicalProcessorPackageCacheSize(),
                         getPhysicalProcessorPackageCacheSizePerCore(),
                         getPhysicalProcessorPackageCacheSizePerLogicalCPU()};
}

int FailingGetAffinity(pid_t, std::size_t, cpu_set_t*) {
    return -1;
}

// A missing file leaves zeros and is retried; the affinity fallback is the total count.
TEST(ProbeTest, FailedOpenLeavesZerosAndIsRetriedUntilFinal) {
    const std::string path = ::testing::TempDir() + "bobbin_cpuinfo_" + std::to_string(getpid());
    CpuInfoProbe probe(path.c_str());
    EXPECT_EQ(probe.Calculate(), 1);
    EXPECT_EQ(ReadAll(probe), CpuInfoCounts{});
    EXPECT_EQ(probe.AffinityCount(FailingGetAffinity), 0);
    EXPECT_FALSE(probe.HasQueried());
    std::filesystem::copy_file(FixturePath("three_cpus_ht"), path);
    EXPECT_EQ(probe.AffinityCount(FailingGetAffinity), 2);  // the total, not the logical 3
    std::remove(path.c_str());
    EXPECT_EQ(probe.Calculate(), 0);  // final: not read again
    EXPECT_EQ(ReadAll(probe), Counts(3, 1, 2, 2));
}

// Fresh probes, each first queried by eight threads at once (run under ThreadSanitizer).
TEST(ProbeTest, EightFirstQueriesAtOnceSeeTheWholeState) {
    const std::string path = FixturePath("x86_smt");
    for (int round = 0; round < 25; ++round) {
        CpuInfoProbe probe(path.c_str());
        for (const CpuInfoCounts& counts : AtOnce([&] { return ReadAll(probe); }))
            EXPECT_EQ(counts, Counts(8, 4, 2, 8, 8388608, 4194304)) << "round " << round;
    }
}

// The first public queries of this process (ctest runs each test in its own).
TEST(GetCpuInfoTest, EightThreadsFirstQueryAtOnceMatchThisMachine) {
    std::FILE* file = std::fopen("/proc/cpuinfo", "r");
    ASSERT_NE(file, nullptr);
    const CpuInfoCounts expected = ParseCpuInfo(file);
    std::fclose(file);
    for (const CpuInfoCounts& counts : AtOnce(ReadAllPublic)) EXPECT_EQ(counts, expected);

    std::ifstream in("/proc/cpuinfo");
    int processors = 0;
    for (std::string line; std::getline(in, line);) processors += line.rfind("processor", 0) == 0;
    EXPECT_GT(processors, 0);
    EXPECT_EQ(getLogicalCPUCount(), processors);
}

// The count is the calling thread's own mask, taken afresh at every call.
TEST(GetCpuInfoTest, AffinityCountFollowsSchedSetaffinity) {
    cpu_set_t original;
    ASSERT_EQ(sched_getaffinity(0, sizeof original, &original), 0);
    const int allowed = CPU_COUNT(&original);
    EXPECT_EQ(getProcessorAffinityCount(), allowed);
    std::thread([&] {
        int first = 0;
        while (!CPU_ISSET(first, &original)) ++first;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(first, &one);
        ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
        EXPECT_EQ(getProcessorAffinityCount(), 1);
    }).join();
    EXPECT_EQ(getProcessorAffinityCount(), allowed);
}

}  // namespace
