#include "support/LoopDisk.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/ChildProcess.h"
#include "support/LogWatch.h"

LoopDisk::LoopDisk(const std::string& image, int64_t bytes, const std::string& fileSystem,
                   const std::string& mountPoint)
    : image_(image), mountPoint_(mountPoint) {
    const std::string format = program("mkfs." + fileSystem);
    if (_usable() && format.empty()) skipReason_ = "mkfs." + fileSystem + " is not installed";
    if (!skipReason_.empty()) return;
    const int fd = open(image.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    const bool sized = fd >= 0 && ftruncate(fd, bytes) == 0;
    const int savedErrno = errno;
    if (fd >= 0) close(fd);  // nothing written: nothing to lose on close
    if (!sized)
        skipReason_ = "cannot make " + image + ": " + strerror(savedErrno);
    else if (_run({format, fileSystem == "xfs" ? "-f" : "-F", "-q", image}))
        _attachAndMount();
}

LoopDisk::LoopDisk(const std::string& image, const std::string& mountPoint) : image_(image), mountPoint_(mountPoint) {
    if (_usable()) _attachAndMount();
}

bool LoopDisk::_usable() {
    if (geteuid() != 0)
        skipReason_ = "needs root for loop devices";
    else if (access("/dev/loop-control", F_OK) != 0)
        skipReason_ = std::string("no loop devices: /dev/loop-control: ") + strerror(errno);
    return skipReason_.empty();
}

bool LoopDisk::_run(const std::vector<std::string>& arguments, std::string* output) {
    std::string out, err;
    const int status = runProgram(arguments, &out, &err);
    if (status != 0)
        skipReason_ = arguments[0] + " " + arguments[1] + " ended with " + std::to_string(status) + ": " + err;
    if (output != nullptr) *output = out;
    return status == 0;
}

void LoopDisk::_attachAndMount() {
    std::string device;
    if (!_run({program("losetup"), "-f", "--show", image_}, &device)) return;
    device_ = device.substr(0, device.find('\n'));
    if (mkdir(mountPoint_.c_str(), 0755) != 0 && errno != EEXIST) {
        skipReason_ = "cannot make " + mountPoint_ + ": " + strerror(errno);
        return;
    }
    // XFS refuses a second file system of the same UUID, and the original of a copy may live on for a while in another
    // mount namespace that a process made meanwhile (unshare).
    mounted_ = _run({program("mount"), device_, mountPoint_}) ||
               _run({program("mount"), "-o", "nouuid", device_, mountPoint_});
}

bool LoopDisk::copyImage(const std::string& copy, std::string* why) const {
    std::string err;
    // cp syncs nothing; --sparse keeps a copy of a mostly empty disk small.
    const int status = runProgram({program("cp"), "--sparse=always", image_, copy}, nullptr, &err);
    if (status != 0 && why != nullptr) *why = "cp " + image_ + " " + copy + ": " + err;
    return status == 0;
}

void LoopDisk::detach() {
    // A file system may stay busy for a moment after its last user went; then it is detached lazily (a daemon that was
    // not stopped): the device goes with its last user, as losetup -d sets it to clear itself.
    if (mounted_ && !waitUntil([this] { return umount2(mountPoint_.c_str(), 0) == 0 || errno != EBUSY; }, 10, 50))
        umount2(mountPoint_.c_str(), MNT_DETACH);
    mounted_ = false;
    if (!device_.empty()) runProgram({program("losetup"), "-d", device_}, nullptr, nullptr);
    device_.clear();
}

std::string LoopDisk::program(const std::string& name) {
    for (const char* folder : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"})
        if (access((folder + name).c_str(), X_OK) == 0) return folder + name;
    return "";
}
