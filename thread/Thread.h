#ifndef VELLORT_THREAD_THREAD_H
#define VELLORT_THREAD_THREAD_H

#include <pthread.h>
#include <time.h>

#include "thread/Mutex.h"
#include "thread/WakeFlag.h"

// Base of every long-running activity of the daemon: derive, override run(),
// call start(). The thread is detached at once; waiting for it means waiting on
// its finished flag with join().
//
// Worker loops sleep in waitForWakeSignal() and producers call awaken(), on
// the thread's WakeFlag: a wake-up that arrives while the worker is busy is
// not lost, and several wake-ups before one wait count once.
//
// awaken() and join() may be called from any thread; run() runs on the new one.
// The object must outlive its thread: in the daemon every thread object lives
// for the whole process.
class Thread {
public:
    Thread();
    virtual ~Thread();

    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // 0 on success, else the error code of pthread_create (the object then
    // stays not running, so join() returns at once).
    int start();
    // Returns 0 once run() has ended, at once for a thread never started.
    int join();
    // As join(), with an absolute CLOCK_REALTIME deadline: ETIMEDOUT when it passes first.
    int join(const struct timespec* deadline);

    void awaken();
    void waitForWakeSignal();
    // As waitForWakeSignal(), returning at the latest at an absolute
    // CLOCK_REALTIME deadline (the wake flag is then left as it was).
    void waitForWakeSignal(const struct timespec* deadline);

    static void* startThread(void* thread);
    // Marks the thread finished once run() has returned.
    static void finalCleanup(void* thread);

    // Heap mutex of recursive type, and heap condition variable; the caller owns them.
    static Mutex* initializeMutex();
    static pthread_cond_t* initializeCondition();

protected:
    virtual void run() = 0;

private:
    pthread_t thread;

    Mutex* finishedMutex;
    bool finished GUARDED_BY(finishedMutex);
    pthread_cond_t* finishedCond;

    WakeFlag wake;
};

#endif
