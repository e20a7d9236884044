#include "space/DelThread.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "health/StorageHealth.h"
#include "ledger/Cascade.h"
#include "net/MessageServer.h"
#include "util/Checksum.h"
#include "util/Paths.h"
#include "util/Stop.h"
#include "util/Time.h"

DelThread::DelThread(DebitCredit& debitCredit, const Storage::Params& params)
    : DebitListThread(debitCredit),
      params(params),
      logFile(params.logfile),
      guard(params),
      deletions(params.origin.empty() ? params.ramdisk_mountpoint : params.origin) {}

namespace {

// How long the removal waits for the files of earlier shifts still at work.
const int64_t waitNanoseconds = 1000000000;

}  // namespace

DelThread::~DelThread() = default;

void DelThread::run() {
    for (;;) {
        waitForWakeSignal();
        while (getDeleteList(pending)) {
            // Files of earlier shifts are still being copied or linked; each
            // reaches the delete list when its step ends.
            if (pending.empty()) {
                UTILITIES::sleepNanoSeconds(waitNanoseconds);
                continue;
            }
            // Nothing goes on the strength of copies on a disk that fails or
            // is gone: the files wait for it in the ledger. The INTERNAL
            // storage lets a RAM-disk file go on its own copy or on the
            // EXTERNAL one: each file waits for the storage it needs.
            ownUp = _mayRelease();
            if (!ownUp && !roleOf(params.type).trustsExternalCopy) {
                debitCredit.postponeDeletion(pending);
                UTILITIES::sleepNanoSeconds(waitNanoseconds);
                continue;
            }
            externalUp = params.externalHealth == nullptr || params.externalHealth->releasable();
            std::list<FileInfo> later;
            const int64_t current = getPollundInfo().time;
            deletions.begin();
            for (auto file = pending.begin(); file != pending.end();) {
                if (_mustWait(*file)) {
                    later.splice(later.end(), pending, file++);
                    continue;
                }
                const int64_t shift = file->tavroTime();
                const Outcome outcome = _delete(*file);
                if (outcome == LATER) {
                    later.splice(later.end(), pending, file++);
                    continue;
                }
                ++file;
                if (shift < current) shiftsGone.emplace(shift, true).first->second &= outcome == GONE;
            }
            guard.release();  // a file system mounted anew is seen by the next run
            _bookDeletions();
            if (params.health != nullptr) params.health->recordOnlyCopies(onlyHere);
            if (params.externalHealth != nullptr) params.externalHealth->recordOnlyCopies(onlyExternal);
            onlyHere.clear();
            onlyExternal.clear();
            if (!later.empty()) {
                debitCredit.postponeDeletion(later);
                UTILITIES::sleepNanoSeconds(waitNanoseconds);
            }
        }
        // No file of an earlier shift is left in progress.
        _removeManifests();
    }
}

void DelThread::_removeManifests() {
    if (params.verify_copies && roleOf(params.type).releases == CascadeRole::INTERNAL_COPIES &&
        !params.origin.empty()) {
        TrustedTree origin(params.origin);
        for (const auto& shift : shiftsGone) {
            // A manifest of a shift with copies kept still vouches for them.
            if (!shift.second) continue;
            std::string name;
            const int dir = origin.parentOf(UTILITIES::manifestName(shift.first), name);
            if (dir < 0 || unlinkat(dir, name.c_str(), 0) == 0 || errno == ENOENT) continue;
            logFile << "++ Error: could not remove " << params.origin << "/" << name << "\n"
                    << LogManip(&LogFile::errmsg, errno) << endl;
        }
    }
    shiftsGone.clear();
}

bool DelThread::_mayRelease() {
    if (params.health == nullptr || params.health->releasable()) {
        holding = false;
        return true;
    }
    if (!holding) {
        const StorageHealth::Snapshot health = params.health->snapshot();
        logFile << params.storageID << ": Files of earlier shifts wait: the storage is "
                << (health.state == StorageHealth::UP ? "being filled anew"
                                                      : std::string(StorageHealth::stateName(health.state)) + " (" +
                                                            health.reason + ")")
                << endl;
    }
    holding = true;
    return false;
}

