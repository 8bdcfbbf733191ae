// How a wait and a Signal meet.
//
// Every wait call keeps a Waiter record on its own stack and, when it cannot
// take a signal at once, queues one EventLink per event in that event's queue,
// under the event's mutex. The record's word, an atomic int and the futex word
// on which the waiter sleeps, says who has decided how the wait ends:
//   kWaiting -> kClaimed -> kDone  A Signal took the wait. It claims the word by
//                                  compare-and-swap under the mutex of the
//                                  event it delivers, takes the wait's links
//                                  out of the queues whose mutexes it holds and
//                                  writes `result`; then, with every mutex let
//                                  go, it stores kDone (release) and wakes the
//                                  word.
//   kWaiting -> kGaveUp            The waiter decided, by compare-and-swap: its
//                                  time-out passed, the platform refused the
//                                  sleep, or the thread is being cancelled.
// The compare-and-swap lets exactly one party decide. A Signal that loses it
// passes on to the next link or leaves the event signalled, so no signal is
// lost; a waiter that loses it keeps what it was given.
//
// The waiter returns once the word reads kDone or kGaveUp, it has taken its
// remaining links out of their queues (each under its event's mutex, one at a
// time), and no pin is left. A released wait-any call takes out the links in
// its other events' queues; a TimedWait has none left, so it returns without
// taking any mutex. The store of kDone is the Signal's last touch of the
// record and of the events: the waiter may return and destroy both at once,
// and the wake that follows is made on an address that may be dead, which is
// harmless (see FutexWake).
//
// A wait-all call is taken only with the mutexes of all its events held. A
// Signal holds its own event's mutex and try-locks the others, since waiting
// for one out of address order could deadlock. If one is busy, the Signal pins
// the wait (kPin, counted in the same word: the waiter does not return while
// pinned, so its record and its events stay alive), lets go of every mutex,
// locks all the pinned wait's events in address order (its own event among
// them), walks its queue afresh, and unpins once it has let go of them. A
// thread that blocks on several event mutexes takes them in address order;
// try-locks never block.
#include "bobbin/sync/SynchEvent.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>

#include "bobbin/internal/posix.h"

using bobbin::detail::Deadline;
using bobbin::detail::EventLink;
using bobbin::detail::EventWaits;

static_assert(SynchEvent::kInfinite == Deadline::kNoLimitMs);

namespace bobbin::detail {

namespace {

// The state of a wait, in the low bits of its word.
constexpr int kWaiting = 0;  // undecided
constexpr int kClaimed = 1;  // taken by a Signal that still writes the record
constexpr int kDone = 2;     // taken by a Signal that is done with the record
constexpr int kGaveUp = 3;   // ended by the waiter: time-out, refusal, cancellation
constexpr int kStateMask = 3;
constexpr int kPin = 4;  // one pin, counted above the state

int StateOf(int word) {
    return word & kStateMask;
}

// A Signal's outcome for one queued wait.
enum class Offer { kTaken, kDeclined, kBusy };

}  // namespace

struct Waiter;

// One wait's place in one event's queue, guarded by that event's mutex.
// `linked` is written under that mutex, and read without it by the waiter
// once its wait is decided, when nobody else writes it any more.
struct EventLink {
    Waiter* waiter = nullptr;
    int index = 0;  // of the event among the waiter's events
    EventLink* prev = nullptr;
    EventLink* next = nullptr;
    bool linked = false;
};

// One wait call, on the waiting thread's stack.
struct Waiter {
    Waiter(SynchEvent* const* waitedEvents, SynchEvent* const* inOrder, EventLink* eventLinks,
           int eventCount, bool waitAll)
        : events(waitedEvents),
          sorted(inOrder),
          links(eventLinks),
          count(eventCount),
          all(waitAll) {}

