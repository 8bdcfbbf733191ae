#include "bobbin/sync/SynchEvent.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "background.h"
#include "platform_faults.h"

namespace {

using namespace bobbin::testing;

struct WakeableEvent : SynchEvent {  // wakes waiters without a signal, as spuriously
    using SynchEvent::SynchEvent;
    void Wake() {
        pthread_mutex_lock(mutex), pthread_cond_broadcast(condition), pthread_mutex_unlock(mutex);
    }
};

// A time-out ends the wait, says so and leaves the flag, also behind unlimited
// waiters woken without a signal; a Signal releases one, or both if manual.
TEST(SynchEventTest, TimeOutIsABoundAlsoBehindUnlimitedWaiters) {
    const struct {
        bool manual, signalled;
        unsigned int timeout_ms;
        bool queued;
    } kCases[] = {{false, false, 30, false}, {true, false, 0, false}, {false, false, 0, true},
                  {true, false, 30, true},   {false, true, 0, false}, {true, true, 30, false}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(::testing::Message() << "case " << &c - kCases);
        WakeableEvent event(c.manual, c.signalled, nullptr);
        std::atomic<int> released{0};
        std::atomic<bool> stop{false};
        const auto waker = InBackground([&] {
            for (; !stop; std::this_thread::sleep_for(5ms)) event.Wake();
        });
        std::future<void> waiters[2];
        for (auto& w : waiters) {
            if (c.queued) w = InBackground([&] { event.WaitForSignal(), ++released; });
        }
        EXPECT_TRUE(!c.queued || StaysBlocked(waiters[0], 20ms));
        bool signalled = !c.signalled;
        EXPECT_TRUE(Finishes(InBackground([&] { signalled = event.TimedWait(c.timeout_ms); })));
        EXPECT_EQ(signalled, c.signalled);
        stop = true;
        if (c.queued) {
            event.Signal();
            const auto end = Clock::now() + 10s;
            while (released.load() < 1 + c.manual && Clock::now() < end) std::this_thread::yield();
            std::this_thread::sleep_for(50ms);
            EXPECT_EQ(released.load(), 1 + c.manual);
            event.Signal();  // releases the other auto-reset waiter
            EXPECT_TRUE(Finishes(waiters[0]) && Finishes(waiters[1]));
        }
        EXPECT_EQ(event.TimedWait(0), c.manual && (c.signalled || c.queued));
        EXPECT_FALSE((event.Signal(), event.Unsignal(), event.TimedWait(0)));
    }
}

// Waiters blocked one after another; `signal` releases them. Every blocked
// waiter that a Signal finds is released, in the order the waiters came: k
// auto-reset Signals release the first min(k, blocked), a manual-reset Signal
// all of them whatever Unsignal does next; a Signal that found nobody leaves
// the event signalled, and several count as one.
TEST(SynchEventTest, SignalReleasesWaitersBlockedAtItInTheirOrder) {
    const struct {
        bool manual;
        int waiters, signals;
        bool unsignal;
        int released;
        bool left_signalled;
    } kCases[] = {{false, 2, 2, false, 2, false}, {false, 3, 2, false, 2, false},
                  {false, 1, 3, false, 1, true},  {false, 3, 2, true, 2, false},
                  {true, 3, 1, true, 3, false},   {true, 2, 2, false, 2, true}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(::testing::Message() << "case " << &c - kCases);
        SynchEvent event(c.manual, false, nullptr);
        std::atomic<int> done{0};
        std::atomic<unsigned> released_mask{0};
        std::vector<std::future<void>> waiters;
        for (int w = 0; w < c.waiters; ++w) {
            waiters.push_back(InBackground([&, w] {
                if (event.TimedWait(5000)) released_mask |= 1u << w;
                ++done;
            }));
            StaysBlocked(waiters.back(), 30ms);  // blocked before the next comes
        }
        for (int s = 0; s < c.signals; ++s) event.Signal();
        if (c.unsignal) event.Unsignal();
        const auto end = Clock::now() + 3s;
        while (done.load() < c.released && Clock::now() < end) std::this_thread::yield();
        std::this_thread::sleep_for(30ms);
        EXPECT_EQ(released_mask.load(), (1u << c.released) - 1) << "released the first ones";
        EXPECT_EQ(event.TimedWait(0), c.left_signalled);
        for (int w = c.released; w < c.waiters; ++w) event.Signal();
        for (auto& w : waiters) EXPECT_TRUE(Finishes(w));
    }
}

// Requesters are served in turn; a late reply never touches a freed one (ASan).
TEST(SynchEventTest, HandshakeServesRequestersAndLateRepliesTouchNothingFreed) {
    SynchEvent event(false, false, nullptr);
    std::atomic<bool> stop{false};
    const auto answerer = InBackground([&] {
        for (int i = 0; i < 2; ++i) event.WaitForSignal(), event.Reply();
    });
    const auto request = [&] { event.SignalAndWaitForReply(); };
    const auto first = InBackground(request), second = InBackground(request);
    EXPECT_TRUE(Finishes(first) && Finishes(second) && Finishes(answerer));
    event.Reply();
    EXPECT_TRUE(Finishes(InBackground(request)));
    const auto twice = InBackground([&] {
        for (unsigned seed = 7; !stop.load(); seed = seed * 1103515245 + 12345) {
            event.WaitForSignal(), event.Reply();
            for (volatile unsigned spin = (seed >> 8) % 3000; spin > 0; spin = spin - 1) {
            }
            event.Reply();
        }
    });
    for (const auto end = SoakEnd(2); Clock::now() < end;) event.SignalAndWaitForReply();
    stop = true;
    event.Signal();
}

// Each failed init throws, leaking nothing (LSan); a refused wait does not spin.
TEST(SynchEventTest, PlatformRefusalsAreReportedNotSpun) {
    EXPECT_EQ(FailuresUntilBuilt("pthread_mutex_init", [] { SynchEvent(false, false, nullptr); }),
              10);
    EXPECT_EQ(FailuresUntilBuilt("pthread_cond_init", [] { SynchEvent(false, false, nullptr); }),
              1);
    SynchEvent event(false, false, nullptr);
    bool signalled = true;
    EXPECT_TRUE(Finishes(InBackground([&] {
        FailPlatformCall("pthread_cond_clockwait", 1);
        signalled = event.TimedWait(SynchEvent::kInfinite - 1);
    })));
    EXPECT_FALSE(signalled);
}

}  // namespace
