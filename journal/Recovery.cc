#include "journal/Recovery.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "ledger/Cascade.h"
#include "ledger/DebitListThread.h"
#include "ledger/Storage.h"
#include "log/LogFile.h"
#include "util/Paths.h"
#include "util/TrustedTree.h"

namespace {

// What is at `relative` below `tree`, not following a link; false when nothing is.
bool look(TrustedTree& tree, const std::string& relative, struct stat& status) {
    std::string name;
    const int dir = tree.parentOf(relative, name);
    return dir >= 0 && fstatat(dir, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
}

// One INTERNAL or EXTERNAL storage's view of the files: its source (the RAM
// disk, or the INTERNAL target) and its target.
struct Place {
    const Storage::Params& params;
    const CascadeRole& role;
    std::unique_ptr<TrustedTree> origin;
    std::unique_ptr<TrustedTree> target;

    explicit Place(const Storage::Params& params)
        : params(params),
          role(roleOf(params.type)),
          origin(new TrustedTree(params.origin.empty() ? params.ramdisk_mountpoint : params.origin)),
          target(new TrustedTree(params.target)) {}

    // Sets the file's flags for the booked step, which the storages read of
    // each other, and says at which step the storage takes the file up.
    Journal::State takeUp(FileInfo& file, const Journal::Step& step) {
        const std::string relative = UTILITIES::getFilePathAfterDot(file.pathToOrigin());
        const std::string atOrigin =
            params.origin.empty() ? UTILITIES::pathBelow(params.ramdisk_mountpoint, file.pathToOrigin()) : relative;
        struct stat copy, source;
        const bool copyThere = look(*target, relative, copy) && S_ISREG(copy.st_mode);
        auto copied = [&](uint32_t more) {
            if (copyThere) file.recordCopy(role.copiedFlag, FileIdentity::of(copy));
            file.setFlag(role.copyStartedFlag | role.copiedFlag | more);
        };
        Journal::State state = step.state;
        if ((state == Journal::PENDING || state == Journal::COPIED) && copyThere && !atOrigin.empty() &&
            look(*origin, atOrigin, source) && S_ISLNK(source.st_mode))
            state = Journal::LINKED;  // the link pass got there; its booking did not
        switch (state) {
            case Journal::PENDING:
                return Journal::PENDING;
            case Journal::COPIED:
                file.setFlag(role.copyStartedFlag | role.copyBookedFlag);
                return Journal::PENDING;  // the copy is looked at again
            case Journal::LINKED:
                copied(role.linkStartedFlag | role.linkedFlag);
                return Journal::LINKED;
            case Journal::REMOVED:
            case Journal::DELETED:
                // Its source is gone, so the storages before this one copy it
                // no more; its copy stays the one later storages check against.
                if (copyThere)
                    copied(role.removalStartedFlag | role.removedFlag);
                else
                    file.setFlag(role.copyStartedFlag | role.removalStartedFlag | role.removedFlag |
                                 role.copyEndedFlag);
                return state;
            case Journal::RETRYING:
                file.setFlag(role.copyStartedFlag);
                return state;
            default:  // failed, or kept
                file.setFlag(role.copyStartedFlag | role.copyEndedFlag);
                return state;
        }
    }
};

// The RAM-disk file as it is now, when a storage holds a complete copy of it:
// the file that was copied, which the deletion at the shift may then let go.
void recordSource(FileInfo& file, const std::vector<std::unique_ptr<Place>>& places) {
    if (places.empty() || !places[0] || places[0]->params.type != StorageType::INTERNAL) return;
    const std::string relative = UTILITIES::getFilePathAfterDot(file.pathToOrigin());
    const std::string below = UTILITIES::pathBelow(places[0]->params.ramdisk_mountpoint, file.pathToOrigin());
    struct stat source, copy;
    if (below.empty() || !look(*places[0]->origin, below, source) || !S_ISREG(source.st_mode)) return;
    for (const std::unique_ptr<Place>& place : places)
        if (place && look(*place->target, relative, copy) && S_ISREG(copy.st_mode) && copy.st_size == source.st_size &&
            copy.st_mtim.tv_sec == source.st_mtim.tv_sec) {
            file.recordSource(FileIdentity::of(source));
            return;
        }
}

// The INTERNAL copy is the EXTERNAL storage's link to its own copy, and the
// RAM-disk file is no longer a plain file: the EXTERNAL link pass got there
// after the RAM disk's own, and nothing is left to copy from or to. Only the
// link that pass makes counts; any other is left to the copy, which refuses it.
bool linkedToExternal(const FileInfo& file, const std::vector<std::unique_ptr<Place>>& places) {
    if (places.empty() || !places[0] || places[0]->params.type != StorageType::INTERNAL) return false;
    const Place* external = nullptr;
    for (const std::unique_ptr<Place>& place : places)
        if (place && place->params.type == StorageType::EXTERNAL) external = place.get();
    if (external == nullptr) return false;
    const std::string relative = UTILITIES::getFilePathAfterDot(file.pathToOrigin());
    const std::string below = UTILITIES::pathBelow(places[0]->params.ramdisk_mountpoint, file.pathToOrigin());
    struct stat status;
    if (below.empty() || (look(*places[0]->origin, below, status) && S_ISREG(status.st_mode))) return false;
    std::string name;
    const int dir = places[0]->target->parentOf(relative, name);
    if (dir < 0 || fstatat(dir, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(status.st_mode))
        return false;
    std::string expected = external->params.target;
    if (expected.empty() || expected.back() != '/') expected += '/';
    expected += relative;
    std::vector<char> target(expected.size() + 2);
    const ssize_t length = readlinkat(dir, name.c_str(), target.data(), target.size());
    return length == static_cast<ssize_t>(expected.size()) &&
           expected.compare(0, expected.size(), target.data(), static_cast<size_t>(length)) == 0;
}

// The EXTERNAL storage lets an INTERNAL copy go (deletes it, removes it, or
// puts a link to its own copy in its place) only once that copy is made.
// Taken up with its copy gone, the INTERNAL storage would copy the file anew,
// and that copy, of a file the EXTERNAL storage is done with, would stay for
// good, or it would find nothing to copy and fail. So it counts as copied
// there, or as failed if it was still being tried.
void notCopiedAgain(FileInfo& file, const std::vector<std::unique_ptr<Place>>& places,
                    std::vector<Journal::State>& states, size_t booked) {
    if (!file.isSet(FileInfo::EXTERNAL_COPIED) || file.isSet(FileInfo::INTERNAL_COPIED)) return;
    if (!file.isSet(FileInfo::EXTERNAL_REMOVED) &&
        !(file.isSet(FileInfo::EXTERNAL_LINKED) && linkedToExternal(file, places)))
        return;
    for (size_t i = 0; i < places.size() && i < booked; ++i) {
        if (!places[i] || places[i]->params.type != StorageType::INTERNAL) continue;
        if (states[i] == Journal::PENDING) {
            file.setFlag(FileInfo::INTERNAL_COPY_STARTED | FileInfo::INTERNAL_COPIED);
            states[i] = Journal::COPIED;
        } else if (states[i] == Journal::RETRYING) {
            file.setFlag(FileInfo::INTERNAL_COPY_ENDED);
            states[i] = Journal::FAILED;
        }
    }
}

// Booked copied on the INTERNAL storage (or, in an earlier shift, not booked
// at all), the file is gone from the RAM disk and from the INTERNAL disk, and
// the EXTERNAL disk holds a copy of it: the last run's deletions (or removal
// passes) got there before their bookings, and the copy's own booking, did.
// Taken up as still to copy, the file would fail for want of a source, and
// the deletion would report a file it had itself removed: the INTERNAL step
// is done instead, the copy counted as made. True when the copy's
// verification is to be counted too: let go, it had been verified where the
// storage verifies, but its booking went with the copy's.
bool releasedBeforeTheStop(FileInfo& file, const Journal::OpenFile& open,
                           const std::vector<std::unique_ptr<Place>>& places, std::vector<Journal::State>& states,
                           int64_t current) {
    if (places.empty() || !places[0] || places[0]->params.type != StorageType::INTERNAL || open.steps.empty() ||
        states[0] != Journal::PENDING)
        return false;
    const Journal::State booked = open.steps[0].state;
    if (booked != Journal::COPIED && !(booked == Journal::PENDING && open.shift < current)) return false;
    const Place& internal = *places[0];
    const Place* external = nullptr;
    for (const std::unique_ptr<Place>& place : places)
        if (place && place->params.type == StorageType::EXTERNAL) external = place.get();
    const std::string relative = UTILITIES::getFilePathAfterDot(file.pathToOrigin());
    const std::string below = UTILITIES::pathBelow(internal.params.ramdisk_mountpoint, file.pathToOrigin());
    struct stat status;
    if (external == nullptr || below.empty() || look(*internal.origin, below, status) ||
        look(*internal.target, relative, status))
        return false;
    if (!look(*external->target, relative, status) || !S_ISREG(status.st_mode) ||
        (open.size >= 0 && status.st_size != open.size))
        return false;
    file.setFlag(FileInfo::INTERNAL_REMOVAL_STARTED | FileInfo::INTERNAL_REMOVED | FileInfo::INTERNAL_COPY_ENDED);
    states[0] = open.shift < current ? Journal::DELETED : Journal::REMOVED;
    return booked == Journal::PENDING && internal.params.verify_copies;
}

}  // namespace

void Recovery::takeUp(const Journal::Contents& contents, const std::vector<Storage*>& storages, LogFile& logFile) {
    if (contents.files.empty()) return;
    const int64_t current = DebitListThread::getPollundInfo().time;
    std::vector<std::unique_ptr<Place>> places;
    for (Storage* storage : storages) {
        const Storage::Params& params = storage->getParams();
        places.emplace_back(roleOf(params.type).releases != CascadeRole::NOTHING ? new Place(params) : nullptr);
    }
    std::vector<bool> earlier(storages.size(), false);
    std::vector<Journal::State> states(storages.size());
    for (const Journal::OpenFile& open : contents.files) {
        FileInfo file(open.path, open.shift, open.id);
        file.setFlag(FileInfo::RECOVERED);
        // What every copy of it must hold, as verified before the stop.
        if (!open.hash.empty()) file.referenceHash(open.hash);
        // What a copy must have when its source is gone.
        file.setRecordedSize(open.size);
        // Every storage's flags first: each one reads the others'.
        for (size_t i = 0; i < storages.size() && i < open.steps.size(); ++i) {
            const Journal::Step& step = open.steps[i];
            states[i] = step.state;
            if (places[i]) states[i] = places[i]->takeUp(file, step);
        }
        recordSource(file, places);
        notCopiedAgain(file, places, states, open.steps.size());
        const bool verifiedBefore = releasedBeforeTheStop(file, open, places, states, current);
        for (size_t i = 0; i < storages.size() && i < open.steps.size(); ++i) {
            if (open.steps[i].done) continue;
            storages[i]->restore(file, open.steps[i], states[i]);
            if (i == 0 && verifiedBefore) storages[i]->debitCredit().restoreVerification(file);
            if (open.shift < current) earlier[i] = true;
        }
    }
    logFile << "Taken up " << contents.files.size() << " unfinished files from the journal" << endl;
    for (size_t i = 0; i < storages.size(); ++i) {
        storages[i]->resume();
        if (earlier[i]) storages[i]->startDeleting();
    }
}
