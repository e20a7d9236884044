#ifndef VELLORT_NET_STATUSSERVER_H
#define VELLORT_NET_STATUSSERVER_H

#include <memory>
#include <string>
#include <vector>

#include "net/TCPSocket.h"

class LogFile;
class StatusRegisterThread;
class Storage;

// The daemon's TCP status service. A client sends requests, one XML document
// per line, and gets one XML reply line for each; the one action, "history",
// reports the copy counts of every storage per user shift (the protocol is
// described in StatusWorkerThread.h).
//
// Made and connected once by the start-up thread. Owns the listening socket
// and the acceptor thread. Borrowed: the storages, which outlive the service.
// Once connect() has started the acceptor the object must live for the rest
// of the process: the acceptor runs until then and uses its socket.
class StatusServer {
public:
    // Nothing listens and no thread runs until connect().
    StatusServer(const std::string& logFilePath, int port, const std::vector<Storage*>& storages);
    ~StatusServer();

    StatusServer(const StatusServer&) = delete;
    StatusServer& operator=(const StatusServer&) = delete;

    // Listens on the port and starts the acceptor. Returns 0, or -1 after
    // logging why; the daemon then runs without the service.
    int connect();

    // The port the service listens on, -1 before connect(); differs from the
    // configured one only when that was 0 (any free port).
    int localPort() const { return socket.localPort(); }

    // Any thread: the clients connected now; 0 while the service does not run.
    int clients() const;

private:
    std::string logFilePath;
    std::unique_ptr<LogFile> log;
    int port;
    TCPSocket socket;
    StatusRegisterThread* registerThread;
    std::vector<Storage*> storages;
    // Set once connect() has started the acceptor; it is then never deleted.
    bool threadStarted;
};

#endif
