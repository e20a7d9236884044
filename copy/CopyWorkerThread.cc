#include "copy/CopyWorkerThread.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "copy/CopyEngine.h"
#include "copy/CopyThread.h"
#include "events/EventText.h"
#include "events/Publisher.h"
#include "health/StorageHealth.h"
#include "journal/Journal.h"
#include "ledger/Cascade.h"
#include "net/MessageServer.h"
#include "systemd/ServiceNotifier.h"
#include "util/Checksum.h"
#include "util/Errors.h"
#include "util/Mounts.h"
#include "util/Paths.h"
#include "util/Stop.h"
#include "util/Time.h"

CopyWorkerThread::CopyWorkerThread(const Storage::Params& params, std::list<FileInfo>& files, CopyThread& copyThread,
                                   std::list<DebitCredit::Retry> retries, Refill* refill)
    : params(params), batch(std::move(retries)), copyThread(copyThread), refill(refill) {
    // The storage's scheduler has opened the log: a job, made for every few
    // files, only writes to it.
    logFile.use(params.logfile);
    // The new files after the retries, with no failed attempt yet.
    for (const FileInfo& file : files) batch.push_back({file, 0, 0});
    files.clear();
}

void CopyWorkerThread::work() {
    logFile << params.storageID << ": Copy job started" << endl;
    // Held for this job only, so a file system mounted anew is seen by the next.
    Job job(params);
    // systemd's watchdog: set while this worker is at one file, or at a flush.
    SYSTEMD::BusyStamp busy(params.storageID + ": copy worker");
    for (DebitCredit::Retry& entry : batch) {
        // At a stop the rest of the batch stays where it is, uncopied; the
        // copies made are booked first, as their steps hold the stop.
        std::unique_ptr<UTILITIES::FileStep> step(new UTILITIES::FileStep);
        if (!step->allowed()) {
            _flush(job, busy);
            UTILITIES::parkForStop();
        }
        // A path announced again while another job copies it is copied once
        // more after that copy, never beside it: the two would share one
        // .tmp. The path is taken before the file's lock, and a worker that
        // waits for a path holds no other path and no file's lock: it books
        // what it made, letting go of those paths, before it waits.
        const std::string relative = UTILITIES::getFilePathAfterDot(entry.file.pathToOrigin());
        if (!copyThread.beginCopy(relative)) {
            // This job's own copy of the path, waiting for its flush, is booked first.
            const bool own = std::any_of(job.unflushed.begin(), job.unflushed.end(),
                                         [&](const Unflushed& copy) { return copy.relative == relative; });
            if (!own)
                logFile << params.storageID << ": " << params.target << "/" << relative
                        << " is being copied: copied again after that" << endl;
            _flush(job, busy);
            copyThread.waitToBeginCopy(relative);
        }
        const std::string origin = entry.file.pathToOrigin();
        busy.begin(origin);
        bool made;
        {
            FileInfo::ReadLock lock(entry.file);
            made = _copyFile(entry.file, job, entry.attempts, step);
        }
        busy.end();
        if (!made) copyThread.endCopy(relative);  // a copy made keeps its path until it is booked
        if (_flushDue(job)) _flush(job, busy);
    }
    _flush(job, busy);
    _writeSummary(job.summary);
}

CopyWorkerThread::Trees::Trees(const Storage::Params& params)
    // The copy makes a missing target, with the modes of its counterparts.
    : ramdisk(params.ramdisk_mountpoint), target(params.target) {
    for (const std::string& directory : params.alternativeSourceDirs)
        alternatives.emplace_back(new TrustedTree(directory));
}

bool CopyWorkerThread::_flushDue(const Job& job) const {
    // One flush for the whole job costs least; these bound what waits for it,
    // and how long, in a job of many files or large ones.
    const size_t maxFiles = 1000;
    const int64_t maxBytes = int64_t(256) << 20;
    const int64_t maxWait = 1000000000;  // nanoseconds
    return !job.unflushed.empty() && (job.unflushed.size() >= maxFiles || job.unflushedBytes >= maxBytes ||
                                      UTILITIES::monotonicNanoseconds() - job.firstUnflushed >= maxWait);
}

