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
    std::string portText = UTILITIES::getString(port);
    if (socket.server(portText.c_str()) < 0) {
        *log << "Error: Starting TCP connection: " << socket.errmsg() << endl;
        return -1;
    }
    int result = registerThread->start();
    if (result != 0) {
        *log << "Error: Starting status service on port " << portText << ": " << LogManip(&LogFile::errmsg, result)
             << endl;
        socket.close();
        return -1;
    }
    threadStarted = true;
    return 0;
}

int StatusServer::clients() const {
    return threadStarted ? registerThread->clients() : 0;
}
