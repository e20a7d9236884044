// A soak run of the real daemon: a long acquisition over many user shifts,
// under faults and hostile input, checked file by file.
//
// The daemon runs as a separate process in a sandbox given to it as
// VELLORT_ROOT, with fillstate_limit 50 and four tmpfs mounts:
//
//   RAM disk   8 MiB    the acquisition writes here
//   INTERNAL  16 MiB    small, so that the EXTERNAL link pass over it runs too
//   EXTERNAL 256 MiB    a folder on its own tmpfs, so it can be made read-only
//   OPTIONAL  32 MiB    a folder on a small tmpfs, so it can be filled up
//
// An acquisition writes numbered runs of small files (1-16 KiB, 25 a second)
// and a large one (128-768 KiB) every 2 s, announcing each on the pipe, in
// user shifts of 10-20 s. It waits (at most 60 s) while the RAM disk is above
// 90 % or short of room for the next file; any write the RAM disk refuses
// for lack of space is a failure. Meanwhile three status clients poll (one
// persistent, one with malformed requests mixed in, one connecting per
// request), one message client reads every frame and one never reads.
//
// Faults, every 60 s: EXTERNAL read-only for 12 s, OPTIONAL full (a filler
// file) for 12 s. Hostile clients, every 30 s: 100 status requests with an
// unknown action of 5000 bytes; six status clients that send nothing, half a
// request, or requests without reading the replies, each to be closed at its
// time-out; 25 message clients that never read, past what the service holds. Also: two announced files per shift that
// do not exist, the acquisition closing and reopening its end of the pipe every 5 s (every fourth time staying away 1.5
// s), and a junk line every 2 s (words without a directory, "/./" with nothing after, "..", binary bytes, a 1500-byte
// line, blank and NUL lines).
//
// Checks: at the end of each shift, once the INTERNAL storage has nothing
// pending, every INTERNAL copy of the shift (before the shift change lets the
// EXTERNAL storage delete them). After a shift, once no storage has anything
// pending for it: every EXTERNAL and OPTIONAL copy; every file without a copy
// reported by a copy-error log line and a code-4 message, and justified (the
// file never existed, or the failure came while the fault on that storage was
// on); the history counts (copied, failed, pending 0) of each storage equal
// to what was found; the RAM-disk files of the shift deleted; the INTERNAL
// copies deleted, except those whose EXTERNAL copy failed, which must stay
// intact with a "Warning: Not removing" line. Then the shift's copies are
// removed, as an archive would take them. At the end: the daemon never died,
// every junk line that must be rejected was, no "returned EOF", every status
// reply well formed, and the daemon's VmRSS, threads and descriptors no more
// than twice their value after warm-up plus a margin.
//
// Needs root and the right to mount (tmpfs); prints SKIPPED and exits 0 otherwise.
// Exit status 0 when every check passed, 1 otherwise (reasons on stderr),
// 2 for a wrong command line.
//
//   soak [--seconds N] [--build-dir DIR] [--vellort PATH] [--seed N] [--keep]

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <tinyxml2.h>

#include "support/DaemonRunner.h"
#include "support/LoopbackClient.h"
#include "support/TempDir.h"
#include "support/TmpfsMount.h"
#include "tools/ServiceConnection.h"

namespace {

const uint64_t KiB = 1024;
const uint64_t MiB = 1024 * KiB;

// Storage names as configured; also the keys of the status history.
const char* const storageNames[] = {"internal", "external", "optional"};
enum StorageIndex { INTERNAL = 0, EXTERNAL = 1, OPTIONAL = 2 };

// How long a failure message may trail the end of its fault window.
const double messageSlack = 10.0;

// ---------------------------------------------------------------- basics

const std::chrono::steady_clock::time_point programStart = std::chrono::steady_clock::now();

double elapsed() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - programStart).count();
}

void pauseSeconds(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

std::atomic<bool> stopping(false);  // a fatal failure or a signal: wind everything down
volatile sig_atomic_t interrupted = 0;

void onSignal(int) {
    interrupted = 1;
    stopping = true;
}

void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) {
    static std::mutex outputMutex;
    std::lock_guard<std::mutex> guard(outputMutex);
    printf("[%7.1f s] ", elapsed());
    va_list arguments;
    va_start(arguments, format);
    vprintf(format, arguments);
    va_end(arguments);
    printf("\n");
    fflush(stdout);
}

std::string systemText(int errnum) {
    char buffer[256];
    return strerror_r(errnum, buffer, sizeof buffer);  // GNU variant
}

// Every check that fails lands here; the run's exit status is 1 if any did.
class Failures {
public:
    void add(const std::string& text) {
        std::lock_guard<std::mutex> guard(mutex);
        ++total;
        if (kept.size() < 50) kept.push_back(text);
        if (total <= 50) fprintf(stderr, "[%7.1f s] soak: FAILED: %s\n", elapsed(), text.c_str());
        fflush(stderr);
    }
    size_t count() {
        std::lock_guard<std::mutex> guard(mutex);
        return total;
    }
    std::vector<std::string> first() {
        std::lock_guard<std::mutex> guard(mutex);
        return kept;
    }

private:
    std::mutex mutex;
    size_t total = 0;
    std::vector<std::string> kept;
};
Failures failures;

// A fatal failure: recorded, and everything winds down.
void giveUp(const std::string& text) {
    failures.add(text);
    stopping = true;
}

// Waits until done() or the deadline, polling; false after `seconds`, or at
// once when the run is winding down.
template <typename Done>
bool waitFor(double seconds, Done done, double poll = 0.05) {
    double deadline = elapsed() + seconds;
    for (;;) {
        if (done()) return true;
        if (elapsed() > deadline || stopping) return false;
        pauseSeconds(poll);
    }
}

// "a//b" -> "a/b": the daemon prints some paths with a doubled slash.
std::string singleSlashes(std::string path) {
    for (size_t at = path.find("//"); at != std::string::npos; at = path.find("//", at)) path.erase(at, 1);
    return path;
}

uint64_t fnv1a(const std::string& bytes) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char byte : bytes) {
        hash ^= byte;
        hash *= 1099511628211ull;
    }
    return hash;
}

// Content that nothing can compress or share, different for every seed.
std::string makeContent(uint64_t seed, size_t size) {
    std::string content(size, '\0');
    uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
    for (size_t i = 0; i < size; i += 8) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        memcpy(&content[i], &state, std::min<size_t>(8, size - i));
    }
    return content;
}

// The shared removal, with what stays counted as a failure.
void removeTree(const std::string& path) {
    std::string problem;
    if (!::removeTree(path, &problem)) failures.add(problem);
}

// Counts the files named *.tmp under path.
long countTemporaries(const std::string& path) {
    static std::atomic<long> found;
    found = 0;
    nftw(
        path.c_str(),
        [](const char* entry, const struct stat*, int type, struct FTW*) {
            size_t length = strlen(entry);
            if (type == FTW_F && length > 4 && strcmp(entry + length - 4, ".tmp") == 0) ++found;
            return 0;
        },
        32, FTW_PHYS);
    return found;
}

struct FillState {
    double percent = 0;
    uint64_t usedBytes = 0;
    uint64_t freeBytes = 0;
};

FillState fillState(const std::string& mountPoint) {
    FillState state;
    struct statvfs stats;
    if (statvfs(mountPoint.c_str(), &stats) != 0 || stats.f_blocks == 0) return state;
    state.freeBytes = static_cast<uint64_t>(stats.f_bavail) * stats.f_frsize;
    state.usedBytes = static_cast<uint64_t>(stats.f_blocks - stats.f_bfree) * stats.f_frsize;
    state.percent = 100.0 * (stats.f_blocks - stats.f_bfree) / stats.f_blocks;
    return state;
}

// ---------------------------------------------------------------- sandbox

struct Layout {
    std::string root;
    std::string ramdisk;
    std::string internalMount, externalMount, optionalMount;
    std::string targets[3];
    std::string filler;
    std::string logPath;
    std::string pipePath;
    int messagePort = 0;
    int statusPort = 0;
};
Layout layout;
std::vector<std::unique_ptr<TmpfsMount>> mounts;  // unmounted by cleanUp(), the last first
TmpfsMount* externalMount = nullptr;              // one of mounts, made read-only by the faults
pid_t daemonPid = -1;

void cleanUp(bool removeSandbox) {
    if (daemonPid > 0) {
        kill(daemonPid, SIGKILL);
        waitpid(daemonPid, nullptr, 0);
        daemonPid = -1;
    }
    while (!mounts.empty()) mounts.pop_back();
    if (removeSandbox && !layout.root.empty())
        ::removeTree(layout.root);  // best effort: a leftover under /tmp harms nothing
}

