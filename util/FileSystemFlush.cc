#include "util/FileSystemFlush.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>

namespace UTILITIES {

void FileSystemFlush::watch(UniqueFd fd, dev_t device) {
    if (!fd) return;
    if (std::find(inMemory.begin(), inMemory.end(), device) != inMemory.end()) return;
    for (const Watched& known : watched)
        if (known.device == device) return;
    struct statfs system;
    if (::fstatfs(fd.get(), &system) == 0 && (system.f_type == TMPFS_MAGIC || system.f_type == RAMFS_MAGIC)) {
        inMemory.push_back(device);
        return;
    }
    watched.push_back({device, std::move(fd)});
}

void FileSystemFlush::watchDirectory(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat status;
    if (!fd || ::fstat(fd.get(), &status) != 0) {
        // A directory that is not there holds nothing the batch could change.
        if (errno != ENOENT && openError == 0) openError = errno;
        return;
    }
    watch(std::move(fd), status.st_dev);
}

int FileSystemFlush::flush() {
    int error = openError;
    for (Watched& system : watched)
        if (::syncfs(system.fd.get()) != 0 && error == 0) error = errno;
    watched.clear();
    openError = 0;
    return error;
}

}  // namespace UTILITIES
