#include "health/StorageHealth.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include "net/MessageServer.h"
#include "thread/MutexGuard.h"
#include "thread/Thread.h"
#include "util/Errors.h"
#include "util/Mounts.h"
#include "util/Time.h"
#include "util/TrustedTree.h"
#include "util/UniqueFd.h"

namespace {

// The marker at the top of a target that names the disk it lies on.
const char markerName[] = ".vellort-disk";
// The first line of the record of a disk's only copies, before the disk's id.
const char recordHeader[] = "# files whose only copy is on disk ";
// Per-file copy errors that go out each minute while a storage is not up.
const int reportsPerMinute = 3;

int64_t wallSeconds() {
    return static_cast<int64_t>(time(nullptr));
}

std::string newDiskId() {
    unsigned char bytes[16];
    // getrandom() without flags blocks only before the pool is ready at
    // boot; a short read falls back on the clock, which still tells two
    // disks of one host apart.
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        const int64_t now = UTILITIES::monotonicNanoseconds() ^ (wallSeconds() << 20);
        for (size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>(now >> (8 * (i % 8)));
    }
    static const char hex[] = "0123456789abcdef";
    std::string id;
    for (unsigned char byte : bytes) {
        id += hex[byte >> 4];
        id += hex[byte & 15];
    }
    return id;
}

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t put = write(fd, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += static_cast<size_t>(put);
    }
    return true;
}

}  // namespace

const char* StorageHealth::stateName(State state) {
    if (state == FAILING) return "failing";
    if (state == ABSENT) return "absent";
    return "up";
}

bool StorageHealth::isDiskError(int errnum) {
    switch (errnum) {
        case EIO:
        case EROFS:
        case ENOSPC:
        case EDQUOT:
        case ENODEV:
        case ENXIO:
        case ENOMEDIUM:
        case ESTALE:
        case ENOTCONN:
        case ESHUTDOWN:
        case EUCLEAN:
        case EREMOTEIO:
            return true;
        default:
            return false;
    }
}

StorageHealth::StorageHealth(const Settings& settings)
    : settings(settings), logFile(settings.logfile), mutex(Thread::initializeMutex()) {
    // A watched disk vouches for nothing before its first look.
    MutexGuard guard(mutex);
    diskToCheck = !settings.targetMount.empty();
}

StorageHealth::~StorageHealth() {
    // recordFd goes with the object: nothing is buffered, each line went out with write().
    delete mutex;
}

void StorageHealth::targetFailed(int errnum) {
    if (!isDiskError(errnum)) return;
    MutexGuard guard(mutex);
    if (state == UP) _enter(FAILING, UTILITIES::systemText(errnum));
}

void StorageHealth::targetAbsent() {
    MutexGuard guard(mutex);
    if (state == ABSENT) return;
    const std::string why = settings.targetMount + " is not mounted";
    if (state == UP) {
        _enter(ABSENT, why);
        return;
    }
    // Still not up: said, not alarmed again.
    state = ABSENT;
    reason = why;
    logFile << settings.storageID << ": Storage " << settings.storageID << " is now absent: " << why << endl;
}

void StorageHealth::copyMade() {
    if (up.load(std::memory_order_acquire)) return;
    MutexGuard guard(mutex);
    if (state != UP) _leave();
}

bool StorageHealth::mayReport() {
    if (up.load(std::memory_order_acquire)) return true;
    MutexGuard guard(mutex);
    if (state == UP) return true;
    ++errorsWhileDown;
    const int64_t minute = wallSeconds() / 60;
    if (minute != reportMinute) {
        _reportSuppressed();
        reportMinute = minute;
        reportsThisMinute = 0;
    }
    if (reportsThisMinute < reportsPerMinute) {
        ++reportsThisMinute;
        return true;
    }
    ++suppressed;
    ++suppressedSinceDown;
    return false;
}

bool StorageHealth::releasable() {
    dev_t device;
    if (!settings.targetMount.empty() && !_mounted(device)) {
        targetAbsent();
        return false;
    }
    MutexGuard guard(mutex);
    return state == UP && !refilling && !diskToCheck;
}

StorageHealth::Snapshot StorageHealth::snapshot() const {
    MutexGuard guard(mutex);
    Snapshot shot;
    shot.state = state;
    shot.reason = reason;
    shot.since = since;
    shot.suppressed = suppressedSinceDown;
    shot.refilling = refilling;
    return shot;
}

