#include "bobbin/sync/CriticalSection.h"

#include <atomic>
#include <type_traits>

#include "bobbin/internal/posix.h"

static_assert(std::is_same_v<pthread_t, unsigned long>,
              "thread ids are keyed as the unsigned long that pthread_self returns");

using bobbin::detail::DeleteMutex;
using bobbin::detail::LockMutex;
using bobbin::detail::MutexHold;
using bobbin::detail::NewMutex;
using bobbin::detail::TryLockMutex;
using bobbin::detail::UnlockMutex;

namespace {

constexpr const char kEmptyMapMessage[] =
    "CriticalSection: Trying to decrement an empty thread_map.\n";
constexpr const char kBelowZeroMessage[] =
    "CriticalSection: thread count less then zero for thread %d\n";

// Counts and the holder's id are read by other threads (get_ThreadCount, the
// nested test) while their writer changes them, so every access is atomic.
// Relaxed order suffices: the ownership lock orders everything that matters.
template <typename T>
T Load(const T& value) {
    return __atomic_load_n(&value, __ATOMIC_RELAXED);
}
template <typename T>
void Store(T& target, T value) {
    __atomic_store_n(&target, value, __ATOMIC_RELAXED);
}

// pthread_self(), read once per thread: the nested paths test it at every call.
[[gnu::tls_model("initial-exec")]] thread_local unsigned long t_self = 0;
inline unsigned long Self() {
    unsigned long self = t_self;
    if (__builtin_expect(self == 0, 0)) t_self = self = pthread_self();
    return self;
}

}  // namespace

// ---- CriticalSection ----

CriticalSection::CriticalSection()
    : owner_mutex(nullptr),
      is_locked(false),
      entry_mutex(nullptr),
      map_mutex(nullptr),
      holder_(0),
      last_holder_(0),
      depth_(0) {
    using Owned = std::unique_ptr<pthread_mutex_t, void (*)(pthread_mutex_t*)>;
    Owned owner(NewMutex(), DeleteMutex);
    Owned entry(NewMutex(), DeleteMutex);
    map_mutex = NewMutex();
    owner_mutex = owner.release();
    entry_mutex = entry.release();
}

CriticalSection::~CriticalSection() {
    if (is_locked) {
        if (Load(holder_) == Self()) {
            Leave();  // held at any depth: give the ownership lock up
        } else {
            Decrement_ThreadCount(Self());  // reports the misuse
        }
    }
    DeleteMutex(owner_mutex);
    DeleteMutex(entry_mutex);
    DeleteMutex(map_mutex);
}

// The holder's depth is read as it stood while holder_ named that thread: a
// hand-over between the two reads sends the reader round again.
int CriticalSection::get_ThreadCount(unsigned long threadId) {
    for (;;) {
        if (threadId != 0 && Load(holder_) == threadId) {
            const int depth = Load(depth_);
            if (Load(holder_) == threadId) return depth;
            continue;
        }
        MutexHold hold(map_mutex);
        auto it = thread_map.find(threadId);
        return it == thread_map.end() ? 0 : it->second;
    }
}

// The holder's own count is its depth; every other thread's is in the map.
void CriticalSection::Increment_ThreadCount(unsigned long threadId) {
    if (threadId == Self() && Load(holder_) == threadId) {
        Store(depth_, depth_ + 1);
        return;
    }
    MutexHold hold(map_mutex);
    ++thread_map[threadId];
}

// The count never falls below 0, so that an unmatched release cannot make the
// thread's next Acquire skip the ownership lock. Reports are made after the
// map lock is let go.
void CriticalSection::Decrement_ThreadCount(unsigned long threadId) {
    if (threadId == Self() && Load(holder_) == threadId && depth_ > 1) {
        Store(depth_, depth_ - 1);  // the last level is given up by Release alone
        return;
    }
    bool found = false;
    bool below_zero = false;
    {
        MutexHold hold(map_mutex);
        auto it = thread_map.find(threadId);
        found = it != thread_map.end();
        if (found) {
            below_zero = it->second <= 0;
            if (!below_zero) --it->second;
        }
    }
    if (!found) {
        PRINTF(kEmptyMapMessage);
    } else if (below_zero) {
        // The placeholder is %d: the id goes as an int (its low bits), which a
        // printing sink can read.
        PRINTF(kBelowZeroMessage, static_cast<int>(threadId));
    }
}

