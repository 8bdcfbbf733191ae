#include "bobbin/sync/SynchEvent.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "background.h"
#include "platform_faults.h"

namespace {

using namespace bobbin::testing;

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
        SynchEvent event(c.manual, c.signalled, nullptr);
        std::future<void> waiter;
        if (c.queued) waiter = InBackground([&] { event.WaitForSignal(); });
        EXPECT_TRUE(!c.queued || StaysBlocked(waiter, 20ms));
        bool signalled = !c.signalled;
        const auto start = Clock::now();
        EXPECT_TRUE(Finishes(InBackground([&] { signalled = event.TimedWait(c.timeout_ms); })));
        EXPECT_EQ(signalled, c.signalled);
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(c.signalled ? 0 : c.timeout_ms));
        if (c.queued) {
            event.Signal();
            EXPECT_TRUE(Finishes(waiter));
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

using Events = std::vector<std::unique_ptr<SynchEvent>>;
Events MakeEvents(const std::string& modes, const std::string& signalled) {
    Events events;
    for (size_t i = 0; i < modes.size(); ++i) {
        events.push_back(
            std::make_unique<SynchEvent>(modes[i] == 'm', signalled[i] == '1', nullptr));
    }
    return events;
}
std::vector<SynchEvent*> Pointers(const Events& events) {
    std::vector<SynchEvent*> pointers;
    for (const auto& e : events) pointers.push_back(e.get());
    return pointers;
}

// Wait-any takes the lowest signalled event, wait-all every event at one
// moment; neither takes what it does not return, and a time-out takes nothing.
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
        const Events events = MakeEvents(c.modes, c.before);
        const auto start = Clock::now();
        const int count = static_cast<int>(events.size());
        EXPECT_EQ(WaitForMultipleEvents(Pointers(events).data(), count, c.all, 20), c.result);
        EXPECT_GE(Clock::now() - start, c.result < 0 ? 20ms : 0ms);
        for (int i = 0; i < count; ++i) EXPECT_EQ(events[i]->TimedWait(0), c.after[i] == '1') << i;
    }
}

TEST(WaitForMultipleEventsTest, BadArgumentsThrowAndWaitForNothing) {
    SynchEvent a(false, true, nullptr), b(false, false, nullptr);
    SynchEvent* const pair[] = {&a, &b};
    SynchEvent* const with_null[] = {&b, nullptr};
    SynchEvent* const twice[] = {&b, &a, &b};
    const struct {
        SynchEvent* const* events;
        int count;
    } kCases[] = {{nullptr, 1}, {pair, 0}, {pair, -1}, {with_null, 2}, {twice, 3}};
    for (const auto& c : kCases) {
        EXPECT_THROW(WaitForMultipleEvents(c.events, c.count, false, SynchEvent::kInfinite),
                     std::invalid_argument)
            << &c - kCases;
    }
    EXPECT_TRUE(a.TimedWait(0)) << "nothing taken";
}

// TimedWait and multi-event waits share each event's queue: one Signal
// releases one of them, the first that can take it; a wait-all call lets a
// Signal pass while its other event is unset, and completes on the Signal
// that finds the other set.
TEST(WaitForMultipleEventsTest, BlockedWaitsShareEachQueueInTheirOrder) {
    SynchEvent a(false, false, nullptr), b(false, false, nullptr);
    SynchEvent* const both[] = {&a, &b};
    std::atomic<int> all{-2}, any{-2};
    std::atomic<bool> single{false};
    const auto all_waiter = InBackground([&] { all = WaitForMultipleEvents(both, 2, true, 5000); });
    StaysBlocked(all_waiter, 30ms);
    const auto single_waiter = InBackground([&] { single = a.TimedWait(5000); });
    StaysBlocked(single_waiter, 30ms);
    const auto any_waiter =
        InBackground([&] { any = WaitForMultipleEvents(both, 2, false, 5000); });
    StaysBlocked(any_waiter, 30ms);
    a.Signal();
    EXPECT_TRUE(Finishes(single_waiter) && single) << "the TimedWait came before the wait-any";
    EXPECT_TRUE(StaysBlocked(any_waiter, 30ms)) << "one Signal released two";
    b.Signal();
    EXPECT_TRUE(Finishes(any_waiter));
    EXPECT_EQ(any.load(), 1);
    b.Signal();  // finds only the wait-all call, whose other event is unset
    EXPECT_TRUE(StaysBlocked(all_waiter, 30ms));
    a.Signal();
    EXPECT_TRUE(Finishes(all_waiter));
    EXPECT_EQ(all.load(), 0);
    EXPECT_FALSE(a.TimedWait(0) || b.TimedWait(0)) << "wait-all took both";
}

// The state letter of thread `tid`: 'S' once it sleeps.
char ThreadState(pid_t tid) {
    char text[512] = {};
    if (FILE* stat =
            std::fopen(("/proc/self/task/" + std::to_string(tid) + "/stat").c_str(), "r")) {
        if (std::fread(text, 1, sizeof text - 1, stat) == 0) text[0] = 0;
        std::fclose(stat);
    }
    const char* paren = std::strrchr(text, ')');
    return paren == nullptr || paren[1] == 0 ? '?' : paren[2];
}

// One wait on a thread of its own: 'w' TimedWait on events[0], 'n' wait-any,
// 'l' wait-all, over `events`. Cancellable; records how it returned.
struct Wait {
    char kind;
    std::vector<SynchEvent*> events;
    unsigned int timeout_ms = SynchEvent::kInfinite;
    std::atomic<pid_t> tid{0};
    std::atomic<int> result{-2};  // -2 while it has not returned
    pthread_t thread{};

