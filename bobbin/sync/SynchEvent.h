// An event on which the threads of one process signal and wait.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "bobbin/export.h"
#include "bobbin/sync/CriticalSection.h"

// A signalled/unsignalled state kept under a POSIX mutex and condition, in two
// modes:
//  - auto-reset: each Signal releases one waiter (or, with nobody waiting,
//    stays set until the next wait consumes it), and a wait that returns
//    because of a Signal leaves the event unsignalled;
//  - manual-reset: Signal releases every waiter and the event stays signalled
//    (every later wait returns at once) until Unsignal.
// Use it to wake a thread or hand it work; for one-time "it has happened" use a
// manual-reset event, for exclusion use a lock instead.
//
// Any thread may call any operation. Destroy an event only when no thread waits
// on it or signals it; a waiter may destroy it as soon as its wait has returned.
// What a thread wrote before Signal is visible to the waiter that the Signal
// released. Copy and move are deleted.
class BOBBIN_EXPORT SynchEvent {
  public:
    // The time-out that means "no limit".
    static constexpr unsigned int kInfinite = 0xFFFFFFFFu;

    // `name` is ignored (pass null). Throws std::bad_alloc, or std::system_error
    // when the platform refuses a mutex or condition; then nothing stays
    // allocated.
    SynchEvent(bool manualReset, bool initiallySignalled, const char* name);

    // Frees the mutex, the condition and the reply event, if any.
    virtual ~SynchEvent();

    // Sets the event and releases one waiter (auto-reset) or every waiter
    // (manual-reset). Several Signals with no wait between them count as one.
    // Never blocks on a waiter.
    void Signal();

    // Clears the event; wakes nobody.
    void Unsignal();

    // Blocks until the event is signalled or `timeoutMs` milliseconds have
    // passed on the monotonic clock, however many threads wait on the event
    // (kInfinite: no limit). True when the event was signalled (an auto-reset
    // event's signal is consumed); false on time-out, which leaves the event
    // unchanged, or when the platform refuses the wait. A cancellation point:
    // a thread cancelled here leaves the event usable.
    bool TimedWait(unsigned int timeoutMs);

    // TimedWait without telling how the wait ended.
    void WaitForSignal(unsigned int timeoutMs) { TimedWait(timeoutMs); }
    void WaitForSignal() { TimedWait(kInfinite); }

    // The event through which a request is answered, created (auto-reset,
    // unsignalled) if there is none. Throws std::bad_alloc or std::system_error
    // and then leaves it absent.
    SynchEvent* ReplyEvent();

    // Answers a request: signals the reply event. Made with no request pending,
    // it leaves a signalled reply event that the next request finds.
    void Reply();

    // Deletes the reply event, if any.
    void ClearReplyEvent();

    // Signals this event and blocks, without limit, until the thread that took
    // the signal calls Reply; then deletes the reply event. Concurrent
    // requesters on one event are served one after another.
    void SignalAndWaitForReply();

    SynchEvent(const SynchEvent&) = delete;
    SynchEvent& operator=(const SynchEvent&) = delete;

  protected:
    bool manual_reset;
    pthread_mutex_t* mutex;        // guards `signalled`
    pthread_cond_t* condition;     // uses the monotonic clock
    CriticalSection waiter_lock;   // unused: every waiter waits on `condition`
    CriticalSection request_lock;  // held for a whole SignalAndWaitForReply
    CriticalSection reply_lock;    // guards reply_event, also while Reply signals it
    SynchEvent* reply_event;       // owned; null until ReplyEvent creates it
    std::int32_t signalled;        // 0 or 1
};
