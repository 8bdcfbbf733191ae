#include "bobbin/thread/ThreadHot.h"

#include <signal.h>

#include <cstring>
#include <iostream>

#include "bobbin/sync/posix_mutex.h"

namespace {

// The one-shot stack address; the next sized Start takes it.
std::atomic<void*> pStackAddr{nullptr};

void ReportInitError(const char* function, int error) {
    char text[256];
    // The GNU strerror_r returns the text, which may or may not be in `text`.
    const char* message = strerror_r(error, text, sizeof text);
    std::cout << "*ThreadHot Error: " << function << " returned " << error << ": " << message
              << std::endl;
}

constexpr int kSuspendMutexStep = 3;
constexpr int kSuspendConditionStep = 4;

}  // namespace

void SetStackAddr(void* address) {
    pStackAddr.store(address);
}

ThreadHot::ThreadHot()
    : thread_id(0),
      resume_count(0),
      stop_event(false, false, nullptr),
      exit_code(0),
      has_thread(false),
      initialised_steps_(0),
      joinable_(false),
      thread_live_(false),
      attached_(false) {
    struct Step {
        const char* name;
        int (*init)(ThreadHot*);
    };
    static const Step kSteps[] = {
        {"pthread_attr_init",
         [](ThreadHot* t) { return pthread_attr_init(&t->thread_attributes); }},
        {"pthread_mutexattr_init",
         [](ThreadHot* t) { return pthread_mutexattr_init(&t->mutex_attributes); }},
        {"pthread_condattr_init",
         [](ThreadHot* t) { return pthread_condattr_init(&t->cond_attributes); }},
        {"pthread_mutex_init",
         [](ThreadHot* t) { return pthread_mutex_init(&t->suspend_mutex, nullptr); }},
        {"pthread_cond_init",
         [](ThreadHot* t) { return pthread_cond_init(&t->suspend_condition, nullptr); }},
    };
    for (const Step& step : kSteps) {
        const int error = step.init(this);
        if (error != 0) {
            ReportInitError(step.name, error);
            break;
        }
        ++initialised_steps_;
    }
    resume_count = 0;
}

ThreadHot::~ThreadHot() {
    WaitForStop(3000);
    {
        // Destroyed on its own thread: nobody else will join it.
        std::lock_guard<std::mutex> hold(join_mutex_);
        if (joinable_ && pthread_equal(thread_id, pthread_self())) {
            pthread_detach(thread_id);
            joinable_ = false;
        }
    }
    if (initialised_steps_ > 0) pthread_attr_destroy(&thread_attributes);
    if (initialised_steps_ > kSuspendConditionStep) pthread_cond_destroy(&suspend_condition);
    if (initialised_steps_ > kSuspendMutexStep) pthread_mutex_destroy(&suspend_mutex);
    if (initialised_steps_ > 1) pthread_mutexattr_destroy(&mutex_attributes);
    if (initialised_steps_ > 2) pthread_condattr_destroy(&cond_attributes);
}

bool ThreadHot::Start(unsigned long stackSize) {
    CriticalSection::Lock state(state_lock);
    if (has_thread.load()) return false;
    std::lock_guard<std::mutex> join(join_mutex_);
    if (joinable_) {
        // The previous thread has finished Run; reclaim it before reuse.
        pthread_join(thread_id, nullptr);
        joinable_ = false;
    }

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    if (stackSize != 0) {
        pthread_attr_setstacksize(&attributes, stackSize);
        if (void* address = pStackAddr.exchange(nullptr)) {
            pthread_attr_setstack(&attributes, address, stackSize);
        }
    }
    // Marked before the thread exists, so its own clearing always comes later.
    has_thread.store(true);
    bool created;
    {
        // Held across creation so that nobody sees the new thread without its id.
        std::lock_guard<std::mutex> live(live_mutex_);
        created = pthread_create(&thread_id, &attributes, &ThreadHot::EntryFunc, this) == 0;
        thread_live_ = created;
        if (created) attached_ = false;
    }
    pthread_attr_destroy(&attributes);
    joinable_ = created;
    if (!created) has_thread.store(false);
    return created;
}

void* ThreadHot::EntryFunc(void* object) {
    auto* self = static_cast<ThreadHot*>(object);
    // Runs on a normal return and while a terminated thread unwinds.
    struct Finish {
        ThreadHot* self;
        ~Finish() { self->FinishOnThread(); }
    } finish{self};

    {
        CriticalSection::Lock hold(self->result_lock);
        self->exit_code = 0;
    }
    const int result = self->Entry();
    // A Terminate that comes too late must not interrupt the bookkeeping.
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    {
        CriticalSection::Lock hold(self->result_lock);
        self->exit_code = result;
    }
    return &self->exit_code;
}

