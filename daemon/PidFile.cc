#include "daemon/PidFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "util/Errors.h"

namespace UTILITIES {

UniqueFd openPidFile(const std::string& path, std::string& why, bool& held, bool& created) {
    held = false;
    int fd;
    // O_NONBLOCK: a pipe put in its place must not hang the start-up.
    do fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    while (fd < 0 && errno == EINTR);
    created = fd >= 0;
    if (fd < 0 && errno == EEXIST) {
        do fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        while (fd < 0 && errno == EINTR);
    }
    UniqueFd pidFile(fd);
    if (!pidFile) {
        int savedErrno = errno;
        // ENXIO: a pipe without a reader, which O_NONBLOCK refuses to open.
        why = savedErrno == ELOOP   ? "it is a symbolic link"
              : savedErrno == ENXIO ? "it is not a regular file"
                                    : systemText(savedErrno);
        return UniqueFd();
    }
    // The lock goes with the open file, which the detached daemon inherits and
    // keeps for its life: a second daemon finds it taken and touches nothing.
    int locked;
    do locked = ::flock(fd, LOCK_EX | LOCK_NB);
    while (locked != 0 && errno == EINTR);
    struct stat status;
    if (locked != 0 && errno == EWOULDBLOCK) {
        char pid[32] = "";
        const ssize_t got = ::pread(fd, pid, sizeof pid - 1, 0);  // what the running daemon wrote
        const std::string text(pid, got > 0 ? static_cast<size_t>(got) : 0);
        held = true;
        why =
            "another vellort runs" + (text.empty() ? std::string() : " (pid " + text.substr(0, text.find('\n')) + ")");
    } else if (locked != 0 || ::fstat(fd, &status) != 0) {
        why = systemText(errno);
    } else if (!S_ISREG(status.st_mode)) {
        why = "it is not a regular file";
    } else if (status.st_nlink != 1) {
        why = "it has " + std::to_string(status.st_nlink) + " names (hard links)";
    } else if (status.st_uid != ::geteuid() && ::fchown(fd, ::geteuid(), ::getegid()) != 0) {
        why = "it belongs to uid " + std::to_string(status.st_uid) + " and cannot be taken over";
    } else if (::fchmod(fd, 0644) != 0) {
        // Only the daemon may write it: an operator kills the process it names.
        why = systemText(errno);
    } else {
        return pidFile;
    }
    return UniqueFd();
}

int setPidFile(int fd) {
    const std::string text = std::to_string(static_cast<int>(::getpid())) + "\n";
    bool ok = ::ftruncate(fd, 0) == 0;
    for (size_t done = 0; ok && done < text.size();) {
        ssize_t put = ::pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (put < 0 && errno == EINTR) continue;
        ok = put > 0;
        if (ok) done += static_cast<size_t>(put);
    }
    // A pid file that could not be written out completely is as bad as none.
    // The descriptor stays open: it holds the lock for the daemon's life.
    return ok ? 0 : 1;
}

}  // namespace UTILITIES
