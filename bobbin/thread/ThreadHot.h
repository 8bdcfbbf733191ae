// The thread object: a base class whose subclasses run their work on a POSIX
// thread of their own.
#pragma once

#include <pthread.h>

#include <atomic>
#include <string>

#include "bobbin/export.h"
#include "bobbin/sync/CriticalSection.h"
#include "bobbin/sync/SynchEvent.h"

// The string type that ThreadHot::WriteLog takes.
using VUString = std::string;

// Lends a stack to one thread: exactly one Start with a non-zero stack size
// takes the address (atomically, so Starts on several threads at once are
// safe) and runs its thread on the `stackSize` bytes there (suitably aligned,
// at least PTHREAD_STACK_MIN long, kept alive until that thread is joined).
// Any other Start meanwhile gets a stack of its own of the size it asks for.
// A Start with size 0 leaves the address lent; one that fails lends it again,
// unless another address has been lent meanwhile. Any thread may call it.
BOBBIN_EXPORT void SetStackAddr(void* address);

// Derive publicly and override Run; its result becomes the exit code. Use it
// for a long-lived worker with a stop protocol and an exit code; for a
// fire-and-forget function std::thread is simpler. Give a looping Run a way to
// be asked to end (a quit flag and a SynchEvent it waits on with a time-out),
// and stop the thread before the object is deleted: by the time the base
// destructor joins it, the subclass's members are gone.
//
// The object joins each thread it creates exactly once (in WaitForStop,
// TimedWaitForStop, WaitForMultipleThreads, a restarting Start or the
// destructor, whichever comes first); any thread may call these, also several
// at once, and on the object's own thread they return false at once instead of
// waiting for themselves. Everything the thread wrote is visible to a thread
// whose join has returned true. Only the thread's own signal of the stop event
// means "finished": each Start clears the event, the thread signals it once as
// its last touch of the object, so after a WaitforSignal that it released,
// also after any number of restarts, the owner may delete the object. Copy and
// move are deleted.
//
// Of the protected fields, `thread_attributes`, `mutex_attributes` and
// `cond_attributes` are kept for subclasses and only initialised and destroyed
// here, applied to nothing: each Start builds its own attributes.
//
// Terminate ends a thread by unwinding its stack. A Run that catches
// everything must let that unwinding pass, or the process aborts:
//     try { ... } catch (abi::__forced_unwind&) { throw; } catch (...) { ... }
// (abi::__forced_unwind is declared in <cxxabi.h>).
class BOBBIN_EXPORT ThreadHot {
  public:
    // Initialises the platform objects; a failing step is reported with one
    // line on standard output and the later steps are skipped. Never throws
    // for that (the locks and the stop event may throw std::bad_alloc or
    // std::system_error).
    ThreadHot();

    // Runs on the new thread: calls Run, clears the has-thread flag and
    // returns Run's result.
    virtual int Entry();

    // Joins the thread if the object still has one. Called on the object's
    // own thread (an object deleting itself in Run), it releases the thread
    // instead, which then touches the object no more.
    virtual ~ThreadHot();

    // Asks the object's thread to end at its next cancellation point (an
    // event wait, a sleep, blocking I/O); its destructors run on the way out,
    // the stop event is signalled and the object can then be joined. Only that
    // thread ends. Returns true when the thread was asked to end, false when
    // the object has no thread of its own (never started, Run returned,
    // already asked to end, let go, or bound by Attach). A thread that never
    // reaches a cancellation point is not ended. Takes the state lock.
    virtual bool Terminate();

    // Logging hook for subclasses; the base class does nothing and never calls it.
    virtual void WriteLog(const VUString& text) const;

    // The thread's work; the base version returns 0 at once.
    virtual int Run();

    // Creates a joinable thread running Entry, with a stack of `stackSize`
    // bytes (0: the platform's default). Joins the previous thread first,
    // without the state lock: it blocks until a finished or terminated thread
    // has ended, and until a thread let go by SetHasThread(false) has ended
    // its Run too. Clears the stop event and sets the exit code to 0 as it
    // creates the thread, so that both stand for this run only. Returns
    // false, creating nothing and leaving the event and the exit code as they
    // were, while the object has a thread (also one that another Start
    // created while this one joined), on the previous thread itself, when the
    // platform refuses the thread, the stack size or the lent stack (a lent
    // stack then stays lent). Takes the state lock.
    bool Start(unsigned long stackSize);

