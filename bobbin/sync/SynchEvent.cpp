#include "bobbin/sync/SynchEvent.h"

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <memory>

namespace {

// Holds the event's waiter lock (auto-reset waits only) and its mutex for one
// wait. The destructor gives both up in that order, also when the waiting
// thread is cancelled and its frames are unwound.
class WaitHold {
  public:
    WaitHold(CriticalSection* waiter_lock, pthread_mutex_t* mutex)
        : waiter_lock_(waiter_lock), mutex_(mutex) {
        if (waiter_lock_ != nullptr) waiter_lock_->Acquire();
        pthread_mutex_lock(mutex_);
    }
    ~WaitHold() {
        if (waiter_lock_ != nullptr) waiter_lock_->Release();
        pthread_mutex_unlock(mutex_);
    }
    WaitHold(const WaitHold&) = delete;
    WaitHold& operator=(const WaitHold&) = delete;

  private:
    CriticalSection* waiter_lock_;
    pthread_mutex_t* mutex_;
};

constexpr long kNanosPerSecond = 1000000000L;

timespec AddMilliseconds(timespec start, unsigned int ms) {
    start.tv_sec += static_cast<time_t>(ms / 1000);
    start.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (start.tv_nsec >= kNanosPerSecond) {
        start.tv_nsec -= kNanosPerSecond;
        ++start.tv_sec;
    }
    return start;
}

}  // namespace

SynchEvent::SynchEvent(bool manualReset, bool initiallySignalled, const char* /*name*/)
    : manual_reset(manualReset),
      mutex(nullptr),
      condition(nullptr),
      reply_event(nullptr),
      signalled(initiallySignalled ? 1 : 0) {
    auto new_condition = std::make_unique<pthread_cond_t>();
    auto new_mutex = std::make_unique<pthread_mutex_t>();

    // Time-outs are measured on the monotonic clock, so stepping the wall
    // clock neither stretches nor cuts a wait.
    pthread_condattr_t cond_attributes;
    pthread_condattr_init(&cond_attributes);
    pthread_condattr_setclock(&cond_attributes, CLOCK_MONOTONIC);
    pthread_cond_init(new_condition.get(), &cond_attributes);
    pthread_condattr_destroy(&cond_attributes);

    pthread_mutexattr_t mutex_attributes;
    pthread_mutexattr_init(&mutex_attributes);
    pthread_mutex_init(new_mutex.get(), &mutex_attributes);
    pthread_mutexattr_destroy(&mutex_attributes);

    condition = new_condition.release();
    mutex = new_mutex.release();
}

SynchEvent::~SynchEvent() {
    pthread_mutex_destroy(mutex);
    pthread_cond_destroy(condition);
    delete condition;
    delete mutex;
    ClearReplyEvent();
}

// The condition is signalled under the mutex, so a waiter that deletes the
// event as soon as its wait returns cannot pull it from under this call.
void SynchEvent::Signal() {
    pthread_mutex_lock(mutex);
    signalled = 1;
    if (manual_reset) {
        pthread_cond_broadcast(condition);
    } else {
        pthread_cond_signal(condition);
    }
    pthread_mutex_unlock(mutex);
}

void SynchEvent::Unsignal() {
    pthread_mutex_lock(mutex);
    signalled = 0;
    pthread_mutex_unlock(mutex);
}

void SynchEvent::WaitForSignal(unsigned int timeoutMs) {
    WaitHold hold(manual_reset ? nullptr : &waiter_lock, mutex);
    if (timeoutMs == kInfinite) {
        while (signalled == 0) pthread_cond_wait(condition, mutex);
    } else {
        // One deadline for the whole wait: wake-ups that find the event still
        // unsignalled do not extend it.
        timespec now{};
        if (clock_gettime(CLOCK_MONOTONIC, &now) == 0) {
            const timespec deadline = AddMilliseconds(now, timeoutMs);
            while (signalled == 0) {
                if (pthread_cond_timedwait(condition, mutex, &deadline) == ETIMEDOUT) break;
            }
        } else {
            // No monotonic clock: wait on the wall clock, rounded up to whole
            // seconds, which still ends the wait.
            timespec deadline{};
            deadline.tv_sec = time(nullptr) + (static_cast<std::int64_t>(timeoutMs) + 999) / 1000;
            while (signalled == 0) {
                if (pthread_cond_clockwait(condition, mutex, CLOCK_REALTIME, &deadline) ==
                    ETIMEDOUT) {
                    break;
                }
            }
        }
    }
    // A completed wait consumes the signal of an auto-reset event; a time-out
    // leaves the flag as it was.
    if (!manual_reset) signalled = 0;
}

SynchEvent* SynchEvent::ReplyEvent() {
    CriticalSection::Lock hold(reply_lock);
    if (reply_event == nullptr) reply_event = new SynchEvent(false, false, nullptr);
    return reply_event;
}

void SynchEvent::Reply() {
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
