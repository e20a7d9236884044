#include "net/ClientWorkerThread.h"

#include "log/LogFile.h"
#include "net/TCPSocket.h"

ClientWorkerThread::ClientWorkerThread() = default;

ClientWorkerThread::~ClientWorkerThread() = default;

void ClientWorkerThread::setTCPSocket(TCPSocket* connection) {
    socket.reset(connection);
}

void ClientWorkerThread::setLogFile(const std::string& path) {
    logFilePath = path;
    log.reset(new LogFile(path));
}
