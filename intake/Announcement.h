#ifndef VELLORT_INTAKE_ANNOUNCEMENT_H
#define VELLORT_INTAKE_ANNOUNCEMENT_H

#include <stdint.h>

#include <string>

// What one line of the announcement pipe says, decided without touching the
// storages: nothing (blanks only), a user shift with the new uid and gid, a
// finished file with its path in the marker form, or a file that is refused
// with the reason. The pipe reader acts on it; keeping the decision here lets
// it be checked line by line without a pipe or threads.
//
// A plain value: any thread may make and read one.
struct Announcement {
    enum Kind { IGNORED, USER_SHIFT, FILE, REJECTED };

    // `line` is the text of one read, up to its first NUL. A user shift's
    // number that is missing or not an unsigned 32-bit decimal keeps
    // `previousUid` or `previousGid`. A file must lie below `ramdisk`, the
    // RAM disk's mount point as configured, or below `resolvedRamdisk`, the
    // same with its links resolved (empty: none); a path below the resolved
    // form is taken as the same path below `ramdisk`, its part after the
    // marker kept as written, so that every storage sees one form of it.
    static Announcement classify(const std::string& line, uint32_t previousUid, uint32_t previousGid,
                                 const std::string& ramdisk, const std::string& resolvedRamdisk = "");

    Kind kind = IGNORED;
    uint32_t uid = 0;           // USER_SHIFT
    uint32_t gid = 0;           // USER_SHIFT
    std::string announcedPath;  // FILE and REJECTED: the line's first word as written
    std::string path;           // FILE: announcedPath with single slashes and one marker, below `ramdisk`
    std::string belowRamdisk;   // FILE: path below the RAM disk's mount point, marker dropped
    std::string reason;         // REJECTED: why the storages must not act on it
};

#endif
