#include "bobbin/thread/ThreadHot.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "background.h"

// Fault injection on the calling thread: the platform functions below forward
// to the real ones unless a test armed a failure. The sanitizer runtimes call
// pthread_attr_init themselves while a thread starts, so these functions are
// not instrumented and resolve the real functions before main runs.
namespace {
enum class Inject { kNone, kMutexInitAfterAttrInit, kMutexInitFailing };
thread_local Inject t_inject = Inject::kNone;
thread_local int t_cond_inits = 0;

using AttrInit = int (*)(pthread_attr_t*);
using MutexInit = int (*)(pthread_mutex_t*, const pthread_mutexattr_t*);
using CondInit = int (*)(pthread_cond_t*, const pthread_condattr_t*);

template <typename F>
F Real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
const AttrInit g_real_attr_init = Real<AttrInit>("pthread_attr_init");
const MutexInit g_real_mutex_init = Real<MutexInit>("pthread_mutex_init");
const CondInit g_real_cond_init = Real<CondInit>("pthread_cond_init");
}  // namespace

#define NOT_INSTRUMENTED __attribute__((no_sanitize("thread", "address", "undefined")))

extern "C" NOT_INSTRUMENTED int pthread_attr_init(pthread_attr_t* attr) {
    if (t_inject == Inject::kMutexInitAfterAttrInit) t_inject = Inject::kMutexInitFailing;
    return (g_real_attr_init ? g_real_attr_init : Real<AttrInit>("pthread_attr_init"))(attr);
}

extern "C" NOT_INSTRUMENTED int pthread_mutex_init(pthread_mutex_t* mutex,
                                                   const pthread_mutexattr_t* attr) {
    if (t_inject == Inject::kMutexInitFailing) {
        t_inject = Inject::kNone;
        t_cond_inits = 0;
        return ENOMEM;
    }
    return (g_real_mutex_init ? g_real_mutex_init : Real<MutexInit>("pthread_mutex_init"))(mutex,
                                                                                           attr);
}

extern "C" NOT_INSTRUMENTED int pthread_cond_init(pthread_cond_t* cond,
                                                  const pthread_condattr_t* attr) {
    ++t_cond_inits;
    return (g_real_cond_init ? g_real_cond_init : Real<CondInit>("pthread_cond_init"))(cond, attr);
}

