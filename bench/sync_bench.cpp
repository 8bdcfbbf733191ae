// The locks and the event beside their standard peers: std::recursive_mutex
// and a recursive pthread mutex for the locks; a std::mutex +
// std::condition_variable event, notified under its lock, for the event, and
// an event on a bare futex word as the floor of a kernel wake-up.
#include <benchmark/benchmark.h>
#include <bobbin/sync/CriticalSection.h>
#include <bobbin/sync/Mutex.h>
#include <bobbin/sync/SynchEvent.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// The C library locks without bus-locked instructions while a process has
// never had a second thread; lock users have threads, so every case is timed
// in a process that has had one.
const bool kMultiThreaded = [] {
    std::thread([] {}).join();
    return true;
}();

// A recursive pthread mutex with Acquire/Release, the plain platform peer.
class PosixRecursive {
  public:
    PosixRecursive() {
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutex_init(&mutex_, &attributes);
        pthread_mutexattr_destroy(&attributes);
    }
    ~PosixRecursive() { pthread_mutex_destroy(&mutex_); }
    void Acquire() { pthread_mutex_lock(&mutex_); }
    void Release() { pthread_mutex_unlock(&mutex_); }

  private:
    pthread_mutex_t mutex_;
};

class StdRecursive {
  public:
    void Acquire() { mutex_.lock(); }
    void Release() { mutex_.unlock(); }

  private:
    std::recursive_mutex mutex_;
};

template <typename Lock>
void BM_Outermost(benchmark::State& state) {
    Lock lock;
    for (auto _ : state) {
        lock.Acquire();
        lock.Release();
    }
}

template <typename Lock>
void BM_Nested(benchmark::State& state) {
    Lock lock;
    lock.Acquire();
    for (auto _ : state) {
        lock.Acquire();
        lock.Release();
    }
    lock.Release();
}

// About 20 ns of work inside the lock: a chain of dependent volatile updates.
void Work() {
    static volatile unsigned sink = 0;
    for (int i = 0; i < 64; ++i) sink = sink + 1;
}

void BM_Work(benchmark::State& state) {
    for (auto _ : state) Work();
}
BENCHMARK(BM_Work);

template <typename Lock>
void BM_Contended(benchmark::State& state) {
    static Lock* lock = nullptr;
    if (state.thread_index() == 0) lock = new Lock;
    // Google Benchmark starts the threads' timing loops together after setup.
    for (auto _ : state) {
        lock->Acquire();
        Work();
        lock->Release();
    }
    if (state.thread_index() == 0) {
        delete lock;
        lock = nullptr;
    }
}

#define LOCK_BENCHMARKS(Lock)               \
    BENCHMARK_TEMPLATE(BM_Outermost, Lock); \
    BENCHMARK_TEMPLATE(BM_Nested, Lock);    \
    BENCHMARK_TEMPLATE(BM_Contended, Lock)->Threads(2)->UseRealTime()

LOCK_BENCHMARKS(CriticalSection);
LOCK_BENCHMARKS(CriticalSectionExt);
LOCK_BENCHMARKS(Mutex);
LOCK_BENCHMARKS(StdRecursive);
LOCK_BENCHMARKS(PosixRecursive);

// The floor of a nested acquire+release of a critical section: one visit to its
// map per operation, each a lock and unlock of a plain mutex.
void BM_TwoPlainLockUnlockPairs(benchmark::State& state) {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    for (auto _ : state) {
        pthread_mutex_lock(&mutex);
        pthread_mutex_unlock(&mutex);
        pthread_mutex_lock(&mutex);
        pthread_mutex_unlock(&mutex);
    }
}
BENCHMARK(BM_TwoPlainLockUnlockPairs);

// An auto-reset event built from the standard pieces, notified under its lock
// so that a waiter may destroy it as soon as its wait returns.
class StdEvent {
  public:
    void Signal() {
        std::lock_guard<std::mutex> hold(mutex_);
        signalled_ = true;
        condition_.notify_one();
    }
    void WaitForSignal() {
        std::unique_lock<std::mutex> hold(mutex_);
        condition_.wait(hold, [this] { return signalled_; });
        signalled_ = false;
    }

  private:
    std::mutex mutex_;
    std::condition_variable condition_;
    bool signalled_ = false;
};

// An auto-reset event for one waiter on a bare futex word: 0 clear, 1 set,
// 2 clear with the waiter asleep. A Signal makes one system call, and only
// when the waiter sleeps: what no event with a queue of waiters can beat.
class FutexEvent {
  public:
    void Signal() {
        if (word_.exchange(1) == 2) Futex(FUTEX_WAKE_PRIVATE, 1);
    }
    void WaitForSignal() {
        for (int seen = 1; !word_.compare_exchange_strong(seen, 0); seen = 1) {
            if (seen == 0 && !word_.compare_exchange_strong(seen, 2)) continue;
            Futex(FUTEX_WAIT_PRIVATE, 2);
        }
    }

  private:
    void Futex(int op, int value) {
        syscall(SYS_futex, reinterpret_cast<int*>(&word_), op, value, nullptr, nullptr, 0);
    }
    std::atomic<int> word_{0};
};

struct FutexEventPair {
    FutexEvent ping;
    FutexEvent pong;
};

struct SynchEventPair {
    SynchEvent ping{false, false, nullptr};
    SynchEvent pong{false, false, nullptr};
};

// An auto-reset event waited for together with a second event that stays
// unsignalled (a worker's "work or stop"), through WaitForMultipleEvents.
class WaitAnyEvent {
  public:
    void Signal() { event_.Signal(); }
    void WaitForSignal() { WaitForMultipleEvents(events_, 2, false, SynchEvent::kInfinite); }

  private:
    SynchEvent event_{false, false, nullptr};
    SynchEvent stop_{false, false, nullptr};
    SynchEvent* const events_[2] = {&event_, &stop_};
};
struct WaitAnyPair {
    WaitAnyEvent ping;
    WaitAnyEvent pong;
};
struct StdEventPair {
    StdEvent ping;
    StdEvent pong;
};

// One round trip: this thread signals ping and waits for pong; a partner
// thread waits for ping and signals pong.
template <typename Pair>
void BM_PingPong(benchmark::State& state) {
    Pair pair;
    std::atomic<bool> quit{false};
    std::thread partner([&] {
        for (;;) {
            pair.ping.WaitForSignal();
            if (quit.load()) return;
            pair.pong.Signal();
        }
    });
    for (auto _ : state) {
        pair.ping.Signal();
        pair.pong.WaitForSignal();
    }
    quit = true;
    pair.ping.Signal();
    partner.join();
}
BENCHMARK_TEMPLATE(BM_PingPong, SynchEventPair)->UseRealTime();
BENCHMARK_TEMPLATE(BM_PingPong, WaitAnyPair)->UseRealTime();
BENCHMARK_TEMPLATE(BM_PingPong, StdEventPair)->UseRealTime();
BENCHMARK_TEMPLATE(BM_PingPong, FutexEventPair)->UseRealTime();

// Two pairs at once, each on its own events: whatever the pairs share (a
// lock of the library's) shows as lost throughput.
template <typename Pair>
void BM_TwoPairs(benchmark::State& state) {
    BM_PingPong<Pair>(state);
}
BENCHMARK_TEMPLATE(BM_TwoPairs, SynchEventPair)->Threads(2)->UseRealTime();
BENCHMARK_TEMPLATE(BM_TwoPairs, WaitAnyPair)->Threads(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
