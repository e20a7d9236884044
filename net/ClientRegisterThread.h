#ifndef VELLORT_NET_CLIENTREGISTERTHREAD_H
#define VELLORT_NET_CLIENTREGISTERTHREAD_H

#include <stdint.h>

#include <memory>
#include <string>

#include "thread/Thread.h"

class ClientWorkerThread;
class LogFile;
class TCPSocket;

// The acceptor of one TCP service: accepts connections on the service's
// listening socket, logs each one and hands it, wrapped in a worker of the
// service's own kind (createWorker), to a pool of poolSize threads. At most
// poolSize connections are served at a time; later ones are accepted and logged
// at once and wait in the pool's queue, their sockets open, until a thread is
// free.
//
// run() is the acceptor thread and never returns. Borrowed: the listening
// socket belongs to the service object, which outlives this thread.
class ClientRegisterThread : public Thread {
public:
    static constexpr int poolSize = 10;
    // Failed accepts in a row that are retried at once; after them the loop
    // pauses pauseAfterFailuresNanoseconds before every further attempt, so that
    // a lasting failure (no descriptors left) does not keep a core busy.
    static constexpr int failuresBeforePause = 10;
    static constexpr int64_t pauseAfterFailuresNanoseconds = 50000000;

    ClientRegisterThread(const std::string& logFilePath, TCPSocket* socket);
    ~ClientRegisterThread() override;

protected:
    void run() override;
    // A new worker on the heap, ready but for its log file and socket; the
    // caller hands it to the pool, which runs its work() once and deletes it.
    virtual ClientWorkerThread* createWorker() = 0;

    std::unique_ptr<LogFile> log;
    std::string logFilePath;
    TCPSocket* socket;
};

#endif
