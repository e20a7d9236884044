#include "util/Paths.h"

#include <stdint.h>
#include <stdlib.h>

namespace UTILITIES {

std::string normalizePath(const std::string& path) {
    std::string result = path;
    for (size_t at = result.find("//"); at != std::string::npos; at = result.find("//", at)) result.erase(at, 1);
    if (result.find("/./") != std::string::npos) return result;
    size_t lastSlash = result.rfind('/');
    if (lastSlash == std::string::npos) return result;
    result.replace(lastSlash, 1, "/./");
    return result;
}

std::string getFilePathBeforeDot(const std::string& path) {
    size_t marker = path.find("/./");
    return marker == std::string::npos ? std::string() : path.substr(0, marker);
}

std::string getFilePathAfterDot(const std::string& path) {
    size_t marker = path.find("/./");
    return marker == std::string::npos ? std::string() : path.substr(marker + 3);
}

std::string pathBelow(const std::string& base, const std::string& announcedPath) {
    std::string directory = base;
    for (size_t at = directory.find("//"); at != std::string::npos; at = directory.find("//", at))
        directory.erase(at, 1);
    while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
    const size_t marker = announcedPath.find("/./");
    if (directory.empty() || marker == std::string::npos || marker + 3 == announcedPath.size()) return std::string();
    const std::string before = announcedPath.substr(0, marker);
    const std::string after = announcedPath.substr(marker + 3);
    if (directory == "/") return before.empty() ? after : before[0] == '/' ? before.substr(1) + "/" + after : "";
    if (before == directory) return after;
    if (before.size() > directory.size() && before.compare(0, directory.size(), directory) == 0 &&
        before[directory.size()] == '/')
        return before.substr(directory.size() + 1) + "/" + after;
    return std::string();
}

bool parseFilename(const std::string& name, std::string& stem, int& number, std::string& extension) {
    stem.clear();
    extension.clear();
    number = 0;
    size_t point = name.rfind('.');
    if (point == std::string::npos) return false;
    extension = name.substr(point + 1);
    if (point == 0 || name[point - 1] < '0' || name[point - 1] > '9') return false;
    size_t digits = point;
    while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') --digits;
    uint32_t value = 0;  // wraps like the counters it feeds; the number is only informative
    for (size_t i = digits; i < point; ++i) value = value * 10u + static_cast<uint32_t>(name[i] - '0');
    number = static_cast<int>(value);
    stem = name.substr(0, digits);
    return true;
}

std::string rootedPath(const std::string& path) {
    const char* root = getenv("VELLORT_ROOT");
    if (root == nullptr || root[0] == '\0') return path;
    return std::string(root) + path;
}

}  // namespace UTILITIES
