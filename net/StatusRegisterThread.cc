#include "net/StatusRegisterThread.h"

#include "net/StatusWorkerThread.h"

StatusRegisterThread::StatusRegisterThread(const std::string& logFilePath, TCPSocket* socket,
                                           const std::vector<Storage*>& storages)
    : ClientRegisterThread(logFilePath, socket, servedClients, waitingClients), storages(storages) {}

StatusRegisterThread::~StatusRegisterThread() = default;

ClientWorkerThread* StatusRegisterThread::createWorker() {
    return new StatusWorkerThread(storages);
}
