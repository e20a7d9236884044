#ifndef VELLORT_TESTS_SPACE_SPACESUPPORT_H
#define VELLORT_TESTS_SPACE_SPACESUPPORT_H

// Shared by the space-management tests: fill states made for real on small tmpfs
// mounts, files booked as copied, and a client that reads every message sent.

#include <fcntl.h>
#include <math.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "net/MessageServer.h"
#include "support/CopyRig.h"
#include "support/LogWatch.h"
#include "support/MessageClient.h"

namespace space_test {

// Sizes the file mount/fill so that the file system is just above `percent` full; returns the fill state reached.
inline double fillTo(const std::string& mount, double percent) {
    const std::string fill = mount + "/fill";
    struct statvfs stats;
    struct stat file;
    if (statvfs(mount.c_str(), &stats) != 0) return -1;
    const double fillBlocks = stat(fill.c_str(), &file) == 0 ? file.st_blocks * 512.0 / stats.f_frsize : 0;
    const double wanted = floor(percent / 100.0 * stats.f_blocks) + 1 - (stats.f_blocks - stats.f_bfree - fillBlocks);
    const off_t size = static_cast<off_t>(wanted > 0 ? wanted : 0) * stats.f_frsize;
    const int fd = open(fill.c_str(), O_CREAT | O_WRONLY, 0644);
    const bool ok = fd >= 0 && ftruncate(fd, size) == 0 && (size == 0 || fallocate(fd, 0, 0, size) == 0);
    if (fd >= 0) close(fd);
    if (!ok || statvfs(mount.c_str(), &stats) != 0) return -1;
    return (1.0 - static_cast<double>(stats.f_bfree) / stats.f_blocks) * 100;
}

inline std::string linkTarget(const std::string& path) {
    char buffer[4096];
    const ssize_t length = readlink(path.c_str(), buffer, sizeof buffer);
    return length < 0 ? std::string() : std::string(buffer, length);
}
inline bool isLink(const std::string& path) {
    return !linkTarget(path).empty();
}

// A storage of `type` of the rig, logging to vellort.log, linking files on
// `mountpoint` above 50%, with the RAM disk at `ramdisk` (or the mount point).
inline Storage::Params storageParams(const CopyRig& rig, StorageType type, const std::string& mountpoint,
                                     const std::string& ramdisk = "") {
    Storage::Params params = rig.params("storage" + std::to_string(toInt(type)), type);
    params.logfile = rig.dir / "vellort.log";
    params.mountpoint = mountpoint;
    params.ramdisk_mountpoint = ramdisk.empty() ? mountpoint : ramdisk;
    params.fillstate_limit = 50;
    params.create_links = true;
    return params;
}

inline FileIdentity identityAt(const std::string& path) {
    struct stat found;
    return lstat(path.c_str(), &found) == 0 ? FileIdentity::of(found) : FileIdentity();
}

// What the copy workers record once a storage of `type` has copied `path`
// (on the RAM disk; for EXTERNAL the INTERNAL copy) to `copyPath`.
inline void recordCopied(FileInfo& file, StorageType type, const std::string& path, const std::string& copyPath) {
    const bool internal = type == Storage::INTERNAL;
    internal ? file.recordSource(identityAt(path)) : file.recordCopy(FileInfo::INTERNAL_COPIED, identityAt(path));
    file.recordCopy(internal ? FileInfo::INTERNAL_COPIED : FileInfo::EXTERNAL_COPIED, identityAt(copyPath));
    file.setFlag(FileInfo::INTERNAL_COPY_STARTED | FileInfo::INTERNAL_COPIED |
                 (internal ? 0 : FileInfo::EXTERNAL_COPY_STARTED | FileInfo::EXTERNAL_COPIED));
}

// A message service, as the daemon runs it (never deleted), with one client.
struct MessageTap {
    explicit MessageTap(const std::string& logPath) : server(new MessageServer(logPath, 0)) {
        if (server->connect() != 0) return;
        client.reset(new MessageClient(server->localPort()));
        if (!waitForLogCount(logPath, "++ Accepted connection from ", 1)) client.reset();
    }
    bool ready() const { return client != nullptr; }
    // As "<code> <subject> <text>": the next `count` frames, or every frame sent so far, behind which we send one.
    std::vector<std::string> received(size_t count = 0) {
        const std::string end = "end of test frames";
        if (count == 0) server->addToMessageQueue(0, end, end);
        std::vector<std::string> received;
        MessageClient::Frame f;
        while ((count == 0 || received.size() < count) && client->readFrame(f) && f.subject != end)
            received.push_back(std::to_string(f.code) + " " + f.subject + " " + f.text);
        return received;
    }

    MessageServer* server;
    std::unique_ptr<MessageClient> client;
};

}  // namespace space_test

#endif
