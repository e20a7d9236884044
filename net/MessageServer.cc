#include "net/MessageServer.h"

#include <arpa/inet.h>
#include <stdint.h>

#include "log/LogFile.h"
#include "net/BroadcastMessageThread.h"
#include "net/MessageRegisterThread.h"
#include "util/Time.h"

namespace {

void appendBigEndian32(std::string& frame, uint32_t value) {
    uint32_t network = htonl(value);
    frame.append(reinterpret_cast<const char*>(&network), sizeof network);
}

}  // namespace

MessageServer::MessageServer(const std::string& logFilePath, int port)
    : logFilePath(logFilePath),
      log(new LogFile(logFilePath)),
      port(port),
      workers(nullptr),
      workersMutex(nullptr),
      registerThread(new MessageRegisterThread(logFilePath, &socket)),
      broadcaster(nullptr),
      threadsStarted(false) {
    workers = registerThread->workerSet();
    workersMutex = registerThread->workerSetMutex();
    broadcaster = new BroadcastMessageThread(logFilePath, workers, workersMutex);
}

MessageServer::~MessageServer() {
    // Running threads cannot be stopped; they are left to the end of the
    // process (the daemon never destroys its servers).
    if (!threadsStarted) {
        delete broadcaster;
        delete registerThread;
    }
}

int MessageServer::connect() {
    std::string portText = UTILITIES::getString(port);
    if (socket.server(portText.c_str()) < 0) {
        *log << "Error: Starting TCP connection: " << socket.errmsg() << endl;
        return -1;
    }
    int result = registerThread->start();
    if (result != 0) {
        *log << "Error: Starting message service on port " << portText << ": " << LogManip(&LogFile::errmsg, result)
             << endl;
        socket.close();
        return -1;
    }
    threadsStarted = true;
    result = broadcaster->start();
    if (result != 0) {
        // The acceptor already runs and cannot be stopped; its clients would
        // never receive anything, so the daemon goes on without the service.
        *log << "Error: Starting message service on port " << portText << ": " << LogManip(&LogFile::errmsg, result)
             << endl;
        return -1;
    }
    return 0;
}

std::string MessageServer::buildFrame(int code, const std::string& subject, const std::string& text) {
    uint32_t length = static_cast<uint32_t>(4 + subject.size() + 1 + text.size() + 1);
    std::string frame;
    frame.reserve(4 + length);
    appendBigEndian32(frame, length);
    appendBigEndian32(frame, static_cast<uint32_t>(code));
    frame.append(subject);
    frame.push_back('\0');
    frame.append(text);
    frame.push_back('\0');
    return frame;
}

void MessageServer::addToMessageQueue(int code, const std::string& subject, const std::string& text) {
    broadcaster->addToMessageQueue(buildFrame(code, subject, text));
}
