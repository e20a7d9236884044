#ifndef VELLORT_THREAD_MUTEXGUARD_H
#define VELLORT_THREAD_MUTEXGUARD_H

#include <pthread.h>

// Locks a daemon mutex for the guard's scope.
//
// The guard is also the cancellation clean-up handler around the region it
// covers: with glibc, cancelling a C++ thread unwinds its stack, and
// pthread_cleanup_push in C++ is itself a scope object whose destructor runs
// the handler. A thread cancelled while it holds a guard therefore unlocks the
// mutex on its way out, exactly as Thread::cleanup would.
//
// Always name the guard: `MutexGuard(mutex);` would unlock at the semicolon.
class MutexGuard {
public:
    explicit MutexGuard(pthread_mutex_t* mutex) : mutex_(mutex) { pthread_mutex_lock(mutex_); }
    ~MutexGuard() { pthread_mutex_unlock(mutex_); }

    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

private:
    pthread_mutex_t* mutex_;
};

#endif
