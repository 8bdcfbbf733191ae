// The thread object: a base class whose subclasses run their work on a POSIX
// thread of their own.
#pragma once

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <string>

#include "bobbin/sync/CriticalSection.h"
#include "bobbin/sync/SynchEvent.h"

// The string type that ThreadHot::WriteLog takes.
using VUString = std::string;

// Sets a one-shot stack address: the next Start with a non-zero stack size
// runs its thread on the `stackSize` bytes at `address` (suitably aligned and
// at least PTHREAD_STACK_MIN long, kept alive until that thread is joined) and
// clears the address. A Start with size 0 leaves it in place.
void SetStackAddr(void* address);

// Derive publicly and override Run; its result becomes the exit code. Give a
// looping Run a way to be asked to end (a quit flag and a SynchEvent it waits
// on with a time-out), and stop the thread before the object is deleted: by
// the time the base destructor joins it, the subclass's members are gone.
//
// The object joins each thread it creates exactly once (in WaitForStop,
// WaitForMultipleThreads, a restarting Start or the destructor, whichever
// comes first), and once the stop event is signalled the thread no longer
// touches the object, so an owner may delete it right after WaitforSignal.
// Copy and move are deleted.
class ThreadHot {
  public:
    // Initialises the platform objects; a failing step is reported with one
    // line on standard output and the later steps are skipped. Never throws
    // for that (std::bad_alloc may propagate).
    ThreadHot();

    // Runs on the new thread: calls Run, clears the has-thread flag and
    // returns Run's result.
    virtual int Entry();

    // Joins the thread if the object still has one (unless called on that
    // very thread), then frees the platform objects.
    virtual ~ThreadHot();

    // Asks the object's thread to end at its next cancellation point (an
    // event wait, a sleep, blocking I/O); its destructors run on the way out,
    // the stop event is signalled and the object can then be joined. Only that
    // thread ends. Returns true when the thread was asked to end, false when
    // the object has no thread of its own (never started, finished, or bound
    // by Attach). A thread that never reaches a cancellation point is not
    // ended. Takes the state lock.
    virtual bool Terminate();

    // Logging hook for subclasses; the base class does nothing and never calls it.
    virtual void WriteLog(const VUString& text) const;

    // The thread's work; the base version returns 0 at once.
    virtual int Run();

    // Creates a joinable thread running Entry, with a stack of `stackSize`
    // bytes (0: the platform's default). Joins the previous thread first,
    // which blocks only until a finished or terminated thread has ended.
    // Returns false, creating nothing, while the object has a thread or when
    // the platform refuses. Takes the state lock.
    bool Start(unsigned long stackSize);

    // The thread's start routine; `object` is the ThreadHot.
    static void* EntryFunc(void* object);

    // Blocks until the object's thread has ended and joins it. The time-out
    // does not limit the wait. Returns true when the object has no thread
    // afterwards; false when called on the object's own thread (which cannot
    // join itself) or for a thread bound by Attach, which is not the object's
    // to join.
    bool WaitForStop(unsigned int timeout);
    bool WaitForStop() { return WaitForStop(3000); }

    // Joins the threads of `threads[0..count)` in order (null entries are
    // passed over); the time-out does not limit the wait. Returns false if
    // count is below 1, else true.
    static bool WaitForMultipleThreads(ThreadHot** threads, int count, unsigned int timeout);
    static bool WaitForMultipleThreads(ThreadHot** threads, int count) {
        return WaitForMultipleThreads(threads, count, SynchEvent::kInfinite);
    }

    // Sends signal `signalNumber` to the object's live thread. Returns true
    // when it was delivered (pthread_kill returned 0); false when no live
    // thread is bound (never started, or Run has returned). For a thread bound
    // by Attach only that thread itself may signal it this way.
    bool Signal(int signalNumber);

    // Signals the stop event / waits on it without limit. The thread signals
    // the stop event once when Entry has returned (or it was terminated).
    void Signal();
    void WaitforSignal();

    // Cooperative pause of the calling thread: Suspend blocks until a Resume,
    // unless a Resume is already pending. A Resume with nobody suspended makes
    // every later Suspend return at once. Both return true, or false when the
    // suspend mutex or condition failed to initialise.
    bool Suspend();
    bool Resume();

    // Binds the object to the calling thread without creating one. Returns
    // false if a thread was ever bound. The stop event is not signalled when
    // that thread ends, and the object never joins it.
    bool Attach();

    // Sets the has-thread flag under the state lock.
    void SetHasThread(bool hasThread);
    // True while the object has a thread; takes no lock.
    bool HasThread() const { return has_thread.load(); }

    // Run's result, once it has returned (0 before). Takes the result lock.
    int GetExitCode() const;
    // The id of the thread last bound by Start or Attach; 0 if none. Never blocks
    // for long.
    pthread_t GetThreadId() const;

    ThreadHot(const ThreadHot&) = delete;
    ThreadHot& operator=(const ThreadHot&) = delete;

  protected:
    pthread_t thread_id;
    pthread_attr_t thread_attributes;
    pthread_mutex_t suspend_mutex;
    pthread_mutexattr_t mutex_attributes;
    pthread_condattr_t cond_attributes;
    pthread_cond_t suspend_condition;
    int resume_count;
    CriticalSection result_lock;
    SynchEvent stop_event;
    int exit_code;
    std::atomic<bool> has_thread;
    CriticalSection state_lock;

  private:
    // Joins the created thread if it has not been joined yet. False if the
    // caller is that thread or the join failed.
    bool JoinCreatedThread();
    // The thread's last touches of the object; the stop event comes last.
    void FinishOnThread();

    // Lock order: state_lock, join_mutex_, live_mutex_. thread_id is written
    // under both of the latter, so either suffices to read it.
    int initialised_steps_;          // how many of the five platform objects exist
    std::mutex join_mutex_;          // guards joinable_ and serialises joins
    bool joinable_;                  // a created thread not yet joined
    mutable std::mutex live_mutex_;  // guards thread_live_ and attached_
    bool thread_live_;               // a created thread has not done its last bookkeeping
    bool attached_;                  // bound by Attach
};
