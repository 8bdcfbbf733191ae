#include "bobbin/sync/SynchEvent.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

#include "bobbin/internal/posix.h"

using bobbin::detail::Deadline;
using bobbin::detail::EventLink;
using bobbin::detail::MutexHold;
using bobbin::detail::PlatformMutex;

static_assert(SynchEvent::kInfinite == Deadline::kNoLimitMs);

namespace bobbin::detail {

namespace {

constexpr int kWaiting = -1;

// Taken by every WaitForMultipleEvents call for all its work, and by a Signal
// on an event that has such calls queued. Order: this lock first, then the
// mutexes of events, several of them in address order; nobody waits for an
// event's mutex while holding a later one.
PlatformMutex g_multi_lock = PTHREAD_MUTEX_INITIALIZER;

}  // namespace

// One wait call, on the waiting thread's stack. A TimedWait sleeps on `wake`
// with its event's mutex, under which it is released; a WaitForMultipleEvents
// call sleeps with g_multi_lock, under which it is released. The releaser
// wakes it before it lets go of that mutex, so the record outlives the wake.
struct Waiter {
    explicit Waiter(SynchEvent* const* waitedEvents = nullptr, int eventCount = 1,
                    bool waitAll = false)
        : events(waitedEvents), count(eventCount), all(waitAll) {}
    ~Waiter() { pthread_cond_destroy(&wake); }
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;

    bool Multi() const { return events != nullptr; }
    void Release(int index) {
        result = index;
        pthread_cond_signal(&wake);
    }

    pthread_cond_t wake = PTHREAD_COND_INITIALIZER;
    int result = kWaiting;      // the index released, kWaiting until then
    SynchEvent* const* events;  // a multi-event wait's events, else null
    int count;
    bool all;
};

// One wait's place in one event's queue, guarded by that event's mutex. A
// TimedWait's link is unlinked by the Signal that releases it or by the waiter;
// a multi-event wait's links only by the waiter, under g_multi_lock.
struct EventLink {
    Waiter* waiter = nullptr;
    int index = 0;  // of the event among the waiter's events
    EventLink* prev = nullptr;
    EventLink* next = nullptr;
    bool linked = false;
};

// The work of WaitForMultipleEvents, and the part of a Signal that concerns
// it; every function here runs with g_multi_lock held.
struct MultiWait {
    // Whether `w`, a wait-all call, can complete now that `event` is being
    // signalled (null: with its events as they stand); if so takes the signals
    // of its other auto-reset events and releases it. The caller holds the
    // mutexes of all its events.
    static bool TryCompleteAll(Waiter* w, SynchEvent* event) BOBBIN_NO_THREAD_SAFETY_ANALYSIS {
        for (int i = 0; i < w->count; ++i) {
            if (w->events[i] != event && w->events[i]->signalled == 0) return false;
        }
        for (int i = 0; i < w->count; ++i) {
            if (w->events[i] != event && !w->events[i]->manual_reset) w->events[i]->signalled = 0;
        }
        w->Release(0);
        return true;
    }

    // Adds `event` to the address-ordered list that starts at `head`.
    static void List(SynchEvent*& head, SynchEvent* event) {
        if (event->lock_listed_) return;
        event->lock_listed_ = true;
        SynchEvent** at = &head;
        while (*at != nullptr && std::less<>()(*at, event)) at = &(*at)->lock_next_;
        event->lock_next_ = *at;
        *at = event;
    }

    // A Signal of `event` with multi-event waits queued: locks the event and
    // every event of the wait-all calls queued on it, in address order (the
    // calls cannot come or go meanwhile: they need this lock), and delivers.
    static void Deliver(SynchEvent* event) BOBBIN_NO_THREAD_SAFETY_ANALYSIS {
        SynchEvent* head = nullptr;
        List(head, event);
        pthread_mutex_lock(event->mutex);
        for (EventLink* link = event->first_; link != nullptr; link = link->next) {
            Waiter* w = link->waiter;
            if (!w->all || w->result != kWaiting) continue;
            for (int i = 0; i < w->count; ++i) List(head, w->events[i]);
        }
        pthread_mutex_unlock(event->mutex);
        for (SynchEvent* e = head; e != nullptr; e = e->lock_next_) pthread_mutex_lock(e->mutex);
        event->Deliver();
        // A TimedWait released here may delete `event` once its mutex is free.
        for (SynchEvent *e = head, *next = nullptr; e != nullptr; e = next) {
            next = e->lock_next_;
            e->lock_listed_ = false;
            pthread_mutex_unlock(e->mutex);
        }
    }