// Called with owner_mutex held. A thread's first Acquire gives it an entry in
// the map; a thread that takes the section again right after itself needs no
// visit to the map. The depth lives in the section, not in the entry, so an
// entry that a subclass erases leaves nothing stale behind.
void CriticalSection::Enter(unsigned long self) {
    if (last_holder_ != self) {
        try {
            MutexHold hold(map_mutex);
            thread_map.try_emplace(self, 0);
        } catch (...) {
            UnlockMutex(owner_mutex);  // std::bad_alloc: the section stays free
            throw;
        }
        last_holder_ = self;
    }
    is_locked = true;
    Store(depth_, 1);
    Store(holder_, self);
}

void CriticalSection::Leave() {
    Store(holder_, 0UL);
    Store(depth_, 0);
    is_locked = false;
    UnlockMutex(owner_mutex);
}

// Only the holder ever stores its own id in holder_, and it clears it before
// it lets go, so reading one's own id means holding the section: a nested
// acquire or release takes no lock.
void CriticalSection::Acquire() BOBBIN_NO_THREAD_SAFETY_ANALYSIS {
    const unsigned long self = Self();
    if (Load(holder_) == self) {
        Store(depth_, depth_ + 1);
        return;
    }
    AcquireOutermost(self);
}

// A section that looks free is locked at once (the platform's lock is much
// cheaper than its trylock); a thread that loses that race waits for the
// ownership lock as a thread at the gate would. A held section is waited for
// at the gate, so that one entering thread at a time waits for the ownership
// lock; the gate opens once the count is 1.
void CriticalSection::AcquireOutermost(unsigned long self) {
    if (Load(holder_) != 0) {
        MutexHold gate(entry_mutex);
        LockMutex(owner_mutex);
        Enter(self);
        return;
    }
    LockMutex(owner_mutex);
    Enter(self);
}

bool CriticalSection::try_lock() BOBBIN_NO_THREAD_SAFETY_ANALYSIS {
    const unsigned long self = Self();
    if (Load(holder_) == self) {
        Store(depth_, depth_ + 1);
        return true;
    }
    if (!TryLockMutex(owner_mutex)) return false;
    Enter(self);
    return true;
}

void CriticalSection::Release() BOBBIN_NO_THREAD_SAFETY_ANALYSIS {
    const unsigned long self = Self();
    if (Load(holder_) != self) {
        Decrement_ThreadCount(self);  // not the holder: reported, nothing changes
        return;
    }
    const int depth = depth_;
    if (depth > 1) {
        Store(depth_, depth - 1);
        return;
    }
    Leave();
}

// The analysis cannot see that `section` is `held`.
CriticalSection::Lock::Lock(const CriticalSection& held) BOBBIN_NO_THREAD_SAFETY_ANALYSIS
    : section(const_cast<CriticalSection*>(&held)) {
    section->Acquire();
}

CriticalSection::Lock::~Lock() BOBBIN_NO_THREAD_SAFETY_ANALYSIS {
    section->Release();
}

// ---- CriticalSectionExt ----
//
// The owner alone writes owner_thread and acquire_count, while it holds the
// base section; anyone may read them, so every access is atomic.

CriticalSectionExt::CriticalSectionExt() : owner_thread(0), acquire_count(0) {}

CriticalSectionExt::~CriticalSectionExt() = default;

void CriticalSectionExt::Record() {
    Store(owner_thread, Self());
    Store(acquire_count, Load(acquire_count) + 1);
}

void CriticalSectionExt::Acquire() {
    CriticalSection::Acquire();
    Record();
}

bool CriticalSectionExt::Try() {
    if (!CriticalSection::try_lock()) return false;
    Record();
    return true;
}

void CriticalSectionExt::Release() {
    if (Load(owner_thread) == Self()) {
        const int depth = Load(acquire_count) - 1;
        Store(acquire_count, depth);
        if (depth == 0) Store(owner_thread, 0UL);
    }
    // A thread that does not own the section has no count in it: the base
    // Release reports the misuse and changes nothing.
    CriticalSection::Release();
}

bool CriticalSectionExt::IsAcquired() const {
    return Load(acquire_count) > 0;
}

CriticalSection& CriticalSectionExt::AcquireProtect() {
    return acquire_protect;
}

CriticalSectionExt::TryLock::TryLock(CriticalSectionExt& held)
    : acquired(held.Try()), section(&held) {}

CriticalSectionExt::TryLock::~TryLock() {
    if (acquired) section->Release();
}
