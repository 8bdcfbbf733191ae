// bobbin_stress: drives the locks, events and thread objects from several
// threads for a number of seconds, round after round, and checks that
//  - no update made under a lock is lost (every lock kind, nested too);
//  - every auto-reset Signal is taken exactly once and every manual-reset
//    Signal releases every waiter;
//  - every thread object's thread is reclaimed (the process's task count
//    returns to its start value after each round);
//  - Terminate of threads blocked in event waits ends only those threads,
//    which are then joined and deleted;
//  - memory and file descriptors stay flat after the first round.
// It prints one summary line and exits 0, or exits 1 with a line naming the
// broken invariant. A watchdog turns a hang into a failure.
//
// Usage: bobbin_stress [seconds]   (default 10)

#include <bobbin/sync/CriticalSection.h>
#include <bobbin/sync/Mutex.h>
#include <bobbin/sync/SynchEvent.h>
#include <bobbin/thread/ThreadHot.h>
#include <dirent.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Resident memory may grow this much between the end of the first round and
// the end of the run (sanitizers keep freed memory in quarantine: unchecked).
constexpr long kRssToleranceKiB = 4 * 1024;
// Descriptors the run may hold beyond those it held after the first round.
constexpr int kFdTolerance = 2;
// How long a joined thread may linger in /proc/self/task.
constexpr auto kSettleTime = std::chrono::seconds(10);
// How long each timed part of a round runs.
constexpr milliseconds kSlice(120);
// What every worker's Run returns when it finished its share.
constexpr int kDone = 7;
// A stack size for the Starts that ask for one.
constexpr unsigned long kStackSize = 512 * 1024;
// A time-out so long that it never expires during a run: the timed wait path
// with exact hand-off counts.
constexpr unsigned int kHourMs = 3600 * 1000;

std::atomic<const char*> g_phase{"start-up"};

[[noreturn]] void Fail(const char* invariant, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Reports the first broken invariant and ends the process at once: the other
// threads may be wedged by the very fault that was found.
void Fail(const char* invariant, const char* format, ...) {
    static std::mutex reporting;
    reporting.lock();
    std::fprintf(stderr, "bobbin_stress: FAILED: %s (during %s): ", invariant, g_phase.load());
    std::va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    std::_Exit(1);
}

struct Figures {
    std::atomic<unsigned long long> rounds{0};
    std::atomic<unsigned long long> lockOps{0};
    std::atomic<unsigned long long> triesRefused{0};
    std::atomic<unsigned long long> handoffs{0};
    std::atomic<unsigned long long> requests{0};
    std::atomic<unsigned long long> broadcasts{0};
    std::atomic<unsigned long long> broadcastWakes{0};
    std::atomic<unsigned long long> threadsCreated{0};
    std::atomic<unsigned long long> threadsReclaimed{0};
    std::atomic<unsigned long long> terminated{0};
    std::atomic<unsigned long long> terminateRaces{0};
};
Figures g_figures;

// xorshift32: cheap per-thread randomness for nesting depths and choices.
class Rng {
  public:
    explicit Rng(unsigned seed) : state_(seed * 2654435761u + 1u) {}
    unsigned Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }

  private:
    unsigned state_;
};

// A one-way flag that a thread can wait for (the driver's own synchronisation,
// independent of the library under test).
class Flag {
  public:
    void Set() {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            set_ = true;
        }
        changed_.notify_all();
    }
    void Wait() {
        std::unique_lock<std::mutex> hold(mutex_);
        changed_.wait(hold, [this] { return set_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool set_ = false;
};

// Turns a hang into a failure: aborts with the phase it hung in once the run
// has taken `limit`.
class Watchdog {
  public:
    explicit Watchdog(std::chrono::seconds limit) : thread_([this, limit] { Watch(limit); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            done_ = true;
        }
        finished_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

  private:
    void Watch(std::chrono::seconds limit) {
        std::unique_lock<std::mutex> hold(mutex_);
        if (finished_.wait_for(hold, limit, [this] { return done_; })) return;
        std::fprintf(stderr,
                     "bobbin_stress: FAILED: no hang (during %s): still running after %lld s; a "
                     "wait was never released (lost wake-up, deadlock or a join that never "
                     "returns)\n",
                     g_phase.load(), static_cast<long long>(limit.count()));
        std::fflush(stderr);
        std::abort();
    }

    std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
    std::thread thread_;
};

// ---- what /proc tells about the process ----

int CountEntries(const char* path) {
    DIR* dir = opendir(path);
    if (dir == nullptr) Fail("measurement", "cannot open %s", path);
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count;
}

int TaskCount() {
    return CountEntries("/proc/self/task");
}

// Open descriptors, less the one that reading the directory uses.
int FdCount() {
    return CountEntries("/proc/self/fd") - 1;
}

long RssKiB() {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) Fail("measurement", "cannot open /proc/self/status");
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::sscanf(line, "VmRSS: %ld kB", &kib) == 1) break;
    }
    std::fclose(status);
    if (kib < 0) Fail("measurement", "no VmRSS line in /proc/self/status");
    return kib;
}