    // Offers a signal of `event` (its mutex held) to a multi-event wait.
    // Returns true when the wait took it.
    static bool Offer(SynchEvent* event, EventLink* link) {
        Waiter* w = link->waiter;
        if (w->result != kWaiting) return false;  // released already, leaving
        if (!w->all) {
            w->Release(link->index);
            return true;
        }
        return TryCompleteAll(w, event);
    }

    // Takes the wait's links out of every queue; the released signal of a
    // cancelled wait is passed on.
    static void Leave(Waiter* w, std::vector<EventLink>& links,
                      bool cancelled) BOBBIN_NO_THREAD_SAFETY_ANALYSIS {
        for (int i = 0; i < w->count; ++i) {
            SynchEvent* event = w->events[i];
            MutexHold hold(event->mutex);
            event->Unlink(&links[i]);
            --event->multi_links_;
        }
        if (!cancelled || w->result == kWaiting) return;
        for (int i = 0; i < w->count; ++i) {
            SynchEvent* event = w->events[i];
            if (!event->manual_reset && (w->all || i == w->result)) Deliver(event);
        }
    }

    // `byAddress`: the events in address order, the order they are locked in.
    static int Wait(SynchEvent* const* events, int count, bool all, unsigned int timeoutMs,
                    const std::vector<SynchEvent*>& byAddress) BOBBIN_NO_THREAD_SAFETY_ANALYSIS;
};

int MultiWait::Wait(SynchEvent* const* events, int count, bool all, unsigned int timeoutMs,
                    const std::vector<SynchEvent*>& byAddress) {
    const Deadline deadline = Deadline::AfterMs(timeoutMs);
    std::vector<EventLink> links(static_cast<size_t>(count));
    Waiter w(events, count, all);
    MutexHold hold(&g_multi_lock);
    for (SynchEvent* event : byAddress) pthread_mutex_lock(event->mutex);
    int result = kWaiting;
    if (all) {
        result = TryCompleteAll(&w, nullptr) ? 0 : kWaiting;  // all set now: take them
    } else {
        for (int i = 0; i < count && result == kWaiting; ++i) {
            if (events[i]->signalled != 0) result = i;
        }
        if (result != kWaiting && !events[result]->manual_reset) events[result]->signalled = 0;
    }
    if (result == kWaiting) {
        for (int i = 0; i < count; ++i) {
            links[i].waiter = &w;
            links[i].index = i;
            events[i]->Append(&links[i]);
            ++events[i]->multi_links_;
        }
    }
    for (int i = 0; i < count; ++i) pthread_mutex_unlock(events[i]->mutex);
    if (result != kWaiting) return result;

    // Unlinks on every way out, also when the thread is cancelled in the wait
    // (which it leaves holding g_multi_lock).
    struct Leaving {
        Waiter* w;
        std::vector<EventLink>& links;
        bool returned = false;
        ~Leaving() { Leave(w, links, !returned); }
    } leaving{&w, links};
    while (w.result == kWaiting && WaitUntil(&w.wake, &g_multi_lock, deadline) == 0) {
    }
    leaving.returned = true;
    return w.result;
}

}  // namespace bobbin::detail