    // The thread's start routine; `object` is the ThreadHot.
    static void* EntryFunc(void* object);

    // Blocks until the object's thread has ended and joins it. The time-out
    // does not limit the wait (TimedWaitForStop does). Returns true when the
    // object has no thread afterwards; false at once on the object's own
    // thread, and for a thread bound by Attach, which is not the object's to
    // join.
    bool WaitForStop(unsigned int timeout);
    bool WaitForStop();

    // As WaitForStop, but returns within `timeoutMs` milliseconds on the
    // monotonic clock (plus scheduling), whatever the thread does after Run
    // returns (thread_local and key destructors), and however many callers
    // wait: true once the thread has ended and been joined (or there is none);
    // false when it has not ended by the deadline (nothing joined, nothing
    // changed), on the object's own thread, or for an attached thread. Blocks
    // without spinning; SynchEvent::kInfinite waits without limit.
    bool TimedWaitForStop(unsigned int timeoutMs);

    // TimedWaitForStop for any duration, rounded as SynchEvent::TimedWait
    // rounds it.
    template <class Rep, class Period>
    bool TimedWaitForStop(const std::chrono::duration<Rep, Period>& timeout) {
        return TimedWaitForStop(bobbin::detail::TimeoutMs(timeout));
    }

    // Joins the threads of `threads[0..count)` in order (null entries, and the
    // caller's own object, are passed over); the time-out does not limit the
    // wait. Returns false if count is below 1, else true.
    static bool WaitForMultipleThreads(ThreadHot** threads, int count, unsigned int timeout);
    static bool WaitForMultipleThreads(ThreadHot** threads, int count);

    // Sends signal `signalNumber` to the object's live thread. Returns true
    // when it was delivered (pthread_kill returned 0); false when no live
    // thread is bound (never started, Run has returned, or the thread was
    // asked to end by Terminate); a thread let go is still live. For a thread
    // bound by Attach only that thread itself may signal it this way.
    bool Signal(int signalNumber);

    // Signals the stop event. It does not stop the thread, and a WaitforSignal
    // that it releases does not mean the thread has finished: wait for the end
    // with WaitForStop or TimedWaitForStop.
    void Signal();
    // Waits on the stop event without limit. Start clears it; the thread
    // signals it once when Entry has returned (or it was terminated).
    void WaitforSignal();

    // Cooperative pause of the calling thread: Suspend blocks until a Resume,
    // unless a Resume is already pending. Each Resume releases one suspended
    // thread that has none yet, whichever the platform wakes first; one made
    // with nobody suspended stays pending and lets every later Suspend through
    // at once, and a Resume while one is pending or every suspended thread has
    // its own changes nothing. Both return true, or false when the suspend
    // mutex or condition failed to initialise.
    bool Suspend();
    bool Resume();

    // Binds the object to the calling thread without creating one. Returns
    // false if a thread was ever bound. The stop event is not signalled when
    // that thread ends, and the object never joins it.
    bool Attach();

    // Under the state lock, tells the object whether it still counts its
    // thread as its own running thread. false lets a created thread go: it is
    // no longer seen as running (HasThread, Terminate, Start) but is still
    // joined; and it lets an attached thread go for good. true takes back a
    // created thread that was let go and whose Run has not returned. With
    // no such thread it changes nothing: the flag never claims a thread that
    // is not there.
    void SetHasThread(bool hasThread);
    // True while the object has a running thread (from Start until Run
    // returns or Terminate, or bound by Attach); takes no lock.
    bool HasThread() const { return has_thread.load(); }

    // Run's result, once it has returned (0 from Start until then). Takes the
    // result lock.
    int GetExitCode() const;
    // The id of the thread last bound by Start or Attach; 0 if none.
    pthread_t GetThreadId() const;

