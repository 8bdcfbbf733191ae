#include "bobbin/sync/CriticalSection.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "background.h"
#include "bobbin/sync/Mutex.h"
#include "platform_faults.h"

namespace {

using bobbin::testing::Background;

// The reports that reach the sink while a Reports object lives.
std::vector<std::string> g_reports;
struct Reports {
    Reports() {
        g_reports.clear();
        SetPrintfSink([](const char* message) { g_reports.emplace_back(message); });
    }
    ~Reports() { SetPrintfSink(nullptr); }
};

const std::string kEmptyMap = "CriticalSection: Trying to decrement an empty thread_map.\n";
std::string BelowZero(pthread_t id) {
    return "CriticalSection: thread count less then zero for thread " +
           std::to_string(static_cast<int>(id)) + "\n";
}

template <typename Body>
void OnFourThreads(Body body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back(body, t);
    for (auto& thread : threads) thread.join();
}

template <typename Lockable>
class LockTest : public ::testing::Test {};
using Locks = ::testing::Types<CriticalSection, CriticalSectionExt, Mutex>;
TYPED_TEST_SUITE(LockTest, Locks);
template <typename Lockable>
constexpr int kMutexInits = 3;  // platform mutexes a constructor initialises
template <>
constexpr int kMutexInits<CriticalSectionExt> = 6;
template <>
constexpr int kMutexInits<Mutex> = 1;

// Four threads add to a plain counter under each standard guard (nested where
// the guard allows, two locks taken in opposite orders by scoped_lock): no
// update may be lost and nobody deadlocks.
TYPED_TEST(LockTest, StandardGuardsExcludeAndNest) {
    TypeParam first, second;
    long counter = 0;
    OnFourThreads([&](int t) {
        for (int i = 0; i < 5000; ++i) {
            {
                std::lock_guard<TypeParam> outer(first);
                std::unique_lock<TypeParam> inner(first);
                ++counter;
            }
            if (t % 2 == 0) {
                std::scoped_lock both(first, second);
                ++counter;
            } else {
                std::scoped_lock both(second, first);
                ++counter;
            }
            std::unique_lock<TypeParam> attempt(first, std::try_to_lock);
            while (!attempt.owns_lock()) {
                std::this_thread::yield();
                attempt.try_lock();
            }
            ++counter;
        }
    });
    EXPECT_EQ(counter, 60000);
}

TYPED_TEST(LockTest, ConditionVariableAnyReleasesAndRetakes) {
    TypeParam lock;
    std::condition_variable_any condition;
    bool ready = false;
    Background waiter([&] {
        std::unique_lock<TypeParam> hold(lock);
        condition.wait(hold, [&] { return ready; });
    });
    EXPECT_TRUE(waiter.StaysBlocked());
    {
        std::lock_guard<TypeParam> hold(lock);
        ready = true;
    }
    condition.notify_one();
    EXPECT_TRUE(waiter.Finishes());
}

// A holder three deep keeps others out (a foreign try fails at once) until its
// third release; a release by another thread is reported and changes nothing.
TYPED_TEST(LockTest, HeldUntilLastReleaseWhateverOthersRelease) {
    Reports reports;
    TypeParam lock;
    for (int i = 0; i < 3; ++i) lock.lock();
#if !defined(__SANITIZE_THREAD__)  // which reports a refused unlock of Mutex itself
    std::thread([&] { lock.unlock(); }).join();
    EXPECT_EQ(g_reports.size(), (std::is_same_v<TypeParam, Mutex> ? 0u : 1u));
#endif
    std::thread([&] { EXPECT_FALSE(lock.try_lock()); }).join();
    if constexpr (std::is_same_v<TypeParam, CriticalSectionExt>) {
        EXPECT_TRUE(lock.IsAcquired());
    }
    Background other([&] { std::lock_guard<TypeParam> hold(lock); });
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(other.StaysBlocked());
        lock.unlock();
    }
    EXPECT_TRUE(other.Finishes());
}

