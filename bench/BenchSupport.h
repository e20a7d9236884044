#ifndef VELLORT_BENCH_BENCHSUPPORT_H
#define VELLORT_BENCH_BENCHSUPPORT_H

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

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

#endif
