#include "space/LinkThread.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "health/StorageHealth.h"
#include "ledger/Cascade.h"
#include "net/MessageServer.h"
#include "util/Paths.h"
#include "util/Errors.h"
#include "util/Stop.h"
#include "util/Time.h"
#include "util/UniqueFd.h"

namespace {

// Passes report their progress every this many files.
const int32_t reportEvery = 1000;
const int64_t oneSecond = 1000000000;

// Percent of the blocks in use; the file system has a size (_statMountpoint).
double fillPercentOf(const struct statvfs& stats) {
    return (1.0 - ((static_cast<double>(stats.f_bfree) / static_cast<double>(stats.f_blocks)) /
                   static_cast<double>(stats.f_frsize)) *
                      static_cast<double>(stats.f_bsize)) *
           100.0;
}

}  // namespace

LinkThread::LinkThread(DebitCredit& debitCredit, const Storage::Params& params)
    : DebitListThread(debitCredit),
      params(params),
      logFile(params.logfile),
      returnRequested(false),
      fillState(0.0),
      lastFillState(0.0),
      inodeUse(0.0),
      batchSize(FillPolicy::minimumBatchSize),
      policy(params.fillstate_limit),
      fullWarned(false),
      lastMeasured(0),
      inodesToFree(0),
      guard(params),
      done(params.origin.empty() ? params.ramdisk_mountpoint : params.origin) {
    // The passes build their paths by plain concatenation.
    if (!this->params.origin.empty() && this->params.origin.back() != '/') this->params.origin += "/";
    if (this->params.target.empty() || this->params.target.back() != '/') this->params.target += "/";

    // Log lines and messages name the file system by one name, however the
    // configuration spelled it.
    char* resolved = canonicalize_file_name(this->params.mountpoint.c_str());
    if (resolved == nullptr) {
        int resolveErrno = errno;
        logFile << "Error: Cannot resolve " << this->params.mountpoint << "\n"
                << "       " << LogManip(&LogFile::errmsg, resolveErrno) << endl;
    } else {
        this->params.mountpoint = resolved;
        free(resolved);
    }
}

LinkThread::~LinkThread() = default;

void LinkThread::returnToDebitCredit() {
    returnRequested = true;
}

void LinkThread::run() {
    // One loop for both kinds of pass: each file is either replaced by a link
    // to its copy or removed.
    const bool linking = params.create_links;
    uint32_t uid = 0;
    uint32_t gid = 0;
    for (;;) {
        _idle();
        do {
            _tryReturnToDebitCredit();
            if (!pending.empty() && !_mayRelease()) debitCredit.postponeReplacement(pending);
            if (pending.empty()) {
                _fetch();
                // Links belong to the user whose shift is running when they are fetched.
                const PollundInfo shift = getPollundInfo();
                uid = shift.uid;
                gid = shift.gid;
            }
            const size_t files = std::min<size_t>(pending.size(), batchSize);
            if (linking)
                logFile << "++ Converting " << files << " files on " << params.mountpoint
                        << " into symbolic links to disk" << endl;
            else
                logFile << "++ Removing " << files << " files from " << params.mountpoint << endl;
            int32_t reported = 0;
            done.begin();
            // A request to return the files to the ledger may empty pending midway.
            for (size_t index = 0; index < files && !pending.empty(); ++index) {
                _measureDuringPass();
                if (linking)
                    _linkFile(uid, gid, reported);
                else
                    _removeFile(reported);
            }
            guard.release();  // a file system mounted anew is seen by the next pass
            _bookPass();
            if (linking) _tryToDeleteLinks();
        } while (_checkForOverflow() || (!linking && _checkForInodes() != 0));
    }
}

bool LinkThread::_statMountpoint(struct statvfs& stats, bool needsBlocks) {
    int result;
    do result = statvfs(params.mountpoint.c_str(), &stats);
    while (result != 0 && errno == EINTR);
    if (result != 0) {
        int statErrno = errno;
        logFile << " Error: Stat on  " << params.mountpoint << " returned " << LogManip(&LogFile::errmsg, statErrno)
                << endl;
        return false;
    }
    if (needsBlocks && (stats.f_blocks == 0 || stats.f_frsize == 0)) {
        logFile << "Error: " << params.mountpoint << " reports a size of " << stats.f_blocks << " blocks of "
                << stats.f_frsize << " bytes; its fill state stays at " << fillState << "%" << endl;
        return false;
    }
    return true;
}