void CopyWorkerThread::_flush(Job& job, SYSTEMD::BusyStamp& busy) {
    if (job.unflushed.empty()) return;
    busy.begin("the flush of " + params.target);
    // Every copy waiting has its data and its name in the page cache; only a
    // flush that succeeds puts them on the disk. One that fails may have
    // lost any of them: all are made again, from their sources. Copies read
    // back have their manifest lines flushed in a second, small flush.
    int error = job.flush.flush();
    busy.end();
    if (error == 0) {
        _readBack(job, busy);
        error = job.flush.flush();
    }
    if (error != 0 && params.health != nullptr) params.health->targetFailed(error);
    for (Unflushed& copy : job.unflushed) {
        if (copy.failed) {
            // booked failed by the read-back
        } else if (error == 0) {
            _book(copy, job.summary);
        } else {
            _failed(copy.file, copy.attempts, true, [&] {
                _reportCopyError(copy.source, copy.destination, UTILITIES::COPY_FLUSH, error,
                                 UTILITIES::Verification());
            });
        }
        copyThread.endCopy(copy.relative);
    }
    job.unflushed.clear();  // their steps end: a stop may go on
    job.unflushedBytes = 0;
}

void CopyWorkerThread::_readBack(Job& job, SYSTEMD::BusyStamp& busy) {
    for (Unflushed& copy : job.unflushed) {
        if (!copy.toReadBack) continue;
        busy.begin(copy.destination);
        UTILITIES::Verification& verification = copy.verification;
        int64_t result =
            UTILITIES::readBack(job.trees.target, copy.relative, copy.made.copy, verification, params.copyHooks);
        int readErrno = errno;
        busy.end();
        if (result == 0 &&
            !_acceptVerified(copy.file, job, copy.relative, copy.destination, copy.made, verification.sourceHash)) {
            verification.expected = copy.file.referenceHash();
            result = UTILITIES::COPY_MISMATCH;
            readErrno = EIO;
        }
        if (result == 0) {
            copy.verified = !_bookedBefore(copy.file);
            continue;
        }
        if (refill == nullptr) copyThread.bookVerification(copy.file, false);  // a refill books nothing anew
        _failed(copy.file, copy.attempts, true,
                [&] { _reportCopyError(copy.source, copy.destination, result, readErrno, verification); });
        copy.failed = true;
    }
}

void CopyWorkerThread::_book(Unflushed& copy, Summary& summary) {
    ++summary.copiedCount;
    if (!summary.stopped) _record(copy.relative, summary);
    FileInfo& file = copy.file;
    if (params.health != nullptr) params.health->copyMade();
    if (refill != nullptr) {
        // Booked long ago: only the copy the passes check changes, under the
        // file's write lock, as no pass looks at it meanwhile.
        FileInfo::WriteLock lock(file);
        const uint32_t flag = roleOf(params.type).copiedFlag;
        if (flag != 0) file.recordCopy(flag, copy.made.copy);
        METRICS::add(copyThread.counters().bytes, static_cast<uint64_t>(std::max<int64_t>(copy.made.copy.size, 0)));
        ++refill->copied;
        return;
    }
    // What was copied, for the passes that later let the file or the copy
    // go. An OPTIONAL copy vouches for no release: the state of the file it
    // holds is not theirs to check.
    const CascadeRole& role = roleOf(params.type);
    if (copy.fromRamdisk && copy.made.source.known() && role.recordsSourceIdentity) file.recordSource(copy.made.source);
    if (role.copiedFlag != 0) {
        file.recordCopy(role.copiedFlag, copy.made.copy);
        file.setFlag(role.copiedFlag);
    }
    METRICS::StorageCounters& counters = copyThread.counters();
    METRICS::add(counters.bytes, static_cast<uint64_t>(std::max<int64_t>(copy.made.copy.size, 0)));
    counters.delay.observe(UTILITIES::monotonicNanoseconds() - file.announced());
    // Its verification in the same booking: a stop never keeps one without the other.
    std::string event;
    if (params.events != nullptr) {
        std::string hash = params.verify_copies ? copy.verification.sourceHash : "";
        if (params.verify_copies && hash.empty()) hash = file.referenceHash();
        event = _fileEvent(file, copy.destination, copy.made.copy, hash, copy.attempts + 1, "");
    }
    _credit(file, copy.attempts, copy.verified, std::move(event));
    if (copy.attempts > 0)
        logFile << params.storageID << ": Copied " << copy.source << " to " << copy.destination << " at attempt "
                << copy.attempts + 1 << endl;
}

