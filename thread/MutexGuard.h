#ifndef VELLORT_THREAD_MUTEXGUARD_H
#define VELLORT_THREAD_MUTEXGUARD_H

#include "thread/Mutex.h"

// Holds a daemon mutex for the guard's scope; every early return unlocks it.
// unlock() and lock() let go of it for a stretch of work in between (a write
// outside the lock) and take it back; the destructor unlocks only what is
// held.
//
// Always name the guard: `MutexGuard(mutex);` would unlock at the semicolon.
class SCOPED_CAPABILITY MutexGuard {
public:
    explicit MutexGuard(Mutex* mutex) ACQUIRE(mutex) : mutex_(mutex), held_(true) { mutex_->lock(); }
    ~MutexGuard() RELEASE() {
        if (held_) mutex_->unlock();
    }

    void unlock() RELEASE() {
        mutex_->unlock();
        held_ = false;
    }
    void lock() ACQUIRE() {
        mutex_->lock();
        held_ = true;
    }

    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

private:
    Mutex* mutex_;
    bool held_;
};

#endif