// The task count once every joined thread has left /proc/self/task (a thread
// is listed for a moment after its join returns), or after kSettleTime.
int SettledTaskCount(int expected) {
    const auto deadline = Clock::now() + kSettleTime;
    int count = TaskCount();
    while (count > expected && Clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(1));
        count = TaskCount();
    }
    return count;
}

// ---- thread objects that do the driver's work ----

// Runs a function on a thread of its own; its result is the exit code.
class Worker : public ThreadHot {
  public:
    explicit Worker(std::function<int()> work) : work_(std::move(work)) {}
    ~Worker() override { WaitForStop(); }  // joined while work_ still exists

  protected:
    int Run() override { return work_(); }

  private:
    std::function<int()> work_;
};

// A group of workers, started one by one and joined together through
// WaitForMultipleThreads; each must have ended with kDone.
class Crew {
  public:
    Crew() = default;
    Crew(const Crew&) = delete;
    Crew& operator=(const Crew&) = delete;
    ~Crew() { Join(); }

    void Add(std::function<int()> work) {
        auto worker = std::make_unique<Worker>(std::move(work));
        if (!worker->Start(0)) Fail("thread object life cycle", "Start refused a new object");
        ++g_figures.threadsCreated;
        workers_.push_back(std::move(worker));
    }

    void Join() {
        if (workers_.empty()) return;
        std::vector<ThreadHot*> list;
        for (auto& worker : workers_) list.push_back(worker.get());
        if (!ThreadHot::WaitForMultipleThreads(list.data(), static_cast<int>(list.size()))) {
            Fail("every thread object reclaimed", "WaitForMultipleThreads refused %zu objects",
                 list.size());
        }
        for (auto& worker : workers_) {
            if (worker->HasThread()) {
                Fail("every thread object reclaimed",
                     "a worker still has its thread after WaitForMultipleThreads");
            }
            if (worker->GetExitCode() != kDone) {
                Fail("thread object life cycle", "a worker's exit code is %d, its Run returned %d",
                     worker->GetExitCode(), kDone);
            }
        }
        g_figures.threadsReclaimed += workers_.size();
        workers_.clear();
    }

  private:
    std::vector<std::unique_ptr<Worker>> workers_;
};

// Lets the workers of a timed part run for one slice, then tells them to stop.
void RunSlice(std::atomic<bool>& stop) {
    std::this_thread::sleep_for(kSlice);
    stop.store(true);
}

// ---- mutual exclusion ----

// A plain counter that only the lock keeps whole, and a count of the threads
// that are between the lock's entry and exit.
struct Guarded {
    long counter = 0;
    std::atomic<int> inside{0};
};

// The body every lock protects: one plain read-modify-write, now and then
// with a yield in the middle to widen the window a broken lock would leave.
void Touch(Guarded& guarded, const char* kind) {
    if (guarded.inside.fetch_add(1) != 0) {
        Fail("mutual exclusion", "%s: two threads inside the lock at once", kind);
    }
    const long value = guarded.counter;
    if ((value & 63) == 0) sched_yield();
    guarded.counter = value + 1;
    guarded.inside.fetch_sub(1);
}

// Takes a lock through `outer` and then `depth - 1` times more through
// `inner`, nested, and touches the counter at the innermost level; while the
// outer levels hold the lock the counter must move by exactly that one touch.
// A hold is a callable that takes the lock, runs the body and gives it back,
// returning false if it could not take it (a try).
template <typename Outer, typename Inner>
bool Nest(Guarded& guarded, int depth, const char* kind, const Outer& outer, const Inner& inner) {
    return outer([&] {
        if (depth <= 1) {
            Touch(guarded, kind);
            return;
        }
        const long before = guarded.counter;
        if (!Nest(guarded, depth - 1, kind, inner, inner)) {
            Fail("mutual exclusion", "%s: a nested take failed while this thread held the lock",
                 kind);
        }
        if (guarded.counter != before + 1) {
            Fail("mutual exclusion",
                 "%s: the counter moved from %ld to %ld while this thread held "
                 "the lock",
                 kind, before, guarded.counter);
        }
    });
}

using Taker = std::function<bool(Guarded&, int depth)>;

