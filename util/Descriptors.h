#ifndef VELLORT_UTIL_DESCRIPTORS_H
#define VELLORT_UTIL_DESCRIPTORS_H

namespace UTILITIES {

// Raises the soft RLIMIT_NOFILE to the hard one: the soft limit is only a
// default for processes that never ask, and every descriptor beyond it is one
// more for the copies and the clients. 0 with *before and *after the soft
// limit before and after (equal when it was at the hard one already), or the
// errno of the failed call, with nothing changed.
int raiseDescriptorLimit(long* before, long* after);

// How many more descriptors the process may open under its soft
// RLIMIT_NOFILE; -1 when that cannot be told (no /proc, no limit).
int freeDescriptors();

// The most the daemon's own work opens at once beyond what it holds while
// idle: each copy worker its source, its .tmp, the folders it resolves on the
// way, the RAM disk's, its target's and the earlier storages' trees, a
// manifest and a flush watch per file system, a read-back; each storage its
// link and deletion passes and its disk watch; the daemon the log, which is
// opened for every write, the journal's checkpoints, the announcement pipe,
// a connection that an acceptor takes only to refuse it; and the clients of
// services that bound them on their own (`otherClients`, the metrics service).
// Counted generously: a copy that fails for a descriptor is lost work, a
// client refused only comes back later.
int descriptorsForWork(int copyWorkers, int storages, int otherClients);

// Sets the reserve from what descriptorsForWork gave; called once at start-up,
// before any service accepts a client.
void keepDescriptorReserve(int forWork);

// The descriptors that the network services leave free for the copies, the
// journal and the log: what keepDescriptorReserve was given, but at least a
// quarter of the soft limit and at least 16. A client connection that would
// cut into it is refused, so that no number of clients can make a copy fail
// or a log line go missing for want of a descriptor. Any thread.
int descriptorReserve();

}  // namespace UTILITIES

#endif