bool LinkThread::_checkForOverflow() {
    // A file system that cannot be measured keeps its last fill state, and so
    // the last answer: a guess would either stop the passes of a full RAM disk
    // or start passes on an empty one.
    if (!_measureFillState()) return fillState > policy.limit();
    return policy.nextPass(lastFillState, fillState, batchSize);
}

bool LinkThread::_measureFillState() {
    lastFillState = fillState;
    struct statvfs stats;
    if (!_statMountpoint(stats, true)) return false;
    fillState = fillPercentOf(stats);
    _watchTrend(stats, fillState);

    const std::string& mountpoint = params.mountpoint;
    for (int code : policy.alarms(fillState)) {
        if (code == MessageServer::LIMIT_WARNING)
            _sendMessage(code, mountpoint,
                         "Warning: " + mountpoint + " reached " + UTILITIES::getString(policy.limit()) +
                             "% limit. Old files will be turned into symbolic links.");
        else if (code == MessageServer::OVERFLOW_WARNING)
            _sendMessage(code, mountpoint,
                         "Warning: " + mountpoint + " reached " + UTILITIES::getString(policy.overflowLimit()) +
                             "% limit. " + mountpoint + " is likely to overflow. ");
        else
            _sendMessage(code, mountpoint,
                         "Error: " + mountpoint + " reached " + UTILITIES::getString(FillPolicy::lossPercent) +
                             "% limit. Files copied there may be lost!");
    }

    if (fillState > lastFillState) logFile << "++ " << params.mountpoint << " filled to " << fillState << "%" << endl;
    return true;
}

void LinkThread::_watchTrend(const struct statvfs& stats, double fillPercent) {
    lastMeasured = UTILITIES::monotonicNanoseconds();
    const double size = static_cast<double>(stats.f_blocks) * static_cast<double>(stats.f_frsize);
    trend.add(lastMeasured, fillPercent / 100.0 * size, size);
    const double fullIn = trend.secondsToFull();
    gauges_.fill.store(fillPercent / 100.0, std::memory_order_relaxed);
    gauges_.fullIn.store(fullIn, std::memory_order_relaxed);

    // The EXTERNAL storage watches the INTERNAL disk: it publishes the
    // estimate, but only the RAM disk is the operator's to act on in seconds.
    const int warnBelow = params.full_warning_seconds;
    if (!roleOf(params.type).watchesRamdisk || warnBelow <= 0) return;
    // Armed again only well above the setting, so that an estimate that
    // wavers around it does not flood the clients.
    if (fullIn > 2.0 * warnBelow) fullWarned = false;
    if (fullIn < warnBelow && !fullWarned) {
        const std::string text = "Warning: " + params.mountpoint + " full in about " +
                                 std::to_string(static_cast<long long>(std::floor(fullIn))) + " s";
        logFile << text << endl;
        _sendMessage(MessageServer::FULL_WARNING, params.mountpoint, text);
        fullWarned = true;
    }
}

void LinkThread::_measureDuringPass() {
    if (UTILITIES::monotonicNanoseconds() - lastMeasured < oneSecond) return;
    struct statvfs stats;
    if (_statMountpoint(stats, true))
        _watchTrend(stats, fillPercentOf(stats));
    else
        lastMeasured = UTILITIES::monotonicNanoseconds();  // said once in the log; tried again in a second
}

