// Internal, not installed: the platform mutex and condition behind RAII, the
// one deadline type that every timed wait of the library goes through, and the
// futex calls on which an event's waiter sleeps.
#pragma once

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <system_error>

#include "bobbin/export.h"

namespace bobbin::detail {

// Throws std::system_error for a non-zero result of the platform call `what`.
inline void ThrowIfFailed(int error, const char* what) {
    if (error != 0) throw std::system_error(error, std::generic_category(), what);
}

// Destroys and frees a mutex made by NewMutex; null is ignored.
inline void DeleteMutex(pthread_mutex_t* mutex) {
    if (mutex == nullptr) return;
    pthread_mutex_destroy(mutex);
    delete mutex;
}

// A heap mutex initialised with `attributes` (null: the normal type). Throws
// std::bad_alloc or std::system_error, and then has allocated nothing.
inline pthread_mutex_t* NewMutex(const pthread_mutexattr_t* attributes = nullptr) {
    auto mutex = std::make_unique<pthread_mutex_t>();
    ThrowIfFailed(pthread_mutex_init(mutex.get(), attributes), "pthread_mutex_init");
    return mutex.release();
}

// Destroys and frees a condition made by NewCondition; null is ignored.
inline void DeleteCondition(pthread_cond_t* condition) {
    if (condition == nullptr) return;
    pthread_cond_destroy(condition);
    delete condition;
}

// A heap condition whose timed waits measure the monotonic clock. Throws
// std::bad_alloc or std::system_error, and then has allocated nothing.
inline pthread_cond_t* NewCondition() {
    pthread_condattr_t attributes;
    ThrowIfFailed(pthread_condattr_init(&attributes), "pthread_condattr_init");
    auto condition = std::make_unique<pthread_cond_t>();
    int error = pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    if (error == 0) error = pthread_cond_init(condition.get(), &attributes);
    pthread_condattr_destroy(&attributes);
    ThrowIfFailed(error, "pthread_cond_init");
    return condition.release();
}

// pthread_mutex_lock and pthread_mutex_unlock as the analysis sees them, for
// a lock taken in one function and given up in another.
inline void LockMutex(PlatformMutex* mutex)
    BOBBIN_ACQUIRE(*mutex) BOBBIN_NO_THREAD_SAFETY_ANALYSIS {
    pthread_mutex_lock(mutex);
}
inline void UnlockMutex(PlatformMutex* mutex)
    BOBBIN_RELEASE(*mutex) BOBBIN_NO_THREAD_SAFETY_ANALYSIS {
    pthread_mutex_unlock(mutex);
}
inline bool TryLockMutex(PlatformMutex* mutex)
    BOBBIN_TRY_ACQUIRE(true, *mutex) BOBBIN_NO_THREAD_SAFETY_ANALYSIS {
    return pthread_mutex_trylock(mutex) == 0;
}

// Locks in the constructor and unlocks in the destructor, also while a
// cancelled thread unwinds.
class BOBBIN_SCOPED_CAPABILITY MutexHold {
  public:
    explicit MutexHold(PlatformMutex* mutex) BOBBIN_ACQUIRE(*mutex) : mutex_(mutex) {
        pthread_mutex_lock(mutex_);
    }
    ~MutexHold() BOBBIN_RELEASE() { pthread_mutex_unlock(mutex_); }
    MutexHold(const MutexHold&) = delete;
    MutexHold& operator=(const MutexHold&) = delete;

  private:
    PlatformMutex* mutex_;
};

// When a timed wait gives up: a point on the monotonic clock, or never. Made
// once at the start of a call, so that the bound covers the whole call,
// queueing behind other waiters included.
class Deadline {
  public:
    // The time-out in milliseconds that means "no limit".
    static constexpr unsigned int kNoLimitMs = 0xFFFFFFFFu;

    static Deadline Never() { return Deadline(); }

    // `ms` milliseconds from now; kNoLimitMs means never.
    static Deadline AfterMs(unsigned int ms) {
        Deadline deadline;
        if (ms == kNoLimitMs) return deadline;
        deadline.limited_ = true;
        clock_gettime(CLOCK_MONOTONIC, &deadline.when_);
        deadline.when_.tv_sec += static_cast<time_t>(ms / 1000);
        deadline.when_.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
        if (deadline.when_.tv_nsec >= 1000000000L) {
            deadline.when_.tv_nsec -= 1000000000L;
            ++deadline.when_.tv_sec;
        }
        return deadline;
    }

