// An event on which the threads of one process signal and wait.
#pragma once

#include <pthread.h>

#include <chrono>
#include <cstdint>

#include "bobbin/export.h"
#include "bobbin/sync/CriticalSection.h"

namespace bobbin::detail {
struct EventLink;
struct EventWaits;

// The longest finite time-out in milliseconds; one more means "no limit".
inline constexpr unsigned int kLongestFiniteWaitMs = 0xFFFFFFFEu;

// A duration as a millisecond time-out: rounded up to whole milliseconds, so
// that a wait never ends early; zero, negative or NaN waits not at all; one at
// or beyond kLongestFiniteWaitMs waits that long (never without limit).
template <class Rep, class Period>
constexpr unsigned int TimeoutMs(const std::chrono::duration<Rep, Period>& timeout) {
    // Compared in floating point first, where no duration overflows.
    const long double ms =
        std::chrono::duration_cast<std::chrono::duration<long double, std::milli>>(timeout).count();
    if (!(ms > 0)) return 0;
    if (ms >= kLongestFiniteWaitMs) return kLongestFiniteWaitMs;
    return static_cast<unsigned int>(std::chrono::ceil<std::chrono::milliseconds>(timeout).count());
}
}  // namespace bobbin::detail

// A signalled/unsignalled state with a queue of the threads blocked on it, in
// two modes:
//  - auto-reset: a Signal that finds threads blocked hands its signal to the
//    one that began to wait first, at once; a Signal that finds nobody blocked
//    leaves the event signalled until one wait takes it (several such Signals
//    count as one). So k Signals release min(k, blocked) waiters.
//  - manual-reset: a Signal releases every thread blocked at that moment, even
//    if Unsignal follows at once, and the event stays signalled (every later
//    wait returns at once) until Unsignal.
// Blocked threads are released in the order in which they began to wait. Use
// it to wake a thread or hand it work; for one-time "it has happened" use a
// manual-reset event, for exclusion use a lock instead.
//
// Any thread may call any operation. Destroy an event only when no thread waits
// on it or signals it; a waiter may destroy it as soon as its wait has returned.
// What a thread wrote before Signal is visible to the waiter that the Signal
// released (and to a waiter that later takes the signal it left). Copy and move
// are deleted.
//
// Of the protected fields, `condition` (a monotonic-clock condition) and
// `waiter_lock` are kept for subclasses and only set up and torn down here:
// each blocked waiter has a wake-up of its own and waits in the event's queue.
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

    // Auto-reset: releases the thread blocked longest, or leaves the event
    // signalled when nobody is blocked. Manual-reset: sets the event and
    // releases every blocked thread. Never blocks on a waiter.
    void Signal();

    // Clears the event; wakes nobody, and takes nothing back from the threads
    // that a Signal has released.
    void Unsignal();

    // Blocks until the event is signalled or `timeoutMs` milliseconds have
    // passed on the monotonic clock, however many threads wait on the event
    // (kInfinite: no limit). True when the event was signalled (an auto-reset
    // event's signal is consumed); false on time-out, which leaves the event
    // unchanged, or when the platform refuses the wait. A cancellation point:
    // a thread cancelled here leaves the event usable, and a signal handed to
    // it as it was cancelled passes to the next waiter (or stays set).
    bool TimedWait(unsigned int timeoutMs);

    // TimedWait for any duration: rounded up to whole milliseconds (it never
    // ends early), at most the longest finite wait (about 49.7 days); zero or
    // negative waits not at all.
    template <class Rep, class Period>
    bool TimedWait(const std::chrono::duration<Rep, Period>& timeout) {
        return TimedWait(bobbin::detail::TimeoutMs(timeout));
    }

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
    bobbin::detail::PlatformMutex* mutex;  // guards `signalled` and the queue of waiters
    pthread_cond_t* condition;
    CriticalSection waiter_lock;
    CriticalSection request_lock;  // held for a whole SignalAndWaitForReply
    CriticalSection reply_lock;    // guards reply_event, also while Reply signals it
    SynchEvent* reply_event BOBBIN_GUARDED_BY(reply_lock);  // owned; null until ReplyEvent makes it
    std::int32_t signalled BOBBIN_GUARDED_BY(*mutex);       // 0 or 1

  private:
    friend int WaitForMultipleEvents(SynchEvent* const*, int, bool, unsigned int);
    friend struct bobbin::detail::EventWaits;

    BOBBIN_HIDDEN void Append(bobbin::detail::EventLink* link) BOBBIN_REQUIRES(*mutex);
    BOBBIN_HIDDEN void Unlink(bobbin::detail::EventLink* link) BOBBIN_REQUIRES(*mutex);

    // The waits blocked on the event, in the order they came; each link is one
    // wait's stake in this event. A wait that a Signal of another of its
    // events has taken leaves its link here until it takes it out itself.
    bobbin::detail::EventLink* first_ BOBBIN_GUARDED_BY(*mutex);
    bobbin::detail::EventLink* last_ BOBBIN_GUARDED_BY(*mutex);
};

// Blocks until one of `events` (waitAll false) or all of them at one moment
// (waitAll true) are signalled, or `timeoutMs` milliseconds have passed on the
// monotonic clock (SynchEvent::kInfinite: no limit).
//  - Wait-any returns the index of the event that ended the wait: the lowest
//    index among those signalled at that moment. It takes that event's signal
//    if it is auto-reset and touches no other event.
//  - Wait-all returns 0 once every event is signalled at one moment, taking
//    the signals of all the auto-reset ones together. Until then it takes
//    nothing: other threads may take an auto-reset event's signal meanwhile,
//    and the wait goes on.
// Blocked calls and TimedWait calls on one event are released in the order in
// which they began to wait, one per auto-reset Signal; a wait-all call lets a
// Signal pass to the next waiter while its other events are not all
// signalled. Returns -1 when the time-out passed first (or the platform
// refused the wait), having changed no event. Throws std::invalid_argument,
// waiting for nothing, when `events` is null, `count` is below 1, or an entry
// is null or repeated; may throw std::bad_alloc. A cancellation point: a
// thread cancelled here leaves every event usable and as if it had never
// waited. Any thread may call it; what a thread wrote before the Signal that
// ended the wait is visible to the caller when it returns. It takes the locks
// of its own events only, so waits and Signals on other events never contend
// with it.
BOBBIN_EXPORT int WaitForMultipleEvents(SynchEvent* const* events, int count, bool waitAll,
                                        unsigned int timeoutMs);

// WaitForMultipleEvents for any duration, rounded as SynchEvent::TimedWait
// rounds it.
template <class Rep, class Period>
int WaitForMultipleEvents(SynchEvent* const* events, int count, bool waitAll,
                          const std::chrono::duration<Rep, Period>& timeout) {
    return WaitForMultipleEvents(events, count, waitAll, bobbin::detail::TimeoutMs(timeout));
}
