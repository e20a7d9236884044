#ifndef VELLORT_TESTS_SOAK_SANDBOX_H
#define VELLORT_TESTS_SOAK_SANDBOX_H

#include <stdint.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "support/TmpfsMount.h"

const uint64_t KiB = 1024;
const uint64_t MiB = 1024 * KiB;

// Storage names as configured; also the keys of the status history.
const char* const storageNames[] = {"internal", "external", "optional"};
enum StorageIndex { INTERNAL = 0, EXTERNAL = 1, OPTIONAL = 2 };

// The daemon's world: a folder under /tmp given to it as VELLORT_ROOT, with
// the four tmpfs mounts, the configuration, and the daemon itself, which
// becomes the soak's child (the soak is the subreaper of its children) so
// that its end can be seen and it can be reaped. The paths and ports are set
// by create() before any other thread starts. The daemon is started, watched
// and ended by main's thread; the fault injector remounts EXTERNAL from its own.
class Sandbox {
public:
    // Makes the folders, mounts the tmpfs storages and picks the ports. Where
    // mounting is not allowed (root in a container) prints SKIPPED and exits
    // 0, as the tmpfs tests skip; on any other failure exits 1.
    void create();
    // Writes the configuration and starts the daemon; exits 1 when it does not start.
    void startDaemon(const std::string& vellort);
    pid_t daemonPid() const { return daemon; }
    // Whether the daemon still runs; one that ended is reaped, and *howItEnded says how.
    bool daemonAlive(std::string* howItEnded);
    // EXTERNAL read-only (true) or writable again; false with errno set.
    bool remountExternal(bool readOnly);
    // Kills the daemon, unmounts the storages (the last first) and, if
    // removeSandbox, removes the folder with the log.
    void cleanUp(bool removeSandbox);

    std::string root;
    std::string ramdisk;
    std::string internalMount, externalMount, optionalMount;
    std::string targets[3];  // by StorageIndex
    std::string filler;      // on OPTIONAL, to fill it up
    std::string logPath;
    std::string pipePath;
    int messagePort = 0;
    int statusPort = 0;

private:
    // A failure while setting up: said on stderr, cleaned up, exit 1.
    [[noreturn]] void _dieEarly(const std::string& text);
    void _makeDirectory(const std::string& path);
    TmpfsMount* _mountTmpfs(const std::string& path, const std::string& options);
    std::string _configuration() const;

    std::vector<std::unique_ptr<TmpfsMount>> mounts;
    TmpfsMount* external = nullptr;  // one of mounts
    pid_t daemon = -1;
};

struct FillState {
    double percent = 0;
    uint64_t usedBytes = 0, freeBytes = 0;
};
// The file system's figures at mountPoint; all 0 when statvfs fails.
FillState fillState(const std::string& mountPoint);

#endif
