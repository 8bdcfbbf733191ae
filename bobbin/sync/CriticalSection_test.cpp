#include "bobbin/sync/CriticalSection.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstdarg>
#include <memory>
#include <stdexcept>
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

template <typename Body>
void RunOnFourThreads(Body body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back(body, t);
    for (auto& thread : threads) thread.join();
}

TEST(PrintfTest, WritesNothingAndReturnsZero) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(PRINTF("%s %d\n", "text", 42), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

// Four threads add to a plain counter, each increment under `guarded`, which
// takes the lock (nested where it can): no update may be lost.
template <typename Guarded>
void ExpectExactCounter(const char* guard, Guarded guarded) {
    SCOPED_TRACE(guard);
    long counter = 0;
    RunOnFourThreads([&](int) {
        for (int i = 0; i < 20000; ++i) guarded([&] { ++counter; });
    });
    EXPECT_EQ(counter, 80000);
}

TEST(ExclusionTest, CounterLosesNoUpdateUnderEachGuard) {
    CriticalSection section;
    CriticalSectionExt ext;
    Mutex mutex("counter");
    ExpectExactCounter("Section", [&](auto increment) {
        CriticalSection::Lock outer(section), inner(section);
        increment();
    });
    ExpectExactCounter("SectionExt", [&](auto increment) {
        CriticalSection::Lock outer(ext);
        if (CriticalSectionExt::TryLock(ext).IsAcquired()) increment();  // the owner's try nests
    });
    ExpectExactCounter("TryLockRetry", [&](auto increment) {
        for (;; std::this_thread::yield()) {
            CriticalSectionExt::TryLock attempt(ext);
            if (attempt.IsAcquired()) return increment();
        }
    });
    ExpectExactCounter("Mutex", [&](auto increment) {
        Mutex::Lock outer(mutex), inner(mutex);
        increment();
    });
}

// A thread holding a lock three deep keeps another out until its third
// release; a release by a thread that does not hold it changes nothing.
template <typename Lockable>
void ExpectHeldUntilThirdRelease(bool foreign_release) {
    Lockable lock;
    for (int i = 0; i < 3; ++i) lock.Acquire();
    if (foreign_release) std::thread([&] { lock.Release(); }).join();
    Background other([&] { typename Lockable::Lock hold(lock); });
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(other.StaysBlocked());
        lock.Release();
    }
    EXPECT_TRUE(other.Finishes());
}

TEST(NestingTest, HeldUntilThirdRelease) {
    ExpectHeldUntilThirdRelease<CriticalSection>(true);
    ExpectHeldUntilThirdRelease<CriticalSectionExt>(false);  // only the owner may release it
#if defined(__SANITIZE_THREAD__)  // which reports a refused unlock itself, as the misuse it is
    ExpectHeldUntilThirdRelease<Mutex>(false);
#else
    ExpectHeldUntilThirdRelease<Mutex>(true);
#endif
}

// Counts follow the calling thread and entries stay at 0 after balanced use. An
// unmatched release is reported (a missing entry, or the thread's id when below
// zero), changes no entry, and the section then excludes other threads again.
TEST_F(PrintfObserved, UnmatchedReleaseReportsAndRecovers) {
    InspectableSection section;
    const unsigned long self = pthread_self();
    unsigned long other = 0;
    std::thread([&] {
        other = pthread_self();
        CriticalSection::Lock hold(section);
    }).join();
    section.Release();
    EXPECT_EQ(g_log.calls, 1);
    EXPECT_EQ(g_log.format, kEmptyMap);
    EXPECT_EQ(section.Entries(), 1u);
    section.Acquire();
    section.Acquire();
    EXPECT_EQ(section.get_ThreadCount(self), 2);
    section.Release();
    section.Release();
    for (unsigned long id : {self, other, other + 1}) EXPECT_EQ(section.get_ThreadCount(id), 0);
    EXPECT_EQ(section.Entries(), 2u);
    EXPECT_EQ(g_log.calls, 1);
    section.Release();
    EXPECT_EQ(g_log.calls, 2);
    EXPECT_EQ(g_log.format, kBelowZero);
    EXPECT_EQ(g_log.thread_id, self);
    EXPECT_EQ(section.get_ThreadCount(self), 0);
    section.Acquire();
    Background blocked([&] { CriticalSection::Lock hold(section); });
    EXPECT_TRUE(blocked.StaysBlocked());
    section.Release();
    EXPECT_TRUE(blocked.Finishes());
    EXPECT_EQ(g_log.calls, 2);
}

// Both guards record and clear the ownership; a foreign try fails at once and
// leaves it intact, also while a third thread waits to take the base section.
TEST(CriticalSectionExtTest, ForeignTryFailsAtOnce) {
    CriticalSectionExt section;
    EXPECT_TRUE(CriticalSectionExt::TryLock(section).IsAcquired() && section.IsAcquired());
    EXPECT_FALSE(section.IsAcquired());
    auto hold = std::make_unique<CriticalSection::Lock>(section);  // the virtual Acquire
    auto foreign_try = [&] {
        std::thread([&] {
            EXPECT_TRUE(section.IsAcquired());
            EXPECT_FALSE(CriticalSectionExt::TryLock(section).IsAcquired());
        }).join();
    };
    foreign_try();
    Background waiter([&] { CriticalSection::Lock wait(section); });
    ASSERT_TRUE(waiter.StaysBlocked());
    foreign_try();
    EXPECT_TRUE(waiter.StaysBlocked());
    hold.reset();
    EXPECT_TRUE(waiter.Finishes());
    EXPECT_FALSE(section.IsAcquired());
}

// While a thread has taken the base section but not yet recorded itself, a
// third thread's Acquire or Try must neither hang nor break exclusion.
TEST(CriticalSectionExtTest, MixedAcquireTryStress) {
    CriticalSectionExt section;
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    std::atomic<long> tries_won{0};
    const auto stop = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    RunOnFourThreads([&](int t) {
        const bool by_try = t % 2 == 1;
        while (std::chrono::steady_clock::now() < stop) {
            if (by_try && !section.Try()) continue;
            if (!by_try) section.Acquire();
            if (inside.fetch_add(1) != 0) overlap = true;
            inside.fetch_sub(1);
            tries_won += by_try;
            section.Release();
        }
    });
    EXPECT_FALSE(overlap.load());
    EXPECT_FALSE(section.IsAcquired());
    EXPECT_GT(tries_won.load(), 0);
}

// Mutexes of one name do not share a lock; a guard left by an exception releases.
TEST(MutexTest, SameNamesAreIndependentAndScopeExitReleases) {
    Mutex first("shared-name"), second("shared-name");
    EXPECT_THROW(
        {
            Mutex::Lock hold(first);
            EXPECT_TRUE(Background([&] { Mutex::Lock inner(second); }).Finishes());
            throw std::runtime_error("leave the scope");
        },
        std::runtime_error);
    EXPECT_TRUE(Background([&] { Mutex::Lock hold(first); }).Finishes());
}

// Destroying a held section leaves no platform mutex locked (ThreadSanitizer
// reports the destruction of a locked mutex); no message is given.
TEST_F(PrintfObserved, DestroyWhileHeldAtAnyDepth) {
    for (int depth : {1, 2, 3}) {
        CriticalSection section;
        CriticalSectionExt ext;
        for (int i = 0; i < depth; ++i) {
            section.Acquire();
            ext.Acquire();
        }
    }
    EXPECT_EQ(g_log.calls, 0);
}

}  // namespace
