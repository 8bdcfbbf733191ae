#include "bobbin/sync/SynchEvent.h"

#include <memory>

#include "bobbin/internal/posix.h"

using bobbin::detail::MutexHold;

static_assert(SynchEvent::kInfinite == bobbin::detail::Deadline::kNoLimitMs);

SynchEvent::SynchEvent(bool manualReset, bool initiallySignalled, const char* /*name*/)
    : manual_reset(manualReset),
      mutex(nullptr),
      condition(nullptr),
      reply_event(nullptr),
      signalled(initiallySignalled ? 1 : 0) {
    std::unique_ptr<pthread_cond_t, void (*)(pthread_cond_t*)> new_condition(
        bobbin::detail::NewCondition(), bobbin::detail::DeleteCondition);
    mutex = bobbin::detail::NewMutex();
    condition = new_condition.release();
}

SynchEvent::~SynchEvent() {
    bobbin::detail::DeleteMutex(mutex);
    bobbin::detail::DeleteCondition(condition);
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
    const auto deadline = bobbin::detail::Deadline::AfterMs(timeoutMs);
    while (signalled == 0 && bobbin::detail::WaitUntil(condition, mutex, deadline) == 0) {
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
