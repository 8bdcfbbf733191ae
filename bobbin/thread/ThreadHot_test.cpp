#include "bobbin/thread/ThreadHot.h"

#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "background.h"
#include "bobbin/sync/printf_observer.h"

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
using std::chrono::milliseconds;

int TaskCount() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') ++count;
        }
        closedir(dir);
    }
    return count;
}

// The kernel may list a joined thread for a moment after the join returns, and
// a sanitizer starts a helper thread of its own at the first thread creation:
// take the count after one thread has come and gone, and allow a settling time.
int TaskCountAtRest() {
    std::thread([] {}).join();
    return TaskCount();
}
bool TaskCountReturnsTo(int expected) {
    for (int i = 0; i < 500 && TaskCount() != expected; ++i) {
        std::this_thread::sleep_for(milliseconds(10));
    }
    return TaskCount() == expected;
}

// Runs until its gate is signalled; records what it saw.
class GatedTask : public ThreadHot {
  public:
    GatedTask() : gate(true, false, nullptr) {}
    ~GatedTask() override { WaitForStop(); }
    int Run() override {
        seen_id = pthread_self();
        char local = 0;
        local_address = reinterpret_cast<uintptr_t>(&local);
        ++runs;
        gate.WaitForSignal();
        return 42;
    }
    SynchEvent gate;
    std::atomic<int> runs{0};
    std::atomic<pthread_t> seen_id{0};
    std::atomic<uintptr_t> local_address{0};
};

TEST(ThreadHotTest, LifeCycle) {
    GatedTask task;
    EXPECT_TRUE(task.WaitForStop());  // never started
    EXPECT_FALSE(task.Terminate());
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(task.Start(1UL << 46));  // no room for such a stack: nothing printed
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(task.HasThread());
    ASSERT_TRUE(task.Start(0));
    EXPECT_TRUE(task.HasThread());
    EXPECT_FALSE(task.Start(0));  // already running
    task.gate.Signal();
    EXPECT_TRUE(task.WaitForStop());
    EXPECT_FALSE(task.HasThread());
    EXPECT_EQ(task.GetExitCode(), 42);
    EXPECT_EQ(task.GetThreadId(), task.seen_id.load());
    EXPECT_EQ(task.runs.load(), 1);
    EXPECT_TRUE(task.WaitForStop());  // again: nothing left to join

    // The stop event was signalled exactly once.
    task.WaitforSignal();
    Background second([&] { task.WaitforSignal(); });
    EXPECT_TRUE(second.StaysBlocked());
    task.Signal();
    EXPECT_TRUE(second.Finishes());

    // A finished object starts again and runs Run anew on its new thread.
    ASSERT_TRUE(task.Start(0));
    EXPECT_TRUE(task.WaitForStop());
    EXPECT_EQ(task.runs.load(), 2);
    EXPECT_EQ(task.GetThreadId(), task.seen_id.load());
}

TEST(ThreadHotTest, OneShotStackAddress) {
    constexpr size_t kSize = 1 << 20;
    void* stack = std::aligned_alloc(4096, kSize);
    ASSERT_NE(stack, nullptr);
    const auto begin = reinterpret_cast<uintptr_t>(stack);
    auto on_stack = [&](const GatedTask& task) {
        return task.local_address >= begin && task.local_address < begin + kSize;
    };
    {
        GatedTask task;
        task.gate.Signal();
        SetStackAddr(stack);
        ASSERT_TRUE(task.Start(0));  // default stack; the address stays set
        ASSERT_TRUE(task.WaitForStop());
        EXPECT_FALSE(on_stack(task));
        ASSERT_TRUE(task.Start(kSize));  // takes the address
        ASSERT_TRUE(task.WaitForStop());
        EXPECT_TRUE(on_stack(task));
        ASSERT_TRUE(task.Start(kSize));  // the address was used up
        ASSERT_TRUE(task.WaitForStop());
        EXPECT_FALSE(on_stack(task));
    }
    std::free(stack);
}

// What PRINTF was handed while joining several objects.
// Only the joiner's messages are kept; the objects' threads hand over their own.
std::vector<std::string> g_messages;
void RecordMessage(const char* format, std::va_list args) {
    if (std::strstr(format, "WaitForMultipleThreads") == nullptr) return;
    char text[256];
    std::vsnprintf(text, sizeof text, format, args);
    g_messages.emplace_back(text);
}