bool CopyWorkerThread::_copyFile(FileInfo& file, Job& job, uint32_t attempts,
                                 std::unique_ptr<UTILITIES::FileStep>& step) {
    Trees& trees = job.trees;
    // The EXTERNAL storage's passes leave the file's INTERNAL copy alone
    // until this storage has made it or given up: it is always copied here.
    file.setFlag(roleOf(params.type).copyStartedFlag);

    const std::string path = file.pathToOrigin();
    // The pipe reader rejects paths without the marker or outside the RAM
    // disk; should one arrive all the same, refuse it: its source would be
    // "/" or a file the daemon has no business reading.
    if (path.find("/./") == std::string::npos) {
        _failed(file, attempts, false,
                [&] { _reportRefusal(path, "the path has no /./ between its base and relative part"); });
        return false;
    }
    const std::string belowRamdisk = UTILITIES::pathBelow(params.ramdisk_mountpoint, path);
    if (belowRamdisk.empty()) {
        _failed(file, attempts, false,
                [&] { _reportRefusal(path, "the path does not lie below the RAM disk " + params.ramdisk_mountpoint); });
        return false;
    }
    const std::string root = UTILITIES::getFilePathBeforeDot(path);
    const std::string relative = UTILITIES::getFilePathAfterDot(path);
    const std::string destination = params.target + "/" + relative;
    const std::vector<std::string>& alternatives = params.alternativeSourceDirs;

    std::string source = root + "/" + relative;
    TrustedTree* from = &trees.ramdisk;
    std::string fromPath = belowRamdisk;
    size_t alternative = 0;
    if (roleOf(params.type).copiesFromEarlierTargets &&
        file.isSet(FileInfo::INTERNAL_LINKED | FileInfo::INTERNAL_REMOVED)) {
        // The file on the RAM disk is gone or a link: copy from the storages
        // made before this one.
        if (alternatives.empty()) {
            _failed(file, attempts, false, [&] { _reportCriticalError(source, destination); });
            return false;
        }
        source = alternatives[0] + "/" + relative;
        from = trees.alternatives[0].get();
        fromPath = relative;
        alternative = 1;
    }

    if (!_targetMounted(trees)) {
        if (params.health != nullptr) params.health->targetAbsent();
        // The disk may come back: tried again, with retries on.
        _failed(file, attempts, true, [&] { _reportRefusal(source, params.target_mount + " is not mounted"); });
        return false;
    }

    UTILITIES::CopiedFile made;
    UTILITIES::Verification verification;
    UTILITIES::Verification* verify = params.verify_copies ? &verification : nullptr;
    if (verify != nullptr) verification.expected = file.referenceHash();
    // Taken up again after a restart: what an earlier run left is judged
    // before anything is made anew, for with the source gone it may be the
    // last copy there is.
    UTILITIES::Leftover leftover = UTILITIES::Leftover::NONE;
    std::string unproven;
    if (file.isSet(FileInfo::RECOVERED)) {
        leftover = UTILITIES::judgeLeftover(*from, fromPath, trees.target, relative, file.recordedSize(),
                                            verification.expected, made, unproven);
        // Without a reference hash, a verifying storage makes the copy anew
        // while the source is there, and verifies it then.
        if (verify != nullptr && verification.expected.empty() && leftover == UTILITIES::Leftover::COMPLETE &&
            made.source.known()) {
            leftover = UTILITIES::Leftover::NONE;
            made = UTILITIES::CopiedFile();
        }
        if (leftover == UTILITIES::Leftover::PROMOTED)
            logFile << params.storageID << ": " << destination << ".tmp is complete: it becomes the copy" << endl;
    }
    const bool madeBefore = leftover == UTILITIES::Leftover::COMPLETE || leftover == UTILITIES::Leftover::PROMOTED;
    int64_t result = madeBefore ? made.copy.size : UTILITIES::COPY_SOURCE_OPEN;
    int copyErrno = ENOENT;
    if (!madeBefore && _wholeSource(file, *from, fromPath, trees)) {
        result = _copyOnce(*from, fromPath, source, trees, relative, made, verify);
        copyErrno = errno;
    }
    // Not there, or in an earlier target a link there (the EXTERNAL storage
    // leaves one in place of the INTERNAL copy it replaced): the next earlier
    // target may have it. A link on the RAM disk is a user's, and refused.
    auto elsewhere = [&]() {
        return copyErrno == ENOENT ||
               (result == UTILITIES::COPY_SOURCE_OPEN && copyErrno == ELOOP && from != &trees.ramdisk);
    };
    while (result < 0 && elsewhere() && alternative < alternatives.size()) {
        source = alternatives[alternative] + "/" + relative;
        from = trees.alternatives[alternative++].get();
        fromPath = relative;
        if (!_wholeSource(file, *from, fromPath, trees)) continue;
        result = _copyOnce(*from, fromPath, source, trees, relative, made, verify);
        copyErrno = errno;
    }
    // A source that reads otherwise than the file's first copy fails
    // verification at once; a new copy is read back once on the disk.
    if (verify != nullptr && refill == nullptr && !madeBefore && result == UTILITIES::COPY_MISMATCH)
        copyThread.bookVerification(file, false);
    if (result < 0) {
        _tellHealth(result, copyErrno);
        // Worth another try while the source is there: a full or read-only
        // target, a missing directory, a link in the way may all be mended.
        const bool sourceGone = result == UTILITIES::COPY_SOURCE_OPEN && copyErrno == ENOENT;
        if (sourceGone && leftover == UTILITIES::Leftover::UNPROVEN) {
            // What is left of an earlier copy stays where it is, for an
            // operator to judge; it is not counted as a copy.
            _failed(file, attempts, false, [&] { _reportUnproven(source, destination, unproven); });
            return false;
        }
        _failed(file, attempts, !sourceGone,
                [&] { _reportCopyError(source, destination, result, copyErrno, verification); });
        if (sourceGone && attempts > 0)
            logFile << params.storageID << ": Gave up copying " << source << " to " << destination << " after "
                    << attempts + 1 << " attempts: the source is gone" << endl;
        return false;
    }
    // A copy kept from before a restart and verified against the reference
    // is listed like a new one, unless the run before booked it and so
    // listed and counted it already.
    const bool verified =
        verify != nullptr && madeBefore && !verification.expected.empty() && !_bookedBefore(file);
    if (verified) _appendToManifest(job, file.tavroTime(), verification.expected, relative, true);

    if (job.unflushed.empty()) job.firstUnflushed = UTILITIES::monotonicNanoseconds();
    job.unflushedBytes += std::max<int64_t>(made.copy.size, 0);
    job.flush.watch(std::move(made.descriptor), static_cast<dev_t>(made.copy.device));
    job.unflushed.push_back(Unflushed{file, attempts, source, destination, relative, std::move(made),
                                      from == &trees.ramdisk, verification, verify != nullptr && !madeBefore, verified,
                                      false, std::move(step)});
    return true;
}

