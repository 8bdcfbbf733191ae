#include "bobbin/sync/Mutex.h"

#include <memory>

Mutex::Mutex(const char* /*name*/) : mutex_handle(nullptr), mutex_attributes(nullptr) {
    auto handle = std::make_unique<pthread_mutex_t>();
    auto attributes = std::make_unique<pthread_mutexattr_t>();
    pthread_mutexattr_init(attributes.get());
    pthread_mutexattr_settype(attributes.get(), PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(handle.get(), attributes.get());
    mutex_handle = handle.release();
    mutex_attributes = attributes.release();
}

Mutex::~Mutex() {
    pthread_mutex_destroy(mutex_handle);
    pthread_mutexattr_destroy(mutex_attributes);
    delete mutex_handle;
    delete mutex_attributes;
    mutex_handle = nullptr;
    mutex_attributes = nullptr;
}
