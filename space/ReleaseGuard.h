#ifndef VELLORT_SPACE_RELEASEGUARD_H
#define VELLORT_SPACE_RELEASEGUARD_H

#include <sys/stat.h>

#include <string>

#include "ledger/Cascade.h"
#include "ledger/FileInfo.h"
#include "ledger/Storage.h"
#include "util/TrustedTree.h"

// Finds the files that an INTERNAL or EXTERNAL storage lets go of (the
// announced file on the RAM disk, or the INTERNAL copy below the storage's
// origin) and their copies below its target, never through a symbolic link,
// and decides whether one may go: only the very file that was copied, and only
// while its copy is there as it was made. The link and removal passes and the
// deletion thread act on what it found, through the directory it holds.
//
// Used by the one thread that owns it (a LinkThread or a DelThread).
class ReleaseGuard {
public:
    enum Action { LINK, REMOVE, DELETE };

    // Where a file lies. `dir` belongs to the guard and stays valid until its
    // next find(); -1 when the file's directory is not there.
    struct Place {
        int dir = -1;
        std::string name;
        bool exists = false;
        struct stat status;  // when exists; not followed if a link
        // DELETE of a file this storage holds no copy of: the EXTERNAL copy
        // that makes it safe to go, else empty.
        std::string externalCopy;
    };

    explicit ReleaseGuard(const Storage::Params& params);

    // Looks for the file below the storage's source tree. Empty when it was
    // found or is plainly not there (place.exists tells which); else why it
    // cannot be reached safely, and then it is left alone. `filePath` names it
    // in the texts.
    std::string find(const FileInfo& file, Place& place, const std::string& filePath);

    // Finds the file (as find) and says why `action` must leave it: it cannot
    // be reached safely, is another file than the one copied or has changed
    // since, or its copy at `copyPath` is missing, no regular file, short, or
    // not the copy made. Empty when it may go, and when nothing is there,
    // which loses nothing. DELETE also lets a symbolic link go, which holds no
    // data. The INTERNAL storage may remove a file that the EXTERNAL storage
    // has copied: that storage deletes the INTERNAL copies itself, and may
    // have done so first. And it may delete a file whose own copy failed when
    // the EXTERNAL storage holds a complete copy of the very file
    // (place.externalCopy), so that its data is safe without one here.
    std::string check(const FileInfo& file, Action action, Place& place, const std::string& filePath,
                      const std::string& copyPath);

    // Lets go of the held directories, at the end of each pass or run.
    void release();

private:
    // Why the regular file found at `place` is not the one recorded as `copied`.
    std::string _fileReason(const FileIdentity& copied, const Place& place, const std::string& filePath);
    // Why the copy that `copiedFlag` books, below `tree`, is not there as made.
    std::string _checkCopy(const FileInfo& file, const Place& place, const std::string& copyPath, TrustedTree& tree,
                           uint32_t copiedFlag);

    const CascadeRole& role;
    const std::string ramdisk;
    TrustedTree sources;         // the RAM disk (INTERNAL) or the origin (EXTERNAL)
    TrustedTree copies;          // the storage's target
    TrustedTree externalCopies;  // INTERNAL only, with an EXTERNAL storage: its target
};

#endif
