#ifndef VELLORT_NET_MESSAGEWORKERTHREAD_H
#define VELLORT_NET_MESSAGEWORKERTHREAD_H

#include "thread/Mutex.h"
#include <stddef.h>
#include <stdint.h>

#include <list>
#include <set>
#include <string>

#include "net/ClientWorkerThread.h"

// The worker of one message client: sends the frames that the broadcaster
// hands it, in order, until the client has gone (noticed within a second) or
// is closed for taking nothing.
//
// The worker joins the service's worker set in its constructor (on the
// acceptor thread), so it collects frames while it still waits for a pool
// thread, and leaves it in its destructor (on the pool thread). The
// broadcaster calls addToMessageQueue while it holds the worker-set mutex,
// which is what keeps the worker alive during that call.
//
// Borrowed: the worker set and its mutex belong to the acceptor, which lives
// for the whole process.
class MessageWorkerThread : public ClientWorkerThread {
public:
    // Frames a worker keeps for a client that does not read, those it is
    // sending included. Past it the oldest are dropped: a client stuck in a
    // full socket must neither hold back the others nor make the daemon's
    // memory grow without end. One overflow episode gives one line, "Warning:
    // Message client <address> is not reading; dropped <n> messages", written
    // when the queue has run empty again or, at the latest, when the client
    // has gone.
    static constexpr size_t maxQueuedFrames = 10000;
    // Frames the worker takes from its queue at a time; the rest stay where
    // the bound can drop them.
    static constexpr size_t framesPerBatch = 64;
    // A client that takes none of the bytes waiting for it for this long is
    // closed, with "Warning: Closing connection from <address>: it took no
    // message within 10 s": it holds one of the service's few workers and
    // reads nothing. Bytes wait in the worker's queue, in a send that does not
    // go through, or, handed over, in the kernel; the kernel's count of those
    // not yet taken (SIOCOUTQ) tells whether the client reads at all, where a
    // send that went through into the socket's buffer tells nothing.
    static constexpr int sendTimeoutMilliseconds = 10000;
    // The connection's send buffer: frames are few and small, and what a
    // client that does not read leaves in the kernel is kept small too.
    static constexpr int sendBufferBytes = 32 << 10;

    MessageWorkerThread(std::set<MessageWorkerThread*>* workers, Mutex* workersMutex);
    ~MessageWorkerThread() override;

    // Appends copies of the frames, in order, and wakes the worker. Never
    // blocks on the client.
    void addToMessageQueue(const std::list<std::string>& frames);

    void work() override;

private:
    // Sends what the queue holds, until it is found empty. False when the
    // connection has ended (logged).
    bool _sendQueued();
    // Whether the client has taken some of the bytes handed to the kernel
    // within sendTimeoutMilliseconds of their beginning to wait, or all.
    bool _clientTakes();
    // Logs the end of the connection, a silent client's with its warning
    // first, after the frames its last overflow episode dropped.
    void _end(bool silent);
    // Logs how many frames the overflow episode that has just ended dropped.
    void _reportDroppedFrames(int64_t dropped);

    Mutex* queueMutex;
    std::list<std::string> queue GUARDED_BY(queueMutex);
    // Frames dropped since the queue last ran empty: one overflow episode.
    int64_t droppedFrames GUARDED_BY(queueMutex);
    // Frames taken from the queue and not yet all sent; they count against
    // maxQueuedFrames too.
    size_t framesInHand GUARDED_BY(queueMutex);

    // The worker's own thread only: the bytes handed to the kernel, those of
    // them the client has taken, as last seen, and since when bytes have waited
    // without any being taken (CLOCK_MONOTONIC nanoseconds), 0 while none wait.
    int64_t handedOver;
    int64_t taken;
    int64_t waitingSince;

    std::set<MessageWorkerThread*>* workers PT_GUARDED_BY(workersMutex);
    Mutex* workersMutex;
};

#endif
