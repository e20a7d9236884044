#include "thread/Thread.h"

#include <errno.h>

#include "thread/MutexGuard.h"

Thread::Thread() : thread(), finishedMutex(initializeMutex()), finished(true), finishedCond(initializeCondition()) {}

Thread::~Thread() {
    pthread_cond_destroy(finishedCond);
    delete finishedCond;
    delete finishedMutex;
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
    static_cast<Thread*>(arg)->run();
    finalCleanup(arg);
    return nullptr;
}

void Thread::finalCleanup(void* arg) {
    Thread* self = static_cast<Thread*>(arg);
    MutexGuard guard(self->finishedMutex);
    self->finished = true;
    pthread_cond_broadcast(self->finishedCond);
}

int Thread::join() {
    MutexGuard guard(finishedMutex);
    int result = 0;
    while (!finished) result = finishedMutex->wait(finishedCond);
    return result;
}

int Thread::join(const struct timespec* deadline) {
    MutexGuard guard(finishedMutex);
    while (!finished) {
        int result = finishedMutex->wait(finishedCond, deadline);
        if (result == ETIMEDOUT) return finished ? 0 : ETIMEDOUT;
        // Any other failure is repeated, as the predicate decides.
    }
    return 0;
}

void Thread::awaken() { wake.raise(); }

void Thread::waitForWakeSignal() { wake.wait(); }

void Thread::waitForWakeSignal(const struct timespec* deadline) { wake.wait(deadline); }

Mutex* Thread::initializeMutex() { return new Mutex(Mutex::RECURSIVE); }

pthread_cond_t* Thread::initializeCondition() {
    pthread_cond_t* condition = new pthread_cond_t;
    pthread_cond_init(condition, nullptr);
    return condition;
}
