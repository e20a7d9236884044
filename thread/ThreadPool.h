#ifndef VELLORT_THREAD_THREADPOOL_H
#define VELLORT_THREAD_THREADPOOL_H

#include <pthread.h>

#include <list>

#include "thread/Mutex.h"

class ThreadPoolTask;

// A fixed set of POSIX threads that run queued tasks first in, first out, at
// most `size` at a time. The queue is unbounded: schedule() never blocks, so a
// caller that wants at most one task waiting calls waitForFreeThread() first.
//
// Threads that cannot be created (a limit on threads or memory) leave a
// smaller pool, and the throttle counts the threads that run; a pool left
// without any runs each task on the thread that schedules it, so that work
// still gets done, one task at a time. Its owner says so in its log.
//
// schedule() and waitForFreeThread() may be called from any thread. The pool
// owns every scheduled task and deletes it after its work().
//
// The daemon never destroys a pool. The destructor exists for the pool's other
// users: it stops the threads once their current tasks have returned, joins
// them and deletes the tasks that never ran.
class ThreadPool {
public:
    explicit ThreadPool(int size);
    ~ThreadPool();

    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // Without any thread, runs the task at once, on the calling thread.
    void schedule(ThreadPoolTask* task) EXCLUDES(busyMutex, queueMutex);
    // Returns as soon as fewer tasks are scheduled and unfinished than
    // threads were started, so that the next task finds a thread free; at
    // once for a pool without any.
    void waitForFreeThread() EXCLUDES(busyMutex);

    // How many of the `size` threads could be created, and why the first
    // that could not was refused (0 when all run).
    int startedThreads() const { return started; }
    int startError() const { return startErrno; }

private:
    static void* _startThread(void* pool);
    static pthread_cond_t* _initCondition();

    int started;     // threads actually created; fixed after the constructor
    int startErrno;  // of the first creation that failed

    pthread_t* threads;

    // A pool thread never holds both, and neither while it runs a task.
    Mutex* busyMutex;
    int busy GUARDED_BY(busyMutex);  // tasks scheduled and not yet finished
    pthread_cond_t* freeCond;

    Mutex* queueMutex;
    std::list<ThreadPoolTask*> queue GUARDED_BY(queueMutex);
    int queued GUARDED_BY(queueMutex);
    bool stopping GUARDED_BY(queueMutex);
    pthread_cond_t* queueCond;
};

#endif
