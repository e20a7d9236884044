#ifndef VELLORT_BENCH_DAEMONBENCH_H
#define VELLORT_BENCH_DAEMONBENCH_H

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"
#include "support/LoopbackClient.h"
#include "support/StatusClient.h"
#include "support/TempDir.h"
#include "support/TmpfsMount.h"

// What the benchmarks that run the real daemon share: a sandbox under /tmp
// given to it as VELLORT_ROOT, tmpfs mounts in it, the daemon started and
// stopped there, its pipe and its status service.
//
// A bench that includes this defines benchName, for its messages, and die(),
// which says why the run ends, stops what the bench started and leaves with
// status 1.
extern const char* const benchName;
[[noreturn]] void die(const std::string& message);

inline std::vector<std::unique_ptr<TmpfsMount>> mounts;  // unmounted by removeSandbox()
inline std::string sandbox;
inline pid_t daemonPid = -1;
inline int statusPort = 0;  // that of the last daemon configured

// The daemon's files in the sandbox.
inline std::string logPath() {
    return sandbox + "/var/log/vellort.log";
}
inline std::string pipePath() {
    return sandbox + "/var/run/vellort_quorvin_files";
}
inline std::string journalPath() {
    return sandbox + "/var/lib/vellort/journal.sqlite";
}

// Makes /tmp/<benchName>-XXXXXX with the folders the daemon wants.
inline void makeSandbox() {
    std::string pattern = std::string("/tmp/") + benchName + "-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) die(std::string("mkdtemp: ") + strerror(errno));
    sandbox = pattern;
    for (const char* folder : {"/etc", "/var", "/var/run", "/var/log", "/var/lib"})
        if (mkdir((sandbox + folder).c_str(), 0755) != 0) die(std::string("mkdir: ") + strerror(errno));
}

inline void mountTmpfs(const std::string& path) {
    // A limit far above the data, so that no fill-state watch ever steps in.
    mounts.emplace_back(new TmpfsMount("size=16g", path));
    if (!mounts.back()->mounted()) die(mounts.back()->skipReason());
}

// At a signal, while the main thread may still use the mounts: they are let
// go without freeing what it holds.
inline void removeSandboxAtSignal() {
    for (const std::unique_ptr<TmpfsMount>& mount : mounts) umount2(mount->path().c_str(), MNT_DETACH);
    if (!sandbox.empty()) removeTree(sandbox);
}

inline void removeSandbox() {
    mounts.clear();
    if (!sandbox.empty()) removeTree(sandbox);  // best effort: a leftover under /tmp harms nothing
    sandbox.clear();
}

inline void killDaemon() {
    if (daemonPid <= 0) return;
    kill(daemonPid, SIGKILL);
    waitpid(daemonPid, nullptr, 0);
    daemonPid = -1;
}

// For die(): whether the daemon has ended, and the last 20 lines of its log,
// without those that match `leaveOut` when it is given.
inline void tellOfDaemon(const std::string& leaveOut = "") {
    if (daemonPid <= 0) return;
    int status;
    if (waitpid(daemonPid, &status, WNOHANG) == daemonPid) {
        fprintf(stderr, "the daemon has ended: %s %d\n", WIFSIGNALED(status) ? "signal" : "exit status",
                WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
        daemonPid = -1;
    }
    const std::string command = leaveOut.empty() ? "tail -n 20 '" + logPath() + "' >&2"
                                                 : "grep -v '" + leaveOut + "' '" + logPath() + "' | tail -n 20 >&2";
    if (system(command.c_str()) != 0) fprintf(stderr, "no daemon log\n");
}

inline int unusedPort() {
    const int port = freePort();
    if (port < 0) die("no free port");
    return port;
}

inline void writeWhole(const std::string& path, const std::string& content) {
    std::string why;
    if (!writeFile(path, content, &why)) die("cannot write " + path + ": " + why);
}

// Removes copies, or a tree the next round must not meet.
inline void removeCopies(const std::string& path) {
    std::string problem;
    if (!removeTree(path, &problem)) die(problem);
}

// GET `path` from the service at `port`: the whole reply, or "" when none came.
inline std::string fetch(int port, const std::string& path) {
    std::string reply;
    const int fd = connectLoopback(port);
    if (fd < 0) return reply;
    const std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buffer[65536];
        ssize_t got;
        while ((got = recv(fd, buffer, sizeof buffer, 0)) > 0) reply.append(buffer, static_cast<size_t>(got));
        if (got < 0) reply.clear();
    }
    close(fd);
    return reply;
}