int32_t LinkThread::_checkForInodes() {
    struct statvfs stats;
    if (!_statMountpoint(stats, false)) return inodesToFree;
    if (stats.f_files == 0) {
        // No inode count (some file systems make inodes as needed): none can run short.
        gauges_.inodes.store(0.0, std::memory_order_relaxed);
        inodesToFree = 0;
        return 0;
    }
    const double use = (1.0 - static_cast<double>(stats.f_ffree) / static_cast<double>(stats.f_files)) * 100.0;
    gauges_.inodes.store(use / 100.0, std::memory_order_relaxed);
    if (use > inodeUse)
        logFile << "++ " << use << "%"
                << " of inodes on " << params.mountpoint << " are in use" << endl;
    inodeUse = use;

    // Counted in 64 bits and clamped, so that a file system with more than
    // 2^31 inodes cannot wrap into a false shortage.
    const double wantedFree = (100 - params.fillstate_limit) * static_cast<double>(stats.f_files) / 100.0;
    const int64_t shortage = static_cast<int64_t>(std::min(wantedFree, 9.0e18)) - static_cast<int64_t>(stats.f_ffree);
    inodesToFree = shortage > 0 ? static_cast<int32_t>(std::min<int64_t>(shortage, INT32_MAX)) : 0;
    return inodesToFree;
}

void LinkThread::_tryReturnToDebitCredit() {
    if (!returnRequested.exchange(false)) return;
    const PollundInfo shift = getPollundInfo();
    for (auto file = pending.begin(); file != pending.end();) {
        if (file->tavroTime() < shift.time) {
            insertToTrash(*file);
            file = pending.erase(file);
        } else {
            ++file;
        }
    }
}

void LinkThread::_tryToDeleteLinks() {
    const int32_t wanted = _checkForInodes();
    if (wanted < 1) return;
    std::list<FileInfo> links;
    getDeleteLinkList(links, static_cast<uint64_t>(wanted));
    const size_t count = std::min(links.size(), static_cast<size_t>(wanted));
    if (count == 0) return;
    logFile << "++ Removing " << count << " links on " << params.mountpoint << endl;
    for (const FileInfo& file : links) {
        const std::string path = params.origin.empty()
                                     ? file.pathToOrigin()
                                     : params.origin + UTILITIES::getFilePathAfterDot(file.pathToOrigin());
        ReleaseGuard::Place place;
        const std::string reason = guard.find(file, place, path);
        if (!reason.empty()) {
            logFile << "Warning: Not removing " << path << ": " << reason << endl;
            continue;
        }
        if (!place.exists) continue;  // already gone: nothing to free
        // Only the link made here may go: whatever has taken its place since
        // is new data that has no copy.
        if (!S_ISLNK(place.status.st_mode)) {
            logFile << "Warning: Not removing " << path << ": it is no longer a symbolic link" << endl;
            continue;
        }
        UTILITIES::FileStep step;
        if (!step.allowed()) UTILITIES::parkForStop();
        // Failure ignored: the ledger has let go of it, and a link holds no data.
        unlinkat(place.dir, place.name.c_str(), 0);
    }
    guard.release();
}

void LinkThread::_idle() {
    _tryReturnToDebitCredit();
    while (!_checkForOverflow() && _checkForInodes() == 0) {
        UTILITIES::sleepNanoSeconds(oneSecond);
        _tryReturnToDebitCredit();
    }
}

void LinkThread::_fetch() {
    getReplaceByLinkList(pending);
    _holdBackUncopied();
    if (!pending.empty() && !_mayRelease()) debitCredit.postponeReplacement(pending);
    while (pending.empty()) {
        // The file system keeps filling meanwhile: its alarms are not held
        // back until files come. The link loop frees inodes as it waits; the
        // removal loop has no links to free, and only measures them.
        if (params.create_links)
            _tryToDeleteLinks();
        else
            _checkForInodes();
        UTILITIES::sleepNanoSeconds(oneSecond);
        _measureFillState();
        getReplaceByLinkList(pending);
        _holdBackUncopied();
        if (!pending.empty() && !_mayRelease()) debitCredit.postponeReplacement(pending);
    }
}

bool LinkThread::_mayRelease() {
    // The RAM disk must never run full: its passes go on, on INTERNAL copies
    // that the release checks find there as they were made.
    if (!roleOf(params.type).passesWaitForHealth || params.health == nullptr || params.health->releasable()) {
        holding = false;
        return true;
    }
    if (!holding) logFile << params.storageID << ": Passes wait: its copies cannot vouch for files now" << endl;
    holding = true;
    return false;
}

