#include "bobbin/sync/SynchEvent.h"

#include <memory>

#include "bobbin/sync/posix_mutex.h"

using bobbin::detail::MutexHold;
using bobbin::detail::ThrowIfFailed;

namespace {

// Initialises `condition` to measure time-outs on the monotonic clock, so that
// stepping the wall clock neither stretches nor cuts a wait.
void InitMonotonicCondition(pthread_cond_t* condition) {
    pthread_condattr_t attributes;
    ThrowIfFailed(pthread_condattr_init(&attributes), "pthread_condattr_init");
    int error = pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    if (error == 0) error = pthread_cond_init(condition, &attributes);
    pthread_condattr_destroy(&attributes);
    ThrowIfFailed(error, "pthread_cond_init");
}

}  // namespace

SynchEvent::SynchEvent(bool manualReset, bool initiallySignalled, const char* /*name*/)
    : manual_reset(manualReset),
      mutex(nullptr),
      condition(nullptr),
      reply_event(nullptr),
      signalled(initiallySignalled ? 1 : 0) {
    auto new_condition = std::make_unique<pthread_cond_t>();
    InitMonotonicCondition(new_condition.get());
    try {
        mutex = bobbin::detail::NewMutex();
    } catch (...) {
        pthread_cond_destroy(new_condition.get());
        throw;
    }
    condition = new_condition.release();
}

SynchEvent::~SynchEvent() {
    bobbin::detail::DeleteMutex(mutex);
    pthread_cond_destroy(condition);
    delete condition;
    ClearReplyEvent();
}

// The condition is signalled under the mutex, so a waiter that deletes the
// event as soon as its wait returns cannot pull it from under this call.
void SynchEvent::Signal() {
    MutexHold hold(mutex);
    signalled = 1;
    if (manual_reset) {
        pthread_cond_broadcast(condition);
    } else {
        pthread_cond_signal(condition);
    }
}

void SynchEvent::Unsignal() {
    MutexHold hold(mutex);
    signalled = 0;
}

// Every waiter waits on the condition with its own deadline, so a time-out
// bounds each wait however many threads wait. The loops leave on a time-out
// and on any error the platform reports. The flag is tested once more at the
// end: a waiter that a Signal woke as its deadline passed takes the signal, so
// that the wake-up is not lost to the waiters still blocked.
bool SynchEvent::TimedWait(unsigned int timeoutMs) {
    MutexHold hold(mutex);
    if (timeoutMs == kInfinite) {
        while (signalled == 0 && pthread_cond_wait(condition, mutex) == 0) {
        }
    } else {
        const timespec deadline = bobbin::detail::MonotonicDeadline(timeoutMs);
        while (signalled == 0 && pthread_cond_timedwait(condition, mutex, &deadline) == 0) {
        }
    }
    if (signalled == 0) return false;
    if (!manual_reset) signalled = 0;
    return true;
}

SynchEvent* SynchEvent::ReplyEvent() {
    CriticalSection::Lock hold(reply_lock);
    if (reply_event == nullptr) reply_event = new SynchEvent(false, false, nullptr);
    return reply_event;
}

// Signalled under the reply lock: a requester that has already returned cannot
// delete the reply event while it is being signalled.
void SynchEvent::Reply() {
    CriticalSection::Lock hold(reply_lock);
    ReplyEvent()->Signal();
}

void SynchEvent::ClearReplyEvent() {
    CriticalSection::Lock hold(reply_lock);
    delete reply_event;
    reply_event = nullptr;
}

void SynchEvent::SignalAndWaitForReply() {
    CriticalSection::Lock hold(request_lock);
    SynchEvent* reply = ReplyEvent();
    Signal();
    reply->WaitForSignal(kInfinite);
    ClearReplyEvent();
}
