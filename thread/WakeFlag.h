#ifndef VELLORT_THREAD_WAKEFLAG_H
#define VELLORT_THREAD_WAKEFLAG_H

#include <pthread.h>
#include <time.h>

#include "thread/Mutex.h"

// What a worker loop sleeps on and a producer raises: the flag is kept until
// it is consumed, so a wake-up that arrives while the worker is busy is not
// lost, and several wake-ups before one wait count once. Thread and
// ThreadPoolTask each own one. raise() may be called from any thread; one
// thread waits.
class WakeFlag {
public:
    WakeFlag();
    ~WakeFlag();

    WakeFlag(const WakeFlag&) = delete;
    WakeFlag& operator=(const WakeFlag&) = delete;

    void raise() EXCLUDES(wakeMutex);
    // Sleeps until the flag is up, and lowers it.
    void wait() EXCLUDES(wakeMutex);
    // As wait(), returning at the latest at an absolute CLOCK_REALTIME
    // deadline (the flag is then left as it was).
    void wait(const struct timespec* deadline) EXCLUDES(wakeMutex);

private:
    Mutex* wakeMutex;
    bool wake GUARDED_BY(wakeMutex);
    pthread_cond_t* wakeCond;
};

#endif
