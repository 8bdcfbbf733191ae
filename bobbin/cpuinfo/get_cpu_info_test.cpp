#include "bobbin/cpuinfo/get_cpu_info.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "bobbin/cpuinfo/cpuinfo_parser.h"
#include "cpuinfo_counts.h"

namespace {

using namespace bobbin::cpuinfo_detail;

std::string Fixture(const std::string& name) {
    return BOBBIN_CPUINFO_TESTDATA "/" + name;
}

TEST(ParseTest, CountsOfEachFixture) {
    constexpr unsigned long long kMax = 2147483647ULL * 1024;  // INT_MAX kilobytes
    const std::pair<const char*, CpuInfoCounts> cases[] = {
        {"two_cpus_6144k", Counts(2, 2, 1, 2, 6291456, 6291456)},
        {"four_cpus_ht_8192k", Counts(4, 2, 2, 4, 8388608, 4194304)},
        {"three_cpus_ht", Counts(3, 1, 2, 2)},  // the total drops the odd processor
        {"two_cache_lines", Counts(2, 2, 1, 2, 1048576, 1048576)},  // the last line wins
        {"cache_no_blank", Counts(1, 1, 1, 1, 49152, 49152)},       // "2048" loses its "2"
        {"cache_huge", Counts(0, 0, 1, 0, kMax, kMax)},
        {"cache_negative", Counts(0, 0, 1, 0)},
        {"flags_htt", Counts(2, 1, 2, 2)},
        {"flags_ht_further_in", Counts(2, 2, 1, 2)},   // pht, xht, Ht, HT: no mark
        {"nul_hides_mark", Counts(1, 1, 1, 1)},        // a NUL byte ends the line's text
        {"nul_in_piece", Counts(1, 1, 1, 1)},          // ... but not its 1023-byte piece
        {"capital_processor", Counts(1, 1, 1, 1)},     // case-sensitive key
        {"processor_longer_key", Counts(3, 3, 1, 3)},  // a prefix match
        {"long_line", Counts(2, 2, 1, 2)},             // a 1023-byte piece ends a line early
        {"empty", Counts(0, 0, 1, 0)},
        {"x86_smt", Counts(8, 4, 2, 8, 8388608, 4194304)},
        {"vm_ht_no_smt", Counts(4, 2, 2, 4, 110100480, 55050240)},
        {"arm64", Counts(4, 4, 1, 4)},
    };
    for (const auto& [name, want] : cases) {
        std::FILE* file = std::fopen(Fixture(std::string(name) + ".txt").c_str(), "r");
        ASSERT_NE(file, nullptr) << name;
        EXPECT_EQ(ParseCpuInfo(file), want) << name;
        std::fclose(file);
    }
}

// A missing file leaves zeros and is retried. The query that first opens it is
// made by eight threads at once, and each sees the whole state (run under TSan).
TEST(ProbeTest, FailedOpenIsRetriedAndFirstQueriesAtOnceSeeTheWholeState) {
    const auto failing = [](pid_t, std::size_t, cpu_set_t*) { return -1; };
    const std::string path = ::testing::TempDir() + "bobbin_cpuinfo_" + std::to_string(getpid());
    CpuInfoProbe probe(path.c_str());
    EXPECT_EQ(probe.Get(&CpuInfoCounts::logicalCount), 0);
    EXPECT_EQ(probe.AffinityCount(failing), 0);  // the total count stands in
    std::filesystem::copy_file(Fixture("x86_smt.txt"), path);
    std::vector<std::tuple<int, int, unsigned long long>> seen(8);  // first, derived, last
    std::atomic<int> waiting{8};
    std::vector<std::thread> threads;
    for (auto& counts : seen)
        threads.emplace_back([&, &out = counts] {
            for (--waiting; waiting.load() > 0;) std::this_thread::yield();
            out = {probe.Get(&CpuInfoCounts::logicalCount), probe.AffinityCount(failing),
                   probe.Get(&CpuInfoCounts::cacheSizePerLogicalCPU)};
        });
    for (std::thread& thread : threads) thread.join();
    std::remove(path.c_str());
    for (const auto& counts : seen) EXPECT_EQ(counts, std::make_tuple(8, 8, 4194304ULL));
    EXPECT_EQ(probe.Get(&CpuInfoCounts::logicalCount), 8);  // final: not read again
}

// The public queries answer from /proc/cpuinfo; the affinity count follows the
// calling thread's own mask at every call.
TEST(GetCpuInfoTest, QueriesMatchThisMachineAndFollowSchedSetaffinity) {
    std::FILE* file = std::fopen("/proc/cpuinfo", "r");
    ASSERT_NE(file, nullptr);
    const CpuInfoCounts machine = ParseCpuInfo(file);
    std::fclose(file);
    EXPECT_EQ(Tie(machine),
              std::make_tuple(getLogicalCPUCount(), getPhysicalCPUCount(),
                              getCoresPerPhysicalCPUCount(), getLogicalCPUPerCoreCount(),
                              getTotalSystemCPUCount(), getPhysicalProcessorPackageCacheSize(),
                              getPhysicalProcessorPackageCacheSizePerCore(),
                              getPhysicalProcessorPackageCacheSizePerLogicalCPU()));
    cpu_set_t original;
    ASSERT_EQ(sched_getaffinity(0, sizeof original, &original), 0);
    EXPECT_EQ(getProcessorAffinityCount(), CPU_COUNT(&original));
    std::thread([] {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu(), &one);  // the processor it runs on is in its mask
        ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
        EXPECT_EQ(getProcessorAffinityCount(), 1);
    }).join();
    EXPECT_EQ(getProcessorAffinityCount(), CPU_COUNT(&original));
}

}  // namespace
