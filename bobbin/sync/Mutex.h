// A thin recursive mutex: one POSIX mutex of the recursive type.
#pragma once

#include <pthread.h>

// Process-local recursive lock; the POSIX mutex counts the nesting. Any thread
// may call Acquire and Release. Destroy it only while no thread holds it or
// waits for it. Copy and move are deleted.
class Mutex {
  public:
    // Builds an unlocked recursive mutex. `name` (may be null) is ignored: it is
    // neither stored nor shared with other mutexes. Throws std::bad_alloc when
    // memory runs out and then leaves nothing allocated.
    explicit Mutex(const char* name = nullptr);

    // Destroys the mutex (it is not unlocked first) and frees both objects.
    virtual ~Mutex();

    // Blocks until the calling thread holds the mutex; nests at once if it
    // holds it already.
    void Acquire() { pthread_mutex_lock(mutex_handle); }

    // Undoes one Acquire of the calling thread. Never blocks. A Release by a
    // thread that does not hold the mutex is refused and changes nothing.
    void Release() { pthread_mutex_unlock(mutex_handle); }

    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    // Holds a mutex for the guard's lifetime, also when the scope is left by an
    // exception. Blocks in the constructor as Acquire does.
    class Lock {
      public:
        explicit Lock(Mutex& mutex) : mutex(&mutex) { mutex.Acquire(); }
        virtual ~Lock() { mutex->Release(); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      protected:
        Mutex* mutex;
    };

  protected:
    pthread_mutex_t* mutex_handle;
    pthread_mutexattr_t* mutex_attributes;
};
