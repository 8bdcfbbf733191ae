#include "bobbin/sync/Mutex.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "background.h"

namespace {

using bobbin::testing::Background;

// A foreign Release of a Mutex is refused: the holder keeps its depth.
TEST(MutexTest, ForeignReleaseLeavesHolderDepth) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer reports the refused unlock itself, as the misuse it is";
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

TEST(MutexTest, SameNamesAreIndependentAndScopeExitReleases) {
    Mutex first("shared-name"), second("shared-name");
    {
        Mutex::Lock hold(first);
        Background other([&] { Mutex::Lock inner(second); });
        EXPECT_TRUE(other.Finishes());
    }
    EXPECT_THROW(
        {
            Mutex::Lock hold(first);
            throw std::runtime_error("leave the scope");
        },
        std::runtime_error);
    Background other([&] { Mutex::Lock hold(first); });
    EXPECT_TRUE(other.Finishes());
}

}  // namespace
