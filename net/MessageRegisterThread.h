#ifndef VELLORT_NET_MESSAGEREGISTERTHREAD_H
#define VELLORT_NET_MESSAGEREGISTERTHREAD_H

#include "thread/Mutex.h"

#include <set>
#include <string>

#include "net/ClientRegisterThread.h"

class MessageWorkerThread;

// The acceptor of the message service. Besides accepting, it keeps the set of
// live client workers: each worker enters it when createWorker makes it and
// leaves it when the pool deletes it; the broadcaster walks it for every batch.
//
// Owns the worker set and its mutex; both must outlive the broadcaster, which
// borrows them (in the daemon, everything here lives for the whole process).
class MessageRegisterThread : public ClientRegisterThread {
public:
    // Every client held is served from its accept on: a message client stays
    // for good, so one waiting for a worker would wait behind listeners that
    // may never leave, and get no frame meanwhile. Beyond them, connections
    // are refused.
    static constexpr int servedClients = 20;

    MessageRegisterThread(const std::string& logFilePath, TCPSocket* socket);
    ~MessageRegisterThread() override;

    std::set<MessageWorkerThread*>* workerSet() { return &workers; }
    Mutex* workerSetMutex() { return workersMutex; }

protected:
    ClientWorkerThread* createWorker() override;

private:
    std::set<MessageWorkerThread*> workers GUARDED_BY(workersMutex);
    Mutex* workersMutex;
};

#endif
