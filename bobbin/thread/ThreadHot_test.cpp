#include "bobbin/thread/ThreadHot.h"

#include <cxxabi.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "background.h"
#include "platform_faults.h"

namespace {

using bobbin::testing::Background;
using namespace std::chrono_literals;

std::ptrdiff_t Entries(const char* directory) {
    return std::distance(std::filesystem::directory_iterator(directory), {});
}

// Runs until its gate is signalled, catching everything as user code may, in
// the way that lets a Terminate through; records what it saw and its unwinding.
class GatedTask : public ThreadHot {
  public:
    enum class OnGate { kReturn, kStopItself, kTerminateItself };
    explicit GatedTask(bool manual = true) : gate(manual, false, nullptr) {}
    ~GatedTask() override { WaitForStop(); }
    // The C++ run-time binds the caught reference to no object, which
    // UndefinedBehaviorSanitizer would report.
    __attribute__((no_sanitize("null"))) int Run() override {
        struct Unwound {
            std::atomic<bool>& flag;
            ~Unwound() { flag = true; }
        } unwound{unwound_};
        seen_id = pthread_self();
        tid = gettid();
        local_address = reinterpret_cast<uintptr_t>(&unwound);
        ++runs;
        try {
            gate.WaitForSignal();
            ThreadHot* self[] = {this};
            if (on_gate == OnGate::kStopItself) {
                // On its own thread every join answers at once.
                return WaitForStop() || TimedWaitForStop(60000) ||
                       !WaitForMultipleThreads(self, 1) || Start(0);
            }
            if (on_gate == OnGate::kTerminateItself) Terminate();
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            return 9;
        }
        return 42;
    }
    void AwaitRun() const {
        while (runs.load() == 0) std::this_thread::yield();
    }
    SynchEvent gate;
    OnGate on_gate = OnGate::kReturn;
    std::atomic<int> runs{0};
    std::atomic<pthread_t> seen_id{0};
    std::atomic<pid_t> tid{0};
    std::atomic<uintptr_t> local_address{0};
    std::atomic<bool> unwound_{false};
};

std::atomic<pthread_t> g_signalled_thread{0};

// Refused stacks leave a lent one in place; Signal(int) reaches only a live
// thread; the stop event is signalled once; a finished object starts again;
// a name reaches the thread and a join with a bound gives up in time.
TEST(ThreadHotTest, LifeCycle) {
    constexpr size_t kStack = 1 << 20;
    std::unique_ptr<void, void (*)(void*)> stack(std::aligned_alloc(4096, kStack), std::free);
    struct sigaction action = {}, previous = {};
    action.sa_handler = [](int) { g_signalled_thread = pthread_self(); };
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    GatedTask task;
    auto ran_on_stack = [&] { return task.local_address - uintptr_t(stack.get()) < kStack; };
    EXPECT_TRUE(task.WaitForStop());  // never started
    EXPECT_FALSE(task.Terminate() || task.Signal(SIGUSR1) || task.Start(1UL << 46));
    SetStackAddr(stack.get());
    for (unsigned long refused : {1000UL, 4096UL}) EXPECT_FALSE(task.Start(refused));
    EXPECT_FALSE(task.HasThread());
    EXPECT_TRUE(task.SetThreadName("bobbin-worker-with-a-long-name"));
    ASSERT_TRUE(task.Start(0));  // the default stack; the lent one stays lent
    EXPECT_FALSE(task.Start(0) || task.Attach());
    task.AwaitRun();
    EXPECT_TRUE(task.Signal(SIGUSR1));
    EXPECT_EQ(task.GetThreadName(), "bobbin-worker-w");
    char name[16] = {};
    EXPECT_EQ(pthread_getname_np(task.GetThreadId(), name, sizeof name), 0);
    EXPECT_STREQ(name, "bobbin-worker-w");
    EXPECT_TRUE(task.SetThreadName("renamed"));
    std::ifstream comm("/proc/self/task/" + std::to_string(task.tid) + "/comm");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(comm), {}), "renamed\n");
    const auto before = bobbin::testing::Clock::now();
    EXPECT_FALSE(task.TimedWaitForStop(50));
    EXPECT_TRUE(bobbin::testing::Clock::now() - before < 5s && task.HasThread());
    task.gate.Signal();
    EXPECT_TRUE(task.TimedWaitForStop(10000));
    EXPECT_FALSE(task.HasThread() || task.Signal(SIGUSR1));