// One thread per taker takes the lock over and over for one slice, nested 1
// to 3 deep; the counter must end at the number of successful takes.
void LockSlice(const char* kind, const std::vector<Taker>& takers, unsigned round) {
    g_phase.store(kind);
    Guarded guarded;
    std::atomic<bool> stop{false};
    std::vector<long> taken(takers.size(), 0);
    std::vector<long> refused(takers.size(), 0);
    {
        Crew crew;
        for (std::size_t i = 0; i < takers.size(); ++i) {
            crew.Add([&, i] {
                Rng rng(static_cast<unsigned>(round * 31 + i));
                while (!stop.load(std::memory_order_relaxed)) {
                    const int depth = 1 + static_cast<int>(rng.Next() % 3);
                    if (takers[i](guarded, depth)) {
                        ++taken[i];
                    } else {
                        ++refused[i];
                        sched_yield();
                    }
                }
                return kDone;
            });
        }
        RunSlice(stop);
        crew.Join();
    }
    long total = 0;
    long totalRefused = 0;
    for (std::size_t i = 0; i < takers.size(); ++i) {
        total += taken[i];
        totalRefused += refused[i];
    }
    if (guarded.counter != total) {
        Fail("mutual exclusion", "%s: the counter is %ld after %ld updates", kind, guarded.counter,
             total);
    }
    g_figures.lockOps += static_cast<unsigned long long>(total);
    g_figures.triesRefused += static_cast<unsigned long long>(totalRefused);
}

// The locks live for the whole run, so that they meet many threads.
struct Locks {
    CriticalSection section;
    CriticalSectionExt ext;
    Mutex mutex{"stress"};
};

void LockPhase(Locks& locks, unsigned round) {
    CriticalSection& section = locks.section;
    CriticalSectionExt& ext = locks.ext;
    Mutex& mutex = locks.mutex;

    auto sectionLock = [&section](auto&& body) {
        CriticalSection::Lock hold(section);
        body();
        return true;
    };
    auto checkOwned = [&ext] {
        if (!ext.IsAcquired()) {
            Fail("mutual exclusion", "CriticalSectionExt: IsAcquired is false in the owner");
        }
    };
    auto extAcquire = [&](auto&& body) {
        ext.Acquire();
        checkOwned();
        body();
        ext.Release();
        return true;
    };
    // Through the base guard: the virtual Acquire still records the owner.
    auto extThroughBaseLock = [&](auto&& body) {
        CriticalSection::Lock hold(ext);
        checkOwned();
        body();
        return true;
    };
    auto extTry = [&](auto&& body) {
        CriticalSectionExt::TryLock attempt(ext);
        if (!attempt.IsAcquired()) return false;
        checkOwned();
        body();
        return true;
    };
    auto mutexLock = [&mutex](auto&& body) {
        Mutex::Lock hold(mutex);
        body();
        return true;
    };
    auto mutexAcquire = [&mutex](auto&& body) {
        mutex.Acquire();
        body();
        mutex.Release();
        return true;
    };

    constexpr const char* kSection = "CriticalSection::Lock";
    const Taker sectionTaker = [&](Guarded& g, int depth) {
        return Nest(g, depth, kSection, sectionLock, sectionLock);
    };
    LockSlice(kSection, {sectionTaker, sectionTaker, sectionTaker, sectionTaker}, round);

    constexpr const char* kExt = "CriticalSectionExt Acquire and Try";
    LockSlice(
        kExt,
        {[&](Guarded& g, int depth) { return Nest(g, depth, kExt, extAcquire, extAcquire); },
         [&](Guarded& g, int depth) { return Nest(g, depth, kExt, extThroughBaseLock, extTry); },
         [&](Guarded& g, int depth) { return Nest(g, depth, kExt, extTry, extTry); },
         [&](Guarded& g, int depth) { return Nest(g, depth, kExt, extTry, extAcquire); }},
        round);
    if (ext.IsAcquired()) {
        Fail("mutual exclusion", "CriticalSectionExt: still acquired after every thread let go");
    }

    constexpr const char* kMutex = "Mutex::Lock";
    const Taker mutexTaker = [&](Guarded& g, int depth) {
        return Nest(g, depth, kMutex, mutexLock, mutexLock);
    };
    LockSlice(
        kMutex,
        {mutexTaker, mutexTaker, mutexTaker,
         [&](Guarded& g, int depth) { return Nest(g, depth, kMutex, mutexAcquire, mutexAcquire); }},
        round);
}

// ---- auto-reset hand-offs ----

// One producer, one consumer: the producer publishes an item, signals and
// waits for the acknowledgement, so every Signal must be taken exactly once
// and in order.
struct Pair {
    SynchEvent request{false, false, nullptr};
    SynchEvent ack{false, false, nullptr};
    long item = 0;  // handed over through the events alone
    long produced = 0;
    long consumed = 0;
};

