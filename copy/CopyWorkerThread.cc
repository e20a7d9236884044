#include "copy/CopyWorkerThread.h"

#include <errno.h>
#include <sys/stat.h>

#include "copy/CopyThread.h"
#include "net/MessageServer.h"
#include "util/Files.h"
#include "util/Mounts.h"
#include "util/Paths.h"
#include "util/Stop.h"

CopyWorkerThread::CopyWorkerThread(const Storage::Params& params, std::list<FileInfo>& files, CopyThread& copyThread,
                                   std::list<DebitCredit::Retry> retries)
    : params(params), batch(std::move(retries)), copyThread(copyThread), logFile(params.logfile) {
    // The new files after the retries, with no failed attempt yet.
    for (const FileInfo& file : files) batch.push_back({file, 0, 0});
    files.clear();
}

void CopyWorkerThread::work() {
    logFile << params.storageID << ": Copy job started" << endl;
    // Held for this job only, so a file system mounted anew is seen by the next.
    Trees trees(params);
    Summary summary;
    for (DebitCredit::Retry& entry : batch) {
        // At a stop the rest of the batch stays where it is, uncopied.
        UTILITIES::FileStep step;
        if (!step.allowed()) UTILITIES::parkForStop();
        // A path announced again while another job copies it is copied once
        // more after that copy, never beside it: the two would share one
        // .tmp. The path is taken before the file's lock, and a worker that
        // waits for a path holds no other path and no file's lock.
        const std::string relative = UTILITIES::getFilePathAfterDot(entry.file.pathToOrigin());
        if (!copyThread.beginCopy(relative)) {
            logFile << params.storageID << ": " << params.target << "/" << relative
                    << " is being copied: copied again after that" << endl;
            copyThread.waitToBeginCopy(relative);
        }
        {
            FileInfo::ReadLock lock(entry.file);
            _copyFile(entry.file, trees, summary, entry.attempts);
        }
        copyThread.endCopy(relative);
    }
    _writeSummary(summary);
}

CopyWorkerThread::Trees::Trees(const Storage::Params& params)
    : ramdisk(params.ramdisk_mountpoint), target(params.target, true) {
    for (const std::string& directory : params.alternativeSourceDirs)
        alternatives.emplace_back(new TrustedTree(directory));
}

void CopyWorkerThread::_copyFile(FileInfo& file, Trees& trees, Summary& summary, uint32_t attempts) {
    // The EXTERNAL storage's passes leave the file's INTERNAL copy alone
    // until this storage has made it or given up: it is always copied here.
    if (params.type == Storage::INTERNAL) {
        file.setFlag(FileInfo::INTERNAL_COPY_STARTED);
    } else if (params.type == Storage::EXTERNAL) {
        file.setFlag(FileInfo::EXTERNAL_COPY_STARTED);
    }

    const std::string path = file.pathToOrigin();
    // The pipe reader rejects paths without the marker or outside the RAM
    // disk; should one arrive all the same, refuse it: its source would be
    // "/" or a file the daemon has no business reading.
    if (path.find("/./") == std::string::npos) {
        _failed(file, attempts, false,
                [&] { _reportRefusal(path, "the path has no /./ between its base and relative part"); });
        return;
    }
    const std::string belowRamdisk = UTILITIES::pathBelow(params.ramdisk_mountpoint, path);
    if (belowRamdisk.empty()) {
        _failed(file, attempts, false,
                [&] { _reportRefusal(path, "the path does not lie below the RAM disk " + params.ramdisk_mountpoint); });
        return;
    }
    const std::string root = UTILITIES::getFilePathBeforeDot(path);
    const std::string relative = UTILITIES::getFilePathAfterDot(path);
    const std::string destination = params.target + "/" + relative;
    const std::vector<std::string>& alternatives = params.alternativeSourceDirs;

    std::string source = root + "/" + relative;
    TrustedTree* from = &trees.ramdisk;
    std::string fromPath = belowRamdisk;
    size_t alternative = 0;
    if (params.type != Storage::INTERNAL && file.isSet(FileInfo::INTERNAL_LINKED | FileInfo::INTERNAL_REMOVED)) {
        // The file on the RAM disk is gone or a link: copy from the storages
        // made before this one.
        if (alternatives.empty()) {
            _failed(file, attempts, false, [&] { _reportCriticalError(source, destination); });
            return;
        }
        source = alternatives[0] + "/" + relative;
        from = trees.alternatives[0].get();
        fromPath = relative;
        alternative = 1;
    }

    if (!_targetMounted(trees)) {
        // The disk may come back: tried again, with retries on.
        _failed(file, attempts, true, [&] { _reportRefusal(source, params.target_mount + " is not mounted"); });
        return;
    }

    UTILITIES::CopiedFile made;
    // Taken up again after a restart: a copy made before it is kept as it is.
    const bool madeBefore =
        file.isSet(FileInfo::RECOVERED) && UTILITIES::completeCopy(*from, fromPath, trees.target, relative, made);
    int64_t result = madeBefore ? 0
                                : UTILITIES::copy(*from, fromPath, trees.target, relative, params.preserve_uid,
                                                  params.preserve_gid, &made);
    int copyErrno = errno;
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
        result =
            UTILITIES::copy(*from, fromPath, trees.target, relative, params.preserve_uid, params.preserve_gid, &made);
        copyErrno = errno;
    }
    if (result < 0) {
        // Worth another try while the source is there: a full or read-only
        // target, a missing directory, a link in the way may all be mended.
        const bool sourceGone = result == UTILITIES::COPY_SOURCE_OPEN && copyErrno == ENOENT;
        _failed(file, attempts, !sourceGone, [&] { _reportCopyError(source, destination, result, copyErrno); });
        if (sourceGone && attempts > 0)
            logFile << params.storageID << ": Gave up copying " << source << " to " << destination << " after "
                    << attempts + 1 << " attempts: the source is gone" << endl;
        return;
    }

    ++summary.copiedCount;
    if (!summary.stopped) _record(relative, summary);
    // What was copied, for the passes that later let the file or the copy go.
    if (from == &trees.ramdisk && made.source.known()) file.recordSource(made.source);
    if (params.type == Storage::INTERNAL) {
        file.recordCopy(FileInfo::INTERNAL_COPIED, made.copy);
        file.setFlag(FileInfo::INTERNAL_COPIED);
    } else if (params.type == Storage::EXTERNAL) {
        file.recordCopy(FileInfo::EXTERNAL_COPIED, made.copy);
        file.setFlag(FileInfo::EXTERNAL_COPIED);
    }
    _credit(file, attempts);
    if (attempts > 0)
        logFile << params.storageID << ": Copied " << source << " to " << destination << " at attempt " << attempts + 1
                << endl;
}

