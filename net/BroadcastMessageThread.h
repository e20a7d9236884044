#ifndef VELLORT_NET_BROADCASTMESSAGETHREAD_H
#define VELLORT_NET_BROADCASTMESSAGETHREAD_H

#include "thread/Mutex.h"
#include <stddef.h>
#include <stdint.h>

#include <list>
#include <memory>
#include <set>
#include <string>

#include "thread/Thread.h"

class LogFile;
class MessageWorkerThread;

// Moves the frames of the message service's central queue, batch by batch, to
// the queue of every client worker connected at that moment. A batch that finds
// no worker is dropped: nothing is kept for clients that connect later.
//
// addToMessageQueue is called by any sender thread; run() is the broadcaster's
// own thread. Neither ever waits for a client: appending to a worker's queue
// only takes that queue's mutex. Borrowed: the worker set and its mutex belong
// to the acceptor, which lives for the whole process.
class BroadcastMessageThread : public Thread {
public:
    // Frames the central queue keeps while the thread is behind. Past it the
    // oldest are dropped, and the thread's next batch logs how many with one
    // line, "Warning: Message queue full; dropped <n> messages": a sender in a
    // loop of errors must not make the daemon's memory grow without end.
    static constexpr size_t maxQueuedFrames = 10000;

    BroadcastMessageThread(const std::string& logFilePath, const std::set<MessageWorkerThread*>* workers,
                           Mutex* workersMutex);
    ~BroadcastMessageThread() override;

    // Appends a copy of one frame to the central queue, dropping the oldest
    // past maxQueuedFrames, and wakes the thread.
    void addToMessageQueue(const std::string& frame);

protected:
    void run() override;

private:
    std::unique_ptr<LogFile> log;

    const std::set<MessageWorkerThread*>* workers PT_GUARDED_BY(workersMutex);
    Mutex* workersMutex;

    // Never held with another mutex.
    std::list<std::string> queue GUARDED_BY(queueMutex);
    int64_t droppedFrames GUARDED_BY(queueMutex);  // since the last batch
    Mutex* queueMutex;
};

#endif