[[noreturn]] void dieEarly(const std::string& text) {
    fprintf(stderr, "soak: %s\n", text.c_str());
    cleanUp(true);
    exit(1);
}

void makeDirectory(const std::string& path) {
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) dieEarly("mkdir " + path + ": " + systemText(errno));
}

TmpfsMount* mountTmpfs(const std::string& path, const std::string& options) {
    mounts.emplace_back(new TmpfsMount(options, path));
    if (mounts.back()->mounted()) return mounts.back().get();
    const std::string reason = mounts.back()->skipReason();  // cleanUp() deletes the mount
    // Root in a container without the right to mount: as the tmpfs tests do, skip.
    if (mounts.size() == 1 && (mounts.back()->error() == EPERM || mounts.back()->error() == EACCES)) {
        printf("soak: SKIPPED: %s\n", reason.c_str());
        cleanUp(true);
        exit(0);
    }
    dieEarly(reason);
}

std::string configuration() {
    std::string text = "logfile " + layout.logPath + "\n" +
                       "logfile_max_size 1M\n"
                       "logfile_max_number 3\n"
                       "history_max_entries 10\n"
                       "fillstate_limit 50\n"
                       "ramdisk_mountpoint " +
                       layout.ramdisk + "\n" + "message_port " + std::to_string(layout.messagePort) + "\n" +
                       "status_port " + std::to_string(layout.statusPort) + "\n";
    text += "storageID internal\ntype INTERNAL\ntarget " + layout.targets[INTERNAL] +
            "\nn_copy_processes 2\nmountpoint " + layout.internalMount + "\n";
    text += "storageID external\ntype EXTERNAL\ntarget " + layout.targets[EXTERNAL] + "\nn_copy_processes 2\n";
    text += "storageID optional\ntype OPTIONAL\ntarget " + layout.targets[OPTIONAL] + "\nn_copy_processes 1\n";
    return text;
}

// Starts the detached daemon, adopted by this process (subreaper) so that its
// end can be seen and it can be reaped.
void startDaemon(const std::string& vellort) {
    std::string problem;
    if (!writeFile(layout.root + "/etc/vellort_quorvin.conf", configuration(), &problem))
        dieEarly("cannot write the configuration: " + problem);
    daemonPid = startDetachedDaemon(vellort, layout.root, &problem);
    if (daemonPid <= 0) dieEarly("the daemon did not start: " + problem + ", see " + layout.logPath);
}

// Whether the daemon still runs; reaps it and records how it ended if not.
bool daemonAlive() {
    static std::mutex mutex;
    std::lock_guard<std::mutex> guard(mutex);
    if (daemonPid <= 0) return false;
    int status;
    pid_t result = waitpid(daemonPid, &status, WNOHANG);
    if (result == 0) return true;
    if (result == daemonPid) {
        giveUp(WIFSIGNALED(status) ? "the daemon died by signal " + std::to_string(WTERMSIG(status))
                                   : "the daemon exited with status " + std::to_string(WEXITSTATUS(status)));
        daemonPid = -1;
    }
    return false;
}

// ---------------------------------------------------------------- the pipe

