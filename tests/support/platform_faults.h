// Test helper: makes one platform call of the calling thread fail on demand.
// The calls named below are interposed; every other call forwards to the real
// function (or to a sanitizer's interceptor of it).
#pragma once

namespace bobbin::testing {

// The `nth` next call of `function` ("pthread_mutex_init", "pthread_cond_init"
// or "pthread_cond_timedwait") made by this thread returns `error` instead.
void FailPlatformCall(const char* function, int nth, int error);

}  // namespace bobbin::testing
