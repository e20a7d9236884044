#include "net/ClientRegisterThread.h"

#include <time.h>

#include "log/LogFile.h"
#include "net/ClientWorkerThread.h"
#include "net/TCPSocket.h"
#include "thread/ThreadPool.h"
#include "util/Descriptors.h"
#include "util/Errors.h"
#include "util/Time.h"

ClientRegisterThread::ClientRegisterThread(const std::string& logFilePath, TCPSocket* socket, int served, int waiting)
    : log(new LogFile(logFilePath)),
      logFilePath(logFilePath),
      socket(socket),
      served(served),
      waiting(waiting),
      heldConnections(0),
      lastWarning(-warningIntervalSeconds),
      refusedSinceWarning(0) {}

ClientRegisterThread::~ClientRegisterThread() = default;

int ClientRegisterThread::listenAndStart(TCPSocket& socket, int port, const char* service, LogFile& log,
                                         const std::function<int()>& startThreads) {
    const std::string portText = UTILITIES::getString(port);
    if (socket.server(portText.c_str()) < 0) {
        log << "Error: Starting TCP connection: " << socket.errmsg() << endl;
        return -1;
    }
    const int result = startThreads();
    if (result == 0) return 0;
    log << "Error: Starting " << service << " service on port " << portText << ": "
        << LogManip(&LogFile::errmsg, result) << endl;
    socket.close();
    return -1;
}

void ClientRegisterThread::run() {
    ThreadPool pool(served);
    // A pool short of threads serves fewer clients at a time; without any
    // it would serve them on this thread, where one client that never
    // leaves holds every other out, so each connection is refused instead.
    const int workers = pool.startedThreads();
    if (workers < served)
        *log << "Error: Only " << workers << " of " << served << " threads for clients on " << socket->address
             << " could be started: " << UTILITIES::systemText(pool.startError()) << endl;
    int failuresInRow = 0;
    for (;;) {
        TCPSocket* connection = socket->accept();
        if (connection == nullptr) {
            ++failuresInRow;
            if (failuresInRow <= failuresBeforePause) continue;
            if (failuresInRow == failuresBeforePause + 1) {
                // One line per episode and minute: the failure may go on for
                // hours, or come and go with every client.
                if (_warningDue())
                    *log << "Warning: Accepting connections on " << socket->address << " failed " << failuresInRow
                         << " times in a row: " << socket->errmsg() << "; retrying every "
                         << static_cast<int>(pauseAfterFailuresNanoseconds / 1000000) << " ms" << endl;
            } else {
                failuresInRow = failuresBeforePause + 2;  // still the same episode; the count must not wrap
            }
            UTILITIES::sleepNanoSeconds(pauseAfterFailuresNanoseconds);
            continue;
        }
        failuresInRow = 0;

        std::string refusal = _refusal(workers);
        if (!refusal.empty()) {
            _refuse(connection, refusal);
            continue;
        }
        // The worker is made before the line is written: a service that
        // registers its clients in createWorker (the message service) then
        // serves a client from the moment its connection is logged.
        ClientWorkerThread* worker = createWorker();
        *log << "++ Accepted connection from " << connection->address << " on " << UTILITIES::asciiTime() << endl;
        worker->setLogFile(logFilePath);
        worker->setTCPSocket(connection);
        ++heldConnections;
        worker->setHeldConnections(&heldConnections);
        pool.schedule(worker);
    }
}

std::string ClientRegisterThread::_refusal(int workers) {
    if (workers == 0) return "no thread to serve it";
    if (heldConnections.load() >= workers + waiting)
        return std::to_string(workers) + " clients served" +
               (waiting > 0 ? " and " + std::to_string(waiting) + " waiting" : std::string());
    // The new connection already has its descriptor: what is free now is what
    // taking it leaves.
    const int free = UTILITIES::freeDescriptors(), reserve = UTILITIES::descriptorReserve();
    if (free >= 0 && free < reserve)
        return "only " + std::to_string(free) + " descriptors free, " + std::to_string(reserve) +
               " kept for copies and the log";
    return "";
}

void ClientRegisterThread::_refuse(TCPSocket* connection, const std::string& reason) {
    const std::string peer = connection->address;
    delete connection;  // closes it: the client sees the end of its stream at once
    ++refusedSinceWarning;
    if (!_warningDue()) return;
    *log << "Warning: Refused connection from " << peer << " on " << socket->address << ": " << reason << "; "
         << refusedSinceWarning << " refused since the last such line" << endl;
    refusedSinceWarning = 0;
}

bool ClientRegisterThread::_warningDue() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec - lastWarning < warningIntervalSeconds) return false;
    lastWarning = now.tv_sec;
    return true;
}