// Opens the pipe for writing as the acquisition program does; -1 after 10 s.
int openPipe() {
    int fd = -1;
    waitFor(
        10,
        [&]() {
            fd = open(layout.pipePath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            return fd >= 0;
        },
        0.01);
    if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// One write per line: lines below PIPE_BUF never mix with another writer's.
bool writeLine(int fd, const std::string& line) {
    for (size_t done = 0; done < line.size();) {
        ssize_t written = write(fd, line.data() + done, line.size() - done);
        if (written < 0 && errno != EINTR) return false;
        if (written > 0) done += static_cast<size_t>(written);
    }
    return true;
}

// ---------------------------------------------------------------- faults

// The fault windows, in program seconds; a purge of copies must not run while
// a fault is on (EXTERNAL read-only, or OPTIONAL meant to stay full).
class FaultBook {
public:
    enum Kind { EXTERNAL_READ_ONLY = 0, OPTIONAL_FULL = 1 };
    struct Window {
        Kind kind;
        double start;
        double end;  // < 0 while on
    };

    size_t begin(Kind kind) {
        std::lock_guard<std::mutex> guard(mutex);
        windows.push_back(Window{kind, elapsed(), -1});
        ++active;
        return windows.size() - 1;
    }
    void end(size_t index) {
        std::lock_guard<std::mutex> guard(mutex);
        windows[index].end = elapsed();
        --active;
        changed.notify_all();
    }
    // Whether a failure seen at `at` falls into a window of that kind.
    bool covers(Kind kind, double at) {
        std::lock_guard<std::mutex> guard(mutex);
        for (const Window& window : windows)
            if (window.kind == kind && at >= window.start && (window.end < 0 || at <= window.end + messageSlack))
                return true;
        return false;
    }
    // Runs work() while no fault is on, keeping faults from starting meanwhile.
    template <typename Work>
    bool whileNoFault(double seconds, Work work) {
        std::unique_lock<std::mutex> lock(mutex);
        if (!changed.wait_for(lock, std::chrono::duration<double>(seconds), [&]() { return active == 0; }))
            return false;
        work();
        return true;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Window> windows;
    int active = 0;
};
FaultBook faults;

bool remountExternal(bool readOnly) {
    return externalMount->remount(readOnly, "size=256m");
}

struct FaultCounts {
    int readOnlyWindows = 0;
    int readOnlyAttemptsBusy = 0;
    int readOnlyNotReached = 0;
    int fullWindows = 0;
    uint64_t fillerBytes = 0;
};

// Every 60 s from t = 15 s: EXTERNAL read-only for 12 s; from t = 40 s:
// OPTIONAL full for 12 s. No window starts unless it ends before `until`.
void injectFaults(double until, FaultCounts& counts) {
    for (int cycle = 0; !stopping; ++cycle) {
        double readOnlyAt = 60.0 * cycle + 15, fullAt = 60.0 * cycle + 40;
        if (readOnlyAt + 12 > until) return;
        if (!waitFor(readOnlyAt - elapsed() + 1, [&]() { return stopping || elapsed() >= readOnlyAt; })) return;
        if (stopping) return;
        size_t window = faults.begin(FaultBook::EXTERNAL_READ_ONLY);
        // A tmpfs refuses to become read-only while a file on it is open for
        // writing (EBUSY): try again until the copy workers are between files.
        bool readOnly = false;
        waitFor(
            10,
            [&]() {
                if (remountExternal(true)) return readOnly = true;
                if (errno == EBUSY)
                    ++counts.readOnlyAttemptsBusy;
                else
                    failures.add("remounting EXTERNAL read-only: " + systemText(errno));
                return false;
            },
            0.002);
        if (readOnly) {
            ++counts.readOnlyWindows;
            say("fault: EXTERNAL %s read-only", layout.externalMount.c_str());
            waitFor(
                12, [&]() { return stopping.load(); }, 0.1);
            // Tried even when the run winds down: the clean-up unmounts it anyway.
            bool writable = false;
            for (int attempt = 0; attempt < 1000 && !(writable = remountExternal(false)); ++attempt) pauseSeconds(0.01);
            if (!writable) {
                giveUp("cannot remount EXTERNAL read-write: " + systemText(errno));
                faults.end(window);
                return;
            }
            say("fault: EXTERNAL writable again");
        } else {
            ++counts.readOnlyNotReached;
            say("fault: EXTERNAL could not be made read-only within 10 s (busy); skipped");
        }
        faults.end(window);

        if (fullAt + 12 > until) return;
        if (!waitFor(fullAt - elapsed() + 1, [&]() { return stopping || elapsed() >= fullAt; })) return;
        if (stopping) return;
        window = faults.begin(FaultBook::OPTIONAL_FULL);
        int fd = open(layout.filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            giveUp("cannot create the filler " + layout.filler + ": " + systemText(errno));
            faults.end(window);
            return;
        }
        std::string chunk(MiB, 'F');
        uint64_t written = 0;
        // Large pieces first, then pages, until the file system says no.
        for (size_t piece : {static_cast<size_t>(MiB), static_cast<size_t>(4 * KiB)}) {
            for (;;) {
                ssize_t put = write(fd, chunk.data(), piece);
                if (put > 0) written += static_cast<uint64_t>(put);
                if (put < 0 && errno == EINTR) continue;
                if (put <= 0) break;
            }
        }
        close(fd);
        ++counts.fullWindows;
        counts.fillerBytes += written;
        say("fault: OPTIONAL full (filler of %.1f MiB, %.1f%% used)", written / double(MiB),
            fillState(layout.optionalMount).percent);
        waitFor(
            12, [&]() { return stopping.load(); }, 0.1);
        if (unlink(layout.filler.c_str()) != 0) failures.add("cannot remove the filler: " + systemText(errno));
        faults.end(window);
        say("fault: OPTIONAL has room again");
    }
}

// ---------------------------------------------------------------- messages

class MessageBook {
public:
    void add(int32_t code, const std::string& subject, double at) {
        std::lock_guard<std::mutex> guard(mutex);
        ++byCode[code];
        if (code == 4) {
            // Subject: source ":" destination; no path of the sandbox holds a ':'.
            size_t colon = subject.find(':');
            std::string destination = singleSlashes(colon == std::string::npos ? subject : subject.substr(colon + 1));
            if (copyErrors.count(destination) == 0)
                copyErrors[destination] = at;
            else
                ++duplicateCopyErrors;
        }
    }
    // When the copy error for this destination arrived; < 0 if it did not.
    double copyErrorAt(const std::string& destination) {
        std::lock_guard<std::mutex> guard(mutex);
        auto found = copyErrors.find(destination);
        return found == copyErrors.end() ? -1 : found->second;
    }
    std::map<int32_t, long> counts() {
        std::lock_guard<std::mutex> guard(mutex);
        return byCode;
    }
    long duplicates() {
        std::lock_guard<std::mutex> guard(mutex);
        return duplicateCopyErrors;
    }

private:
    std::mutex mutex;
    std::map<int32_t, long> byCode;
    std::map<std::string, double> copyErrors;  // destination -> arrival
    long duplicateCopyErrors = 0;
};
MessageBook messages;

// The client that never reads. Its receive buffer is made as small as the
// system allows, so that the kernel stops taking frames for it early and the
// daemon's own queue for it fills up, to its limit, within a long run.
int connectSilently(int port) {
    return connectLoopback(port, nullptr, 1);
}

// The reading message client: every frame, with the time it arrived.
void readMessages(ServiceConnection& connection, std::atomic<bool>& quit, long& frames) {
    const std::string timeout = "no answer within the time limit";
    while (!quit) {
        std::string header, body;
        if (!connection.readExactly(4, header, 200)) {
            if (connection.error() == timeout) continue;
            giveUp("the message client lost its connection: " + connection.error());
            return;
        }
        uint32_t length = (uint32_t(uint8_t(header[0])) << 24) | (uint32_t(uint8_t(header[1])) << 16) |
                          (uint32_t(uint8_t(header[2])) << 8) | uint32_t(uint8_t(header[3]));
        if (length < 6 || length > 16 * MiB || !connection.readExactly(length, body, 10000)) {
            giveUp("malformed or cut message frame (length " + std::to_string(length) + "): " + connection.error());
            return;
        }
        int32_t code = static_cast<int32_t>((uint32_t(uint8_t(body[0])) << 24) | (uint32_t(uint8_t(body[1])) << 16) |
                                            (uint32_t(uint8_t(body[2])) << 8) | uint32_t(uint8_t(body[3])));
        std::string subject(body.c_str() + 4);
        messages.add(code, subject, elapsed());
        ++frames;
    }
}

// ---------------------------------------------------------------- the log

// Follows the daemon's log across rotations (by descriptor, as tail -F does)
// and keeps what the checks need.
class LogWatcher {
public:
    void start() {
        worker = std::thread([this]() { _run(); });
    }
    void stop() {
        quit = true;
        if (worker.joinable()) worker.join();
        _poll();  // the last lines
    }

    bool copyErrorLine(const std::string& destination) {
        std::lock_guard<std::mutex> guard(mutex);
        return copyErrorLines.count(destination) > 0;
    }
    bool notRemoving(const std::string& path) {
        std::lock_guard<std::mutex> guard(mutex);
        return notRemovingLines.count(path) > 0;
    }
    bool accepted(const std::string& peer) {
        std::lock_guard<std::mutex> guard(mutex);
        return acceptedPeers.count(peer) > 0;
    }
    bool timedOut(const std::string& peer) {
        std::lock_guard<std::mutex> guard(mutex);
        return timedOutPeers.count(peer) > 0;
    }
    std::map<std::string, long> counters() {
        std::lock_guard<std::mutex> guard(mutex);
        return counts;
    }

private:
    void _run() {
        while (!quit) {
            _poll();
            pauseSeconds(0.1);
        }
    }

    void _poll() {
        std::lock_guard<std::mutex> guard(pollMutex);
        if (fd < 0) {
            fd = open(layout.logPath.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) return;
        }
        _drain();
        // Rotated: the path names a new file. Whatever reached the old one
        // before the rename has been read above.
        struct stat byPath, byDescriptor;
        if (stat(layout.logPath.c_str(), &byPath) == 0 && fstat(fd, &byDescriptor) == 0 &&
            byPath.st_ino != byDescriptor.st_ino) {
            _drain();
            close(fd);
            fd = open(layout.logPath.c_str(), O_RDONLY | O_CLOEXEC);
            {
                std::lock_guard<std::mutex> countGuard(mutex);
                ++counts["log rotations seen"];
            }
            if (fd >= 0) _drain();
        }
    }

    void _drain() {
        char buffer[65536];
        for (;;) {
            ssize_t got = read(fd, buffer, sizeof buffer);
            if (got <= 0) break;
            partial.append(buffer, static_cast<size_t>(got));
        }
        size_t start = 0;
        for (size_t end; (end = partial.find('\n', start)) != std::string::npos; start = end + 1)
            _line(partial.substr(start, end - start));
        partial.erase(0, start);
    }

    static bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

    // A problem repeated within a minute is written once; the daemon writes
    // how many it left out as one line when the minute is over.
    void _line(const std::string& line) {
        std::lock_guard<std::mutex> guard(mutex);
        const char* const leftOut = "++ Left out ";
        const size_t text = line.find(" s: ");
        if (!startsWith(line, leftOut) || text == std::string::npos) return _count(line);
        for (long repeat = atol(line.c_str() + strlen(leftOut)); repeat > 0; --repeat) _count(line.substr(text + 4));
    }

    void _count(const std::string& line) {
        size_t at;
        if ((at = line.find(": Error: Copying ")) != std::string::npos ||
            (at = line.find(": Critical Error: Copying ")) != std::string::npos) {
            size_t to = line.find(" to ", at);
            if (to != std::string::npos) {
                size_t end = line.find(' ', to + 4);
                copyErrorLines.insert(
                    singleSlashes(line.substr(to + 4, end == std::string::npos ? end : end - to - 4)));
            }
            ++counts["copy errors"];
        } else if (startsWith(line, "Warning: Not removing ")) {
            size_t end = line.find(": ", 22);
            notRemovingLines.insert(singleSlashes(line.substr(22, end - 22)));
            ++counts["Warning: Not removing"];
        } else if (startsWith(line, "Error: Rejected announcement ")) {
            ++counts["rejected announcements"];
        } else if (line.find(" returned EOF") != std::string::npos) {
            ++counts["pipe EOF"];
        } else if (startsWith(line, "++ Converting ")) {
            size_t on = line.find(" files on ");
            std::string mountPoint = line.substr(on + 10, line.find(' ', on + 10) - on - 10);
            ++counts["link passes on " + mountPoint];
            counts["files offered to link passes on " + mountPoint] += atol(line.c_str() + 14);
        } else if (startsWith(line, "++ Removing ") && line.find(" links on ") != std::string::npos) {
            ++counts["inode relief steps"];
        } else if (startsWith(line, "++ Error: Creating symbolic link")) {
            ++counts["link errors"];
        } else if (startsWith(line, "++ Error: could not remove")) {
            ++counts["remove errors"];
        } else if (startsWith(line, "++ Accepted connection from ")) {
            acceptedPeers.insert(line.substr(28, line.find(' ', 28) - 28));
        } else if (line.find(" is not reading; dropped ") != std::string::npos) {
            ++counts["message clients not reading"];
        } else if (startsWith(line, "Error: Failed to parse request from ")) {
            ++counts["status requests refused"];
        } else if (startsWith(line, "Error=XML_")) {
            // The parser's text, a later line of a refused request's entry.
        } else if (startsWith(line, "Error: Failed to write to ")) {
            ++counts["message clients reset"];  // the silent client closing with frames unread
        } else if (startsWith(line, "Warning: Closing connection from ")) {
            timedOutPeers.insert(line.substr(33, line.find(": ", 33) - 33));
            ++counts["clients closed at a time-out"];
        } else if (startsWith(line, "Warning: Refused connection from ")) {
            ++counts["refusal lines"];
        } else if (startsWith(line, "Warning: Message queue full; ")) {
            ++counts["central message queue overflows"];
        } else if (startsWith(line, "Error: Unkown action '")) {
            ++counts["unknown actions"];
            long& longest = counts["longest unknown-action line"];
            longest = std::max(longest, static_cast<long>(line.size()));
        } else if (startsWith(line, "Usershift on ")) {
            ++counts["user shifts"];
        } else if (startsWith(line, "Error") || startsWith(line, "++ Error") || startsWith(line, " Error") ||
                   startsWith(line, "Warning") || line.find("Error: ") != std::string::npos) {
            ++counts["other problem lines"];
            if (otherShown++ < 10) say("log: %s", line.c_str());
        }
    }

    std::thread worker;
    std::atomic<bool> quit{false};
    std::mutex pollMutex;  // one reader of the descriptor at a time
    int fd = -1;
    std::string partial;

    std::mutex mutex;                      // guards what was learnt
    std::set<std::string> copyErrorLines;  // destinations
    std::set<std::string> notRemovingLines;
    std::set<std::string> acceptedPeers;
    std::set<std::string> timedOutPeers;  // closed by the daemon at a time-out
    std::map<std::string, long> counts;
    int otherShown = 0;
};
LogWatcher logWatcher;

// ---------------------------------------------------------------- status

struct Counts {
    long pending = -1, copied = -1, failed = -1;
};
// uid -> storage -> counts
using History = std::map<uint32_t, std::map<std::string, Counts>>;

// A reply line: well formed, with a `reply` root; `history` may be null.
bool parseReply(const std::string& line, History* history, std::string& why) {
    tinyxml2::XMLDocument document;
    if (document.Parse(line.c_str()) != tinyxml2::XML_SUCCESS) {
        why = "not well formed: " + line.substr(0, 200);
        return false;
    }
    const tinyxml2::XMLElement* reply = document.FirstChildElement("reply");
    if (reply == nullptr) {
        why = "no reply element: " + line.substr(0, 200);
        return false;
    }
    if (history == nullptr) return true;
    for (const tinyxml2::XMLElement* shift = reply->FirstChildElement("usertime"); shift != nullptr;
         shift = shift->NextSiblingElement("usertime")) {
        uint32_t uid = shift->UnsignedAttribute("uid");
        for (const tinyxml2::XMLElement* storage = shift->FirstChildElement("storage"); storage != nullptr;
             storage = storage->NextSiblingElement("storage")) {
            Counts& counts = (*history)[uid][storage->Attribute("id") ? storage->Attribute("id") : "?"];
            counts.pending = storage->Int64Attribute("pending", -1);
            counts.copied = storage->Int64Attribute("copied", -1);
            counts.failed = storage->Int64Attribute("failed", -1);
        }
    }
    return true;
}

// The checks' own status client, connecting again whenever needed.
class StatusQuery {
public:
    bool history(History& result, std::string& why) {
        result.clear();
        if (!connection.connected() && !connection.open("127.0.0.1", std::to_string(layout.statusPort))) {
            why = "cannot connect: " + connection.error();
            return false;
        }
        std::string line;
        if (!connection.send("<request><action id='history'/></request>\n") || !connection.readLine(line, 10000)) {
            why = connection.error();
            connection.close();
            return false;
        }
        return parseReply(line, &result, why);
    }

private:
    ServiceConnection connection;
};

struct PollerStats {
    std::atomic<long> replies{0};
    std::atomic<long> errorReplies{0};
    std::atomic<long> connections{0};
};

// kind 0: one connection, full history every 100 ms; kind 1: one connection,
// length 2 every 50 ms with a malformed request every 20th; kind 2: a new
// connection for every request, every 200 ms.
void pollStatus(int kind, std::atomic<bool>& quit, PollerStats& stats) {
    ServiceConnection connection;
    for (long round = 0; !quit; ++round) {
        if (!connection.connected()) {
            if (!connection.open("127.0.0.1", std::to_string(layout.statusPort))) {
                failures.add("status poller " + std::to_string(kind) + " cannot connect: " + connection.error());
                pauseSeconds(1);
                continue;
            }
            ++stats.connections;
        }
        bool malformed = kind == 1 && round % 20 == 19;
        std::string request = malformed   ? "<request><action id='history'"
                              : kind == 1 ? "<request><action id='history' length='2'/></request>"
                                          : "<request><action id='history'/></request>";
        std::string line, why;
        if (!connection.send(request + "\n") || !connection.readLine(line, 10000)) {
            failures.add("status poller " + std::to_string(kind) + ": no reply: " + connection.error());
            connection.close();
            continue;
        }
        if (!parseReply(line, nullptr, why)) {
            failures.add("status poller " + std::to_string(kind) + ": " + why);
        } else if (malformed != (line.find("<error type=\"syntax error\"") != std::string::npos)) {
            failures.add("status poller " + std::to_string(kind) + ": unexpected reply to " + request + ": " + line);
        } else {
            ++(malformed ? stats.errorReplies : stats.replies);
        }
        if (kind == 2) connection.close();
        pauseSeconds(kind == 0 ? 0.1 : kind == 1 ? 0.05 : 0.2);
    }
}

// ---------------------------------------------------------------- hostile clients

struct HostileCounts {
    int bursts = 0;
    long timedOutClients = 0;  // status clients the daemon must close at a time-out
    long unknownActions = 0;   // each to be logged as a line of its own, cut
};

// Every 30 s from t = 8 s, while the acquisition runs. The status clients stay
// below the workers that the pollers and the checker leave free, so that they
// delay no one; the message clients go past what the service holds.
void injectHostileClients(double until, HostileCounts& counts) {
    const std::string unknown = "<request><action id='" + std::string(5000, 'u') + "'/></request>\n";
    std::string flood;
    while (flood.size() < MiB) flood += "<request><action id='history'/></request>\n";
    for (int burst = 0; !stopping; ++burst) {
        double at = 8 + 30.0 * burst;
        if (at + 25 > until) return;
        if (!waitFor(at - elapsed() + 1, [&]() { return stopping || elapsed() >= at; }) || stopping) return;
        ++counts.bursts;
        ServiceConnection asking;
        std::string line;
        for (int i = 0; i < 100 && !stopping; ++i) {
            if ((!asking.connected() && !asking.open("127.0.0.1", std::to_string(layout.statusPort))) ||
                !asking.send(unknown) || !asking.readLine(line, 10000)) {
                failures.add("hostile: no reply to an unknown action: " + asking.error());
                break;
            }
            ++counts.unknownActions;
        }
        asking.close();

        std::vector<int> status, message;
        for (int i = 0; i < 6; ++i) status.push_back(connectSilently(layout.statusPort));
        for (int i = 0; i < 25; ++i) message.push_back(connectSilently(layout.messagePort));
        if (status[0] >= 0) send(status[0], "<request><action id='history'", 29, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (status[1] >= 0) send(status[1], flood.data(), flood.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        for (int fd : status) {
            std::string name = fd < 0 ? "" : localAddress(fd);
            if (name.empty() || !waitFor(30, [&]() { return logWatcher.timedOut(name); }))
                failures.add("hostile: status client " + name + " was not closed at its time-out");
            else
                ++counts.timedOutClients;
        }
        for (int fd : status) close(fd);
        for (int fd : message) close(fd);
    }
}

// ---------------------------------------------------------------- files and shifts

struct FileRecord {
    std::string relative;  // below the RAM disk, and below every target
    uint64_t size = 0;
    uint64_t hash = 0;
    bool ghost = false;             // announced, never written
    bool internalCopyGood = false;  // seen intact at the end of its shift
};

struct ShiftRecord {
    int number = 0;
    uint32_t uid = 0;
    std::vector<FileRecord> files;
};

class ShiftQueue {
public:
    void push(std::unique_ptr<ShiftRecord> shift) {
        std::lock_guard<std::mutex> guard(mutex);
        shifts.push_back(std::move(shift));
        changed.notify_all();
    }
    void close() {
        std::lock_guard<std::mutex> guard(mutex);
        closed = true;
        changed.notify_all();
    }
    // Null once closed and empty.
    std::unique_ptr<ShiftRecord> pop() {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&]() { return closed || !shifts.empty(); });
        if (shifts.empty()) return nullptr;
        std::unique_ptr<ShiftRecord> shift = std::move(shifts.front());
        shifts.pop_front();
        return shift;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::unique_ptr<ShiftRecord>> shifts;
    bool closed = false;
};

// Waits until no storage has anything pending for the shift of `uid` (only
// the INTERNAL one when internalOnly); the counts are left in `history`.
bool waitUntilSettled(StatusQuery& status, uint32_t uid, bool internalOnly, double seconds, History& history,
                      std::string& why) {
    return waitFor(
        seconds,
        [&]() {
            if (!status.history(history, why)) return false;
            auto shift = history.find(uid);
            if (shift == history.end()) {
                why = "shift of uid " + std::to_string(uid) + " not in the history";
                return false;
            }
            for (int storage = INTERNAL; storage <= (internalOnly ? INTERNAL : OPTIONAL); ++storage) {
                auto counts = shift->second.find(storageNames[storage]);
                if (counts == shift->second.end()) {
                    why = std::string(storageNames[storage]) + " has no entry for the shift";
                    return false;
                }
                if (counts->second.pending != 0) {
                    why = std::string(storageNames[storage]) + " still has " + std::to_string(counts->second.pending) +
                          " pending";
                    return false;
                }
            }
            return true;
        },
        0.1);
}

// Compares the copy at `path` with what was written; empty when intact.
std::string copyProblem(const std::string& path, const FileRecord& file) {
    std::string content, why;
    if (!readFile(path, content, &why)) return why;
    if (content.size() != file.size)
        return std::to_string(content.size()) + " bytes instead of " + std::to_string(file.size);
    if (fnv1a(content) != file.hash) return "content differs";
    return "";
}

// ---------------------------------------------------------------- acquisition

struct AcquisitionCounts {
    std::atomic<long> files{0};  // read by the sampler while the acquisition runs
    std::atomic<int> shifts{0};
    long largeFiles = 0, ghosts = 0;
    uint64_t bytes = 0;
    long enospc = 0;
    long ramWaits = 0;
    double ramWaitSeconds = 0;
    double ramMaxPercent = 0;
    long writerReopens = 0, writerAbsences = 0;
    long junkLines = 0, junkRejectionsExpected = 0;
};

class Acquisition {
public:
    Acquisition(double until, uint64_t seed, ShiftQueue& queue, AcquisitionCounts& counts)
        : until(until), random(seed), queue(queue), counts(counts) {}

    void run() {
        pipe = openPipe();
        if (pipe < 0) return giveUp("cannot open the pipe " + layout.pipePath + " for writing");
        double nextTick = elapsed(), nextLarge = elapsed() + 2, nextReopen = elapsed() + 5, nextJunk = elapsed() + 1;
        _startShift();
        while (!stopping && elapsed() < until) {
            double now = elapsed();
            if (now >= shiftEnd) {
                _endShift();
                _startShift();
                continue;
            }
            if (now >= nextReopen) {
                _reopen();
                nextReopen = elapsed() + 5;
            }
            if (now >= nextJunk) {
                _junk();
                nextJunk += 2;
            }
            if (now >= nextRun) {
                ++runNumber;
                nextRun = now + 4;
            }
            if (!ghostTimes.empty() && now >= ghostTimes.back()) {
                ghostTimes.pop_back();
                _announceGhost();
            }
            if (now >= nextLarge) {
                _writeFile(true);
                nextLarge += 2;
            }
            _writeFile(false);
            nextTick += 0.04;
            pauseSeconds(std::max(0.0, nextTick - elapsed()));
            if (nextTick < elapsed() - 1) nextTick = elapsed();  // fell behind: no burst to catch up
        }
        if (current) {
            _endShift();
            // One more shift, without files, so that the last one is checked
            // like every other: its files deleted from the RAM disk and INTERNAL.
            if (!stopping) _announceShift(shiftNumber + 1);
        }
        close(pipe);
    }

private:
    void _announceShift(int number) {
        uint32_t id = 2000 + static_cast<uint32_t>(number);
        if (!writeLine(pipe, "usershift: " + std::to_string(id) + " " + std::to_string(id) + "\n"))
            giveUp("writing a user shift to the pipe: " + systemText(errno));
    }

    void _startShift() {
        ++shiftNumber;
        ++counts.shifts;
        current.reset(new ShiftRecord);
        current->number = shiftNumber;
        current->uid = 2000 + static_cast<uint32_t>(shiftNumber);
        _announceShift(shiftNumber);
        double now = elapsed();
        shiftEnd = now + std::uniform_real_distribution<double>(10, 20)(random);
        runNumber = 1;
        nextRun = now + 4;
        fileNumber = 0;
        ghostTimes = {now + 3 + (shiftEnd - now - 4) * 0.7, now + 1 + (shiftEnd - now - 4) * 0.2};
        char name[32];
        snprintf(name, sizeof name, "shift%04d", shiftNumber);
        shiftDir = name;
        _mkdir(layout.ramdisk + "/" + shiftDir);
    }

    // Waits until the INTERNAL storage is done with the shift, checks each of
    // its copies, and hands the shift to the checker; the next user shift line
    // follows, which lets the EXTERNAL storage delete those copies.
    void _endShift() {
        History history;
        std::string why;
        if (!waitUntilSettled(status, current->uid, true, 90, history, why)) {
            failures.add("shift " + std::to_string(current->number) + ": INTERNAL not done after 90 s: " + why);
        }
        long good = 0;
        for (FileRecord& file : current->files) {
            if (file.ghost) continue;
            std::string problem = copyProblem(layout.targets[INTERNAL] + "/" + file.relative, file);
            file.internalCopyGood = problem.empty();
            good += file.internalCopyGood;
            if (!problem.empty() && problem != systemText(ENOENT))
                failures.add("INTERNAL copy of " + file.relative + ": " + problem);
        }
        say("shift %d ended: %zu files announced, %ld INTERNAL copies intact", current->number, current->files.size(),
            good);
        queue.push(std::move(current));
    }

    void _mkdir(const std::string& path) {
        if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return;
        if (errno == ENOSPC)
            ++counts.enospc;
        else
            giveUp("mkdir " + path + ": " + systemText(errno));
    }

    // Waits while the RAM disk is above 90 % or short of room for `size`.
    bool _waitForRoom(uint64_t size) {
        double start = elapsed();
        bool waited = false;
        for (;;) {
            FillState ram = fillState(layout.ramdisk);
            counts.ramMaxPercent = std::max(counts.ramMaxPercent, ram.percent);
            if (ram.percent <= 90 && ram.freeBytes >= size + 256 * KiB) break;
            if (!waited) ++counts.ramWaits;
            waited = true;
            if (elapsed() - start > 60) {
                giveUp("the RAM disk stayed above 90% (or short of room) for 60 s: " + std::to_string(ram.percent) +
                       "%");
                return false;
            }
            if (stopping) return false;
            pauseSeconds(0.02);
        }
        counts.ramWaitSeconds += elapsed() - start;
        return true;
    }

    void _writeFile(bool large) {
        uint64_t size = large ? std::uniform_int_distribution<uint64_t>(128, 768)(random) * KiB
                              : std::uniform_int_distribution<uint64_t>(1 * KiB, 16 * KiB)(random);
        char runDir[32], name[64];
        snprintf(runDir, sizeof runDir, "%s/run%03d", shiftDir.c_str(), runNumber);
        snprintf(name, sizeof name, "%s/%s_%05d.%s", runDir, large ? "big" : "img", ++fileNumber, large ? "h5" : "cbf");
        FileRecord file;
        file.relative = name;
        file.size = size;
        std::string content = makeContent(++seedCounter, size);
        file.hash = fnv1a(content);
        if (!_waitForRoom(size)) return;
        _mkdir(layout.ramdisk + "/" + runDir);
        std::string path = layout.ramdisk + "/" + file.relative;
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        bool ok = fd >= 0;
        for (size_t done = 0; ok && done < content.size();) {
            ssize_t put = write(fd, content.data() + done, content.size() - done);
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0)
                ok = false;
            else
                done += static_cast<size_t>(put);
        }
        int writeErrno = errno;
        if (fd >= 0 && close(fd) != 0 && ok) {
            ok = false;
            writeErrno = errno;
        }
        if (!ok) {
            if (writeErrno == ENOSPC || writeErrno == EDQUOT) {
                ++counts.enospc;
                failures.add("the RAM disk refused " + file.relative + " for lack of space");
                unlink(path.c_str());
                return;
            }
            return giveUp("writing " + path + ": " + systemText(writeErrno));
        }
        _announce(file);
        counts.bytes += size;
        ++counts.files;
        counts.largeFiles += large;
    }

    void _announceGhost() {
        FileRecord file;
        char name[64];
        // One in a run folder that exists, one in a folder that does not.
        if (counts.ghosts % 2 == 0)
            snprintf(name, sizeof name, "%s/run%03d/ghost_%05ld.cbf", shiftDir.c_str(), runNumber, counts.ghosts);
        else
            snprintf(name, sizeof name, "%s/nowhere%03d/ghost_%05ld.cbf", shiftDir.c_str(), runNumber, counts.ghosts);
        file.relative = name;
        file.ghost = true;
        ++counts.ghosts;
        _announce(file);
    }

    void _announce(const FileRecord& file) {
        if (!writeLine(pipe, layout.ramdisk + "/./" + file.relative + "\n"))
            return giveUp("writing an announcement to the pipe: " + systemText(errno));
        current->files.push_back(file);
    }

    // The acquisition closes its end of the pipe; every fourth time it stays away a while.
    void _reopen() {
        close(pipe);
        ++counts.writerReopens;
        if (counts.writerReopens % 4 == 0) {
            ++counts.writerAbsences;
            pauseSeconds(1.5);
        }
        pipe = openPipe();
        if (pipe < 0) giveUp("cannot open the pipe again for writing");
    }

    // A junk line through a writer of its own, which comes and goes.
    void _junk() {
        static const int kinds = 10;
        int kind = static_cast<int>(counts.junkLines % kinds);
        std::string line;
        int rejections = 1;
        switch (kind) {
            case 0:
                line = "no-directory-here and more words";
                break;
            case 1:
                line = "Usershift: 4242 4242";
                break;
            case 2:
                line = "usershift:4242 4242";
                break;
            case 3:
                line = layout.ramdisk + "/./";
                break;
            case 4:
                line = layout.ramdisk + "/./../../escaped.cbf";
                break;
            case 5: {
                // One word of bytes: no NUL, no blank, no '/', no newline.
                std::uniform_int_distribution<int> byte(1, 255);
                while (line.size() < 300) {
                    char c = static_cast<char>(byte(random));
                    if (c != '/' && strchr(" \t\n\v\f\r", c) == nullptr) line += c;
                }
                break;
            }
            case 6:
                line = std::string(1500, 'x');
                break;  // longer than a line may be: rejected whole
            case 7:
                line = "   \t  ";
                rejections = 0;
                break;
            case 8:
                line = "";
                rejections = 0;
                break;
            case 9:
                line = std::string(1, '\0') + layout.ramdisk + "/./nul/led.cbf";
                rejections = 0;
                break;
        }
        int fd = openPipe();
        if (fd < 0) return giveUp("cannot open the pipe for a junk line");
        if (!writeLine(fd, line + "\n")) failures.add("writing a junk line: " + systemText(errno));
        close(fd);
        ++counts.junkLines;
        counts.junkRejectionsExpected += rejections;
    }

    const double until;
    std::mt19937_64 random;
    ShiftQueue& queue;
    AcquisitionCounts& counts;
    StatusQuery status;
    int pipe = -1;

    std::unique_ptr<ShiftRecord> current;
    int shiftNumber = 0;
    std::string shiftDir;
    double shiftEnd = 0;
    int runNumber = 1;
    double nextRun = 0;
    int fileNumber = 0;
    uint64_t seedCounter = 0;
    std::vector<double> ghostTimes;  // latest first
};

// ---------------------------------------------------------------- checker

struct CheckCounts {
    long shifts = 0;
    long copiesChecked[3] = {0, 0, 0};
    long failuresReported[3] = {0, 0, 0};
    long keptChecked = 0;
    long temporariesLeft = 0;
};

// Checks each ended shift once every storage is done with it (see the top).
class Checker {
public:
    Checker(ShiftQueue& queue, CheckCounts& counts) : queue(queue), counts(counts) {}

    void run() {
        while (std::unique_ptr<ShiftRecord> shift = queue.pop()) {
            if (interrupted) continue;
            _check(*shift);
        }
    }

private:
    enum Outcome { COPIED, FAILED };

    void _check(ShiftRecord& shift) {
        const std::string name = "shift " + std::to_string(shift.number);
        History history;
        std::string why;
        if (!waitUntilSettled(status, shift.uid, false, 120, history, why))
            return failures.add(name + ": storages not done after 120 s: " + why);

        std::vector<std::vector<Outcome>> outcomes(shift.files.size(), std::vector<Outcome>(3, COPIED));
        long copied[3] = {0, 0, 0}, failed[3] = {0, 0, 0};
        // Reports may trail the history a little: one grace period for the shift.
        const double reportDeadline = elapsed() + 15;
        for (size_t i = 0; i < shift.files.size(); ++i) {
            const FileRecord& file = shift.files[i];
            for (int storage = INTERNAL; storage <= OPTIONAL; ++storage) {
                const std::string destination = layout.targets[storage] + "/" + file.relative;
                std::string problem = file.ghost ? "never written"
                                      : storage == INTERNAL
                                          ? (file.internalCopyGood ? "" : "missing at the shift's end")
                                          : copyProblem(destination, file);
                if (problem.empty()) {
                    ++copied[storage];
                    ++counts.copiesChecked[storage];
                    if (messages.copyErrorAt(destination) >= 0)
                        failures.add(destination + ": copied, yet reported as failed");
                    continue;
                }
                outcomes[i][storage] = FAILED;
                ++failed[storage];
                _checkReported(file, storage, destination, problem, reportDeadline);
            }
        }

        // The history must count what was found.
        for (int storage = INTERNAL; storage <= OPTIONAL; ++storage) {
            const Counts& booked = history[shift.uid][storageNames[storage]];
            if (booked.copied != copied[storage] || booked.failed != failed[storage])
                failures.add(name + " " + storageNames[storage] + ": history says copied " +
                             std::to_string(booked.copied) + " failed " + std::to_string(booked.failed) +
                             ", found copied " + std::to_string(copied[storage]) + " failed " +
                             std::to_string(failed[storage]));
        }

        _checkDeletions(shift, outcomes);

        long temporaries = 0;
        bool purged = faults.whileNoFault(120, [&]() {
            for (int storage = EXTERNAL; storage <= OPTIONAL; ++storage)
                temporaries += countTemporaries(layout.targets[storage] + "/shift" + _number(shift.number));
            for (int storage = INTERNAL; storage <= OPTIONAL; ++storage)
                removeTree(layout.targets[storage] + "/shift" + _number(shift.number));
            removeTree(layout.ramdisk + "/shift" + _number(shift.number));
        });
        if (!purged) failures.add(name + ": a fault stayed on for 120 s; copies not removed");
        counts.temporariesLeft += temporaries;
        ++counts.shifts;
        say("shift %d checked: copied %ld/%ld/%ld, failed %ld/%ld/%ld (internal/external/optional)%s", shift.number,
            copied[0], copied[1], copied[2], failed[0], failed[1], failed[2],
            temporaries ? (", " + std::to_string(temporaries) + " partial .tmp left").c_str() : "");
    }

    static std::string _number(int shift) {
        char text[16];
        snprintf(text, sizeof text, "%04d", shift);
        return text;
    }

    // A file without a good copy: reported in the log and to the message
    // clients, and failed for a reason that was injected.
    void _checkReported(const FileRecord& file, int storage, const std::string& destination, const std::string& problem,
                        double deadline) {
        ++counts.failuresReported[storage];
        double at = -1;
        bool logged = false;
        waitFor(
            std::max(0.0, deadline - elapsed()),
            [&]() {
                at = messages.copyErrorAt(destination);
                logged = logWatcher.copyErrorLine(destination);
                return at >= 0 && logged;
            },
            0.1);
        if (!logged || at < 0) {
            failures.add(destination + ": " + problem + ", and " +
                         (!logged && at < 0 ? "neither a log line nor a message"
                          : !logged         ? "no copy-error log line"
                                            : "no code-4 message"));
            return;
        }
        if (file.ghost) return;
        bool justified = (storage == EXTERNAL && faults.covers(FaultBook::EXTERNAL_READ_ONLY, at)) ||
                         (storage == OPTIONAL && faults.covers(FaultBook::OPTIONAL_FULL, at));
        if (!justified)
            failures.add(destination + ": copy failed at " + std::to_string(at) + " s, outside any fault on " +
                         storageNames[storage]);
    }

    // The RAM-disk files of the shift are gone; its INTERNAL copies too,
    // except those the EXTERNAL storage could not copy, which stay intact.
    void _checkDeletions(const ShiftRecord& shift, const std::vector<std::vector<Outcome>>& outcomes) {
        std::vector<const FileRecord*> ramLeft, internalLeft, kept;
        for (size_t i = 0; i < shift.files.size(); ++i) {
            const FileRecord& file = shift.files[i];
            if (file.ghost) continue;
            ramLeft.push_back(&file);
            if (outcomes[i][EXTERNAL] == FAILED && outcomes[i][INTERNAL] == COPIED)
                kept.push_back(&file);
            else
                internalLeft.push_back(&file);
        }
        auto gone = [](std::vector<const FileRecord*>& files, const std::string& root) {
            files.erase(
                std::remove_if(files.begin(), files.end(),
                               [&](const FileRecord* file) { return !fileExists(root + "/" + file->relative); }),
                files.end());
            return files.empty();
        };
        if (!waitFor(
                60, [&]() { return gone(ramLeft, layout.ramdisk); }, 0.2))
            failures.add("shift " + std::to_string(shift.number) + ": " + std::to_string(ramLeft.size()) +
                         " files left on the RAM disk 60 s after the shift, e.g. " + ramLeft.front()->relative);
        if (!waitFor(
                60, [&]() { return gone(internalLeft, layout.targets[INTERNAL]); }, 0.2))
            failures.add("shift " + std::to_string(shift.number) + ": " + std::to_string(internalLeft.size()) +
                         " INTERNAL copies not deleted 60 s after the shift, e.g. " + internalLeft.front()->relative);
        for (const FileRecord* file : kept) {
            const std::string path = layout.targets[INTERNAL] + "/" + file->relative;
            if (!waitFor(
                    60, [&]() { return logWatcher.notRemoving(path); }, 0.2))
                failures.add(path + ": EXTERNAL copy failed, but no \"Warning: Not removing\" line");
            std::string problem = copyProblem(path, *file);
            if (!problem.empty())
                failures.add(path + ": the only full copy besides the RAM disk's is lost: " + problem);
            ++counts.keptChecked;
        }
    }

    ShiftQueue& queue;
    CheckCounts& counts;
    StatusQuery status;
};

// ---------------------------------------------------------------- the daemon's resources

struct Sample {
    double at = 0;
    long rssKiB = -1;
    long threads = -1;
    long descriptors = -1;
};

Sample sampleDaemon() {
    Sample sample;
    sample.at = elapsed();
    if (daemonPid <= 0) return sample;
    std::string base = "/proc/" + std::to_string(daemonPid);
    FILE* status = fopen((base + "/status").c_str(), "r");
    if (status != nullptr) {
        char line[256];
        while (fgets(line, sizeof line, status) != nullptr) {
            if (strncmp(line, "VmRSS:", 6) == 0) sample.rssKiB = atol(line + 6);
            if (strncmp(line, "Threads:", 8) == 0) sample.threads = atol(line + 8);
        }
        fclose(status);
    }
    std::unique_ptr<DIR, int (*)(DIR*)> fds(opendir((base + "/fd").c_str()), closedir);
    if (fds) {
        sample.descriptors = 0;
        while (struct dirent* entry = readdir(fds.get()))
            if (entry->d_name[0] != '.') ++sample.descriptors;
    }
    return sample;
}

// Fails a figure that grew past twice its warm-up value plus a margin.
void checkBounded(const char* what, long warm, long final, long margin) {
    if (warm < 0 || final < 0) return failures.add(std::string("no ") + what + " figures for the daemon");
    if (final > 2 * warm + margin)
        failures.add(std::string(what) + " grew from " + std::to_string(warm) + " after warm-up to " +
                     std::to_string(final) + " (limit " + std::to_string(2 * warm + margin) + ")");
}

[[noreturn]] void usage(const std::string& problem) {
    fprintf(stderr, "soak: %s\nusage: soak [--seconds N] [--build-dir DIR] [--vellort PATH] [--seed N] [--keep]\n",
            problem.c_str());
    exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 120;
    std::string vellort = builtExecutable("vellort");
    uint64_t seed = static_cast<uint64_t>(time(nullptr));
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage(option + " needs a value");
            return argv[++i];
        };
        if (option == "--seconds") {
            seconds = atof(value().c_str());
            if (seconds < 30) usage("--seconds must be at least 30");
        } else if (option == "--build-dir") {
            vellort = value() + "/vellort";
        } else if (option == "--vellort") {
            vellort = value();
        } else if (option == "--seed") {
            seed = strtoull(value().c_str(), nullptr, 10);
        } else if (option == "--keep") {
            keep = true;
        } else {
            usage("unknown option " + option);
        }
    }
    if (geteuid() != 0) {
        printf("soak: SKIPPED: needs root to mount and remount the tmpfs storages\n");
        return 0;
    }
    if (access(vellort.c_str(), X_OK) != 0) usage("no executable " + vellort + " (use --build-dir or --vellort)");

    signal(SIGPIPE, SIG_IGN);
    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    prctl(PR_SET_CHILD_SUBREAPER, 1);

    char pattern[] = "/tmp/vellort-soak-XXXXXX";
    if (mkdtemp(pattern) == nullptr) dieEarly("mkdtemp: " + systemText(errno));
    layout.root = pattern;
    for (const char* folder : {"/etc", "/var", "/var/run", "/var/log"}) makeDirectory(layout.root + folder);
    layout.ramdisk = layout.root + "/ramdisk";
    layout.internalMount = layout.root + "/internal";
    layout.externalMount = layout.root + "/external";
    layout.optionalMount = layout.root + "/optional";
    mountTmpfs(layout.ramdisk, "size=8m,mode=0755");
    mountTmpfs(layout.internalMount, "size=16m,mode=0755");
    externalMount = mountTmpfs(layout.externalMount, "size=256m,mode=0755");
    mountTmpfs(layout.optionalMount, "size=32m,mode=0755");
    layout.targets[INTERNAL] = layout.internalMount + "/data";
    layout.targets[EXTERNAL] = layout.externalMount + "/data";
    layout.targets[OPTIONAL] = layout.optionalMount + "/data";
    for (const std::string& target : layout.targets) makeDirectory(target);
    layout.filler = layout.optionalMount + "/filler";
    layout.logPath = layout.root + "/var/log/vellort.log";
    layout.pipePath = layout.root + "/var/run/vellort_quorvin_files";
    layout.messagePort = freePort();
    if (layout.messagePort < 0) dieEarly("no free port");
    do layout.statusPort = freePort();
    while (layout.statusPort == layout.messagePort);
    if (layout.statusPort < 0) dieEarly("no free port");

    startDaemon(vellort);
    printf("soak: %.0f s of acquisition, seed %llu, daemon %s pid %d, sandbox %s\n", seconds,
           static_cast<unsigned long long>(seed), vellort.c_str(), daemonPid, layout.root.c_str());
    printf("soak: RAM disk 8 MiB, INTERNAL 16 MiB, EXTERNAL 256 MiB, OPTIONAL 32 MiB (tmpfs), fillstate_limit 50\n");
    fflush(stdout);
    logWatcher.start();

    // The message clients must be served before the first announcement: a
    // client gets only what is queued after its accept.
    ServiceConnection reader;
    int silent = -1;
    bool connected = waitFor(
        10, [&]() { return reader.connected() || reader.open("127.0.0.1", std::to_string(layout.messagePort)); }, 0.05);
    if (connected) silent = connectSilently(layout.messagePort);
    if (!connected || silent < 0) {
        giveUp("cannot connect to the message service on port " + std::to_string(layout.messagePort));
    } else {
        // One acceptor takes connections in order: once the silent client,
        // which connected second, is logged, the reader is served too.
        std::string silentName = localAddress(silent);
        if (!waitFor(10, [&]() { return logWatcher.accepted(silentName); }))
            giveUp("the message service did not accept its clients");
    }

    std::atomic<bool> clientsQuit(false);
    long frames = 0;
    std::thread messageThread([&]() { readMessages(reader, clientsQuit, frames); });
    PollerStats pollerStats[3];
    std::vector<std::thread> pollers;
    for (int kind = 0; kind < 3; ++kind)
        pollers.emplace_back([&, kind]() { pollStatus(kind, clientsQuit, pollerStats[kind]); });

    const double acquisitionEnd = elapsed() + seconds;
    ShiftQueue queue;
    AcquisitionCounts acquisitionCounts;
    CheckCounts checkCounts;
    FaultCounts faultCounts;
    Acquisition acquisition(acquisitionEnd, seed, queue, acquisitionCounts);
    Checker checker(queue, checkCounts);
    std::thread acquisitionThread([&]() {
        acquisition.run();
        queue.close();
    });
    std::thread faultThread([&]() { injectFaults(acquisitionEnd, faultCounts); });
    HostileCounts hostileCounts;
    std::thread hostileThread([&]() { injectHostileClients(acquisitionEnd, hostileCounts); });
    std::thread checkerThread([&]() { checker.run(); });

    // Samples every 5 s while the acquisition runs and the checks catch up.
    std::vector<Sample> samples;
    const double reportEvery = std::max(10.0, seconds / 40);
    double nextSample = elapsed(), nextReport = elapsed() + reportEvery;
    std::atomic<bool> checksDone(false);
    std::thread doneWatcher([&]() {
        acquisitionThread.join();
        faultThread.join();
        hostileThread.join();
        checkerThread.join();
        checksDone = true;
    });
    printf("%8s %9s %8s %5s %6s %6s %6s %8s %7s %6s\n", "time s", "RSS KiB", "threads", "fds", "ram%", "int%", "opt%",
           "ext MiB", "files", "shifts");
    double interruptedAt = -1;
    while (!checksDone) {
        if (!daemonAlive()) stopping = true;
        if (interrupted && interruptedAt < 0) interruptedAt = elapsed();
        if (interruptedAt >= 0 && elapsed() - interruptedAt > 30) {
            fprintf(stderr, "soak: interrupted, and the threads did not wind down within 30 s\n");
            cleanUp(false);
            _exit(1);
        }
        if (elapsed() >= nextSample) {
            samples.push_back(sampleDaemon());
            nextSample += 5;
            if (elapsed() >= nextReport || samples.size() == 1) {
                const Sample& s = samples.back();
                printf("%8.0f %9ld %8ld %5ld %6.1f %6.1f %6.1f %8.1f %7ld %6d\n", s.at, s.rssKiB, s.threads,
                       s.descriptors, fillState(layout.ramdisk).percent, fillState(layout.internalMount).percent,
                       fillState(layout.optionalMount).percent, fillState(layout.externalMount).usedBytes / double(MiB),
                       acquisitionCounts.files.load(), acquisitionCounts.shifts.load());
                fflush(stdout);
                if (elapsed() >= nextReport) nextReport += reportEvery;
            }
        }
        pauseSeconds(0.2);
    }
    doneWatcher.join();
    bool alive = daemonAlive();
    samples.push_back(sampleDaemon());

    clientsQuit = true;
    messageThread.join();
    for (std::thread& poller : pollers) poller.join();
    int unread = 0;
    if (silent >= 0) {
        ioctl(silent, FIONREAD, &unread);
        close(silent);
    }
    // What the daemon left out of its log is counted there once its minute is over, up to a minute after the
    // last repeat, and the reader may still be behind the acquisition.
    waitFor(
        125,
        [&]() {
            std::map<std::string, long> seen = logWatcher.counters();
            return seen["rejected announcements"] == acquisitionCounts.junkRejectionsExpected &&
                   seen["status requests refused"] == pollerStats[1].errorReplies &&
                   seen["copy errors"] == messages.counts()[4];
        },
        0.5);
    logWatcher.stop();
    std::map<std::string, long> logCounts = logWatcher.counters();

    // ---- final checks
    if (!alive && daemonPid > 0) giveUp("the daemon is not running at the end");
    if (acquisitionCounts.enospc > 0)
        failures.add("the RAM disk refused " + std::to_string(acquisitionCounts.enospc) + " writes for lack of space");
    if (logCounts["rejected announcements"] != acquisitionCounts.junkRejectionsExpected && !stopping)
        failures.add("junk lines: " + std::to_string(logCounts["rejected announcements"]) + " rejected, expected " +
                     std::to_string(acquisitionCounts.junkRejectionsExpected));
    if (logCounts["status requests refused"] != pollerStats[1].errorReplies)
        failures.add("status: " + std::to_string(pollerStats[1].errorReplies) + " malformed requests answered, " +
                     std::to_string(logCounts["status requests refused"]) + " logged");
    if (logCounts["clients closed at a time-out"] < hostileCounts.timedOutClients)
        failures.add("hostile: " + std::to_string(hostileCounts.timedOutClients) + " status clients closed, " +
                     std::to_string(logCounts["clients closed at a time-out"]) + " time-out lines");
    if (logCounts["unknown actions"] != hostileCounts.unknownActions)
        failures.add("hostile: " + std::to_string(hostileCounts.unknownActions) + " unknown actions answered, " +
                     std::to_string(logCounts["unknown actions"]) + " logged");
    if (logCounts["longest unknown-action line"] > 600)
        failures.add("hostile: an unknown action was logged in " +
                     std::to_string(logCounts["longest unknown-action line"]) + " bytes");
    if (hostileCounts.bursts > 0 && logCounts["refusal lines"] == 0)
        failures.add("hostile: no message client past the bound was refused");
    if (logCounts["pipe EOF"] > 0)
        failures.add("the pipe reader met end of file " + std::to_string(logCounts["pipe EOF"]) + " times");
    std::map<int32_t, long> byCode = messages.counts();
    if (byCode[4] != logCounts["copy errors"])
        failures.add(std::to_string(byCode[4]) + " copy-error messages but " +
                     std::to_string(logCounts["copy errors"]) + " copy-error log lines");
    if (messages.duplicates() > 0)
        failures.add(std::to_string(messages.duplicates()) + " copy errors reported twice for one destination");
    if (checkCounts.shifts < acquisitionCounts.shifts && !stopping)
        failures.add("only " + std::to_string(checkCounts.shifts) + " of " + std::to_string(acquisitionCounts.shifts) +
                     " shifts were checked");

    // Resources: warm-up is the first 30 s (or a fifth of the run, if longer).
    double warmUp = std::max(30.0, seconds / 5);
    Sample warm;
    for (const Sample& sample : samples) {
        if (sample.at > warmUp + 5) break;
        if (sample.at >= warmUp - 5 || warm.rssKiB < 0) warm = sample;
    }
    Sample peak, final = samples.back();
    for (const Sample& sample : samples) {
        peak.rssKiB = std::max(peak.rssKiB, sample.rssKiB);
        peak.threads = std::max(peak.threads, sample.threads);
        peak.descriptors = std::max(peak.descriptors, sample.descriptors);
    }
    if (alive) {
        checkBounded("VmRSS (KiB)", warm.rssKiB, final.rssKiB, 16 * 1024);
        checkBounded("threads", warm.threads, final.threads, 8);
        checkBounded("open descriptors", warm.descriptors, final.descriptors, 16);
    }

    // ---- figures
    printf("\n=== soak summary (seed %llu, %.0f s acquisition, %.0f s in all)\n", static_cast<unsigned long long>(seed),
           seconds, elapsed());
    printf("daemon: %s; VmRSS KiB warm-up %ld peak %ld final %ld; threads %ld/%ld/%ld; fds %ld/%ld/%ld\n",
           alive ? "alive" : "DEAD", warm.rssKiB, peak.rssKiB, final.rssKiB, warm.threads, peak.threads, final.threads,
           warm.descriptors, peak.descriptors, final.descriptors);
    printf("acquisition: %d shifts, %ld files (%ld large), %.1f MiB, %ld announced files that never existed\n",
           acquisitionCounts.shifts.load(), acquisitionCounts.files.load(), acquisitionCounts.largeFiles,
           acquisitionCounts.bytes / double(MiB), acquisitionCounts.ghosts);
    printf("RAM disk: max %.1f%% before a write, %ld waits above 90%% (%.1f s in all), %ld writes refused (ENOSPC)\n",
           acquisitionCounts.ramMaxPercent, acquisitionCounts.ramWaits, acquisitionCounts.ramWaitSeconds,
           acquisitionCounts.enospc);
    printf(
        "checked: %ld shifts; intact copies internal %ld, external %ld, optional %ld; failures reported "
        "%ld/%ld/%ld; %ld kept INTERNAL copies checked; %ld partial .tmp files left by failed copies\n",
        checkCounts.shifts, checkCounts.copiesChecked[0], checkCounts.copiesChecked[1], checkCounts.copiesChecked[2],
        checkCounts.failuresReported[0], checkCounts.failuresReported[1], checkCounts.failuresReported[2],
        checkCounts.keptChecked, checkCounts.temporariesLeft);
    printf(
        "faults: EXTERNAL read-only %d times (%d not reached, %d busy remount attempts), OPTIONAL full %d times "
        "(%.1f MiB of filler in all); pipe writer reopened %ld times (%ld with a pause); %ld junk lines\n",
        faultCounts.readOnlyWindows, faultCounts.readOnlyNotReached, faultCounts.readOnlyAttemptsBusy,
        faultCounts.fullWindows, faultCounts.fillerBytes / double(MiB), acquisitionCounts.writerReopens,
        acquisitionCounts.writerAbsences, acquisitionCounts.junkLines);
    printf("messages: %ld frames read;", frames);
    for (const auto& code : byCode) printf(" code %d: %ld;", code.first, code.second);
    printf(" %d bytes waiting unread at the silent client\n", unread);
    printf("status: %ld + %ld + %ld replies, %ld syntax-error replies, %ld connections\n",
           pollerStats[0].replies.load(), pollerStats[1].replies.load(), pollerStats[2].replies.load(),
           pollerStats[1].errorReplies.load(),
           pollerStats[0].connections + pollerStats[1].connections + pollerStats[2].connections);
    printf("hostile: %d bursts, %ld status clients closed at their time-outs, %ld unknown actions\n",
           hostileCounts.bursts, hostileCounts.timedOutClients, hostileCounts.unknownActions);
    printf("log:");
    for (const auto& count : logCounts) printf(" %s %ld;", count.first.c_str(), count.second);
    printf(" (%ld junk rejections expected)\n", acquisitionCounts.junkRejectionsExpected);

    size_t failed = failures.count();
    if (interrupted) failures.add("interrupted");
    cleanUp(failed == 0 && !interrupted && !keep);
    if (failures.count() == 0) {
        printf("soak: PASSED\n");
        return 0;
    }
    printf("soak: FAILED (%zu problems%s)\n", failures.count(),
           keep || failed ? (", log kept in " + layout.logPath).c_str() : "");
    for (const std::string& text : failures.first()) printf("  - %s\n", text.c_str());
    return 1;
}
