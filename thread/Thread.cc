#include "thread/Thread.h"

#include <errno.h>

#include "thread/MutexGuard.h"

Thread::Thread()
    : thread(),
      finished(true),
      finishedCond(initializeCondition()),
      finishedMutex(initializeMutex()),
      wake(false),
      wakeCond(initializeCondition()),
      wakeMutex(initializeMutex()) {}

Thread::~Thread() {
    pthread_cond_destroy(finishedCond);
    pthread_mutex_destroy(finishedMutex);
    pthread_cond_destroy(wakeCond);
    pthread_mutex_destroy(wakeMutex);
    delete finishedCond;
    delete finishedMutex;
    delete wakeCond;
    delete wakeMutex;
}

int Thread::start() {
    {
        MutexGuard guard(finishedMutex);
        finished = false;
    }
    int result = pthread_create(&thread, nullptr, &Thread::startThread, this);
    if (result != 0) {
        MutexGuard guard(finishedMutex);
        finished = true;
        pthread_cond_broadcast(finishedCond);
        return result;
    }
    return pthread_detach(thread);
}

void* Thread::startThread(void* arg) {
    Thread* self = static_cast<Thread*>(arg);
    // Popped with execute=1: a normal return marks the thread finished through
    // the same handler that a cancellation runs.
    pthread_cleanup_push(&Thread::finalCleanup, arg);
    self->run();
    pthread_cleanup_pop(1);
    return nullptr;
}

void Thread::finalCleanup(void* arg) {
    Thread* self = static_cast<Thread*>(arg);
    MutexGuard guard(self->finishedMutex);
    self->finished = true;
    pthread_cond_broadcast(self->finishedCond);
}

void Thread::cleanup(void* mutex) { pthread_mutex_unlock(static_cast<pthread_mutex_t*>(mutex)); }

int Thread::join() {
    MutexGuard guard(finishedMutex);
    int result = 0;
    while (!finished) result = pthread_cond_wait(finishedCond, finishedMutex);
    return result;
}

int Thread::join(const struct timespec* deadline) {
    MutexGuard guard(finishedMutex);
    while (!finished) {
        int result = pthread_cond_timedwait(finishedCond, finishedMutex, deadline);
        if (result == ETIMEDOUT) return finished ? 0 : ETIMEDOUT;
        // Any other failure is repeated, as the predicate decides.
    }
    return 0;
}

int Thread::cancel() { return pthread_cancel(thread); }

void Thread::awaken() {
    MutexGuard guard(wakeMutex);
    if (wake) return;  // woken already and not yet up: its one signal is enough
    wake = true;
    pthread_cond_signal(wakeCond);
}

void Thread::waitForWakeSignal() {
    pthread_mutex_lock(wakeMutex);
    pthread_cleanup_push(&Thread::cleanup, wakeMutex);
    while (!wake) pthread_cond_wait(wakeCond, wakeMutex);
    wake = false;
    pthread_cleanup_pop(1);
}

void Thread::waitForWakeSignal(const struct timespec* deadline) {
    pthread_mutex_lock(wakeMutex);
    pthread_cleanup_push(&Thread::cleanup, wakeMutex);
    int result = 0;
    while (!wake && result != ETIMEDOUT) result = pthread_cond_timedwait(wakeCond, wakeMutex, deadline);
    if (wake) wake = false;
    pthread_cleanup_pop(1);
}

pthread_mutex_t* Thread::initializeMutex() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_t* mutex = new pthread_mutex_t;
    pthread_mutex_init(mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    return mutex;
}

pthread_cond_t* Thread::initializeCondition() {
    pthread_cond_t* condition = new pthread_cond_t;
    pthread_cond_init(condition, nullptr);
    return condition;
}
