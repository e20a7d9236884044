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
      handedOver(0),
      taken(0),
      waitingSince(0),
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
    if (socket->setSendBuffer(sendBufferBytes) != 0)  // the system's larger buffer only delays the time-out
        *log << "Warning: Message client " << socket->address << ": cannot set its send buffer: " << socket->errmsg()
             << endl;
    for (;;) {
        // Looked at once a second, or at the next frames: whether bytes that
        // wait in the kernel are taken, and whether the client has gone, whose
        // descriptor must not wait for the next frame to be given back.
        struct timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += 1;
        waitForWakeSignal(&deadline);
        if (socket->peerHasLeft()) {
            _end(false);
            return;
        }
        if (!_sendQueued()) return;
        if (!_clientTakes()) {
            _end(true);
            return;
        }
    }
}

bool MessageWorkerThread::_sendQueued() {
    // Sends until the queue is found empty, which is also where an overflow
    // episode ends.
    for (;;) {
        std::list<std::string> frames;
        int64_t dropped = 0;
        {
            MutexGuard guard(queueMutex);
            auto end = queue.begin();
            for (size_t count = 0; count < framesPerBatch && end != queue.end(); ++count) ++end;
            frames.splice(frames.end(), queue, queue.begin(), end);
            framesInHand = frames.size();
            if (frames.empty()) {
                dropped = droppedFrames;
                droppedFrames = 0;
            }
        }
        if (dropped > 0) _reportDroppedFrames(dropped);
        if (frames.empty()) return true;

        for (const std::string& frame : frames) {
            int64_t length = static_cast<int64_t>(frame.size());
            if (socket->write(frame.data(), length) == length) {
                handedOver += length;
                continue;
            }
            int savedErrno = errno;
            if (savedErrno == EPIPE || savedErrno == ETIMEDOUT) {
                _end(savedErrno == ETIMEDOUT);
                return false;
            }
            *log << "Error: Failed to write to " << socket->address << ": " << LogManip(&LogFile::errmsg, savedErrno)
                 << endl;
        }
    }
}

bool MessageWorkerThread::_clientTakes() {
    const int64_t unsent = socket->unsentBytes();
    // All taken; or no count, which a TCP socket always has: then only a send
    // that does not go through can tell a client that does not read.
    if (unsent <= 0) {
        taken = handedOver;
        waitingSince = 0;
        return true;
    }
    const int64_t now = UTILITIES::monotonicNanoseconds();
    if (waitingSince == 0 || handedOver - unsent > taken) {
        taken = handedOver - unsent;
        waitingSince = now;
        return true;
    }
    return now - waitingSince < static_cast<int64_t>(sendTimeoutMilliseconds) * 1000000;
}

void MessageWorkerThread::_end(bool silent) {
    int64_t dropped;
    {
        MutexGuard guard(queueMutex);
        dropped = droppedFrames;
        droppedFrames = 0;
    }
    if (dropped > 0) _reportDroppedFrames(dropped);
    if (silent)
        *log << "Warning: Closing connection from " << socket->address << ": it took no message within "
             << sendTimeoutMilliseconds / 1000 << " s" << endl;
    *log << "++ Connection from " << socket->address << " closed on " << UTILITIES::asciiTime() << flush;
}

void MessageWorkerThread::_reportDroppedFrames(int64_t dropped) {
    *log << "Warning: Message client " << socket->address << " is not reading; dropped " << dropped << " messages"
         << endl;
}
