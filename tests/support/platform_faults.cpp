#include <dlfcn.h>
#include <linux/filter.h>
#include <linux/futex.h>
#include <linux/seccomp.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstddef>
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

extern "C" int pthread_cond_clockwait(pthread_cond_t* c, pthread_mutex_t* m, clockid_t clock,
                                      const timespec* t) {
    return Call<decltype(&pthread_cond_clockwait)>("pthread_cond_clockwait", c, m, clock, t);
}

// A seccomp filter of this thread: futex calls of the FUTEX_WAIT_BITSET_PRIVATE
// kind fail with ENOSYS; the C library's mutexes use other kinds.
bool bobbin::testing::RefuseFutexWaits() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_futex, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[1])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, FUTEX_WAIT_BITSET_PRIVATE, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}