void ThreadHot::FinishOnThread() {
    has_thread.store(false);
    {
        std::lock_guard<std::mutex> live(live_mutex_);
        thread_live_ = false;
    }
    // The last touch: an owner woken by the stop event may delete the object,
    // and its destructor joins this thread before freeing anything.
    stop_event.Signal();
}

int ThreadHot::Entry() {
    PRINTF("*************************** Thread is beginning\n");
    const int result = Run();
    has_thread.store(false);
    PRINTF("**************************** Thread is ending.\n");
    return result;
}

int ThreadHot::Run() {
    return 0;
}

void ThreadHot::WriteLog(const VUString& /*text*/) const {}

bool ThreadHot::Terminate() {
    CriticalSection::Lock state(state_lock);
    {
        // While thread_live_ holds, the thread has not finished, so its id is
        // valid: it cannot be joined before it clears the mark.
        std::lock_guard<std::mutex> live(live_mutex_);
        if (!has_thread.load() || !thread_live_) return false;
        if (pthread_cancel(thread_id) != 0) return false;
    }
    SetHasThread(false);
    return true;
}

bool ThreadHot::JoinCreatedThread() {
    std::lock_guard<std::mutex> join(join_mutex_);
    if (!joinable_) return true;
    if (pthread_equal(thread_id, pthread_self())) return false;
    if (pthread_join(thread_id, nullptr) != 0) return false;
    joinable_ = false;
    return true;
}

bool ThreadHot::WaitForStop(unsigned int /*timeout*/) {
    if (!JoinCreatedThread()) return false;
    return !has_thread.load();
}

bool ThreadHot::WaitForMultipleThreads(ThreadHot** threads, int count, unsigned int /*timeout*/) {
    if (count < 1) return false;
    for (int i = 0; i < count; ++i) {
        ThreadHot* object = threads[i];
        if (object == nullptr) continue;
        const bool announced = object->HasThread();
        if (announced) {
            PRINTF("Attempting to join with thread %d in ThreadHot::WaitForMultipleThreads\n", i);
        }
        object->JoinCreatedThread();
        if (announced) {
            PRINTF("Finished joining with thread %d in ThreadHot::WaitForMultipleThreads", i);
        }
    }
    return true;
}

bool ThreadHot::Signal(int signalNumber) {
    std::lock_guard<std::mutex> live(live_mutex_);
    if (thread_id == 0) return false;
    const bool deliverable = thread_live_ || (attached_ && has_thread.load() &&
                                              pthread_equal(thread_id, pthread_self()));
    return deliverable && pthread_kill(thread_id, signalNumber) == 0;
}

void ThreadHot::Signal() {
    stop_event.Signal();
}

void ThreadHot::WaitforSignal() {
    stop_event.WaitForSignal();
}

bool ThreadHot::Suspend() {
    if (initialised_steps_ <= kSuspendConditionStep) return false;
    bobbin::detail::MutexHold hold(&suspend_mutex);
    if (resume_count == 0) {
        // Waits for a real Resume: a spurious wake-up waits again.
        while (resume_count == 0) pthread_cond_wait(&suspend_condition, &suspend_mutex);
        --resume_count;
    }
    return true;
}

bool ThreadHot::Resume() {
    if (initialised_steps_ <= kSuspendConditionStep) return false;
    bobbin::detail::MutexHold hold(&suspend_mutex);
    if (resume_count == 0) {
        pthread_cond_signal(&suspend_condition);
        ++resume_count;
    }
    return true;
}

bool ThreadHot::Attach() {
    CriticalSection::Lock state(state_lock);
    std::lock_guard<std::mutex> live(live_mutex_);
    if (thread_id != 0) return false;
    thread_id = pthread_self();
    attached_ = true;
    has_thread.store(true);
    return true;
}

void ThreadHot::SetHasThread(bool hasThread) {
    CriticalSection::Lock state(state_lock);
    has_thread.store(hasThread);
}

int ThreadHot::GetExitCode() const {
    CriticalSection::Lock hold(result_lock);
    return exit_code;
}

pthread_t ThreadHot::GetThreadId() const {
    std::lock_guard<std::mutex> live(live_mutex_);
    return thread_id;
}
