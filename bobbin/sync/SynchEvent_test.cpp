#include "bobbin/sync/SynchEvent.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "background.h"

// Under ASan, a waiter's record touched after its wait returned is reported.
extern "C" const char* __asan_default_options() {
    return "detect_stack_use_after_return=1";
}

namespace {

using namespace bobbin::testing;

// One wait, cancellable when it runs on a thread of its own: 'w' TimedWait
// on events[0], 'n' wait-any or 'l' wait-all over `events`. Started one at a
// time and followed until it sleeps, so the order in which waiters block is known.
struct Wait {
    char kind;
    std::vector<SynchEvent*> events;
    std::atomic<pid_t> tid{0};
    std::atomic<int> result{-2};  // -2 until it returns
    pthread_t thread{};

    int Call(unsigned int timeoutMs) {  // 0 or the index taken; -1: timed out
        const int count = static_cast<int>(events.size());
        return kind == 'w' ? events[0]->TimedWait(timeoutMs) - 1
                           : WaitForMultipleEvents(events.data(), count, kind == 'l', timeoutMs);
    }
    static void* Body(void* self) {
        auto* w = static_cast<Wait*>(self);
        w->tid = gettid(), w->result = w->Call(SynchEvent::kInfinite);
        return nullptr;
    }
    void Start(bool untilBlocked = true) {
        pthread_create(&thread, nullptr, Body, this);
        while (untilBlocked && result == -2 && (tid == 0 || State() != 'S')) {
            std::this_thread::yield();
        }
    }
    char State() const {  // 'S' once the thread sleeps: the field after the name
        const std::string stat = TaskFile(tid, "stat");
        const size_t paren = stat.rfind(')');
        return paren == std::string::npos || paren + 2 >= stat.size() ? '?' : stat[paren + 2];
    }
    bool Returns(int expected) const {  // or stays blocked for a grace period
        const auto end = Clock::now() + (expected == -2 ? 20ms : 10s);
        while (result == -2 && Clock::now() < end) std::this_thread::yield();
        return result == expected;
    }
    void CancelAndJoin() {
        if (thread != pthread_t{}) pthread_cancel(thread), pthread_join(thread, nullptr);
    }
};

// A time-out that meets a Signal: the wait took the signal or the event
// keeps it, never neither. A soak: a lost signal shows in a few per cent of
// the rounds.
TEST(SynchEventTest, TimeOutMeetingASignalLosesNothingSoak) {
    const auto end = SoakEnd(0.5);
    for (int round = 0; Clock::now() < end && !HasFailure(); ++round) {
        SynchEvent event(false, false, nullptr);
        std::atomic<bool> waiting{false};
        bool took = false;
        const auto waiter = InBackground([&] { waiting = true, took = event.TimedWait(1); });
        while (!waiting) {  // a spin: a yield here blurs the aim
        }
        // The Signal sweeps across the moment the time-out falls due.
        std::this_thread::sleep_for(std::chrono::microseconds(950 + round % 100));
        event.Signal();
        ASSERT_TRUE(Finishes(waiter));
        EXPECT_NE(event.TimedWait(0), took) << "a signal lost or taken twice";
    }
}

// A blocked wait-all takes nothing until all its events, however many, are set.
TEST(WaitForMultipleEventsTest, BlockedWaitAllTakesNoPart) {
    SynchEvent a(false, false, nullptr), b(false, false, nullptr);
    std::deque<SynchEvent> clear;
    Wait all{'l', {&a, &b}};
    for (int i = 0; i < 6; ++i) all.events.push_back(&clear.emplace_back(false, false, nullptr));
    all.Start();
    a.Signal(), b.Signal();
    EXPECT_TRUE(all.Returns(-2)) << "a wait-all ended with one event clear";
    all.CancelAndJoin();
    EXPECT_TRUE(a.TimedWait(0)) << "the wait-all took a part";
    EXPECT_TRUE(b.TimedWait(0)) << "the wait-all took a part";
}

// Bad arguments throw and take nothing.
TEST(WaitForMultipleEventsTest, BadArgumentsThrowAndTakeNothing) {
    SynchEvent a(false, true, nullptr), b(false, false, nullptr);
    SynchEvent* const pair[] = {&a, &b};
    SynchEvent* const with_null[] = {&b, nullptr};
    SynchEvent* const twice[] = {&b, &a, &b};
    const std::pair<SynchEvent* const*, int> kBad[] = {
        {nullptr, 1}, {pair, 0}, {pair, -1}, {with_null, 2}, {twice, 3}};
    for (const auto& [events, count] : kBad) {
        EXPECT_THROW(WaitForMultipleEvents(events, count, false, 0), std::invalid_argument);
    }
    EXPECT_TRUE(a.TimedWait(0)) << "a bad call took a signal";
}

// A std::chrono time-out rounds up to whole milliseconds, so that it never
// ends early, and saturates at the longest finite wait without overflow.
TEST(SynchEventTest, ChronoTimeOutsRoundUpAndSaturate) {
    using namespace std::chrono;
    using bobbin::detail::kLongestFiniteWaitMs;
    using bobbin::detail::TimeoutMs;
    EXPECT_EQ(TimeoutMs(microseconds(1001)), 2u);
    EXPECT_EQ(TimeoutMs(duration<double>(-0.5)), 0u);
    EXPECT_EQ(TimeoutMs(nanoseconds::max()), kLongestFiniteWaitMs);
    EXPECT_EQ(TimeoutMs(hours::max()), kLongestFiniteWaitMs);
    SynchEvent event(false, false, nullptr);
    SynchEvent* const events[] = {&event};
    const auto start = steady_clock::now();
    EXPECT_FALSE(event.TimedWait(nanoseconds(1)));
    EXPECT_GE(steady_clock::now() - start, milliseconds(1)) << "a 1 ns time-out ended early";
    event.Signal();
    EXPECT_EQ(WaitForMultipleEvents(events, 1, false, hours::max()), 0);
}

// A wait cancelled while blocked leaves every event as if it had never waited;
// a signal handed to it as it was cancelled passes on. Soaks.
TEST(WaitForMultipleEventsTest, CancelledWaitsLoseNoSignalSoak) {
    std::mt19937 random(5);
    for (const auto end = SoakEnd(0.5); Clock::now() < end;) {
        const char kind = "wnl"[random() % 3];
        SynchEvent a(false, false, nullptr), b(false, kind == 'l', nullptr);
        Wait wait{kind, {&a}};
        if (kind != 'w') wait.events.push_back(&b);
        wait.Start(random() % 2);
        a.Signal();
        wait.CancelAndJoin();
        const bool took = wait.result >= 0;
        EXPECT_NE(a.TimedWait(0), took) << kind << ": a signal lost or taken twice";
        EXPECT_EQ(b.TimedWait(0), kind == 'l' && !took) << kind << ": a wait took a part";
    }
}

// Two events signalled from two threads at once, beside wait-all, wait-any
// and single waits on them: no hang, and every event's state stays under its
// lock (TSan). A soak.
TEST(WaitForMultipleEventsTest, ConcurrentSignallersNeverDeadlockSoak) {
    SynchEvent a(false, false, nullptr), b(true, false, nullptr);
    SynchEvent* const both[] = {&a, &b};
    const auto end = SoakEnd(0.5);
    OnThreads(4, [&](int t) {
        for (int i = 0; Clock::now() < end; ++i) {
            if (t < 2) (t == 0 ? a : b).Signal();
            if (t == 1 && i % 2) b.Unsignal();
            if (t > 1) WaitForMultipleEvents(both, 2, t == 2, 1);
            if (t == 3) a.TimedWait(1);
        }
    });
}

// A Signal that meets a wait-all whose other event is locked elsewhere loses no
// signal, nor touches the wait's record after it returned (ASan). A soak.
TEST(WaitForMultipleEventsTest, SignalMeetingABusyWaitAllLosesNothingSoak) {
    struct Busy : SynchEvent {
        Busy() : SynchEvent(true, true, nullptr) {}
        void Hold() {
            pthread_mutex_lock(mutex);
            for (volatile int spin = 0; spin < 200; spin = spin + 1) {
            }
            pthread_mutex_unlock(mutex);
        }
    } busy;
    SynchEvent a(false, false, nullptr);
    SynchEvent* const both[] = {&a, &busy};
    std::atomic<int> taken{0};
    std::atomic<bool> stop{false};
    const auto holder = InBackground([&] {
        while (!stop) busy.Hold();
    });
    const auto waiter = InBackground([&] {
        for (unsigned i = 0; !stop; ++i) taken += WaitForMultipleEvents(both, 2, true, i % 2) == 0;
    });
    int given = 0;
    for (const auto end = SoakEnd(0.5); Clock::now() < end && !HasFailure();) {
        a.Signal();
        ++given;
        const auto limit = Clock::now() + 10s;
        while (taken < given && Clock::now() < limit) std::this_thread::yield();
        EXPECT_EQ(taken, given) << "a signal lost or taken twice";
    }
    stop = true;
}

// Random schedules against a model of the rules. Steps: Signal, Unsignal,
// a wait on a thread of its own (blocked before the next step), a wait with a
// time-out on this thread. A signal left in an event is taken at once (wait-any:
// its first event that is set; wait-all: only with all set, then all of them).
// Otherwise a Signal goes to the first blocked waiter that can take it, or sets
// the event; a manual-reset Signal to all of them, and it stays set. A time-out
// ends a wait no sooner, and it takes nothing. Checks each wait's result and
// each event's state at the end. Soaks.
TEST(WaitForMultipleEventsTest, RandomSchedulesFollowTheRulesSoak) {
    struct Event : SynchEvent {  // a subclass reads the state as 0 or 1
        Event(bool manual, bool set) : SynchEvent(manual, set, nullptr) {}
        int State() { return signalled; }
    };
    std::mt19937 random(11);
    for (const auto end = SoakEnd(1); Clock::now() < end && !HasFailure();) {
        constexpr int kEvents = 3;
        bool manual[kEvents], set[kEvents];
        std::deque<Event> events;
        for (int e = 0; e < kEvents; ++e) {
            manual[e] = random() % 3 == 0, set[e] = random() % 4 == 0;
            events.emplace_back(manual[e], set[e]);
        }
        std::deque<Wait> waits;
        std::vector<std::vector<int>> picks;  // each wait's events by number
        std::vector<int> expected;            // the model's result of each wait, -2: blocked
        const auto take = [&](int w, int e, int index) {  // whether wait w takes e's signal
            if (expected[w] != -2) return false;
            for (int other : picks[w]) {
                if (waits[w].kind == 'l' && other != e && !set[other]) return false;
            }
            const bool all = waits[w].kind == 'l';
            for (size_t i = 0; i < picks[w].size(); ++i) {
                if (all || int(i) == index) set[picks[w][i]] &= manual[picks[w][i]];
            }
            return expected[w] = all ? 0 : index, true;
        };
        for (int step = 0, steps = 3 + int(random() % 8); step < steps; ++step) {
            const int e = int(random() % kEvents);
            if (random() % 8 == 0) {
                events[e].Unsignal(), set[e] = false;
            } else if (random() % 2 == 0) {
                events[e].Signal();
                bool taken = false;
                set[e] = set[e] || manual[e];
                for (size_t w = 0; w < waits.size() && !(taken && !manual[e]); ++w) {
                    for (size_t i = 0; i < picks[w].size(); ++i) {
                        if (picks[w][i] == e && take(int(w), e, int(i))) taken = true;
                    }
                }
                set[e] = set[e] || !taken;
            } else {
                Wait& wait = waits.emplace_back();
                wait.kind = "wwnl"[random() % 4];
                std::vector<int> pick{e};
                for (int other = 0; other < kEvents && wait.kind != 'w'; ++other) {
                    if (other != e && random() % 2) pick.insert(pick.begin() + random() % 2, other);
                }
                for (int p : pick) wait.events.push_back(&events[p]);
                picks.push_back(pick), expected.push_back(-2);  // or what it takes at once:
                for (size_t i = 0; i < pick.size(); ++i) {
                    if (set[pick[i]]) take(int(waits.size() - 1), pick[i], int(i));
                }
                if (random() % 3 != 0) {
                    wait.Start();
                    continue;
                }
                const unsigned int timeout_ms = random() % 2 ? 0 : 10;
                const auto start = Clock::now();
                wait.result = wait.Call(timeout_ms);
                if (expected.back() != -2) continue;
                expected.back() = -1;
                EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(timeout_ms))
                    << "a wait of kind " << wait.kind << " ended before its time-out";
            }
        }
        for (size_t w = 0; w < waits.size(); ++w) {
            EXPECT_TRUE(waits[w].Returns(expected[w]))
                << "wait " << w << " of kind " << waits[w].kind;
        }
        for (auto& w : waits) w.CancelAndJoin();
        for (int e = 0; e < kEvents; ++e) {
            EXPECT_EQ(events[e].State(), int(set[e])) << "the state of event " << e;
            EXPECT_EQ(events[e].TimedWait(0), set[e]) << "what a wait takes of event " << e;
        }
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
    EXPECT_TRUE(Finishes(first)) << "the first requester was not answered";
    EXPECT_TRUE(Finishes(second)) << "the second requester was not answered";
    EXPECT_TRUE(Finishes(answerer)) << "the answerer missed a request";
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

// A failed init throws and leaves nothing undestroyed nor destroyed twice
// (LSan: nothing leaks); a wait the platform refuses returns false, unspun.
TEST(SynchEventTest, PlatformRefusalsAreReportedNotSpun) {
    for (const char* function : {"pthread_mutex_init", "pthread_cond_init"}) {
        EXPECT_EQ(InitFailuresCleanUp(function, [] { SynchEvent(false, false, nullptr); }), "");
    }
    SynchEvent event(false, false, nullptr);
    bool signalled = true;
    EXPECT_TRUE(Finishes(InBackground([&] {
        ASSERT_TRUE(RefuseFutexWaits());
        signalled = event.TimedWait(SynchEvent::kInfinite - 1);
    })));
    EXPECT_FALSE(signalled);
}

}  // namespace
