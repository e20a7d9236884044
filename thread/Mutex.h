#ifndef VELLORT_THREAD_MUTEX_H
#define VELLORT_THREAD_MUTEX_H

#include <pthread.h>

#include "thread/ThreadAnnotations.h"

// A POSIX mutex that the compiler knows as a lock: data declared
// GUARDED_BY(it) may only be touched while it is held, which `-Wthread-safety`
// checks. The daemon's own mutexes are recursive and live on the heap
// (Thread::initializeMutex); the thread pool's are of the normal type. Take it
// through a MutexGuard; the analysis does not follow a recursive lock, so a
// function that already holds it says so with REQUIRES instead of locking
// again.
class CAPABILITY("mutex") Mutex {
public:
    enum Type { NORMAL, RECURSIVE };

    explicit Mutex(Type type);
    ~Mutex();

    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() ACQUIRE();
    void unlock() RELEASE();

    // The caller holds it; waits on `condition` (released meanwhile), and
    // returns with it held again. The result is pthread_cond_wait's.
    int wait(pthread_cond_t* condition) REQUIRES(this);
    // As wait(), up to an absolute CLOCK_REALTIME deadline (ETIMEDOUT).
    int wait(pthread_cond_t* condition, const struct timespec* deadline) REQUIRES(this);

private:
    pthread_mutex_t mutex;
};

#endif
