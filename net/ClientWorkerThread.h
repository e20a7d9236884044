#ifndef VELLORT_NET_CLIENTWORKERTHREAD_H
#define VELLORT_NET_CLIENTWORKERTHREAD_H

#include <atomic>
#include <memory>
#include <string>

#include "thread/ThreadPoolTask.h"

class LogFile;
class TCPSocket;

// Base of the per-connection workers of the TCP services. The acceptor gives
// it its log file and its connection, then hands it to its pool; work() runs
// on a pool thread and serves the connection until it returns, and the pool
// then deletes the worker, which closes the connection.
//
// Owns its connection socket and its LogFile. Borrowed: the acceptor's count
// of held connections, which lives for the whole process.
class ClientWorkerThread : public ThreadPoolTask {
public:
    ClientWorkerThread();
    ~ClientWorkerThread() override;

    // Takes ownership of `socket`; a socket held before is closed.
    void setTCPSocket(TCPSocket* socket);
    // Opens the worker's own LogFile on `path`, replacing one held before.
    void setLogFile(const std::string& path);
    // The acceptor's count of the connections it holds, lowered by one when
    // this worker has closed its connection.
    void setHeldConnections(std::atomic<int>* count) { heldConnections = count; }

protected:
    std::unique_ptr<LogFile> log;
    std::string logFilePath;
    std::unique_ptr<TCPSocket> socket;

private:
    std::atomic<int>* heldConnections;
};

#endif