// One producer, several consumers on one event: each Signal must release
// exactly one of them, which finds the token the producer left.
struct Group {
    SynchEvent work{false, false, nullptr};
    SynchEvent ack{false, false, nullptr};
    std::mutex tokenMutex;
    bool present = false;
    long value = 0;
    long produced = 0;
    std::vector<long> consumed;
};

constexpr long kQuit = -1;

void HandOffPhase(unsigned round) {
    g_phase.store("auto-reset hand-off");
    std::atomic<bool> stop{false};
    Pair pairs[2];
    Group group;
    constexpr int kConsumers = 3;
    group.consumed.assign(kConsumers, 0);
    {
        Crew crew;
        for (int p = 0; p < 2; ++p) {
            Pair& pair = pairs[p];
            crew.Add([&pair, &stop] {
                long seq = 0;
                while (!stop.load(std::memory_order_relaxed)) {
                    pair.item = ++seq;
                    pair.request.Signal();
                    pair.ack.WaitForSignal();
                }
                pair.item = kQuit;
                pair.request.Signal();
                pair.ack.WaitForSignal();
                pair.produced = seq;
                return kDone;
            });
            const bool timed = (round + static_cast<unsigned>(p)) % 2 == 0;
            crew.Add([&pair, timed] {
                long expected = 1;
                for (;;) {
                    if (timed) {
                        pair.request.WaitForSignal(kHourMs);
                    } else {
                        pair.request.WaitForSignal();
                    }
                    const long item = pair.item;
                    if (item == kQuit) break;
                    if (item != expected) {
                        Fail("no lost wake-ups",
                             "auto-reset pair: the consumer woke to item %ld, expected %ld", item,
                             expected);
                    }
                    ++expected;
                    pair.ack.Signal();
                }
                pair.consumed = expected - 1;
                pair.ack.Signal();
                return kDone;
            });
        }

        auto post = [&group](long value) {
            {
                std::lock_guard<std::mutex> hold(group.tokenMutex);
                if (group.present) {
                    Fail("no lost wake-ups", "auto-reset group: a token was never taken");
                }
                group.present = true;
                group.value = value;
            }
            group.work.Signal();
            group.ack.WaitForSignal();
        };
        crew.Add([&] {
            long seq = 0;
            while (!stop.load(std::memory_order_relaxed)) post(++seq);
            for (int i = 0; i < kConsumers; ++i) post(kQuit);
            group.produced = seq;
            return kDone;
        });
        for (int c = 0; c < kConsumers; ++c) {
            crew.Add([&group, c] {
                for (;;) {
                    group.work.WaitForSignal();
                    long value;
                    {
                        std::lock_guard<std::mutex> hold(group.tokenMutex);
                        if (!group.present) {
                            Fail("no lost wake-ups",
                                 "auto-reset group: a wait returned with no Signal to take");
                        }
                        group.present = false;
                        value = group.value;
                    }
                    group.ack.Signal();
                    if (value == kQuit) break;
                    ++group.consumed[static_cast<std::size_t>(c)];
                }
                return kDone;
            });
        }
        RunSlice(stop);
        crew.Join();
    }
    for (const Pair& pair : pairs) {
        if (pair.produced != pair.consumed) {
            Fail("no lost wake-ups", "auto-reset pair: %ld items signalled, %ld taken",
                 pair.produced, pair.consumed);
        }
        g_figures.handoffs += static_cast<unsigned long long>(pair.produced);
    }
    long consumed = 0;
    for (long c : group.consumed) consumed += c;
    if (consumed != group.produced) {
        Fail("no lost wake-ups", "auto-reset group: %ld tokens signalled, %ld taken",
             group.produced, consumed);
    }
    g_figures.handoffs += static_cast<unsigned long long>(group.produced);
}

// ---- request and reply ----

// Several clients send requests to one server through SignalAndWaitForReply;
// each request must be taken once and answered once.
void RequestReplyPhase() {
    g_phase.store("request and reply");
    SynchEvent request(false, false, nullptr);
    std::atomic<long> served{0};
    std::atomic<bool> quit{false};
    std::atomic<bool> stop{false};
    constexpr int kClients = 3;
    std::vector<long> sent(kClients, 0);

    Crew server;
    server.Add([&] {
        for (;;) {
            request.WaitForSignal();
            served.fetch_add(1);
            const bool last = quit.load();
            request.Reply();
            if (last) return kDone;
        }
    });
    {
        Crew clients;
        for (int i = 0; i < kClients; ++i) {
            clients.Add([&, i] {
                while (!stop.load(std::memory_order_relaxed)) {
                    const long before = served.load();
                    request.SignalAndWaitForReply();
                    if (served.load() <= before) {
                        Fail("no lost wake-ups",
                             "SignalAndWaitForReply returned before its request was taken");
                    }
                    ++sent[static_cast<std::size_t>(i)];
                }
                return kDone;
            });
        }
        RunSlice(stop);
        clients.Join();
    }
    quit.store(true);
    request.SignalAndWaitForReply();
    server.Join();

    long total = 0;
    for (long s : sent) total += s;
    if (served.load() != total + 1) {
        Fail("no lost wake-ups", "request and reply: %ld requests answered, %ld served", total + 1,
             served.load());
    }
    g_figures.requests += static_cast<unsigned long long>(total);
}

