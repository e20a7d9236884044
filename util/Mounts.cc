#include "util/Mounts.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

namespace {

// mountinfo writes blanks, tabs, newlines and backslashes in paths as \ooo.
std::string unescape(const std::string& field) {
    std::string text;
    for (size_t i = 0; i < field.size(); ++i) {
        const std::string octal = field[i] == '\\' && i + 3 < field.size() ? field.substr(i + 1, 3) : "";
        if (octal.size() == 3 && octal.find_first_not_of("01234567") == std::string::npos) {
            text += static_cast<char>(std::stoi(octal, nullptr, 8));
            i += 3;
        } else {
            text += field[i];
        }
    }
    return text;
}

}  // namespace

namespace UTILITIES {

bool isMountPoint(const std::string& path, dev_t& device) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) return false;
    struct stat status;
    if (stat(resolved, &status) != 0 || !S_ISDIR(status.st_mode)) return false;
    std::ifstream mounts("/proc/self/mountinfo");
    for (std::string line; std::getline(mounts, line);) {
        // id, parent id, major:minor, root, mount point, ...
        std::istringstream fields(line);
        std::string id, parent, numbers, root, mountPoint;
        if (!(fields >> id >> parent >> numbers >> root >> mountPoint)) continue;
        if (unescape(mountPoint) == resolved) {
            device = status.st_dev;
            return true;
        }
    }
    return false;
}

}  // namespace UTILITIES
