#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/statvfs.h>
#include <sys/wait.h>

#include "soak/Soak.h"
#include "support/DaemonRunner.h"
#include "support/TempDir.h"
#include "util/Errors.h"

void Sandbox::create(const std::string& vellort) {
    char pattern[] = "/tmp/vellort-soak-XXXXXX";
    if (mkdtemp(pattern) == nullptr) _dieEarly("mkdtemp: " + UTILITIES::systemText(errno));
    root = pattern;
    for (const char* folder : {"/etc", "/var/run", "/var/log"}) makeDirectories(root + folder);
    ramdisk = root + "/ramdisk";
    const char* const sizes[] = {"8m", "16m", "256m", "32m"};  // the RAM disk, then by StorageIndex
    for (int i = 0; i < 4; ++i) {
        if (i > 0) mountPoints[i - 1] = root + "/" + storageNames[i - 1];
        mounts.emplace_back(
            new TmpfsMount("size=" + std::string(sizes[i]) + ",mode=0755", i ? mountPoints[i - 1] : ramdisk));
        if (mounts.back()->mounted()) continue;
        const std::string reason = mounts.back()->skipReason();  // cleanUp() deletes the mount
        if (i > 0 || (mounts.back()->error() != EPERM && mounts.back()->error() != EACCES)) _dieEarly(reason);
        printf("soak: SKIPPED: %s\n", reason.c_str());
        cleanUp(true);
        exit(0);
    }
    for (int storage = INTERNAL; storage <= OPTIONAL; ++storage)
        makeDirectories(targets[storage] = mountPoints[storage] + "/data");
    filler = mountPoints[OPTIONAL] + "/filler";
    logPath = root + "/var/log/vellort.log";
    pipePath = root + "/var/run/vellort_quorvin_files";
    if ((messagePort = freePort()) < 0) _dieEarly("no free port");
    do statusPort = freePort();
    while (statusPort == messagePort);
    if (statusPort < 0) _dieEarly("no free port");
    const std::string configuration =
        "logfile " + logPath + "\nlogfile_max_size 1M\nlogfile_max_number 3\nhistory_max_entries 10\n" +
        "fillstate_limit 50\nramdisk_mountpoint " + ramdisk + "\nmessage_port " + std::to_string(messagePort) +
        "\nstatus_port " + std::to_string(statusPort) + "\nstorageID internal\ntype INTERNAL\ntarget " +
        targets[INTERNAL] + "\nn_copy_processes 2\nmountpoint " + mountPoints[INTERNAL] +
        "\nstorageID external\ntype EXTERNAL\ntarget " + targets[EXTERNAL] +
        "\nn_copy_processes 2\nstorageID optional\ntype OPTIONAL\ntarget " + targets[OPTIONAL] +
        "\nn_copy_processes 1\n";
    std::string problem;
    if (!writeFile(root + "/etc/vellort_quorvin.conf", configuration, &problem))
        _dieEarly("cannot write the configuration: " + problem);
    daemon = startDetachedDaemon(vellort, root, &problem);
    if (daemon <= 0) _dieEarly("the daemon did not start: " + problem + ", see " + logPath);
}

bool Sandbox::daemonAlive(std::string* howItEnded) {
    int status;
    pid_t result = daemon <= 0 ? -1 : waitpid(daemon, &status, WNOHANG);
    if (result == 0) return true;
    if (result == daemon) {
        *howItEnded = WIFSIGNALED(status) ? "the daemon died by signal " + std::to_string(WTERMSIG(status))
                                          : "the daemon exited with status " + std::to_string(WEXITSTATUS(status));
        daemon = -1;
    }
    return false;
}

void Sandbox::cleanUp(bool removeSandbox) {
    if (daemon > 0) {
        kill(daemon, SIGKILL);
        waitpid(daemon, nullptr, 0);
        daemon = -1;
    }
    while (!mounts.empty()) mounts.pop_back();
    if (removeSandbox && !root.empty()) removeTree(root);  // best effort: a leftover under /tmp harms nothing
}

void Sandbox::_dieEarly(const std::string& text) {
    fprintf(stderr, "soak: %s\n", text.c_str());
    cleanUp(true);
    exit(1);
}

FillState fillState(const std::string& mountPoint) {
    FillState state;
    struct statvfs stats;
    if (statvfs(mountPoint.c_str(), &stats) != 0 || stats.f_blocks == 0) return state;
    state.freeBytes = static_cast<uint64_t>(stats.f_bavail) * stats.f_frsize;
    state.usedBytes = static_cast<uint64_t>(stats.f_blocks - stats.f_bfree) * stats.f_frsize;
    state.percent = 100.0 * (stats.f_blocks - stats.f_bfree) / stats.f_blocks;
    return state;
}
