#include "net/BroadcastMessageThread.h"

#include <signal.h>

#include "log/LogFile.h"
#include "net/MessageWorkerThread.h"
#include "thread/MutexGuard.h"

BroadcastMessageThread::BroadcastMessageThread(const std::string& logFilePath,
                                               const std::set<MessageWorkerThread*>* workers, Mutex* workersMutex)
    : log(new LogFile(logFilePath)),
      workers(workers),
      workersMutex(workersMutex),
      droppedFrames(0),
      queueMutex(Thread::initializeMutex()) {}

BroadcastMessageThread::~BroadcastMessageThread() {
    delete queueMutex;
}

void BroadcastMessageThread::addToMessageQueue(const std::string& frame) {
    {
        MutexGuard guard(queueMutex);
        queue.push_back(frame);
        if (queue.size() > maxQueuedFrames) {
            queue.pop_front();
            ++droppedFrames;
        }
    }
    awaken();
}

void BroadcastMessageThread::run() {
    // Process-wide from here on: a write to a client that has gone must fail
    // with EPIPE, not end the daemon. The services' own sockets send with
    // MSG_NOSIGNAL, but the metrics endpoint's HTTP library sends without it.
    if (signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
        *log << "Error: Message service cannot ignore SIGPIPE" << endl;
    }
    for (;;) {
        waitForWakeSignal();
        std::list<std::string> batch;
        int64_t dropped;
        {
            MutexGuard guard(queueMutex);
            batch.swap(queue);
            dropped = droppedFrames;
            droppedFrames = 0;
        }
        if (dropped > 0) *log << "Warning: Message queue full; dropped " << dropped << " messages" << endl;
        if (batch.empty()) continue;
        // Lock order: worker-set mutex, then a worker's queue mutex (taken
        // inside addToMessageQueue), then that worker's wake-up mutex.
        MutexGuard guard(workersMutex);
        for (MessageWorkerThread* worker : *workers) worker->addToMessageQueue(batch);
    }
}
