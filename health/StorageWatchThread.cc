#include "health/StorageWatchThread.h"

#include "health/StorageHealth.h"
#include "ledger/Storage.h"
#include "util/Time.h"

void StorageWatchThread::run() {
    for (;;) {
        if (health.probe()) {
            int copied = 0;
            int failed = 0;
            storage.refill(copied, failed);
            health.refillDone(copied, failed);
        }
        UTILITIES::sleepNanoSeconds(1000000000);
    }
}