void LinkThread::_holdBackUncopied() {
    if (!roleOf(params.type).waitsForInternalCopy) return;
    // The INTERNAL copy of a file that INTERNAL may still make (or still
    // retries) is left alone: replaced or removed before it exists, it would
    // come afterwards and stay for ever. Once INTERNAL has copied the file or
    // given up, its flags stay so.
    std::list<FileInfo> later;
    for (auto file = pending.begin(); file != pending.end();) {
        if (file->isSet(FileInfo::INTERNAL_COPIED | FileInfo::INTERNAL_COPY_ENDED))
            ++file;
        else
            later.splice(later.end(), pending, file++);
    }
    if (!later.empty()) debitCredit.postponeReplacement(later);
}

void LinkThread::_linkFile(uint32_t uid, uint32_t gid, int32_t& reported) {
    // At a stop the file stays as it is: a link half made would leave its
    // temporary name behind.
    UTILITIES::FileStep step;
    if (!step.allowed()) {
        _bookPass();
        UTILITIES::parkForStop();
    }
    FileInfo file = pending.front();
    FileInfo::WriteLock lock(file);
    const CascadeRole& role = roleOf(params.type);
    file.setFlag(role.linkStartedFlag);

    const std::string path = file.pathToOrigin();
    const std::string relative = UTILITIES::getFilePathAfterDot(path);
    const std::string originPath = params.origin.empty() ? path : params.origin + relative;
    const std::string copyPath = params.target + relative;
    std::string errorText = "++ Error: Creating symbolic link from " + originPath + " to " + copyPath + " failed\n";

    // The file is replaced only when it is the very file that was copied and
    // its copy is there in full: a link to a missing or short copy would
    // destroy the last good copy of the data. All through the directory
    // found, never through a path a user could swap meanwhile.
    ReleaseGuard::Place place;
    const std::string reason = guard.check(file, ReleaseGuard::LINK, place, originPath, copyPath);
    const std::string linkName = place.name + ".tmp";
    bool linked = false;
    if (!reason.empty()) {
        errorText += reason + "\n";
    } else if (place.dir < 0) {
        errorText += UTILITIES::systemText(ENOENT) + "\n";  // its folder is gone
    } else if (symlinkat(copyPath.c_str(), place.dir, linkName.c_str()) != 0) {
        int linkErrno = errno;
        errorText += UTILITIES::systemText(linkErrno) + "\n";
    } else if (!_ownLink(place.dir, linkName, uid, gid)) {
        int ownerErrno = errno;
        errorText += UTILITIES::systemText(ownerErrno) + "\n";
        unlinkat(place.dir, linkName.c_str(), 0);  // a failure leaves it for the next attempt to report
    } else if (renameat(place.dir, linkName.c_str(), place.dir, place.name.c_str()) != 0) {
        int renameErrno = errno;
        errorText += UTILITIES::systemText(renameErrno) + "\n";
        unlinkat(place.dir, linkName.c_str(), 0);  // a failure leaves it for the next attempt to report
    } else {
        linked = true;
    }

    if (linked) {
        file.setFlag(role.linkedFlag);
        if (done.add(file, true)) _bookPass();
        if (++reported == reportEvery) {
            _writeReport("++ " + UTILITIES::getString(reportEvery) + " symbolic links from " + params.mountpoint +
                         " to " + params.target + " successfully created");
            reported = 0;
        }
    } else {
        logFile << errorText;
        logFile.flush();
        _sendMessage(MessageServer::LINK_ERROR, copyPath, errorText);
        insertToFailedLinks(file);
    }
    pending.pop_front();
    _tryReturnToDebitCredit();
}

