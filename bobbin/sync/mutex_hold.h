// Internal, not installed: a scoped hold of a plain POSIX mutex.
#pragma once

#include <pthread.h>

namespace bobbin::detail {

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

}  // namespace bobbin::detail