    bool IsNever() const { return !limited_; }

    // The point on CLOCK_MONOTONIC; meaningful only when !IsNever().
    const timespec& When() const { return when_; }

    // True once the monotonic clock has reached the deadline.
    bool HasPassed() const {
        if (!limited_) return false;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return now.tv_sec > when_.tv_sec ||
               (now.tv_sec == when_.tv_sec && now.tv_nsec >= when_.tv_nsec);
    }

  private:
    Deadline() = default;

    bool limited_ = false;
    timespec when_{};
};

// Waits on `condition` with `mutex` held until woken or `deadline`. Returns
// 0 when woken (perhaps spuriously), ETIMEDOUT at the deadline, or the
// platform's error. A cancellation point.
inline int WaitUntil(pthread_cond_t* condition, PlatformMutex* mutex, const Deadline& deadline)
    BOBBIN_REQUIRES(*mutex) {
    if (deadline.IsNever()) return pthread_cond_wait(condition, mutex);
    return pthread_cond_clockwait(condition, mutex, CLOCK_MONOTONIC, &deadline.When());
}

static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free,
              "a futex word is a plain int");

// The futex wait alone, with asynchronous cancellation on around it, as the C
// library's own cancellation points do: a request that is pending, or arrives
// while the thread sleeps, unwinds from inside this frame. The frame holds
// nothing to clean up, and it is not instrumented by the sanitizers, whose
// frame-exit landing pads and stack redzones an unwind from a signal handler
// would skip. -1 with errno on failure, as the system call.
//
// The two calls go through pointers the compiler cannot see through: the C
// library declares both functions not to throw, and a compiler that took this
// frame for one that cannot throw would leave its callers' cleanups out of the
// unwind tables, which turns the cancellation's unwind into std::terminate.
inline int (*volatile g_set_cancel_type)(int, int*) = pthread_setcanceltype;
inline long (*volatile g_system_call)(long, ...) = syscall;

__attribute__((noinline, no_sanitize("address", "thread"))) inline long FutexWaitCancellable(
    int* word, int expected, const timespec* when) {
    int type = PTHREAD_CANCEL_DEFERRED;
    g_set_cancel_type(PTHREAD_CANCEL_ASYNCHRONOUS, &type);
    const long result = g_system_call(SYS_futex, word, FUTEX_WAIT_BITSET_PRIVATE, expected, when,
                                      nullptr, FUTEX_BITSET_MATCH_ANY);
    g_set_cancel_type(type, &type);
    return result;
}

// Sleeps while `*word` holds `expected`, until woken or `deadline` (an
// absolute time on CLOCK_MONOTONIC, as FUTEX_WAIT_BITSET takes it). Returns 0
// when woken, perhaps spuriously; EAGAIN when the word no longer held
// `expected`; EINTR; ETIMEDOUT at the deadline; or the platform's error. A
// cancellation point when `cancellable`.
inline int FutexWait(std::atomic<int>* word, int expected, const Deadline& deadline,
                     bool cancellable) {
    int* address = reinterpret_cast<int*>(word);
    const timespec* when = deadline.IsNever() ? nullptr : &deadline.When();
    const long result = cancellable ? FutexWaitCancellable(address, expected, when)
                                    : syscall(SYS_futex, address, FUTEX_WAIT_BITSET_PRIVATE,
                                              expected, when, nullptr, FUTEX_BITSET_MATCH_ANY);
    return result == 0 ? 0 : errno;
}

// Wakes one thread that sleeps on `word`, if any. Safe on an address whose
// owner has returned: the kernel finds a private futex's sleepers by this
// process and the address alone, without reading or writing the memory, so on
// memory that was reused (another wait's word, a mutex of the C library) it
// adds at most one spurious wake-up, which every futex user tolerates (each
// re-reads its word and sleeps again), and on unmapped memory it does nothing.
// The caller must write nothing there after the store that let the owner go.
inline void FutexWake(std::atomic<int>* word) {
    syscall(SYS_futex, reinterpret_cast<int*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

}  // namespace bobbin::detail
