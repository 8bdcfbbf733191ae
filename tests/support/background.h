// Test helper: runs an operation on its own thread and tells whether it has
// finished, so that tests can show that a call blocks and is later released.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <utility>

namespace bobbin::testing {

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

    bool Done() const { return done_.load(); }

    // True if the operation has still not finished after `grace`.
    bool StaysBlocked(std::chrono::milliseconds grace = std::chrono::milliseconds(100)) {
        std::this_thread::sleep_for(grace);
        return !done_.load();
    }

    // Waits up to `bound` for the operation to finish; true if it did, and then
    // the thread is joined.
    bool Finishes(std::chrono::milliseconds bound = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (!done_.load()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
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