    std::atomic<int> word{kWaiting};  // state and pins; the futex word
    int result = -1;                  // the index a Signal gave, written before kDone
    SynchEvent* const* events;        // as the caller gave them
    SynchEvent* const* sorted;        // the same in address order
    EventLink* links;                 // links[i]: the stake in events[i]
    int count;
    bool all;
    Waiter* next_released = nullptr;  // on its claimer's list from kClaimed to kDone
};

// The events whose mutexes a Signal holds besides its own: none, or all the
// events of the wait it has pinned.
struct HeldEvents {
    SynchEvent* const* sorted = nullptr;
    int count = 0;
    bool Has(SynchEvent* event) const {
        return std::binary_search(sorted, sorted + count, event, std::less<>());
    }
};

// The parts of waits and Signals that work on waits; a friend of SynchEvent.
struct EventWaits {
    static bool Decide(Waiter* w, int state) {
        int word = w->word.load(std::memory_order_relaxed);
        while (StateOf(word) == kWaiting) {
            if (w->word.compare_exchange_weak(word, word + state, std::memory_order_acq_rel)) {
                return true;
            }
        }
        return false;
    }

    // Ends the claims on a list of taken waits: each store of kDone is the last
    // touch of that record.
    static void Release(Waiter* released) {
        while (released != nullptr) {
            std::atomic<int>* word = &released->word;
            released = released->next_released;
            word->fetch_add(kDone - kClaimed, std::memory_order_release);
            FutexWake(word);
        }
    }

    static void Unpin(Waiter* w) {
        std::atomic<int>* word = &w->word;
        word->fetch_sub(kPin, std::memory_order_release);
        FutexWake(word);
    }

    static void LockAll(SynchEvent* const* sorted, int count) BOBBIN_NO_THREAD_SAFETY_ANALYSIS {
        for (int i = 0; i < count; ++i) LockMutex(sorted[i]->mutex);
    }
    static void UnlockAll(SynchEvent* const* sorted, int count) BOBBIN_NO_THREAD_SAFETY_ANALYSIS {
        for (int i = 0; i < count; ++i) UnlockMutex(sorted[i]->mutex);
    }

    // Unlocks the first `count` of `sorted` but `event` and those of `held`.
    static void UnlockOthers(SynchEvent* const* sorted, int count, const SynchEvent* event,
                             HeldEvents held) BOBBIN_NO_THREAD_SAFETY_ANALYSIS {
        for (int i = 0; i < count; ++i) {
            if (sorted[i] != event && !held.Has(sorted[i])) UnlockMutex(sorted[i]->mutex);
        }
    }

    // Whether every event of `w` but `signalling` is signalled; the caller
    // holds all their mutexes.
    static bool AllSet(const Waiter* w,
                       const SynchEvent* signalling) BOBBIN_NO_THREAD_SAFETY_ANALYSIS {
        for (int i = 0; i < w->count; ++i) {
            if (w->events[i] != signalling && w->events[i]->signalled == 0) return false;
        }
        return true;
    }

    // Takes the signals of a wait-all's auto-reset events but `signalling`,
    // whose signal the wait takes without its being set.
    static void TakeAll(const Waiter* w,
                        const SynchEvent* signalling) BOBBIN_NO_THREAD_SAFETY_ANALYSIS {
        for (int i = 0; i < w->count; ++i) {
            if (w->events[i] != signalling && !w->events[i]->manual_reset) {
                w->events[i]->signalled = 0;
            }
        }
    }

    // Offers a Signal of `event` to the wait-all call `w`: takes it if its
    // other events are all signalled, and then leaves none of its links queued.
    // kBusy when the mutex of one of its events is held elsewhere.
    static Offer OfferAll(Waiter* w, SynchEvent* event, HeldEvents held,
                          Waiter*& released) BOBBIN_NO_THREAD_SAFETY_ANALYSIS {
        for (int i = 0; i < w->count; ++i) {
            SynchEvent* other = w->sorted[i];
            if (other != event && !held.Has(other) && !TryLockMutex(other->mutex)) {
                UnlockOthers(w->sorted, i, event, held);
                return Offer::kBusy;
            }
        }
        const bool taken = AllSet(w, event) && Decide(w, kClaimed);
        if (taken) {
            TakeAll(w, event);
            for (int i = 0; i < w->count; ++i) w->events[i]->Unlink(&w->links[i]);
            w->result = 0;
            w->next_released = released;
            released = w;
        }
        UnlockOthers(w->sorted, w->count, event, held);
        return taken ? Offer::kTaken : Offer::kDeclined;
    }

