#include "bobbin/thread/ThreadHot.h"

#include <signal.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>

#include "bobbin/internal/posix.h"

using bobbin::detail::Deadline;
using bobbin::detail::MutexHold;

#if defined(__has_feature)
#define BOBBIN_CLANG_TSAN __has_feature(thread_sanitizer)
#else
#define BOBBIN_CLANG_TSAN 0
#endif

namespace {

// The one-shot stack address; the next sized Start takes it.
std::atomic<void*> pStackAddr{nullptr};

// The object whose Run the calling thread runs; cleared when that object is
// destroyed on this very thread, which then touches it no more.
thread_local ThreadHot* t_object = nullptr;

// A number that names the calling thread for the life of the process: unlike
// a pthread_t, it is never given to another thread once this one has ended.
unsigned long long ThisThreadSerial() {
    static std::atomic<unsigned long long> last{0};
    thread_local unsigned long long serial = ++last;  // set once per thread
    return serial;
}

// Joins `thread` by `deadline`: 0, ETIMEDOUT, or the platform's error.
int JoinBy(pthread_t thread, const Deadline& deadline) {
    if (deadline.IsNever()) return pthread_join(thread, nullptr);
#if defined(__SANITIZE_THREAD__) || BOBBIN_CLANG_TSAN
    // ThreadSanitizer sees a join only through pthread_join or
    // pthread_timedjoin_np, which measures the real-time clock: the
    // monotonic time left is carried over to it.
    timespec now{}, real{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    clock_gettime(CLOCK_REALTIME, &real);
    const long long left_ns = (deadline.When().tv_sec - now.tv_sec) * 1000000000LL +
                              deadline.When().tv_nsec - now.tv_nsec;
    const long long at_ns = real.tv_nsec + (left_ns > 0 ? left_ns : 0);
    real.tv_sec += static_cast<time_t>(at_ns / 1000000000LL);
    real.tv_nsec = static_cast<long>(at_ns % 1000000000LL);
    return pthread_timedjoin_np(thread, nullptr, &real);
#else
    return pthread_clockjoin_np(thread, nullptr, CLOCK_MONOTONIC, &deadline.When());
#endif
}

constexpr size_t kNameBytes = 15;  // the kernel's limit, without the terminating NUL

// Copies `name` into `out`, cut to kNameBytes at the last whole UTF-8
// character that fits (text that is not UTF-8 is cut at kNameBytes).
void CutName(const char* name, char (&out)[kNameBytes + 1]) {
    size_t length = strnlen(name, kNameBytes + 1);
    if (length > kNameBytes) {
        const auto continues = [&](size_t at) { return (name[at] & 0xC0) == 0x80; };
        length = kNameBytes;
        // A character is at most four bytes: three continuation bytes at most.
        for (int back = 0; back < 3 && length > 0 && continues(length); ++back) --length;
        if (continues(length)) length = kNameBytes;
    }
    std::memcpy(out, name, length);
    out[length] = '\0';
}

void ReportInitError(const char* function, int error) {
    char text[256];
    // The GNU strerror_r returns the text, which may or may not be in `text`.
    const char* message = strerror_r(error, text, sizeof text);
    std::cout << "*ThreadHot Error: " << function << " returned " << error << ": " << message
              << std::endl;
}

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
      made_(Made::kNothing),
      life_(Life::kIdle),
      name_() {
    struct Step {
        const char* name;
        int (*init)(ThreadHot*);
        Made made;
    };
    static const Step kSteps[] = {
        {"pthread_attr_init", [](ThreadHot* t) { return pthread_attr_init(&t->thread_attributes); },
         Made::kThreadAttributes},
        {"pthread_mutexattr_init",
         [](ThreadHot* t) { return pthread_mutexattr_init(&t->mutex_attributes); },
         Made::kMutexAttributes},
        {"pthread_condattr_init",
         [](ThreadHot* t) { return pthread_condattr_init(&t->cond_attributes); },
         Made::kCondAttributes},
        {"pthread_mutex_init",
         [](ThreadHot* t) { return pthread_mutex_init(&t->suspend_mutex, nullptr); },
         Made::kSuspendMutex},
        {"pthread_cond_init",
         [](ThreadHot* t) { return pthread_cond_init(&t->suspend_condition, nullptr); },
         Made::kSuspendCondition},
    };
    for (const Step& step : kSteps) {
        const int error = step.init(this);
        if (error != 0) {
            ReportInitError(step.name, error);
            break;
        }
        made_ = step.made;
    }
    resume_count = 0;
}

ThreadHot::~ThreadHot() {
    // Joins the thread, unless this is that thread deleting its object.
    if (!Join(Deadline::kNoLimitMs) && IsOwnThreadUnjoined()) {
        // The state lock waits out the Start that has just created this thread.
        CriticalSection::Lock state(state_lock);
        MutexHold hold(&life_mutex_);
        // Nobody will join it.
        pthread_detach(thread_id);
        t_object = nullptr;
        Become(Life::kIdle);
    }
    pthread_cond_destroy(&life_changed_);
    pthread_mutex_destroy(&life_mutex_);
    if (IsMade(Made::kThreadAttributes)) pthread_attr_destroy(&thread_attributes);
    if (IsMade(Made::kSuspendCondition)) pthread_cond_destroy(&suspend_condition);
    if (IsMade(Made::kSuspendMutex)) pthread_mutex_destroy(&suspend_mutex);
    if (IsMade(Made::kMutexAttributes)) pthread_mutexattr_destroy(&mutex_attributes);
    if (IsMade(Made::kCondAttributes)) pthread_condattr_destroy(&cond_attributes);
}

bool ThreadHot::Start(unsigned long stackSize) {
    // The previous thread is joined without the state lock, which that thread
    // may still need (SetHasThread); whatever changed meanwhile is looked at
    // again under the lock.
    for (;;) {
        // A thread of its own, or false on the previous thread itself.
        if (HasThread() || !Join(Deadline::kNoLimitMs)) return false;
        CriticalSection::Lock state(state_lock);
        MutexHold hold(&life_mutex_);
        if (life_ == Life::kRunning || life_ == Life::kAttached) return false;
        if (life_ == Life::kIdle) return CreateThread(stackSize);
        // Another Start's thread, already let go or ended: joined first.
    }
}

bool ThreadHot::CreateThread(unsigned long stackSize) {
    // Taken before anything else can read it, so that no other Start runs a
    // thread on the same memory; it goes back if this Start fails, unless
    // another address has been lent meanwhile.
    void* stack = stackSize == 0 ? nullptr : pStackAddr.exchange(nullptr);
    const auto give_back = [stack] {
        void* none = nullptr;
        if (stack != nullptr) pStackAddr.compare_exchange_strong(none, stack);
    };
    pthread_attr_t attributes;
    if (!InitAttributes(&attributes, stackSize, stack)) {
        give_back();
        return false;
    }
    // Running before the thread exists, so that its own changes always come later.
    Become(Life::kRunning);
    const bool created = pthread_create(&thread_id, &attributes, &ThreadHot::EntryFunc, this) == 0;
    pthread_attr_destroy(&attributes);
    if (created) {
        // The last run's end and result must not stand for this one's. The
        // new thread signals its end and stores its result only after taking
        // the life lock, held here; a failed Start changes neither.
        stop_event.Unsignal();
        CriticalSection::Lock result(result_lock);
        exit_code = 0;
    } else {
        Become(Life::kIdle);
        give_back();
    }
    return created;
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
    const int result = self->Entry();
    // A Terminate that comes too late must not interrupt the bookkeeping.
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    if (t_object == nullptr) return nullptr;  // Run deleted the object
    CriticalSection::Lock hold(self->result_lock);
    self->exit_code = result;
    return &self->exit_code;
}

void ThreadHot::FinishOnThread() {
    {
        MutexHold hold(&life_mutex_);
        Become(Life::kFinished);
    }
    // The last touch: an owner woken by the stop event may delete the object,
    // and its destructor joins this thread before freeing anything.
    stop_event.Signal();
}

int ThreadHot::Entry() {
    PRINTF("*************************** Thread is beginning\n");
    const int result = Run();
    if (t_object != this) return result;  // Run deleted the object
    {
        MutexHold hold(&life_mutex_);
        if (life_ == Life::kRunning || life_ == Life::kLetGo) Become(Life::kEnding);
    }
    PRINTF("**************************** Thread is ending.\n");
    return result;
}

int ThreadHot::Run() {
    return 0;
}

void ThreadHot::WriteLog(const VUString& /*text*/) const {}

bool ThreadHot::Terminate() {
    CriticalSection::Lock state(state_lock);
    MutexHold hold(&life_mutex_);
    // While kRunning the thread has not finished, so its id is its own.
    if (life_ != Life::kRunning || pthread_cancel(thread_id) != 0) return false;
    Become(Life::kEnding);
    return true;
}

// One caller at a time holds the right to join (joining_) and joins up to its
// deadline, at once and without the lock, so that the others, the thread
// itself among them, get their answer meanwhile; the others wait on the
// condition, each up to its own deadline, for the join to end. One that
// gives up hands the right back. Only the join says that the thread has
// ended: its exit work (thread_local and key destructors) comes after its
// last touch of the object.
bool ThreadHot::Join(unsigned int timeoutMs) {
    const auto deadline = Deadline::AfterMs(timeoutMs);
    MutexHold hold(&life_mutex_);
    for (;;) {
        if (life_ == Life::kIdle) return true;
        // The object's own thread never waits for itself, whoever else joins.
        if (life_ == Life::kAttached || pthread_equal(thread_id, pthread_self())) return false;
        if (!joining_) break;
        // At the deadline the right, if handed back, still gives one join that
        // does not wait (the thread may have ended).
        if (WaitUntil(&life_changed_, &life_mutex_, deadline) == ETIMEDOUT && joining_) {
            return false;
        }
    }
    joining_ = true;
    const pthread_t thread = thread_id;
    // Cancellation off, so that the right to join is always handed back.
    int cancel_state = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
    pthread_mutex_unlock(&life_mutex_);
    const int error = JoinBy(thread, deadline);
    pthread_mutex_lock(&life_mutex_);
    pthread_setcancelstate(cancel_state, nullptr);
    joining_ = false;
    if (error == 0) {
        Become(Life::kIdle);
    } else {
        pthread_cond_broadcast(&life_changed_);
    }
    return error == 0;
}

void ThreadHot::Become(Life next) {
    life_ = next;
    has_thread.store(next == Life::kRunning || next == Life::kAttached);
    pthread_cond_broadcast(&life_changed_);
}

bool ThreadHot::WaitForStop() {
    return Join(Deadline::kNoLimitMs);
}

bool ThreadHot::WaitForStop(unsigned int /*timeout*/) {
    return WaitForStop();
}

bool ThreadHot::TimedWaitForStop(unsigned int timeoutMs) {
    return Join(timeoutMs);
}

bool ThreadHot::WaitForMultipleThreads(ThreadHot** threads, int count, unsigned int /*timeout*/) {
    return WaitForMultipleThreads(threads, count);
}

bool ThreadHot::WaitForMultipleThreads(ThreadHot** threads, int count) {
    if (count < 1) return false;
    for (int i = 0; i < count; ++i) {
        ThreadHot* object = threads[i];
        if (object == nullptr) continue;
        const bool announced = object->HasThread();
        if (announced) {
            PRINTF("Attempting to join with thread %d in ThreadHot::WaitForMultipleThreads\n", i);
        }
        object->Join(Deadline::kNoLimitMs);
        if (announced) {
            PRINTF("Finished joining with thread %d in ThreadHot::WaitForMultipleThreads", i);
        }
    }
    return true;
}

bool ThreadHot::Signal(int signalNumber) {
    MutexHold hold(&life_mutex_);
    return IsLive() && pthread_kill(thread_id, signalNumber) == 0;
}

void ThreadHot::Signal() {
    stop_event.Signal();
}

void ThreadHot::WaitforSignal() {
    stop_event.WaitForSignal();
}

// resume_count holds the Resumes not yet taken. A sleeper takes one; a
// Suspend that finds one pending passes without taking it, so one left with
// nobody asleep lets every later Suspend through.
bool ThreadHot::Suspend() {
    if (!IsMade(Made::kSuspendCondition)) return false;
    MutexHold hold(&suspend_mutex);
    if (resume_count == 0) {
        // Counted while asleep, also when a cancelled thread unwinds from here.
        struct Asleep {
            int& sleepers;
            explicit Asleep(int& count) : sleepers(count) { ++sleepers; }
            ~Asleep() { --sleepers; }
        } asleep(suspended_);
        // Waits for a real Resume: a spurious wake-up waits again.
        while (resume_count == 0) pthread_cond_wait(&suspend_condition, &suspend_mutex);
        --resume_count;
    }
    return true;
}

// A Resume adds one while some sleeper has none yet, or to stay pending when
// none is left at all; it wakes every sleeper to look, so that none depends
// on which one the platform wakes.
bool ThreadHot::Resume() {
    if (!IsMade(Made::kSuspendCondition)) return false;
    MutexHold hold(&suspend_mutex);
    if (resume_count == 0 || resume_count < suspended_) {
        ++resume_count;
        pthread_cond_broadcast(&suspend_condition);
    }
    return true;
}

bool ThreadHot::Attach() {
    CriticalSection::Lock state(state_lock);
    MutexHold hold(&life_mutex_);
    if (thread_id != 0) return false;
    thread_id = pthread_self();
    attached_serial_ = ThisThreadSerial();
    Become(Life::kAttached);
    return true;
}

void ThreadHot::SetHasThread(bool hasThread) {
    CriticalSection::Lock state(state_lock);
    MutexHold hold(&life_mutex_);
    if (hasThread && life_ == Life::kLetGo) Become(Life::kRunning);
    if (!hasThread && life_ == Life::kRunning) Become(Life::kLetGo);
    if (!hasThread && life_ == Life::kAttached) Become(Life::kIdle);
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
    CutName(name == nullptr ? "" : name, name_);
    if (IsLive()) return pthread_setname_np(thread_id, name_) == 0;
    return life_ != Life::kAttached;  // only an attached thread renames itself
}

std::string ThreadHot::GetThreadName() const {
    MutexHold hold(&life_mutex_);
    return name_;
}

// Start holds the life lock while it creates the thread, so the id is
// written by the time this reads it.
bool ThreadHot::IsOwnThreadUnjoined() const {
    MutexHold hold(&life_mutex_);
    const bool created = life_ != Life::kIdle && life_ != Life::kAttached;
    return created && pthread_equal(thread_id, pthread_self());
}

// A created thread is alive until its own switch to kFinished, and live
// while it runs Run. An attached thread may have ended unnoticed, and its id
// may be another thread's by now, so only the calling thread itself is known
// to be it.
bool ThreadHot::IsLive() const {
    if (life_ == Life::kRunning || life_ == Life::kLetGo) return true;
    return life_ == Life::kAttached && attached_serial_ == ThisThreadSerial();
}

void ThreadHot::NameThisThread() {
    MutexHold hold(&life_mutex_);
    if (name_[0] != '\0') pthread_setname_np(pthread_self(), name_);
}