#if !defined(__SANITIZE_THREAD__)  // which defers signals and may drop one whose thread ends
    EXPECT_EQ(g_signalled_thread.load(), task.seen_id.load());
#endif
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(task.GetExitCode(), 42);
    EXPECT_FALSE(ran_on_stack());
    task.WaitforSignal();  // signalled exactly once
    Background second([&] { task.WaitforSignal(); });
    EXPECT_TRUE(second.StaysBlocked());
    task.Signal();
    EXPECT_TRUE(second.Finishes());
    for (bool on_stack : {true, false}) {
        ASSERT_TRUE(task.Start(kStack));
        EXPECT_TRUE(task.WaitForStop());
        EXPECT_EQ(ran_on_stack(), on_stack);
    }
    EXPECT_EQ(task.runs.load(), 3);
    EXPECT_EQ(task.GetThreadId(), task.seen_id.load());
}

// A thread that stops itself while its owner, and a third thread, stop it or
// delete the object: every join on its own thread answers at once, every other
// join returns, and nothing hangs, whatever the order.
TEST(ThreadHotTest, ShutdownFromEverySideNeverDeadlocks) {
    const auto end = bobbin::testing::SoakEnd(1);
    for (int i = 0; i < 40 || bobbin::testing::Clock::now() < end; ++i) {
        auto task = std::make_unique<GatedTask>();
        task->on_gate =
            i % 3 == 2 ? GatedTask::OnGate::kTerminateItself : GatedTask::OnGate::kStopItself;
        ThreadHot* one[] = {task.get()};
        ASSERT_TRUE(task->Start(0));
        Background third([&] { task->WaitForStop(); });
        task->gate.Signal();
        switch (i % 5) {
            case 0:
                EXPECT_TRUE(task->WaitForStop());
                break;
            case 1:
                EXPECT_TRUE(task->TimedWaitForStop(60000));
                break;
            case 2:
                EXPECT_TRUE(ThreadHot::WaitForMultipleThreads(one, 1));
                break;
            case 3:
                while (!task->Start(0)) std::this_thread::yield();
                break;
            case 4:
                task->Terminate();
                break;
        }
        ASSERT_TRUE(third.Finishes()) << "round " << i;
        EXPECT_TRUE(task->WaitForStop());
        EXPECT_TRUE(i % 3 == 2 || task->GetExitCode() == 0) << "round " << i;
    }
}

// Terminate ends a thread blocked in an event wait or waiting for a reply that
// never comes: its destructors run, the stop event is signalled, the object is
// joined, and the process and the events go on working.
TEST(ThreadHotTest, TerminateEndsOnlyThatThread) {
    for (bool awaiting_reply : {false, true}) {
        GatedTask task(false);
        SynchEvent unanswered(false, false, nullptr);
        struct Requester : ThreadHot {
            SynchEvent* event;
            int Run() override {
                event->SignalAndWaitForReply();
                return 1;
            }
        } requester;
        requester.event = &unanswered;
        ThreadHot& victim = awaiting_reply ? static_cast<ThreadHot&>(requester) : task;
        ASSERT_TRUE(victim.Start(0));
        if (awaiting_reply) {
            unanswered.WaitForSignal();  // the request has been made
        } else {
            task.AwaitRun();
        }
        EXPECT_TRUE(victim.Terminate());
        EXPECT_FALSE(victim.HasThread());
        victim.WaitforSignal();  // still signalled on the way out
        EXPECT_TRUE(victim.WaitForStop());
        EXPECT_TRUE(awaiting_reply || task.unwound_.load());
        EXPECT_FALSE(victim.Terminate());
        EXPECT_EQ(victim.GetExitCode(), 0);
        Background again([&] { unanswered.SignalAndWaitForReply(); });
        unanswered.WaitForSignal();
        unanswered.Reply();
        EXPECT_TRUE(again.Finishes());
    }
}

