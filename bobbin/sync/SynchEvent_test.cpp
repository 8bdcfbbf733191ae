#include "bobbin/sync/SynchEvent.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>

#include "background.h"
#include "platform_faults.h"

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
            for (int i = 0; i < 3; ++i) EXPECT_TRUE(event.TimedWait(0));
            event.Unsignal();
        } else {
            event.Signal();
            event.Signal();
            EXPECT_TRUE(event.TimedWait(SynchEvent::kInfinite));
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

// A time-out ends the wait, says so and leaves the flag as it was, also for a
// waiter queued behind another that waits without limit.
TEST(SynchEventTest, TimeOutIsABoundAlsoBehindAnUnlimitedWaiter) {
    const struct {
        bool manual, signalled;
        unsigned int timeout_ms;
        bool queued;
    } kCases[] = {{false, false, 0, false}, {false, false, 30, false}, {true, false, 0, false},
                  {true, false, 30, false}, {false, false, 0, true},   {false, false, 30, true},
                  {true, false, 30, true},  {false, true, 0, false},   {true, true, 30, false}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(::testing::Message() << "case " << &c - kCases);
        SynchEvent event(c.manual, c.signalled, nullptr);
        std::atomic<bool> unlimited_done{false};
        Background unlimited([&] {
            if (c.queued) event.WaitForSignal();
            unlimited_done = true;
        });
        EXPECT_EQ(unlimited.StaysBlocked(20ms), c.queued);
        bool signalled = !c.signalled;
        EXPECT_TRUE(Background([&] { signalled = event.TimedWait(c.timeout_ms); }).Finishes(5s));
        EXPECT_EQ(signalled, c.signalled);
        EXPECT_EQ(unlimited_done.load(), !c.queued);
        if (c.queued) event.Signal();
        EXPECT_TRUE(unlimited.Finishes());
        EXPECT_EQ(ReleasesWaiter(event), c.manual && (c.signalled || c.queued));
    }
}

// The largest finite time-out still waits; wake-ups that find the flag unset
// do not extend a deadline.
TEST(SynchEventTest, TimeOutIsABoundDespiteWakeups) {
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
        EXPECT_TRUE(Background([&] { event.WaitForSignal(100); }).Finishes(5s));
        stop = true;
    }
}

// Two requesters are served one after the other; a reply made with no request
// pending completes the next request at once.
TEST(SynchEventTest, HandshakeServesRequestersOneAfterTheOther) {
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

// An answerer that replies twice races its second reply with the requester,
// which returns on the first and deletes the reply event: the reply must never
// touch a deleted event (AddressSanitizer reports it).
TEST(SynchEventTest, LateReplyNeverTouchesADeletedReplyEvent) {
    SynchEvent event(false, false, nullptr);
    std::atomic<bool> stop{false};
    Background answerer([&] {
        for (unsigned seed = 7; !stop.load(); seed = seed * 1103515245 + 12345) {
            event.WaitForSignal();
            event.Reply();
            for (volatile unsigned spin = (seed >> 8) % 3000; spin > 0; spin = spin - 1) {
            }
            event.Reply();
        }
    });
    for (const auto end = bobbin::testing::SoakEnd(2); bobbin::testing::Clock::now() < end;) {
        event.SignalAndWaitForReply();
    }
    stop = true;
    event.Signal();
}

// A thread cancelled inside a wait gives up the event's mutex on its way out.
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

// A mutex or condition that fails to initialise makes the constructor throw
// (LeakSanitizer checks that nothing stays allocated); a wait that the
// platform refuses ends at once instead of spinning.
TEST(SynchEventTest, PlatformRefusalsAreReportedNotSpun) {
    // Nine mutexes of its three critical sections come before its own.
    for (const auto& [call, inits] :
         {std::pair{"pthread_mutex_init", 10}, {"pthread_cond_init", 1}}) {
        for (int nth = 1; nth <= inits; ++nth) {
            bobbin::testing::FailPlatformCall(call, nth, ENOMEM);
            EXPECT_THROW(SynchEvent(false, false, nullptr), std::system_error) << call << nth;
        }
        bobbin::testing::FailPlatformCall(call, inits + 1, ENOMEM);
        EXPECT_NO_THROW(SynchEvent(false, false, nullptr));
        bobbin::testing::FailPlatformCall(nullptr, 0, 0);
    }
    SynchEvent event(false, false, nullptr);
    bool signalled = true;
    Background refused([&] {
        bobbin::testing::FailPlatformCall("pthread_cond_timedwait", 1, EINVAL);
        signalled = event.TimedWait(SynchEvent::kInfinite - 1);
    });
    EXPECT_TRUE(refused.Finishes(5s));
    EXPECT_FALSE(signalled);
}

}  // namespace