void CopyWorkerThread::_credit(const FileInfo& file, uint32_t attempts) {
    if (attempts == 0)
        copyThread.insertToCredits(file);
    else
        copyThread.insertToRetriedCredits(file);  // which takes its failure back
}

void CopyWorkerThread::_failed(const FileInfo& file, uint32_t attempts, bool retriable,
                               const std::function<void()>& report) {
    if (attempts == 0) report();  // later failures of the same file are not reported again
    // A RAM-disk file of an earlier shift whose EXTERNAL copy is made needs no
    // INTERNAL one any more: the deletion thread lets it go once that copy is
    // found complete, rather than keep it for ever on the RAM disk.
    if (params.type == Storage::INTERNAL && file.isSet(FileInfo::EXTERNAL_COPIED) &&
        file.tavroTime() < DebitListThread::getPollundInfo().time)
        retriable = false;
    if (retriable && params.copy_retry_max_delay > 0) {
        copyThread.retryLater(file, attempts + 1);
        return;
    }
    if (params.type == Storage::INTERNAL) FileInfo(file).setFlag(FileInfo::INTERNAL_COPY_ENDED);
    if (params.type == Storage::EXTERNAL) FileInfo(file).setFlag(FileInfo::EXTERNAL_COPY_ENDED);
    if (attempts == 0) {
        copyThread.insertToFailedCopies(file);
    } else {
        copyThread.insertToGivenUp(file, attempts);  // booked failed at its first failure
    }
}

bool CopyWorkerThread::_targetMounted(Trees& trees) {
    if (params.target_mount.empty()) return true;
    // One stat a file: a disk taken away shows another device at once.
    struct stat status;
    if (trees.mounted && stat(params.target_mount.c_str(), &status) == 0 && status.st_dev == trees.mountDevice)
        return true;
    trees.target.release();  // what it held may lie in a file system gone since
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
                                        int errnum) {
    logFile << params.storageID << ": Error: Copying " << source << " to " << destination << " returned error code "
            << result << "\n";
    // The system's texts for these would mislead: nothing looped, nothing was invalid.
    if (result == UTILITIES::COPY_NOT_REGULAR)
        logFile << "The source is not a regular file: it is not read" << endl;
    else if (errnum == ELOOP)
        logFile << "A symbolic link is on the way: links are not followed" << endl;
    else
        logFile << LogManip(&LogFile::errmsg, errnum) << endl;
    if (params.messageServer != nullptr)
        params.messageServer->addToMessageQueue(MessageServer::COPY_ERROR, source + ":" + destination,
                                                "Error: Failed to copy " + source + " to " + destination + ".");
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
