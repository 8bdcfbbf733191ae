#include "bobbin/thread/ThreadHot.h"

#include <cxxabi.h>
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "background.h"

namespace {

using namespace bobbin::testing;

// Waits at its gate, catching all but Terminate's unwinding; then returns, stops
// or ends itself (every own join answers at once), or deletes itself.
struct GatedTask : ThreadHot {
    enum { kReturn, kStopItself, kTerminateItself, kDeleteItself } on_gate = kReturn;
    SynchEvent gate{true, false, nullptr};
    std::atomic<int> runs{0};
    std::atomic<pid_t> tid{0};
    std::atomic<uintptr_t> stack_address{0};
    std::atomic<bool> unwound{false};

    ~GatedTask() override { WaitForStop(); }
    // UBSan would report the reference to no object that the run-time binds.
    __attribute__((no_sanitize("null"))) int Run() override {
        std::shared_ptr<void> unwinding(nullptr, [this](void*) { unwound = true; });
        stack_address = reinterpret_cast<uintptr_t>(&unwinding), tid = gettid(), ++runs;
        try {
            gate.WaitForSignal();
            ThreadHot* self[] = {this};
            if (on_gate == kStopItself) {
                return WaitForStop() || TimedWaitForStop(60000) ||
                       !WaitForMultipleThreads(self, 1) || Start(0);
            }
            if (on_gate == kTerminateItself) Terminate();
            if (on_gate == kDeleteItself) unwinding.reset(), delete this;
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            return 9;
        }
        return 42;
    }
};

// Refused stacks leave a lent one lent, and of two Starts at once only one
// takes it; names, signals, bounded joins; restarts.
TEST(ThreadHotTest, LifeCycle) {
    constexpr size_t kStack = 1 << 20;
    std::unique_ptr<void, void (*)(void*)> stack(std::aligned_alloc(4096, kStack), std::free);
    GatedTask task, other;
    auto on_stack = [&](GatedTask& t) { return t.stack_address - uintptr_t(stack.get()) < kStack; };
    EXPECT_TRUE(task.WaitForStop()) << "an idle object is joined at once";
    EXPECT_FALSE(task.Terminate()) << "an idle object has no thread to end";
    EXPECT_FALSE(task.Signal(0)) << "an idle object has no thread to signal";
    EXPECT_FALSE(task.Start(1UL << 46)) << "a stack the platform refuses";
    EXPECT_FALSE(ThreadHot::WaitForMultipleThreads(nullptr, 0)) << "no objects to join";
    SetStackAddr(stack.get());
    for (size_t small : {1000, 4096}) EXPECT_FALSE(task.Start(small)) << "a stack of " << small;
    EXPECT_FALSE(task.HasThread()) << "a refused Start made a thread";
    // Names are cut to 15 bytes at the last whole UTF-8 character; the first
    // is given at Start, the others to the running thread.
    const std::pair<const char*, std::string> kNames[] = {
        {"bobbin-worker-with-a-long-name", "bobbin-worker-w"},
        {"worker-\u20ac\u20ac\u20ac\u20ac", "worker-\u20ac\u20ac"},
        {"name-\u00e9\u00e9\u00e9\u00e9\u00e9", "name-\u00e9\u00e9\u00e9\u00e9\u00e9"},
        {"worker--\U0001F9F5\U0001F9F5", "worker--\U0001F9F5"}};
    EXPECT_TRUE(task.SetThreadName(kNames[0].first));
    ASSERT_TRUE(task.Start(0));  // the default stack; the lent one stays lent
    EXPECT_FALSE(task.Start(0)) << "a second Start of a running object";
    EXPECT_FALSE(task.Attach()) << "an Attach of a running object";
    while (task.runs.load() == 0) std::this_thread::yield();
    EXPECT_TRUE(task.Signal(0));
    for (const auto& [name, kept] : kNames) {
        if (name != kNames[0].first) {
            EXPECT_TRUE(task.SetThreadName(name)) << name;
        }
        EXPECT_EQ(task.GetThreadName() + "|" + TaskFile(task.tid, "comm"),
                  kept + "|" + kept + "\n");
    }
    const auto start = Clock::now();
    EXPECT_FALSE(task.TimedWaitForStop(50)) << "a bounded join of a blocked thread";
    EXPECT_GE(Clock::now() - start, 50ms) << "the bounded join did not wait";
    EXPECT_TRUE(task.HasThread()) << "a timed-out join ended the thread";
    ThreadHot* listed[] = {&task, nullptr};  // a null entry is passed over
    const auto joiner = InBackground([&] {
        EXPECT_TRUE(ThreadHot::WaitForMultipleThreads(listed, 2));
        EXPECT_TRUE(task.unwound.load()) << "WaitForMultipleThreads returned before the end";
    });
    EXPECT_TRUE(StaysBlocked(joiner)) << "WaitForMultipleThreads did not wait for the thread";
    task.gate.Signal(), other.gate.Signal();
    EXPECT_TRUE(Finishes(joiner));
    EXPECT_TRUE(task.TimedWaitForStop(10000));
    EXPECT_FALSE(task.Signal(0)) << "signalled an ended thread";
    EXPECT_FALSE(on_stack(task)) << "Start(0) used the lent stack";
    EXPECT_EQ(task.GetExitCode(), 42);
    for (int round = 0; round < 100; ++round) {
        std::atomic<int> ready{0};
        SetStackAddr(stack.get());
        OnThreads(2, [&](int t) {
            for (++ready; ready.load() < 2;) {
            }
            EXPECT_TRUE((t == 0 ? task : other).Start(kStack));
        });
        ASSERT_TRUE(task.WaitForStop());
        ASSERT_TRUE(other.WaitForStop());
        ASSERT_EQ(on_stack(task) + on_stack(other), 1) << "round " << round;
    }
}

// A bounded join returns by its deadline, also behind a slow thread exit and
// behind another bounded join, without spinning; true only once joined. The
// exit work's own join answers false at once, also while the owner joins.
TEST(ThreadHotTest, TimedWaitForStopKeepsItsBoundBehindASlowExit) {
    struct SlowExit : ThreadHot {
        SynchEvent release{true, false, nullptr};
        std::atomic<bool> exited{false}, own_join{true};
        int Run() override {
            struct Last {
                SlowExit* task;
                ~Last() {
                    task->release.TimedWait(2000);
                    usleep(200000);  // the owner's join has begun by now
                    task->own_join = task->WaitForStop(), task->exited = true;
                }
            };
            thread_local Last last{this};
            return last.task == this ? 0 : 1;
        }
    } task;
    ASSERT_TRUE(task.Start(0));
    task.WaitforSignal();      // Run has returned; the thread's exit work goes on
    OnThreads(2, [&](int t) {  // two callers at once, bounds of 100 and 300 ms
        const auto start = Clock::now();
        EXPECT_FALSE(task.TimedWaitForStop(t == 0 ? 100 : 300)) << "caller " << t;
        using std::chrono::milliseconds;
        const auto wall = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
        timespec cpu{};  // this thread's whole life
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
        EXPECT_LT(wall.count(), 1000) << "caller " << t << " overran its bound";
        EXPECT_LT(cpu.tv_sec * 1000 + cpu.tv_nsec / 1000000, 100) << "caller " << t << " spun";
    });
    EXPECT_FALSE(task.exited.load());
    task.release.Signal();
    EXPECT_TRUE(task.TimedWaitForStop(10000));
    EXPECT_TRUE(task.exited.load()) << "joined before the thread ended";
    EXPECT_FALSE(task.own_join.load()) << "the thread joined itself";
}

// Every way of ending, from every side, hangs nothing and reclaims everything.
TEST(ThreadHotTest, ShutdownFromEverySideNeverDeadlocksAndReclaimsEveryThread) {
    const auto count = [](const char* directory) {
        return std::distance(std::filesystem::directory_iterator(directory), {});
    };
    std::thread([] {}).join();  // a sanitizer starts a helper thread at the first creation
    const auto tasks = count("/proc/self/task"), descriptors = count("/proc/self/fd");
    const auto end = SoakEnd(1);
    for (int i = 0; i < 400 || Clock::now() < end; ++i) {
        auto* task = new GatedTask;
        task->on_gate = static_cast<decltype(task->on_gate)>(i % 4);
        ThreadHot* one[] = {task};
        ASSERT_TRUE(task->Start(0));
        task->gate.Signal();
        if (i % 4 == 3) continue;  // it deletes itself
        const auto third = InBackground([&] { task->WaitForStop(); });
        if (i % 6 < 3) {  // the three joins
            const bool joined = i % 6 == 0   ? task->WaitForStop()
                                : i % 6 == 1 ? task->TimedWaitForStop(60000)
                                             : ThreadHot::WaitForMultipleThreads(one, 1);
            EXPECT_TRUE(joined) << "round " << i;
            EXPECT_FALSE(task->HasThread()) << "round " << i << ": joined before the end";
        }
        while (i % 6 == 3 && !task->Start(0)) std::this_thread::yield();
        if (i % 6 == 4) task->Terminate();
        if (i % 6 == 5) task->WaitforSignal();  // then deleted at once
        ASSERT_TRUE(Finishes(third)) << "round " << i;
        if (i % 6 < 4) {
            EXPECT_TRUE(task->WaitForStop()) << "round " << i;
            EXPECT_EQ(task->GetExitCode(), i % 4 == 1 ? 0 : 42) << "round " << i;
        }
        delete task;
    }
    // The kernel may list an ended thread for a moment after its join returns.
    for (int i = 0; i < 500 && count("/proc/self/task") != tasks; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(count("/proc/self/task"), tasks);
    EXPECT_EQ(count("/proc/self/fd"), descriptors);
}

// Terminate unwinds a thread in a reply wait and leaves no lock held.
TEST(ThreadHotTest, TerminateEndsOnlyThatThread) {
    SynchEvent unanswered(false, false, nullptr);
    struct Requester : ThreadHot {
        SynchEvent* event = nullptr;
        std::atomic<bool> unwound{false};
        int Run() override {
            std::shared_ptr<void> unwinding(nullptr, [this](void*) { unwound = true; });
            return event->SignalAndWaitForReply(), 1;
        }
    } requester;
    requester.event = &unanswered;
    ASSERT_TRUE(requester.Start(0));
    unanswered.WaitForSignal();  // the request has been made
    EXPECT_TRUE(requester.Terminate());
    EXPECT_FALSE(requester.HasThread()) << "Terminate returned before the thread ended";
    requester.WaitforSignal();
    EXPECT_TRUE(requester.WaitForStop());
    EXPECT_TRUE(requester.unwound.load()) << "the ended thread was not unwound";
    EXPECT_FALSE(requester.Terminate()) << "ended twice";
    EXPECT_EQ(requester.GetExitCode(), 0) << "an ended thread's exit code";
    unanswered.Reply();  // a request finds the reply: no lock is left held
    EXPECT_TRUE(Finishes(InBackground([&] { unanswered.SignalAndWaitForReply(); })));
}

// Suspend waits for a Resume (refused after a failed, reported step); an attached
// thread is not the object's to join or end, and only it may signal itself.
TEST(ThreadHotTest, SuspendAndAttach) {
    ::testing::internal::CaptureStdout();
    FailPlatformCall("pthread_cond_init", 2);  // the stop event's comes first
    ThreadHot failed;
    const std::string report = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(report.rfind("*ThreadHot Error: pthread_cond_init returned 12: ", 0), 0u);
    EXPECT_FALSE(failed.Suspend()) << "a Suspend on a failed object";
    EXPECT_FALSE(failed.Resume()) << "a Resume on a failed object";
    struct Pausing : ThreadHot {
        int Entry() override { return Suspend() ? 7 : -1; }  // leaves HasThread to the object
    } pausing;
    ASSERT_TRUE(pausing.Start(0));
    const auto owner = InBackground([&] { pausing.WaitForStop(); });
    EXPECT_TRUE(StaysBlocked(owner));
    EXPECT_TRUE(pausing.Resume());
    EXPECT_TRUE(Finishes(owner)) << "the owner's join did not end after Resume";
    EXPECT_EQ(pausing.GetExitCode(), 7) << "Suspend did not answer true after Resume";
    EXPECT_FALSE(pausing.HasThread());
    ThreadHot attached;
    EXPECT_TRUE(attached.Resume());
    EXPECT_TRUE(attached.Suspend()) << "a pending Resume lets Suspend through";
    EXPECT_TRUE(attached.Suspend()) << "and every later Suspend";
    std::thread([&] {
        EXPECT_TRUE(attached.Attach());
        EXPECT_TRUE(attached.HasThread());
        EXPECT_TRUE(attached.Signal(0)) << "an attached thread signals itself";
        EXPECT_FALSE(attached.Attach()) << "attached twice";
        EXPECT_FALSE(attached.WaitForStop()) << "an attached thread is not the object's to join";
        EXPECT_FALSE(attached.TimedWaitForStop(0)) << "nor to join by a bound";
        EXPECT_FALSE(attached.Terminate()) << "nor to end";
        EXPECT_TRUE(pthread_equal(attached.GetThreadId(), pthread_self()));
        EXPECT_TRUE(attached.SetThreadName("attached"));
        EXPECT_EQ(TaskFile(gettid(), "comm"), "attached\n");
    }).join();
    // The next thread gets the ended thread's id; no call on the object touches it.
    SynchEvent done(true, false, nullptr);
    std::atomic<pid_t> stranger{0};
    std::thread next([&] { stranger = gettid(), done.WaitForSignal(); });
    while (stranger.load() == 0) std::this_thread::yield();
    EXPECT_FALSE(attached.SetThreadName("renamed")) << "renamed a thread that has ended";
    EXPECT_FALSE(attached.Signal(0)) << "signalled a thread that has ended";
    EXPECT_FALSE(attached.WaitForStop()) << "joined a thread that is not the object's";
    EXPECT_EQ(attached.GetThreadName() + "|" + TaskFile(stranger, "comm"),
              "renamed|" + TaskFile(gettid(), "comm"));
    done.Signal(), next.join();
}

}  // namespace
