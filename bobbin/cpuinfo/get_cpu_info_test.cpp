#include "bobbin/cpuinfo/get_cpu_info.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bobbin/cpuinfo/cpuinfo_parser.h"
#include "bobbin/cpuinfo/cpuinfo_test_support.h"

namespace {

using bobbin::cpuinfo_detail::CpuInfoCounts;
using bobbin::cpuinfo_detail::CpuInfoProbe;
using bobbin::cpuinfo_detail::ParseCpuInfo;
using bobbin::testing::Counts;
using bobbin::testing::FixturePath;
using bobbin::testing::ReadBytes;

constexpr int kThreads = 8;

// Holds threads until all of them wait, then lets them go at once.
class StartGate {
  public:
    explicit StartGate(int threads) : expected_(threads) {}
    void Arrive() {
        std::unique_lock<std::mutex> hold(mutex_);
        if (++arrived_ == expected_) released_.notify_all();
        released_.wait(hold, [this] { return arrived_ >= expected_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable released_;
    int arrived_ = 0;
    const int expected_;
};

// A private copy of the state, read through a probe's queries. Each thread
// starts with a different query, so every query is some thread's first.
CpuInfoCounts ReadAll(CpuInfoProbe& probe, int first) {
    using Int = int CpuInfoCounts::*;
    using Size = unsigned long long CpuInfoCounts::*;
    static const Int ints[] = {&CpuInfoCounts::logicalCount, &CpuInfoCounts::physicalCPUCount,
                               &CpuInfoCounts::coresPerPhysicalCPUCount,
                               &CpuInfoCounts::logicalCPUPerCoreCount,
                               &CpuInfoCounts::totalSystemCPUCount};
    static const Size sizes[] = {&CpuInfoCounts::physicalProcessorCacheSize,
                                 &CpuInfoCounts::cacheSizePerCore,
                                 &CpuInfoCounts::cacheSizePerLogicalCPU};
    CpuInfoCounts counts;
    for (int i = 0; i < 8; ++i) {
        const int k = (first + i) % 8;
        if (k < 5) {
            counts.*ints[k] = probe.Get(ints[k]);
        } else {
            counts.*sizes[k - 5] = probe.Get(sizes[k - 5]);
        }
    }
    return counts;
}

// The same through the public queries.
CpuInfoCounts ReadAllPublic(int first) {
    CpuInfoCounts counts;
    for (int i = 0; i < 8; ++i) {
        switch ((first + i) % 8) {
            case 0:
                counts.logicalCount = getLogicalCPUCount();
                break;
            case 1:
                counts.physicalCPUCount = getPhysicalCPUCount();
                break;
            case 2:
                counts.coresPerPhysicalCPUCount = getCoresPerPhysicalCPUCount();
                break;
            case 3:
                counts.logicalCPUPerCoreCount = getLogicalCPUPerCoreCount();
                break;
            case 4:
                counts.totalSystemCPUCount = getTotalSystemCPUCount();
                break;
            case 5:
                counts.physicalProcessorCacheSize = getPhysicalProcessorPackageCacheSize();
                break;
            case 6:
                counts.cacheSizePerCore = getPhysicalProcessorPackageCacheSizePerCore();
                break;
            case 7:
                counts.cacheSizePerLogicalCPU = getPhysicalProcessorPackageCacheSizePerLogicalCPU();
                break;
        }
    }
    return counts;
}

// A scratch file path of this test process, removed at the end of the test.
class ScratchFile {
  public:
    explicit ScratchFile(const char* tag)
        : path_(::testing::TempDir() + "bobbin_cpuinfo_" + tag + "_" + std::to_string(::getpid())) {
        std::remove(path_.c_str());
    }
    ~ScratchFile() { std::remove(path_.c_str()); }
    const char* path() const { return path_.c_str(); }
    void Write(const std::string& bytes) const {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out << bytes;
        ASSERT_TRUE(out.good());
    }

  private:
    std::string path_;
};

const CpuInfoCounts kSmt = Counts(8, 4, 2, 8, 8388608, 4194304);      // x86_smt.txt
const CpuInfoCounts kTwoCpus = Counts(2, 2, 1, 2, 6291456, 6291456);  // two_cpus_6144k.txt

// --- The probe over a file of the test's choosing -------------------------------

TEST(ProbeTest, AnswersFromTheFileAndOnlyOnce) {
    ScratchFile file("final");
    file.Write(ReadBytes(FixturePath("x86_smt.txt")));
    CpuInfoProbe probe(file.path());
    EXPECT_FALSE(probe.HasQueried());
    EXPECT_EQ(ReadAll(probe, 0), kSmt);
    EXPECT_TRUE(probe.HasQueried());
    // Final: a changed file is not read again.
    file.Write(ReadBytes(FixturePath("two_cpus_6144k.txt")));
    EXPECT_EQ(probe.Calculate(), 0);
    EXPECT_EQ(ReadAll(probe, 3), kSmt);
}

TEST(ProbeTest, FailedOpenLeavesZerosAndIsRetried) {
    ScratchFile file("retry");  // does not exist yet
    CpuInfoProbe probe(file.path());
    EXPECT_EQ(probe.Calculate(), 1);
    EXPECT_EQ(ReadAll(probe, 0), CpuInfoCounts{});
    EXPECT_EQ(probe.Calculate(), 1);
    EXPECT_FALSE(probe.HasQueried());
    file.Write(ReadBytes(FixturePath("two_cpus_6144k.txt")));
    EXPECT_EQ(ReadAll(probe, 5), kTwoCpus);  // the next query opens it
    EXPECT_TRUE(probe.HasQueried());
    std::remove(file.path());
    EXPECT_EQ(probe.Calculate(), 0);  // final: not opened again
    EXPECT_EQ(ReadAll(probe, 2), kTwoCpus);
}

TEST(ProbeTest, EmptyFileIsFinal) {
    ScratchFile file("empty");
    file.Write("");
    CpuInfoProbe probe(file.path());
    EXPECT_EQ(ReadAll(probe, 0), Counts(0, 0, 1, 0));
    file.Write(ReadBytes(FixturePath("two_cpus_6144k.txt")));
    EXPECT_EQ(ReadAll(probe, 0), Counts(0, 0, 1, 0));
}

TEST(ProbeTest, CallersStrtokIsUndisturbed) {
    char text[] = "one two three";
    ASSERT_STREQ(std::strtok(text, " "), "one");
    const std::string path = FixturePath("x86_smt.txt");
    CpuInfoProbe fixture(path.c_str());
    EXPECT_EQ(fixture.Get(&CpuInfoCounts::logicalCount), 8);
    EXPECT_STREQ(std::strtok(nullptr, " "), "two");
    EXPECT_STREQ(std::strtok(nullptr, " "), "three");
}

// Eight threads make their first query at the same moment, over and over with
// fresh probes; each must see the whole, final state. Run under ThreadSanitizer.
TEST(ProbeConcurrencyTest, EightFirstQueriesAtOnceSeeTheSameState) {
    const std::string path = FixturePath("x86_smt.txt");
    for (int round = 0; round < 25; ++round) {
        CpuInfoProbe probe(path.c_str());
        StartGate gate(kThreads);
        std::vector<CpuInfoCounts> seen(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                gate.Arrive();
                seen[t] = ReadAll(probe, t);
            });
        }
        for (std::thread& thread : threads) thread.join();
        for (int t = 0; t < kThreads; ++t)
            EXPECT_EQ(seen[t], kSmt) << "round " << round << ", thread " << t;
    }
}

// The same while the file is missing: all see zeros, and the probe stays
// retryable; once the file is there, all see it.
TEST(ProbeConcurrencyTest, FailedOpensAtOnceStayRetryable) {
    ScratchFile file("concurrent_retry");
    CpuInfoProbe probe(file.path());
    for (int phase = 0; phase < 2; ++phase) {
        if (phase == 1) file.Write(ReadBytes(FixturePath("two_cpus_6144k.txt")));
        StartGate gate(kThreads);
        std::vector<CpuInfoCounts> seen(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                gate.Arrive();
                seen[t] = ReadAll(probe, t);
            });
        }
        for (std::thread& thread : threads) thread.join();
        const CpuInfoCounts expected = phase == 0 ? CpuInfoCounts{} : kTwoCpus;
        for (int t = 0; t < kThreads; ++t) EXPECT_EQ(seen[t], expected) << "phase " << phase;
        EXPECT_EQ(probe.HasQueried(), phase == 1);
    }
}