    // Delivers a Signal of `event`, whose mutex the caller holds, with those
    // of `held`: walks the queue in the order the waits came. A TimedWait or a
    // wait-any call takes the signal unless it is decided already; a wait-all
    // call takes it when its other events are all signalled. Auto-reset: the
    // first taker ends the walk, and with no taker the event is left
    // signalled. Manual-reset: every wait that can take it does, and the
    // event stays signalled. Taken waits go on `released`. Returns a wait-all
    // call that was kBusy, leaving the walk unfinished, or null.
    static Waiter* Deliver(SynchEvent* event, HeldEvents held,
                           Waiter*& released) BOBBIN_NO_THREAD_SAFETY_ANALYSIS {
        if (event->manual_reset) event->signalled = 1;
        for (EventLink* link = event->first_; link != nullptr;) {
            EventLink* next = link->next;
            Waiter* w = link->waiter;
            Offer offer = Offer::kDeclined;
            if (!w->all) {
                if (Decide(w, kClaimed)) {
                    event->Unlink(link);
                    w->result = link->index;
                    w->next_released = released;
                    released = w;
                    offer = Offer::kTaken;
                }
            } else if (StateOf(w->word.load(std::memory_order_relaxed)) == kWaiting) {
                offer = OfferAll(w, event, held, released);
            }
            if (offer == Offer::kBusy) return w;
            if (offer == Offer::kTaken && !event->manual_reset) return nullptr;
            link = next;
        }
        event->signalled = 1;
        return nullptr;
    }

    static void Signal(SynchEvent* event) BOBBIN_NO_THREAD_SAFETY_ANALYSIS {
        Waiter* released = nullptr;
        Waiter* pinned = nullptr;  // a wait whose events' mutexes are all held
        LockMutex(event->mutex);
        for (;;) {
            const HeldEvents held =
                pinned != nullptr ? HeldEvents{pinned->sorted, pinned->count} : HeldEvents{};
            Waiter* busy = Deliver(event, held, released);
            if (busy == nullptr) break;
            busy->word.fetch_add(kPin, std::memory_order_relaxed);
            if (pinned != nullptr) {
                UnlockAll(pinned->sorted, pinned->count);
                Unpin(pinned);
            } else {
                UnlockMutex(event->mutex);
            }
            pinned = busy;
            LockAll(pinned->sorted, pinned->count);  // `event` among them
        }
        if (pinned != nullptr) {
            UnlockAll(pinned->sorted, pinned->count);
            Unpin(pinned);
        } else {
            UnlockMutex(event->mutex);
        }
        Release(released);
    }

    // With all of `w`'s events locked: takes what it may take at once (see
    // WaitForMultipleEvents), returning the index, or -1.
    static int TakeNow(const Waiter& w) BOBBIN_NO_THREAD_SAFETY_ANALYSIS {
        if (w.all) {
            if (!AllSet(&w, nullptr)) return -1;
            TakeAll(&w, nullptr);
            return 0;
        }
        for (int i = 0; i < w.count; ++i) {
            SynchEvent* event = w.events[i];
            if (event->signalled != 0) {
                if (!event->manual_reset) event->signalled = 0;
                return i;
            }
        }
        return -1;
    }

    // Once the wait is decided: waits for the claimer to be done, takes the
    // remaining links out of their queues, and waits for the pins to go (no
    // new one comes once no link is queued).
    static void Finish(Waiter& w) BOBBIN_NO_THREAD_SAFETY_ANALYSIS {
        int word = w.word.load(std::memory_order_acquire);
        while (StateOf(word) == kClaimed) {
            FutexWait(&w.word, word, Deadline::Never(), false);
            word = w.word.load(std::memory_order_acquire);
        }
        for (int i = 0; i < w.count; ++i) {
            if (!w.links[i].linked) continue;
            MutexHold hold(w.events[i]->mutex);
            w.events[i]->Unlink(&w.links[i]);
        }
        for (word = w.word.load(std::memory_order_acquire); word >= kPin;
             word = w.word.load(std::memory_order_acquire)) {
            FutexWait(&w.word, word, Deadline::Never(), false);
        }
    }