bool DelThread::_mustWait(const FileInfo& file) const {
    // The INTERNAL copy of a file that INTERNAL may still copy would come
    // back after its deletion here. (Without a copy here the file is kept
    // anyway.)
    const CascadeRole& role = roleOf(params.type);
    if (role.waitsForInternalCopy)
        return file.isSet(role.copiedFlag) && !file.isSet(FileInfo::INTERNAL_COPIED | FileInfo::INTERNAL_COPY_ENDED);
    // A RAM-disk file without an INTERNAL copy goes once the EXTERNAL copy
    // is complete; judged before that copy is made, it would be kept for ever.
    if (!role.trustsExternalCopy) return false;
    if (file.isSet(role.copiedFlag)) return !ownUp;
    // Its EXTERNAL copy vouches for it only while that storage is up.
    return !params.external_target.empty() &&
           (!file.isSet(FileInfo::EXTERNAL_COPIED | FileInfo::EXTERNAL_COPY_ENDED) ||
            (file.isSet(FileInfo::EXTERNAL_COPIED) && !externalUp));
}

DelThread::Outcome DelThread::_delete(FileInfo& file) {
    UTILITIES::FileStep step;  // at a stop the file stays, for the next start
    if (!step.allowed()) {
        _bookDeletions();
        UTILITIES::parkForStop();
    }
    // Keeps a link or removal pass of the same storage off the file meanwhile.
    FileInfo::ReadLock lock(file);
    const std::string relative = UTILITIES::getFilePathAfterDot(file.pathToOrigin());
    const std::string path = params.origin.empty() ? file.pathToOrigin() : params.origin + "/" + relative;
    ReleaseGuard::Place place;
    const std::string reason = guard.check(file, ReleaseGuard::DELETE, place, path, params.target + "/" + relative);
    if (!reason.empty()) {
        // A copy missing because its disk was pulled a moment ago, or fails:
        // judged again once it is back.
        const CascadeRole& role = roleOf(params.type);
        StorageHealth* vouching =
            role.trustsExternalCopy && !file.isSet(role.copiedFlag) ? params.externalHealth : params.health;
        if (vouching != nullptr && !vouching->releasable()) return LATER;
        const std::string text = "Warning: Not removing " + path + ": " + reason;
        logFile << text << endl;
        if (params.messageServer != nullptr)
            params.messageServer->addToMessageQueue(MessageServer::REMOVE_ERROR, path, text);
        if (deletions.add(file, false)) _bookDeletions();
        return KEPT;
    }
    // A RAM-disk file safe on EXTERNAL alone, its INTERNAL copy having failed.
    if (!place.externalCopy.empty())
        logFile << "Warning: Removing " << path << " although this storage holds no copy of it: " << place.externalCopy
                << " is complete" << endl;
    const bool removed = !place.exists || unlinkat(place.dir, place.name.c_str(), 0) == 0;
    const int removeErrno = removed ? ENOENT : errno;
    if (removed && place.exists) {
        // What now has its only copy on one disk, for the list of what a
        // replaced disk took with it.
        if (!place.externalCopy.empty())
            onlyExternal.push_back(relative);
        else if (!roleOf(params.type).trustsExternalCopy || !file.isSet(FileInfo::EXTERNAL_COPIED))
            onlyHere.push_back(relative);
    }
    if (deletions.add(file, removed || removeErrno == ENOENT)) _bookDeletions();
    // Taken up from the journal, a file already gone was most likely deleted
    // here by the run before, which was stopped before it booked that.
    const bool goneBefore = !place.exists && file.isSet(FileInfo::RECOVERED);
    if ((!place.exists || !removed) && !goneBefore) {
        logFile << "++ Error: could not remove " << path << "\n" << LogManip(&LogFile::errmsg, removeErrno) << endl;
        if (params.messageServer != nullptr)
            params.messageServer->addToMessageQueue(MessageServer::REMOVE_ERROR, path,
                                                    "Error: could not remove " + path);
    }
    return removed ? GONE : KEPT;
}

void DelThread::_bookDeletions() {
    std::vector<FlushedSteps::Step> steps;
    const int error = deletions.take(steps);
    if (error != 0) {
        logFile << "++ Error: " << deletions.directory() << " could not be flushed after " << steps.size()
                << " deletions, which are not booked: " << LogManip(&LogFile::errmsg, error) << endl;
        return;
    }
    for (const FlushedSteps::Step& deletion : steps) debitCredit.bookDeletion(deletion.first, deletion.second);
}
