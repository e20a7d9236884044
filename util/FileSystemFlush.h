#ifndef VELLORT_UTIL_FILESYSTEMFLUSH_H
#define VELLORT_UTIL_FILESYSTEMFLUSH_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "util/UniqueFd.h"

namespace UTILITIES {

// Makes what a batch of steps changed durable: its files' data, their names
// and the directories made on the way, with one syncfs per file system
// touched, however many files the batch holds. A copy, a deletion, is not
// booked before its batch was flushed, so that nothing is let go on the
// strength of a step that a power cut would undo.
//
// Write-back errors that close() never reported are seen too: syncfs reports
// every one that hit the file system since the descriptor it is called on was
// opened (Linux 5.8 on), so each file system is watched through a descriptor
// opened before the batch's first change to it. File systems that keep their
// files in memory (tmpfs, ramfs) have nothing to write out and are skipped.
//
// One thread uses one.
class FileSystemFlush {
public:
    FileSystemFlush() = default;
    FileSystemFlush(const FileSystemFlush&) = delete;
    FileSystemFlush& operator=(const FileSystemFlush&) = delete;

    // A change of the batch lies on `device`, and `fd`, open on a file or
    // directory there, was opened before it. The first descriptor of each
    // file system is kept until the flush; the others are closed.
    void watch(UniqueFd fd, dev_t device);
    // The same for the directory `path`, which root configured (a target, the
    // RAM disk): opened now, before the batch changes anything below it. One
    // that is not there is left out.
    void watchDirectory(const std::string& path);

    // One syncfs for each file system watched. 0 when every one succeeded,
    // else the errno of the first that failed (also when a directory to watch
    // could not be opened). Either way the batch is over: its file systems are
    // forgotten, for a flush that failed proves nothing when called again (the
    // kernel may have dropped the pages it could not write), and the steps it
    // was to prove must be done anew.
    int flush();

    // True when no file system on a disk was watched since the last flush.
    bool empty() const { return watched.empty() && openError == 0; }

private:
    struct Watched {
        dev_t device;
        UniqueFd fd;
    };
    std::vector<Watched> watched;
    std::vector<dev_t> inMemory;  // devices found to keep their files in memory
    int openError = 0;            // a directory that could not be watched
};

}  // namespace UTILITIES

#endif