    // Names the object's thread for debuggers, top -H, ps -L and perf: the
    // name, cut to 15 bytes at the last whole UTF-8 character, is given to
    // each thread the object starts, and at once to its running thread. A
    // thread bound by Attach is renamed only when it calls this itself; from
    // any other thread the call returns false and renames no thread. Also
    // false when the platform refuses the rename. The name is kept either way.
    bool SetThreadName(const char* name);
    std::string GetThreadName() const;

    ThreadHot(const ThreadHot&) = delete;
    ThreadHot& operator=(const ThreadHot&) = delete;

  protected:
    pthread_t thread_id BOBBIN_GUARDED_BY(life_mutex_);  // written by Start and Attach
    pthread_attr_t thread_attributes;
    bobbin::detail::PlatformMutex suspend_mutex;
    pthread_mutexattr_t mutex_attributes;
    pthread_condattr_t cond_attributes;
    pthread_cond_t suspend_condition;
    int resume_count BOBBIN_GUARDED_BY(suspend_mutex);
    CriticalSection result_lock;
    SynchEvent stop_event;
    int exit_code;                 // guarded by result_lock; reset by Start, set by the thread
    std::atomic<bool> has_thread;  // written with life_ only: true in kRunning and kAttached
    CriticalSection state_lock;

  private:
    // The life of the bound thread, the one record of it. A created thread
    // goes kIdle -> kRunning -> kEnding -> kFinished -> kIdle (joined), and
    // between kRunning and kLetGo while SetHasThread lets it go and takes it
    // back; one that is terminated or ends unwinding may skip kEnding. An
    // attached one goes kIdle -> kAttached, and back to kIdle only when let go.
    enum class Life {
        kIdle,      // no thread: none bound yet, or the last one joined or let go
        kRunning,   // the created thread runs Entry
        kLetGo,     // it still runs Run, no longer counted as the object's own
        kEnding,    // Run has returned, or the thread was terminated; it is
                    // alive and still touches the object
        kFinished,  // its last touch is done; it may still run its exit work
        kAttached,  // bound by Attach
    };
    // The platform objects that the constructor makes, in its order; the
    // first that fails leaves the later ones unmade.
    enum class Made {
        kNothing,
        kThreadAttributes,
        kMutexAttributes,
        kCondAttributes,
        kSuspendMutex,
        kSuspendCondition,
    };

    // Waits up to `timeoutMs` milliseconds (SynchEvent::kInfinite: without
    // limit) until the created thread has ended and joins it. True when the
    // object has no created thread left; false on the thread itself, for an
    // attached thread, or at the deadline.
    bool Join(unsigned int timeoutMs);
    // Start's work once the previous thread is joined: creates the thread
    // (the caller holds the state lock too).
    bool CreateThread(unsigned long stackSize) BOBBIN_REQUIRES(life_mutex_);
    // Moves the life on, keeps has_thread in step and wakes the waiting joins.
    void Become(Life next) BOBBIN_REQUIRES(life_mutex_);
    // True on the created thread, while the object has not joined it.
    bool IsOwnThreadUnjoined() const;
    // True while the bound thread is certainly alive and its id its own.
    bool IsLive() const BOBBIN_REQUIRES(life_mutex_);
    bool IsMade(Made object) const { return made_ >= object; }
    void FinishOnThread();  // the thread's last touches of the object
    void NameThisThread();

    Made made_;  // the last platform object the constructor made; fixed after it
    int suspended_ BOBBIN_GUARDED_BY(suspend_mutex) = 0;  // threads asleep in Suspend
    mutable bobbin::detail::PlatformMutex life_mutex_ = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t life_changed_ = PTHREAD_COND_INITIALIZER;  // broadcast by Become and joins
    Life life_ BOBBIN_GUARDED_BY(life_mutex_);
    // A caller is joining the created thread (without the lock); the others wait.
    bool joining_ BOBBIN_GUARDED_BY(life_mutex_) = false;
    // The thread that Attach bound, by a number no other thread is ever given.
    unsigned long long attached_serial_ BOBBIN_GUARDED_BY(life_mutex_) = 0;
    char name_[16] BOBBIN_GUARDED_BY(life_mutex_);
};
