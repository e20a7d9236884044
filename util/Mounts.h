#ifndef VELLORT_UTIL_MOUNTS_H
#define VELLORT_UTIL_MOUNTS_H

#include <sys/types.h>

#include <string>

namespace UTILITIES {

// Whether `path` (links in it resolved, as configured by root) is the mount
// point of a mounted file system, as /proc/self/mountinfo lists them. False
// when it is missing or a plain directory, such as the mount point of an
// unplugged disk. On true, `device` gets the file system's st_dev, which a
// cheap later stat can compare (a disk taken away shows another device).
bool isMountPoint(const std::string& path, dev_t& device);

}  // namespace UTILITIES

#endif
