#ifndef VELLORT_NET_STATUSREGISTERTHREAD_H
#define VELLORT_NET_STATUSREGISTERTHREAD_H

#include <string>
#include <vector>

#include "net/ClientRegisterThread.h"

class Storage;

// The acceptor of the status service: every connection gets a
// StatusWorkerThread that answers its requests from the storages' ledgers.
//
// Borrowed: the listening socket (the StatusServer's) and the storages, which
// outlive every server.
class StatusRegisterThread : public ClientRegisterThread {
public:
    // A status client holds its worker only while it asks or waits for a
    // reply, within the time-outs; the waiting ones are answered next.
    static constexpr int servedClients = 10;
    static constexpr int waitingClients = 10;

    StatusRegisterThread(const std::string& logFilePath, TCPSocket* socket, const std::vector<Storage*>& storages);
    ~StatusRegisterThread() override;

protected:
    ClientWorkerThread* createWorker() override;

private:
    std::vector<Storage*> storages;
};

#endif
