// Recursive critical sections built from plain POSIX mutexes, with scoped guards.
//
// Which lock to use: `Mutex` is a plain recursive lock at the platform's speed.
// `CriticalSection` is the library's general lock: recursive, it keeps each
// thread's nesting count where it can be read (`get_ThreadCount`), and an
// unmatched release is reported (see SetPrintfSink) and survived rather than
// corrupting the lock. `CriticalSectionExt` adds an owner record, so that anyone
// may ask "is it held?", and a try that never waits.
//
// All three meet the standard's Lockable requirements (lock, unlock, try_lock),
// so std::lock_guard, std::unique_lock, std::scoped_lock and
// std::condition_variable_any work with them. Whatever a thread wrote before
// its last release is visible to the next thread whose acquire returns.
#pragma once

#include <pthread.h>

#include <map>

#include "bobbin/export.h"

// Diagnostic sink shaped like printf; the sections hand it their misuse
// reports. While no sink is set (the default) it writes nothing and returns 0;
// otherwise it formats the message (at most 511 characters), hands it to the
// sink and returns its length. Any thread may call it.
BOBBIN_EXPORT int PRINTF(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Receives each report that PRINTF formats, on the reporting thread. It must
// not take the lock that reported.
using PrintfSink = void (*)(const char* message);

// Makes `sink` receive the reports from now on; null restores the default,
// which discards them. Any thread may call it at any time.
BOBBIN_EXPORT void SetPrintfSink(PrintfSink sink);

// A process-local lock that the holding thread may acquire again any number of
// times; it must release it as often. Nesting is counted per thread in
// `thread_map`, keyed by the value of pthread_self().
//
// Any thread may call any operation. A section must be destroyed only while no
// other thread holds it or waits for it. Copy and move are deleted.
class BOBBIN_EXPORT BOBBIN_CAPABILITY("mutex") CriticalSection {
  public:
    // Builds a free section. Throws std::bad_alloc, or std::system_error when a
    // platform mutex cannot be initialised; then nothing stays allocated.
    CriticalSection();

    // Releases the section if the destroying thread holds it (at any depth),
    // then destroys and frees the mutexes.
    virtual ~CriticalSection();

    // Blocks until the calling thread holds the section; if it holds it
    // already, nests one level deeper at once.
    virtual void Acquire() BOBBIN_ACQUIRE();

    // Undoes one Acquire of the calling thread; the section becomes free at the
    // release matching the outermost Acquire. Never blocks. A Release by a
    // thread that does not hold the section is reported to PRINTF and changes
    // nothing.
    virtual void Release() BOBBIN_RELEASE();

    // Lockable interface: Acquire, Release, and a try that never waits (true if
    // the calling thread now holds the section one level deeper).
    void lock() BOBBIN_ACQUIRE() { Acquire(); }
    void unlock() BOBBIN_RELEASE() { Release(); }
    virtual bool try_lock() BOBBIN_TRY_ACQUIRE(true);

    // The nesting count recorded for `threadId` (0 if it has no entry).
    int get_ThreadCount(unsigned long threadId);
    // Raises the count of `threadId` by one, inserting the entry at 1.
    void Increment_ThreadCount(unsigned long threadId);
    // Lowers the count of `threadId` by one; a missing entry or a count that
    // would fall below 0 is reported to PRINTF and leaves the count as it was.
    void Decrement_ThreadCount(unsigned long threadId);

    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    // Holds a section for the guard's lifetime, through its virtual
    // Acquire/Release (so a CriticalSectionExt records its owner). Blocks in
    // the constructor as Acquire does.
    class BOBBIN_SCOPED_CAPABILITY Lock {
      public:
        explicit Lock(const CriticalSection& section) BOBBIN_ACQUIRE(section);
        virtual ~Lock() BOBBIN_RELEASE();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      protected:
        CriticalSection* section;
    };

  protected:
    bobbin::detail::PlatformMutex* owner_mutex;  // ownership lock, held by the holding thread
    mutable bool is_locked;  // true while some thread holds owner_mutex; read unlocked
    bobbin::detail::PlatformMutex* entry_mutex;  // entry gate: one entering thread waits at a time
    bobbin::detail::PlatformMutex* map_mutex;    // guards thread_map only
    // Guarded by map_mutex. An outermost Acquire makes the thread's entry
    // unless the same thread held the section last. The holder's nesting depth
    // is kept by the section itself (get_ThreadCount reports it), so entries
    // read 0 outside the Increment/Decrement operations. A subclass may, under
    // map_mutex, read the entries and erase any of them, e.g. those of ended
    // threads: the section keeps no pointer into the map and its counts stay
    // right, but an erased entry may stay absent while its thread uses the
    // section again. It must not insert entries or change a count.
    mutable std::map<unsigned long, int> thread_map BOBBIN_GUARDED_BY(*map_mutex);

  private:
    void AcquireOutermost(unsigned long self) BOBBIN_ACQUIRE(*owner_mutex);
    void Enter(unsigned long self) BOBBIN_REQUIRES(*owner_mutex);  // owner_mutex just taken
    void Leave() BOBBIN_RELEASE(*owner_mutex);                     // the holder's last release

    unsigned long holder_;  // holder's id, 0 if none; written by the holder, read atomically
    // The thread that took owner_mutex last.
    unsigned long last_holder_ BOBBIN_GUARDED_BY(*owner_mutex);
    int depth_;  // the holder's nesting depth; written by the holder, read atomically
};

// A section that records its owning thread and offers a non-blocking Try. The
// owner record is written by the owner alone, with atomic operations, so that
// IsAcquired never waits and any thread may ask it.
class BOBBIN_EXPORT CriticalSectionExt : public CriticalSection {
  public:
    CriticalSectionExt();
    ~CriticalSectionExt() override;

    // Blocks until the calling thread owns the section; nests if it owns it.
    void Acquire() override BOBBIN_ACQUIRE();
    // Undoes one Acquire or successful Try of the owner. A Release by another
    // thread is reported to PRINTF and changes nothing.
    void Release() override BOBBIN_RELEASE();
    // Never blocks. True if the calling thread now holds the section (one more
    // level); false if another thread owns it or is taking it.
    bool Try() BOBBIN_TRY_ACQUIRE(true);
    bool try_lock() override BOBBIN_TRY_ACQUIRE(true) { return Try(); }
    // True while any thread owns the section, whoever asks.
    bool IsAcquired() const;
    // A section of the object's own, free for a subclass's use; the
    // operations above do not take it.
    CriticalSection& AcquireProtect();

    // Tries a section once; at the end of its scope releases it only if the
    // try succeeded. Never blocks.
    class TryLock {
      public:
        explicit TryLock(CriticalSectionExt& section);
        ~TryLock();
        bool IsAcquired() const { return acquired; }
        TryLock(const TryLock&) = delete;
        TryLock& operator=(const TryLock&) = delete;

      protected:
        bool acquired;
        CriticalSectionExt* section;
    };

  protected:
    CriticalSection acquire_protect;
    unsigned long owner_thread;  // 0 while nobody owns the section; atomic accesses
    int acquire_count;           // the owner's nesting depth; atomic accesses

  private:
    void Record();  // the caller has just taken the base section one level deeper
};
