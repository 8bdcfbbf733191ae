#include "bobbin/cpuinfo/get_cpu_info.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "bobbin/cpuinfo/cgroup_quota.h"
#include "bobbin/cpuinfo/cpuinfo_parser.h"
#include "cpuinfo_counts.h"

namespace {

using namespace bobbin::cpuinfo_detail;

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
        std::FILE* file =
            std::fopen((BOBBIN_CPUINFO_TESTDATA "/" + std::string(name) + ".txt").c_str(), "r");
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
    std::filesystem::copy_file(BOBBIN_CPUINFO_TESTDATA "/x86_smt.txt", path);
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

// Each layout gives /proc/self/cgroup (nullopt: unreadable) and
// /proc/self/mountinfo; the cgroup files are those of testdata/cgroup/tree: v2
// mounted at /v2 (or a sub-tree of it), the v1 `cpu` controller at /v1. The
// quota of 1 in its top directory lies above every mount and is never read.
TEST(CgroupQuotaTest, AvailableCountOfEachLayout) {
    const std::string v2 = "7 1 0:9 / /v2 rw - cgroup2 none rw\n";
    const std::string v1 = "8 1 0:9 / /v1 rw - cgroup x rw,cpu,cpuacct\n";
    const struct {
        const char* name;
        std::optional<std::string> cgroup;
        std::string mountinfo;
        int affinity, want;
    } layouts[] = {
        {"v2 quota at the leaf", "0::/leaf\n", v2, 8, 2},
        {"v2 tighter at the parent", "0::/p/c\n", v2, 8, 3},
        {"v2 no quota", "0::/none/c\n", v2, 8, 8},
        {"v2 quota above the affinity", "0::/big\n", v2, 2, 2},
        {"v2 garbage", "0::/garbage\n", v2, 8, 8},
        {"v2 truncated", "0::/cut\n", v2, 8, 8},
        {"v2 period past 64 bits", "0::/wide\n", v2, 8, 8},
        {"v2 mount of a sub-tree", "0::/pod/leaf\n", "7 1 0:9 /pod /v2 - cgroup2 x rw\n", 8, 2},
        {"v2 cgroup outside the mount", "0::/leaf\n", "7 1 0:9 /lea /v2/lea - cgroup2 x rw\n", 8,
         8},
        {"v2 dot-dot in the path", "0::/../x\n", v2, 8, 8},
        {"v1 below one processor", "4:cpu,cpuacct:/q\n", v1, 8, 1},
        {"v1 no quota", "4:cpu,cpuacct:/none\n", v1, 8, 8},
        {"v1 cpuacct hierarchy is not cpu", "4:cpuacct:/q\n", v1, 8, 8},
        {"v1 cpuacct mount is not cpu", "4:cpu:/q\n", "8 1 0:9 / /v1 - cgroup x rw,cpuacct\n", 8,
         8},
        {"v1 escaped mount point", "4:cpu:/q\n", "8 1 0:9 / /v\\061 shared:5 - cgroup x cpu\n", 8,
         1},
        {"v1 and v2: the tighter", "4:cpu:/q\n0::/leaf\n", v2 + v1, 8, 1},
        {"no cgroup files", std::nullopt, "", 8, 8},
        {"no affinity either", std::nullopt, "", 0, 1},
    };
    for (const auto& l : layouts) {
        const auto read = [&](const std::string& path) -> std::optional<std::string> {
            if (path == "/proc/self/cgroup") return l.cgroup;
            if (path == "/proc/self/mountinfo") return l.mountinfo;
            return ReadSmallFile(BOBBIN_CPUINFO_TESTDATA "/cgroup/tree" + path);
        };
        EXPECT_EQ(AvailableCPUCount(l.affinity, read), l.want) << l.name;
    }
}

// In a child's private mount namespace (as root), the fixture files of
// testdata/cgroup/bind/`quota` bound over those of the process's own cgroups
// (and the "none" ones over those above) decide the count; 100 if they cannot.
int AvailableWithBoundQuota(const std::string& quota) {
    if (const pid_t child = fork(); child != 0) {
        int status = 0;
        return waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
        _exit(100);
    bool bound = false;
    for (const CgroupDir& dir :
         FindCpuCgroups(ReadSmallFile("/proc/self/cgroup").value_or(""),
                        ReadSmallFile("/proc/self/mountinfo").value_or(""))) {
        for (std::string at = dir.path, fixture = quota; at.size() >= dir.top.size();
             at.resize(at.rfind('/')), fixture = "none") {
            for (const std::string file : {"/cpu.max", "/cpu.cfs_quota_us", "/cpu.cfs_period_us"}) {
                const std::string from = BOBBIN_CPUINFO_TESTDATA "/cgroup/bind/" + fixture + file;
                bound |= mount(from.c_str(), (at + file).c_str(), nullptr, MS_BIND, nullptr) == 0;
            }
        }
    }
    _exit(bound ? std::min(getAvailableCPUCount(), 99) : 100);
}

TEST(GetCpuInfoTest, AvailableCountFollowsTheQuotaFilesAtEachCall) {
    const int none = geteuid() == 0 ? AvailableWithBoundQuota("none") : 100;
    if (none == 100) GTEST_SKIP() << "needs root, a private mount namespace and cgroup files";
    EXPECT_EQ(none, std::min(getProcessorAffinityCount(), 99));
    EXPECT_EQ(AvailableWithBoundQuota("150000"), std::min(getProcessorAffinityCount(), 2));
    EXPECT_EQ(AvailableWithBoundQuota("50000"), 1);
}

// The public queries answer from /proc/cpuinfo; the affinity count follows the
// calling thread's own mask at every call, and the available count with it.
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
        EXPECT_EQ(getAvailableCPUCount(), 1);
    }).join();
    EXPECT_EQ(getProcessorAffinityCount(), CPU_COUNT(&original));
}

}  // namespace
