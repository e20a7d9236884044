#ifndef VELLORT_DAEMON_PIDFILE_H
#define VELLORT_DAEMON_PIDFILE_H

#include <string>

#include "util/UniqueFd.h"

namespace UTILITIES {

// Opens the pid file before the daemon touches anything else, so that a problem
// still reaches the terminal, and takes an exclusive lock on it that lasts as
// long as the descriptor (kept by the daemon for its life): created with mode
// 0644 (whatever the umask), never through a symbolic link, and only a regular
// file with no other name. Returns the descriptor, or none with a text saying
// why; `held` is set when another process holds the lock, `created` when the
// file was made by this call.
UniqueFd openPidFile(const std::string& path, std::string& why, bool& held, bool& created);

// Writes the calling process's pid, on a line of its own, into the pid file
// opened by openPidFile, replacing what it held; the descriptor stays open. 0
// on success, 1 when the file cannot be written.
int setPidFile(int fd);

}  // namespace UTILITIES

#endif
