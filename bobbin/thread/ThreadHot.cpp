#include "bobbin/thread/ThreadHot.h"

#include <signal.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>

#include "bobbin/internal/posix.h"

using bobbin::detail::MutexHold;

namespace {

// The one-shot stack address; the next sized Start takes it.
std::atomic<void*> pStackAddr{nullptr};

// The object whose Run the calling thread runs; cleared when that object is
// destroyed on this very thread, which then touches it no more.
thread_local ThreadHot* t_object = nullptr;

void ReportInitError(const char* function, int error) {
    char text[256];
    // The GNU strerror_r returns the text, which may or may not be in `text`.
    const char* message = strerror_r(error, text, sizeof text);
    std::cout << "*ThreadHot Error: " << function << " returned " << error << ": " << message
              << std::endl;
}

constexpr int kSuspendMutexStep = 3;
constexpr int kSuspendConditionStep = 4;

// A thread attribute object for `stackSize` bytes (0: the default stack) on
// the lent stack, if any; false when the platform refuses either.
bool InitAttributes(pthread_attr_t* attributes, unsigned long stackSize, void* stack) {
    if (pthread_attr_init(attributes) != 0) return false;
    const bool sized =
        stackSize == 0 ||
        (stack == nullptr ? pthread_attr_setstacksize(attributes, stackSize)
                          : pthread_attr_setstack(attributes, stack, stackSize)) == 0;
    if (!sized) pthread_attr_destroy(attributes);
    return sized;
}

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
      life_(Life::kIdle),
      name_() {
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
        // The state lock also waits out a Start that has just created the
        // thread that is now deleting its object.
        CriticalSection::Lock state(state_lock);
        MutexHold hold(&life_mutex_);
        if (life_ == Life::kRunning && pthread_equal(thread_id, pthread_self())) {
            // Destroyed by its own thread: nobody will join it.
            pthread_detach(thread_id);
            t_object = nullptr;
            life_ = Life::kIdle;
        }
    }
    pthread_cond_destroy(&life_changed_);
    pthread_mutex_destroy(&life_mutex_);
    if (initialised_steps_ > 0) pthread_attr_destroy(&thread_attributes);
    if (initialised_steps_ > kSuspendConditionStep) pthread_cond_destroy(&suspend_condition);
    if (initialised_steps_ > kSuspendMutexStep) pthread_mutex_destroy(&suspend_mutex);
    if (initialised_steps_ > 1) pthread_mutexattr_destroy(&mutex_attributes);
    if (initialised_steps_ > 2) pthread_condattr_destroy(&cond_attributes);
}

bool ThreadHot::Start(unsigned long stackSize) {
    CriticalSection::Lock state(state_lock);
    if (has_thread.load()) return false;
    if (!Join(nullptr)) {  // the previous thread, once it has ended
        MutexHold hold(&life_mutex_);
        if (life_ != Life::kAttached) return false;  // called on that thread itself
    }

    void* stack = stackSize == 0 ? nullptr : pStackAddr.load();
    pthread_attr_t attributes;
    if (!InitAttributes(&attributes, stackSize, stack)) return false;
    MutexHold hold(&life_mutex_);
    // Marked before the thread exists, so its own clearing always comes later.
    has_thread.store(true);
    const bool created = pthread_create(&thread_id, &attributes, &ThreadHot::EntryFunc, this) == 0;
    pthread_attr_destroy(&attributes);
    if (!created) {
        has_thread.store(false);
        return false;
    }
    life_ = Life::kRunning;
    if (stack != nullptr) pStackAddr.compare_exchange_strong(stack, nullptr);  // used up
    return true;
}

void* ThreadHot::EntryFunc(void* object) {
    auto* self = static_cast<ThreadHot*>(object);
    t_object = self;
    // Runs on a normal return and while a terminated thread unwinds.
    struct Finish {
        ~Finish() {
            if (t_object != nullptr) t_object->FinishOnThread();
        }
    } finish;

    self->NameThisThread();
    {
        CriticalSection::Lock hold(self->result_lock);
        self->exit_code = 0;
    }
    const int result = self->Entry();
    // A Terminate that comes too late must not interrupt the bookkeeping.
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    if (t_object == nullptr) return nullptr;  // Run deleted the object
    CriticalSection::Lock hold(self->result_lock);
    self->exit_code = result;
    return &self->exit_code;
}

void ThreadHot::FinishOnThread() {
    has_thread.store(false);
    {
        MutexHold hold(&life_mutex_);
        life_ = Life::kFinished;
        pthread_cond_broadcast(&life_changed_);
    }
    // The last touch: an owner woken by the stop event may delete the object,
    // and its destructor joins this thread before freeing anything.
    stop_event.Signal();
}

