// Test helpers: calls on threads of their own, threads together, a soak's end,
// a thread's /proc files, and platform calls failed on purpose (the last are
// defined in platform_faults.cpp, which a test program then links).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <string>
#include <system_error>
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

// The text of /proc/self/task/<tid>/<file> ("comm", "stat"); empty once the thread is gone.
inline std::string TaskFile(pid_t tid, const char* file) {
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/" + file;
    char text[512];
    size_t length = 0;
    if (FILE* in = std::fopen(path.c_str(), "r")) {
        length = std::fread(text, 1, sizeof text, in), std::fclose(in);
    }
    return std::string(text, length);
}

// Fails the `nth` next call of `function` on this thread with ENOMEM (12);
// null disarms.
void FailPlatformCall(const char* function, int nth);

// Makes the kernel refuse this thread's futex waits from now on (seccomp);
// false if it cannot.
bool RefuseFutexWaits();

// Whether the failure armed by FailPlatformCall has been used.
bool PlatformCallFailed();

// Starts to follow the platform mutexes and conditions this thread makes and
// destroys; PlatformObjectsBreach stops it and tells what was left undestroyed
// or destroyed without being made ("" when nothing).
void TrackPlatformObjects();
std::string PlatformObjectsBreach();

// Fails the 1st, 2nd, ... call of `function` in `build`, until a build makes
// no such call any more. Each failure must throw std::system_error, and every
// platform mutex and condition made in a build must be destroyed once. Returns
// the first breach, or "" when none.
template <typename Build>
std::string InitFailuresCleanUp(const char* function, Build build) {
    for (int nth = 1; nth < 64; ++nth) {
        FailPlatformCall(function, nth);
        TrackPlatformObjects();
        bool thrown = false;
        try {
            build();
        } catch (const std::system_error&) {
            thrown = true;
        }
        const bool failed = PlatformCallFailed();
        FailPlatformCall(nullptr, 0);
        const std::string breach = PlatformObjectsBreach();
        const std::string call = "call " + std::to_string(nth) + " of " + function;
        if (failed != thrown) return call + (failed ? " failed unreported" : " threw unfailed");
        if (!breach.empty()) return call + ": " + breach;
        if (!failed) return "";
    }
    return std::string("no end to the calls of ") + function;
}

// How often `build` throws as the 1st, 2nd, ... call of `function` fails.
template <typename Build>
int FailuresUntilBuilt(const char* function, Build build) {
    for (int failures = 0;; ++failures) {
        FailPlatformCall(function, failures + 1);
        try {
            build();
            return FailPlatformCall(nullptr, 0), failures;
        } catch (const std::system_error&) {
        }
    }
}

}  // namespace bobbin::testing