// ---- manual-reset broadcast ----

// The controller raises a generation, signals a manual-reset event and waits
// until every waiter has come back from its wait having seen that generation;
// only then does it unsignal the event for the next round. A waiter that
// returned early sees an old generation; one that missed the Signal hangs.
void BroadcastPhase(unsigned round) {
    g_phase.store("manual-reset broadcast");
    constexpr int kWaiters = 4;
    SynchEvent event(true, false, nullptr);
    std::atomic<long> generation{0};
    std::mutex mutex;
    std::condition_variable changed;
    long current = 0;  // the round the waiters are asked to join
    int arrived = 0;
    int released = 0;
    bool quit = false;

    Crew crew;
    for (int w = 0; w < kWaiters; ++w) {
        const bool timed = (round + static_cast<unsigned>(w)) % 2 == 0;
        crew.Add([&, timed] {
            long mine = 0;
            for (;;) {
                {
                    std::unique_lock<std::mutex> hold(mutex);
                    changed.wait(hold, [&] { return quit || current > mine; });
                    if (quit) return kDone;
                    mine = current;
                    ++arrived;
                }
                changed.notify_all();
                if (timed) {
                    event.WaitForSignal(kHourMs);
                } else {
                    event.WaitForSignal();
                }
                const long seen = generation.load();
                if (seen != mine) {
                    Fail("manual-reset Signal releases every waiter",
                         "a waiter of round %ld came back at generation %ld", mine, seen);
                }
                {
                    std::lock_guard<std::mutex> hold(mutex);
                    ++released;
                }
                changed.notify_all();
            }
        });
    }

    const auto end = Clock::now() + kSlice;
    for (long r = 1; Clock::now() < end; ++r) {
        {
            std::unique_lock<std::mutex> hold(mutex);
            current = r;
            arrived = 0;
            released = 0;
            changed.notify_all();
            changed.wait(hold, [&] { return arrived == kWaiters; });
        }
        // Now and then give the waiters time to block in the wait itself.
        if (r % 8 == 0) std::this_thread::sleep_for(milliseconds(1));
        generation.store(r);
        event.Signal();
        {
            std::unique_lock<std::mutex> hold(mutex);
            changed.wait(hold, [&] { return released == kWaiters; });
        }
        event.Unsignal();
        ++g_figures.broadcasts;
        g_figures.broadcastWakes += kWaiters;
    }
    {
        std::lock_guard<std::mutex> hold(mutex);
        quit = true;
    }
    changed.notify_all();
    crew.Join();
}

// ---- thread object life cycles ----

std::atomic<unsigned long long> g_taskRuns{0};

// A short task: counts its run and returns its code. With a gate it first
// waits for the gate; with a spin count it passes that many event waits
// (cancellation points) before returning.
class Task : public ThreadHot {
  public:
    explicit Task(int code, SynchEvent* gate = nullptr, int spins = 0)
        : code_(code), gate_(gate), spins_(spins), pause_(false, false, nullptr) {}

    int Runs() const { return runs_.load(); }

  protected:
    int Run() override {
        ++runs_;
        ++g_taskRuns;
        if (gate_ != nullptr) gate_->WaitForSignal();
        for (int i = 0; i < spins_; ++i) pause_.WaitForSignal(0);
        return code_;
    }

  private:
    const int code_;
    SynchEvent* const gate_;
    const int spins_;
    SynchEvent pause_;
    std::atomic<int> runs_{0};
};

void Expect(bool condition, const char* what) {
    if (!condition) Fail("thread object life cycle", "%s", what);
}

void StartTask(ThreadHot& task, unsigned long stackSize, const char* what) {
    Expect(task.Start(stackSize), what);
    ++g_figures.threadsCreated;
}

