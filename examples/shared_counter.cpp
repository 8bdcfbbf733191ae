// Two threads update shared state under a CriticalSection::Lock while a third
// polls the same state with a CriticalSectionExt::TryLock, never waiting.
#include <bobbin/sync/CriticalSection.h>
#include <bobbin/sync/Mutex.h>

#include <atomic>
#include <cstdio>
#include <thread>

namespace {

struct Ledger {
    CriticalSectionExt lock;
    long deposits = 0;
    long balance = 0;

    void Deposit(long amount) {
        CriticalSection::Lock hold(lock);  // records this thread as owner
        ++deposits;
        Add(amount);  // nests: Add takes the lock again
    }
    void Add(long amount) {
        CriticalSection::Lock hold(lock);
        balance += amount;
    }
};

}  // namespace

int main() {
    Ledger ledger;
    std::atomic<bool> writers_done{false};
    long polls_won = 0;
    long polls_lost = 0;

    std::thread poller([&] {
        while (!writers_done.load()) {
            CriticalSectionExt::TryLock attempt(ledger.lock);
            if (attempt.IsAcquired()) {
                ++polls_won;  // a consistent view: balance == deposits * 10
                if (ledger.balance != ledger.deposits * 10) std::puts("inconsistent view!");
            } else {
                ++polls_lost;  // a writer held it; try again later
            }
            std::this_thread::yield();
        }
    });
    std::thread writer_a([&] {
        for (int i = 0; i < 100000; ++i) ledger.Deposit(10);
    });
    std::thread writer_b([&] {
        for (int i = 0; i < 100000; ++i) ledger.Deposit(10);
    });
    writer_a.join();
    writer_b.join();
    writers_done = true;
    poller.join();

    std::printf("deposits: %ld, balance: %ld (expected 2000000)\n", ledger.deposits,
                ledger.balance);
    std::printf("poller: %ld tries got the lock, %ld found it busy\n", polls_won, polls_lost);

    Mutex mutex("unused-name");
    {
        Mutex::Lock outer(mutex);
        Mutex::Lock inner(mutex);  // recursive: the same thread nests
        std::puts("recursive mutex taken twice by one thread and released by scope");
    }
    return ledger.balance == 2000000 ? 0 : 1;
}
