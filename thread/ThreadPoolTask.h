#ifndef VELLORT_THREAD_THREADPOOLTASK_H
#define VELLORT_THREAD_THREADPOOLTASK_H

#include "thread/WakeFlag.h"

// One job for a ThreadPool: derive and override work(). From schedule() on the
// task belongs to the pool, which deletes it right after work() returns.
//
// awaken() and waitForWakeSignal() are Thread's functions of the same names,
// on the task's own WakeFlag; long-lived tasks (a message client's worker)
// sleep on them.
class ThreadPoolTask {
public:
    ThreadPoolTask() = default;
    virtual ~ThreadPoolTask() = default;

    ThreadPoolTask(const ThreadPoolTask&) = delete;
    ThreadPoolTask& operator=(const ThreadPoolTask&) = delete;

    virtual void work() = 0;

    void awaken() { wake.raise(); }
    void waitForWakeSignal() { wake.wait(); }
    // As waitForWakeSignal(), returning at the latest at an absolute
    // CLOCK_REALTIME deadline.
    void waitForWakeSignal(const struct timespec* deadline) { wake.wait(deadline); }

private:
    WakeFlag wake;
};

#endif