TEST(ThreadHotTest, WaitForMultipleThreads) {
    EXPECT_FALSE(ThreadHot::WaitForMultipleThreads(nullptr, 0));
    EXPECT_FALSE(ThreadHot::WaitForMultipleThreads(nullptr, -1));
    GatedTask idle_a, idle_b;
    ThreadHot* idle[] = {&idle_a, &idle_b};
    EXPECT_TRUE(ThreadHot::WaitForMultipleThreads(idle, 2));

    GatedTask tasks[3];
    ThreadHot* running[] = {&tasks[0], &tasks[1], &tasks[2]};
    for (auto& task : tasks) ASSERT_TRUE(task.Start(0));
    while (tasks[2].runs.load() == 0) std::this_thread::yield();
    g_messages.clear();
    bobbin::detail::SetPrintfObserver(RecordMessage);
    Background joiner([&] { EXPECT_TRUE(ThreadHot::WaitForMultipleThreads(running, 3)); });
    EXPECT_TRUE(joiner.StaysBlocked());
    for (auto& task : tasks) task.gate.Signal();
    EXPECT_TRUE(joiner.Finishes());
    bobbin::detail::SetPrintfObserver(nullptr);
    for (auto& task : tasks) EXPECT_FALSE(task.HasThread());
    // Objects whose Run has already returned are joined without a message.
    int attempts = 0, finished = 0;
    for (const auto& message : g_messages) {
        attempts += message.rfind("Attempting to join with thread ", 0) == 0;
        finished += message.rfind("Finished joining with thread ", 0) == 0;
    }
    EXPECT_GE(attempts, 1);
    EXPECT_EQ(attempts, finished);
    ASSERT_FALSE(g_messages.empty());
    EXPECT_EQ(g_messages.front(),
              "Attempting to join with thread 0 in ThreadHot::WaitForMultipleThreads\n");
    EXPECT_EQ(g_messages[1], "Finished joining with thread 0 in ThreadHot::WaitForMultipleThreads");
}

TEST(ThreadHotTest, SuspendWaitsForResume) {
    struct Pausing : ThreadHot {
        int Run() override {
            Suspend();
            resumed = true;
            return 0;
        }
        std::atomic<bool> resumed{false};
    } pausing;
    ASSERT_TRUE(pausing.Start(0));
    Background owner([&] { pausing.WaitForStop(); });
    EXPECT_TRUE(owner.StaysBlocked());
    EXPECT_FALSE(pausing.resumed.load());
    EXPECT_TRUE(pausing.Resume());
    EXPECT_TRUE(owner.Finishes());
    EXPECT_TRUE(pausing.resumed.load());

    // A Resume with nobody suspended makes every later Suspend return at once.
    ThreadHot idle;
    EXPECT_TRUE(idle.Resume());
    EXPECT_TRUE(idle.Suspend());
    EXPECT_TRUE(idle.Suspend());
}

TEST(ThreadHotTest, AttachBindsCallingThreadOnly) {
    ThreadHot attached;
    EXPECT_TRUE(attached.Attach());
    EXPECT_FALSE(attached.Attach());
    EXPECT_TRUE(attached.HasThread());
    EXPECT_EQ(attached.GetThreadId(), pthread_self());
    EXPECT_FALSE(attached.WaitForStop());  // a thread cannot join itself
    EXPECT_FALSE(attached.Terminate());    // not the object's own thread to end
    std::thread([&] { EXPECT_FALSE(attached.WaitForStop()); }).join();

    GatedTask started;
    started.gate.Signal();
    ASSERT_TRUE(started.Start(0));
    EXPECT_FALSE(started.Attach());
    // Destroying the attached object on its own thread does not block.
}

std::atomic<pthread_t> g_signalled_thread{0};

TEST(ThreadHotTest, SignalReachesOnlyALiveThread) {
    struct sigaction action {};
    action.sa_handler = [](int) { g_signalled_thread = pthread_self(); };
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    GatedTask task;
    EXPECT_FALSE(task.Signal(SIGUSR1));  // never started
    ASSERT_TRUE(task.Start(0));
    while (task.runs.load() == 0) std::this_thread::yield();
    EXPECT_TRUE(task.Signal(SIGUSR1));
    task.gate.Signal();
    ASSERT_TRUE(task.WaitForStop());
#if !defined(__SANITIZE_THREAD__)
    // ThreadSanitizer defers signals and may drop one whose thread ends first.
    EXPECT_EQ(g_signalled_thread.load(), task.seen_id.load());
#endif
    EXPECT_FALSE(task.Signal(SIGUSR1));  // Run has returned

    sigaction(SIGUSR1, &previous, nullptr);
}

