#include "ledger/DebitListThread.h"

#include "thread/MutexGuard.h"

DebitListThread::PollundInfo DebitListThread::pollundInfo = {0, 0, 0};
pthread_mutex_t* DebitListThread::__pollundInfoMutex = Thread::initializeMutex();

void DebitListThread::setPollundInfo(const PollundInfo& info) {
    MutexGuard guard(__pollundInfoMutex);
    pollundInfo = info;
}

DebitListThread::PollundInfo DebitListThread::getPollundInfo() {
    MutexGuard guard(__pollundInfoMutex);
    return pollundInfo;
}