int ThreadHot::Entry() {
    PRINTF("*************************** Thread is beginning\n");
    const int result = Run();
    if (t_object != this) return result;  // Run deleted the object
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
        // While kRunning the thread has not ended, so its id is valid.
        MutexHold hold(&life_mutex_);
        if (!has_thread.load() || life_ != Life::kRunning) return false;
        if (pthread_cancel(thread_id) != 0) return false;
    }
    SetHasThread(false);
    return true;
}

// The join itself is made without the lock, so that the thread can finish
// and other callers (the thread itself among them) get their answer at once.
// Only a finished thread is joined, and by one caller: the others wait for it.
bool ThreadHot::Join(const timespec* deadline) {
    MutexHold hold(&life_mutex_);
    for (;;) {
        switch (life_) {
            case Life::kIdle:
                return true;
            case Life::kAttached:
                return false;
            case Life::kRunning:
                if (pthread_equal(thread_id, pthread_self())) return false;
                break;
            case Life::kFinished: {
                // The thread has done its last touch and is about to end: a
                // short join, made with cancellation off so that it completes.
                life_ = Life::kJoining;
                int cancel_state = 0;
                pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
                pthread_mutex_unlock(&life_mutex_);
                pthread_join(thread_id, nullptr);
                pthread_mutex_lock(&life_mutex_);
                pthread_setcancelstate(cancel_state, nullptr);
                life_ = Life::kIdle;
                pthread_cond_broadcast(&life_changed_);
                return true;
            }
            case Life::kJoining:
                break;
        }
        if (deadline == nullptr) {
            pthread_cond_wait(&life_changed_, &life_mutex_);
        } else if (pthread_cond_clockwait(&life_changed_, &life_mutex_, CLOCK_MONOTONIC,
                                          deadline) == ETIMEDOUT &&
                   life_ == Life::kRunning) {
            return false;
        }
    }
}

bool ThreadHot::WaitForStop(unsigned int /*timeout*/) {
    return Join(nullptr) && !has_thread.load();
}

bool ThreadHot::TimedWaitForStop(unsigned int timeoutMs) {
    const auto deadline = bobbin::detail::Deadline::AfterMs(timeoutMs);
    return Join(deadline.IsNever() ? nullptr : &deadline.When()) && !has_thread.load();
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
        object->Join(nullptr);
        if (announced) {
            PRINTF("Finished joining with thread %d in ThreadHot::WaitForMultipleThreads", i);
        }
    }
    return true;
}

bool ThreadHot::Signal(int signalNumber) {
    MutexHold hold(&life_mutex_);
    const bool live = life_ == Life::kRunning || (life_ == Life::kAttached && has_thread.load() &&
                                                  pthread_equal(thread_id, pthread_self()));
    return live && pthread_kill(thread_id, signalNumber) == 0;
}

void ThreadHot::Signal() {
    stop_event.Signal();
}

void ThreadHot::WaitforSignal() {
    stop_event.WaitForSignal();
}

bool ThreadHot::Suspend() {
    if (initialised_steps_ <= kSuspendConditionStep) return false;
    MutexHold hold(&suspend_mutex);
    if (resume_count == 0) {
        // Waits for a real Resume: a spurious wake-up waits again.
        while (resume_count == 0) pthread_cond_wait(&suspend_condition, &suspend_mutex);
        --resume_count;
    }
    return true;
}

bool ThreadHot::Resume() {
    if (initialised_steps_ <= kSuspendConditionStep) return false;
    MutexHold hold(&suspend_mutex);
    if (resume_count == 0) {
        pthread_cond_signal(&suspend_condition);
        ++resume_count;
    }
    return true;
}

bool ThreadHot::Attach() {
    CriticalSection::Lock state(state_lock);
    MutexHold hold(&life_mutex_);
    if (thread_id != 0) return false;
    thread_id = pthread_self();
    life_ = Life::kAttached;
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
    MutexHold hold(&life_mutex_);
    return thread_id;
}

bool ThreadHot::SetThreadName(const char* name) {
    MutexHold hold(&life_mutex_);
    std::strncpy(name_, name == nullptr ? "" : name, sizeof name_ - 1);
    const bool live = life_ == Life::kRunning || life_ == Life::kAttached;
    return !live || pthread_setname_np(thread_id, name_) == 0;
}

std::string ThreadHot::GetThreadName() const {
    MutexHold hold(&life_mutex_);
    return name_;
}

void ThreadHot::NameThisThread() {
    MutexHold hold(&life_mutex_);
    if (name_[0] != '\0') pthread_setname_np(pthread_self(), name_);
}