bool StorageHealth::probe() {
    dev_t device = 0;
    const bool watched = !settings.targetMount.empty();
    if (watched && !_mounted(device)) {
        targetAbsent();
        return false;
    }
    State now;
    bool toCheck;
    {
        MutexGuard guard(mutex);
        if (wallSeconds() / 60 != reportMinute) _reportSuppressed();
        now = state;
        toCheck = diskToCheck;
    }
    if (now == UP) {
        // A file system that met an error of its disk turns itself read-only;
        // idle, the storage learns it here rather than from the next copy.
        struct statvfs stats;
        if (statvfs(settings.target.c_str(), &stats) == 0 && (stats.f_flag & ST_RDONLY) != 0) {
            MutexGuard guard(mutex);
            if (state == UP) _enter(FAILING, UTILITIES::systemText(EROFS));
            return false;
        }
        if (!watched) return false;
    }
    // Whose disk is it? The marker is read each time: a new disk may come
    // on the old one's device number, and a copy may have found it up first.
    const bool replaced = watched && _checkDisk();
    if (now == UP && !toCheck && !replaced && device == diskDevice) return false;
    // Not up, or a disk not looked at yet: does it take writes? Its I/O is
    // done without the lock, for a dying disk may take long to fail, and the
    // copy workers must not wait.
    diskDevice = device;
    const int error = _writeMarker(watched ? diskId : std::string("-"));
    MutexGuard guard(mutex);
    if (error != 0) {
        if (state == UP && isDiskError(error)) _enter(FAILING, UTILITIES::systemText(error));
        return replaced;
    }
    diskToCheck = false;
    if (state != UP) _leave();
    return replaced;
}

void StorageHealth::refillDone(int copied, int failed) {
    MutexGuard guard(mutex);
    refilling = false;
    logFile << settings.storageID << ": The new disk at " << settings.targetMount << " holds the copies again: "
            << copied << " files copied to it, " << failed << " could not be" << endl;
}

void StorageHealth::recordOnlyCopies(const std::vector<std::string>& relativePaths) {
    if (relativePaths.empty() || settings.targetMount.empty()) return;
    std::string lines;
    for (const std::string& path : relativePaths) lines += path + "\n";
    MutexGuard guard(mutex);
    // Failure ignored on purpose but said: the list is the operator's, the
    // copies do not depend on it.
    if (recordFd && !writeAll(recordFd.get(), lines))
        logFile << settings.storageID << ": Error: " << _recordPath()
                << " could not be written: " << LogManip(&LogFile::errmsg, errno) << endl;
}

void StorageHealth::_enter(State newState, const std::string& newReason) {
    state = newState;
    up.store(false, std::memory_order_release);
    reason = newReason;
    since = wallSeconds();
    // A watched disk that comes back is looked at before it vouches for
    // anything: it may be another. An unwatched target is its own directory.
    diskToCheck = !settings.targetMount.empty();
    errorsWhileDown = 0;
    suppressedSinceDown = 0;
    reportMinute = since / 60;
    reportsThisMinute = 0;
    const std::string text = "Error: Storage " + settings.storageID + " is " + stateName(newState) + ": " +
                             newReason + "; nothing is let go on the strength of its copies until it is up again";
    logFile << settings.storageID << ": " << text << endl;
    if (settings.messageServer != nullptr)
        settings.messageServer->addToMessageQueue(MessageServer::STORAGE_FAILING, settings.storageID, text);
}

void StorageHealth::_leave() {
    _reportSuppressed();
    const int64_t now = wallSeconds();
    const std::string text = "Storage " + settings.storageID + " is up again after " + std::to_string(now - since) +
                             " s " + stateName(state) + " (" + reason + "); " + std::to_string(errorsWhileDown) +
                             " copy errors meanwhile";
    state = UP;
    up.store(true, std::memory_order_release);
    reason.clear();
    since = now;
    logFile << settings.storageID << ": " << text << endl;
    if (settings.messageServer != nullptr)
        settings.messageServer->addToMessageQueue(MessageServer::STORAGE_BACK, settings.storageID, text);
}

void StorageHealth::_reportSuppressed() {
    if (suppressed == 0) return;
    logFile << settings.storageID << ": Error: " << suppressed << " more copy errors while the storage was "
            << stateName(state) << ", not reported one by one" << endl;
    suppressed = 0;
}

bool StorageHealth::_mounted(dev_t& device) const {
    return UTILITIES::isMountPoint(settings.targetMount, device);
}

