#include "intake/Announcement.h"

#include "util/Paths.h"

namespace {

// The white space that separates words: that of the "C" locale, which the
// daemon never changes.
const char* const blanks = " \t\n\v\f\r";

// The next word of `line` from `at` on, leading white space skipped; empty
// when only white space is left. `at` moves past the word.
std::string nextWord(const std::string& line, size_t& at) {
    size_t start = line.find_first_not_of(blanks, at);
    if (start == std::string::npos) {
        at = line.size();
        return std::string();
    }
    size_t end = line.find_first_of(blanks, start);
    if (end == std::string::npos) end = line.size();
    at = end;
    return line.substr(start, end - start);
}

// An unsigned 32-bit decimal number and nothing else.
bool readId(const std::string& word, uint32_t& id) {
    if (word.empty() || word.size() > 10) return false;
    uint64_t value = 0;
    for (char digit : word) {
        if (digit < '0' || digit > '9') return false;
        value = value * 10 + static_cast<uint64_t>(digit - '0');
    }
    if (value > UINT32_MAX) return false;
    id = static_cast<uint32_t>(value);
    return true;
}

// `path`, which lies below the RAM disk's resolved mount point as `below`,
// rebuilt below `ramdisk` as configured: the copies, links, deletions and the
// journal all name RAM-disk files by that one form. The part after the marker
// stays as written; a link followed in the configured part is root's own.
std::string belowConfigured(const std::string& ramdisk, const std::string& below, const std::string& path) {
    std::string base = ramdisk;
    for (size_t at = base.find("//"); at != std::string::npos; at = base.find("//", at)) base.erase(at, 1);
    while (!base.empty() && base.back() == '/') base.pop_back();
    const std::string after = UTILITIES::getFilePathAfterDot(path);
    // `below` is the folders between the base and the marker, then `after`.
    const std::string folders = below.substr(0, below.size() - after.size());
    return base + "/" + folders + "./" + after;
}

// Every storage writes its copy to its own target + "/" + the part after
// "/./", the link and removal passes act on the same relative path below their
// origin, and the files are read, linked and deleted below the RAM disk. A path
// that has no such part, an empty one, one that climbs with "..", or one
// outside the RAM disk would make the daemon, as root, read, write or delete
// where it has no business. Returns why the path is refused, or "" when it is
// safe; `below` gets its path below the RAM disk. A path below `resolved`
// (the RAM disk's mount point with its links resolved) is moved below
// `ramdisk` in `normalizedPath`.
std::string unsafePathReason(const std::string& announcedPath, std::string& normalizedPath, const std::string& ramdisk,
                             const std::string& resolved, std::string& below) {
    if (announcedPath.find('/') == std::string::npos) return "no directory part";
    if (UTILITIES::getFilePathAfterDot(normalizedPath).empty()) return "empty file name after /./";
    for (size_t start = 0;;) {
        size_t end = normalizedPath.find('/', start);
        if (normalizedPath.compare(start, end == std::string::npos ? std::string::npos : end - start, "..") == 0)
            return "'..' in the path";
        if (end == std::string::npos) break;
        start = end + 1;
    }
    below = UTILITIES::pathBelow(ramdisk, normalizedPath);
    if (below.empty() && !resolved.empty()) {
        below = UTILITIES::pathBelow(resolved, normalizedPath);
        if (!below.empty()) normalizedPath = belowConfigured(ramdisk, below, normalizedPath);
    }
    if (below.empty())
        return "it does not lie below the RAM disk " + ramdisk + (resolved.empty() ? "" : " (" + resolved + ")");
    return "";
}

}  // namespace

Announcement Announcement::classify(const std::string& line, uint32_t previousUid, uint32_t previousGid,
                                    const std::string& ramdisk, const std::string& resolvedRamdisk) {
    Announcement announcement;
    // Split by hand rather than by a string stream: the reader classifies
    // every line, and a stream costs more to build than the split itself.
    size_t at = 0;
    std::string first = nextWord(line, at);
    if (first.empty()) return announcement;  // blanks only

    if (first == "usershift:") {
        // Each number on its own: one that is missing or unreadable keeps the
        // previous user's value, and the shift happens anyway.
        std::string uidWord = nextWord(line, at);
        std::string gidWord = nextWord(line, at);
        announcement.kind = USER_SHIFT;
        announcement.uid = previousUid;
        announcement.gid = previousGid;
        readId(uidWord, announcement.uid);
        readId(gidWord, announcement.gid);
        return announcement;
    }

    announcement.announcedPath = first;
    announcement.path = UTILITIES::normalizePath(first);
    announcement.reason =
        unsafePathReason(first, announcement.path, ramdisk, resolvedRamdisk, announcement.belowRamdisk);
    announcement.kind = announcement.reason.empty() ? FILE : REJECTED;
    return announcement;
}
