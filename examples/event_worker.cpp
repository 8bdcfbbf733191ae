// A worker makes a pass of work, then waits on an event with a time-out before
// the next pass; a server answers requests through the request-and-reply
// handshake; a manual-reset gate releases several threads at once; a thread
// object sleeps until it has work or is asked to stop, in one wait on two
// events.
#include <bobbin/sync/CriticalSection.h>
#include <bobbin/sync/SynchEvent.h>
#include <bobbin/thread/ThreadHot.h>

#include <atomic>
#include <cstdio>
#include <thread>

// Takes jobs on a thread of its own. Run waits for its work event or its stop
// event with WaitForMultipleEvents: no time-out to tune, no polling. The work
// event comes first, so jobs posted before Stop are done before the thread
// ends (a wait-any returns the lowest index signalled).
class JobWorker : public ThreadHot {
  public:
    ~JobWorker() override { Stop(); }

    void Post() {
        {
            CriticalSection::Lock hold(lock_);
            ++pending_;
        }
        work_.Signal();  // Signals made before the worker wakes count as one
    }

    // Asks Run to end and joins the thread. Safe to call more than once.
    void Stop() {
        stop_.Signal();  // manual-reset: stays set until the thread has seen it
        WaitForStop();
    }

  protected:
    int Run() override {
        SynchEvent* const events[] = {&work_, &stop_};
        int done = 0;
        while (WaitForMultipleEvents(events, 2, false, SynchEvent::kInfinite) == 0) {
            CriticalSection::Lock hold(lock_);
            done += pending_;
            pending_ = 0;
        }
        return done;  // becomes the exit code
    }

  private:
    SynchEvent work_{false, false, nullptr};
    SynchEvent stop_{true, false, nullptr};
    CriticalSection lock_;
    int pending_ = 0;
};

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

    JobWorker jobs;
    jobs.Start(0);
    for (int n = 0; n < 5; ++n) jobs.Post();
    jobs.Stop();
    std::printf("job worker did %d jobs before it stopped\n", jobs.GetExitCode());
    return jobs_done == 3 && through.load() == 2 && jobs.GetExitCode() == 5 ? 0 : 1;
}
