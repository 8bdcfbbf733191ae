#include "bobbin/cpuinfo/get_cpu_info.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <tuple>

#include "background.h"
#include "bobbin/cpuinfo/internal/cgroup_quota.h"
#include "bobbin/cpuinfo/internal/cpuinfo_parser.h"

namespace {

using namespace bobbin::detail;
namespace fs = std::filesystem;

auto Tie(const CpuInfoCounts& c) {
    return std::tie(c.logical_count, c.physical_cpu_count, c.cores_per_physical_cpu_count,
                    c.logical_cpu_per_core_count, c.total_system_cpu_count,
                    c.physical_processor_cache_size, c.cache_size_per_core,
                    c.cache_size_per_logical_cpu);
}

// Only "processor..." keys count; only flags from "ht" on mark, not after a colon or NUL;
// a piece of a long line is a line; atoi reads a cache size; the last cache line wins.
TEST(ParseTest, CountsOfEachFixture) {
    constexpr unsigned long long kMax = 2147483647ULL * 1024;  // INT_MAX kilobytes
    const std::pair<const char*, CpuInfoCounts> cases[] = {
        {"four_cpus_ht_8192k", {4, 2, 1, 2, 4, 8388608, 8388608, 4194304}},
        {"three_cpus_htt", {3, 1, 1, 2, 2, 0, 0, 0}},
        {"processor_keys", {4, 4, 1, 1, 4, 0, 0, 0}},
        {"marks_not_seen", {4, 4, 1, 1, 4, 0, 0, 0}},
        {"long_lines", {3, 3, 1, 1, 3, 0, 0, 0}},
        {"cache_no_blank", {1, 1, 1, 1, 1, 49152, 49152, 49152}},  // "2048": the "2" is cut
        {"cache_atoi", {1, 1, 1, 1, 1, 1024, 1024, 1024}},         // "\t\v\f\r+1KB"
        {"cache_huge", {0, 0, 1, 1, 0, kMax, kMax, kMax}},
        {"cache_negative", {0, 0, 1, 1, 0, 0, 0, 0}}};
    for (const auto& [name, want] : cases) {
        const std::string path = BOBBIN_CPUINFO_TESTDATA "/" + std::string(name) + ".txt";
        const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(fopen(path.c_str(), "r"),
                                                                   fclose);
        ASSERT_NE(file, nullptr) << path;
        EXPECT_EQ(Tie(ParseCpuInfo(file.get())), Tie(want)) << name;
    }
}

// A missing file leaves zeros and is retried; first queries at once see it all.
TEST(ProbeTest, FailedOpenIsRetriedAndFirstQueriesAtOnceSeeTheWholeState) {
    const auto failing = [](pid_t, std::size_t, cpu_set_t*) { return -1; };
    const std::string path = ::testing::TempDir() + "bobbin_cpuinfo_" + std::to_string(getpid());
    CpuInfoProbe probe(path.c_str());
    EXPECT_EQ(probe.Get(&CpuInfoCounts::logical_count), 0) << "no file: the counts are 0";
    fs::copy_file(BOBBIN_CPUINFO_TESTDATA "/x86_smt.txt", path);
    const auto files = std::distance(fs::directory_iterator("/proc/self/fd"), {});
    std::atomic<int> wrong_logical{0}, wrong_affinity{0}, wrong_cache{0};
    bobbin::testing::OnThreads(8, [&](int) {
        wrong_logical += probe.Get(&CpuInfoCounts::logical_count) != 8;
        wrong_affinity += probe.AffinityCount(failing) != 8;
        wrong_cache += probe.Get(&CpuInfoCounts::cache_size_per_logical_cpu) != 4194304;
    });
    EXPECT_EQ(wrong_logical.load(), 0) << "the file is read once it appears, by whichever thread";
    EXPECT_EQ(wrong_affinity.load(), 0) << "without a mask the affinity count is the total";
    EXPECT_EQ(wrong_cache.load(), 0) << "no query sees a state half written";
    EXPECT_EQ(std::distance(fs::directory_iterator("/proc/self/fd"), {}), files)
        << "the file is closed after reading";
    fs::copy_file(BOBBIN_CPUINFO_TESTDATA "/empty.txt", path, fs::copy_options::overwrite_existing);
    EXPECT_EQ(probe.Get(&CpuInfoCounts::logical_count), 8) << "the state is final: not read again";
    std::remove(path.c_str());
}

// Layouts over testdata/cgroup/tree: v2 at /v2, v1 at /v1, a quota above both.
TEST(CgroupQuotaTest, AvailableCountOfEachLayout) {
    const std::string v2 = "7 1 0:9 / /v2 rw - cgroup2 none rw\n";
    const std::string v1 = "8 1 0:9 / /v1 rw - cgroup x rw,cpu,cpuacct\n";
    const struct {
        const char* name;
        std::optional<std::string> cgroup;
        std::string mountinfo;
        int affinity, want;
    } layouts[] = {
        {"v2 tighter at the parent", "0::/p/c\n", v2, 8, 3},
        {"v2 no quota", "0::/none/c\n", v2, 8, 8},
        {"v2 quota above the affinity", "0::/big\n", v2, 2, 2},
        {"v2 garbage", "0::/garbage\n", v2, 8, 8},
        {"v2 period past 64 bits", "0::/wide\n", v2, 8, 8},
        {"v2 quota 1, period 2^63 - 1", "0::/at_limit\n", v2, 8, 1},
        {"v2 quota 2^63 - 1, period 1", "0::/huge\n", v2, 8, 8},
        {"v2 cpu.max of two chunks", "0::/long\n", v2, 8, 2},
        {"v2 mount of a sub-tree", "0::/pod/leaf\n", "7 1 0:9 /pod /v2 - cgroup2 x rw\n", 8, 2},
        {"v2 outside the mount", "0::/leaf\n", "7 1 0:9 /lea /v2/lea - cgroup2 x rw\n", 8, 8},
        {"v2 dot-dot in the path", "0::/../x\n", v2, 8, 8},
        {"v1 cpuacct hierarchy is not cpu", "4:cpuacct:/q\n", v1, 8, 8},
        {"v1 cpuacct mount", "4:cpu:/q\n", "8 1 0:9 / /v1 - cgroup x rw,cpuacct\n", 8, 8},
        {"v1 escaped mount", "4:cpu:/q\n", "8 1 0:9 / /\\166\\061 shared:5 - cgroup x cpu\n", 8, 1},
        {"v1 and v2: the tighter", "4:cpu:/q\n0::/leaf\n", v2 + v1, 8, 1},
        {"no cgroup files, no affinity", std::nullopt, "", 0, 1},
    };
    for (const auto& l : layouts) {
        const auto read = [&](const std::string& path) -> std::optional<std::string> {
            if (path == "/proc/self/cgroup") return l.cgroup;
            if (path == "/proc/self/mountinfo") return l.mountinfo;
            return ReadSmallFile(BOBBIN_CPUINFO_TESTDATA "/cgroup/tree" + path);
        };
        EXPECT_EQ(AvailableCPUCount(l.affinity, read), l.want) << l.name;
    }
    EXPECT_EQ(ReadSmallFile("/dev/zero"), std::nullopt) << "an endless file is no quota file";
}

// Binds testdata/cgroup/bind's quota of half a processor over the quota files of the
// process's cgroups, in a mount namespace of the calling thread's own; false: can't.
bool BindHalfAProcessorQuota() {
    if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    bool bound = false;
    for (const CgroupDir& dir :
         FindCpuCgroups(ReadSmallFile("/proc/self/cgroup").value_or(""),
                        ReadSmallFile("/proc/self/mountinfo").value_or(""))) {
        for (const std::string file : {"/cpu.max", "/cpu.cfs_quota_us", "/cpu.cfs_period_us"}) {
            const std::string from = BOBBIN_CPUINFO_TESTDATA "/cgroup/bind" + file;
            bound |= mount(from.c_str(), (dir.path + file).c_str(), nullptr, MS_BIND, nullptr) == 0;
        }
    }
    return bound;
}

// Quota files bound over the cgroup and the thread's own mask decide the counts at each call.
TEST(GetCpuInfoTest, CountsFollowTheQuotaFilesAndSchedSetaffinityAtEachCall) {
    cpu_set_t one;
    bool bound = false;
    int with_quota = 0;
    bobbin::testing::OnThreads(1, [&](int) {
        if ((bound = BindHalfAProcessorQuota())) with_quota = getAvailableCPUCount();
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu(), &one);  // the processor it runs on is in its mask
        ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
        EXPECT_EQ(getProcessorAffinityCount(), 1) << "the mask is read afresh at each call";
        EXPECT_EQ(getAvailableCPUCount(), 1) << "the available count is bounded by the mask";
    });
    if (!bound) GTEST_SKIP() << "needs root, a mount namespace and cgroup files";
    EXPECT_EQ(with_quota, 1) << "a quota bound over the cgroup bounds the count";
}

}  // namespace
