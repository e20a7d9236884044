#include "net/ClientWorkerThread.h"

#include "log/LogFile.h"
#include "net/TCPSocket.h"

ClientWorkerThread::ClientWorkerThread() : heldConnections(nullptr) {}

ClientWorkerThread::~ClientWorkerThread() {
    // The descriptor is given back before the acceptor may take another.
    socket.reset();
    if (heldConnections != nullptr) --*heldConnections;
}

void ClientWorkerThread::setTCPSocket(TCPSocket* connection) {
    socket.reset(connection);
}

void ClientWorkerThread::setLogFile(const std::string& path) {
    logFilePath = path;
    log.reset(new LogFile(path));
}