// Processor seconds a process has used, user and system, from /proc; -1 when unknown.
inline double cpuSecondsOf(pid_t pid) {
    if (pid <= 0) return -1;
    FILE* file = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (file == nullptr) return -1;
    char text[2048];
    const size_t got = fread(text, 1, sizeof text - 1, file);
    fclose(file);
    text[got] = '\0';
    // After the command's closing parenthesis: state is field 3, utime 14, stime 15.
    const char* after = strrchr(text, ')');
    unsigned long user = 0, system = 0;
    if (after == nullptr ||
        sscanf(after + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system) != 2)
        return -1;
    return static_cast<double>(user + system) / sysconf(_SC_CLK_TCK);
}

// Starts the daemon with `config` as its configuration. The detached daemon
// is adopted by this process (subreaper), so it can be killed and reaped.
inline void startDaemon(const std::string& vellort, const std::string& config) {
    writeWhole(sandbox + "/etc/vellort_quorvin.conf", config);
    std::string problem;
    daemonPid = startDetachedDaemon(vellort, sandbox, &problem);
    if (daemonPid <= 0) die("the daemon did not start: " + problem + ", see " + logPath());
}

// Stops the daemon as an operator does, with SIGTERM (it commits what its
// journal holds before it ends), and waits for its end; SIGKILL when it takes
// too long. Its pid file and pipe go too, so that the next daemon's pid is
// not mistaken for this one's and the next one makes the pipe anew.
inline void stopDaemon() {
    if (daemonPid <= 0) return;
    kill(daemonPid, SIGTERM);
    const double deadline = seconds() + 20;
    while (waitpid(daemonPid, nullptr, WNOHANG) == 0) {
        if (seconds() > deadline) {
            fprintf(stderr, "%s: the daemon did not end on SIGTERM within 20 s, killed\n", benchName);
            kill(daemonPid, SIGKILL);
            waitpid(daemonPid, nullptr, 0);
            break;
        }
        usleep(1000);
    }
    daemonPid = -1;
    unlink((sandbox + "/var/run/vellort_quorvin.pid").c_str());  // a missing one is as good
    unlink(pipePath().c_str());
}

// Opens the pipe as the acquisition program does, once the daemon reads it.
inline void openPipe(FifoWriter& pipe) {
    if (!pipe.open(10)) die("nobody reads " + pipePath() + ": " + strerror(errno));
}

inline void writeAll(FifoWriter& pipe, const std::string& text) {
    if (!pipe.write(text)) die(std::string("write to the pipe: ") + strerror(errno));
}

// A client of the last daemon's status service, which may open a little
// after the pid file appears. The service closes a connection that is idle
// for 10 s: one for each wait.
inline std::unique_ptr<StatusClient> statusClient() {
    for (const double deadline = seconds() + 10;; usleep(10000)) {
        std::unique_ptr<StatusClient> client(new StatusClient(statusPort));
        if (client->connected()) return client;
        if (seconds() > deadline)
            die("no status service on port " + std::to_string(statusPort) + ": " + client->error());
    }
}

// The copies booked so far over every shift and storage, from the status
// service's history (on a disk a copy is booked once flushed); the failed
// ones in *failed.
inline long bookedCopies(StatusClient& status, long* failed = nullptr) {
    const std::string reply = status.ask("<request><action id='history'/></request>");
    if (reply.compare(0, 1, "<") != 0) die("the status service did not answer: " + reply);
    auto sum = [&](const std::string& attribute) {
        long total = 0;
        for (size_t at = 0; (at = reply.find(attribute, at)) != std::string::npos; at += attribute.size())
            total += atol(reply.c_str() + at + attribute.size());
        return total;
    };
    if (failed != nullptr) *failed = sum(" failed=\"");
    return sum(" copied=\"");
}

// Asks the status service every `intervalUs` until it counts `wanted`
// copies booked; returns the time of the reply that did. A failed copy ends
// the run: a round in which copies are made again measures something else.
inline double waitForBookings(StatusClient& status, long wanted, double timeout, useconds_t intervalUs) {
    const double deadline = seconds() + timeout;
    for (long failed = 0;; usleep(intervalUs)) {
        const long copied = bookedCopies(status, &failed);
        const double at = seconds();
        if (failed > 0) die(std::to_string(failed) + " copies failed, see " + logPath());
        if (copied >= wanted) return at;
        if (at > deadline)
            die(std::to_string(copied) + " of " + std::to_string(wanted) + " copies booked after " +
                std::to_string(timeout) + " s");
    }
}

#endif
