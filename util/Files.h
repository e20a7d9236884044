#ifndef VELLORT_UTIL_FILES_H
#define VELLORT_UTIL_FILES_H

#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace UTILITIES {

// Result codes of copy(); every failure has its own code so that the copy
// worker can report what went wrong.
enum CopyError : int64_t {
    COPY_SOURCE_OPEN = -1,      // source cannot be opened
    COPY_SOURCE_STAT = -2,      // source cannot be examined
    COPY_MKDIR = -3,            // a missing directory cannot be made or given its owner
    COPY_TMP_AFTER_MKDIR = -4,  // temporary file cannot be created after making directories
    COPY_TMP_OPEN = -5,         // temporary file cannot be created
    COPY_READ = -6,
    COPY_WRITE = -7,
    COPY_OWNER = -8,            // owner or mode of the copy cannot be set
    COPY_TIMES = -9,
    COPY_RENAME = -10,
};

// Copies source to destination through destination + ".tmp", which is renamed
// over the destination once complete, so no copy is ever seen half-written
// under its final name. Missing directories of the destination are made with
// the modes of their counterparts in the source tree (0755 where there is
// none), and owned like the source file where the flags ask for it. The copy
// gets the source's mode, its owner and group as the flags ask, and its
// modification time in whole seconds.
//
// Returns the number of bytes copied or one of the CopyError codes, with errno
// set by the failing call. Writes no log text. Thread-safe, but two copies to
// the same destination at once would share one temporary file: callers must
// not start them.
int64_t copy(const std::string& source, const std::string& destination, bool preserveUid,
             bool preserveGid);

// lchown(2) that sets only the ids whose flag is set; with neither flag it
// makes no call and returns 0.
int lchown(const char* path, uint32_t uid, bool setUid, uint32_t gid, bool setGid);

// Writes the calling process's pid and then each non-zero pid of `pids`, one
// per line. 0 on success, 1 when the file cannot be written.
int setPidFile(const std::string& path, const std::vector<int>& pids);

}  // namespace UTILITIES

#endif