// One pass of one of the life cycles, chosen by `pattern`.
void LifeCycle(unsigned pattern, Rng& rng) {
    const int code = 100 + static_cast<int>(rng.Next() % 100);
    switch (pattern % 6) {
        case 0: {  // start, wait for the stop event, delete at once
            auto* task = new Task(code);
            StartTask(*task, 0, "Start of a new object failed");
            task->WaitforSignal();
            Expect(task->GetExitCode() == code, "exit code wrong after the stop event");
            delete task;
            ++g_figures.threadsReclaimed;
            break;
        }
        case 1: {  // start with a stack size, WaitForStop
            Task task(code);
            StartTask(task, kStackSize, "Start with a stack size failed");
            Expect(task.WaitForStop(), "WaitForStop returned false for a started object");
            ++g_figures.threadsReclaimed;
            Expect(!task.HasThread(), "HasThread after WaitForStop");
            Expect(task.GetExitCode() == code, "exit code wrong after WaitForStop");
            Expect(task.Runs() == 1, "Run did not run exactly once");
            break;
        }
        case 2: {  // WaitForMultipleThreads over a few objects and a null entry
            constexpr int kCount = 4;
            std::unique_ptr<Task> tasks[kCount];
            ThreadHot* list[kCount] = {};
            const int hole = static_cast<int>(rng.Next() % kCount);
            for (int i = 0; i < kCount; ++i) {
                if (i == hole) continue;
                tasks[i] = std::make_unique<Task>(code + i);
                StartTask(*tasks[i], 0, "Start of one of several objects failed");
                list[i] = tasks[i].get();
            }
            Expect(ThreadHot::WaitForMultipleThreads(list, kCount),
                   "WaitForMultipleThreads returned false");
            for (int i = 0; i < kCount; ++i) {
                if (i == hole) continue;
                ++g_figures.threadsReclaimed;
                Expect(!tasks[i]->HasThread(), "HasThread after WaitForMultipleThreads");
                Expect(tasks[i]->GetExitCode() == code + i,
                       "exit code wrong after WaitForMultipleThreads");
            }
            break;
        }
        case 3: {  // restart of a finished object that was never joined
            Task task(code);
            StartTask(task, 0, "first Start failed");
            task.WaitforSignal();
            StartTask(task, kStackSize, "Start of a finished object failed");
            ++g_figures.threadsReclaimed;  // the restart joined the first thread
            Expect(task.WaitForStop(), "WaitForStop after a restart returned false");
            ++g_figures.threadsReclaimed;
            Expect(task.Runs() == 2, "a restarted object did not run twice");
            Expect(task.GetExitCode() == code, "exit code wrong after a restart");
            break;
        }
        case 4: {  // Start refused while the object has a thread, accepted after
            SynchEvent gate(false, false, nullptr);
            Task task(code, &gate);
            StartTask(task, 0, "Start of a gated object failed");
            Expect(!task.Start(0), "Start accepted an object that has a running thread");
            gate.Signal();
            Expect(task.WaitForStop(), "WaitForStop of a gated object returned false");
            ++g_figures.threadsReclaimed;
            gate.Signal();
            StartTask(task, 0, "Start after WaitForStop failed");
            Expect(task.WaitForStop(), "WaitForStop of a restarted object returned false");
            ++g_figures.threadsReclaimed;
            Expect(task.Runs() == 2, "a gated object did not run twice");
            break;
        }
        default: {  // Terminate racing with a thread that is ending by itself
            Task task(code, nullptr, static_cast<int>(rng.Next() % 8));
            StartTask(task, 0, "Start of a short task failed");
            for (unsigned i = rng.Next() % 16; i > 0; --i) sched_yield();
            if (task.Terminate()) ++g_figures.terminateRaces;
            Expect(task.WaitForStop(), "WaitForStop after Terminate returned false");
            ++g_figures.threadsReclaimed;
            Expect(!task.HasThread(), "HasThread after Terminate and WaitForStop");
            Expect(!task.Terminate(), "Terminate accepted an object whose thread was joined");
            break;
        }
    }
}

void LifeCyclePhase(unsigned round) {
    g_phase.store("thread object life cycles");
    std::atomic<bool> stop{false};
    {
        Crew owners;
        for (unsigned o = 0; o < 2; ++o) {
            owners.Add([&stop, round, o] {
                Rng rng(round * 7 + o);
                for (unsigned pass = o * 3; !stop.load(std::memory_order_relaxed); ++pass) {
                    LifeCycle(pass, rng);
                }
                return kDone;
            });
        }
        RunSlice(stop);
        owners.Join();
    }

    // A stack of the caller's own, lent to one Start while no other Start runs.
    g_phase.store("thread object on a lent stack");
    constexpr std::size_t kLentStack = 1024 * 1024;
    void* stack = std::aligned_alloc(4096, kLentStack);
    if (stack == nullptr) Fail("measurement", "no memory for a lent stack");
    {
        Task task(42);
        SetStackAddr(stack);
        StartTask(task, kLentStack, "Start on a lent stack failed");
        Expect(task.WaitForStop(), "WaitForStop of a thread on a lent stack returned false");
        ++g_figures.threadsReclaimed;
        Expect(task.GetExitCode() == 42, "exit code wrong for a thread on a lent stack");
    }
    std::free(stack);
}

