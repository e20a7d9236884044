#ifndef VELLORT_UTIL_PATHS_H
#define VELLORT_UTIL_PATHS_H

#include <string>

namespace UTILITIES {

// Announced paths carry the marker "/./" between the base directory and the
// path relative to it: /ramdisk/data/./run1/img_00001.cbf. The relative part is
// what every storage rebuilds below its own directories.

// Collapses "//" to "/" and, when the path has no marker yet, turns its last
// "/" into "/./". A path without any "/" is returned unchanged.
std::string normalizePath(const std::string& path);

// The text before / after the first "/./"; empty when there is no marker.
std::string getFilePathBeforeDot(const std::string& path);
std::string getFilePathAfterDot(const std::string& path);

// The announced file's path below `base` (a directory as configured: the RAM
// disk's mount point), with the marker dropped: data/run1/img.cbf for
// /ramdisk/data/./run1/img.cbf below /ramdisk. Compared as text, with "//"
// collapsed and a trailing "/" of base ignored. Empty when the path has no
// marker, nothing after it, or a part before it that does not lie inside base.
std::string pathBelow(const std::string& base, const std::string& announcedPath);

// Splits a numbered file name at its last ".": img_00012.cbf gives stem "img_",
// number 12 and extension "cbf". False when the name has no "." or no decimal
// digit right before it.
bool parseFilename(const std::string& name, std::string& stem, int& number, std::string& extension);

// A fixed path of the daemon (configuration, pid file, pipe) below the folder
// named by VELLORT_ROOT, when that variable is set and not empty; the path
// itself otherwise. Tests, demos and containers use it to keep the daemon out
// of the real /etc and /var.
std::string rootedPath(const std::string& path);

}  // namespace UTILITIES

#endif
