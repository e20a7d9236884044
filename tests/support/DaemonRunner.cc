#include "support/DaemonRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/ChildProcess.h"
#include "support/StatusClient.h"

namespace {

// The pid in a whole pid file; -1 while there is none. The daemon writes the
// number and then the newline: without it, the file is not whole yet.
pid_t readPidFile(const std::string& path) {
    const std::string content = readFile(path);
    const pid_t pid = content.empty() || content.back() != '\n' ? -1 : atoi(content.c_str());
    return pid > 0 ? pid : -1;
}

}  // namespace

std::string builtExecutable(const std::string& name) {
    return std::string(VELLORT_BINARY_DIR) + "/" + name;
}

pid_t startDetachedDaemon(const std::string& executable, const std::string& root, std::string* problem,
                          double seconds) {
    TempDir scratch("vellort-launcher");
    ChildProcess launcher({executable}, scratch.path(), "launcher", {{"VELLORT_ROOT", root}});
    int status = launcher.waitForExit(seconds);
    if (status != 0) {
        if (problem != nullptr)
            *problem = executable +
                       (status == -1 ? " did not return" : " ended with status " + std::to_string(status)) + ": " +
                       launcher.output() + launcher.errorOutput();
        return -1;
    }
    const std::string pidFile = root + "/var/run/vellort_quorvin.pid";
    pid_t pid = -1;
    waitUntil([&] { return (pid = readPidFile(pidFile)) > 0; }, seconds, 10);
    if (pid <= 0 && problem != nullptr) *problem = "no pid file " + pidFile;
    return pid;
}

DaemonRunner::DaemonRunner()
    : pid_(-1), messagePort_(freePort()), statusPort_(freePort()), descriptorLimit_(-1), hardDescriptorLimit_(-1) {
    while (statusPort_ == messagePort_) statusPort_ = freePort();
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    for (const char* folder : {"etc/vellort_quorvin", "var/run", "var/log", "ramdisk", "internal"})
        makeDirectories(sandbox / folder);
}

DaemonRunner::~DaemonRunner() {
    // A test that never asked for the pid still leaves no daemon behind.
    if (pid_ <= 0) daemonPid(0);
    kill();
}

std::string DaemonRunner::serviceConfig(const std::string& ramdisk) const {
    return "logfile " + logPath() + "\nramdisk_mountpoint " + ramdisk + "\nmessage_port " +
           std::to_string(messagePort_) + "\nstatus_port " + std::to_string(statusPort_) + "\n";
}

std::string DaemonRunner::defaultConfig() const {
    return serviceConfig(root() + "/ramdisk") + "storageID disk\ntype INTERNAL\ntarget " + root() +
           "/internal\nn_copy_processes 1\nmountpoint " + root() + "\n";
}

void DaemonRunner::writeConfig(const std::string& content, bool second) {
    writeFile(sandbox / (second ? "etc/vellort_quorvin/vellort_quorvin.conf" : "etc/vellort_quorvin.conf"), content);
}

int DaemonRunner::run(const std::vector<std::string>& arguments) {
    output_.clear();
    std::string executable = builtExecutable("vellort");
    std::vector<char*> argv{const_cast<char*>(executable.c_str())};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return -1;
    pid_t launcher = fork();
    if (launcher == 0) {
        dup2(pipeFds[1], 1);
        dup2(pipeFds[1], 2);
        close(pipeFds[0]);
        close(pipeFds[1]);
        setenv("VELLORT_ROOT", root().c_str(), 1);
        const struct rlimit limit = {static_cast<rlim_t>(descriptorLimit_), static_cast<rlim_t>(hardDescriptorLimit_)};
        if (descriptorLimit_ > 0 && setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(126);
        execv(executable.c_str(), argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
    // The pipe ends when the launcher has exited and the daemon has left its
    // terminal (closing its copies of standard output and error).
    int status = -1;
    bool reaped = launcher < 0;
    auto ended = [&] {
        char buffer[4096];
        ssize_t got;
        while ((got = read(pipeFds[0], buffer, sizeof buffer)) > 0) output_.append(buffer, static_cast<size_t>(got));
        if (!reaped && waitpid(launcher, &status, WNOHANG) == launcher) reaped = true;
        return got == 0 && reaped;
    };
    waitUntil(ended, 10, 10);
    close(pipeFds[0]);
    return reaped && launcher > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t DaemonRunner::daemonPid(double seconds) {
    waitUntil([this] { return pid_ > 0 || (pid_ = readPidFile(pidFilePath())) > 0; }, seconds, 10);
    return pid_ > 0 ? pid_ : -1;
}

int DaemonRunner::waitForExit(double seconds) {
    if (daemonPid(seconds) <= 0) return -1;
    int result = -1;
    auto ended = [&] {
        int status;
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) result = WIFEXITED(status) ? WEXITSTATUS(status) : -2;
        return done != 0;  // ended, or not ours (no subreaper): no use waiting on
    };
    waitUntil(ended, seconds, 10);
    if (result != -1) pid_ = -1;
    return result;
}

std::string DaemonRunner::historyHolding(const std::string& text, double seconds) {
    std::string reply;
    auto holds = [&] {
        reply = StatusClient(statusPort_).ask("<request><action id='history'/></request>");
        return reply.find(text) != std::string::npos;
    };
    waitUntil(holds, seconds, 10);
    return reply;
}

bool DaemonRunner::running() {
    if (daemonPid() <= 0) return false;
    pid_t result = waitpid(pid_, nullptr, WNOHANG);
    if (result == pid_) pid_ = -1;
    return result == 0;
}

void DaemonRunner::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}