SynchEvent::SynchEvent(bool manualReset, bool initiallySignalled, const char* /*name*/)
    : manual_reset(manualReset),
      mutex(nullptr),
      condition(nullptr),
      reply_event(nullptr),
      signalled(initiallySignalled ? 1 : 0),
      first_(nullptr),
      last_(nullptr),
      multi_links_(0),
      lock_next_(nullptr),
      lock_listed_(false) {
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

void SynchEvent::Append(EventLink* link) {
    link->prev = last_;
    link->next = nullptr;
    (last_ != nullptr ? last_->next : first_) = link;
    last_ = link;
    link->linked = true;
}

void SynchEvent::Unlink(EventLink* link) {
    if (!link->linked) return;
    (link->prev != nullptr ? link->prev->next : first_) = link->next;
    (link->next != nullptr ? link->next->prev : last_) = link->prev;
    link->linked = false;
}

// Walks the queue in the order the waiters came. A TimedWait always takes the
// signal; a multi-event wait takes it unless it is leaving or waits for all
// and its other events are not all signalled. Auto-reset: the first taker
// ends the walk, and with no taker the event is left signalled. Manual-reset:
// every blocked TimedWait and wait-any call is released, and every wait-all
// call whose other events are signalled.
void SynchEvent::Deliver() {
    if (manual_reset) signalled = 1;
    for (EventLink* link = first_; link != nullptr;) {
        EventLink* next = link->next;
        bool taken = false;
        if (!link->waiter->Multi()) {
            Unlink(link);
            link->waiter->Release(0);
            taken = true;
        } else {
            taken = bobbin::detail::MultiWait::Offer(this, link);
        }
        if (taken && !manual_reset) return;
        link = next;
    }
    signalled = 1;
}

// Without multi-event waits queued the event's mutex suffices; with them the
// signal is delivered under their lock too, taken first.
void SynchEvent::Signal() {
    {
        MutexHold hold(mutex);
        if (multi_links_ == 0) {
            Deliver();
            return;
        }
    }
    MutexHold multi(&bobbin::detail::g_multi_lock);
    bobbin::detail::MultiWait::Deliver(this);
}

void SynchEvent::Unsignal() {
    MutexHold hold(mutex);
    signalled = 0;
}

// A signal left in the event is taken at once; otherwise the waiter queues
// and sleeps until a Signal releases it (and unlinks it) or its deadline
// passes. The loop leaves on a time-out and on any error the platform
// reports; a release that came meanwhile still counts. A thread cancelled in
// the wait unlinks itself as it unwinds, or, if a Signal had already released
// it, passes that signal on once the mutex is free.
bool SynchEvent::TimedWait(unsigned int timeoutMs) {
    const Deadline deadline = Deadline::AfterMs(timeoutMs);
    bool pass_on = false;
    struct PassOn {
        SynchEvent* event;
        bool& armed;
        ~PassOn() {
            if (armed) event->Signal();
        }
    } pass_on_guard{this, pass_on};
    MutexHold hold(mutex);
    if (signalled != 0) {
        if (!manual_reset) signalled = 0;
        return true;
    }
    bobbin::detail::Waiter w;
    EventLink link;
    link.waiter = &w;
    Append(&link);
    struct Leaving {
        SynchEvent* event;
        EventLink* link;
        bool& pass_on;
        bool returned = false;
        ~Leaving() BOBBIN_NO_THREAD_SAFETY_ANALYSIS {
            event->Unlink(link);
            pass_on = !returned && link->waiter->result != bobbin::detail::kWaiting &&
                      !event->manual_reset;
        }
    } leaving{this, &link, pass_on};
    while (w.result == bobbin::detail::kWaiting &&
           bobbin::detail::WaitUntil(&w.wake, mutex, deadline) == 0) {
    }
    leaving.returned = true;
    return w.result != bobbin::detail::kWaiting;
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

int WaitForMultipleEvents(SynchEvent* const* events, int count, bool waitAll,
                          unsigned int timeoutMs) {
    if (events == nullptr || count < 1) {
        throw std::invalid_argument("WaitForMultipleEvents: no events");
    }
    std::vector<SynchEvent*> sorted(events, events + count);
    std::sort(sorted.begin(), sorted.end(), std::less<>());
    if (sorted.front() == nullptr) throw std::invalid_argument("WaitForMultipleEvents: null event");
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
        throw std::invalid_argument("WaitForMultipleEvents: an event given twice");
    }
    return bobbin::detail::MultiWait::Wait(events, count, waitAll, timeoutMs, sorted);
}
