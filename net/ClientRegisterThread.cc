#include "net/ClientRegisterThread.h"

#include "log/LogFile.h"
#include "net/ClientWorkerThread.h"
#include "net/TCPSocket.h"
#include "thread/ThreadPool.h"
#include "util/Time.h"

ClientRegisterThread::ClientRegisterThread(const std::string& logFilePath, TCPSocket* socket)
    : log(new LogFile(logFilePath)), logFilePath(logFilePath), socket(socket) {}

ClientRegisterThread::~ClientRegisterThread() = default;

void ClientRegisterThread::run() {
    ThreadPool pool(poolSize);
    int failuresInRow = 0;
    for (;;) {
        TCPSocket* connection = socket->accept();
        if (connection == nullptr) {
            ++failuresInRow;
            if (failuresInRow <= failuresBeforePause) continue;
            if (failuresInRow == failuresBeforePause + 1) {
                // One line per episode: the failure may go on for hours.
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

        // The worker is made before the line is written: a service that
        // registers its clients in createWorker (the message service) then
        // serves a client from the moment its connection is logged.
        ClientWorkerThread* worker = createWorker();
        *log << "++ Accepted connection from " << connection->address << " on " << UTILITIES::asciiTime() << endl;
        worker->setLogFile(logFilePath);
        worker->setTCPSocket(connection);
        pool.schedule(worker);
    }
}
