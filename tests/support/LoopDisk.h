#ifndef VELLORT_TESTS_SUPPORT_LOOPDISK_H
#define VELLORT_TESTS_SUPPORT_LOOPDISK_H

#include <stdint.h>

#include <string>
#include <vector>

// A real file system on a loop device, for tests of what a disk holds after a power cut or a write failure. The loop
// device writes into its image file's page cache, so a copy of the image made without any sync is what the disk held at
// that moment: whatever the file system above still keeps in memory is not in it. Needs root and loop devices; when
// anything is not possible, mounted() is false and skipReason() says why (for GTEST_SKIP()). The destructor unmounts
// the file system and detaches the device; the image and the mount point stay, for the caller's temporary folders to
// remove. Used by one thread.
class LoopDisk {
public:
    // Makes the sparse image `bytes` long (it must not exist), formats it with
    // `fileSystem` ("ext4" or "xfs") and mounts it on mountPoint, made when missing.
    LoopDisk(const std::string& image, int64_t bytes, const std::string& fileSystem, const std::string& mountPoint);
    // Attaches an existing image (a copy) and mounts it: the file system replays its journal as after a reboot.
    LoopDisk(const std::string& image, const std::string& mountPoint);
    ~LoopDisk() { detach(); }

    LoopDisk(const LoopDisk&) = delete;
    LoopDisk& operator=(const LoopDisk&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& skipReason() const { return skipReason_; }
    const std::string& path() const { return mountPoint_; }
    const std::string& image() const { return image_; }

    // Copies the image to `copy` as it is now, sparse and without any sync; false with the reason in *why.
    bool copyImage(const std::string& copy, std::string* why = nullptr) const;
    // Unmounts and detaches the device; the image stays. A second call does nothing.
    void detach();

    // The absolute path of a system program (mkfs.ext4, chattr, sqlite3), for runProgram(); "" when none is installed.
    static std::string program(const std::string& name);

private:
    bool _usable();
    bool _run(const std::vector<std::string>& arguments, std::string* output = nullptr);
    void _attachAndMount();

    std::string image_;
    std::string mountPoint_;
    std::string device_;
    bool mounted_ = false;
    std::string skipReason_;
};

#endif
