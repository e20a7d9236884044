#include "copy/CopyEngine.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include "thread/MutexGuard.h"
#include "thread/Thread.h"
#include "util/Checksum.h"
#include "util/Errors.h"
#include "util/Stop.h"

namespace {

// Serialises the creation of missing directories across all copy workers of
// all storages, so that two workers never race to make the same directory.
Mutex* copyProtectMkdirMutex = Thread::initializeMutex();

// Creates the temporary file of a copy in `dir`. A leftover of an interrupted
// copy, whatever it is (a file, a link someone planted, a pipe), is removed by
// name, never opened, and the file is made anew with O_EXCL.
UniqueFd createTemporary(int dir, const std::string& name, mode_t mode, int access) {
    for (int attempt = 0;; ++attempt) {
        int fd;
        do fd = ::openat(dir, name.c_str(), access | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        while (fd < 0 && errno == EINTR);
        if (fd >= 0 || errno != EEXIST || attempt == 1) return UniqueFd(fd);
        if (::unlinkat(dir, name.c_str(), 0) != 0) {
            if (errno == EISDIR) {
                if (::unlinkat(dir, name.c_str(), AT_REMOVEDIR) != 0) return UniqueFd();
            } else if (errno != ENOENT) {
                return UniqueFd();
            }
        }
    }
}

// The absolute path of `relative` below `base`, which may end in "/".
std::string below(const std::string& base, const std::string& relative) {
    return (!base.empty() && base.back() == '/' ? base : base + "/") + relative;
}

// The mode of the directory `relative` below `from`; 0755 when it is no
// directory or cannot be examined.
mode_t directoryMode(TrustedTree& from, const std::string& relative) {
    std::string name;
    const int dir = from.parentOf(relative, name);
    struct stat status;
    if (dir < 0 || ::fstatat(dir, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(status.st_mode))
        return 0755;
    return status.st_mode & 07777;
}

// Mode of a new directory `directory` on the way to `destination`: that of its
// counterpart in the source tree, found by matching the tails of both paths
// at a component boundary; 0755 where there is none, or where the counterpart
// is no directory or cannot be examined (never through a link below the
// source's base). An absolute `directory` is a missing folder of the target
// itself, matched with the absolute paths of both.
mode_t counterpartMode(TrustedTree& from, const std::string& source, TrustedTree& to, const std::string& destination,
                       const std::string& directory) {
    if (!directory.empty() && directory[0] == '/') {
        const std::string sourcePath = below(from.basePath(), source), destinationPath = below(to.basePath(), destination);
        const size_t lastComponent = directory.rfind('/');
        const size_t remainderLength = destinationPath.size() - lastComponent;
        if (remainderLength > sourcePath.size() ||
            sourcePath.compare(sourcePath.size() - remainderLength, remainderLength, destinationPath, lastComponent) != 0)
            return 0755;
        const std::string counterpart = sourcePath.substr(0, sourcePath.size() - (destinationPath.size() - directory.size()));
        const std::string sourceBase = below(from.basePath(), "");
        if (counterpart.size() > sourceBase.size() && counterpart.compare(0, sourceBase.size(), sourceBase) == 0)
            return directoryMode(from, counterpart.substr(sourceBase.size()));
        // The source's base or a folder above it: configured, and trusted as written.
        struct stat status;
        return ::stat(counterpart.c_str(), &status) == 0 && S_ISDIR(status.st_mode) ? status.st_mode & 07777 : 0755;
    }
    const size_t lastComponent = directory.rfind('/') == std::string::npos ? 0 : directory.rfind('/') + 1;
    const size_t remainderLength = destination.size() - lastComponent;
    if (remainderLength > source.size()) return 0755;
    const size_t at = source.size() - remainderLength;
    if ((at > 0 && source[at - 1] != '/') || source.compare(at, remainderLength, destination, lastComponent) != 0)
        return 0755;
    return directoryMode(from, source.substr(0, source.size() - (destination.size() - directory.size())));
}

// Whether the file system of `fd`, on device `device`, keeps its files in
// memory only (tmpfs, ramfs). Remembered for the last device of each thread.
bool inMemory(int fd, dev_t device) {
    thread_local dev_t known = 0;
    thread_local bool memory = false;
    if (known != device || device == 0) {
        struct statfs system;
        memory = ::fstatfs(fd, &system) == 0 && (system.f_type == TMPFS_MAGIC || system.f_type == RAMFS_MAGIC);
        known = device;
    }
    return memory;
}

// Hashes the regular file open as `fd` into `hex`; false when it cannot be read.
bool hashOpenFile(int fd, std::string& hex) {
    thread_local char buffer[65536];
    UTILITIES::Checksum checksum;
    if (UTILITIES::hashDescriptor(fd, checksum, buffer, sizeof buffer) < 0) return false;
    hex = checksum.hex();
    return true;
}

}  // namespace

namespace UTILITIES {

int64_t copy(const CopyRequest& request) {
    TrustedTree& from = request.from;
    TrustedTree& to = request.to;
    const std::string& source = request.source;
    const std::string& destination = request.destination;
    const bool preserveUid = request.preserveUid, preserveGid = request.preserveGid;
    std::string sourceName;
    const int sourceDir = from.parentOf(source, sourceName);
    if (sourceDir < 0) return COPY_SOURCE_OPEN;
    int opened;
    // O_NONBLOCK: opening a pipe for reading would otherwise wait for a writer.
    do opened = ::openat(sourceDir, sourceName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    while (opened < 0 && errno == EINTR);
    UniqueFd in(opened);
    if (!in) return COPY_SOURCE_OPEN;

    struct stat sourceStatus;
    if (::fstat(in.get(), &sourceStatus) != 0) return COPY_SOURCE_STAT;
    if (!S_ISREG(sourceStatus.st_mode)) {
        in.reset();
        errno = EINVAL;
        return COPY_NOT_REGULAR;
    }
    const mode_t mode = sourceStatus.st_mode & 07777;

    std::string name;
    int dir = to.parentOf(destination, name);
    const std::string temporary = name + ".tmp";
    UniqueFd temporaryFile = dir < 0 ? UniqueFd() : createTemporary(dir, temporary, mode, O_WRONLY);
    if (!temporaryFile) {
        if (errno != ENOENT) return COPY_TMP_OPEN;
        MutexGuard guard(copyProtectMkdirMutex);
        dir = to.makeParentOf(
            destination, name,
            [&](const std::string& directory) { return counterpartMode(from, source, to, destination, directory); },
            preserveUid ? sourceStatus.st_uid : static_cast<uid_t>(-1),
            preserveGid ? sourceStatus.st_gid : static_cast<gid_t>(-1));
        if (dir < 0) return COPY_MKDIR;
        temporaryFile = createTemporary(dir, temporary, mode, O_WRONLY);
        if (!temporaryFile) return COPY_TMP_AFTER_MKDIR;
    }
    const int out = temporaryFile.get();
    // From here on a failure removes the temporary file, which would only
    // hold space on the target until the next copy of the same file.
    auto removeTemporary = [&]() {
        int savedErrno = errno;
        ::unlinkat(dir, temporary.c_str(), 0);  // a failure leaves it for the next copy to remove
        errno = savedErrno;
    };
    auto fail = [&](int64_t code) {
        temporaryFile.reset();
        removeTemporary();
        return code;
    };

    // The caller's buffer, kept from copy to copy, or one of the default size.
    std::vector<char>* const buffer = request.buffer;
    char ownBuffer[8192];
    char* const data = buffer != nullptr && !buffer->empty() ? buffer->data() : ownBuffer;
    const size_t size = buffer != nullptr && !buffer->empty() ? buffer->size() : sizeof ownBuffer;
    Verification* const verify = request.verify;
    int64_t total = 0;
    Checksum checksum;
    for (;;) {
        if (copiesAborted()) {
            // The daemon stops, and this copy could not finish in time.
            in.reset();
            errno = ECANCELED;
            return fail(COPY_WRITE);
        }
        ssize_t got = ::read(in.get(), data, size);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            in.reset();
            return fail(COPY_READ);
        }
        for (ssize_t done = 0; done < got;) {
            ssize_t put = ::write(out, data + done, got - done);
            if (put < 0) {
                if (errno == EINTR) continue;
                in.reset();
                return fail(COPY_WRITE);
            }
            done += put;
        }
        if (verify != nullptr) checksum.add(data, static_cast<size_t>(got));
        total += got;
    }
    if (request.hooks != nullptr && request.hooks->sourceRead) request.hooks->sourceRead(in.get());
    // A source still being written, or cut short, would leave a copy of no
    // state it ever had, and the source's identity taken at the open, which
    // the release of the file is checked against, would not be the copy's.
    struct stat after;
    const bool changed = ::fstat(in.get(), &after) != 0 || after.st_size != sourceStatus.st_size ||
                         after.st_size != total || after.st_mtim.tv_sec != sourceStatus.st_mtim.tv_sec ||
                         after.st_mtim.tv_nsec != sourceStatus.st_mtim.tv_nsec;
    in.reset();  // read-only: nothing to lose on close
    if (changed) {
        errno = EAGAIN;
        return fail(COPY_SOURCE_CHANGED);
    }
    if (verify != nullptr) {
        verify->sourceHash = checksum.hex();
        if (!verify->expected.empty() && verify->sourceHash != verify->expected) {
            errno = EIO;
            return fail(COPY_MISMATCH);
        }
    }

    if (preserveUid || preserveGid) {
        if (::fchown(out, preserveUid ? sourceStatus.st_uid : static_cast<uid_t>(-1),
                     preserveGid ? sourceStatus.st_gid : static_cast<gid_t>(-1)) != 0)
            return fail(COPY_OWNER);
    }
    // The mode is set explicitly: a process umask would narrow the creation
    // mode. After fchown, because changing the owner may clear set-id bits.
    if (::fchmod(out, mode) != 0) return fail(COPY_OWNER);

    const struct timespec times[2] = {{::time(nullptr), 0}, {sourceStatus.st_mtime, 0}};
    if (::futimens(out, times) != 0) return fail(COPY_TIMES);
    CopiedFile* const made = request.made;
    struct stat copyStatus;
    if (made != nullptr && ::fstat(out, &copyStatus) != 0) return fail(COPY_TIMES);

    if (::renameat(dir, temporary.c_str(), dir, name.c_str()) != 0) return fail(COPY_RENAME);
    if (made != nullptr) {
        made->source = FileIdentity::of(sourceStatus);
        made->copy = FileIdentity::of(copyStatus);
        made->descriptor = std::move(temporaryFile);
    }
    // Without `made` the copy is closed here: no flush follows, and errors of
    // the write-back are no one's to see.
    return total;
}

int64_t readBack(TrustedTree& to, const std::string& destination, const FileIdentity& copy, Verification& verify,
                 const CopyHooks* hooks) {
    std::string name;
    const int dir = to.parentOf(destination, name);
    UniqueFd fd(dir < 0 ? -1 : ::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status;
    if (!fd || ::fstat(fd.get(), &status) != 0) return COPY_READ_BACK;
    if (status.st_dev != copy.device || status.st_ino != copy.inode) {
        errno = ESTALE;  // another file has taken the copy's name: it is not removed
        return COPY_READ_BACK;
    }
    if (hooks != nullptr && hooks->copyRenamed) hooks->copyRenamed(fd.get());
    // Clean pages, after the flush, go, and the copy is read from the disk.
    // A file system in memory has no other place to read it from: asking it
    // would only cost a drain of every CPU's page lists per copy.
    if (!inMemory(fd.get(), status.st_dev)) ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_DONTNEED);
    // Large reads: the copy is read back at the speed of the disk, not of system calls.
    thread_local std::vector<char> buffer(1 << 20);
    Checksum checksum;
    verify.copySize = hashDescriptor(fd.get(), checksum, buffer.data(), buffer.size(), copy.size);
    int64_t code = 0;
    if (verify.copySize < 0) {
        code = COPY_READ_BACK;
    } else {
        verify.copyHash = checksum.hex();
        if (verify.copyHash != verify.sourceHash || verify.copySize != copy.size) code = COPY_MISMATCH;
    }
    const int savedErrno = code == COPY_MISMATCH ? EIO : errno;
    struct stat there;
    if (code != 0 && ::fstatat(dir, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 && there.st_dev == status.st_dev &&
        there.st_ino == status.st_ino)
        ::unlinkat(dir, name.c_str(), 0);
    errno = savedErrno;
    return code;
}

Leftover judgeLeftover(TrustedTree& from, const std::string& source, TrustedTree& to, const std::string& destination,
                       int64_t recordedSize, const std::string& reference, CopiedFile& made, std::string& why) {
    std::string name;
    int dir = from.parentOf(source, name);
    struct stat sourceStatus;
    bool sourceThere = false;
    if (dir >= 0) {
        struct stat linkStatus;
        if (fstatat(dir, (name + ".tmp").c_str(), &linkStatus, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(linkStatus.st_mode))
            ::unlinkat(dir, (name + ".tmp").c_str(), 0);  // a failure leaves it to the link pass to report
        sourceThere = fstatat(dir, name.c_str(), &sourceStatus, AT_SYMLINK_NOFOLLOW) == 0;
        if (!sourceThere && errno != ENOENT) return Leftover::NONE;
        // A link in its place: the link pass made it, or a user; the copy made before stands.
        if (sourceThere && S_ISLNK(sourceStatus.st_mode)) sourceThere = false;
        if (sourceThere && !S_ISREG(sourceStatus.st_mode)) return Leftover::NONE;
    } else if (errno != ENOENT && errno != ENOTDIR) {
        return Leftover::NONE;
    }
    dir = to.parentOf(destination, name);
    if (dir < 0) return Leftover::NONE;  // no folder, no copy; a link in the way is the copy's to report
    const std::string temporary = name + ".tmp";

    // Opens `candidate` in `dir` and says why it is not a whole copy; "" when it is.
    auto judge = [&](const std::string& candidate, const char* what, UniqueFd& fd, struct stat& status) {
        fd.reset(::openat(dir, candidate.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!fd && errno == ENOENT) return std::string();  // not there, and no reason needed
        if (!fd) return std::string("the ") + what + " cannot be read: " + systemText(errno);
        if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode))
            return std::string("the ") + what + " is not a regular file";
        if (sourceThere) {
            if (status.st_size != sourceStatus.st_size || status.st_mtim.tv_sec != sourceStatus.st_mtim.tv_sec)
                return std::string("the ") + what + " is not the source's";
        } else if (recordedSize < 0) {
            return std::string("no size was recorded for the file, so the ") + what + " cannot be judged";
        } else if (status.st_size != recordedSize) {
            return std::string("the ") + what + " has " + std::to_string(status.st_size) + " bytes, the file had " +
                   std::to_string(recordedSize);
        }
        std::string hash;
        if (!reference.empty() && (!hashOpenFile(fd.get(), hash) || hash != reference))
            return std::string("the ") + what + " does not hash to the file's reference hash";
        return std::string();
    };
    auto take = [&](UniqueFd& fd, const struct stat& status) {
        made.source = sourceThere ? FileIdentity::of(sourceStatus) : FileIdentity();
        made.copy = FileIdentity::of(status);
        made.descriptor = std::move(fd);
    };

    UniqueFd copy;
    struct stat copyStatus;
    const std::string copyWhy = judge(name, "copy", copy, copyStatus);
    if (copy && copyWhy.empty()) {
        ::unlinkat(dir, temporary.c_str(), 0);  // ENOENT mostly; a leftover is the daemon's own
        take(copy, copyStatus);
        return Leftover::COMPLETE;
    }
    // Whatever the source still holds is copied again, which makes the
    // temporary copy anew.
    if (sourceThere) return Leftover::NONE;
    UniqueFd partial;
    struct stat partialStatus;
    const std::string partialWhy = judge(temporary, "temporary copy", partial, partialStatus);
    if (partial && partialWhy.empty()) {
        // Checked by the descriptor, renamed by name: the name must still
        // lead to the file judged, or it is left alone.
        struct stat there;
        if (fstatat(dir, temporary.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 && there.st_dev == partialStatus.st_dev &&
            there.st_ino == partialStatus.st_ino && ::renameat(dir, temporary.c_str(), dir, name.c_str()) == 0) {
            take(partial, partialStatus);
            return Leftover::PROMOTED;
        }
        why = "the temporary copy could not be renamed into place: " + systemText(errno);
        return Leftover::UNPROVEN;
    }
    if (!copy && !partial) return Leftover::NONE;
    why = !copyWhy.empty() ? copyWhy : partialWhy;
    if (copy && partial && !partialWhy.empty()) why += ", and " + partialWhy;
    return Leftover::UNPROVEN;
}

}  // namespace UTILITIES
