#include "support/DaemonRunner.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void pause10ms() { std::this_thread::sleep_for(std::chrono::milliseconds(10)); }

}  // namespace

std::string builtExecutable(const std::string& name) { return std::string(VELLORT_BINARY_DIR) + "/" + name; }

int freePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = 0;
    socklen_t length = sizeof address;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

DaemonRunner::DaemonRunner() : pid_(-1), messagePort_(freePort()), statusPort_(freePort()) {
    while (statusPort_ == messagePort_) statusPort_ = freePort();
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    makeDirectories(sandbox / "etc/vellort_quorvin");
    makeDirectories(sandbox / "var/run");
    makeDirectories(sandbox / "var/log");
    makeDirectories(sandbox / "ramdisk");
    makeDirectories(sandbox / "internal");
}

DaemonRunner::~DaemonRunner() {
    // A test that never asked for the pid still leaves no daemon behind.
    if (pid_ <= 0) daemonPid(0);
    kill();
}

std::string DaemonRunner::defaultConfig() const {
    return "logfile " + logPath() + "\n" + "ramdisk_mountpoint " + root() + "/ramdisk\n" + "message_port " +
           std::to_string(messagePort_) + "\n" + "status_port " + std::to_string(statusPort_) + "\n" +
           "storageID disk\n"
           "type INTERNAL\n"
           "target " +
           root() + "/internal\n" + "n_copy_processes 1\n" + "mountpoint " + root() + "\n";
}

void DaemonRunner::writeConfig(const std::string& content, bool second) {
    writeFile(second ? sandbox / "etc/vellort_quorvin/vellort_quorvin.conf" : sandbox / "etc/vellort_quorvin.conf",
              content);
}

int DaemonRunner::run(const std::vector<std::string>& arguments) {
    output_.clear();
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return -1;
    std::string executable = builtExecutable("vellort");
    pid_t launcher = fork();
    if (launcher < 0) return -1;
    if (launcher == 0) {
        dup2(pipeFds[1], 1);
        dup2(pipeFds[1], 2);
        close(pipeFds[0]);
        close(pipeFds[1]);
        setenv("VELLORT_ROOT", root().c_str(), 1);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(executable.c_str()));
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execv(executable.c_str(), argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    // The pipe ends when the launcher has exited and the daemon has left its
    // terminal (closing its copies of standard output and error).
    fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
    auto start = std::chrono::steady_clock::now();
    int status = 0;
    bool reaped = false;
    for (;;) {
        char buffer[4096];
        ssize_t got = read(pipeFds[0], buffer, sizeof buffer);
        if (got > 0) {
            output_.append(buffer, got);
            continue;
        }
        if (!reaped && waitpid(launcher, &status, WNOHANG) == launcher) reaped = true;
        if (got == 0 && reaped) break;
        if (secondsSince(start) > 10) break;
        pause10ms();
    }
    close(pipeFds[0]);
    if (!reaped) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t DaemonRunner::daemonPid(double seconds) {
    if (pid_ > 0) return pid_;
    auto start = std::chrono::steady_clock::now();
    do {
        std::string content = readFile(pidFilePath());
        if (!content.empty() && content.back() == '\n') {
            pid_ = atoi(content.c_str());
            return pid_;
        }
        pause10ms();
    } while (secondsSince(start) < seconds);
    return -1;
}

std::string DaemonRunner::log() const { return readFile(logPath()); }

bool DaemonRunner::waitForLog(const std::string& text, double seconds) {
    auto start = std::chrono::steady_clock::now();
    do {
        if (log().find(text) != std::string::npos) return true;
        pause10ms();
    } while (secondsSince(start) < seconds);
    return false;
}

int DaemonRunner::waitForExit(double seconds) {
    pid_t pid = daemonPid(seconds);
    if (pid <= 0) return -1;
    auto start = std::chrono::steady_clock::now();
    do {
        int status;
        pid_t result = waitpid(pid, &status, WNOHANG);
        if (result == pid) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
        }
        if (result < 0 && errno == ECHILD) return -1;  // not ours: the subreaper was not in place
        pause10ms();
    } while (secondsSince(start) < seconds);
    return -1;
}

bool DaemonRunner::running() {
    if (daemonPid() <= 0) return false;
    int status;
    pid_t result = waitpid(pid_, &status, WNOHANG);
    if (result == pid_) pid_ = -1;
    return result == 0;
}

void DaemonRunner::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}
