#include "platform_faults.h"

#include <dlfcn.h>
#include <pthread.h>

#include <cstring>

namespace {

thread_local const char* t_function = nullptr;
thread_local int t_countdown = 0;
thread_local int t_error = 0;

// True when this call of `function` is the one armed to fail.
bool FailsNow(const char* function) {
    if (t_function == nullptr || std::strcmp(function, t_function) != 0 || --t_countdown > 0) {
        return false;
    }
    t_function = nullptr;
    return true;
}

template <typename F>
F Next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

void bobbin::testing::FailPlatformCall(const char* function, int nth, int error) {
    t_function = function;
    t_countdown = nth;
    t_error = error;
}

extern "C" int pthread_mutex_init(pthread_mutex_t* mutex, const pthread_mutexattr_t* attr) {
    if (FailsNow("pthread_mutex_init")) return t_error;
    return Next<decltype(&pthread_mutex_init)>("pthread_mutex_init")(mutex, attr);
}

extern "C" int pthread_cond_init(pthread_cond_t* cond, const pthread_condattr_t* attr) {
    if (FailsNow("pthread_cond_init")) return t_error;
    return Next<decltype(&pthread_cond_init)>("pthread_cond_init")(cond, attr);
}

extern "C" int pthread_cond_timedwait(pthread_cond_t* cond, pthread_mutex_t* mutex,
                                      const struct timespec* deadline) {
    if (FailsNow("pthread_cond_timedwait")) return t_error;
    return Next<decltype(&pthread_cond_timedwait)>("pthread_cond_timedwait")(cond, mutex, deadline);
}
