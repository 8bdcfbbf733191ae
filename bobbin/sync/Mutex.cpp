#include "bobbin/sync/Mutex.h"

#include <memory>

#include "bobbin/internal/posix.h"

using bobbin::detail::ThrowIfFailed;

Mutex::Mutex(const char* /*name*/) : mutex_handle(nullptr), mutex_attributes(nullptr) {
    auto attributes = std::make_unique<pthread_mutexattr_t>();
    ThrowIfFailed(pthread_mutexattr_init(attributes.get()), "pthread_mutexattr_init");
    try {
        ThrowIfFailed(pthread_mutexattr_settype(attributes.get(), PTHREAD_MUTEX_RECURSIVE),
                      "pthread_mutexattr_settype");
        mutex_handle = bobbin::detail::NewMutex(attributes.get());
    } catch (...) {
        pthread_mutexattr_destroy(attributes.get());
        throw;
    }
    mutex_attributes = attributes.release();
}

Mutex::~Mutex() {
    bobbin::detail::DeleteMutex(mutex_handle);
    pthread_mutexattr_destroy(mutex_attributes);
    delete mutex_attributes;
    mutex_handle = nullptr;
    mutex_attributes = nullptr;
}
