#include "util/Descriptors.h"

#include <dirent.h>
#include <errno.h>
#include <sys/resource.h>

#include <atomic>

namespace {

const int smallestReserve = 16;
// Measured with the journal and verification: a burst of small copies took 16
// descriptors beyond the idle daemon's with two copy workers, 24 with four;
// these keep about twice that.
const int perCopyWorker = 8;
const int perStorage = 4;
const int forTheDaemon = 8;

std::atomic<int> reserveForWork(0);

// The soft limit, or -1 when there is none worth the name.
long softLimit() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return -1;
    return static_cast<long>(limit.rlim_cur);
}

}  // namespace

namespace UTILITIES {

int raiseDescriptorLimit(long* before, long* after) {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return errno;
    *before = *after = static_cast<long>(limit.rlim_cur);
    if (limit.rlim_cur == limit.rlim_max) return 0;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return errno;
    *after = static_cast<long>(limit.rlim_cur);
    return 0;
}

int freeDescriptors() {
    const long limit = softLimit();
    if (limit < 0) return -1;
    // The listing needs a descriptor of its own; without one, none is free.
    DIR* listing = opendir("/proc/self/fd");
    if (listing == nullptr) return errno == EMFILE || errno == ENFILE ? 0 : -1;
    long open = 0;
    while (struct dirent* entry = readdir(listing))
        if (entry->d_name[0] != '.') ++open;
    closedir(listing);
    --open;  // the listing's own
    return limit > open ? static_cast<int>(limit - open) : 0;
}

int descriptorsForWork(int copyWorkers, int storages, int otherClients) {
    return forTheDaemon + perStorage * storages + perCopyWorker * copyWorkers + otherClients;
}

void keepDescriptorReserve(int forWork) {
    reserveForWork.store(forWork);
}

int descriptorReserve() {
    const long limit = softLimit();
    const int forWork = reserveForWork.load();
    int reserve = limit < 0 || limit / 4 < smallestReserve ? smallestReserve : static_cast<int>(limit / 4);
    return forWork > reserve ? forWork : reserve;
}

}  // namespace UTILITIES
