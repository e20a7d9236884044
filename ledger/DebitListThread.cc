#include "ledger/DebitListThread.h"

#include "thread/MutexGuard.h"

Mutex* DebitListThread::__pollundInfoMutex = Thread::initializeMutex();
DebitListThread::PollundInfo DebitListThread::pollundInfo = {0, 0, 0};

void DebitListThread::setPollundInfo(const PollundInfo& info) {
    MutexGuard guard(__pollundInfoMutex);
    pollundInfo = info;
}

DebitListThread::PollundInfo DebitListThread::getPollundInfo() {
    MutexGuard guard(__pollundInfoMutex);
    return pollundInfo;
}
