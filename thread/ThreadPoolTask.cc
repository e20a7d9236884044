#include "thread/ThreadPoolTask.h"

#include "thread/MutexGuard.h"
#include "thread/Thread.h"

ThreadPoolTask::ThreadPoolTask()
    : wake(false), wakeCond(Thread::initializeCondition()), wakeMutex(Thread::initializeMutex()) {}

ThreadPoolTask::~ThreadPoolTask() {
    pthread_cond_destroy(wakeCond);
    pthread_mutex_destroy(wakeMutex);
    delete wakeCond;
    delete wakeMutex;
}

void ThreadPoolTask::awaken() {
    MutexGuard guard(wakeMutex);
    wake = true;
    pthread_cond_signal(wakeCond);
}

void ThreadPoolTask::waitForWakeSignal() {
    MutexGuard guard(wakeMutex);
    while (!wake) pthread_cond_wait(wakeCond, wakeMutex);
    wake = false;
}
