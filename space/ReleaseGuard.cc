#include "space/ReleaseGuard.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>

#include "util/Paths.h"
#include "util/Errors.h"

namespace {

// Why a file whose identity was recorded as `expected` is not the one found.
std::string identityMismatch(const FileIdentity& expected, const struct stat& found) {
    const FileIdentity identity = FileIdentity::of(found);
    if (!expected.known() || expected.device != identity.device || expected.inode != identity.inode)
        return "is not the file that was copied";
    if (expected != identity) return "has changed since it was copied";
    return "";
}

}  // namespace

ReleaseGuard::ReleaseGuard(const Storage::Params& params)
    : role(roleOf(params.type)),
      ramdisk(params.ramdisk_mountpoint),
      sources(role.releases == CascadeRole::RAMDISK_FILES ? params.ramdisk_mountpoint : params.origin),
      copies(params.target),
      externalCopies(params.external_target) {}

void ReleaseGuard::release() {
    sources.release();
    copies.release();
    externalCopies.release();
}

std::string ReleaseGuard::find(const FileInfo& file, Place& place, const std::string& filePath) {
    place = Place();
    const std::string path = file.pathToOrigin();
    const std::string relative = role.releases == CascadeRole::RAMDISK_FILES ? UTILITIES::pathBelow(ramdisk, path)
                                                                             : UTILITIES::getFilePathAfterDot(path);
    if (relative.empty()) return "the file " + filePath + " does not lie below " + sources.basePath();
    place.dir = sources.parentOf(relative, place.name);
    if (place.dir < 0) {
        int walkErrno = errno;
        if (walkErrno == ENOENT || walkErrno == ENOTDIR) return "";  // its folder is gone: nothing there
        if (walkErrno == ELOOP) return "a directory on the way to " + filePath + " is a symbolic link";
        return "the file " + filePath + " cannot be reached: " + UTILITIES::systemText(walkErrno);
    }
    if (fstatat(place.dir, place.name.c_str(), &place.status, AT_SYMLINK_NOFOLLOW) == 0) {
        place.exists = true;
        return "";
    }
    int statErrno = errno;
    if (statErrno == ENOENT) return "";
    return "the file " + filePath + " cannot be examined: " + UTILITIES::systemText(statErrno);
}

std::string ReleaseGuard::check(const FileInfo& file, Action action, Place& place, const std::string& filePath,
                                const std::string& copyPath) {
    const uint32_t own = role.copiedFlag;
    const std::string noCopy = "this storage holds no copy of it";
    // Only a deletion meets files whose own copy failed, and only the EXTERNAL copy can vouch for them.
    const bool onExternal = !file.isSet(own);
    if (onExternal &&
        (!role.trustsExternalCopy || externalCopies.basePath().empty() || !file.isSet(FileInfo::EXTERNAL_COPIED)))
        return noCopy;
    std::string reason = find(file, place, filePath);
    if (!reason.empty() || !place.exists) return onExternal ? noCopy : reason;
    if (S_ISLNK(place.status.st_mode) && action == DELETE && !onExternal) return "";
    const bool onRamdisk = role.releases == CascadeRole::RAMDISK_FILES;
    reason = _fileReason(onRamdisk ? file.source() : file.copy(FileInfo::INTERNAL_COPIED), place, filePath);
    // The copies were made from two states of the file: one differs from it.
    if (reason.empty() && onRamdisk && file.sourceDisputed())
        reason = "the file " + filePath + " has changed since it was copied";
    if (!reason.empty()) return reason;
    if (onExternal) {
        place.externalCopy = externalCopies.basePath() + "/" + UTILITIES::getFilePathAfterDot(file.pathToOrigin());
        return _checkCopy(file, place, place.externalCopy, externalCopies, FileInfo::EXTERNAL_COPIED);
    }
    if (action != LINK && role.trustsExternalCopy && file.isSet(FileInfo::EXTERNAL_COPIED)) return "";
    return _checkCopy(file, place, copyPath, copies, own);
}

std::string ReleaseGuard::_fileReason(const FileIdentity& copied, const Place& place, const std::string& filePath) {
    if (S_ISLNK(place.status.st_mode))
        return "the file " + filePath + " is a symbolic link, not the file that was copied";
    if (!S_ISREG(place.status.st_mode)) return "the file " + filePath + " is not a regular file";
    const std::string mismatch = identityMismatch(copied, place.status);
    return mismatch.empty() ? "" : "the file " + filePath + " " + mismatch;
}

std::string ReleaseGuard::_checkCopy(const FileInfo& file, const Place& place, const std::string& copyPath,
                                     TrustedTree& tree, uint32_t copiedFlag) {
    std::string name;
    const int dir = tree.parentOf(UTILITIES::getFilePathAfterDot(file.pathToOrigin()), name);
    struct stat copy;
    if (dir < 0 || fstatat(dir, name.c_str(), &copy, AT_SYMLINK_NOFOLLOW) != 0) {
        int statErrno = errno;
        if (statErrno == ENOENT || statErrno == ENOTDIR) return "copy " + copyPath + " is missing";
        if (statErrno == ELOOP) return "a directory on the way to copy " + copyPath + " is a symbolic link";
        return "copy " + copyPath + " cannot be examined: " + UTILITIES::systemText(statErrno);
    }
    // The EXTERNAL storage replaces INTERNAL copies by links to its own, once
    // it has checked them as this does.
    if (S_ISLNK(copy.st_mode) && copiedFlag == FileInfo::INTERNAL_COPIED && file.isSet(FileInfo::EXTERNAL_LINKED))
        return "";
    if (!S_ISREG(copy.st_mode)) return "copy " + copyPath + " is no regular file";
    if (copy.st_size != place.status.st_size)
        return "copy " + copyPath + " has " + std::to_string(copy.st_size) + " bytes, the file " +
               std::to_string(place.status.st_size);
    // The device number is the one thing of a copy that may change while it
    // stays the very copy: a disk unplugged and plugged in again may come
    // back on another device. The path below the target, the inode, size and
    // time still tell a copy from any other.
    const FileIdentity made = file.copy(copiedFlag);
    FileIdentity there = FileIdentity::of(copy);
    there.device = made.device;
    if (!made.known() || made != there) return "copy " + copyPath + " is not the copy that was made";
    return "";
}
