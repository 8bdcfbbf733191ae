#include "bobbin/sync/CriticalSection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "background.h"
#include "bobbin/sync/Mutex.h"

namespace {

using namespace bobbin::testing;

std::vector<std::string> g_reports;  // what reached the sink since it was set
void SetSink() {
    g_reports.clear(), SetPrintfSink([](const char* message) { g_reports.emplace_back(message); });
}

template <typename Lockable>
class LockTest : public ::testing::Test {};
using Locks = ::testing::Types<CriticalSection, CriticalSectionExt, Mutex>;
TYPED_TEST_SUITE(LockTest, Locks, );

// Standard guards nest and scoped_lock never deadlocks; a failed init throws
// and leaves nothing undestroyed nor destroyed twice.
TYPED_TEST(LockTest, StandardFacilitiesExcludeAndNest) {
    TypeParam first, second;
    long counter = 0;
    OnThreads(4, [&](int t) {
        for (int i = 0; i < 5000; ++i) {
            std::scoped_lock both(t % 2 ? first : second, t % 2 ? second : first);
            std::lock_guard<TypeParam> nested(first);
            std::unique_lock<TypeParam> again(second);
            ++counter;
        }
    });
    EXPECT_EQ(counter, 20000);
    EXPECT_EQ(InitFailuresCleanUp("pthread_mutex_init", [] { TypeParam(); }), "");
    if constexpr (std::is_same_v<TypeParam, Mutex>) {  // a subclass reads how it was made
        struct Made : Mutex {
            int type = -1;
            Made() { pthread_mutexattr_gettype(mutex_attributes, &type); }
        };
        EXPECT_EQ(Made().type, PTHREAD_MUTEX_RECURSIVE);
    }
}

// Held three deep until the third release; a foreign release changes nothing.
TYPED_TEST(LockTest, HeldUntilLastReleaseWhateverOthersRelease) {
    SetSink();
    TypeParam lock;
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(lock.try_lock());
#if !defined(__SANITIZE_THREAD__)  // which reports a refused unlock of Mutex itself
    std::thread([&] { lock.unlock(); }).join();
    EXPECT_EQ(g_reports.size(), (std::is_same_v<TypeParam, Mutex> ? 0u : 1u));
#endif
    std::thread([&] { EXPECT_FALSE(lock.try_lock()); }).join();
    if constexpr (std::is_same_v<TypeParam, CriticalSectionExt>) {
        EXPECT_TRUE(lock.IsAcquired());
    }
    const auto other = InBackground([&] { std::lock_guard<TypeParam> hold(lock); });
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(StaysBlocked(other)) << "another thread took it " << 3 - i << " deep";
        if constexpr (std::is_same_v<TypeParam, CriticalSectionExt>) {
            EXPECT_TRUE(lock.IsAcquired()) << "the owner record lost a level, " << 3 - i << " deep";
        }
        lock.unlock();
    }
    EXPECT_TRUE(Finishes(other));
    SetPrintfSink(nullptr);
}

// Unmatched releases are reported and change no count; a held section unlocks.
TEST(CriticalSectionTest, UnmatchedReleaseIsReportedAndSurvived) {
    SetSink();
    auto section = std::make_unique<CriticalSection>();
    const pthread_t self = pthread_self();
    pthread_t other = 0;
    std::thread([&] { section->Acquire(), other = pthread_self(), section->Release(); }).join();
    section->Release();
    section->Acquire(), section->Acquire();
    EXPECT_EQ(section->get_ThreadCount(self), 2);
    section->Release(), section->Release(), section->Release();
    section->Decrement_ThreadCount(self);
    section->Decrement_ThreadCount(other + 1);
    for (pthread_t id : {self, other, other + 1}) EXPECT_EQ(section->get_ThreadCount(id), 0);
    section->Acquire(), section->Acquire();
    section.reset();  // ThreadSanitizer reports the destruction of a locked mutex
    const std::string empty = "CriticalSection: Trying to decrement an empty thread_map.\n";
    const std::string below = "CriticalSection: thread count less then zero for thread " +
                              std::to_string(static_cast<int>(self)) + "\n";
    EXPECT_EQ(g_reports, (std::vector<std::string>{empty, below, below, empty}));
#if !defined(__SANITIZE_THREAD__)  // which reports the destruction of a locked mutex
    section = std::make_unique<CriticalSection>();
    std::thread([&] { section->Acquire(); }).join();  // it ends holding the section
    g_reports.clear(), section.reset();
    EXPECT_EQ(g_reports, std::vector<std::string>{empty}) << "destroyed while another holds it";
#endif
    PRINTF("%0600d", 7);
    EXPECT_EQ(g_reports.back(), std::string(511, '0')) << "a long report is cut to 511";
    SetPrintfSink(nullptr);
    EXPECT_EQ(PRINTF("%d", 1), 0);  // no sink: nothing written
}

// A subclass may erase the entries of threads that hold nothing, under
// map_mutex; the section's counts survive it (ASan: nothing stale is written).
TEST(CriticalSectionTest, SubclassMayEraseEntriesOfThreadsNotHoldingIt) {
    struct Pruned : CriticalSection {
        void EraseAll() {
            pthread_mutex_lock(map_mutex), thread_map.clear(), pthread_mutex_unlock(map_mutex);
        }
    } section;
    for (int round = 0; round < 2; ++round) {
        section.Acquire(), section.Release(), section.EraseAll();
        section.Acquire(), section.Acquire();
        EXPECT_EQ(section.get_ThreadCount(pthread_self()), 2);
        section.Release(), section.Release();
        EXPECT_EQ(section.get_ThreadCount(pthread_self()), 0);
    }
}

// Acquire and Try never overlap nor hang beside a count reader; a soak (TSan).
TEST(CriticalSectionExtTest, AcquireTryAndCountReadersSoak) {
    CriticalSectionExt section;
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    std::atomic<pthread_t> last_owner{0};
    const auto end = SoakEnd(1);
    OnThreads(4, [&](int t) {
        while (Clock::now() < end) {
            if (t == 3) {
                EXPECT_GE(section.get_ThreadCount(last_owner.load()), 0);
                continue;
            }
            CriticalSectionExt::TryLock attempt(section);
            if (t == 1 && !attempt.IsAcquired()) continue;
            CriticalSection::Lock hold(section);  // nests on a successful try
            last_owner = pthread_self();
            overlap = overlap || inside.fetch_add(1) != 0 || !section.IsAcquired();
            inside.fetch_sub(1);
        }
    });
    EXPECT_FALSE(overlap.load()) << "two holders at once";
    EXPECT_FALSE(section.IsAcquired()) << "held after every holder left";
}

}  // namespace
