#ifndef VELLORT_NET_CLIENTWORKERTHREAD_H
#define VELLORT_NET_CLIENTWORKERTHREAD_H

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
// Owns its connection socket and its LogFile.
class ClientWorkerThread : public ThreadPoolTask {
public:
    ClientWorkerThread();
    ~ClientWorkerThread() override;

    // Takes ownership of `socket`; a socket held before is closed.
    void setTCPSocket(TCPSocket* socket);
    // Opens the worker's own LogFile on `path`, replacing one held before.
    void setLogFile(const std::string& path);

protected:
    std::unique_ptr<LogFile> log;
    std::string logFilePath;
    std::unique_ptr<TCPSocket> socket;
};

#endif
