#include "thread/ThreadPool.h"

#include "thread/MutexGuard.h"
#include "thread/ThreadPoolTask.h"

ThreadPool::ThreadPool(int size)
    : started(0),
      startErrno(0),
      threads(new pthread_t[size > 0 ? size : 1]),
      busyMutex(new Mutex(Mutex::NORMAL)),
      busy(0),
      freeCond(_initCondition()),
      queueMutex(new Mutex(Mutex::NORMAL)),
      queued(0),
      stopping(false),
      queueCond(_initCondition()) {
    for (int i = 0; i < size; ++i) {
        // A thread that cannot be created leaves a smaller pool.
        const int result = pthread_create(&threads[started], nullptr, &ThreadPool::_startThread, this);
        if (result == 0)
            ++started;
        else if (startErrno == 0)
            startErrno = result;
    }
}

ThreadPool::~ThreadPool() {
    {
        MutexGuard guard(queueMutex);
        stopping = true;
        pthread_cond_broadcast(queueCond);
    }
    for (int i = 0; i < started; ++i) pthread_join(threads[i], nullptr);
    {
        MutexGuard guard(queueMutex);  // the threads are gone: for the analysis only
        for (ThreadPoolTask* task : queue) delete task;
    }
    pthread_cond_destroy(freeCond);
    pthread_cond_destroy(queueCond);
    delete busyMutex;
    delete freeCond;
    delete queueMutex;
    delete queueCond;
    delete[] threads;
}

void ThreadPool::schedule(ThreadPoolTask* task) {
    if (started == 0) {
        // Queued, it would never run.
        task->work();
        delete task;
        return;
    }
    {
        // Counted from now, not from when a thread takes it: a task still in
        // the queue holds its thread as much as one at work.
        MutexGuard guard(busyMutex);
        ++busy;
    }
    MutexGuard guard(queueMutex);
    ++queued;
    queue.push_back(task);
    pthread_cond_signal(queueCond);
}

void ThreadPool::waitForFreeThread() {
    MutexGuard guard(busyMutex);
    while (busy >= started && started > 0) busyMutex->wait(freeCond);
}

void* ThreadPool::_startThread(void* arg) {
    ThreadPool* pool = static_cast<ThreadPool*>(arg);
    for (;;) {
        ThreadPoolTask* task;
        {
            MutexGuard guard(pool->queueMutex);
            while (pool->queued == 0 && !pool->stopping) pool->queueMutex->wait(pool->queueCond);
            if (pool->stopping) return nullptr;
            task = pool->queue.front();
            pool->queue.pop_front();
            --pool->queued;
        }
        task->work();
        delete task;
        {
            MutexGuard guard(pool->busyMutex);
            --pool->busy;
            pthread_cond_signal(pool->freeCond);
        }
    }
}

pthread_cond_t* ThreadPool::_initCondition() {
    pthread_cond_t* condition = new pthread_cond_t;
    pthread_cond_init(condition, nullptr);
    return condition;
}
