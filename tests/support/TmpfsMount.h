#ifndef VELLORT_TESTS_SUPPORT_TMPFSMOUNT_H
#define VELLORT_TESTS_SUPPORT_TMPFSMOUNT_H

#include <string>

// A small tmpfs mounted on a fresh directory, for tests where real fill states or real write failures matter, and for
// benchmarks that must measure no disk. Mounting needs root; when it is not possible, mounted() is false, skipReason()
// says why (for GTEST_SKIP()) and path() is a plain directory that a benchmark may use instead. The destructor unmounts
// and removes the directory with whatever a caller put into it.
class TmpfsMount {
public:
    // Options as for mount -o ("size=8m,nr_inodes=64"). On mountPoint, made here, so that the
    // destructor removes nothing that was there before; by default on /tmp/vellort-tmpfs-XXXXXX.
    explicit TmpfsMount(const std::string& options, const std::string& mountPoint = "");
    ~TmpfsMount();

    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& skipReason() const { return skipReason_; }
    // errno of what failed (EPERM when not root); 0 when mounted.
    int error() const { return error_; }
    const std::string& path() const { return path_; }

    // Remounts read-only (true) or read-write (false); `options` replace the constructor's (a new size).
    bool remount(bool readOnly, const std::string& options = "");

private:
    std::string path_;
    std::string options_;
    bool mounted_;
    int error_;
    std::string skipReason_;
};

#endif
