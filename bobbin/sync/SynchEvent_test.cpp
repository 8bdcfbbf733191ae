#include "bobbin/sync/SynchEvent.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <thread>

#include "background.h"

// Allocation failure on demand: after `t_fail_allocation = n`, the n-th
// allocation made by the same thread throws std::bad_alloc.
static thread_local int t_fail_allocation = 0;

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpragmas"
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    const bool fail = t_fail_allocation > 0 && --t_fail_allocation == 0;
    if (void* p = fail ? nullptr : std::malloc(size == 0 ? 1 : size)) return p;
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
using namespace std::chrono_literals;

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
// on events that no other thread touches at the time; leaves them signalled.
bool ReleasesWaiter(SynchEvent& event) {
    Background waiter([&] { event.WaitForSignal(); });
    const bool released = !waiter.StaysBlocked(50ms);
    event.Signal();
    EXPECT_TRUE(waiter.Finishes());
    return released;
}

// Two pending auto-reset Signals are consumed by one wait; a manual-reset event
// built signalled passes every wait until Unsignal. Then one Signal releases
// exactly one waiter of an auto-reset event and every waiter of a manual one.
TEST(SynchEventTest, SignalReleasesOneOrEveryWaiter) {
    for (bool manual : {false, true}) {
        SynchEvent event(manual, manual, nullptr);
        if (manual) {
            for (int i = 0; i < 3; ++i) event.WaitForSignal();
            event.Unsignal();
        } else {
            event.Signal();
            event.Signal();
            event.WaitForSignal();
        }
        std::atomic<int> released{0};
        auto wait = [&] {
            event.WaitForSignal();
            ++released;
        };
        Background first(wait), second(wait), third(wait);
        EXPECT_TRUE(first.StaysBlocked()) << "manual=" << manual;
        for (int signals = 1; released.load() < 3; ++signals) {
            event.Signal();
            while (released.load() < signals) std::this_thread::yield();
            std::this_thread::sleep_for(50ms);
            EXPECT_EQ(released.load(), manual ? 3 : signals) << "manual=" << manual;
        }
        EXPECT_EQ(ReleasesWaiter(event), manual);  // only a manual event stays signalled
    }
}

// Time-outs in both modes: a wait ends by itself and leaves the flag as it was.
TEST(TimeoutTest, WaitEndsAndLeavesFlag) {
    const struct {
        bool manual, signalled;
        unsigned int timeout_ms;
        bool signalled_after;
    } kCases[] = {{false, false, 0, false}, {false, false, 30, false}, {true, false, 0, false},
                  {true, false, 30, false}, {false, true, 0, false},   {true, true, 30, true}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(::testing::Message() << "case " << &c - kCases);
        SynchEvent event(c.manual, c.signalled, nullptr);
        EXPECT_TRUE(Background([&] { event.WaitForSignal(c.timeout_ms); }).Finishes(5000ms));
        EXPECT_EQ(ReleasesWaiter(event), c.signalled_after);
    }
}

// The largest finite time-out still waits; wake-ups that find the flag unset
// do not extend a deadline.
TEST(SynchEventTest, TimeoutIsABoundDespiteWakeups) {
    SynchEvent longest(false, false, nullptr);
    Background patient([&] { longest.WaitForSignal(SynchEvent::kInfinite - 1); });
    EXPECT_TRUE(patient.StaysBlocked());
    longest.Signal();
    EXPECT_TRUE(patient.Finishes());
    for (bool manual : {false, true}) {
        WakeableEvent event(manual, false, nullptr);
        std::atomic<bool> stop{false};
        Background pump([&] {
            for (; !stop.load(); std::this_thread::sleep_for(5ms)) event.WakeWithoutSignal();
        });
        EXPECT_TRUE(Background([&] { event.WaitForSignal(100); }).Finishes(5000ms))
            << "manual=" << manual;
        stop = true;
    }
}

// A reply made with no request pending completes the next request at once.
TEST(SynchEventTest, HandshakeServesTwoRequestersOneAfterTheOther) {
    WakeableEvent event(false, false, nullptr);
    std::atomic<int> answered{0};
    Background answerer([&] {
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
    EXPECT_TRUE(answerer.Finishes());
    EXPECT_EQ(answered.load(), 2);
    event.Reply();
    EXPECT_TRUE(event.HasReplyEvent());
    EXPECT_TRUE(Background([&] { event.SignalAndWaitForReply(); }).Finishes());
    EXPECT_FALSE(event.HasReplyEvent());
    event.Reply();  // the destructor frees it (LeakSanitizer would report it)
}

// A failed allocation anywhere in building the reply event leaves it absent,
// the reply lock free and nothing leaked.
TEST(SynchEventTest, FailedReplyEventAllocationLeavesEventUsable) {
    WakeableEvent event(false, false, nullptr);
    int failures = 0;
    for (int n = 1; n < 40; ++n) {
        t_fail_allocation = n;
        try {
            event.ReplyEvent();
        } catch (const std::bad_alloc&) {  // the failing allocation reset the count
            ++failures;
            EXPECT_FALSE(event.HasReplyEvent());
            // Another thread needs the reply lock to build it.
            EXPECT_TRUE(Background([&] { event.ReplyEvent(); }).Finishes());
        }
        t_fail_allocation = 0;
        event.ClearReplyEvent();
    }
    EXPECT_GT(failures, 1);
}

// A thread cancelled inside a wait (its only cancellation point) gives up the
// event's locks on its way out.
TEST(SynchEventTest, CancelledWaiterLeavesEventUsable) {
    for (bool manual : {false, true}) {
        SynchEvent event(manual, false, nullptr);
        pthread_t thread;
        auto wait = [](void* e) -> void* {
            static_cast<SynchEvent*>(e)->WaitForSignal();
            return nullptr;
        };
        ASSERT_EQ(pthread_create(&thread, nullptr, wait, &event), 0);
        std::this_thread::sleep_for(50ms);
        pthread_cancel(thread);
        void* result = nullptr;
        pthread_join(thread, &result);
        EXPECT_EQ(result, PTHREAD_CANCELED);
        EXPECT_FALSE(ReleasesWaiter(event)) << "manual=" << manual;
    }
}

}  // namespace
