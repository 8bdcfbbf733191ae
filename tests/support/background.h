// Test helpers: calls on threads of their own, threads together, a soak's end.
#pragma once

#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <thread>
#include <vector>

namespace bobbin::testing {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// `op` on a thread of its own; the future's destructor waits for it to end.
inline std::future<void> InBackground(std::function<void()> op) {
    return std::async(std::launch::async, std::move(op));
}

inline bool StaysBlocked(const std::future<void>& op, std::chrono::milliseconds grace = 100ms) {
    return op.wait_for(grace) == std::future_status::timeout;
}

inline bool Finishes(const std::future<void>& op, std::chrono::milliseconds bound = 10s) {
    return op.wait_for(bound) == std::future_status::ready;
}

// Runs body(0) to body(count - 1) on threads of their own and joins them.
template <typename Body>
void OnThreads(int count, Body body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < count; ++t) threads.emplace_back(body, t);
    for (auto& thread : threads) thread.join();
}

// `seconds` from now, or BOBBIN_SOAK_SECONDS from now when that is set.
inline Clock::time_point SoakEnd(double seconds) {
    if (const char* value = std::getenv("BOBBIN_SOAK_SECONDS")) seconds = std::atof(value);
    return Clock::now() + std::chrono::microseconds(static_cast<long long>(seconds * 1e6));
}

}  // namespace bobbin::testing
