#include "net/MessageWorkerThread.h"

#include <errno.h>

#include "log/LogFile.h"
#include "net/TCPSocket.h"
#include "thread/MutexGuard.h"
#include "thread/Thread.h"
#include "util/Time.h"

MessageWorkerThread::MessageWorkerThread(std::set<MessageWorkerThread*>* workers, Mutex* workersMutex)
    : queueMutex(Thread::initializeMutex()),
      droppedFrames(0),
      framesInHand(0),
      workers(workers),
      workersMutex(workersMutex) {
    MutexGuard guard(workersMutex);
    workers->insert(this);
}

MessageWorkerThread::~MessageWorkerThread() {
    {
        MutexGuard guard(workersMutex);
        workers->erase(this);
    }
    delete queueMutex;
}

void MessageWorkerThread::addToMessageQueue(const std::list<std::string>& frames) {
    {
        MutexGuard guard(queueMutex);
        queue.insert(queue.end(), frames.begin(), frames.end());
        while (queue.size() + framesInHand > maxQueuedFrames) {
            queue.pop_front();
            ++droppedFrames;
        }
    }
    awaken();
}

void MessageWorkerThread::work() {
    socket->setTimeouts(0, sendTimeoutMilliseconds);
    for (;;) {
        waitForWakeSignal();
        // Sends until the queue is found empty, which is also where an overflow
        // episode ends.
        for (;;) {
            std::list<std::string> frames;
            int64_t dropped = 0;
            {
                MutexGuard guard(queueMutex);
                auto end = queue.begin();
                for (size_t taken = 0; taken < framesPerBatch && end != queue.end(); ++taken) ++end;
                frames.splice(frames.end(), queue, queue.begin(), end);
                framesInHand = frames.size();
                if (frames.empty()) {
                    dropped = droppedFrames;
                    droppedFrames = 0;
                }
            }
            if (dropped > 0) _reportDroppedFrames(dropped);
            if (frames.empty()) break;

            for (const std::string& frame : frames) {
                int64_t length = static_cast<int64_t>(frame.size());
                if (socket->write(frame.data(), length) == length) continue;
                int savedErrno = errno;
                if (savedErrno == EPIPE || savedErrno == ETIMEDOUT) {
                    {
                        MutexGuard guard(queueMutex);
                        dropped = droppedFrames;
                        droppedFrames = 0;
                    }
                    if (dropped > 0) _reportDroppedFrames(dropped);
                    if (savedErrno == ETIMEDOUT)
                        *log << "Warning: Closing connection from " << socket->address << ": it took no message within "
                             << sendTimeoutMilliseconds / 1000 << " s" << endl;
                    *log << "++ Connection from " << socket->address << " closed on " << UTILITIES::asciiTime()
                         << flush;
                    return;
                }
                *log << "Error: Failed to write to " << socket->address << ": "
                     << LogManip(&LogFile::errmsg, savedErrno) << endl;
            }
        }
    }
}

void MessageWorkerThread::_reportDroppedFrames(int64_t dropped) {
    *log << "Warning: Message client " << socket->address << " is not reading; dropped " << dropped << " messages"
         << endl;
}
