// The road of one background task: a ThreadHot subclass whose Run does a pass
// of work, rests on an event with a time-out, and ends on its quit flag; the
// owner starts it with a stack size, stops it and deletes it.
#include <bobbin/sync/CriticalSection.h>
#include <bobbin/sync/SynchEvent.h>
#include <bobbin/thread/ThreadHot.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

class Indexer : public ThreadHot {
  public:
    Indexer() : wake_(false, false, nullptr) {}
    ~Indexer() override { Stop(); }

    // Asks Run to end and joins the thread. Safe to call more than once.
    void Stop() {
        quit_ = true;
        wake_.Signal();
        WaitForStop();
    }

    // Wakes the worker for a pass before its rest is over.
    void Nudge() { wake_.Signal(); }

    int Passes() const {
        CriticalSection::Lock hold(lock_);
        return passes_;
    }

  protected:
    int Run() override {
        while (!quit_) {
            {
                CriticalSection::Lock hold(lock_);  // one pass of work
                ++passes_;
            }
            wake_.WaitForSignal(25);  // rest up to 25 ms between passes
        }
        return Passes();  // becomes the exit code
    }

  private:
    std::atomic<bool> quit_{false};
    SynchEvent wake_;
    CriticalSection lock_;
    int passes_ = 0;
};

int main() {
    auto* task = new Indexer;
    task->SetThreadName("indexer");  // shown by top -H, ps -L, gdb and perf
    if (!task->Start(256 * 1024)) {  // a 256 KiB stack
        std::puts("could not start the task");
        return 1;
    }
    std::printf("started thread \"%s\": HasThread() = %d\n", task->GetThreadName().c_str(),
                task->HasThread());
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    task->Nudge();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));

    task->Stop();  // quit flag, signal, WaitForStop
    if (!task->TimedWaitForStop(1000)) std::puts("the task did not end within a second");
    std::printf("stopped: HasThread() = %d, exit code = %d passes, seen by owner = %d\n",
                task->HasThread(), task->GetExitCode(), task->Passes());
    const bool ok = !task->HasThread() && task->GetExitCode() == task->Passes();
    delete task;
    std::puts(ok ? "task deleted after a clean stop" : "unexpected state");
    return ok ? 0 : 1;
}
