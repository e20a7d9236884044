#ifndef VELLORT_TESTS_SUPPORT_TMPFSMOUNT_H
#define VELLORT_TESTS_SUPPORT_TMPFSMOUNT_H

#include <string>

// A small tmpfs mounted on a fresh directory, for tests where real fill states
// or real write failures matter. Mounting needs root; when it is not possible,
// mounted() is false and skipReason() says why, for GTEST_SKIP().
class TmpfsMount {
public:
    // options as for mount -o, for example "size=8m" or "size=1m,nr_inodes=64".
    explicit TmpfsMount(const std::string& options);
    ~TmpfsMount();

    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& skipReason() const { return skipReason_; }
    const std::string& path() const { return path_; }

    // Remounts read-only (true) or read-write (false).
    // With `options`, these replace the ones given to the constructor (a new size).
    bool remount(bool readOnly, const std::string& options = "");

private:
    std::string path_;
    std::string options_;
    bool mounted_;
    std::string skipReason_;
};

#endif