bool LinkThread::_ownLink(int dir, const std::string& name, uint32_t uid, uint32_t gid) {
    if (!params.preserve_uid && !params.preserve_gid) return true;
    // Through a descriptor of the link itself: by name, a file swapped in
    // meanwhile would be given away instead.
    // An O_PATH descriptor: nothing to lose on close. It keeps errno for the caller.
    const UniqueFd link(openat(dir, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!link) return false;
    struct stat status;
    bool owned = fstat(link.get(), &status) == 0;
    if (owned && !S_ISLNK(status.st_mode)) {
        errno = EEXIST;
        owned = false;
    }
    if (owned)
        owned = fchownat(link.get(), "", params.preserve_uid ? uid : static_cast<uid_t>(-1),
                         params.preserve_gid ? gid : static_cast<gid_t>(-1), AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) == 0;
    return owned;
}

void LinkThread::_removeFile(int32_t& reported) {
    UTILITIES::FileStep step;  // as for a link
    if (!step.allowed()) {
        _bookPass();
        UTILITIES::parkForStop();
    }
    FileInfo file = pending.front();
    pending.pop_front();
    FileInfo::WriteLock lock(file);
    const CascadeRole& role = roleOf(params.type);
    file.setFlag(role.removalStartedFlag);
    // The INTERNAL storage gave up copying the file (files it may still copy
    // are held back): there is nothing of it under the origin.
    if (role.releases == CascadeRole::INTERNAL_COPIES && !file.isSet(FileInfo::INTERNAL_COPIED)) {
        file.setFlag(role.removedFlag);
        ++reported;
        forgetAbout(file);
        return;
    }

    const std::string path = file.pathToOrigin();
    const std::string relative = UTILITIES::getFilePathAfterDot(path);
    const std::string originPath = params.origin.empty() ? path : params.origin + relative;
    std::string errorText = "++ Error: Deleting " + originPath + " failed\n";
    // As for a link: only the file copied goes, and only while its copy is there in full.
    ReleaseGuard::Place place;
    const std::string reason = guard.check(file, ReleaseGuard::REMOVE, place, originPath, params.target + relative);
    bool removed = false;
    if (!reason.empty()) {
        errorText += reason + "\n";
    } else if (place.dir >= 0 && unlinkat(place.dir, place.name.c_str(), 0) == 0) {
        removed = true;
    } else {
        int unlinkErrno = place.dir < 0 ? ENOENT : errno;
        errorText += UTILITIES::systemText(unlinkErrno) + "\n";
    }

    if (removed) {
        file.setFlag(role.removedFlag);
        ++reported;
    } else {
        logFile << errorText;
        logFile.flush();
        _sendMessage(MessageServer::REMOVE_ERROR, originPath, errorText);
    }
    if (reported == reportEvery) {
        _writeReport("++ " + UTILITIES::getString(reportEvery) + " files from " + params.mountpoint + " deleted.");
        reported = 0;
    }
    // Kept or not, the ledger lets go of it: it is not offered again; but a
    // copy missing because its disk is gone or failing is judged again once
    // it is back.
    if (!removed && !reason.empty() && params.health != nullptr && !params.health->releasable()) {
        std::list<FileInfo> later{file};
        debitCredit.postponeReplacement(later);
    } else if (!removed) {
        forgetAbout(file, false);
    } else if (done.add(file, false)) {
        _bookPass();
    }
    _tryReturnToDebitCredit();
}

void LinkThread::_bookPass() {
    std::vector<FlushedSteps::Step> steps;
    const int error = done.take(steps);
    // The ledger must let go of them all the same, or it would count them in
    // progress for ever; the log says that the journal may be ahead of the disk.
    if (error != 0)
        logFile << "++ Error: " << done.directory()
                << " could not be flushed after a pass: " << LogManip(&LogFile::errmsg, error) << endl;
    for (const FlushedSteps::Step& step : steps) {
        // The data's only copy is now this storage's: the EXTERNAL one took
        // the INTERNAL copy's place, or the INTERNAL one a RAM-disk file that
        // no EXTERNAL copy holds.
        if (!roleOf(params.type).trustsExternalCopy || !step.first.isSet(FileInfo::EXTERNAL_COPIED))
            onlyHere.push_back(UTILITIES::getFilePathAfterDot(step.first.pathToOrigin()));
        if (step.second)
            insertToLinks(step.first);
        else
            forgetAbout(step.first, true);
    }
    if (params.health != nullptr) params.health->recordOnlyCopies(onlyHere);
    onlyHere.clear();
}

void LinkThread::_writeReport(const std::string& text) {
    // "2026/12/8 - 9:5:3": the fields unpadded, as the report always had them.
    logFile << "++ " << UTILITIES::localTimeText(time(nullptr), "%Y/%-m/%-d - %-H:%-M:%-S") << "   " << text << endl;
}

void LinkThread::_sendMessage(int code, const std::string& subject, const std::string& text) {
    if (params.messageServer != nullptr) params.messageServer->addToMessageQueue(code, subject, text);
}
