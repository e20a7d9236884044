#ifndef VELLORT_THREAD_THREADPOOL_H
#define VELLORT_THREAD_THREADPOOL_H

#include <pthread.h>

#include <list>

class ThreadPoolTask;

// A fixed set of POSIX threads that run queued tasks first in, first out, at
// most `size` at a time. The queue is unbounded: schedule() never blocks, so a
// caller that wants at most one task waiting calls waitForFreeThread() first.
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

    void schedule(ThreadPoolTask* task);
    // Returns as soon as fewer than `size` tasks are inside work().
    void waitForFreeThread();

private:
    static void* _startThread(void* pool);
    static pthread_mutex_t* _initMutex();
    static pthread_cond_t* _initCondition();

    int size;
    int started;                    // threads actually created

    int busy;                       // guarded by busyMutex
    pthread_t* threads;
    pthread_mutex_t* busyMutex;
    pthread_cond_t* freeCond;

    std::list<ThreadPoolTask*> queue;  // guarded by queueMutex, with queued and stopping
    int queued;
    bool stopping;
    pthread_mutex_t* queueMutex;
    pthread_cond_t* queueCond;
};

#endif
