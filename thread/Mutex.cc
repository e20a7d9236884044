#include "thread/Mutex.h"

Mutex::Mutex(Type type) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, type == RECURSIVE ? PTHREAD_MUTEX_RECURSIVE : PTHREAD_MUTEX_NORMAL);
    pthread_mutex_init(&mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

Mutex::~Mutex() {
    pthread_mutex_destroy(&mutex);
}

void Mutex::lock() {
    pthread_mutex_lock(&mutex);
}

void Mutex::unlock() {
    pthread_mutex_unlock(&mutex);
}

int Mutex::wait(pthread_cond_t* condition) {
    return pthread_cond_wait(condition, &mutex);
}

int Mutex::wait(pthread_cond_t* condition, const struct timespec* deadline) {
    return pthread_cond_timedwait(condition, &mutex, deadline);
}
