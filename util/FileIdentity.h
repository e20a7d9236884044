#ifndef VELLORT_UTIL_FILEIDENTITY_H
#define VELLORT_UTIL_FILEIDENTITY_H

#include <stdint.h>
#include <sys/stat.h>

// Which file a path led to when the daemon worked on it: device and inode say
// which file, size and modification time that its content has not changed
// since. The link and removal passes and the deletion thread compare what they
// find with what was copied, and let go of nothing else. A plain value.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = -1;  // -1: nothing recorded
    int64_t mtimeSeconds = 0;
    int64_t mtimeNanoseconds = 0;

    static FileIdentity of(const struct stat& status) {
        FileIdentity identity;
        identity.device = status.st_dev;
        identity.inode = status.st_ino;
        identity.size = status.st_size;
        identity.mtimeSeconds = status.st_mtim.tv_sec;
        identity.mtimeNanoseconds = status.st_mtim.tv_nsec;
        return identity;
    }

    bool known() const { return size >= 0; }
    bool operator==(const FileIdentity& other) const {
        return device == other.device && inode == other.inode && size == other.size &&
               mtimeSeconds == other.mtimeSeconds && mtimeNanoseconds == other.mtimeNanoseconds;
    }
    bool operator!=(const FileIdentity& other) const { return !(*this == other); }
};

#endif
