// Marks bobbin's public API: a shared bobbin exports these declarations and
// keeps everything else inside. Also Clang's thread-safety attributes, which
// let `clang -Wthread-safety` check which lock guards which field (empty for
// other compilers).
#pragma once

#include <pthread.h>

#define BOBBIN_EXPORT __attribute__((visibility("default")))
// A member of an exported class that stays inside the library.
#define BOBBIN_HIDDEN __attribute__((visibility("hidden")))

#if defined(__clang__)
#define BOBBIN_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define BOBBIN_THREAD_ANNOTATION(x)
#endif

#define BOBBIN_CAPABILITY(name) BOBBIN_THREAD_ANNOTATION(capability(name))
#define BOBBIN_SCOPED_CAPABILITY BOBBIN_THREAD_ANNOTATION(scoped_lockable)
#define BOBBIN_GUARDED_BY(x) BOBBIN_THREAD_ANNOTATION(guarded_by(x))
#define BOBBIN_PT_GUARDED_BY(x) BOBBIN_THREAD_ANNOTATION(pt_guarded_by(x))
#define BOBBIN_REQUIRES(...) BOBBIN_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define BOBBIN_ACQUIRE(...) BOBBIN_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define BOBBIN_RELEASE(...) BOBBIN_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define BOBBIN_TRY_ACQUIRE(...) BOBBIN_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define BOBBIN_EXCLUDES(...) BOBBIN_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define BOBBIN_NO_THREAD_SAFETY_ANALYSIS BOBBIN_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace bobbin::detail {
// pthread_mutex_t seen as a lock by the analysis; the same type to the
// compiler. Guard annotations name the mutex a field points to:
// BOBBIN_GUARDED_BY(*mutex).
typedef pthread_mutex_t PlatformMutex BOBBIN_CAPABILITY("mutex");
}  // namespace bobbin::detail
