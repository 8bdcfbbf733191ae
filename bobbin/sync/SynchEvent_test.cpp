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

namespace {

using namespace bobbin::testing;

// One wait on a thread of its own, cancellable: 'w' TimedWait on events[0],
// 'n' wait-any or 'l' wait-all over `events`. Started one at a time and
// followed until it sleeps, so the order in which waiters block is known.
struct Wait {
    char kind;
    std::vector<SynchEvent*> events;
    std::atomic<pid_t> tid{0};
    std::atomic<int> result{-2};  // -2 until it returns
    pthread_t thread{};

    static void* Body(void* self) {
        auto* w = static_cast<Wait*>(self);
        w->tid = gettid();
        const int count = static_cast<int>(w->events.size());
        w->result = w->kind == 'w' ? w->events[0]->TimedWait(SynchEvent::kInfinite) - 1
                                   : WaitForMultipleEvents(w->events.data(), count, w->kind == 'l',
                                                           SynchEvent::kInfinite);
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

// A time-out ends the wait, says so and changes nothing, also behind an
// unlimited waiter; a signal left in the event is taken at once.
TEST(SynchEventTest, TimeOutIsABoundAlsoBehindUnlimitedWaiters) {
    const struct {
        bool manual, signalled;
        unsigned int timeout_ms;
        bool queued;
    } kCases[] = {{false, false, 30, false}, {true, false, 0, false}, {false, false, 0, true},
                  {true, false, 30, true},   {false, true, 0, false}, {true, true, 30, false}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(::testing::Message() << "case " << &c - kCases);
        struct Event : SynchEvent {  // a subclass reads the state as 0 or 1
            using SynchEvent::SynchEvent;
            int State() { return signalled; }
        } event(c.manual, c.signalled, nullptr);
        EXPECT_EQ(event.State(), int(c.signalled));
        Wait queued{'w', {&event}};
        if (c.queued) queued.Start();
        const auto start = Clock::now();
        EXPECT_EQ(event.TimedWait(c.timeout_ms), c.signalled);
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(c.signalled ? 0 : c.timeout_ms))
            << "the wait ended before its time-out";
        if (c.queued) {
            event.Signal();
            EXPECT_TRUE(queued.Returns(0)) << "the queued waiter missed the Signal";
        }
        queued.CancelAndJoin();
        EXPECT_EQ(event.TimedWait(0), c.manual && (c.signalled || c.queued)) << "the state left";
        event.Signal(), event.Unsignal();
        EXPECT_FALSE(event.TimedWait(0)) << "Unsignal left the event signalled";
    }
}

// Every waiter that a Signal finds blocked is released, in the order the
// waiters came: k auto-reset Signals release the first min(k, blocked), a
// manual-reset Signal all of them whatever Unsignal does next; a Signal that
// finds nobody leaves the event signalled, and several count as one.
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
        std::deque<Wait> waits;
        for (int w = 0; w < c.waiters; ++w) waits.emplace_back().kind = 'w';
        for (auto& w : waits) w.events = {&event}, w.Start();
        for (int s = 0; s < c.signals; ++s) event.Signal();
        if (c.unsignal) event.Unsignal();
        for (int w = 0; w < c.waiters; ++w) {
            EXPECT_TRUE(waits[w].Returns(w < c.released ? 0 : -2)) << "waiter " << w;
        }
        EXPECT_EQ(event.TimedWait(0), c.left_signalled);
        for (auto& w : waits) w.CancelAndJoin();
    }
}

// Wait-any takes the lowest signalled event, wait-all every event at one
// moment; neither takes what it does not return, a time-out takes nothing,
// and bad arguments throw and take nothing.
TEST(WaitForMultipleEventsTest, TakesWhatItReturnsAndNothingElse) {
    const struct {
        bool all;
        const char *modes, *before;  // per event: 'm'anual or 'a'uto; '1' signalled
        int result;
        const char* after;
    } kCases[] = {{false, "aaa", "011", 1, "001"}, {false, "ama", "011", 1, "011"},
                  {false, "aa", "00", -1, "00"},   {true, "aaa", "110", -1, "110"},
                  {true, "ama", "111", 0, "010"},  {true, "a", "1", 0, "0"},
                  {false, "m", "1", 0, "1"}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(::testing::Message() << "case " << &c - kCases);
        std::deque<SynchEvent> events;
        std::vector<SynchEvent*> pointers;
        for (size_t i = 0; c.modes[i] != 0; ++i) {
            pointers.push_back(
                &events.emplace_back(c.modes[i] == 'm', c.before[i] == '1', nullptr));
        }
        const auto start = Clock::now();
        const int count = static_cast<int>(events.size());
        EXPECT_EQ(WaitForMultipleEvents(pointers.data(), count, c.all, 20), c.result);
        EXPECT_GE(Clock::now() - start, c.result < 0 ? 20ms : 0ms);
        for (int i = 0; i < count; ++i) EXPECT_EQ(events[i].TimedWait(0), c.after[i] == '1') << i;
        events[0].Signal();  // the ended wait left nothing queued that could take it
        EXPECT_TRUE(events[0].TimedWait(0)) << "a Signal went to a wait that had ended";
    }
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

// Random schedules of Signal, Unsignal, TimedWait and multi-event waits, each
// wait blocked before the next step, against a model of the rules: a Signal
// goes to the first blocked waiter that can take it, or sets the event; a
// manual-reset Signal to all of them; a wait-all waiter takes a Signal only
// with its other events set, and takes them all. Checks each wait's result
// and each event's state at the end. Soaks.
TEST(WaitForMultipleEventsTest, RandomSchedulesFollowTheRulesSoak) {
    std::mt19937 random(11);
    for (const auto end = SoakEnd(1); Clock::now() < end && !HasFailure();) {
        constexpr int kEvents = 3;
        bool manual[kEvents], set[kEvents] = {};
        std::deque<SynchEvent> events;
        for (bool& m : manual) m = random() % 3 == 0, events.emplace_back(m, false, nullptr);
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
        for (int step = 0, steps = 2 + int(random() % 6); step < steps; ++step) {
            const int e = int(random() % kEvents);
            if (random() % 2 == 0 && random() % 4 == 0) {
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
                wait.kind = "wnl"[random() % 3];
                std::vector<int> pick{e};
                for (int other = 0; other < kEvents && wait.kind != 'w'; ++other) {
                    if (other != e && random() % 2) pick.insert(pick.begin() + random() % 2, other);
                }
                for (int p : pick) wait.events.push_back(&events[p]);
                picks.push_back(pick), expected.push_back(-2);  // or what it takes at once:
                bool all = wait.kind == 'l';
                for (int p : pick) all = all && set[p];
                for (size_t i = 0; i < pick.size() && expected.back() == -2; ++i) {
                    if (all || (wait.kind != 'l' && set[pick[i]]))
                        take(int(waits.size() - 1), -1, int(i));
                }
                wait.Start();
            }
        }
        for (size_t w = 0; w < waits.size(); ++w) {
            EXPECT_TRUE(waits[w].Returns(expected[w]))
                << "wait " << w << " of kind " << waits[w].kind;
        }
        for (auto& w : waits) w.CancelAndJoin();
        for (int e = 0; e < kEvents; ++e) EXPECT_EQ(events[e].TimedWait(0), set[e]) << e;
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
