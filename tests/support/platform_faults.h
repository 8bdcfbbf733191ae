// Test helper: fails one platform call of this thread with ENOMEM (12).
#pragma once

#include <system_error>

namespace bobbin::testing {

// Fails the `nth` next call of `function` on this thread; null disarms.
void FailPlatformCall(const char* function, int nth);

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
