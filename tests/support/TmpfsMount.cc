#include "support/TmpfsMount.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/TempDir.h"

TmpfsMount::TmpfsMount(const std::string& options, const std::string& mountPoint)
    : options_(options), mounted_(false), error_(0) {
    char pattern[] = "/tmp/vellort-tmpfs-XXXXXX";
    if (mountPoint.empty() ? mkdtemp(pattern) == nullptr : mkdir(mountPoint.c_str(), 0755) != 0) {
        error_ = errno;
        skipReason_ = "cannot make " + (mountPoint.empty() ? pattern : mountPoint) + ": " + strerror(error_);
        return;
    }
    path_ = mountPoint.empty() ? pattern : mountPoint;
    const bool root = geteuid() == 0;
    mounted_ = root && mount("tmpfs", path_.c_str(), "tmpfs", 0, options_.c_str()) == 0;
    if (mounted_) return;
    error_ = root ? errno : EPERM;
    skipReason_ = root ? "cannot mount a tmpfs (" + options_ + ") on " + path_ + ": " + strerror(error_)
                       : "needs root to mount a tmpfs";
}

TmpfsMount::~TmpfsMount() {
    // Detached: a daemon that still looks at it only sees it go.
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
    if (!path_.empty()) removeTree(path_);  // best effort: a leftover in /tmp harms no later run
}

bool TmpfsMount::remount(bool readOnly, const std::string& options) {
    if (!mounted_) return false;
    if (!options.empty()) options_ = options;
    unsigned long flags = MS_REMOUNT | (readOnly ? MS_RDONLY : 0);
    return mount("tmpfs", path_.c_str(), "tmpfs", flags, options_.c_str()) == 0;
}
