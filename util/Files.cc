#include "util/Files.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "thread/MutexGuard.h"
#include "thread/Thread.h"

namespace {

// Serialises the creation of missing directories across all copy workers of
// all storages, so that two workers never race to make the same directory.
pthread_mutex_t* copyProtectMkdirMutex = Thread::initializeMutex();

// Closes a descriptor on a failure path without disturbing the errno that the
// caller reports.
void closeKeepingErrno(int fd) {
    int savedErrno = errno;
    ::close(fd);
    errno = savedErrno;
}

int openTemporary(const std::string& path, mode_t mode) {
    // O_TRUNC: a temporary file left by an interrupted copy must not keep old
    // bytes behind shorter new content.
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Makes the missing directories of destination, from the top. Each new
// directory takes the mode of its counterpart in the source tree, found by
// matching the tails of both paths; a directory without a counterpart, or whose
// counterpart cannot be examined, gets 0755.
bool makeMissingDirectories(const std::string& source, const std::string& destination,
                            const struct stat& sourceStatus, bool preserveUid, bool preserveGid) {
    for (size_t end = destination.find('/', 1); end != std::string::npos; end = destination.find('/', end + 1)) {
        std::string prefix = destination.substr(0, end);
        if (::access(prefix.c_str(), F_OK) == 0) continue;

        mode_t mode = 0755;
        // The first component of a relative destination has no "/" before it;
        // its remainder is the whole destination, as for "/a" of an absolute one.
        size_t componentStart = prefix.rfind('/');
        if (componentStart == std::string::npos) componentStart = 0;
        size_t remainderLength = destination.size() - componentStart;
        if (remainderLength <= source.size() &&
            source.compare(source.size() - remainderLength, remainderLength, destination, componentStart,
                           remainderLength) == 0) {
            std::string counterpart = source.substr(0, source.size() - (destination.size() - end));
            struct stat counterpartStatus;
            if (::stat(counterpart.c_str(), &counterpartStatus) == 0) mode = counterpartStatus.st_mode & 07777;
        }

        if (::mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) return false;
        if (preserveUid || preserveGid) {
            if (::chown(prefix.c_str(), preserveUid ? sourceStatus.st_uid : static_cast<uid_t>(-1),
                        preserveGid ? sourceStatus.st_gid : static_cast<gid_t>(-1)) != 0)
                return false;
        }
    }
    return true;
}

}  // namespace

namespace UTILITIES {

int64_t copy(const std::string& source, const std::string& destination, bool preserveUid, bool preserveGid) {
    int in;
    do {
        in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    } while (in < 0 && errno == EINTR);
    if (in < 0) return COPY_SOURCE_OPEN;

    struct stat sourceStatus;
    if (::fstat(in, &sourceStatus) != 0) {
        closeKeepingErrno(in);
        return COPY_SOURCE_STAT;
    }
    mode_t mode = sourceStatus.st_mode & 07777;

    std::string temporary = destination + ".tmp";
    int out = openTemporary(temporary, mode);
    if (out < 0) {
        if (errno != ENOENT) {
            closeKeepingErrno(in);
            return COPY_TMP_OPEN;
        }
        MutexGuard guard(copyProtectMkdirMutex);
        if (!makeMissingDirectories(source, destination, sourceStatus, preserveUid, preserveGid)) {
            closeKeepingErrno(in);
            return COPY_MKDIR;
        }
        out = openTemporary(temporary, mode);
        if (out < 0) {
            closeKeepingErrno(in);
            return COPY_TMP_AFTER_MKDIR;
        }
    }

    char buffer[8192];
    int64_t total = 0;
    for (;;) {
        ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            closeKeepingErrno(in);
            closeKeepingErrno(out);
            return COPY_READ;
        }
        for (ssize_t done = 0; done < got;) {
            ssize_t put = ::write(out, buffer + done, got - done);
            if (put < 0) {
                if (errno == EINTR) continue;
                closeKeepingErrno(in);
                closeKeepingErrno(out);
                return COPY_WRITE;
            }
            done += put;
        }
        total += got;
    }
    ::close(in);  // read-only: nothing to lose on close

    if (preserveUid || preserveGid) {
        if (::fchown(out, preserveUid ? sourceStatus.st_uid : static_cast<uid_t>(-1),
                     preserveGid ? sourceStatus.st_gid : static_cast<gid_t>(-1)) != 0) {
            closeKeepingErrno(out);
            return COPY_OWNER;
        }
    }
    // The mode is set explicitly: a leftover temporary file keeps the mode it
    // was created with, and a process umask would narrow the creation mode.
    // After fchown, because changing the owner may clear set-id bits.
    if (::fchmod(out, mode) != 0) {
        closeKeepingErrno(out);
        return COPY_OWNER;
    }

    struct timeval times[2];
    times[0].tv_sec = ::time(nullptr);
    times[0].tv_usec = 0;
    times[1].tv_sec = sourceStatus.st_mtime;
    times[1].tv_usec = 0;
    if (::futimes(out, times) != 0) {
        closeKeepingErrno(out);
        return COPY_TIMES;
    }

    // A failed close (a delayed write error on some file systems) means the
    // content may not be complete: report it as a write error.
    if (::close(out) != 0 && errno != EINTR) return COPY_WRITE;
    if (::rename(temporary.c_str(), destination.c_str()) != 0) return COPY_RENAME;
    return total;
}

int lchown(const char* path, uint32_t uid, bool setUid, uint32_t gid, bool setGid) {
    if (!setUid && !setGid) return 0;
    return ::lchown(path, setUid ? uid : static_cast<uid_t>(-1), setGid ? gid : static_cast<gid_t>(-1));
}

int setPidFile(const std::string& path, const std::vector<int>& pids) {
    FILE* file = fopen(path.c_str(), "w");
    if (file == nullptr) return 1;
    fprintf(file, "%d\n", static_cast<int>(getpid()));
    for (int pid : pids)
        if (pid != 0) fprintf(file, "%d\n", pid);
    // A pid file that could not be written out completely is as bad as none.
    if (fclose(file) != 0) return 1;
    return 0;
}

}  // namespace UTILITIES
