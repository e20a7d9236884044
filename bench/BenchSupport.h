#ifndef VELLORT_BENCH_BENCHSUPPORT_H
#define VELLORT_BENCH_BENCHSUPPORT_H

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// What the benchmarks share beyond tests/support/.

// Monotonic clock, in seconds.
inline double seconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

// User and system time used by this process so far, in seconds.
inline double cpuSeconds() {
    struct rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) != 0) return -1;
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

// The count after option argv[i] (advancing i to it); exits with status 2
// and a line on stderr when it is missing or not a count.
inline long numberArgument(int argc, char** argv, int& i) {
    if (i + 1 >= argc) {
        fprintf(stderr, "%s needs a number\n", argv[i]);
        exit(2);
    }
    char* end;
    const long value = strtol(argv[++i], &end, 10);
    if (*end != '\0' || value < 0) {
        fprintf(stderr, "%s: not a count: %s\n", argv[i - 1], argv[i]);
        exit(2);
    }
    return value;
}

// Writes `count` files of `bytes` each below root/stem, a thousand to a
// folder, as an acquisition leaves them on the RAM disk, and appends their
// paths relative to root to `files`. False, with the reason in `problem`,
// when one cannot be made.
inline bool makeTree(const std::string& root, const std::string& stem, long count, uint64_t bytes,
                     std::vector<std::string>& files, std::string& problem) {
    const long filesPerFolder = 1000;
    std::vector<char> block(std::min<uint64_t>(bytes, 8 << 20) + 1);
    uint32_t state = 2463534242u;  // xorshift: content that nothing can compress or share
    for (char& byte : block) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state);
    }
    for (long i = 0; i < count; ++i) {
        char name[128];
        snprintf(name, sizeof name, "%s/run%03ld/img_%05ld.cbf", stem.c_str(), i / filesPerFolder, i);
        const std::string path = root + "/" + name;
        if (i % filesPerFolder == 0) {
            mkdir((root + "/" + stem).c_str(), 0755);  // exists after the first
            if (mkdir(path.substr(0, path.rfind('/')).c_str(), 0755) != 0) {
                problem = "mkdir for " + path + ": " + strerror(errno);
                return false;
            }
        }
        FILE* file = fopen(path.c_str(), "w");
        if (file == nullptr) {
            problem = "cannot create " + path + ": " + strerror(errno);
            return false;
        }
        block[i % block.size()] ^= 1;  // files differ from each other
        bool written = true;
        for (uint64_t left = bytes; left > 0 && written;) {
            const size_t chunk = std::min<uint64_t>(left, block.size() - 1);
            written = fwrite(block.data(), 1, chunk, file) == chunk;
            left -= chunk;
        }
        if (fclose(file) != 0 || !written) {
            problem = "cannot write " + path + ": " + strerror(errno);
            return false;
        }
        files.push_back(name);
    }
    return true;
}

// Runs `work` in a child process and gives back what it returned: the
// daemon's threads that a round starts never end, and they leave with the
// child, whose memory figures are then the round's own. Result is a plain
// struct with a `char error[]`; on failure it comes back zeroed with the
// reason there.
template <typename Result>
Result inChild(const std::function<Result()>& work) {
    Result result;
    memset(&result, 0, sizeof result);
    int channel[2];
    if (pipe(channel) != 0) {
        snprintf(result.error, sizeof result.error, "pipe: %s", strerror(errno));
        return result;
    }
    fflush(stdout);
    const pid_t child = fork();
    if (child < 0) {
        snprintf(result.error, sizeof result.error, "fork: %s", strerror(errno));
        return result;
    }
    if (child == 0) {
        close(channel[0]);
        const Result mine = work();
        const char* bytes = reinterpret_cast<const char*>(&mine);
        for (size_t done = 0; done < sizeof mine;) {
            const ssize_t written = write(channel[1], bytes + done, sizeof mine - done);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) _exit(1);
            done += static_cast<size_t>(written);
        }
        _exit(0);  // the threads still run: leave without destructors
    }
    close(channel[1]);
    char* bytes = reinterpret_cast<char*>(&result);
    size_t got = 0;
    while (got < sizeof result) {
        const ssize_t part = read(channel[0], bytes + got, sizeof result - got);
        if (part < 0 && errno == EINTR) continue;
        if (part <= 0) break;
        got += static_cast<size_t>(part);
    }
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (got != sizeof result) {
        memset(&result, 0, sizeof result);
        snprintf(result.error, sizeof result.error, "the run ended without a result (%s %d)",
                 WIFSIGNALED(status) ? "signal" : "exit status",
                 WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
    }
    return result;
}

// Runs `command` with /bin/sh and returns its exit status (-1 when it could
// not run). Unlike system(), it leaves SIGINT to this process: an interrupt
// during a long `cp -a` still reaches the clean-up of cleanUpOnSignals().
inline int runShell(const std::string& command) {
    const char* arguments[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    pid_t child;
    if (posix_spawn(&child, "/bin/sh", nullptr, nullptr, const_cast<char**>(arguments), environ) != 0) return -1;
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// At SIGINT, SIGTERM or SIGHUP, runs `cleanUp` and leaves with status 128 +
// the signal, so that an interrupted benchmark leaves no mounts, loop devices
// or daemons behind. The handler only writes to a pipe: the clean-up runs on
// a thread of its own, where it may unmount and run programs, while the main
// thread goes on until the exit, so it must not free what that one uses.
inline void cleanUpOnSignals(void (*cleanUp)()) {
    static int channel[2] = {-1, -1};
    if (pipe2(channel, O_CLOEXEC) != 0) {
        perror("cleanUpOnSignals: pipe2");
        return;
    }
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = [](int number) {
        const char byte = static_cast<char>(number);
        if (write(channel[1], &byte, 1) != 1) _exit(128 + number);  // no way to the clean-up: leave as without it
    };
    for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
    std::thread([cleanUp] {
        char number = 0;
        while (read(channel[0], &number, 1) < 0 && errno == EINTR) continue;
        fprintf(stderr, "signal %d: cleaning up\n", number);
        cleanUp();
        _exit(128 + number);
    }).detach();
}

#endif