bool CopyWorkerThread::_wholeSource(const FileInfo& file, TrustedTree& from, const std::string& fromPath,
                                    const Trees& trees) {
    const int64_t recorded = file.recordedSize();
    if (!file.isSet(FileInfo::RECOVERED) || recorded < 0 || &from == &trees.ramdisk) return true;
    std::string name;
    const int dir = from.parentOf(fromPath, name);
    struct stat status;
    // A link there is the copy's to refuse, as ever.
    if (dir < 0 || fstatat(dir, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || S_ISLNK(status.st_mode))
        return true;
    if (!S_ISREG(status.st_mode) || status.st_size == recorded) return true;
    logFile << params.storageID << ": " << from.basePath() << "/" << fromPath << " has " << status.st_size
            << " bytes, the file had " << recorded << ": it is not copied from" << endl;
    errno = ENOENT;
    return false;
}

int64_t CopyWorkerThread::_copyOnce(TrustedTree& from, const std::string& fromPath, const std::string& source,
                                    Trees& trees, const std::string& relative, UTILITIES::CopiedFile& made,
                                    UTILITIES::Verification* verify) {
    // One buffer for each thread of the pool, kept from job to job.
    static thread_local std::vector<char> buffer;
    const size_t size = static_cast<size_t>(std::max(params.copy_buffer_size, 4096));
    if (buffer.size() != size) {
        buffer.clear();
        buffer.shrink_to_fit();
        buffer.resize(size);
    }
    for (int attempt = 1;; ++attempt) {
        UTILITIES::CopyRequest request(from, fromPath, trees.target, relative);
        request.preserveUid = params.preserve_uid;
        request.preserveGid = params.preserve_gid;
        request.made = &made;
        request.verify = verify;
        request.buffer = &buffer;
        request.hooks = params.copyHooks;
        const int64_t result = UTILITIES::copy(request);
        if (result != UTILITIES::COPY_SOURCE_CHANGED || attempt == 3) return result;
        logFile << params.storageID << ": " << source << " changed while it was copied: copied again" << endl;
    }
}

bool CopyWorkerThread::_acceptVerified(FileInfo& file, Job& job, const std::string& relative,
                                       const std::string& destination, const UTILITIES::CopiedFile& made,
                                       const std::string& hash) {
    const bool first = file.referenceHash().empty();
    if (file.referenceHash(hash) != hash) {
        // Two storages copied the file at once and read different bytes: the
        // first to be verified holds the reference, and this copy goes.
        std::string name;
        const int dir = job.trees.target.parentOf(relative, name);
        struct stat there;
        if (dir >= 0 && fstatat(dir, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
            FileIdentity::of(there) == made.copy && unlinkat(dir, name.c_str(), 0) != 0)
            logFile << params.storageID << ": Error: " << destination << " could not be removed" << endl;
        return false;
    }
    if (first && params.journal != nullptr && file.journalId() != 0) params.journal->bookHash(file.journalId(), hash);
    // A copy made again of one booked before a restart matches the reference,
    // so the manifest's line of it stands.
    if (!_bookedBefore(file))
        _appendToManifest(job, file.tavroTime(), hash, relative, file.isSet(FileInfo::RECOVERED));
    return true;
}

bool CopyWorkerThread::_bookedBefore(const FileInfo& file) const {
    return file.isSet(roleOf(params.type).copyBookedFlag);  // never for OPTIONAL, which has no such flag
}

void CopyWorkerThread::_appendToManifest(Job& job, int64_t shift, const std::string& hash,
                                         const std::string& relative, bool takenUp) {
    Trees& trees = job.trees;
    const std::string fileName = UTILITIES::manifestName(shift);
    auto at = trees.manifests.find(shift);
    if (at == trees.manifests.end()) {
        std::string name;
        const int dir = trees.target.parentOf(fileName, name);
        int opened = -1;
        if (dir >= 0) {
            do
                opened =
                    openat(dir, name.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
            while (opened < 0 && errno == EINTR);
        }
        UniqueFd fd(opened);
        struct stat status;
        // Only the daemon's own file: a user may not have it write elsewhere.
        if (fd && (fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1 ||
                   status.st_uid != geteuid())) {
            fd.reset();
            errno = EPERM;
        }
        if (!fd) {
            if (!trees.manifestReported)
                logFile << params.storageID << ": Error: The manifest " << params.target << "/" << fileName
                        << " cannot be written: " << LogManip(&LogFile::errmsg, errno) << endl;
            trees.manifestReported = true;
            return;
        }
        at = trees.manifests.emplace(shift, std::move(fd)).first;
        trees.manifestDevice = status.st_dev;
    }
    // One write of a whole line, appended: a crash leaves no torn line.
    const std::string line = hash + "  " + relative + "\n";
    if (takenUp) {
        auto listed = trees.listedBefore.find(shift);
        if (listed == trees.listedBefore.end()) {
            listed = trees.listedBefore.emplace(shift, std::unordered_set<std::string>()).first;
            // Unreadable, it is appended to as ever: a line twice lists one copy.
            std::string held;
            char buffer[65536];
            ssize_t got;
            for (off_t offset = 0; (got = pread(at->second.get(), buffer, sizeof buffer, offset)) > 0; offset += got)
                held.append(buffer, static_cast<size_t>(got));
            for (size_t start = 0, end; (end = held.find('\n', start)) != std::string::npos; start = end + 1)
                listed->second.insert(held.substr(start, end + 1 - start));
        }
        if (listed->second.count(line) != 0) return;
    }
    ssize_t put;
    do put = write(at->second.get(), line.data(), line.size());
    while (put < 0 && errno == EINTR);
    // The line goes to the disk with the copy it lists, by the job's flush
    // (through the manifest, opened before the line was written).
    if (put == static_cast<ssize_t>(line.size()))
        job.flush.watch(UniqueFd(dup(at->second.get())), trees.manifestDevice);
    if (put != static_cast<ssize_t>(line.size()) && !trees.manifestReported) {
        logFile << params.storageID << ": Error: The manifest " << params.target << "/" << fileName
                << " cannot be written: " << LogManip(&LogFile::errmsg, put < 0 ? errno : ENOSPC) << endl;
        trees.manifestReported = true;
    }
}

void CopyWorkerThread::_credit(const FileInfo& file, uint32_t attempts, bool verified, std::string event) {
    const bool withStep = _eventWithStep(file);
    if (attempts == 0)
        copyThread.insertToCredits(file, verified, withStep ? std::move(event) : std::string());
    else  // which takes its failure back
        copyThread.insertToRetriedCredits(file, verified, withStep ? std::move(event) : std::string());
    if (!withStep && !event.empty()) params.events->post(EVENTS::FILE_TOPIC, std::move(event));
}

bool CopyWorkerThread::_eventWithStep(const FileInfo& file) const {
    return params.events != nullptr && params.events->journaled() && params.journal != nullptr &&
           file.journalId() != 0;
}

std::string CopyWorkerThread::_fileEvent(const FileInfo& file, const std::string& destination,
                                         const FileIdentity& copy, const std::string& hash, uint32_t attempts,
                                         const std::string& failure) {
    // A copy an earlier run booked had its event then.
    if (_bookedBefore(file)) return "";
    EVENTS::FileEvent event;
    event.storageId = params.storageID;
    event.storageType = storageTypeName(params.type);
    event.path = file.pathToOrigin();
    event.relative = UTILITIES::getFilePathAfterDot(event.path);
    event.copy = destination;
    event.shift.start = file.tavroTime();
    copyThread.shiftOf(file.tavroTime(), event.shift.uid, event.shift.gid);
    event.size = copy.size;
    event.mtime = copy.mtimeSeconds * 1000000000 + copy.mtimeNanoseconds;
    event.hash = hash;
    event.attempts = attempts;
    event.failure = failure;
    return EVENTS::fileBody(params.events->hostName(), event);
}

void CopyWorkerThread::_failed(const FileInfo& file, uint32_t attempts, bool retriable,
                               const std::function<void()>& report) {
    // Later failures of the same file are not reported again; while the
    // storage is not up, its alarm said why, and a few a minute tell which.
    if (attempts == 0 && (params.health == nullptr || params.health->mayReport())) report();
    if (refill != nullptr) {
        ++refill->failed;  // its old booking stands; the passes keep what has no copy here
        return;
    }
    // A RAM-disk file of an earlier shift whose EXTERNAL copy is made needs no
    // INTERNAL one any more: the deletion thread lets it go once that copy is
    // found complete, rather than keep it for ever on the RAM disk.
    const CascadeRole& role = roleOf(params.type);
    if (role.trustsExternalCopy && file.isSet(FileInfo::EXTERNAL_COPIED) &&
        file.tavroTime() < DebitListThread::getPollundInfo().time)
        retriable = false;
    if (retriable && params.copy_retry_max_delay > 0) {
        copyThread.retryLater(file, attempts + 1);
        return;
    }
    FileInfo(file).setFlag(role.copyEndedFlag);
    // Failed for good: its event tells that no copy will come here.
    std::string event;
    if (params.events != nullptr) {
        const std::string path = file.pathToOrigin();
        const std::string destination =
            path.find("/./") == std::string::npos ? "" : params.target + "/" + UTILITIES::getFilePathAfterDot(path);
        event = _fileEvent(file, destination, FileIdentity(), "", attempts + 1,
                           attempts == 0 ? "the copy failed" : "given up after its retries");
    }
    const bool withStep = _eventWithStep(file);
    if (attempts == 0) {
        copyThread.insertToFailedCopies(file, withStep ? std::move(event) : std::string());
    } else {  // booked failed at its first failure
        copyThread.insertToGivenUp(file, attempts, withStep ? std::move(event) : std::string());
    }
    if (!withStep && !event.empty()) params.events->post(EVENTS::FILE_TOPIC, std::move(event));
}

void CopyWorkerThread::Trees::closeManifests() {
    manifests.clear();
    listedBefore.clear();  // what they held: a manifest opened again is read again
}

bool CopyWorkerThread::_targetMounted(Trees& trees) {
    if (params.target_mount.empty()) return true;
    // One stat a file: a disk taken away shows another device at once.
    struct stat status;
    if (trees.mounted && stat(params.target_mount.c_str(), &status) == 0 && status.st_dev == trees.mountDevice)
        return true;
    trees.target.release();  // what it held may lie in a file system gone since
    trees.closeManifests();
    trees.mounted = UTILITIES::isMountPoint(params.target_mount, trees.mountDevice);
    return trees.mounted;
}

void CopyWorkerThread::_record(const std::string& relativePath, Summary& summary) {
    std::string prefix;
    std::string suffix;
    int number;
    if (!UTILITIES::parseFilename(relativePath, prefix, number, suffix)) {
        summary.unparsedNames += relativePath + "\n";
        return;
    }
    MinMax& range = summary.patterns[prefix + "<N>." + suffix];
    if (!range.set || range.min > number) range.min = number;
    if (!range.set || range.max < number) range.max = number;
    range.set = true;
    if (summary.patterns.size() > static_cast<size_t>(patternLimit)) summary.stopped = true;
}

void CopyWorkerThread::_reportCopyError(const std::string& source, const std::string& destination, int64_t result,
                                        int errnum, const UTILITIES::Verification& verification) {
    if (result == UTILITIES::COPY_MISMATCH) {
        logFile << params.storageID << ": Error: Copying " << source << " to " << destination
                << ": checksum mismatch: ";
        if (verification.copyHash.empty() || verification.copyHash == verification.sourceHash)
            logFile << "the source reads " << verification.sourceHash << ", its first copy " << verification.expected;
        else
            logFile << "copied " << verification.sourceHash << ", read back " << verification.copyHash;
        logFile << "; the copy is removed" << endl;
        if (params.messageServer != nullptr)
            params.messageServer->addToMessageQueue(
                MessageServer::COPY_ERROR, source + ":" + destination,
                "Error: Failed to copy " + source + " to " + destination + ": checksum mismatch.");
        return;
    }
    // The system's texts for these would mislead: nothing looped, nothing was invalid.
    std::string reason;
    if (result == UTILITIES::COPY_SOURCE_CHANGED)
        reason = "The source changed while it was copied, three times";
    else if (result == UTILITIES::COPY_NOT_REGULAR)
        reason = "The source is not a regular file: it is not read";
    else if (errnum == ELOOP)
        reason = "A symbolic link is on the way: links are not followed";
    else
        reason = UTILITIES::systemText(errnum);
    logFile << params.storageID << ": Error: Copying " << source << " to " << destination << " returned error code "
            << result << "\n"
            << reason << endl;
    if (params.messageServer != nullptr)
        params.messageServer->addToMessageQueue(MessageServer::COPY_ERROR, source + ":" + destination,
                                                "Error: Failed to copy " + source + " to " + destination + ": " +
                                                    reason + ".");
}

void CopyWorkerThread::_tellHealth(int64_t result, int errnum) {
    if (params.health == nullptr) return;
    // Only the target's side of a copy speaks of the storage's disk.
    switch (result) {
        case UTILITIES::COPY_MKDIR:
        case UTILITIES::COPY_TMP_AFTER_MKDIR:
        case UTILITIES::COPY_TMP_OPEN:
        case UTILITIES::COPY_WRITE:
        case UTILITIES::COPY_OWNER:
        case UTILITIES::COPY_TIMES:
        case UTILITIES::COPY_RENAME:
        case UTILITIES::COPY_READ_BACK:
        case UTILITIES::COPY_FLUSH:
            params.health->targetFailed(errnum);
            break;
        default:
            break;
    }
}

void CopyWorkerThread::_reportCriticalError(const std::string& source, const std::string& destination) {
    const std::string reason = "Source file does no longer exist and no alternative source directories are provided";
    logFile << params.storageID << ": Critical Error: Copying " << source << " to " << destination << "\n"
            << "   " << reason << endl;
    if (params.messageServer != nullptr)
        params.messageServer->addToMessageQueue(
            MessageServer::COPY_ERROR, source + ":" + destination,
            "Critical Error: Failed to copy " + source + " to " + destination + ". " + reason);
}

void CopyWorkerThread::_reportUnproven(const std::string& source, const std::string& destination,
                                       const std::string& why) {
    logFile << params.storageID << ": Error: Copying " << source << " to " << destination
            << ": the source is gone, and " << why << "; it is not counted as a copy" << endl;
    if (params.messageServer != nullptr)
        params.messageServer->addToMessageQueue(MessageServer::COPY_ERROR, source + ":" + destination,
                                                "Error: Failed to copy " + source + " to " + destination + ".");
}

void CopyWorkerThread::_reportRefusal(const std::string& path, const std::string& why) {
    logFile << params.storageID << ": Error: Copying " << path << " refused: " << why << endl;
    if (params.messageServer != nullptr)
        params.messageServer->addToMessageQueue(MessageServer::COPY_ERROR, path + ":" + params.target,
                                                "Error: Failed to copy " + path + " to " + params.target + ".");
}

void CopyWorkerThread::_writeSummary(const Summary& summary) {
    if (summary.copiedCount <= 0) return;
    logFile << params.storageID << ": " << summary.copiedCount << " files successfully copied\n";
    for (const auto& pattern : summary.patterns)
        logFile << "Copied files: " << pattern.first << " with N in [" << pattern.second.min << ","
                << pattern.second.max << "]\n";
    if (!summary.unparsedNames.empty()) logFile << "Copied files: \n" << summary.unparsedNames;
    if (summary.stopped)
        logFile << "Stopped logging files after more than " << patternLimit << " file patterns occured\n";
    logFile.flush();
}