// ---- Terminate of threads blocked in event waits ----

// Blocks in one event wait while it holds a section and a local with a
// destructor; records that the destructors ran on the way out.
class Blocked : public ThreadHot {
  public:
    enum class How { kWait, kTimedWait, kRequest };
    Blocked(SynchEvent& event, How how, CriticalSectionExt* held)
        : event_(event), how_(how), held_(held) {}
    ~Blocked() override { WaitForStop(); }

    Flag waiting;
    std::atomic<bool> unwound{false};
    std::atomic<bool> passed{false};

  protected:
    int Run() override {
        struct Unwound {
            std::atomic<bool>& flag;
            ~Unwound() { flag.store(true); }
        } unwound_guard{unwound};
        std::unique_ptr<CriticalSection::Lock> hold;
        if (held_ != nullptr) hold = std::make_unique<CriticalSection::Lock>(*held_);
        const std::string local(64, 'x');  // freed on the way out, or leaked
        waiting.Set();
        switch (how_) {
            case How::kWait:
                event_.WaitForSignal();
                break;
            case How::kTimedWait:
                event_.WaitForSignal(kHourMs);
                break;
            case How::kRequest:
                event_.SignalAndWaitForReply();
                break;
        }
        passed.store(true);
        return static_cast<int>(local.size());
    }

  private:
    SynchEvent& event_;
    const How how_;
    CriticalSectionExt* const held_;
};

void ExpectTerminated(bool condition, const char* what) {
    if (!condition) Fail("Terminate of a blocked thread", "%s", what);
}

// Asks `task` to end once it is about to block.
void AskToEnd(Blocked& task) {
    task.waiting.Wait();
    ExpectTerminated(task.Terminate(), "Terminate returned false for a blocked thread");
    ExpectTerminated(!task.HasThread(), "HasThread after Terminate");
}

// Waits for a thread that was asked to end and checks that it ended cleanly.
void ExpectEnded(Blocked& task) {
    task.WaitforSignal();  // the stop event is signalled on the way out
    ExpectTerminated(task.WaitForStop(), "WaitForStop after Terminate returned false");
    ++g_figures.threadsReclaimed;
    ++g_figures.terminated;
    ExpectTerminated(task.unwound.load(), "the destructors of the ended thread did not run");
    ExpectTerminated(!task.passed.load(), "the wait returned although nobody signalled");
    ExpectTerminated(!task.Terminate(), "Terminate accepted a joined object");
}

void TerminateBlocked(Blocked& task) {
    AskToEnd(task);
    ExpectEnded(task);
}

void StartBlocked(Blocked& task) {
    if (!task.Start(0)) Fail("Terminate of a blocked thread", "Start failed");
    ++g_figures.threadsCreated;
}

void TerminatePhase(unsigned round) {
    g_phase.store("Terminate of blocked threads");
    Rng rng(round);

    // One thread in an unlimited auto-reset wait and one in a long timed
    // manual-reset wait, each holding a section: the section must be free and
    // the event usable afterwards.
    for (bool manual : {false, true}) {
        SynchEvent event(manual, false, nullptr);
        CriticalSectionExt held;
        {
            Blocked task(event, manual ? Blocked::How::kTimedWait : Blocked::How::kWait, &held);
            StartBlocked(task);
            TerminateBlocked(task);
        }
        ExpectTerminated(!held.IsAcquired(), "a section held by the ended thread stayed held");
        {
            CriticalSectionExt::TryLock attempt(held);
            ExpectTerminated(attempt.IsAcquired(), "a section held by the ended thread is stuck");
        }
        event.Signal();
        event.WaitForSignal();  // hangs if the ended waiter kept the event's locks
        if (manual) event.Unsignal();
    }

    // Three threads on one auto-reset event: one in the wait, two queued
    // behind it (a queued thread reaches its cancellation point only when the
    // one before it has left). All are asked to end, in a random order.
    {
        SynchEvent event(false, false, nullptr);
        std::unique_ptr<Blocked> tasks[3];
        for (auto& task : tasks) {
            task = std::make_unique<Blocked>(event, Blocked::How::kWait, nullptr);
            StartBlocked(*task);
        }
        const unsigned first = rng.Next() % 3;
        for (unsigned k = 0; k < 3; ++k) AskToEnd(*tasks[(first + k) % 3]);
        for (auto& task : tasks) ExpectEnded(*task);
        event.Signal();
        event.WaitForSignal();
    }

    // A requester ended while it waits for a reply: the next request and
    // reply on that event still work.
    {
        SynchEvent event(false, false, nullptr);
        {
            Blocked task(event, Blocked::How::kRequest, nullptr);
            StartBlocked(task);
            TerminateBlocked(task);
        }
        event.Unsignal();  // the ended request was never taken
        Crew server;
        server.Add([&event] {
            event.WaitForSignal();
            event.Reply();
            return kDone;
        });
        event.SignalAndWaitForReply();  // hangs if the ended requester kept its lock
        server.Join();
    }
}

