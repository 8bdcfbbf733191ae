#include "bobbin/thread/ThreadHot.h"

#include <cxxabi.h>
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

#include "background.h"

namespace {

using namespace bobbin::testing;

// Run waits at its gate (let go meanwhile if asked), tries its own joins or deletes
// itself if asked, returns 42.
struct GatedTask : ThreadHot {
    enum OnGate { kReturn, kStopItself, kDeleteItself, kLetItselfGo };
    OnGate on_gate = kReturn;
    SynchEvent gate;
    std::atomic<pid_t> tid{0};
    std::atomic<uintptr_t> stack_address{0};
    std::atomic<bool> unwound{false};

    explicit GatedTask(bool open = false) : gate(true, open, nullptr) {}
    ~GatedTask() override { WaitForStop(); }
    // UBSan would report the reference to no object that the run-time binds.
    __attribute__((no_sanitize("null"))) int Run() override {
        std::shared_ptr<void> unwinding(nullptr, [this](void*) { unwound = true; });
        stack_address = reinterpret_cast<uintptr_t>(&unwinding);
        tid = gettid();
        try {
            if (on_gate == kLetItselfGo) SetHasThread(false);
            gate.WaitForSignal();
            if (on_gate == kLetItselfGo) SetHasThread(true);
            if (on_gate == kStopItself) {
                EXPECT_FALSE(WaitForStop()) << "the thread joined itself";
            }
            if (on_gate == kDeleteItself) {
                unwinding.reset();  // its deleter writes to the object
                delete this;
            }
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            return 9;
        }
        return 42;
    }
};

// Idle, running, terminated; names cut at whole UTF-8 characters; Terminate unwinds.
TEST(ThreadHotTest, JoinsWaitForTheEndAndOnlyALiveThreadIsSignalledRenamedOrEnded) {
    const std::pair<const char*, std::string> kNames[] = {
        {"bobbin-worker-with-a-long-name", "bobbin-worker-w"},
        {"worker-\u20ac\u20ac\u20ac\u20ac", "worker-\u20ac\u20ac"},
        {"name-\u00e9\u00e9\u00e9\u00e9\u00e9", "name-\u00e9\u00e9\u00e9\u00e9\u00e9"},
        {"worker--\U0001F9F5\U0001F9F5", "worker--\U0001F9F5"}};
    GatedTask task;
    EXPECT_TRUE(task.WaitForStop()) << "an idle object is joined at once";
    EXPECT_FALSE(task.Signal(0)) << "an idle object has no thread to signal";
    task.SetHasThread(true);
    EXPECT_FALSE(task.HasThread()) << "SetHasThread(true) claimed a thread the object lacks";
    EXPECT_TRUE(task.SetThreadName("given-at-start"));
    ASSERT_TRUE(task.Start(0));
    EXPECT_FALSE(task.Start(0)) << "a second Start of a running object";
    EXPECT_TRUE(task.Signal(0)) << "a running thread is signalled";
    while (task.tid.load() == 0) std::this_thread::yield();
    EXPECT_EQ(TaskFile(task.tid, "comm"), "given-at-start\n") << "the name given at Start";
    for (const auto& [name, kept] : kNames) {
        EXPECT_TRUE(task.SetThreadName(name)) << name;
        EXPECT_EQ(TaskFile(task.tid, "comm"), kept + "\n") << "the running thread's name";
    }
    ThreadHot* listed[] = {&task, nullptr};  // a null entry is passed over
    const auto joiner = InBackground([&] {
        EXPECT_TRUE(ThreadHot::WaitForMultipleThreads(listed, 2));
        EXPECT_TRUE(task.unwound.load()) << "WaitForMultipleThreads returned before the end";
    });
    EXPECT_TRUE(StaysBlocked(joiner)) << "WaitForMultipleThreads did not wait for the thread";
    task.SetHasThread(false);
    EXPECT_FALSE(task.Terminate()) << "ended a thread let go by SetHasThread(false)";
    task.SetHasThread(true);
    EXPECT_TRUE(task.Terminate()) << "SetHasThread(true) did not take the thread back";
    EXPECT_FALSE(task.HasThread()) << "a terminated thread still counts as running";
    task.WaitforSignal();
    EXPECT_TRUE(Finishes(joiner));
    EXPECT_FALSE(task.Signal(0)) << "signalled an ended thread";
    EXPECT_EQ(task.GetExitCode(), 0) << "a terminated thread's exit code";
}

// Start(0) and refused sizes leave a lent stack lent; of two Starts at once one takes it.
TEST(ThreadHotTest, ALentStackGoesToOneSizedStart) {
    constexpr size_t kStack = 1 << 20;
    std::unique_ptr<void, void (*)(void*)> stack(std::aligned_alloc(4096, kStack), std::free);
    auto on_stack = [&](GatedTask& t) { return t.stack_address - uintptr_t(stack.get()) < kStack; };
    GatedTask task(true);
    GatedTask other(true);
    EXPECT_FALSE(task.Start(1UL << 46)) << "a stack size the platform refuses";
    SetStackAddr(stack.get());
    for (size_t small : {1000, 4096}) EXPECT_FALSE(task.Start(small)) << "a stack of " << small;
    ASSERT_TRUE(task.Start(0));
    ASSERT_TRUE(task.WaitForStop());
    EXPECT_FALSE(on_stack(task)) << "Start(0) ran on the lent stack";
    ASSERT_TRUE(task.Start(kStack));
    ASSERT_TRUE(task.WaitForStop());
    EXPECT_TRUE(on_stack(task)) << "a refused or default Start took the lent stack";
    for (int round = 0; round < 100; ++round) {
        SetStackAddr(stack.get());
        std::atomic<int> ready{0};
        OnThreads(2, [&](int t) {
            for (++ready; ready.load() < 2;) {
            }
            EXPECT_TRUE((t == 0 ? task : other).Start(kStack));
        });
        ASSERT_TRUE(task.WaitForStop());
        ASSERT_TRUE(other.WaitForStop());
        ASSERT_EQ(on_stack(task) + on_stack(other), 1) << "not one taker, round " << round;
    }
}

// Earlier runs' signals, never taken, do not end a WaitforSignal early.
TEST(ThreadHotTest, WaitforSignalAfterAnyRestartWaitsForThatRunsEnd) {
    auto* task = new GatedTask;
    for (int run = 1; run <= 3; ++run) {
        ASSERT_TRUE(task->Start(0));
        EXPECT_EQ(task->GetExitCode(), 0) << "run " << run << " began with the last run's result";
        task->gate.Signal();
        ASSERT_TRUE(task->WaitForStop());
        task->gate.Unsignal();
    }
    ASSERT_TRUE(task->Start(0));
    const auto owner = InBackground([&] {
        task->WaitforSignal();
        EXPECT_EQ(task->GetExitCode(), 42) << "WaitforSignal returned before Run did";
        delete task;
    });
    EXPECT_TRUE(StaysBlocked(owner)) << "WaitforSignal returned while Run went on";
    task->gate.Signal();
    EXPECT_TRUE(Finishes(owner));
}

// Behind a slow thread exit and another bounded join, without spinning.
TEST(ThreadHotTest, TimedWaitForStopKeepsItsBoundBehindASlowExit) {
    struct SlowExit : ThreadHot {
        SynchEvent release{true, false, nullptr};
        std::atomic<bool> exited{false};
        std::atomic<bool> own_join{true};
        int Run() override {
            thread_local std::shared_ptr<void> last(nullptr, [this](void*) {
                release.TimedWait(2000);
                usleep(200000);  // the owner's join has begun by now
                own_join = WaitForStop();
                exited = true;
            });
            return 0;
        }
    } task;
    ASSERT_TRUE(task.Start(0));
    task.WaitforSignal();      // Run has returned; the thread's exit work goes on
    OnThreads(2, [&](int t) {  // two callers at once, bounds of 100 and 300 ms
        const auto start = Clock::now();
        const auto bound = t == 0 ? 100ms : 300ms;
        EXPECT_FALSE(task.TimedWaitForStop(bound)) << "caller " << t;
        const auto wall = Clock::now() - start;
        timespec cpu{};  // this thread's whole life
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
        EXPECT_GE(wall, bound) << "caller " << t << " did not wait";
        EXPECT_LT(wall, 1s) << "caller " << t << " overran its bound";
        EXPECT_LT(cpu.tv_sec * 1000 + cpu.tv_nsec / 1000000, 100) << "caller " << t << " spun";
    });
    task.release.Signal();
    EXPECT_TRUE(task.TimedWaitForStop(std::chrono::hours::max()));
    EXPECT_TRUE(task.exited.load()) << "joined before the thread ended";
    EXPECT_FALSE(task.own_join.load()) << "the thread joined itself";
}

// Every way a run ends, while a third thread and the thread itself join too.
TEST(ThreadHotTest, ShutdownFromEverySideNeverDeadlocksAndReclaimsEveryThread) {
    static const std::pair<const char*, void (*)(ThreadHot*)> kEndings[] = {
        {"WaitForStop", [](ThreadHot* t) { EXPECT_TRUE(t->WaitForStop()); }},
        {"a restart",
         [](ThreadHot* t) {
             while (!t->Start(0)) std::this_thread::yield();
         }},
        {"Terminate", [](ThreadHot* t) { t->Terminate(); }},
    };
    const auto count = [](const char* directory) {
        return std::distance(std::filesystem::directory_iterator(directory), {});
    };
    std::thread([] {}).join();  // a sanitizer starts a helper thread at the first creation
    const auto tasks = count("/proc/self/task");
    const auto descriptors = count("/proc/self/fd");
    const auto end = SoakEnd(1);
    for (int round = 0; round < 20 || Clock::now() < end; ++round) {
        for (auto on_gate : {GatedTask::kReturn, GatedTask::kStopItself, GatedTask::kLetItselfGo}) {
            for (const auto& [name, end_run] : kEndings) {
                auto task = std::make_unique<GatedTask>(true);
                task->on_gate = on_gate;
                ASSERT_TRUE(task->Start(0));
                const auto third = InBackground([&] { task->WaitForStop(); });
                end_run(task.get());
                ASSERT_TRUE(Finishes(third)) << name;
                EXPECT_TRUE(task->WaitForStop()) << name;
            }
        }
        auto* deleting = new GatedTask(true);
        deleting->on_gate = GatedTask::kDeleteItself;
        ASSERT_TRUE(deleting->Start(0));
    }
    // The kernel may list an ended thread for a moment after its join returns.
    for (int i = 0; i < 500 && count("/proc/self/task") != tasks; ++i) usleep(10000);
    EXPECT_EQ(count("/proc/self/task"), tasks);
    EXPECT_EQ(count("/proc/self/fd"), descriptors);
}

// Once Run has returned (the thread lingers in Entry here): not taken back, ended, signalled.
TEST(ThreadHotTest, StartWaitsForALetGoRunWhichIsTakenBackOnlyUntilItReturns) {
    struct Lingering : GatedTask {
        SynchEvent returned{true, false, nullptr}, leave{true, false, nullptr};
        int Entry() override {
            const int result = ThreadHot::Entry();
            returned.Signal();
            leave.WaitForSignal();
            return result;
        }
    } task;
    task.on_gate = GatedTask::kLetItselfGo;
    ASSERT_TRUE(task.Start(0));
    while (task.HasThread()) std::this_thread::yield();
    const auto restart = InBackground([&] { EXPECT_TRUE(task.Start(0)); });
    EXPECT_TRUE(StaysBlocked(restart)) << "Start did not wait for the let-go run";
    task.gate.Signal();
    ASSERT_TRUE(task.returned.TimedWait(10s)) << "Start kept the run from taking itself back";
    task.SetHasThread(true);
    EXPECT_FALSE(task.HasThread()) << "took back a thread whose Run returned";
    EXPECT_FALSE(task.Terminate()) << "ended a thread whose Run returned";
    EXPECT_FALSE(task.Signal(0)) << "signalled a thread whose Run returned";
    task.leave.Signal();
    EXPECT_TRUE(Finishes(restart));
    EXPECT_TRUE(task.WaitForStop());  // the restarted run, before its members go
}

TEST(ThreadHotTest, AFailedStepIsReportedAndRefusesSuspendAndResume) {
    ::testing::internal::CaptureStdout();
    FailPlatformCall("pthread_cond_init", 2);  // the stop event's comes first
    ThreadHot failed;
    const std::string report = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(report.rfind("*ThreadHot Error: pthread_cond_init returned 12: ", 0), 0u);
    EXPECT_FALSE(failed.Suspend()) << "a Suspend on a failed object";
    EXPECT_FALSE(failed.Resume()) << "a Resume on a failed object";
}

// k Resumes back to back release k suspended threads, whichever the platform wakes.
TEST(ThreadHotTest, EachResumeReleasesOneSuspendedThreadAndOneWithoutStaysPending) {
    for (int sleepers : {0, 1, 2, 4}) {
        ThreadHot paused;
        std::vector<std::future<void>> suspended;
        for (int i = 0; i < sleepers; ++i) {
            suspended.push_back(InBackground([&] { EXPECT_TRUE(paused.Suspend()); }));
            EXPECT_TRUE(StaysBlocked(suspended.back())) << "Suspend did not wait for a Resume";
        }
        for (int i = 0; i < sleepers; ++i) paused.Resume();
        for (const auto& one : suspended) {
            EXPECT_TRUE(Finishes(one)) << sleepers << " suspended: a Resume was lost";
            while (!Finishes(one, 10ms)) paused.Resume();  // so that a failed case ends
        }
        paused.Resume();  // with nobody suspended
        const auto later = InBackground([&] {
            EXPECT_TRUE(paused.Suspend());
            EXPECT_TRUE(paused.Suspend());
        });
        EXPECT_TRUE(Finishes(later)) << sleepers << " suspended: no Resume stayed pending";
        while (!Finishes(later, 10ms)) paused.Resume();
    }
}

// Nor is it joined or ended, nor the thread given its id after it ended touched.
TEST(ThreadHotTest, AnAttachedThreadIsTheOnlyOneToSignalOrRenameItself) {
    ThreadHot attached;
    std::thread([&] {
        EXPECT_TRUE(attached.Attach());
        EXPECT_TRUE(attached.Signal(0)) << "an attached thread signals itself";
        EXPECT_FALSE(attached.WaitForStop()) << "an attached thread is not the object's to join";
        EXPECT_FALSE(attached.Terminate()) << "nor to end";
        EXPECT_TRUE(attached.SetThreadName("attached"));
        EXPECT_EQ(TaskFile(gettid(), "comm"), "attached\n");
    }).join();
    GatedTask stranger;  // likely given the ended thread's id
    ASSERT_TRUE(stranger.Start(0));
    while (stranger.tid.load() == 0) std::this_thread::yield();
    EXPECT_FALSE(attached.SetThreadName("renamed")) << "renamed a thread that has ended";
    EXPECT_FALSE(attached.Signal(0)) << "signalled a thread that has ended";
    EXPECT_EQ(TaskFile(stranger.tid, "comm"), TaskFile(gettid(), "comm")) << "renamed the stranger";
    stranger.gate.Signal();
}

}  // namespace
