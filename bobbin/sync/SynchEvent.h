// An event on which the threads of one process signal and wait.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "bobbin/sync/CriticalSection.h"

// A signalled/unsignalled state kept under a POSIX mutex and condition, in two
// modes:
//  - auto-reset: waiters are admitted one at a time, each Signal releases
//    exactly one waiter, and a completed wait leaves the event unsignalled;
//  - manual-reset: Signal releases every waiter and the event stays signalled
//    (every later wait returns at once) until Unsignal.
// Any thread may call any operation. Destroy an event only when no thread waits
// on it or signals it; a waiter may destroy it as soon as its wait has returned.
// Copy and move are deleted.
class SynchEvent {
  public:
    // The time-out that means "no limit".
    static constexpr unsigned int kInfinite = 0xFFFFFFFFu;

    // `name` is ignored (pass null). Throws std::bad_alloc when memory runs out
    // and then leaves nothing allocated.
    SynchEvent(bool manualReset, bool initiallySignalled, const char* name);

    // Frees the mutex, the condition and the reply event, if any.
    virtual ~SynchEvent();

    // Sets the event. Auto-reset: releases one waiter, or stays set until the
    // next wait consumes it (several Signals with no wait between count as
    // one). Manual-reset: releases every waiter. Never blocks on a waiter.
    void Signal();

    // Clears the event; wakes nobody.
    void Unsignal();

    // Blocks until the event is signalled or `timeoutMs` milliseconds have
    // passed on the monotonic clock (setting the wall clock changes nothing).
    // kInfinite waits without limit; every smaller value, 0 included, is a
    // bound that holds however often the waiter is woken. The caller cannot
    // tell a time-out from a signal. On return an auto-reset event is
    // unsignalled; a time-out leaves a manual-reset event as it was. On an
    // auto-reset event a second waiter first waits for the one before it.
    // A cancellation point: a thread cancelled here leaves the event usable. A
    // later auto-reset waiter queued behind another is not yet at that point:
    // its cancellation takes effect once the waiter before it has left.
    void WaitForSignal(unsigned int timeoutMs);
    void WaitForSignal() { WaitForSignal(kInfinite); }

    // The event through which a request is answered, created (auto-reset,
    // unsignalled) if there is none. Throws std::bad_alloc and then leaves it
    // absent.
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
    CriticalSection waiter_lock;   // held by an auto-reset waiter for its whole wait
    CriticalSection request_lock;  // held for a whole SignalAndWaitForReply
    CriticalSection reply_lock;    // guards reply_event; never held during a wait
    SynchEvent* reply_event;       // owned; null until ReplyEvent creates it
    std::int32_t signalled;        // 0 or 1
};