// --- The affinity count, with a scheduler of the test's making -------------------

struct FakeScheduler {
    int result = 0;
    std::vector<int> cpus;
    int calls = 0;
    pid_t pid = -1;
    std::size_t size = 0;
};
FakeScheduler fake;

int FakeGetAffinity(pid_t pid, std::size_t size, cpu_set_t* mask) {
    ++fake.calls;
    fake.pid = pid;
    fake.size = size;
    if (fake.result < 0) return fake.result;
    CPU_ZERO_S(size, mask);
    for (int cpu : fake.cpus) CPU_SET_S(cpu, size, mask);
    return 0;
}

TEST(AffinityTest, CountsMaskBitsWithoutProbing) {
    const std::string path = FixturePath("x86_smt.txt");
    CpuInfoProbe smt(path.c_str());
    fake = FakeScheduler{0, {0, 2, 5}};
    EXPECT_EQ(smt.AffinityCount(FakeGetAffinity), 3);
    EXPECT_EQ(fake.pid, 0);
    EXPECT_EQ(fake.size, 128u);
    EXPECT_FALSE(smt.HasQueried());  // the probe runs only on the fallback path
    fake.cpus = {0, 1023};
    EXPECT_EQ(smt.AffinityCount(FakeGetAffinity), 2);  // all 1024 bits are counted
    fake.cpus = {};
    EXPECT_EQ(smt.AffinityCount(FakeGetAffinity), 0);
    EXPECT_EQ(fake.calls, 3);  // afresh at every call
}

