#include "net/StatusServer.h"

#include "log/LogFile.h"
#include "net/StatusRegisterThread.h"
#include "util/Time.h"

StatusServer::StatusServer(const std::string& logFilePath, int port, const std::vector<Storage*>& storages)
    : logFilePath(logFilePath),
      log(new LogFile(logFilePath)),
      port(port),
      registerThread(new StatusRegisterThread(logFilePath, &socket, storages)),
      storages(storages),
      threadStarted(false) {}

StatusServer::~StatusServer() {
    // A running acceptor cannot be stopped; it is left to the end of the
    // process (the daemon never destroys its servers).
    if (!threadStarted) delete registerThread;
}

int StatusServer::connect() {
    return ClientRegisterThread::listenAndStart(socket, port, "status", *log, [this] {
        const int result = registerThread->start();
        threadStarted = result == 0;
        return result;
    });
}

int StatusServer::clients() const {
    return threadStarted ? registerThread->clients() : 0;
}
