#ifndef VELLORT_BENCH_EXT4IMAGE_H
#define VELLORT_BENCH_EXT4IMAGE_H

#include <errno.h>
#include <linux/magic.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <string>

#include "support/ChildProcess.h"

// An ext4 file system on a loop device whose image file lies on the
// machine's own disk, for the benchmarks that measure what making copies
// durable costs: a tmpfs has nothing to flush, so only a real disk below
// tells what a syncfs or an fdatasync takes. The loop device uses direct I/O
// where the kernel allows it, so that its writes reach the disk instead of
// the image file's page cache, as a disk's would.
//
// Needs root. On failure mounted() is false and problem() says why. The
// destructor, or release() from a clean-up at a signal, unmounts the file
// system, detaches the device and removes the image and the mount point.
// One thread uses one, but for release().
class Ext4Image {
public:
    // A sparse image of `bytes` in `folder` (which must not be a tmpfs),
    // formatted and mounted on `mountPoint`, made here.
    Ext4Image(const std::string& folder, uint64_t bytes, const std::string& mountPoint) : mountPoint_(mountPoint) {
        struct statfs where;
        if (statfs(folder.c_str(), &where) != 0) {
            problem_ = folder + ": " + strerror(errno);
            return;
        }
        if (where.f_type == TMPFS_MAGIC || where.f_type == RAMFS_MAGIC) {
            problem_ = folder + " keeps its files in memory: the image must lie on a disk (--dir)";
            return;
        }
        std::string pattern = folder + "/vellort-bench-XXXXXX.img";
        const int fd = mkstemps(&pattern[0], 4);
        if (fd < 0) {
            problem_ = pattern + ": " + strerror(errno);
            return;
        }
        image_ = pattern;
        const bool sized = ftruncate(fd, static_cast<off_t>(bytes)) == 0;
        close(fd);  // nothing written through it
        if (!sized) {
            problem_ = image_ + ": " + strerror(errno);
            return;
        }
        // The inode tables and the journal are written now, not by a kernel
        // thread while the rounds are timed.
        if (!_run("mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 '" + image_ + "'") ||
            !_run("losetup -f --show --direct-io=on '" + image_ + "'", &device_))
            return;
        if (!device_.empty() && device_.back() == '\n') device_.pop_back();
        if (mkdir(mountPoint_.c_str(), 0755) != 0) {
            problem_ = mountPoint_ + ": " + strerror(errno);
            return;
        }
        madeMountPoint_ = true;
        remount();
    }
    ~Ext4Image() { release(); }

    Ext4Image(const Ext4Image&) = delete;
    Ext4Image& operator=(const Ext4Image&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& problem() const { return problem_; }
    const std::string& path() const { return mountPoint_; }
    // The image, the device, and whether the device writes around the page cache.
    std::string describe() const {
        const std::string dio = readFile("/sys/block/" + device_.substr(device_.rfind('/') + 1) + "/loop/dio");
        return "ext4 on " + device_ + " (direct I/O " + (dio.compare(0, 1, "1") == 0 ? "on" : "off") + "), image " +
               image_;
    }

    // Unmounts and mounts again: whatever of the file system was cached is
    // gone, and the next round reads and writes as on a fresh boot. Needs
    // everything below path() closed.
    bool remount() {
        if (mounted_ && umount2(mountPoint_.c_str(), 0) != 0) {
            problem_ = "umount " + mountPoint_ + ": " + strerror(errno);
            return false;
        }
        mounted_ = mount(device_.c_str(), mountPoint_.c_str(), "ext4", 0, "") == 0;
        if (!mounted_) problem_ = "mount " + device_ + " on " + mountPoint_ + ": " + strerror(errno);
        return mounted_;
    }

    void release() {
        // Detached when busy: a daemon or a cp still inside only sees it go,
        // and the device lets go of the image once they have.
        if (mounted_ && umount2(mountPoint_.c_str(), 0) != 0) umount2(mountPoint_.c_str(), MNT_DETACH);
        mounted_ = false;
        if (!device_.empty()) _run("losetup -d " + device_);  // a failure is in problem_; nothing else to try
        device_.clear();
        if (!image_.empty()) unlink(image_.c_str());
        image_.clear();
        if (madeMountPoint_) rmdir(mountPoint_.c_str());
        madeMountPoint_ = false;
    }

private:
    bool _run(const std::string& command, std::string* output = nullptr) {
        std::string errorOutput;
        if (runProgram({"/bin/sh", "-c", command}, output, &errorOutput, 600) == 0) return true;
        problem_ = command + " failed: " + errorOutput;
        return false;
    }

    std::string mountPoint_;
    std::string image_;
    std::string device_;
    std::string problem_;
    bool mounted_ = false;
    bool madeMountPoint_ = false;
};

#endif
