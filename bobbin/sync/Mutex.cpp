#include "bobbin/sync/Mutex.h"

#include "bobbin/internal/posix.h"

using bobbin::detail::ThrowIfFailed;

namespace {

// The attributes every Mutex is made with: one recursive attribute object for
// the process, set up by the first Mutex (a thread-safe static; a failed set-up
// throws and the next Mutex tries again) and never destroyed, since mutexes
// may be made until the process ends.
pthread_mutexattr_t* RecursiveAttributes() {
    static pthread_mutexattr_t storage;
    static pthread_mutexattr_t* const kAttributes = [] {
        ThrowIfFailed(pthread_mutexattr_init(&storage), "pthread_mutexattr_init");
        const int error = pthread_mutexattr_settype(&storage, PTHREAD_MUTEX_RECURSIVE);
        if (error != 0) pthread_mutexattr_destroy(&storage);
        ThrowIfFailed(error, "pthread_mutexattr_settype");
        return &storage;
    }();
    return kAttributes;
}

}  // namespace

Mutex::Mutex(const char* /*name*/) : mutex_handle(nullptr), mutex_attributes(nullptr) {
    pthread_mutexattr_t* const attributes = RecursiveAttributes();
    mutex_handle = bobbin::detail::NewMutex(attributes);
    mutex_attributes = attributes;
}

Mutex::~Mutex() {
    bobbin::detail::DeleteMutex(mutex_handle);
    mutex_handle = nullptr;
    mutex_attributes = nullptr;
}
