#include "net/MessageRegisterThread.h"

#include "net/MessageWorkerThread.h"

MessageRegisterThread::MessageRegisterThread(const std::string& logFilePath, TCPSocket* socket)
    : ClientRegisterThread(logFilePath, socket, servedClients, 0), workersMutex(Thread::initializeMutex()) {}

MessageRegisterThread::~MessageRegisterThread() {
    delete workersMutex;
}

ClientWorkerThread* MessageRegisterThread::createWorker() {
    return new MessageWorkerThread(&workers, workersMutex);
}
