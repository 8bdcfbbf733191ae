#include <dlfcn.h>
#include <pthread.h>

#include <cstring>

#include "background.h"

namespace {

thread_local const char* t_function = nullptr;
thread_local int t_countdown = 0;

template <typename F, typename... Args>
int Call(const char* function, Args... args) {
    if (t_function != nullptr && std::strcmp(function, t_function) == 0 && --t_countdown == 0) {
        t_function = nullptr;
        return 12;
    }
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, function))(args...);
}

}  // namespace

void bobbin::testing::FailPlatformCall(const char* function, int nth) {
    t_function = function, t_countdown = nth;
}

extern "C" int pthread_mutex_init(pthread_mutex_t* m, const pthread_mutexattr_t* a) {
    return Call<decltype(&pthread_mutex_init)>("pthread_mutex_init", m, a);
}

extern "C" int pthread_cond_init(pthread_cond_t* c, const pthread_condattr_t* a) {
    return Call<decltype(&pthread_cond_init)>("pthread_cond_init", c, a);
}

extern "C" int pthread_cond_clockwait(pthread_cond_t* c, pthread_mutex_t* m, clockid_t clock,
                                      const timespec* t) {
    return Call<decltype(&pthread_cond_clockwait)>("pthread_cond_clockwait", c, m, clock, t);
}
