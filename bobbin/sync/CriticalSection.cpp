#include "bobbin/sync/CriticalSection.h"

#include <type_traits>

#include "bobbin/sync/posix_mutex.h"

static_assert(std::is_same_v<pthread_t, unsigned long>,
              "thread ids are keyed as the unsigned long that pthread_self returns");

using bobbin::detail::DeleteMutex;
using bobbin::detail::MutexHold;
using bobbin::detail::NewMutex;

namespace {

constexpr const char kEmptyMapMessage[] =
    "CriticalSection: Trying to decrement an empty thread_map.\n";
constexpr const char kBelowZeroMessage[] =
    "CriticalSection: thread count less then zero for thread %d\n";

// The placeholder of the report is %d: the id is handed over as an int (its
// low bits), so that a printing sink reads the argument it expects.
int ReportedId(unsigned long thread_id) {
    return static_cast<int>(thread_id);
}

}  // namespace

// ---- CriticalSection ----

CriticalSection::CriticalSection()
    : owner_mutex(nullptr), is_locked(false), entry_mutex(nullptr), map_mutex(nullptr) {
    using Owned = std::unique_ptr<pthread_mutex_t, void (*)(pthread_mutex_t*)>;
    Owned owner(NewMutex(), DeleteMutex);
    Owned entry(NewMutex(), DeleteMutex);
    map_mutex = NewMutex();
    owner_mutex = owner.release();
    entry_mutex = entry.release();
}

CriticalSection::~CriticalSection() {
    if (is_locked) {
        CriticalSection::Release();
        // Held at a depth above 1: the release above only lowered the count,
        // so the ownership lock is still ours to give up.
        if (is_locked && get_ThreadCount(pthread_self()) > 0) {
            is_locked = false;
            pthread_mutex_unlock(owner_mutex);
        }
    }
    DeleteMutex(owner_mutex);
    DeleteMutex(entry_mutex);
    DeleteMutex(map_mutex);
}

int CriticalSection::get_ThreadCount(unsigned long thread_id) {
    MutexHold hold(map_mutex);
    auto it = thread_map.find(thread_id);
    return it == thread_map.end() ? 0 : it->second;
}

void CriticalSection::Increment_ThreadCount(unsigned long thread_id) {
    MutexHold hold(map_mutex);
    ++thread_map[thread_id];
}

void CriticalSection::Decrement_ThreadCount(unsigned long thread_id) {
    MutexHold hold(map_mutex);
    auto it = thread_map.find(thread_id);
    if (it == thread_map.end()) {
        PRINTF(kEmptyMapMessage);
        return;
    }
    if (it->second <= 0) {
        // An unmatched release: report it, but keep the count at 0 so that the
        // thread's next Acquire really takes the section.
        PRINTF(kBelowZeroMessage, ReportedId(thread_id));
        return;
    }
    --it->second;
}

// One visit to the map. Nests if the calling thread holds the section;
// otherwise, if the ownership lock is free (and, for a try, no thread is at the
// gate on its way to it), takes it without waiting and records the count 1. On
// kBusy `count` points at the thread's entry (inserted at 0 on first use, so
// that later steps never allocate while the section's locks are held); entries
// are never erased, so the pointer stays valid. Only trylocks are made under
// map_mutex: it is never held while waiting for another lock.
CriticalSection::Entry CriticalSection::EnterWithoutWaiting(unsigned long self, int** count,
                                                            bool check_gate) {
    MutexHold hold(map_mutex);
    auto it = thread_map.find(self);
    if (it == thread_map.end()) it = thread_map.emplace(self, 0).first;
    int& own = it->second;
    if (own > 0) {
        ++own;
        return Entry::kNested;
    }
    *count = &own;
    if (check_gate && pthread_mutex_trylock(entry_mutex) != 0) return Entry::kBusy;
    const bool taken = pthread_mutex_trylock(owner_mutex) == 0;
    if (check_gate) pthread_mutex_unlock(entry_mutex);
    if (!taken) return Entry::kBusy;
    is_locked = true;
    own = 1;
    return Entry::kTaken;
}