// Terminate ends the thread blocked in an event wait, runs its destructors,
// signals the stop event and leaves the process and the event working.
TEST(ThreadHotTest, TerminateEndsOnlyThatThread) {
    struct Blocked : ThreadHot {
        explicit Blocked(SynchEvent& event) : event(event) {}
        ~Blocked() override { WaitForStop(); }
        int Run() override {
            struct Unwound {
                std::atomic<bool>& flag;
                ~Unwound() { flag = true; }
            } unwound{cleaned_up};
            waiting = true;
            event.WaitForSignal();
            return 1;
        }
        SynchEvent& event;
        std::atomic<bool> waiting{false};
        std::atomic<bool> cleaned_up{false};
    };
    for (bool manual : {false, true}) {
        SynchEvent event(manual, false, nullptr);
        auto task = std::make_unique<Blocked>(event);
        ASSERT_TRUE(task->Start(0));
        while (!task->waiting.load()) std::this_thread::yield();
        EXPECT_TRUE(task->Terminate());
        EXPECT_FALSE(task->HasThread());
        task->WaitforSignal();  // still signalled on the way out
        EXPECT_TRUE(task->WaitForStop());
        EXPECT_TRUE(task->cleaned_up.load());
        EXPECT_FALSE(task->Terminate());
        task.reset();

        Background waiter([&] { event.WaitForSignal(); });
        EXPECT_TRUE(waiter.StaysBlocked(milliseconds(50)));
        event.Signal();
        EXPECT_TRUE(waiter.Finishes());
    }
}

TEST(ThreadHotTest, ConstructorReportsFailedStepAndSkipsTheRest) {
    ::testing::internal::CaptureStdout();
    struct Answer : ThreadHot {
        int Run() override { return 42; }
    };
    t_inject = Inject::kMutexInitAfterAttrInit;
    auto object = std::make_unique<Answer>();
    const int cond_inits_after = t_cond_inits;
    const std::string output = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(output, std::string("*ThreadHot Error: pthread_mutex_init returned 12: ") +
                          std::strerror(12) + "\n");
    EXPECT_EQ(cond_inits_after, 0);
    // What did initialise still works; the suspend pair reports the failure.
    EXPECT_FALSE(object->Suspend());
    EXPECT_FALSE(object->Resume());
    ASSERT_TRUE(object->Start(0));
    EXPECT_TRUE(object->WaitForStop());
    EXPECT_EQ(object->GetExitCode(), 42);
}

// Start, wait on the stop event, delete at once: the destructor waits for the
// thread's last touch, and every thread is reclaimed.
// The has-thread flag ends false also when Entry is overridden without clearing it.
TEST(ThreadHotTest, DeleteRightAfterStopEventStress) {
    struct Empty : ThreadHot {
        int Entry() override { return 3; }
    };
    const int tasks_before = TaskCountAtRest();
    for (int i = 0; i < 2000; ++i) {
        auto task = std::make_unique<Empty>();
        ASSERT_TRUE(task->Start(0));
        switch (i % 3) {
            case 0:
                task->WaitforSignal();
                ASSERT_FALSE(task->HasThread());
                ASSERT_EQ(task->GetExitCode(), 3);
                break;
            case 1:
                ASSERT_TRUE(task->WaitForStop());
                break;
            default: {
                ThreadHot* one[] = {task.get()};
                ThreadHot::WaitForMultipleThreads(one, 1);
                break;
            }
        }
    }
    EXPECT_TRUE(TaskCountReturnsTo(tasks_before));
}

// A restart racing with the end of the previous run never joins twice.
TEST(ThreadHotTest, RestartRacesWithFinish) {
    struct Empty : ThreadHot {
        int Run() override { return ++runs; }
        std::atomic<int> runs{0};
    } task;
    const int tasks_before = TaskCountAtRest();
    int started = 0;
    for (int i = 0; i < 1000; ++i) started += task.Start(0);
    EXPECT_TRUE(task.WaitForStop());
    EXPECT_EQ(task.runs.load(), started);
    EXPECT_TRUE(TaskCountReturnsTo(tasks_before));
}

}  // namespace
