#include "support/TmpfsMount.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>

TmpfsMount::TmpfsMount(const std::string& options) : options_(options), mounted_(false) {
    char pattern[] = "/tmp/vellort-tmpfs-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        skipReason_ = std::string("mkdtemp failed: ") + strerror(errno);
        return;
    }
    path_ = pattern;
    if (geteuid() != 0) {
        skipReason_ = "needs root to mount a tmpfs";
        return;
    }
    if (mount("tmpfs", path_.c_str(), "tmpfs", 0, options_.c_str()) != 0) {
        skipReason_ = std::string("cannot mount a tmpfs here: ") + strerror(errno);
        return;
    }
    mounted_ = true;
}

TmpfsMount::~TmpfsMount() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
    if (!path_.empty()) rmdir(path_.c_str());
}

bool TmpfsMount::remount(bool readOnly, const std::string& options) {
    if (!mounted_) return false;
    if (!options.empty()) options_ = options;
    unsigned long flags = MS_REMOUNT | (readOnly ? MS_RDONLY : 0);
    return mount("tmpfs", path_.c_str(), "tmpfs", flags, options_.c_str()) == 0;
}