// Every platform mutex that fails to initialise makes the constructor throw;
// LeakSanitizer (asan preset) sees that nothing stays allocated.
TYPED_TEST(LockTest, FailedInitialisationThrows) {
    int failures = 0;
    for (int nth = 1;; ++nth) {
        bobbin::testing::FailPlatformCall("pthread_mutex_init", nth, EAGAIN);
        try {
            TypeParam lock;
            break;
        } catch (const std::system_error& error) {
            EXPECT_EQ(error.code().value(), EAGAIN);
            ++failures;
        }
    }
    bobbin::testing::FailPlatformCall(nullptr, 0, 0);
    EXPECT_EQ(failures, kMutexInits<TypeParam>);
}

// Counts follow the calling thread and entries stay at 0 after balanced use. An
// unmatched release is reported (a missing entry, or the thread's id when below
// zero), changes no count, and the section then excludes other threads again.
TEST(CriticalSectionTest, UnmatchedReleaseIsReportedAndSurvived) {
    Reports reports;
    CriticalSection section;
    const pthread_t self = pthread_self();
    pthread_t other = 0;
    std::thread([&] {
        other = pthread_self();
        CriticalSection::Lock hold(section);
    }).join();
    section.Release();
    section.Acquire();
    section.Acquire();
    EXPECT_EQ(section.get_ThreadCount(self), 2);
    section.Release();
    section.Release();
    for (pthread_t id : {self, other, other + 1}) EXPECT_EQ(section.get_ThreadCount(id), 0);
    section.Release();
    section.Decrement_ThreadCount(self);
    section.Decrement_ThreadCount(other + 1);
    EXPECT_EQ(section.get_ThreadCount(self), 0);
    EXPECT_EQ(g_reports,
              (std::vector<std::string>{kEmptyMap, BelowZero(self), BelowZero(self), kEmptyMap}));
    section.Acquire();
    Background blocked([&] { CriticalSection::Lock hold(section); });
    EXPECT_TRUE(blocked.StaysBlocked());
    section.Release();
    EXPECT_TRUE(blocked.Finishes());
    EXPECT_EQ(g_reports.size(), 4u);
}

// Both guards record and clear the ownership; a foreign try fails at once and
// leaves it intact, also while a third thread waits to take the section.
TEST(CriticalSectionExtTest, ForeignTryFailsAtOnce) {
    CriticalSectionExt section;
    EXPECT_TRUE(CriticalSectionExt::TryLock(section).IsAcquired() && section.IsAcquired());
    EXPECT_FALSE(section.IsAcquired());
    auto hold = std::make_unique<CriticalSection::Lock>(section);
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
    hold.reset();
    EXPECT_TRUE(waiter.Finishes());
    EXPECT_FALSE(section.IsAcquired());
}

// Threads acquiring, trying and releasing at random never overlap nor hang,
// while another reads their counts (ThreadSanitizer sees no race).
TEST(CriticalSectionExtTest, MixedAcquireTryAndCountReadersSoak) {
    CriticalSectionExt section;
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    std::atomic<pthread_t> last_owner{0};
    const auto end = bobbin::testing::SoakEnd(1);
    OnFourThreads([&](int t) {
        while (bobbin::testing::Clock::now() < end) {
            if (t == 3) {
                EXPECT_GE(section.get_ThreadCount(last_owner.load()), 0);
                continue;
            }
            if (t == 1 && !section.Try()) continue;
            if (t != 1) section.Acquire();
            if (t == 2) section.Acquire();
            last_owner = pthread_self();
            if (inside.fetch_add(1) != 0) overlap = true;
            inside.fetch_sub(1);
            if (t == 2) section.Release();
            section.Release();
        }
    });
    EXPECT_FALSE(overlap.load());
    EXPECT_FALSE(section.IsAcquired());
}

// Destroying a held section leaves no platform mutex locked (ThreadSanitizer
// reports the destruction of a locked mutex) and reports nothing.
TEST(CriticalSectionTest, DestroyWhileHeldAtAnyDepth) {
    Reports reports;
    for (int depth : {1, 2, 3}) {
        CriticalSection section;
        CriticalSectionExt ext;
        for (int i = 0; i < depth; ++i) {
            section.Acquire();
            ext.Acquire();
        }
    }
    EXPECT_TRUE(g_reports.empty());
}

}  // namespace
