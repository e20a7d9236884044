#ifndef VELLORT_SPACE_FLUSHEDSTEPS_H
#define VELLORT_SPACE_FLUSHEDSTEPS_H

#include <stddef.h>

#include <string>
#include <utility>
#include <vector>

#include "ledger/FileInfo.h"
#include "util/FileSystemFlush.h"

// The steps a space thread takes on files below one directory (deletions,
// links, removals), held back from the books until that directory's file
// system is flushed, so that the journal never books a step that a power cut
// undid. A RAM disk has nothing to flush: each step is due at once. On a disk
// they are due in groups, so that a kill loses few bookings, which the next
// start finds out again from the files.
//
// One thread (a LinkThread or a DelThread) uses one.
class FlushedSteps {
public:
    // A file, and whether the step was done (deleted, linked, removed) or
    // refused.
    using Step = std::pair<FileInfo, bool>;

    explicit FlushedSteps(const std::string& directory) : directory_(directory) {}

    FlushedSteps(const FlushedSteps&) = delete;
    FlushedSteps& operator=(const FlushedSteps&) = delete;

    const std::string& directory() const { return directory_; }

    // Before the first step of a run or a pass.
    void begin();
    // A step taken; true when the steps held are due for booking (take()).
    bool add(const FileInfo& file, bool done);
    // Flushes the file system and hands the steps held over in `out`
    // (emptied first). 0, or the errno of a flush that failed.
    int take(std::vector<Step>& out);

private:
    const std::string directory_;
    UTILITIES::FileSystemFlush flush;
    std::vector<Step> steps;
    bool onDisk = false;
};

#endif
