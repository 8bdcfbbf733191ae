#include <dlfcn.h>
#include <pthread.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <set>

#include "background.h"

namespace {

thread_local const char* t_function = nullptr;
thread_local int t_countdown = 0;

// The mutexes and conditions made on this thread while tracking is on.
thread_local bool t_tracking = false;
thread_local std::set<const void*> t_live;
thread_local int t_unmade_destroyed = 0;

void Made(int error, const void* object) {
    if (t_tracking && error == 0) t_live.insert(object);
}

void Destroyed(const void* object) {
    if (t_tracking && t_live.erase(object) == 0) ++t_unmade_destroyed;
}

bool Fails(const char* function) {
    if (t_function == nullptr || std::strcmp(function, t_function) != 0 || --t_countdown != 0) {
        return false;
    }
    t_function = nullptr;
    return true;
}

template <typename F, typename... Args>
int Call(const char* function, Args... args) {
    if (Fails(function)) return 12;
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, function))(args...);
}

}  // namespace

void bobbin::testing::FailPlatformCall(const char* function, int nth) {
    t_function = function, t_countdown = nth;
}

bool bobbin::testing::PlatformCallFailed() {
    return t_function == nullptr;
}

void bobbin::testing::TrackPlatformObjects() {
    t_tracking = true;
    t_live.clear();
    t_unmade_destroyed = 0;
}

std::string bobbin::testing::PlatformObjectsBreach() {
    t_tracking = false;
    if (!t_live.empty()) return std::to_string(t_live.size()) + " left undestroyed";
    if (t_unmade_destroyed != 0) return std::to_string(t_unmade_destroyed) + " destroyed unmade";
    return "";
}

extern "C" int pthread_mutex_init(pthread_mutex_t* m, const pthread_mutexattr_t* a) {
    const int error = Call<decltype(&pthread_mutex_init)>("pthread_mutex_init", m, a);
    Made(error, m);
    return error;
}

extern "C" int pthread_mutex_destroy(pthread_mutex_t* m) {
    Destroyed(m);
    return Call<decltype(&pthread_mutex_destroy)>("pthread_mutex_destroy", m);
}

extern "C" int pthread_cond_init(pthread_cond_t* c, const pthread_condattr_t* a) {
    const int error = Call<decltype(&pthread_cond_init)>("pthread_cond_init", c, a);
    Made(error, c);
    return error;
}

extern "C" int pthread_cond_destroy(pthread_cond_t* c) {
    Destroyed(c);
    return Call<decltype(&pthread_cond_destroy)>("pthread_cond_destroy", c);
}

// The futex calls fail as "futex" with ENOMEM; every other call passes on
// with the six arguments a system call may take.
extern "C" long syscall(long number, ...) {
    va_list list;
    va_start(list, number);
    long args[6];
    for (long& arg : args) arg = va_arg(list, long);
    va_end(list);
    if (number == SYS_futex && Fails("futex")) {
        errno = ENOMEM;
        return -1;
    }
    using Syscall = long (*)(long, ...);
    static const auto real = reinterpret_cast<Syscall>(dlsym(RTLD_NEXT, "syscall"));
    return real(number, args[0], args[1], args[2], args[3], args[4], args[5]);
}

extern "C" int pthread_cond_clockwait(pthread_cond_t* c, pthread_mutex_t* m, clockid_t clock,
                                      const timespec* t) {
    return Call<decltype(&pthread_cond_clockwait)>("pthread_cond_clockwait", c, m, clock, t);
}
