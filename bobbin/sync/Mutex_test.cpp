#include "bobbin/sync/Mutex.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "background.h"

namespace {

using bobbin::testing::Background;

// A foreign Release is refused: the holder keeps the mutex at its depth.
// ThreadSanitizer reports the refused unlock itself, as the misuse it is.
TEST(MutexTest, ForeignReleaseLeavesHolderDepth) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a foreign unlock is reported by ThreadSanitizer";
#endif
    Mutex mutex(nullptr);
    mutex.Acquire();
    mutex.Acquire();
    std::thread([&] { mutex.Release(); }).join();
    Background other([&] { Mutex::Lock hold(mutex); });
    EXPECT_TRUE(other.StaysBlocked());
    mutex.Release();
    EXPECT_TRUE(other.StaysBlocked());
    mutex.Release();
    EXPECT_TRUE(other.Finishes());
}

TEST(MutexTest, SameNameMutexesAreIndependent) {
    Mutex first("shared-name");
    Mutex second("shared-name");
    Mutex::Lock hold(first);
    Background other([&] { Mutex::Lock inner(second); });
    EXPECT_TRUE(other.Finishes());
}

TEST(MutexTest, LockReleasedWhenScopeLeftByException) {
    Mutex mutex;
    EXPECT_THROW(
        {
            Mutex::Lock hold(mutex);
            throw std::runtime_error("leave the scope");
        },
        std::runtime_error);
    Background other([&] { Mutex::Lock hold(mutex); });
    EXPECT_TRUE(other.Finishes());
}

}  // namespace
