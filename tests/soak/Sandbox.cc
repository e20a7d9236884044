#include "soak/Sandbox.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>

#include "support/DaemonRunner.h"
#include "support/LoopbackClient.h"
#include "support/TempDir.h"
#include "util/Errors.h"

using UTILITIES::systemText;

void Sandbox::create() {
    char pattern[] = "/tmp/vellort-soak-XXXXXX";
    if (mkdtemp(pattern) == nullptr) _dieEarly("mkdtemp: " + systemText(errno));
    root = pattern;
    for (const char* folder : {"/etc", "/var", "/var/run", "/var/log"}) _makeDirectory(root + folder);
    ramdisk = root + "/ramdisk";
    internalMount = root + "/internal";
    externalMount = root + "/external";
    optionalMount = root + "/optional";
    _mountTmpfs(ramdisk, "size=8m,mode=0755");
    _mountTmpfs(internalMount, "size=16m,mode=0755");
    external = _mountTmpfs(externalMount, "size=256m,mode=0755");
    _mountTmpfs(optionalMount, "size=32m,mode=0755");
    targets[INTERNAL] = internalMount + "/data";
    targets[EXTERNAL] = externalMount + "/data";
    targets[OPTIONAL] = optionalMount + "/data";
    for (const std::string& target : targets) _makeDirectory(target);
    filler = optionalMount + "/filler";
    logPath = root + "/var/log/vellort.log";
    pipePath = root + "/var/run/vellort_quorvin_files";
    messagePort = freePort();
    if (messagePort < 0) _dieEarly("no free port");
    do statusPort = freePort();
    while (statusPort == messagePort);
    if (statusPort < 0) _dieEarly("no free port");
}

void Sandbox::startDaemon(const std::string& vellort) {
    std::string problem;
    if (!writeFile(root + "/etc/vellort_quorvin.conf", _configuration(), &problem))
        _dieEarly("cannot write the configuration: " + problem);
    daemon = startDetachedDaemon(vellort, root, &problem);
    if (daemon <= 0) _dieEarly("the daemon did not start: " + problem + ", see " + logPath);
}

bool Sandbox::daemonAlive(std::string* howItEnded) {
    if (daemon <= 0) return false;
    int status;
    pid_t result = waitpid(daemon, &status, WNOHANG);
    if (result == 0) return true;
    if (result == daemon) {
        *howItEnded = WIFSIGNALED(status) ? "the daemon died by signal " + std::to_string(WTERMSIG(status))
                                          : "the daemon exited with status " + std::to_string(WEXITSTATUS(status));
        daemon = -1;
    }
    return false;
}

bool Sandbox::remountExternal(bool readOnly) {
    return external->remount(readOnly, "size=256m");
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

void Sandbox::_makeDirectory(const std::string& path) {
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) _dieEarly("mkdir " + path + ": " + systemText(errno));
}

TmpfsMount* Sandbox::_mountTmpfs(const std::string& path, const std::string& options) {
    mounts.emplace_back(new TmpfsMount(options, path));
    if (mounts.back()->mounted()) return mounts.back().get();
    const std::string reason = mounts.back()->skipReason();  // cleanUp() deletes the mount
    if (mounts.size() == 1 && (mounts.back()->error() == EPERM || mounts.back()->error() == EACCES)) {
        printf("soak: SKIPPED: %s\n", reason.c_str());
        cleanUp(true);
        exit(0);
    }
    _dieEarly(reason);
}

std::string Sandbox::_configuration() const {
    return "logfile " + logPath + "\nlogfile_max_size 1M\nlogfile_max_number 3\nhistory_max_entries 10\n" +
           "fillstate_limit 50\nramdisk_mountpoint " + ramdisk + "\nmessage_port " + std::to_string(messagePort) +
           "\nstatus_port " + std::to_string(statusPort) + "\nstorageID internal\ntype INTERNAL\ntarget " +
           targets[INTERNAL] + "\nn_copy_processes 2\nmountpoint " + internalMount +
           "\nstorageID external\ntype EXTERNAL\ntarget " + targets[EXTERNAL] +
           "\nn_copy_processes 2\nstorageID optional\ntype OPTIONAL\ntarget " + targets[OPTIONAL] +
           "\nn_copy_processes 1\n";
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
