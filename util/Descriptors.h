#ifndef VELLORT_UTIL_DESCRIPTORS_H
#define VELLORT_UTIL_DESCRIPTORS_H

namespace UTILITIES {

// How many more descriptors the process may open under its soft
// RLIMIT_NOFILE; -1 when that cannot be told (no /proc, no limit).
int freeDescriptors();

// The descriptors that the network services leave free for the copies, the
// journal and the log, which opens its file for every write: a quarter of the
// soft limit, at least 16. A client connection that would cut into it is
// refused, so that no number of clients can make a copy fail or a log line go
// missing for want of a descriptor.
int descriptorReserve();

}  // namespace UTILITIES

#endif
