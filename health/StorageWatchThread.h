#ifndef VELLORT_HEALTH_STORAGEWATCHTHREAD_H
#define VELLORT_HEALTH_STORAGEWATCHTHREAD_H

#include "thread/Thread.h"

class Storage;
class StorageHealth;

// Looks at one storage's disk once a second (StorageHealth::probe), and
// when another disk has taken the old one's place, fills it with the copies
// the daemon still holds elsewhere. A refill runs on this thread, so the
// storage's probes pause meanwhile; the copy workers keep its state.
//
// Borrowed: the storage and its health, which live for the process.
class StorageWatchThread : public Thread {
public:
    StorageWatchThread(Storage& storage, StorageHealth& health) : storage(storage), health(health) {}

protected:
    void run() override;

private:
    Storage& storage;
    StorageHealth& health;
};

#endif
