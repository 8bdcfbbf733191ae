// A thin recursive mutex: one POSIX mutex of the recursive type.
#pragma once

#include <pthread.h>

#include "bobbin/export.h"

// Process-local recursive lock at the platform's speed; the POSIX mutex counts
// the nesting. Prefer it to CriticalSection where nobody needs to read nesting
// counts or hear of unmatched releases. Any thread may call Acquire and
// Release; whatever a thread wrote before its last Release is visible to the
// next thread whose Acquire returns. Destroy it only while no thread holds it
// or waits for it. Copy and move are deleted.
//
// The protected `mutex_attributes` is kept for subclasses and not used after
// construction: it points to the attributes the mutex was made with (recursive),
// one object shared by every Mutex of the process, which a subclass must not
// change or destroy.
class BOBBIN_EXPORT BOBBIN_CAPABILITY("mutex") Mutex {
  public:
    // Builds an unlocked recursive mutex. `name` (may be null) is ignored: it is
    // neither stored nor shared with other mutexes. Throws std::bad_alloc, or
    // std::system_error when the platform refuses; then nothing stays allocated.
    explicit Mutex(const char* name = nullptr);

    // Destroys and frees the mutex (it is not unlocked first).
    virtual ~Mutex();

    // Blocks until the calling thread holds the mutex; nests at once if it
    // holds it already.
    void Acquire() BOBBIN_ACQUIRE() { pthread_mutex_lock(mutex_handle); }

    // Undoes one Acquire of the calling thread. Never blocks. A Release by a
    // thread that does not hold the mutex is refused and changes nothing.
    void Release() BOBBIN_RELEASE() { pthread_mutex_unlock(mutex_handle); }

    // Lockable interface: Acquire, Release, and a try that never waits (true if
    // the calling thread now holds the mutex one level deeper).
    void lock() BOBBIN_ACQUIRE() { Acquire(); }
    void unlock() BOBBIN_RELEASE() { Release(); }
    bool try_lock() BOBBIN_TRY_ACQUIRE(true) { return pthread_mutex_trylock(mutex_handle) == 0; }

    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    // Holds a mutex for the guard's lifetime, also when the scope is left by an
    // exception. Blocks in the constructor as Acquire does.
    class BOBBIN_SCOPED_CAPABILITY Lock {
      public:
        explicit Lock(Mutex& held) BOBBIN_ACQUIRE(held) : mutex(&held) { held.Acquire(); }
        virtual ~Lock() BOBBIN_RELEASE() { mutex->Release(); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      protected:
        Mutex* mutex;
    };

  protected:
    pthread_mutex_t* mutex_handle;
    pthread_mutexattr_t* mutex_attributes;
};
