#include "net/MessageServer.h"

#include <arpa/inet.h>
#include <stdint.h>

#include "events/EventText.h"
#include "events/Publisher.h"
#include "log/LogFile.h"
#include "net/BroadcastMessageThread.h"
#include "metrics/Metrics.h"
#include "net/MessageRegisterThread.h"
#include "status_page/StatusPage.h"
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
      registerThread(new MessageRegisterThread(logFilePath, &socket)),
      broadcaster(
          new BroadcastMessageThread(logFilePath, registerThread->workerSet(), registerThread->workerSetMutex())),
      threadsStarted(false) {}

MessageServer::~MessageServer() {
    // Running threads cannot be stopped; they are left to the end of the
    // process. A broadcaster that runs alone, after the acceptor failed to
    // start, borrows the acceptor's worker set, so neither is deleted.
    if (!threadsStarted) {
        delete broadcaster;
        delete registerThread;
    }
}

int MessageServer::connect() {
    return ClientRegisterThread::listenAndStart(socket, port, "message", *log, [this] {
        // The broadcaster first: it uses nothing of this object, so a failure
        // of either thread leaves no running thread on the listening socket,
        // and the server may be deleted. Its clients could never receive
        // anything.
        int result = broadcaster->start();
        if (result == 0) {
            threadsStarted = true;
            result = registerThread->start();
        }
        return result;
    });
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
    METRICS::add(METRICS::messagesSent(code));
    STATUS_PAGE::rememberMessage(code, subject, text);
    broadcaster->addToMessageQueue(buildFrame(code, subject, text));
    if (events != nullptr)
        events->post(EVENTS::MESSAGE_TOPIC, EVENTS::messageBody(events->hostName(), code, subject, text));
}

int MessageServer::clients() const {
    return threadsStarted ? registerThread->clients() : 0;
}