void CriticalSection::Acquire() {
    int* count = nullptr;
    // A free section is taken at once; a thread already waiting at the gate
    // for it keeps waiting there, as it would for any later holder.
    if (EnterWithoutWaiting(pthread_self(), &count, false) != Entry::kBusy) return;
    // Wait at the gate, then for the ownership lock; raise the count once held.
    pthread_mutex_lock(entry_mutex);
    pthread_mutex_lock(owner_mutex);
    is_locked = true;
    {
        MutexHold hold(map_mutex);
        ++*count;
    }
    pthread_mutex_unlock(entry_mutex);
}

bool CriticalSection::try_lock() {
    return TryAcquire();
}

bool CriticalSection::TryAcquire() {
    int* count = nullptr;
    // A try also fails while another thread is at the gate taking the section.
    return EnterWithoutWaiting(pthread_self(), &count, true) != Entry::kBusy;
}

void CriticalSection::Release() {
    const unsigned long self = pthread_self();
    const char* misuse = nullptr;
    {
        MutexHold hold(map_mutex);
        auto it = thread_map.find(self);
        if (it == thread_map.end()) {
            misuse = kEmptyMapMessage;
        } else if (it->second > 1) {
            --it->second;
            return;
        } else if (it->second == 1) {
            // The outermost release: the count falls to 0 and the ownership
            // lock is given up. Only this thread reads its own count in the
            // section's operations, so the order of the two is not seen.
            it->second = 0;
            is_locked = false;
            pthread_mutex_unlock(owner_mutex);
            return;
        } else {
            // An unmatched release: the count stays at 0, so the thread's
            // next Acquire really takes the section.
            misuse = kBelowZeroMessage;
        }
    }
    if (misuse == kEmptyMapMessage) {
        PRINTF(kEmptyMapMessage);
    } else {
        PRINTF(kBelowZeroMessage, ReportedId(self));
    }
}

CriticalSection::Lock::Lock(const CriticalSection& section)
    : section(const_cast<CriticalSection*>(&section)) {
    this->section->Acquire();
}

CriticalSection::Lock::~Lock() {
    section->Release();
}

// ---- CriticalSectionExt ----

CriticalSectionExt::CriticalSectionExt() : owner_thread(0), acquire_count(0) {}

CriticalSectionExt::~CriticalSectionExt() = default;

void CriticalSectionExt::Acquire() {
    const unsigned long self = pthread_self();
    acquire_protect.Acquire();
    if (owner_thread == self) {
        // Nested: the base section is ours, so this returns at once.
        CriticalSection::Acquire();
        ++acquire_count;
        acquire_protect.Release();
        return;
    }
    // Not the owner: never wait for the base section while holding
    // acquire_protect, whether the section is owned, free, or being taken by a
    // thread that has not yet recorded itself.
    acquire_protect.Release();
    CriticalSection::Acquire();
    acquire_protect.Acquire();
    ++acquire_count;
    owner_thread = self;
    acquire_protect.Release();
}

void CriticalSectionExt::Release() {
    {
        CriticalSection::Lock hold(acquire_protect);
        if (owner_thread == pthread_self()) {
            if (--acquire_count == 0) owner_thread = 0;
            CriticalSection::Release();
            return;
        }
    }
    // Not the owner: the base section has no count for this thread, so its
    // Release reports the misuse and changes nothing.
    CriticalSection::Release();
}

bool CriticalSectionExt::Try() {
    const unsigned long self = pthread_self();
    CriticalSection::Lock hold(acquire_protect);
    if (owner_thread == self) {
        CriticalSection::Acquire();
        ++acquire_count;
        return true;
    }
    if (IsAcquired()) return false;
    // Unowned as far as the record goes, but another thread may hold or be
    // taking the base section: only a non-blocking attempt is made.
    if (!TryAcquire()) return false;
    ++acquire_count;
    owner_thread = self;
    return true;
}

bool CriticalSectionExt::IsAcquired() const {
    CriticalSection::Lock hold(acquire_protect);
    return acquire_count > 0;
}

CriticalSection& CriticalSectionExt::AcquireProtect() {
    return acquire_protect;
}

CriticalSectionExt::TryLock::TryLock(CriticalSectionExt& section)
    : acquired(section.Try()), section(&section) {}

CriticalSectionExt::TryLock::~TryLock() {
    if (acquired) section->Release();
}
