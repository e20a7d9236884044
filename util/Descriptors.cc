#include "util/Descriptors.h"

#include <dirent.h>
#include <errno.h>
#include <sys/resource.h>

namespace {

const int smallestReserve = 16;

// The soft limit, or -1 when there is none worth the name.
long softLimit() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return -1;
    return static_cast<long>(limit.rlim_cur);
}

}  // namespace

namespace UTILITIES {

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

int descriptorReserve() {
    const long limit = softLimit();
    if (limit < 0) return smallestReserve;
    return limit / 4 > smallestReserve ? static_cast<int>(limit / 4) : smallestReserve;
}

}  // namespace UTILITIES
