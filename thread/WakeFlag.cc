#include "thread/WakeFlag.h"

#include <errno.h>

#include "thread/MutexGuard.h"
#include "thread/Thread.h"

WakeFlag::WakeFlag() : wakeMutex(Thread::initializeMutex()), wake(false), wakeCond(Thread::initializeCondition()) {}

WakeFlag::~WakeFlag() {
    pthread_cond_destroy(wakeCond);
    delete wakeCond;
    delete wakeMutex;
}

void WakeFlag::raise() {
    MutexGuard guard(wakeMutex);
    if (wake) return;  // raised already and not yet seen: its one signal is enough
    wake = true;
    pthread_cond_signal(wakeCond);
}

void WakeFlag::wait() {
    MutexGuard guard(wakeMutex);
    while (!wake) wakeMutex->wait(wakeCond);
    wake = false;
}

void WakeFlag::wait(const struct timespec* deadline) {
    MutexGuard guard(wakeMutex);
    int result = 0;
    while (!wake && result != ETIMEDOUT) result = wakeMutex->wait(wakeCond, deadline);
    if (wake) wake = false;
}
