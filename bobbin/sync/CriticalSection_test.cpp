#include "bobbin/sync/CriticalSection.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstdarg>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "background.h"
#include "bobbin/sync/Mutex.h"
#include "bobbin/sync/printf_observer.h"

namespace {

using bobbin::testing::Background;

const char kEmptyMap[] = "CriticalSection: Trying to decrement an empty thread_map.\n";
const char kBelowZero[] = "CriticalSection: thread count less then zero for thread %d\n";

// What PRINTF was handed during a test (only the test's own thread reports).
struct PrintfLog {
    std::string format;
    unsigned long thread_id = 0;
    int calls = 0;
} g_log;

class PrintfObserved : public ::testing::Test {
  protected:
    void SetUp() override {
        g_log = PrintfLog{};
        bobbin::detail::SetPrintfObserver([](const char* format, std::va_list args) {
            g_log.format = format;
            if (g_log.format == kBelowZero) g_log.thread_id = va_arg(args, unsigned long);
            ++g_log.calls;
        });
    }
    void TearDown() override { bobbin::detail::SetPrintfObserver(nullptr); }
};

class InspectableSection : public CriticalSection {
  public:
    size_t Entries() const { return thread_map.size(); }
};

TEST(PrintfTest, WritesNothingAndReturnsZero) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(PRINTF("%s %d\n", "text", 42), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

// Every kind of guard keeps a plain counter exact under contention, also when
// the holder nests inside its own guard.
enum class Guard { kSection, kSectionExt, kTryLockRetry, kMutex };
const char* const kGuardNames[] = {"Section", "SectionExt", "TryLockRetry", "Mutex"};
void PrintTo(Guard guard, std::ostream* os) {
    *os << kGuardNames[static_cast<int>(guard)];
}

class ExclusionTest : public ::testing::TestWithParam<Guard> {};

TEST_P(ExclusionTest, CounterLosesNoUpdate) {
    constexpr int kThreads = 4, kIterations = 20000;
    CriticalSection section;
    CriticalSectionExt ext;
    Mutex mutex("counter");
    long counter = 0;
    auto body = [&] {
        for (int i = 0; i < kIterations; ++i) {
            if (GetParam() == Guard::kSection) {
                CriticalSection::Lock outer(section), inner(section);
                ++counter;
            } else if (GetParam() == Guard::kSectionExt) {
                CriticalSection::Lock outer(ext);
                CriticalSectionExt::TryLock inner(ext);  // the owner's try nests
                ASSERT_TRUE(inner.IsAcquired());
                ++counter;
            } else if (GetParam() == Guard::kMutex) {
                Mutex::Lock outer(mutex), inner(mutex);
                ++counter;
            } else {
                for (;;) {
                    CriticalSectionExt::TryLock attempt(ext);
                    if (attempt.IsAcquired()) {
                        ++counter;
                        break;
                    }
                    std::this_thread::yield();
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
                         [](const auto& info) {
                             return kGuardNames[static_cast<int>(info.param)];
                         });

// A thread holding a lock three deep keeps another out until its third release.
template <typename Lockable>
void ExpectHeldUntilOutermostRelease() {
    Lockable lock;
    for (int i = 0; i < 3; ++i) lock.Acquire();
    Background other([&] {
        lock.Acquire();
        lock.Release();
    });
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(other.StaysBlocked());
        lock.Release();
    }
    EXPECT_TRUE(other.Finishes());
}

TEST(NestingTest, HeldUntilThirdRelease) {
    ExpectHeldUntilOutermostRelease<CriticalSection>();
    ExpectHeldUntilOutermostRelease<CriticalSectionExt>();
    ExpectHeldUntilOutermostRelease<Mutex>();
}

// Counts follow the calling thread; entries stay at 0 and are never added twice.
TEST_F(PrintfObserved, ThreadMapAfterBalancedUse) {
    InspectableSection section;
    const unsigned long self = pthread_self();
    section.Acquire();
    section.Acquire();
    EXPECT_EQ(section.get_ThreadCount(self), 2);
    section.Release();
    section.Release();
    EXPECT_EQ(section.get_ThreadCount(self), 0);
    unsigned long other = 0;
    std::thread([&] {
        other = pthread_self();
        CriticalSection::Lock hold(section);
    }).join();
    section.Acquire();
    section.Release();
    EXPECT_EQ(section.get_ThreadCount(other), 0);
    EXPECT_EQ(section.get_ThreadCount(other + 1), 0);  // never acquired
    EXPECT_EQ(section.Entries(), 2u);
    EXPECT_EQ(g_log.calls, 0);
}

TEST_F(PrintfObserved, ReleaseWithoutEntryReportsEmptyMap) {
    InspectableSection section;
    std::thread([&] { CriticalSection::Lock hold(section); }).join();
    section.Release();
    EXPECT_EQ(g_log.calls, 1);
    EXPECT_EQ(g_log.format, kEmptyMap);
    EXPECT_EQ(section.Entries(), 1u);  // no entry created for this thread
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
    Background other([&] { CriticalSection::Lock hold(section); });
    EXPECT_TRUE(other.StaysBlocked());
    section.Release();
    EXPECT_TRUE(other.Finishes());
    EXPECT_EQ(g_log.calls, 1);
}

TEST(CriticalSectionExtTest, GuardsRecordAndClearOwnership) {
    CriticalSectionExt section;
    {
        CriticalSection::Lock hold(section);  // through the virtual Acquire
        EXPECT_TRUE(section.IsAcquired());
    }
    EXPECT_FALSE(section.IsAcquired());
    {
        CriticalSectionExt::TryLock attempt(section);
        EXPECT_TRUE(attempt.IsAcquired());
        EXPECT_TRUE(section.IsAcquired());
    }
    EXPECT_FALSE(section.IsAcquired());
}

// Another thread's try fails at once, sees the ownership, and leaves it intact;
// it also fails while a third thread is waiting to take the base section.
TEST(CriticalSectionExtTest, ForeignTryFailsAtOnce) {
    CriticalSectionExt section;
    section.Acquire();
    auto foreign_try = [&] {
        std::thread([&] {
            EXPECT_TRUE(section.IsAcquired());
            CriticalSectionExt::TryLock attempt(section);
            EXPECT_FALSE(attempt.IsAcquired());
        }).join();
    };
    foreign_try();
    Background waiter([&] { CriticalSection::Lock hold(section); });
    ASSERT_TRUE(waiter.StaysBlocked());
    foreign_try();
    EXPECT_TRUE(waiter.StaysBlocked());  // still owned by this thread
    section.Release();
    EXPECT_TRUE(waiter.Finishes());
    EXPECT_FALSE(section.IsAcquired());
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
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            while (std::chrono::steady_clock::now() < stop) {
                const bool by_try = t % 2 == 1;
                if (!by_try) {
                    section.Acquire();
                } else if (!section.Try()) {
                    continue;
                }
                if (inside.fetch_add(1) != 0) overlap = true;
                inside.fetch_sub(1);
                tries_won += by_try;
                section.Release();
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
        auto ext = std::make_unique<CriticalSectionExt>();
        for (int i = 0; i < depth; ++i) {
            section->Acquire();
            ext->Acquire();
        }
        section.reset();
        ext.reset();
    }
    EXPECT_EQ(g_log.calls, 0);
}

}  // namespace