    void Start() {
        pthread_create(
            &thread, nullptr,
            [](void* self) -> void* {
                auto* w = static_cast<Wait*>(self);
                w->tid = gettid();
                const int count = static_cast<int>(w->events.size());
                w->result = w->kind == 'w' ? (w->events[0]->TimedWait(w->timeout_ms) ? 0 : -1)
                                           : WaitForMultipleEvents(w->events.data(), count,
                                                                   w->kind == 'l', w->timeout_ms);
                return nullptr;
            },
            this);
    }
    // Until it sleeps in its wait, or has returned.
    void UntilBlockedOrDone() {
        while (result == -2 && (tid == 0 || ThreadState(tid) != 'S')) std::this_thread::yield();
    }
    void CancelAndJoin() { pthread_cancel(thread), pthread_join(thread, nullptr); }
};

// A wait cancelled while blocked leaves every event as if it had never waited;
// a signal handed to it as it was cancelled passes on. Soaks.
TEST(WaitForMultipleEventsTest, CancelledWaitsLoseNoSignalSoak) {
    std::mt19937 random(5);
    for (const auto end = SoakEnd(0.5); Clock::now() < end;) {
        const char kind = "wnl"[random() % 3];
        SynchEvent a(false, false, nullptr), b(false, kind == 'l', nullptr);
        Wait wait{kind, kind == 'w' ? std::vector<SynchEvent*>{&a} : std::vector{&a, &b}};
        wait.Start();
        if (random() % 2) wait.UntilBlockedOrDone();
        a.Signal();
        wait.CancelAndJoin();
        const bool took = wait.result.load() >= 0;
        EXPECT_NE(a.TimedWait(0), took) << kind << ": a signal lost or taken twice";
        EXPECT_EQ(b.TimedWait(0), kind == 'l' && !took) << "wait-all took part";
    }
}

// Random schedules of Signal and Unsignal against TimedWait and multi-event
// waits, each wait blocked before the next begins, checked against a model of
// the rules: an auto-reset Signal goes to the first waiter that can take it,
// or sets the event; a manual-reset Signal releases all of them; a wait-all
// waiter takes a Signal only with its other events set, and all together.
// Soaks.
TEST(WaitForMultipleEventsTest, RandomSchedulesFollowTheRulesSoak) {
    std::mt19937 random(11);
    for (const auto end = SoakEnd(1); Clock::now() < end;) {
        const int kEvents = 3;
        bool manual[kEvents], set[kEvents];
        Events events;
        for (int e = 0; e < kEvents; ++e) {
            manual[e] = random() % 3 == 0, set[e] = false;
            events.push_back(std::make_unique<SynchEvent>(manual[e], false, nullptr));
        }
        std::vector<std::unique_ptr<Wait>> waits;
        std::vector<std::vector<int>> picks;  // each wait's event numbers
        std::vector<int> expected;            // the model's result per wait, -2: blocked
        // Where model waiter `w` stands when event `e` (its `i`th) is signalled.
        const auto offer = [&](int w, int e, int i) {
            if (expected[w] != -2) return false;
            if (waits[w]->kind != 'l') return expected[w] = i, true;
            for (int other : picks[w]) {
                if (other != e && !set[other]) return false;
            }
            for (int other : picks[w]) set[other] = set[other] && manual[other];
            return expected[w] = 0, true;
        };
        const auto signal = [&](int e) {
            if (manual[e]) set[e] = true;
            for (size_t w = 0; w < waits.size(); ++w) {
                for (size_t i = 0; i < picks[w].size(); ++i) {
                    if (picks[w][i] == e && offer(int(w), e, int(i)) && !manual[e]) return;
                }
            }
            set[e] = true;
        };
        for (int step = 0, steps = 2 + int(random() % 6); step < steps; ++step) {
            const int e = int(random() % kEvents);
            if (random() % 2 == 0) {  // a Signal or an Unsignal
                if (random() % 4 == 0) {
                    events[e]->Unsignal(), set[e] = false;
                } else {
                    events[e]->Signal(), signal(e);
                }
                continue;
            }
            const char kind = "wnl"[random() % 3];
            std::vector<int> pick{e};
            for (int other = 0; other < kEvents && kind != 'w'; ++other) {
                if (other != e && random() % 2) pick.insert(pick.begin() + random() % 2, other);
            }
            auto wait = std::make_unique<Wait>();
            wait->kind = kind;
            for (int p : pick) wait->events.push_back(events[p].get());
            int now = -2;  // what the model says it returns at once
            if (kind == 'l') {
                bool all = true;
                for (int p : pick) all = all && set[p];
                if (all) {
                    for (int p : pick) set[p] = set[p] && manual[p];
                    now = 0;
                }
            } else {
                for (size_t i = 0; i < pick.size() && now == -2; ++i) {
                    if (set[pick[i]]) now = int(i), set[pick[i]] = manual[pick[i]];
                }
            }
            waits.push_back(std::move(wait)), picks.push_back(pick), expected.push_back(now);
            waits.back()->Start();
            waits.back()->UntilBlockedOrDone();
        }
        const auto deadline = Clock::now() + 10s;
        for (size_t w = 0; w < waits.size(); ++w) {
            while (expected[w] != -2 && waits[w]->result == -2 && Clock::now() < deadline) {
                std::this_thread::yield();
            }
        }
        std::this_thread::sleep_for(2ms);
        for (size_t w = 0; w < waits.size(); ++w) {
            EXPECT_EQ(waits[w]->result.load(), expected[w])
                << "wait " << w << " " << waits[w]->kind;
            waits[w]->CancelAndJoin();
        }
        for (int e = 0; e < kEvents; ++e) EXPECT_EQ(events[e]->TimedWait(0), set[e]) << e;
        if (HasFailure()) break;
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
