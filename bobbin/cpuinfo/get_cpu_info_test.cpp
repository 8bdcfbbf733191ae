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
#include <memory>
#include <thread>
#include <tuple>

#include "background.h"
#include "bobbin/cpuinfo/internal/cgroup_quota.h"
#include "bobbin/cpuinfo/internal/cpuinfo_parser.h"

namespace {

using namespace bobbin::detail;

auto Tie(const CpuInfoCounts& c) {
    return std::tie(c.logical_count, c.physical_cpu_count, c.cores_per_physical_cpu_count,
                    c.logical_cpu_per_core_count, c.total_system_cpu_count,
                    c.physical_processor_cache_size, c.cache_size_per_core,
                    c.cache_size_per_logical_cpu);
}

auto Counts(int logical, int physical, int perCore, int total, unsigned long long cache = 0,
            unsigned long long perLogical = 0) {
    return std::make_tuple(logical, physical, 1, perCore, total, cache, cache, perLogical);
}

// The last cache line wins; "2048" without a blank loses its "2"; pht, Ht are no
// mark; a NUL ends the text of its line, not its piece; "Processor" is no key.
TEST(ParseTest, CountsOfEachFixture) {
    constexpr unsigned long long kMax = 2147483647ULL * 1024;  // INT_MAX kilobytes
    const std::pair<const char*, decltype(Counts(0, 0, 0, 0))> cases[] = {
        {"two_cpus_6144k", Counts(2, 2, 1, 2, 6291456, 6291456)},
        {"four_cpus_ht_8192k", Counts(4, 2, 2, 4, 8388608, 4194304)},
        {"three_cpus_ht", Counts(3, 1, 2, 2)},
        {"flags_htt", Counts(2, 1, 2, 2)},
        {"flags_after_colon", Counts(1, 1, 1, 1)},  // the value ends at the next colon
        {"two_cache_lines", Counts(2, 2, 1, 2, 1048576, 1048576)},
        {"cache_no_blank", Counts(1, 1, 1, 1, 49152, 49152)},
        {"cache_huge", Counts(0, 0, 1, 0, kMax, kMax)},
        {"cache_negative", Counts(0, 0, 1, 0)},
        {"cache_plus_one", Counts(1, 1, 1, 1, 1024, 1024)},
        {"cache_leading_space", Counts(1, 1, 1, 1, 2097152, 2097152)},  // atoi skips \t\v\f\r
        {"cache_unit_attached", Counts(1, 1, 1, 1, 524288, 524288)},    // "512KB": atoi stops at K
        {"flags_ht_further_in", Counts(2, 2, 1, 2)},
        {"nul_hides_mark", Counts(1, 1, 1, 1)},
        {"nul_in_piece", Counts(1, 1, 1, 1)},
        {"capital_processor", Counts(1, 1, 1, 1)},
        {"processor_longer_key", Counts(3, 3, 1, 3)},
        {"long_line", Counts(2, 2, 1, 2)},
        {"empty", Counts(0, 0, 1, 0)}};
    for (const auto& [name, want] : cases) {
        const std::string path = BOBBIN_CPUINFO_TESTDATA "/" + std::string(name) + ".txt";
        const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(fopen(path.c_str(), "r"),
                                                                   fclose);
        ASSERT_NE(file, nullptr) << path;
        EXPECT_EQ(Tie(ParseCpuInfo(file.get())), want) << name;
    }
}

// A missing file leaves zeros and is retried; first queries at once see it all.
TEST(ProbeTest, FailedOpenIsRetriedAndFirstQueriesAtOnceSeeTheWholeState) {
    const auto failing = [](pid_t, std::size_t, cpu_set_t*) { return -1; };
    const std::string path = ::testing::TempDir() + "bobbin_cpuinfo_" + std::to_string(getpid());
    CpuInfoProbe probe(path.c_str());
    EXPECT_EQ(probe.Get(&CpuInfoCounts::logical_count), 0) << "no file: the counts are 0";
    EXPECT_EQ(probe.AffinityCount(failing), 0) << "no file, no mask: the affinity count is 0";
    std::filesystem::copy_file(BOBBIN_CPUINFO_TESTDATA "/x86_smt.txt", path);
    const auto open_files = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    const auto files_before = open_files();
    std::atomic<int> wrong_logical{0}, wrong_affinity{0}, wrong_cache{0};
    bobbin::testing::OnThreads(8, [&](int) {
        wrong_logical += probe.Get(&CpuInfoCounts::logical_count) != 8;
        wrong_affinity += probe.AffinityCount(failing) != 8;
        wrong_cache += probe.Get(&CpuInfoCounts::cache_size_per_logical_cpu) != 4194304;
    });
    EXPECT_EQ(wrong_logical.load(), 0) << "the file is read once it appears, by whichever thread";
    EXPECT_EQ(wrong_affinity.load(), 0) << "without a mask the affinity count is the total";
    EXPECT_EQ(wrong_cache.load(), 0) << "no query sees a state half written";
    EXPECT_EQ(open_files(), files_before) << "the file is closed after reading";
    std::filesystem::copy_file(BOBBIN_CPUINFO_TESTDATA "/empty.txt", path,
                               std::filesystem::copy_options::overwrite_existing);
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
        {"v2 quota at the leaf", "0::/leaf\n", v2, 8, 2},
        {"v2 tighter at the parent", "0::/p/c\n", v2, 8, 3},
        {"v2 no quota", "0::/none/c\n", v2, 8, 8},
        {"v2 quota above the affinity", "0::/big\n", v2, 2, 2},
        {"v2 garbage", "0::/garbage\n", v2, 8, 8},
        {"v2 period past 64 bits", "0::/wide\n", v2, 8, 8},
        {"v2 period 2^63 - 1", "0::/at_limit\n", v2, 8, 1},
        {"v2 quota of 1 microsecond", "0::/tiny\n", v2, 8, 1},
        {"v2 mount of a sub-tree", "0::/pod/leaf\n", "7 1 0:9 /pod /v2 - cgroup2 x rw\n", 8, 2},
        {"v2 outside the mount", "0::/leaf\n", "7 1 0:9 /lea /v2/lea - cgroup2 x rw\n", 8, 8},
        {"v2 dot-dot in the path", "0::/../x\n", v2, 8, 8},
        {"v1 below one processor", "4:cpu,cpuacct:/q\n", v1, 8, 1},
        {"v1 no quota", "4:cpu,cpuacct:/none\n", v1, 8, 8},
        {"v1 cpuacct hierarchy is not cpu", "4:cpuacct:/q\n", v1, 8, 8},
        {"v1 cpuacct mount", "4:cpu:/q\n", "8 1 0:9 / /v1 - cgroup x rw,cpuacct\n", 8, 8},
        {"v1 escaped mount", "4:cpu:/q\n", "8 1 0:9 / /\\166\\061 shared:5 - cgroup x cpu\n", 8, 1},
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

// Files are read whole, also across chunks; an endless or missing one is none.
TEST(CgroupQuotaTest, SmallFilesAreReadWhole) {
    const auto text = ReadSmallFile(BOBBIN_CPUINFO_TESTDATA "/4097_bytes.txt");
    EXPECT_EQ(text.value_or("").size(), 4097u) << "read whole, a last chunk of one byte too";
    EXPECT_EQ(ReadSmallFile(BOBBIN_CPUINFO_TESTDATA "/none"), std::nullopt) << "missing: none";
    EXPECT_EQ(ReadSmallFile("/dev/zero"), std::nullopt) << "an endless file is none";
}

// In a private mount namespace, bind/`quota` over its cgroup decides; 100: can't.
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

// Bound quota fixtures and the thread's own mask decide the counts at each call.
TEST(GetCpuInfoTest, CountsFollowTheQuotaFilesAndSchedSetaffinityAtEachCall) {
    cpu_set_t original, one;
    ASSERT_EQ(sched_getaffinity(0, sizeof original, &original), 0);
    EXPECT_EQ(getProcessorAffinityCount(), CPU_COUNT(&original));
    std::thread([&] {
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu(), &one);  // the processor it runs on is in its mask
        ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
        EXPECT_EQ(getProcessorAffinityCount(), 1) << "the mask is read afresh at each call";
        EXPECT_EQ(getAvailableCPUCount(), 1) << "the available count is bounded by the mask";
    }).join();
    const int none = geteuid() == 0 ? AvailableWithBoundQuota("none") : 100;
    if (none == 100) GTEST_SKIP() << "needs root, a mount namespace and cgroup files";
    EXPECT_EQ(none, std::min(CPU_COUNT(&original), 99));
    EXPECT_EQ(AvailableWithBoundQuota("150000"), std::min(CPU_COUNT(&original), 2));
    EXPECT_EQ(AvailableWithBoundQuota("50000"), 1);
}

}  // namespace