namespace {

using bobbin::testing::Background;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::ptrdiff_t TaskCount() {
    return std::distance(fs::directory_iterator("/proc/self/task"), {});
}

// Runs until its gate is signalled; records what it saw and its unwinding.
class GatedTask : public ThreadHot {
  public:
    explicit GatedTask(bool manual = true) : gate(manual, false, nullptr) {}
    ~GatedTask() override { WaitForStop(); }
    int Run() override {
        struct Unwound {
            std::atomic<bool>& flag;
            ~Unwound() { flag = true; }
        } unwound{unwound_};
        seen_id = pthread_self();
        local_address = reinterpret_cast<uintptr_t>(&unwound);
        ++runs;
        gate.WaitForSignal();
        return 42;
    }
    void AwaitRun() const {
        while (runs.load() == 0) std::this_thread::yield();
    }
    SynchEvent gate;
    std::atomic<int> runs{0};
    std::atomic<pthread_t> seen_id{0};
    std::atomic<uintptr_t> local_address{0};
    std::atomic<bool> unwound_{false};
};

std::atomic<pthread_t> g_signalled_thread{0};

// Also: Signal(int) reaches only a live thread; a one-shot stack address stays
// set through a Start with size 0 and is used up by the next sized Start.
TEST(ThreadHotTest, LifeCycle) {
    constexpr size_t kStack = 1 << 20;
    std::unique_ptr<void, void (*)(void*)> stack(std::aligned_alloc(4096, kStack), std::free);
    ASSERT_NE(stack, nullptr);
    struct sigaction action = {}, previous = {};
    action.sa_handler = [](int) { g_signalled_thread = pthread_self(); };
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    GatedTask task;
    // Unsigned: an address below the stack wraps to a large offset.
    auto ran_on_stack = [&] { return task.local_address - uintptr_t(stack.get()) < kStack; };
    EXPECT_TRUE(task.WaitForStop());  // never started
    EXPECT_FALSE(task.Terminate());
    EXPECT_FALSE(task.Signal(SIGUSR1));
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(task.Start(1UL << 46));  // no room for such a stack: nothing printed
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(task.HasThread());
    SetStackAddr(stack.get());
    ASSERT_TRUE(task.Start(0));
    EXPECT_TRUE(task.HasThread());
    EXPECT_FALSE(task.Start(0));  // already running
    EXPECT_FALSE(task.Attach());
    task.AwaitRun();
    EXPECT_TRUE(task.Signal(SIGUSR1));
    task.gate.Signal();
    EXPECT_TRUE(task.WaitForStop());
    EXPECT_FALSE(task.HasThread());
    EXPECT_FALSE(task.Signal(SIGUSR1));  // Run has returned
#if !defined(__SANITIZE_THREAD__)
    // ThreadSanitizer defers signals and may drop one whose thread ends first.
    EXPECT_EQ(g_signalled_thread.load(), task.seen_id.load());
#endif
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(task.GetExitCode(), 42);
    EXPECT_FALSE(ran_on_stack());
    EXPECT_TRUE(task.WaitForStop());  // again: nothing left to join
    // The stop event was signalled exactly once.
    task.WaitforSignal();
    Background second([&] { task.WaitforSignal(); });
    EXPECT_TRUE(second.StaysBlocked());
    task.Signal();
    EXPECT_TRUE(second.Finishes());
    // A finished object starts again and runs Run anew on its new thread.
    for (bool on_stack : {true, false}) {
        ASSERT_TRUE(task.Start(kStack));
        EXPECT_TRUE(task.WaitForStop());
        EXPECT_EQ(ran_on_stack(), on_stack);
    }
    EXPECT_EQ(task.runs.load(), 3);
    EXPECT_EQ(task.GetThreadId(), task.seen_id.load());
}

// Only the joiner's texts are kept; the objects' threads hand over their own.
std::vector<std::string> g_messages;

TEST(ThreadHotTest, WaitForMultipleThreads) {
    EXPECT_FALSE(ThreadHot::WaitForMultipleThreads(nullptr, 0));
    GatedTask tasks[3];
    ThreadHot* all[] = {&tasks[0], nullptr, &tasks[1], &tasks[2]};
    EXPECT_TRUE(ThreadHot::WaitForMultipleThreads(all, 4));  // nothing started
    for (auto& task : tasks) ASSERT_TRUE(task.Start(0));
    tasks[2].AwaitRun();
    g_messages.clear();
    SetPrintfSink([](const char* message) {
        if (std::strstr(message, "WaitForMultipleThreads") != nullptr) g_messages.emplace_back(message);
    });
    Background joiner([&] { EXPECT_TRUE(ThreadHot::WaitForMultipleThreads(all, 4)); });
    EXPECT_TRUE(joiner.StaysBlocked());
    for (auto& task : tasks) task.gate.Signal();
    EXPECT_TRUE(joiner.Finishes());
    SetPrintfSink(nullptr);
    for (auto& task : tasks) EXPECT_FALSE(task.HasThread());
    // Object 0 was running; one whose Run had returned by its turn gets no text.
    ASSERT_GE(g_messages.size(), 2u);
    EXPECT_EQ(g_messages[0],
              "Attempting to join with thread 0 in ThreadHot::WaitForMultipleThreads\n");
    EXPECT_EQ(g_messages[1], "Finished joining with thread 0 in ThreadHot::WaitForMultipleThreads");
    EXPECT_EQ(g_messages.size() % 2, 0u);
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
    EXPECT_TRUE(idle.Resume());
    EXPECT_TRUE(idle.Suspend());
    EXPECT_TRUE(idle.Suspend());
}

// Destroying the attached object on its own thread does not block.
TEST(ThreadHotTest, AttachBindsCallingThreadOnly) {
    ThreadHot attached;
    EXPECT_TRUE(attached.Attach());
    EXPECT_FALSE(attached.Attach());
    EXPECT_TRUE(attached.HasThread());
    EXPECT_EQ(attached.GetThreadId(), pthread_self());
    EXPECT_FALSE(attached.WaitForStop());  // a thread cannot join itself
    EXPECT_FALSE(attached.Terminate());    // not the object's own thread to end
    std::thread([&] { EXPECT_FALSE(attached.WaitForStop()); }).join();
}

// Terminate ends the thread blocked in an event wait, runs its destructors,
// signals the stop event and leaves the process and the event working.
TEST(ThreadHotTest, TerminateEndsOnlyThatThread) {
    for (bool manual : {false, true}) {
        GatedTask task(manual);
        ASSERT_TRUE(task.Start(0));
        task.AwaitRun();
        EXPECT_TRUE(task.Terminate());
        EXPECT_FALSE(task.HasThread());
        task.WaitforSignal();  // still signalled on the way out
        EXPECT_TRUE(task.WaitForStop());
        EXPECT_TRUE(task.unwound_.load());
        EXPECT_FALSE(task.Terminate());
        Background waiter([&] { task.gate.WaitForSignal(); });
        EXPECT_TRUE(waiter.StaysBlocked(50ms));
        task.gate.Signal();
        EXPECT_TRUE(waiter.Finishes());
    }
}

TEST(ThreadHotTest, ConstructorReportsFailedStepAndSkipsTheRest) {
    ::testing::internal::CaptureStdout();
    t_inject = Inject::kMutexInitAfterAttrInit;
    struct Answer : ThreadHot {
        int Run() override { return 42; }
    } object;  // no members of its own that initialise platform objects
    EXPECT_EQ(t_cond_inits, 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              std::string("*ThreadHot Error: pthread_mutex_init returned 12: ") +
                  std::strerror(12) + "\n");
    // What did initialise still works; the suspend pair reports the failure.
    EXPECT_FALSE(object.Suspend());
    EXPECT_FALSE(object.Resume());
    ASSERT_TRUE(object.Start(0));
    EXPECT_TRUE(object.WaitForStop());
    EXPECT_EQ(object.GetExitCode(), 42);
}

// Delete right after the stop event (the destructor waits for the thread's last
// touch) and restarts racing with the end of the previous run reclaim every
// thread once. The has-thread flag ends false also when Entry does not clear it.
TEST(ThreadHotTest, DeleteRightAfterStopEventStress) {
    struct Counting : ThreadHot {
        int Entry() override { return ++runs; }
        std::atomic<int> runs{0};
    } restarted;
    // A sanitizer starts a helper thread of its own at the first thread creation.
    std::thread([] {}).join();
    const auto tasks_before = TaskCount();
    for (int i = 0; i < 2000; ++i) {
        auto task = std::make_unique<Counting>();
        ThreadHot* one[] = {task.get()};
        ASSERT_TRUE(task->Start(0));
        if (i % 3 == 0) task->WaitforSignal();
        ASSERT_TRUE(i % 3 != 1 || task->WaitForStop());
        ASSERT_TRUE(i % 3 != 2 || ThreadHot::WaitForMultipleThreads(one, 1));
        ASSERT_FALSE(task->HasThread());
        ASSERT_EQ(task->GetExitCode(), 1);
    }
    int started = 0;
    for (int i = 0; i < 1000; ++i) started += restarted.Start(0);
    EXPECT_TRUE(restarted.WaitForStop());
    EXPECT_EQ(restarted.runs.load(), started);
    // The kernel may list a joined thread for a moment after the join returns.
    for (int i = 0; i < 500 && TaskCount() != tasks_before; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(TaskCount(), tasks_before);
}

}  // namespace
