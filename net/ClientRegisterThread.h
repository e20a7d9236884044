#ifndef VELLORT_NET_CLIENTREGISTERTHREAD_H
#define VELLORT_NET_CLIENTREGISTERTHREAD_H

#include <stdint.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "thread/Thread.h"

class ClientWorkerThread;
class LogFile;
class TCPSocket;

// The acceptor of one TCP service: accepts connections on the service's
// listening socket, logs each one and hands it, wrapped in a worker of the
// service's own kind (createWorker), to a pool of `served` threads. At most
// `served` connections are served at a time; up to `waiting` more are
// accepted and logged at once and wait in the pool's queue, their sockets
// open, until a thread is free.
//
// What a service holds is bounded, so that no number of clients can starve
// the rest of the daemon: a connection beyond the waiting ones, or one that
// would leave fewer than UTILITIES::descriptorReserve() descriptors free, is
// closed at once. Refusals are logged at most once a minute, with their count:
//   "Warning: Refused connection from <peer> on <address>: <reason>; <n>
//    refused since the last such line"
//
// run() is the acceptor thread and never returns. Borrowed: the listening
// socket belongs to the service object, which outlives this thread.
class ClientRegisterThread : public Thread {
public:
    // Failed accepts in a row that are retried at once; after them the loop
    // pauses pauseAfterFailuresNanoseconds before every further attempt, so that
    // a lasting failure (no descriptors left) does not keep a core busy.
    static constexpr int failuresBeforePause = 10;
    static constexpr int64_t pauseAfterFailuresNanoseconds = 50000000;
    // Shortest time between two warnings about refused or failed accepts.
    static constexpr int64_t warningIntervalSeconds = 60;

    // `served` and `waiting` are the service's bounds described above.
    ClientRegisterThread(const std::string& logFilePath, TCPSocket* socket, int served, int waiting);
    ~ClientRegisterThread() override;

    // Any thread: the clients connected now, served or waiting.
    int clients() const { return heldConnections.load(std::memory_order_relaxed); }

    // How a service starts, the status and the message service alike: listens
    // on `port`, then calls startThreads (0 or a pthread error). Returns 0, or
    // -1 after logging why ("Starting TCP connection", "Starting <service>
    // service on port ...") with the socket closed again.
    static int listenAndStart(TCPSocket& socket, int port, const char* service, LogFile& log,
                              const std::function<int()>& startThreads);

protected:
    void run() override;
    // A new worker on the heap, ready but for its log file and socket; the
    // caller hands it to the pool, which runs its work() once and deletes it.
    virtual ClientWorkerThread* createWorker() = 0;

    std::unique_ptr<LogFile> log;
    std::string logFilePath;
    TCPSocket* socket;

private:
    // Why `connection` must not be taken, or empty when it may; `workers`
    // is the number of pool threads that serve, `served` or fewer.
    std::string _refusal(int workers);
    // Closes a connection that is not taken and warns about it, at most once
    // per warningIntervalSeconds.
    void _refuse(TCPSocket* connection, const std::string& reason);
    // Whether a warning may be written now; notes the time when it may.
    bool _warningDue();

    const int served;
    const int waiting;
    // Connections accepted and not yet ended, served or waiting; the workers
    // count themselves out on their pool threads.
    std::atomic<int> heldConnections;
    int64_t lastWarning;  // CLOCK_MONOTONIC seconds, acceptor thread only
    int64_t refusedSinceWarning;
};

#endif