TEST(AffinityTest, FailedCallFallsBackToTotalSystemCount) {
    const std::string path = FixturePath("three_cpus_ht.txt");
    CpuInfoProbe probe(path.c_str());
    fake = FakeScheduler{-1, {0, 1, 2, 3}};
    EXPECT_EQ(probe.AffinityCount(FakeGetAffinity), 2);  // the total (P - 1), not the logical 3
    EXPECT_TRUE(probe.HasQueried());

    ScratchFile missing("affinity_missing");
    CpuInfoProbe absent(missing.path());
    EXPECT_EQ(absent.AffinityCount(FakeGetAffinity), 0);  // both fail: 0
    EXPECT_FALSE(absent.HasQueried());
}

// --- The public queries on this machine ------------------------------------------

// Made first in this process (ctest runs each test in a process of its own):
// eight threads start with different queries at once.
TEST(GetCpuInfoTest, EightThreadsFirstQueryAtOnce) {
    std::FILE* file = std::fopen("/proc/cpuinfo", "r");
    ASSERT_NE(file, nullptr);
    const CpuInfoCounts expected = ParseCpuInfo(file);
    std::fclose(file);

    StartGate gate(kThreads);
    std::vector<CpuInfoCounts> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            gate.Arrive();
            seen[t] = ReadAllPublic(t);
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(seen[t], expected) << "thread " << t;
}

TEST(GetCpuInfoTest, LogicalCountIsTheNumberOfProcessorLines) {
    std::ifstream in("/proc/cpuinfo");
    ASSERT_TRUE(in.good());
    int processors = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, 9, "processor") == 0) ++processors;
    }
    ASSERT_GT(processors, 0);
    EXPECT_EQ(getLogicalCPUCount(), processors);
    EXPECT_EQ(getCoresPerPhysicalCPUCount(), 1);
    const int perCore = getLogicalCPUPerCoreCount();
    ASSERT_TRUE(perCore == 1 || perCore == 2);
    EXPECT_EQ(getPhysicalCPUCount(), processors / perCore);
    EXPECT_EQ(getTotalSystemCPUCount(), getPhysicalCPUCount() * perCore);
    const unsigned long long cache = getPhysicalProcessorPackageCacheSize();
    EXPECT_EQ(cache % 1024, 0u);
    EXPECT_EQ(getPhysicalProcessorPackageCacheSizePerCore(), cache > 1 ? cache : 0);
    EXPECT_EQ(getPhysicalProcessorPackageCacheSizePerLogicalCPU(), cache > 1 ? cache / perCore : 0);
}

// The count follows the calling thread's own mask, afresh at every call.
TEST(GetCpuInfoTest, AffinityCountFollowsSchedSetaffinity) {
    cpu_set_t original;
    ASSERT_EQ(sched_getaffinity(0, sizeof original, &original), 0);
    const int allowed = CPU_COUNT(&original);
    EXPECT_EQ(getProcessorAffinityCount(), allowed);

    std::promise<void> narrowed;
    std::promise<void> checked;
    std::thread worker([&] {
        int first = 0;
        while (!CPU_ISSET(first, &original)) ++first;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(first, &one);
        EXPECT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
        EXPECT_EQ(getProcessorAffinityCount(), 1);
        narrowed.set_value();
        checked.get_future().wait();
        EXPECT_EQ(sched_setaffinity(0, sizeof original, &original), 0);
        EXPECT_EQ(getProcessorAffinityCount(), allowed);
    });
    narrowed.get_future().wait();
    EXPECT_EQ(getProcessorAffinityCount(), allowed);  // this thread's mask is its own
    checked.set_value();
    worker.join();
}

}  // namespace
