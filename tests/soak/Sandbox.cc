#include <errno.h>
#include <signal.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include "soak/Soak.h"

std::string Sandbox::create(const std::string& vellort) {
    const std::string root = runner.root();
    ramdisk = root + "/mnt/ramdisk";
    makeDirectories(root + "/mnt");
    const char* const sizes[] = {"8m", "16m", "256m", "32m"};  // the RAM disk, then by StorageIndex
    for (int i = 0; i < 4; ++i) {
        if (i > 0) mountPoints[i - 1] = root + "/mnt/" + storageNames[i - 1];
        mounts.emplace_back(
            new TmpfsMount("size=" + std::string(sizes[i]) + ",mode=0755", i ? mountPoints[i - 1] : ramdisk));
        if (mounts.back()->mounted()) continue;
        const bool notAllowed = i == 0 && (mounts.back()->error() == EPERM || mounts.back()->error() == EACCES);
        return (notAllowed ? "SKIPPED: " : "") + mounts.back()->skipReason();
    }
    for (int storage = INTERNAL; storage <= OPTIONAL; ++storage)
        makeDirectories(targets[storage] = mountPoints[storage] + "/data");
    filler = mountPoints[OPTIONAL] + "/filler";
    runner.writeConfig(
        "logfile " + runner.logPath() +
        "\nlogfile_max_size 1M\nlogfile_max_number 3\nhistory_max_entries 10\nfillstate_limit 50\nverify_copies yes\n" +
        "ramdisk_mountpoint " + ramdisk + "\nmessage_port " + std::to_string(runner.messagePort()) + "\nstatus_port " +
        std::to_string(runner.statusPort()) + "\nstorageID internal\ntype INTERNAL\ntarget " + targets[INTERNAL] +
        "\nn_copy_processes 2\nmountpoint " + mountPoints[INTERNAL] + "\nstorageID external\ntype EXTERNAL\ntarget " +
        targets[EXTERNAL] + "\nn_copy_processes 2\nstorageID optional\ntype OPTIONAL\ntarget " + targets[OPTIONAL] +
        "\nn_copy_processes 1\n");
    std::string problem;
    daemon = startDetachedDaemon(vellort, root, &problem);
    return daemon > 0 ? "" : "the daemon did not start: " + problem + ", see " + runner.logPath();
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

void Sandbox::cleanUp() {
    if (daemon > 0) {
        kill(daemon, SIGKILL);
        waitpid(daemon, nullptr, 0);
        daemon = -1;
    }
    // So that the runner, finding no pid, signals no process that may have taken the daemon's number since.
    unlink(runner.pidFilePath().c_str());
    mounts.clear();
}

FillState fillState(const std::string& mountPoint) {
    FillState state;
    struct statvfs stats;
    if (statvfs(mountPoint.c_str(), &stats) != 0 || stats.f_blocks == 0) return state;
    state.freeBytes = static_cast<uint64_t>(stats.f_bavail) * stats.f_frsize;
    state.percent = 100.0 * (stats.f_blocks - stats.f_bfree) / stats.f_blocks;
    return state;
}
