#ifndef VELLORT_THREAD_THREADPOOLTASK_H
#define VELLORT_THREAD_THREADPOOLTASK_H

#include <pthread.h>

// One job for a ThreadPool: derive and override work(). From schedule() on the
// task belongs to the pool, which deletes it right after work() returns.
//
// awaken() and waitForWakeSignal() follow the protocol of Thread's functions of
// the same names, on the task's own flag; long-lived tasks (a message client's
// worker) sleep on them.
class ThreadPoolTask {
public:
    ThreadPoolTask();
    virtual ~ThreadPoolTask();

    ThreadPoolTask(const ThreadPoolTask&) = delete;
    ThreadPoolTask& operator=(const ThreadPoolTask&) = delete;

    virtual void work() = 0;

    void awaken();
    void waitForWakeSignal();

private:
    bool wake;                      // guarded by wakeMutex
    pthread_cond_t* wakeCond;
    pthread_mutex_t* wakeMutex;
};

#endif
