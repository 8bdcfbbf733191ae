// Test helpers: an operation on its own thread that tells whether it has
// finished, so that tests can show that a call blocks and is later released;
// and the length of a soak.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>
#include <utility>

namespace bobbin::testing {

using Clock = std::chrono::steady_clock;

// When a soak that lasts `seconds` by default ends; BOBBIN_SOAK_SECONDS
// overrides the default.
inline Clock::time_point SoakEnd(double seconds) {
    if (const char* value = std::getenv("BOBBIN_SOAK_SECONDS")) seconds = std::atof(value);
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

class Background {
  public:
    explicit Background(std::function<void()> op)
        : thread_([this, op = std::move(op)] {
              op();
              done_.store(true);
          }) {}
    ~Background() { Join(); }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    // True if the operation has still not finished after `grace`.
    bool StaysBlocked(std::chrono::milliseconds grace = std::chrono::milliseconds(100)) {
        std::this_thread::sleep_for(grace);
        return !done_.load();
    }

    // Waits up to `bound` for the operation to finish; true if it did, and then
    // the thread is joined.
    bool Finishes(std::chrono::milliseconds bound = std::chrono::seconds(10)) {
        const auto deadline = Clock::now() + bound;
        while (!done_.load()) {
            if (Clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        Join();
        return true;
    }

    void Join() {
        if (thread_.joinable()) thread_.join();
    }

  private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

}  // namespace bobbin::testing