// ---- the run ----

int ParseSeconds(int argc, char** argv) {
    if (argc > 2) return -1;
    if (argc < 2) return 10;
    char* end = nullptr;
    const long seconds = std::strtol(argv[1], &end, 10);
    if (end == argv[1] || *end != '\0' || seconds < 1 || seconds > 86400) return -1;
    return static_cast<int>(seconds);
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = ParseSeconds(argc, argv);
    if (seconds < 0) {
        std::fprintf(stderr, "usage: bobbin_stress [seconds]   (1 to 86400, default 10)\n");
        return 2;
    }
    const auto start = Clock::now();
    Watchdog watchdog(std::chrono::seconds(seconds + 60));

    // Baseline: after one thread object has come and gone, since a sanitizer
    // may add a helper thread of its own at the first thread creation. A
    // joined thread may linger for a moment; take the lowest count seen.
    g_phase.store("baseline");
    const int before = TaskCount();
    {
        Crew first;
        first.Add([] { return kDone; });
        first.Join();
    }
    int baseline = TaskCount();
    for (auto until = Clock::now() + std::chrono::seconds(1);
         baseline > before && Clock::now() < until;) {
        std::this_thread::sleep_for(milliseconds(5));
        baseline = std::min(baseline, TaskCount());
    }

    Locks locks;
    const auto end = start + std::chrono::seconds(seconds);
    int fdWarm = 0;
    long rssWarm = 0;
    int tasksEnd = baseline;
    unsigned round = 0;
    do {
        ++round;
        LockPhase(locks, round);
        HandOffPhase(round);
        RequestReplyPhase();
        BroadcastPhase(round);
        LifeCyclePhase(round);
        TerminatePhase(round);

        g_phase.store("reclaiming threads");
        tasksEnd = SettledTaskCount(baseline);
        if (tasksEnd > baseline) {
            Fail("every thread object reclaimed",
                 "%d tasks in /proc/self/task after round %u, %d at the start", tasksEnd, round,
                 baseline);
        }
        if (round == 1) {
            fdWarm = FdCount();
            rssWarm = RssKiB();
        }
        ++g_figures.rounds;
    } while (Clock::now() < end);

    g_phase.store("final measurement");
    const int fdEnd = FdCount();
    const long rssEnd = RssKiB();
    if (fdEnd > fdWarm + kFdTolerance) {
        Fail("file descriptors flat", "%d open after the first round, %d at the end", fdWarm,
             fdEnd);
    }
    if (!kSanitized && rssEnd > rssWarm + kRssToleranceKiB) {
        Fail("memory flat", "VmRSS %ld KiB after the first round, %ld KiB at the end", rssWarm,
             rssEnd);
    }
    if (g_figures.threadsCreated.load() != g_figures.threadsReclaimed.load()) {
        Fail("every thread object reclaimed", "%llu threads created, %llu joined",
             g_figures.threadsCreated.load(), g_figures.threadsReclaimed.load());
    }

    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf(
        "bobbin_stress: passed: %.1f s, %llu rounds; lock takes %llu (%llu tries refused); "
        "auto-reset hand-offs %llu; requests answered %llu; broadcasts %llu (%llu waiters "
        "released); threads created %llu, reclaimed %llu, terminated while blocked %llu, "
        "terminated racing %llu; tasks %d -> %d; fds %d -> %d; VmRSS %ld -> %ld KiB%s\n",
        elapsed, g_figures.rounds.load(), g_figures.lockOps.load(), g_figures.triesRefused.load(),
        g_figures.handoffs.load(), g_figures.requests.load(), g_figures.broadcasts.load(),
        g_figures.broadcastWakes.load(), g_figures.threadsCreated.load(),
        g_figures.threadsReclaimed.load(), g_figures.terminated.load(),
        g_figures.terminateRaces.load(), baseline, tasksEnd, fdWarm, fdEnd, rssWarm, rssEnd,
        kSanitized ? " (not checked under a sanitizer)" : "");
    return 0;
}
