#include "bobbin/sync/CriticalSection.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "background.h"
#include "bobbin/sync/Mutex.h"
#include "bobbin/sync/printf_observer.h"

namespace {

using bobbin::testing::Background;

// What PRINTF was handed, recorded by an observer for the length of a test.
struct PrintfLog {
    std::string format;
    unsigned long thread_id = 0;
    int calls = 0;
};
PrintfLog g_log;
std::mutex g_log_mutex;

const char kEmptyMap[] = "CriticalSection: Trying to decrement an empty thread_map.\n";
const char kBelowZero[] = "CriticalSection: thread count less then zero for thread %d\n";

void RecordPrintf(const char* format, std::va_list args) {
    std::lock_guard<std::mutex> hold(g_log_mutex);
    g_log.format = format;
    g_log.thread_id = std::string(format) == kBelowZero ? va_arg(args, unsigned long) : 0;
    ++g_log.calls;
}

class PrintfObserved : public ::testing::Test {
  protected:
    void SetUp() override {
        g_log = PrintfLog{};
        bobbin::detail::SetPrintfObserver(RecordPrintf);
    }
    void TearDown() override { bobbin::detail::SetPrintfObserver(nullptr); }
};

// Exposes the per-thread bookkeeping.
class InspectableSection : public CriticalSection {
  public:
    size_t Entries() const { return thread_map.size(); }
};

TEST(PrintfTest, WritesNothingAndReturnsZero) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(PRINTF("%s %d %f\n", "text", 42, 1.5), 0);
    EXPECT_EQ(PRINTF(kBelowZero, 7UL), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

// Every kind of guard keeps a plain counter exact under contention, also when
// the holder nests inside its own guard.
enum class Guard { kSection, kSectionExt, kTryLockRetry, kMutex };

std::string GuardName(const ::testing::TestParamInfo<Guard>& info) {
    static const char* const kNames[] = {"Section", "SectionExt", "TryLockRetry", "Mutex"};
    return kNames[static_cast<int>(info.param)];
}

void PrintTo(Guard guard, std::ostream* os) {
    *os << GuardName({guard, 0});
}

class ExclusionTest : public ::testing::TestWithParam<Guard> {};

TEST_P(ExclusionTest, CounterLosesNoUpdate) {
    constexpr int kThreads = 4;
    constexpr int kIterations = 20000;
    CriticalSection section;
    CriticalSectionExt ext;
    Mutex mutex("counter");
    long counter = 0;

    auto body = [&] {
        for (int i = 0; i < kIterations; ++i) {
            switch (GetParam()) {
                case Guard::kSection: {
                    CriticalSection::Lock outer(section);
                    CriticalSection::Lock inner(section);
                    ++counter;
                    break;
                }
                case Guard::kSectionExt: {
                    CriticalSection::Lock outer(ext);
                    CriticalSectionExt::TryLock inner(ext);
                    ASSERT_TRUE(inner.IsAcquired());
                    ++counter;
                    break;
                }
                case Guard::kTryLockRetry:
                    for (;;) {
                        CriticalSectionExt::TryLock attempt(ext);
                        if (attempt.IsAcquired()) {
                            ++counter;
                            break;
                        }
                        std::this_thread::yield();
                    }
                    break;
                case Guard::kMutex: {
                    Mutex::Lock outer(mutex);
                    Mutex::Lock inner(mutex);
                    ++counter;
                    break;
                }
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(body);
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter, long{kThreads} * kIterations);
    EXPECT_FALSE(ext.IsAcquired());
}

INSTANTIATE_TEST_SUITE_P(AllGuards, ExclusionTest,
                         ::testing::Values(Guard::kSection, Guard::kSectionExt,
                                           Guard::kTryLockRetry, Guard::kMutex),
                         GuardName);

// A thread that holds a lock three deep keeps another thread out until its
// third release.
template <typename Lockable>
void ExpectHeldUntilOutermostRelease() {
    Lockable lock;
    for (int i = 0; i < 3; ++i) lock.Acquire();
    Background other([&] {
        lock.Acquire();
        lock.Release();
    });
    EXPECT_TRUE(other.StaysBlocked());
    lock.Release();
    EXPECT_TRUE(other.StaysBlocked());
    lock.Release();
    EXPECT_TRUE(other.StaysBlocked());
    lock.Release();
    EXPECT_TRUE(other.Finishes());
}

TEST(NestingTest, HeldUntilThirdRelease) {
    ExpectHeldUntilOutermostRelease<CriticalSection>();
    ExpectHeldUntilOutermostRelease<CriticalSectionExt>();
    ExpectHeldUntilOutermostRelease<Mutex>();
}

TEST(ThreadMapTest, CountsAndEntriesAfterBalancedUse) {
    InspectableSection section;
    const unsigned long self = pthread_self();
    EXPECT_EQ(section.get_ThreadCount(self), 0);
    EXPECT_EQ(section.Entries(), 0u);
    section.Acquire();
    section.Acquire();
    EXPECT_EQ(section.get_ThreadCount(self), 2);
    section.Release();
    EXPECT_EQ(section.get_ThreadCount(self), 1);
    section.Release();
    EXPECT_EQ(section.get_ThreadCount(self), 0);
    EXPECT_EQ(section.Entries(), 1u);  // the entry stays at 0

    unsigned long other_id = 0;
    std::thread([&] {
        other_id = pthread_self();
        CriticalSection::Lock hold(section);
    }).join();
    EXPECT_EQ(section.get_ThreadCount(other_id), 0);
    EXPECT_EQ(section.Entries(), 2u);
    // Reuse by a thread that already has an entry allocates no new one.
    section.Acquire();
    section.Release();
    EXPECT_EQ(section.Entries(), 2u);
}

TEST_F(PrintfObserved, ReleaseWithoutEntryReportsEmptyMap) {
    InspectableSection section;
    // Another thread's entry does not change the report for this one.
    std::thread([&] { CriticalSection::Lock hold(section); }).join();
    section.Release();
    EXPECT_EQ(g_log.calls, 1);
    EXPECT_EQ(g_log.format, kEmptyMap);
    EXPECT_EQ(section.Entries(), 1u);  // no entry created for this thread
    EXPECT_EQ(section.get_ThreadCount(pthread_self()), 0);
}

TEST_F(PrintfObserved, BalancedUseReportsNothing) {
    CriticalSectionExt section;
    {
        CriticalSection::Lock outer(section);
        CriticalSectionExt::TryLock inner(section);
    }
    EXPECT_EQ(g_log.calls, 0);
}

// An unmatched release is reported with the thread's id; the count stays at 0
// and the section then excludes other threads as before, that thread included.
TEST_F(PrintfObserved, UnmatchedReleaseReportsAndRecovers) {
    CriticalSection section;
    section.Acquire();
    section.Release();
    section.Release();
    EXPECT_EQ(g_log.calls, 1);
    EXPECT_EQ(g_log.format, kBelowZero);
    EXPECT_EQ(g_log.thread_id, static_cast<unsigned long>(pthread_self()));
    EXPECT_EQ(section.get_ThreadCount(pthread_self()), 0);

    section.Acquire();
    EXPECT_EQ(section.get_ThreadCount(pthread_self()), 1);
    Background other([&] { CriticalSection::Lock hold(section); });
    EXPECT_TRUE(other.StaysBlocked());
    section.Release();
    EXPECT_TRUE(other.Finishes());
    EXPECT_EQ(g_log.calls, 1);
}

TEST(CriticalSectionExtTest, LockOverExtRecordsOwner) {
    CriticalSectionExt section;
    {
        CriticalSection::Lock hold(section);
        EXPECT_TRUE(section.IsAcquired());
    }
    EXPECT_FALSE(section.IsAcquired());
}

TEST(CriticalSectionExtTest, TryLockOnUnownedSucceedsAndReleases) {
    CriticalSectionExt section;
    {
        CriticalSectionExt::TryLock attempt(section);
        EXPECT_TRUE(attempt.IsAcquired());
        EXPECT_TRUE(section.IsAcquired());
    }
    EXPECT_FALSE(section.IsAcquired());
}

TEST(CriticalSectionExtTest, OwnershipSeenFromAnotherThread) {
    CriticalSectionExt section;
    section.Acquire();
    {
        // The owner's own try nests.
        CriticalSectionExt::TryLock nested(section);
        EXPECT_TRUE(nested.IsAcquired());
    }
    std::thread([&] {
        EXPECT_TRUE(section.IsAcquired());
        const auto start = std::chrono::steady_clock::now();
        {
            CriticalSectionExt::TryLock attempt(section);
            EXPECT_FALSE(attempt.IsAcquired());
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_TRUE(section.IsAcquired());  // the failed try left ownership alone
    }).join();
    // The owner still owns it after the inner guard and the foreign try.
    Background other([&] { CriticalSection::Lock hold(section); });
    EXPECT_TRUE(other.StaysBlocked());
    section.Release();
    EXPECT_TRUE(other.Finishes());
    EXPECT_FALSE(section.IsAcquired());
}

// A try never waits, also while another thread is taking the base section but
// has not yet recorded itself as owner.
TEST(CriticalSectionExtTest, TryFailsAtOnceWhileAnotherThreadWaits) {
    CriticalSectionExt section;
    section.Acquire();
    Background waiter([&] { CriticalSection::Lock hold(section); });
    ASSERT_TRUE(waiter.StaysBlocked(std::chrono::milliseconds(50)));
    std::thread([&] {
        CriticalSectionExt::TryLock attempt(section);
        EXPECT_FALSE(attempt.IsAcquired());
    }).join();
    section.Release();
    EXPECT_TRUE(waiter.Finishes());
}

// Acquire, Try and Release from four threads on one section: the interval in
// which a thread has taken the base section but not recorded itself must
// neither hang a third thread nor break exclusion.
TEST(CriticalSectionExtTest, MixedAcquireTryStress) {
    CriticalSectionExt section;
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    std::atomic<long> tries_won{0};
    const auto stop = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    auto critical = [&] {
        if (inside.fetch_add(1) != 0) overlap = true;
        inside.fetch_sub(1);
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            while (std::chrono::steady_clock::now() < stop) {
                if (t % 2 == 0) {
                    section.Acquire();
                    critical();
                    section.Release();
                } else if (section.Try()) {
                    critical();
                    ++tries_won;
                    section.Release();
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_FALSE(overlap.load());
    EXPECT_FALSE(section.IsAcquired());
    EXPECT_GT(tries_won.load(), 0);
}

// Destroying a held section leaves no platform mutex locked (ThreadSanitizer
// reports the destruction of a locked mutex); no message is given.
TEST_F(PrintfObserved, DestroyWhileHeldAtAnyDepth) {
    for (int depth : {1, 2, 3}) {
        auto section = std::make_unique<CriticalSection>();
        for (int i = 0; i < depth; ++i) section->Acquire();
        section.reset();
        auto ext = std::make_unique<CriticalSectionExt>();
        for (int i = 0; i < depth; ++i) ext->Acquire();
        ext.reset();
    }
    EXPECT_EQ(g_log.calls, 0);
}

TEST(CriticalSectionTest, FunctionLocalStaticAndConstGuard) {
    static const CriticalSection section;
    CriticalSection::Lock outer(section);
    CriticalSection::Lock inner(section);
    SUCCEED();
}

}  // namespace