// A Resume with nobody suspended makes every later Suspend return at once.
TEST(ThreadHotTest, SuspendWaitsForResume) {
    struct Pausing : ThreadHot {
        int Run() override { return Suspend() ? 7 : -1; }
    } pausing;
    ASSERT_TRUE(pausing.Start(0));
    Background owner([&] { pausing.WaitForStop(); });
    EXPECT_TRUE(owner.StaysBlocked());
    EXPECT_TRUE(pausing.Resume());
    EXPECT_TRUE(owner.Finishes());
    EXPECT_EQ(pausing.GetExitCode(), 7);
    ThreadHot idle;
    EXPECT_TRUE(idle.Resume() && idle.Suspend() && idle.Suspend());
}

// An attached thread is not the object's to join, end or wait for.
TEST(ThreadHotTest, AttachBindsCallingThreadOnly) {
    ThreadHot attached;
    EXPECT_TRUE(attached.Attach());
    EXPECT_FALSE(attached.Attach());
    EXPECT_TRUE(attached.HasThread());
    EXPECT_EQ(attached.GetThreadId(), pthread_self());
    EXPECT_FALSE(attached.WaitForStop() || attached.TimedWaitForStop(0) || attached.Terminate());
    std::thread([&] { EXPECT_FALSE(attached.WaitForStop()); }).join();
}

// A failed step is reported on standard output and the later steps skipped;
// what did initialise still works.
TEST(ThreadHotTest, ConstructorReportsFailedStep) {
    ::testing::internal::CaptureStdout();
    bobbin::testing::FailPlatformCall("pthread_cond_init", 2, ENOMEM);  // the stop event's is first
    ThreadHot object;
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              std::string("*ThreadHot Error: pthread_cond_init returned 12: ") + std::strerror(12) +
                  "\n");
    EXPECT_FALSE(object.Suspend() || object.Resume());
    ASSERT_TRUE(object.Start(0));
    EXPECT_TRUE(object.WaitForStop());
}

// Thousands of life cycles, each ended another way (deleted right after the
// stop event, joined, joined in an array, deleted by its own Run, restarted
// while the last run ends), leave the thread and descriptor counts where they
// were, and every thread ran once.
TEST(ThreadHotTest, LifeCyclesReclaimEveryThread) {
    struct Counting : ThreadHot {
        int Entry() override { return delete_itself ? (delete this, 0) : ++runs; }
        std::atomic<int> runs{0};
        bool delete_itself = false;
    } restarted;
    std::thread([] {}).join();  // a sanitizer starts a helper thread at the first creation
    const auto tasks = Entries("/proc/self/task"), descriptors = Entries("/proc/self/fd");
    const auto end = bobbin::testing::SoakEnd(1);
    int started = 0;
    for (int i = 0; i < 2000 || bobbin::testing::Clock::now() < end; ++i) {
        auto* task = new Counting;
        ThreadHot* one[] = {task};
        task->delete_itself = i % 4 == 3;
        ASSERT_TRUE(task->Start(0));
        if (i % 4 == 3) continue;
        if (i % 4 == 0) task->WaitforSignal();
        ASSERT_TRUE(i % 4 != 1 || task->WaitForStop());
        ASSERT_TRUE(i % 4 != 2 || ThreadHot::WaitForMultipleThreads(one, 1));
        ASSERT_TRUE(i % 4 == 0 || (!task->HasThread() && task->GetExitCode() == 1));
        delete task;
        started += restarted.Start(0);
    }
    EXPECT_TRUE(restarted.WaitForStop());
    EXPECT_EQ(restarted.runs.load(), started);
    // The kernel may list an ended thread for a moment after its join returns.
    for (int i = 0; i < 500 && Entries("/proc/self/task") != tasks; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(Entries("/proc/self/task"), tasks);
    EXPECT_EQ(Entries("/proc/self/fd"), descriptors);
}

}  // namespace