    // A wait of either kind. Returns the index taken, or -1.
    static int Wait(Waiter& w, unsigned int timeoutMs) BOBBIN_NO_THREAD_SAFETY_ANALYSIS {
        const Deadline deadline = Deadline::AfterMs(timeoutMs);
        LockAll(w.sorted, w.count);
        const int now = TakeNow(w);
        const bool queue = now < 0 && timeoutMs != 0;
        for (int i = 0; queue && i < w.count; ++i) {
            w.links[i].waiter = &w;
            w.links[i].index = i;
            w.events[i]->Append(&w.links[i]);
        }
        UnlockAll(w.sorted, w.count);
        if (!queue) return now;

        // A thread cancelled while it sleeps leaves as if it had never waited,
        // or, if a Signal took it meanwhile, passes the signals it was given on.
        struct Leaving {
            Waiter& w;
            bool returned = false;
            ~Leaving() {
                if (returned) return;
                Decide(&w, kGaveUp);
                Finish(w);
                if (StateOf(w.word.load(std::memory_order_acquire)) != kDone) return;
                for (int i = 0; i < w.count; ++i) {
                    SynchEvent* event = w.events[i];
                    if ((w.all || i == w.result) && !event->manual_reset) Signal(event);
                }
            }
        } leaving{w};
        for (int word = w.word.load(std::memory_order_acquire); StateOf(word) == kWaiting;
             word = w.word.load(std::memory_order_acquire)) {
            const int error = FutexWait(&w.word, word, deadline, true);
            if (error != 0 && error != EAGAIN && error != EINTR) Decide(&w, kGaveUp);
        }
        Finish(w);
        leaving.returned = true;
        return StateOf(w.word.load(std::memory_order_relaxed)) == kDone ? w.result : -1;
    }
};

}  // namespace bobbin::detail

SynchEvent::SynchEvent(bool manualReset, bool initiallySignalled, const char* /*name*/)
    : manual_reset(manualReset),
      mutex(nullptr),
      condition(nullptr),
      reply_event(nullptr),
      signalled(initiallySignalled ? 1 : 0),
      first_(nullptr),
      last_(nullptr) {
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

void SynchEvent::Signal() {
    EventWaits::Signal(this);
}

void SynchEvent::Unsignal() {
    bobbin::detail::MutexHold hold(mutex);
    signalled = 0;
}

bool SynchEvent::TimedWait(unsigned int timeoutMs) {
    SynchEvent* const self[] = {this};
    EventLink link;
    bobbin::detail::Waiter w(self, self, &link, 1, false);
    return EventWaits::Wait(w, timeoutMs) == 0;
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
    // A few events, the common case, need no allocation.
    constexpr int kOnStack = 4;
    SynchEvent* sorted_on_stack[kOnStack];
    EventLink links_on_stack[kOnStack];
    std::unique_ptr<SynchEvent*[]> sorted_on_heap;
    std::unique_ptr<EventLink[]> links_on_heap;
    SynchEvent** sorted = sorted_on_stack;
    EventLink* links = links_on_stack;
    if (count > kOnStack) {
        sorted_on_heap = std::make_unique<SynchEvent*[]>(static_cast<size_t>(count));
        links_on_heap = std::make_unique<EventLink[]>(static_cast<size_t>(count));
        sorted = sorted_on_heap.get();
        links = links_on_heap.get();
    }
    std::copy(events, events + count, sorted);
    std::sort(sorted, sorted + count, std::less<>());
    if (sorted[0] == nullptr) throw std::invalid_argument("WaitForMultipleEvents: null event");
    if (std::adjacent_find(sorted, sorted + count) != sorted + count) {
        throw std::invalid_argument("WaitForMultipleEvents: an event given twice");
    }
    bobbin::detail::Waiter w(events, sorted, links, count, waitAll);
    return EventWaits::Wait(w, timeoutMs);
}
