// Internal, not installed: plain POSIX mutexes owned on the heap, a scoped
// hold of one, and deadlines for timed waits.
#pragma once

#include <pthread.h>
#include <time.h>

#include <memory>
#include <system_error>

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

// Locks in the constructor and unlocks in the destructor, also while a
// cancelled thread unwinds.
class MutexHold {
  public:
    explicit MutexHold(pthread_mutex_t* mutex) : mutex_(mutex) { pthread_mutex_lock(mutex_); }
    ~MutexHold() { pthread_mutex_unlock(mutex_); }
    MutexHold(const MutexHold&) = delete;
    MutexHold& operator=(const MutexHold&) = delete;

  private:
    pthread_mutex_t* mutex_;
};

// `ms` milliseconds from now on the monotonic clock, which Linux always has.
inline timespec MonotonicDeadline(unsigned int ms) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(ms / 1000);
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_nsec -= 1000000000L;
        ++deadline.tv_sec;
    }
    return deadline;
}

}  // namespace bobbin::detail
