#include "bobbin/sync/SynchEvent.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "background.h"

// Allocation failure on demand: the n-th allocation made by the current thread
// after FailNthAllocation(n) throws std::bad_alloc.
namespace {
thread_local int t_allocations_until_failure = 0;
void FailNthAllocation(int n) {
    t_allocations_until_failure = n;
}
}  // namespace

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpragmas"
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    if (t_allocations_until_failure > 0 && --t_allocations_until_failure == 0) {
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
#pragma GCC diagnostic pop

namespace {

using bobbin::testing::Background;
using std::chrono::milliseconds;

// Exposes a wake-up that leaves the flag unset, as a spurious wake-up would.
class WakeableEvent : public SynchEvent {
  public:
    using SynchEvent::SynchEvent;
    void WakeWithoutSignal() {
        pthread_mutex_lock(mutex);
        pthread_cond_broadcast(condition);
        pthread_mutex_unlock(mutex);
    }
    bool HasReplyEvent() {
        CriticalSection::Lock hold(reply_lock);
        return reply_event != nullptr;
    }
};

// True if the event is signalled now: a waiter on it is released at once. Used
// on events that no other thread touches at the time.
bool ReleasesWaiter(SynchEvent& event) {
    Background waiter([&] { event.WaitForSignal(); });
    if (waiter.StaysBlocked(milliseconds(50))) {
        event.Signal();
        EXPECT_TRUE(waiter.Finishes());
        return false;
    }
    return true;
}

// A pending auto-reset Signal is consumed by one wait, and two count as one; a
// manual-reset event built signalled passes every wait until Unsignal.
TEST(SynchEventTest, PendingSignals) {
    SynchEvent automatic(false, false, nullptr);
    automatic.Signal();
    automatic.Signal();
    automatic.WaitForSignal();
    EXPECT_FALSE(ReleasesWaiter(automatic));
    SynchEvent manual(true, true, nullptr);
    for (int i = 0; i < 3; ++i) manual.WaitForSignal();
    manual.Unsignal();
    EXPECT_FALSE(ReleasesWaiter(manual));
}

// One Signal releases exactly one waiter of an auto-reset event and every
// waiter of a manual-reset event.
TEST(SynchEventTest, SignalReleasesOneOrEveryWaiter) {
    for (bool manual : {false, true}) {
        SynchEvent event(manual, false, nullptr);
        std::atomic<int> released{0};
        std::vector<std::unique_ptr<Background>> waiters;
        for (int i = 0; i < 3; ++i) {
            waiters.push_back(std::make_unique<Background>([&] {
                event.WaitForSignal();
                ++released;
            }));
        }
        EXPECT_TRUE(waiters[0]->StaysBlocked());
        for (int signals = 1; released.load() < 3; ++signals) {
            event.Signal();
            while (released.load() < signals) std::this_thread::yield();
            std::this_thread::sleep_for(milliseconds(50));
            EXPECT_EQ(released.load(), manual ? 3 : signals) << "manual=" << manual;
        }
        for (auto& waiter : waiters) EXPECT_TRUE(waiter->Finishes());
        EXPECT_EQ(ReleasesWaiter(event), manual);  // only a manual event stays signalled
    }
}

// Time-outs in both modes: a wait ends by itself and leaves the flag as it was.
struct TimeoutCase {
    bool manual;
    bool initially_signalled;
    unsigned int timeout_ms;
    bool signalled_after;
};

void PrintTo(const TimeoutCase& c, std::ostream* os) {
    *os << (c.manual ? "manual" : "auto") << ", " << (c.initially_signalled ? "set" : "unset")
        << ", " << c.timeout_ms << " ms";
}

class TimeoutTest : public ::testing::TestWithParam<TimeoutCase> {};

TEST_P(TimeoutTest, WaitEndsAndLeavesFlag) {
    const TimeoutCase& c = GetParam();
    SynchEvent event(c.manual, c.initially_signalled, nullptr);
    Background waiter([&] { event.WaitForSignal(c.timeout_ms); });
    EXPECT_TRUE(waiter.Finishes(milliseconds(5000)));
    EXPECT_EQ(ReleasesWaiter(event), c.signalled_after);
}

INSTANTIATE_TEST_SUITE_P(
    BothModes, TimeoutTest,
    ::testing::Values(TimeoutCase{false, false, 0, false}, TimeoutCase{false, false, 30, false},
                      TimeoutCase{true, false, 0, false}, TimeoutCase{true, false, 30, false},
                      TimeoutCase{false, true, 0, false}, TimeoutCase{true, true, 30, true}),
    [](const ::testing::TestParamInfo<TimeoutCase>& info) {
        const TimeoutCase& c = info.param;
        return std::string(c.manual ? "Manual" : "Auto") +
               (c.initially_signalled ? "Signalled" : "Unsignalled") + "Wait" +
               std::to_string(c.timeout_ms) + "ms";
    });

TEST(SynchEventTest, LargeFiniteTimeoutStillBlocks) {
    SynchEvent event(false, false, nullptr);
    Background waiter([&] { event.WaitForSignal(SynchEvent::kInfinite - 1); });
    EXPECT_TRUE(waiter.StaysBlocked());
    event.Signal();
    EXPECT_TRUE(waiter.Finishes());
}

// Wake-ups that find the flag unset do not extend the deadline.
TEST(SynchEventTest, TimeoutIsABoundDespiteWakeups) {
    for (bool manual : {false, true}) {
        WakeableEvent event(manual, false, nullptr);
        std::atomic<bool> stop{false};
        std::thread pump([&] {
            while (!stop.load()) {
                event.WakeWithoutSignal();
                std::this_thread::sleep_for(milliseconds(5));
            }
        });
        Background waiter([&] { event.WaitForSignal(100); });
        EXPECT_TRUE(waiter.Finishes(milliseconds(5000))) << "manual=" << manual;
        stop = true;
        pump.join();
    }
}

TEST(SynchEventTest, HandshakeServesTwoRequestersOneAfterTheOther) {
    SynchEvent event(false, false, nullptr);
    std::atomic<int> answered{0};
    std::thread answerer([&] {
        for (int i = 0; i < 2; ++i) {
            event.WaitForSignal();
            ++answered;
            event.Reply();
        }
    });
    Background first([&] { event.SignalAndWaitForReply(); });
    Background second([&] { event.SignalAndWaitForReply(); });
    EXPECT_TRUE(first.Finishes());
    EXPECT_TRUE(second.Finishes());
    answerer.join();
    EXPECT_EQ(answered.load(), 2);
}

TEST(SynchEventTest, ReplyBeforeRequestCompletesRequestAtOnce) {
    WakeableEvent event(false, false, nullptr);
    event.Reply();
    EXPECT_TRUE(event.HasReplyEvent());
    Background requester([&] { event.SignalAndWaitForReply(); });
    EXPECT_TRUE(requester.Finishes());
    EXPECT_FALSE(event.HasReplyEvent());
    event.Reply();  // the destructor frees it (LeakSanitizer would report it)
}

// A failed allocation anywhere in building the reply event leaves it absent,
// the reply lock free and nothing leaked.
TEST(SynchEventTest, FailedReplyEventAllocationLeavesEventUsable) {
    WakeableEvent event(false, false, nullptr);
    int failures = 0;
    for (int n = 1; n < 40; ++n) {
        FailNthAllocation(n);
        try {
            event.ReplyEvent();
        } catch (const std::bad_alloc&) {
            ++failures;
            FailNthAllocation(0);
            EXPECT_FALSE(event.HasReplyEvent());
            Background other([&] { event.ReplyEvent(); });  // needs the reply lock
            EXPECT_TRUE(other.Finishes());
        }
        FailNthAllocation(0);
        event.ClearReplyEvent();
    }
    EXPECT_GT(failures, 1);
}

// A thread cancelled inside a wait gives up the event's locks on its way out.
TEST(SynchEventTest, CancelledWaiterLeavesEventUsable) {
    for (bool manual : {false, true}) {
        SynchEvent event(manual, false, nullptr);
        std::atomic<bool> waiting{false};
        struct Args {
            SynchEvent* event;
            std::atomic<bool>* waiting;
        } args{&event, &waiting};
        pthread_t thread;
        ASSERT_EQ(pthread_create(
                      &thread, nullptr,
                      [](void* p) -> void* {
                          auto* a = static_cast<Args*>(p);
                          a->waiting->store(true);
                          a->event->WaitForSignal();
                          return nullptr;
                      },
                      &args),
                  0);
        while (!waiting.load()) std::this_thread::yield();
        std::this_thread::sleep_for(milliseconds(50));
        pthread_cancel(thread);
        void* result = nullptr;
        pthread_join(thread, &result);
        EXPECT_EQ(result, PTHREAD_CANCELED);

        Background next([&] { event.WaitForSignal(); });
        EXPECT_TRUE(next.StaysBlocked(milliseconds(50)));
        event.Signal();
        EXPECT_TRUE(next.Finishes()) << "manual=" << manual;
    }
}

}  // namespace
