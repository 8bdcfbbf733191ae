// A worker makes a pass of work, then waits on an event with a time-out before
// the next pass; a server answers requests through the request-and-reply
// handshake; a manual-reset gate releases several threads at once.
#include <bobbin/sync/CriticalSection.h>
#include <bobbin/sync/SynchEvent.h>

#include <atomic>
#include <cstdio>
#include <thread>

int main() {
    std::atomic<bool> quit{false};

    // The worker: one pass, then at most 20 ms of rest, or less when woken.
    SynchEvent wake(false, false, nullptr);
    std::atomic<int> passes{0};
    std::thread worker([&] {
        while (!quit.load()) {
            ++passes;
            wake.WaitForSignal(20);
        }
    });

    // The server: waits for a request, does the job, replies.
    SynchEvent request(false, false, nullptr);
    CriticalSection jobs_lock;
    int jobs_done = 0;
    std::thread server([&] {
        for (;;) {
            request.WaitForSignal();
            if (quit.load()) break;
            {
                CriticalSection::Lock hold(jobs_lock);
                ++jobs_done;
            }
            request.Reply();
        }
    });

    for (int n = 1; n <= 3; ++n) {
        request.SignalAndWaitForReply();  // returns once the server has replied
        CriticalSection::Lock hold(jobs_lock);
        std::printf("request %d answered: %d jobs done\n", n, jobs_done);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    quit = true;
    wake.Signal();     // end the worker's rest at once
    request.Signal();  // let the server see the quit flag
    worker.join();
    server.join();
    std::printf("worker made %d passes in about 100 ms of rests of 20 ms\n", passes.load());

    SynchEvent gate(true, false, nullptr);  // manual-reset: releases every waiter
    std::atomic<int> through{0};
    std::thread a([&] {
        gate.WaitForSignal();
        ++through;
    });
    std::thread b([&] {
        gate.WaitForSignal();
        ++through;
    });
    gate.Signal();
    a.join();
    b.join();
    std::printf("manual-reset gate let %d threads through with one Signal\n", through.load());
    return jobs_done == 3 && through.load() == 2 ? 0 : 1;
}