int StorageHealth::_writeMarker(const std::string& id) {
    TrustedTree target(settings.target, true);
    std::string name;
    const int dir = target.parentOf(markerName, name);
    if (dir < 0) return errno;
    const std::string temporary = name + ".tmp";
    // Failure ignored on purpose: a leftover of an earlier probe, if any.
    unlinkat(dir, temporary.c_str(), 0);
    UniqueFd fd(openat(dir, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd) return errno;
    // The tree holds its directories as O_PATH descriptors, which cannot be flushed.
    UniqueFd directory;
    if (!writeAll(fd.get(), id + "\n") || fsync(fd.get()) != 0 ||
        renameat(dir, temporary.c_str(), dir, name.c_str()) != 0 ||
        !(directory = UniqueFd(openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC))) || fsync(directory.get()) != 0) {
        const int error = errno;
        unlinkat(dir, temporary.c_str(), 0);  // failure ignored: the next probe removes it
        return error;
    }
    return 0;
}

bool StorageHealth::_readMarker(std::string& id) {
    id.clear();
    TrustedTree target(settings.target);
    std::string name;
    const int dir = target.parentOf(markerName, name);
    if (dir < 0) return errno == ENOENT;
    UniqueFd fd(openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return errno == ENOENT;
    struct stat status;
    if (fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
    char text[64];
    ssize_t got;
    do got = read(fd.get(), text, sizeof text - 1);
    while (got < 0 && errno == EINTR);
    if (got < 0) return false;
    id.assign(text, static_cast<size_t>(got));
    id = id.substr(0, id.find('\n'));
    return true;
}

std::string StorageHealth::_recordedDisk() const {
    std::string recorded;
    FILE* record = fopen(_recordPath().c_str(), "re");
    if (record == nullptr) return recorded;
    char line[128];
    if (fgets(line, sizeof line, record) != nullptr) recorded = line;
    fclose(record);
    // "# files whose only copy is on disk <id>"
    const size_t id = recorded.find(recordHeader) == 0 ? sizeof recordHeader - 1 : std::string::npos;
    return id == std::string::npos ? std::string() : recorded.substr(id, recorded.find('\n') - id);
}

bool StorageHealth::_checkDisk() {
    std::string found;
    // A marker that cannot be read is no sign of another disk: judged later.
    if (!_readMarker(found)) return false;
    if (!diskChecked) {
        diskChecked = true;
        // The disk the record names, if one was kept before this start.
        diskId = settings.stateDirectory.empty() ? std::string() : _recordedDisk();
        if (diskId.empty() || diskId == found) {
            if (diskId.empty()) diskId = found.empty() ? newDiskId() : found;
            MutexGuard guard(mutex);
            _startRecord(diskId);
            return false;
        }
    } else if (found == diskId) {
        return false;
    }
    // Another disk than the one whose record is kept: the files it alone
    // held are named, and the new one is filled with what the daemon still has.
    const std::string old = diskId;
    diskId = found.empty() ? newDiskId() : found;
    MutexGuard guard(mutex);
    recordFd.reset();  // nothing buffered: each line went out with write()
    int lost = 0;
    FILE* record = settings.stateDirectory.empty() ? nullptr : fopen(_recordPath().c_str(), "re");
    if (record != nullptr) {
        char line[4096];
        bool first = true;
        while (fgets(line, sizeof line, record) != nullptr) {
            if (!first && line[0] != '\n' && line[0] != '#') ++lost;
            first = false;
        }
        fclose(record);
    }
    const std::string list = settings.stateDirectory + "/" + settings.storageID + "-lost-" + old + ".list";
    std::string text = "Error: Storage " + settings.storageID + ": another disk is mounted at " + settings.targetMount +
                       " (disk " + diskId + ", was " + old + "); ";
    if (lost > 0 && rename(_recordPath().c_str(), list.c_str()) == 0)
        text += std::to_string(lost) + " files had their only copy on the old disk: they are listed in " + list;
    else
        text += "no file had its only copy on the old disk";
    logFile << settings.storageID << ": " << text << endl;
    if (settings.messageServer != nullptr)
        settings.messageServer->addToMessageQueue(MessageServer::STORAGE_FAILING, settings.storageID, text);
    _startRecord(diskId);
    refilling = true;
    return true;
}

void StorageHealth::_startRecord(const std::string& id) {
    if (settings.stateDirectory.empty()) return;
    const std::string path = _recordPath();
    // Kept while it names this disk; begun afresh for another.
    const std::string recorded = _recordedDisk();
    const int flags = O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (recorded == id ? 0 : O_TRUNC);
    recordFd.reset(open(path.c_str(), flags, 0600));
    if (!recordFd || (recorded != id && !writeAll(recordFd.get(), recordHeader + id + "\n")))
        logFile << settings.storageID << ": Error: " << path
                << " could not be written: " << LogManip(&LogFile::errmsg, errno) << endl;
}

std::string StorageHealth::_recordPath() const {
    return settings.stateDirectory + "/" + settings.storageID + ".only-copies";
}
