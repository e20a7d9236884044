// Measures the copy path of the real daemon end to end: announcement lines
// written into its named pipe, copies made by one INTERNAL storage with two
// copy workers, from a tmpfs "RAM disk" into a tmpfs target. The daemon runs
// as a separate process in a sandbox given to it as VELLORT_ROOT.
//
//   (a) many small files announced as fast as the pipe takes them: the time
//       until the last copy exists, next to `cp -a` and, where installed,
//       `rsync -a` of the same tree and the bare copy method (UTILITIES::copy
//       on two threads), for a number of rounds, alternating;
//   (b) a few large files, the same way;
//   (c) the delay from an announcement to its copy, for small files announced
//       one every millisecond, seen through inotify on the target directory,
//       without a journal and with one, for a number of rounds: each round
//       starts a daemon of each kind in turn, alternating which comes first.
//       The journal is a fresh SQLite file in the sandbox, on the file
//       system of /tmp, not on a tmpfs, as a journal would lie on a disk;
//       --journal-on-tmpfs puts it on a tmpfs of its own instead, where its
//       syncs cost nothing, to tell their share of the delay from the rest.
//
// Needs root (tmpfs mounts). Each case ends with a line "RESULT key=value ..."
// for scripts.
//
//   daemon_copy_bench [--vellort PATH] [--small-files N] [--small-kb K] [--large-files N] [--large-mb M]
//                     [--rounds R] [--latency-files N] [--latency-interval-us U] [--latency-rounds R]
//                     [--journal-on-tmpfs] [--no-rsync] [--verify] [--scrape] [--status-page]
//                     [--memory] [--disk DIR] [--setting 'KEY VALUE' ...]
//
// --memory runs (a) and (b) once, with the daemon alone, for the growth of its
// resident memory per file held. --verify measures (a) and (b) with verify_copies off and on instead, one
// daemon of each kind per round, and nothing else. --scrape does the same
// with daemons that serve metrics, scraped ten times a second in the "on"
// turns and not at all in the others; --status-page the same with five
// clients each fetching /status.json every 2 s, as five open status pages do.
//
// --disk DIR puts the target on ext4 on a loop device whose image lies in DIR
// (on the machine's disk, never a tmpfs), where a copy costs its flush, and
// times what the daemon has booked, which it does once the copy is on the
// disk: (a) and (b) until every copy is booked, against `cp -a` of the same
// tree followed by one `sync`, one daemon for all rounds, which goes first
// alternating; (c) to each file's booking, from the status service's count of
// copied files (asked about every quarter millisecond: the k-th booking is
// matched to the k-th announcement), next to the buckets of the daemon's own
// histogram vellort_copy_delay_seconds. With --verify, every daemon of the run
// verifies its copies.

#include <errno.h>
#include <dirent.h>
#include <fcntl.h>
#include <math.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/DaemonBench.h"
#include "bench/Ext4Image.h"
#include "bench/Median.h"
#include "copy/CopyEngine.h"
#include "util/TrustedTree.h"

const char* const benchName = "daemon_copy_bench";

namespace {

const uint64_t MiB = 1024 * 1024;

struct Options {
    std::string vellort;
    long smallFiles = 20000;
    long smallKiB = 4;
    long largeFiles = 4;
    long largeMiB = 512;
    long latencyFiles = 2000;
    long latencyIntervalUs = 1000;
    long latencyRounds = 5;
    long rounds = 3;
    bool rsync = true;  // off with --no-rsync, or when rsync is not installed
    bool journalOnTmpfs = false;
    bool verify = false;      // --verify: the throughput cases with verify_copies on and off instead
    bool scrape = false;      // --scrape: the throughput cases with and without a metrics scrape 10 times a second
    bool statusPage = false;  // --status-page: as --scrape, with five status pages fetching /status.json
    bool memoryOnly = false;  // --memory: one round of the daemon alone, for its resident memory per file
    std::string disk;         // --disk DIR: the target on ext4 in an image in DIR, copies timed until booked
};

std::unique_ptr<Ext4Image> disk;  // --disk: the target; released by cleanUp()
// Lines added to the measured daemon's configuration (--setting).
std::string extraSettings;

// At a signal, while the main thread may still use the disk and the mounts.
void cleanUpAtSignal() {
    killDaemon();
    if (disk) disk->release();
    removeSandboxAtSignal();
}

void cleanUp() {
    killDaemon();
    disk.reset();  // before the sandbox, which holds its mount point
    removeSandbox();
}

}  // namespace

void die(const std::string& message) {
    fprintf(stderr, "daemon_copy_bench: %s\n", message.c_str());
    tellOfDaemon();
    cleanUp();
    exit(1);
}

namespace {

// The tree of makeTree(), or the end of the run.
std::vector<std::string> makeTree(const std::string& root, const std::string& stem, long count, uint64_t bytes) {
    std::vector<std::string> files;
    std::string problem;
    if (!::makeTree(root, stem, count, bytes, files, problem)) die(problem);
    return files;
}

// The configuration of the measured daemon: one INTERNAL storage with two
// copy workers, and a journal when `journal` is not empty.
std::string configText(const std::string& ramdisk, const std::string& target, const std::string& journal,
                       bool verify = false, int metricsPort = 0) {
    std::string text = "logfile " + logPath() + "\nramdisk_mountpoint " + ramdisk + "\nmessage_port " +
                       std::to_string(unusedPort()) + "\nstatus_port " + std::to_string(statusPort = unusedPort()) +
                       "\n";
    if (!journal.empty()) text += "journal " + journal + "\n";
    if (verify) text += "verify_copies yes\n";
    if (metricsPort > 0) text += "metrics_port " + std::to_string(metricsPort) + "\n";
    text += extraSettings;
    return text + "storageID disk\ntype INTERNAL\ntarget " + target + "\nmountpoint " + target +
           "\nn_copy_processes 2\n";
}

// Waits until every copy exists, looking at them in announcement order (the
// workers copy in that order); returns the time the last one was seen.
double waitForCopies(const std::string& target, const std::vector<std::string>& files, double timeout) {
    double deadline = seconds() + timeout;
    // The last announced file is among the last copied: waiting for it first
    // keeps the polling from taking the cores the daemon copies with.
    std::vector<std::string> order;
    if (!files.empty()) order.push_back(files.back());
    order.insert(order.end(), files.begin(), files.end());
    for (const std::string& file : order) {
        while (!fileExists(target + "/" + file)) {
            if (seconds() > deadline)
                die("no copy " + target + "/" + file + " after " + std::to_string(timeout) + " s");
            usleep(500);  // a poll every 100 us took a twentieth of a core from the daemon
        }
    }
    return seconds();
}

double timeCommand(const std::string& command) {
    double start = seconds();
    if (runShell(command) != 0) die(command + " failed");
    return seconds() - start;
}

double timeCpA(const std::string& from, const std::string& to) {
    return timeCommand("cp -a '" + from + "' '" + to + "'");
}

// The trailing slashes copy the tree's content into the new directory, as
// `cp -a` does into a destination that does not exist yet.
double timeRsyncA(const std::string& from, const std::string& to) {
    return timeCommand("rsync -a '" + from + "/' '" + to + "/'");
}

// How many copy jobs the daemon has started so far, from its log.
long copyJobs() {
    FILE* log = fopen(logPath().c_str(), "r");
    if (log == nullptr) return -1;
    long jobs = 0;
    char line[4096];
    while (fgets(line, sizeof line, log) != nullptr)
        if (strcmp(line, "disk: Copy job started\n") == 0) ++jobs;
    fclose(log);
    return jobs;
}

// Makes what the last round left or removed on the disk durable, so that the
// next round's flushes do not pay for it.
void flushDisk(const std::string& target) {
    const int fd = open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || syncfs(fd) != 0) die("syncfs " + target + ": " + strerror(errno));
    close(fd);
}

// The daemon's resident memory in bytes, from /proc; -1 when unknown.
long residentBytes() {
    FILE* file = fopen(("/proc/" + std::to_string(daemonPid) + "/status").c_str(), "r");
    if (file == nullptr) return -1;
    long kiB = -1;
    char line[256];
    while (fgets(line, sizeof line, file) != nullptr)
        if (sscanf(line, "VmRSS: %ld kB", &kiB) == 1) break;
    fclose(file);
    return kiB < 0 ? -1 : kiB * 1024;
}

// The bytes of a size setting given with --setting, as the daemon reads it
// (a number with an optional K, M or G), or `fallback`.
long settingBytes(const std::string& key, long fallback) {
    const std::string prefix = key + " ";
    for (size_t at = 0; (at = extraSettings.find(prefix, at)) != std::string::npos; at += prefix.size()) {
        if (at > 0 && extraSettings[at - 1] != '\n') continue;
        char* end = nullptr;
        const long number = strtol(extraSettings.c_str() + at + prefix.size(), &end, 10);
        const char unit = static_cast<char>(toupper(static_cast<unsigned char>(*end)));
        return number << (unit == 'K' ? 10 : unit == 'M' ? 20 : unit == 'G' ? 30 : 0);
    }
    return fallback;
}

// The bare copy method: UTILITIES::copy on `threads` threads, each taking the
// next file of a shared count, with the daemon's buffer size. Seconds taken.
double timeBareCopies(const std::string& ramdisk, const std::string& target, const std::vector<std::string>& files,
                      int threads, size_t bufferSize) {
    std::atomic<size_t> next(0);
    auto work = [&] {
        TrustedTree from(ramdisk);
        TrustedTree to(target);
        std::vector<char> buffer(bufferSize);
        for (size_t i; (i = next.fetch_add(1)) < files.size();) {
            UTILITIES::CopyRequest request(from, files[i], to, "bare-" + files[i]);
            request.preserveUid = true;
            request.preserveGid = true;
            request.buffer = &buffer;
            if (UTILITIES::copy(request) < 0) die("bare copy of " + files[i] + ": " + strerror(errno));
        }
    };
    const double start = seconds();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) workers.emplace_back(work);
    for (std::thread& worker : workers) worker.join();
    return seconds() - start;
}

// Announces a tree in one go and times its copies, then cp -a and the bare
// copy method of the same tree, round after round; the copies are removed
// after each round, so that the next round's announcements of the same files
// meet no copy. Ratios are given for the best round of each and as the
// median of the rounds' own ratios.
void throughputCase(const char* title, FifoWriter& pipe, const std::string& ramdisk, const std::string& target,
                    const std::string& stem, long count, uint64_t bytes, long rounds, bool rsync, bool memoryOnly) {
    if (count <= 0) return;
    std::vector<std::string> files = makeTree(ramdisk, stem, count, bytes);
    std::string announcements;
    for (const std::string& file : files) announcements += ramdisk + "/./" + file + "\n";
    double total = static_cast<double>(bytes) * files.size();
    printf("%s: %zu files of %.0f KiB, %.1f MB\n", title, files.size(), bytes / 1024.0, total / 1e6);

    const size_t bufferSize = static_cast<size_t>(settingBytes("copy_buffer_size", 8192));
    double daemonBest = 0, cpBest = 0, rsyncBest = 0, bareBest = 0;
    std::vector<double> toCp, toBare;
    const long residentBefore = residentBytes();
    for (long round = 1; round <= rounds; ++round) {
        long jobsBefore = copyJobs();
        const double cpuBefore = cpuSecondsOf(daemonPid);
        double start = seconds();
        writeAll(pipe, announcements);
        double written = seconds() - start;
        double elapsed = waitForCopies(target, files, 600) - start;
        long jobs = copyJobs() - jobsBefore;
        const double daemonCores = (cpuSecondsOf(daemonPid) - cpuBefore) / elapsed;
        if (memoryOnly) {
            const long resident = residentBytes();
            printf("  daemon %.3f s, %ld copy jobs; resident memory %.1f MiB, %.0f bytes more per file held\n\n",
                   elapsed, jobs, resident / 1048576.0, static_cast<double>(resident - residentBefore) / files.size());
            printf("RESULT daemon.%s.bytes_per_file=%.0f\n\n", stem.c_str(),
                   static_cast<double>(resident - residentBefore) / files.size());
            removeCopies(target + "/" + stem);
            removeCopies(ramdisk + "/" + stem);
            return;
        }
        double cp = timeCpA(ramdisk + "/" + stem, target + "/cp-" + stem);
        printf(
            "  round %ld daemon %8.3f s %9.0f files/s %8.1f MB/s  (announced in %.3f s, %ld copy jobs, %.2f cores)\n",
            round, elapsed, files.size() / elapsed, total / elapsed / 1e6, written, jobs, daemonCores);
        printf("  round %ld cp -a  %8.3f s %9.0f files/s %8.1f MB/s\n", round, cp, files.size() / cp, total / cp / 1e6);
        // Every file of the first round is held, copied, until the RAM disk
        // fills or the shift ends: what each costs the daemon's memory.
        const long resident = residentBytes();
        if (round == 1 && residentBefore > 0 && resident > 0)
            printf("  round 1 daemon resident memory %.1f MiB, %.0f bytes more per file held\n", resident / 1048576.0,
                   static_cast<double>(resident - residentBefore) / files.size());
        const double ownBefore = cpuSeconds();
        const double bare = timeBareCopies(ramdisk, target, files, 2, bufferSize);
        printf("  round %ld bare   %8.3f s %9.0f files/s %8.1f MB/s  (2 threads, %zu-byte buffer, %.2f cores)\n", round,
               bare, files.size() / bare, total / bare / 1e6, bufferSize, (cpuSeconds() - ownBefore) / bare);
        fflush(stdout);
        removeCopies(target + "/" + stem);
        removeCopies(target + "/cp-" + stem);
        removeCopies(target + "/bare-" + stem);
        toCp.push_back(cp / elapsed);
        toBare.push_back(bare / elapsed);
        if (round == 1 || bare < bareBest) bareBest = bare;
        if (rsync) {
            double copy = timeRsyncA(ramdisk + "/" + stem, target + "/rsync-" + stem);
            printf("  round %ld rsync -a %6.3f s %9.0f files/s %8.1f MB/s\n", round, copy, files.size() / copy,
                   total / copy / 1e6);
            fflush(stdout);
            removeCopies(target + "/rsync-" + stem);
            if (round == 1 || copy < rsyncBest) rsyncBest = copy;
        }
        if (round == 1 || elapsed < daemonBest) daemonBest = elapsed;
        if (round == 1 || cp < cpBest) cpBest = cp;
    }
    printf("  best: daemon %.0f files/s %.1f MB/s, cp -a %.0f files/s %.1f MB/s, ratio daemon rate / cp -a rate %.2f\n",
           files.size() / daemonBest, total / daemonBest / 1e6, files.size() / cpBest, total / cpBest / 1e6,
           cpBest / daemonBest);
    if (rsync)
        printf("  best: rsync -a %.0f files/s %.1f MB/s, ratio daemon rate / rsync -a rate %.2f\n",
               files.size() / rsyncBest, total / rsyncBest / 1e6, rsyncBest / daemonBest);
    printf("  best: bare %.0f files/s %.1f MB/s, ratio daemon rate / bare rate %.2f\n", files.size() / bareBest,
           total / bareBest / 1e6, bareBest / daemonBest);
    printf("  median of the rounds' ratios: daemon / cp -a %.2f, daemon / bare %.2f\n", median(toCp), median(toBare));
    // Small files are counted in files/s, large ones in MB/s: what limits each.
    bool small = stem == "small";
    double scale = small ? static_cast<double>(files.size()) : total / 1e6;
    printf("RESULT daemon.%s.%s=%.1f cp=%.1f", stem.c_str(), small ? "files_per_s" : "MB_per_s", scale / daemonBest,
           scale / cpBest);
    if (rsync) printf(" rsync=%.1f", scale / rsyncBest);
    printf(" bare=%.1f median_to_cp=%.2f median_to_bare=%.2f\n\n", scale / bareBest, median(toCp), median(toBare));
    removeCopies(ramdisk + "/" + stem);  // only holds memory now
    fflush(stdout);
}

// On the disk: a tree announced in one go, timed until the daemon has booked
// every copy, which it does once they are flushed; against `cp -a` of the
// same tree to a fresh folder of the same file system followed by one
// `sync`, as a careful user would script it. One daemon for all rounds; in
// each, both run, which goes first alternating, each after the last round's
// copies were removed and that removal was flushed. Reports the medians of
// the times and of the per-round ratios of the rates.
void durableCase(const char* title, const std::string& vellort, const std::string& ramdisk, const std::string& target,
                 const std::string& stem, long count, uint64_t bytes, long rounds, bool verify) {
    if (count <= 0) return;
    const std::vector<std::string> files = makeTree(ramdisk, stem, count, bytes);
    std::string announcements;
    for (const std::string& file : files) announcements += ramdisk + "/./" + file + "\n";
    const double total = static_cast<double>(bytes) * files.size();
    printf("%s: %zu files of %.0f KiB, %.1f MB, until booked (on the disk)%s\n", title, files.size(), bytes / 1024.0,
           total / 1e6, verify ? ", verify_copies yes" : "");
    startDaemon(vellort, configText(ramdisk, target, "", verify));
    FifoWriter pipe(pipePath());
    openPipe(pipe);
    std::unique_ptr<StatusClient> status = statusClient();
    // The first 2 GiB written into a fresh file system took four to seven
    // times as long here as the next: an untimed copy takes them.
    timeCommand("cp -a '" + ramdisk + "/" + stem + "' '" + target + "/cp-" + stem + "' && sync");
    std::vector<double> daemonTimes, cpTimes, ratios;
    for (long round = 1; round <= rounds; ++round) {
        double elapsed = 0, cp = 0;
        for (int turn = 0; turn < 2; ++turn) {
            removeCopies(target + "/" + stem);
            removeCopies(target + "/cp-" + stem);
            if (system(("rm -f " + target + "/vellort-manifest-*").c_str()) != 0) die("cannot remove the manifests");
            flushDisk(target);
            if ((turn + round) % 2 == 0) {  // cp first in even rounds
                cp = timeCommand("cp -a '" + ramdisk + "/" + stem + "' '" + target + "/cp-" + stem + "' && sync");
                continue;
            }
            const long before = bookedCopies(*status), jobsBefore = copyJobs();
            const double cpuBefore = cpuSecondsOf(daemonPid), start = seconds();
            writeAll(pipe, announcements);
            elapsed = waitForBookings(*status, before + count, 600, 2000) - start;
            printf("  round %ld daemon        %8.3f s %9.0f files/s %8.1f MB/s  (%ld copy jobs, %.2f cores)\n", round,
                   elapsed, count / elapsed, total / elapsed / 1e6, copyJobs() - jobsBefore,
                   (cpuSecondsOf(daemonPid) - cpuBefore) / elapsed);
        }
        printf("  round %ld cp -a + sync  %8.3f s %9.0f files/s %8.1f MB/s  daemon / cp -a + sync %.2f\n", round, cp,
               count / cp, total / cp / 1e6, cp / elapsed);
        fflush(stdout);
        daemonTimes.push_back(elapsed);
        cpTimes.push_back(cp);
        ratios.push_back(cp / elapsed);
    }
    pipe.close();
    stopDaemon();
    removeCopies(target + "/" + stem);
    removeCopies(target + "/cp-" + stem);
    removeCopies(ramdisk + "/" + stem);
    const bool small = stem == "small";
    const double scale = small ? static_cast<double>(count) : total / 1e6;
    printf("  medians of %ld rounds: daemon %.3f s, cp -a + sync %.3f s; daemon / cp -a + sync %.2f\n", rounds,
           median(daemonTimes), median(cpTimes), median(ratios));
    printf("RESULT daemon.disk%s.%s.%s=%.1f cp_sync=%.1f median_to_cp_sync=%.2f\n\n", verify ? "_verify" : "",
           stem.c_str(), small ? "files_per_s" : "MB_per_s", scale / median(daemonTimes), scale / median(cpTimes),
           median(ratios));
    fflush(stdout);
}

// Bytes in the manifests of the target's top directory, by their size alone:
// the measured daemon must not share its cores with a reader.
long manifestBytes(const std::string& target) {
    long bytes = 0;
    DIR* dir = opendir(target.c_str());
    struct stat status;
    for (struct dirent* entry = dir ? readdir(dir) : nullptr; entry != nullptr; entry = readdir(dir))
        if (strncmp(entry->d_name, "vellort-manifest-", 17) == 0 &&
            stat((target + "/" + entry->d_name).c_str(), &status) == 0)
            bytes += status.st_size;
    if (dir) closedir(dir);
    return bytes;
}

// GET `path` every `intervalMicroseconds` until `stop`; the scrapes that got a whole reply.
long scrapeUntil(int port, const std::atomic<bool>& stop, const std::string& path = "/metrics",
                 useconds_t intervalMicroseconds = 100000) {
    long scrapes = 0;
    while (!stop) {
        if (!fetch(port, path).empty()) ++scrapes;
        for (useconds_t slept = 0; slept < intervalMicroseconds && !stop; slept += 100000) usleep(100000);
    }
    return scrapes;
}

// One tree copied by a daemon with verify_copies off and one with it on, in
// turn (which goes first alternates), for a number of rounds: the time until
// the last copy exists, and with verification until the last one is listed
// in the manifest, that is verified. Reports the median of the per-round
// ratios of the rates, on to off.
void verifyCase(const char* title, const std::string& vellort, const std::string& ramdisk, const std::string& target,
                const std::string& stem, long count, uint64_t bytes, long rounds, bool scrape, bool statusPage) {
    if (count <= 0) return;
    std::vector<std::string> files = makeTree(ramdisk, stem, count, bytes);
    std::string announcements;
    for (const std::string& file : files) announcements += ramdisk + "/./" + file + "\n";
    const double total = static_cast<double>(bytes) * files.size();
    long listed = 0;  // the manifest's size once every copy is verified: hash, two blanks, path, newline
    for (const std::string& file : files) listed += 32 + 2 + static_cast<long>(file.size()) + 1;
    const char* variant = statusPage ? "5 status pages" : scrape ? "metrics scraped 10/s" : "verify_copies";
    printf("%s: %zu files of %.0f KiB, %.1f MB, %s off and on\n", title, files.size(), bytes / 1024.0, total / 1e6,
           variant);
    long scrapes = 0;
    std::vector<double> ratios;
    for (long round = 1; round <= rounds; ++round) {
        double elapsed[2] = {0, 0};
        for (int turn = 0; turn < 2; ++turn) {
            const bool on = (turn + round) % 2 == 0, verify = on && !scrape;
            const int port = scrape ? unusedPort() : 0;
            startDaemon(vellort, configText(ramdisk, target, "", verify, port));
            FifoWriter pipe(pipePath());
            openPipe(pipe);
            std::atomic<bool> stop{false};
            std::thread scraper;
            std::vector<std::thread> pages;
            std::atomic<long> fetched{0};
            if (scrape && on && !statusPage) scraper = std::thread([&]() { scrapes += scrapeUntil(port, stop); });
            if (statusPage && on)
                for (int page = 0; page < 5; ++page)
                    pages.emplace_back([&]() { fetched += scrapeUntil(port, stop, "/status.json", 2000000); });
            const double start = seconds();
            writeAll(pipe, announcements);
            double end = waitForCopies(target, files, 600);
            stop = true;
            if (scraper.joinable()) scraper.join();
            for (std::thread& page : pages) page.join();
            scrapes += fetched;
            if (verify) {
                while (manifestBytes(target) < listed) usleep(100);
                end = seconds();
            }
            elapsed[on] = end - start;
            pipe.close();
            stopDaemon();
            removeCopies(target + "/" + stem);
            system(("rm -f " + target + "/vellort-manifest-*").c_str());
        }
        ratios.push_back(elapsed[0] / elapsed[1]);
        printf("  round %ld off %8.3f s %9.0f files/s %8.1f MB/s | on %8.3f s %9.0f files/s %8.1f MB/s | on/off %.2f\n",
               round, elapsed[0], files.size() / elapsed[0], total / elapsed[0] / 1e6, elapsed[1],
               files.size() / elapsed[1], total / elapsed[1] / 1e6, ratios.back());
        fflush(stdout);
    }
    std::sort(ratios.begin(), ratios.end());
    if (scrape) printf("  %ld whole scrapes in the \"on\" turns\n", scrapes);
    printf("RESULT %s.%s.rate_on_over_off=%.3f (median of %zu rounds)\n\n",
           statusPage ? "status_page"
           : scrape   ? "scrape"
                      : "verify",
           stem.c_str(), ratios[ratios.size() / 2], ratios.size());
    removeCopies(ramdisk + "/" + stem);
    fflush(stdout);
}

// Delays of one latency round, in milliseconds. On the disk also the mean
// time between two answers of the status service, in microseconds (what a
// booking's time is known to), and the upper bounds of the buckets of the
// daemon's own histogram that hold the median and the 99th percentile.
struct Delays {
    double min, p50, p90, p99, max;
    double pollUs = 0, histogramP50 = 0, histogramP99 = 0;
};

// The files of the latency rounds on the RAM disk: `count` to measure and a
// few to warm the daemon up with; returns the announcement lines of both.
void makeLatencyFiles(const std::string& ramdisk, long count, std::vector<std::string>& lines,
                      std::vector<std::string>& warmUpLines, std::vector<std::string>& warmUpFiles) {
    mkdir((ramdisk + "/lat").c_str(), 0755);
    for (long i = 0; i < count; ++i) {
        std::string name = "lat/l_" + std::to_string(i) + ".cbf";
        writeWhole(ramdisk + "/" + name, std::string(4096, static_cast<char>('a' + i % 26)));
        lines.push_back(ramdisk + "/./" + name + "\n");
    }
    for (int i = 0; i < 20; ++i) {
        std::string name = "lat/w_" + std::to_string(i) + ".cbf";
        writeWhole(ramdisk + "/" + name, std::string(4096, 'w'));
        warmUpLines.push_back(ramdisk + "/./" + name + "\n");
        warmUpFiles.push_back(name);
    }
}

// The time each copy of the latency files was renamed into place, from
// inotify on their target folder, until all were or none came for 20 s.
void watchRenames(int inotify, std::vector<double>& arrived) {
    const long count = static_cast<long>(arrived.size());
    long seen = 0;
    char buffer[64 * 1024] __attribute__((aligned(__alignof__(struct inotify_event))));
    while (seen < count) {
        struct pollfd ready = {inotify, POLLIN, 0};
        if (poll(&ready, 1, 20000) <= 0) return;  // the main thread reports the missing copies
        ssize_t got = read(inotify, buffer, sizeof buffer);
        double at = seconds();
        for (ssize_t offset = 0; offset < got;) {
            const struct inotify_event* event = reinterpret_cast<const struct inotify_event*>(buffer + offset);
            long index;
            if (event->len > 0 && sscanf(event->name, "l_%ld.cbf", &index) == 1 && index >= 0 && index < count &&
                arrived[index] == 0) {
                arrived[index] = at;
                ++seen;
            }
            offset += sizeof(struct inotify_event) + event->len;
        }
    }
}

// The time each latency file was booked, that is flushed to the disk: the
// status service is asked for the count of booked copies about every quarter
// millisecond, and the reply that first counts k more than `base` gives the
// k-th file's time. The workers take the files in announcement order, two at a
// time, so a booking may be matched to its neighbour's announcement. Returns
// the mean time between two replies, in microseconds.
double watchBookings(StatusClient& status, long base, std::vector<double>& arrived, double timeout) {
    const long count = static_cast<long>(arrived.size());
    const double first = seconds();
    double at = first;
    long seen = 0, polls = 0;
    while (seen < count && at < first + timeout) {
        const long booked = bookedCopies(status) - base;
        at = seconds();
        ++polls;
        for (; seen < count && seen < booked; ++seen) arrived[seen] = at;
        usleep(250);  // a pause, so that the answers take little processor time from the copy workers
    }
    return (at - first) / polls * 1e6;
}

// The cumulative counts of the daemon's histogram vellort_copy_delay_seconds
// (observed at each booking), by upper bound in seconds, from its metrics service.
std::vector<std::pair<double, double>> delayHistogram(int port) {
    const std::string text = fetch(port, "/metrics"), series = "\nvellort_copy_delay_seconds_bucket{";
    std::vector<std::pair<double, double>> buckets;
    for (size_t at = 0; (at = text.find(series, at)) != std::string::npos; at += series.size()) {
        const size_t bound = text.find("le=\"", at), count = text.find("} ", at);
        if (bound == std::string::npos || count == std::string::npos) break;
        buckets.emplace_back(text.compare(bound + 4, 4, "+Inf") == 0 ? HUGE_VAL : atof(text.c_str() + bound + 4),
                             atof(text.c_str() + count + 2));
    }
    if (buckets.empty()) die("no vellort_copy_delay_seconds from the metrics service on port " + std::to_string(port));
    return buckets;
}

// The upper bound, in milliseconds, of the bucket holding the `share`
// quantile of what the histogram observed between `before` and `after`.
double bucketQuantile(const std::vector<std::pair<double, double>>& before,
                      const std::vector<std::pair<double, double>>& after, double share) {
    for (size_t i = 0; i < after.size() && i < before.size(); ++i)
        if (after[i].second - before[i].second >= share * (after.back().second - before.back().second))
            return after[i].first * 1e3;
    return HUGE_VAL;
}

// Announces one file every interval to a freshly started daemon and takes
// the delay to the rename of its copy into place from inotify, or with a
// status client, the delay to its booking. A few files announced and copied
// first take the daemon past its start.
Delays latencyRound(FifoWriter& pipe, const std::string& target, const std::vector<std::string>& lines,
                    const std::vector<std::string>& warmUpLines, const std::vector<std::string>& warmUpFiles,
                    long intervalUs, StatusClient* status, int metricsPort) {
    const long count = static_cast<long>(lines.size());
    std::string watched = target + "/lat";
    removeCopies(watched);         // the last round's copies: a copy found complete is not made anew
    mkdir(watched.c_str(), 0755);  // the target folder exists, as after the first copy
    if (status != nullptr) flushDisk(target);
    for (const std::string& line : warmUpLines) {
        writeAll(pipe, line);
        usleep(static_cast<useconds_t>(intervalUs));
    }
    waitForCopies(target, warmUpFiles, 60);
    std::vector<double> sent(count, 0), arrived(count, 0);
    std::vector<std::pair<double, double>> histogram;
    double pollUs = 0;
    int inotify = -1;
    std::thread watcher;
    if (status != nullptr) {
        waitForBookings(*status, static_cast<long>(warmUpFiles.size()), 60, 2000);
        histogram = delayHistogram(metricsPort);
        const long base = bookedCopies(*status);
        watcher =
            std::thread([&, base] { pollUs = watchBookings(*status, base, arrived, 60 + count * intervalUs / 1e6); });
    } else {
        inotify = inotify_init1(IN_CLOEXEC);
        if (inotify < 0 || inotify_add_watch(inotify, watched.c_str(), IN_MOVED_TO) < 0)
            die(std::string("inotify: ") + strerror(errno));
        watcher = std::thread([&] { watchRenames(inotify, arrived); });
    }

    struct timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (long i = 0; i < count; ++i) {
        next.tv_nsec += intervalUs * 1000;
        while (next.tv_nsec >= 1000000000) {
            next.tv_nsec -= 1000000000;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        sent[i] = seconds();
        writeAll(pipe, lines[i]);
    }
    watcher.join();
    if (inotify >= 0) close(inotify);

    std::vector<double> delays;
    for (long i = 0; i < count; ++i)
        if (arrived[i] > 0) delays.push_back((arrived[i] - sent[i]) * 1e3);
    if (delays.size() != static_cast<size_t>(count))
        die("only " + std::to_string(delays.size()) + " of " + std::to_string(count) + " latency copies were seen");
    std::sort(delays.begin(), delays.end());
    auto at = [&](double share) {
        return delays[std::min(delays.size() - 1, static_cast<size_t>(share * delays.size()))];
    };
    Delays result{delays.front(), at(0.50), at(0.90), at(0.99), delays.back()};
    if (status != nullptr) {
        const std::vector<std::pair<double, double>> after = delayHistogram(metricsPort);
        result.pollUs = pollUs;
        result.histogramP50 = bucketQuantile(histogram, after, 0.50);
        result.histogramP99 = bucketQuantile(histogram, after, 0.99);
    }
    return result;
}

// What one hand-off costs here: the time from a signal to the moment a
// thread that slept for `intervalUs` runs, median and 99th percentile of 500,
// in microseconds. An announcement passes three such hand-offs on its way to
// a copy worker.
std::pair<double, double> handOffMicroseconds(long intervalUs) {
    std::mutex mutex;
    std::condition_variable signal;
    bool posted = false, done = false;
    double postedAt = 0;
    std::vector<double> delays;
    std::thread sleeper([&] {
        std::unique_lock<std::mutex> lock(mutex);
        while (!done) {
            signal.wait(lock, [&] { return posted || done; });
            if (posted) delays.push_back((seconds() - postedAt) * 1e6);
            posted = false;
        }
    });
    for (int i = 0; i < 500; ++i) {
        usleep(static_cast<useconds_t>(intervalUs));
        std::lock_guard<std::mutex> lock(mutex);
        postedAt = seconds();
        posted = true;
        signal.notify_one();
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
        signal.notify_one();
    }
    sleeper.join();
    std::sort(delays.begin(), delays.end());
    return {median(delays), delays[delays.size() * 99 / 100]};
}

// The latency rounds: in each, a daemon without a journal and one with a
// fresh journal, one after the other, alternating which comes first, so that
// a noisy neighbour on the machine hits both alike. Reports the medians of
// the rounds' percentiles. With `onDisk`, the delays run to the booking.
void latencyCase(const std::string& vellort, const std::string& ramdisk, const std::string& target, long count,
                 long intervalUs, long rounds, bool journalOnTmpfs, bool onDisk, bool verify) {
    if (count <= 0 || rounds <= 0) return;
    std::vector<std::string> lines, warmUpLines, warmUpFiles;
    makeLatencyFiles(ramdisk, count, lines, warmUpLines, warmUpFiles);
    const std::string journalFolder = sandbox + "/var/lib/vellort";
    const std::string journal = journalPath();
    if (journalOnTmpfs)
        mountTmpfs(journalFolder);
    else if (mkdir(journalFolder.c_str(), 0755) != 0)
        die("mkdir " + journalFolder + ": " + strerror(errno));
    printf(
        "(c) announcement to copy: %ld files of 4 KiB, one every %ld us, %ld rounds without and with a journal "
        "(%s, %s)\n",
        count, intervalUs, rounds, journal.c_str(), journalOnTmpfs ? "on a tmpfs" : "on the file system of /tmp");
    if (onDisk)
        printf(
            "    to the booking (on the disk%s): from the status service's count of booked copies, asked as often as "
            "\"poll\" says; \"buckets\" are the daemon's own histogram's\n",
            verify ? ", verify_copies yes" : "");
    const char* variants[] = {"no journal", "journal"};
    std::vector<Delays> results[2];
    for (long round = 1; round <= rounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            const int variant = (turn + round + 1) % 2;  // no journal first in odd rounds, second in even ones
            if (variant == 1)
                for (const char* part : {"", "-wal", "-shm"})
                    unlink((journal + part).c_str());  // a fresh journal each time: nothing to take up at the start
            const int metricsPort = onDisk ? unusedPort() : 0;
            startDaemon(vellort, configText(ramdisk, target, variant == 1 ? journal : "", verify, metricsPort));
            FifoWriter pipe(pipePath());
            openPipe(pipe);
            std::unique_ptr<StatusClient> status = onDisk ? statusClient() : nullptr;
            Delays delays =
                latencyRound(pipe, target, lines, warmUpLines, warmUpFiles, intervalUs, status.get(), metricsPort);
            pipe.close();
            status.reset();
            stopDaemon();
            printf("  round %ld %-10s delay ms: min %.3f  p50 %.3f  p90 %.3f  p99 %.3f  max %.3f", round,
                   variants[variant], delays.min, delays.p50, delays.p90, delays.p99, delays.max);
            if (onDisk)
                printf("  (poll %.0f us; buckets: p50 <= %g, p99 <= %g)", delays.pollUs, delays.histogramP50,
                       delays.histogramP99);
            printf("\n");
            fflush(stdout);
            results[variant].push_back(delays);
        }
    }
    double p50[2], p90[2], p99[2], max[2], poll[2], bucket50[2], bucket99[2];
    for (int variant = 0; variant < 2; ++variant) {
        std::vector<double> fifties, nineties, ninetyNines, maxima, polls, bucketFifties, bucketNinetyNines;
        for (const Delays& delays : results[variant]) {
            fifties.push_back(delays.p50);
            nineties.push_back(delays.p90);
            ninetyNines.push_back(delays.p99);
            maxima.push_back(delays.max);
            polls.push_back(delays.pollUs);
            bucketFifties.push_back(delays.histogramP50);
            bucketNinetyNines.push_back(delays.histogramP99);
        }
        p50[variant] = median(fifties);
        p90[variant] = median(nineties);
        p99[variant] = median(ninetyNines);
        max[variant] = median(maxima);
        poll[variant] = median(polls);
        bucket50[variant] = median(bucketFifties);
        bucket99[variant] = median(bucketNinetyNines);
    }
    const std::pair<double, double> handOff = handOffMicroseconds(intervalUs);
    printf("  one hand-off to a thread asleep for %ld us: p50 %.1f us, p99 %.1f us (the copy path has three)\n",
           intervalUs, handOff.first, handOff.second);
    printf("  medians of %ld rounds:\n", rounds);
    for (int variant = 0; variant < 2; ++variant) {
        printf("  %-10s delay ms: p50 %.3f  p90 %.3f  p99 %.3f  max %.3f", variants[variant], p50[variant],
               p90[variant], p99[variant], max[variant]);
        if (onDisk)
            printf("  (poll %.0f us; buckets: p50 <= %g, p99 <= %g)", poll[variant], bucket50[variant],
                   bucket99[variant]);
        printf("\n");
    }
    printf("\n");
    const char* prefix = !onDisk ? "daemon" : verify ? "daemon.disk_verify" : "daemon.disk";
    printf("RESULT %s.delay.p50_ms=%.3f\nRESULT %s.delay.p99_ms=%.3f\n", prefix, p50[0], prefix, p99[0]);
    printf("RESULT %s.journal.delay.p50_ms=%.3f\nRESULT %s.journal.delay.p99_ms=%.3f\n", prefix, p50[1], prefix,
           p99[1]);
    if (onDisk)
        printf(
            "RESULT %s.delay.poll_us=%.0f\nRESULT %s.delay.buckets_p50_le_ms=%g\nRESULT "
            "%s.delay.buckets_p99_le_ms=%g\n",
            prefix, poll[0], prefix, bucket50[0], prefix, bucket99[0]);
    printf("RESULT %s.delay.rounds=%ld\n", prefix, rounds);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    options.vellort = builtExecutable("vellort");
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--vellort" && i + 1 < argc)
            options.vellort = argv[++i];
        else if (option == "--small-files")
            options.smallFiles = numberArgument(argc, argv, i);
        else if (option == "--small-kb")
            options.smallKiB = numberArgument(argc, argv, i);
        else if (option == "--large-files")
            options.largeFiles = numberArgument(argc, argv, i);
        else if (option == "--large-mb")
            options.largeMiB = numberArgument(argc, argv, i);
        else if (option == "--latency-files")
            options.latencyFiles = numberArgument(argc, argv, i);
        else if (option == "--rounds")
            options.rounds = numberArgument(argc, argv, i);
        else if (option == "--latency-interval-us")
            options.latencyIntervalUs = numberArgument(argc, argv, i);
        else if (option == "--latency-rounds")
            options.latencyRounds = numberArgument(argc, argv, i);
        else if (option == "--journal-on-tmpfs")
            options.journalOnTmpfs = true;
        else if (option == "--no-rsync")
            options.rsync = false;
        else if (option == "--verify")
            options.verify = true;
        else if (option == "--scrape")
            options.scrape = true;
        else if (option == "--status-page")
            options.scrape = options.statusPage = true;
        else if (option == "--memory")
            options.memoryOnly = true;
        else if (option == "--disk" && i + 1 < argc)
            options.disk = argv[++i];
        else if (option == "--setting" && i + 1 < argc)
            extraSettings += std::string(argv[++i]) + "\n";  // e.g. "copy_buffer_size 1M"
        else
            die("usage: daemon_copy_bench [--vellort PATH] [--small-files N] [--small-kb K] [--large-files N] "
                "[--large-mb M] [--rounds R] [--latency-files N] [--latency-interval-us U] [--latency-rounds R] "
                "[--journal-on-tmpfs] [--no-rsync] [--verify] [--scrape] [--status-page] [--memory] [--disk DIR] "
                "[--setting 'KEY VALUE' ...]");
    }
    if (options.rounds < 1) die("--rounds must be at least 1");
    if (geteuid() != 0) die("needs root to mount the two tmpfs");
    if (access(options.vellort.c_str(), X_OK) != 0) die("no executable " + options.vellort + " (use --vellort)");
    umask(0);  // so the trees have the modes asked for, as the daemon's own files do
    if (options.rsync && system("command -v rsync >/dev/null 2>&1") != 0) {
        printf("NOTE: no rsync on this machine; the rsync -a comparison is left out\n");
        options.rsync = false;
    }
    signal(SIGPIPE, SIG_IGN);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    cleanUpOnSignals(cleanUpAtSignal);

    makeSandbox();
    const std::string ramdisk = sandbox + "/ramdisk";
    const std::string target = sandbox + "/internal";
    mountTmpfs(ramdisk);
    if (!options.disk.empty()) {
        // Room for the largest tree twice over, far below the fill-state limit.
        const uint64_t largest = std::max(options.smallFiles * options.smallKiB * 1024,
                                          options.largeFiles * options.largeMiB * static_cast<long>(MiB));
        disk.reset(new Ext4Image(options.disk, 2 * largest + 1024 * MiB, target));
        if (!disk->mounted()) die(disk->problem());
        printf("daemon %s; RAM disk: tmpfs at %s; target: %s at %s\n\n", options.vellort.c_str(), ramdisk.c_str(),
               disk->describe().c_str(), target.c_str());
        durableCase("(a) small files", options.vellort, ramdisk, target, "small", options.smallFiles,
                    options.smallKiB * 1024, options.rounds, options.verify);
        durableCase("(b) large files", options.vellort, ramdisk, target, "large", options.largeFiles,
                    options.largeMiB * MiB, options.rounds, options.verify);
        latencyCase(options.vellort, ramdisk, target, options.latencyFiles, options.latencyIntervalUs,
                    options.latencyRounds, options.journalOnTmpfs, true, options.verify);
        cleanUp();
        return 0;
    }
    mountTmpfs(target);

    printf("daemon %s; RAM disk and target: tmpfs at %s and %s\n\n", options.vellort.c_str(), ramdisk.c_str(),
           target.c_str());
    if (options.verify || options.scrape) {
        verifyCase("(v1) small files", options.vellort, ramdisk, target, "small", options.smallFiles,
                   options.smallKiB * 1024, options.rounds, options.scrape, options.statusPage);
        verifyCase("(v2) large files", options.vellort, ramdisk, target, "large", options.largeFiles,
                   options.largeMiB * MiB, options.rounds, options.scrape, options.statusPage);
        cleanUp();
        return 0;
    }
    if (options.smallFiles > 0 || options.largeFiles > 0) {
        // The throughput cases share one daemon, without a journal.
        startDaemon(options.vellort, configText(ramdisk, target, ""));
        FifoWriter pipe(pipePath());
        openPipe(pipe);
        throughputCase("(a) small files", pipe, ramdisk, target, "small", options.smallFiles, options.smallKiB * 1024,
                       options.rounds, options.rsync, options.memoryOnly);
        throughputCase("(b) large files", pipe, ramdisk, target, "large", options.largeFiles, options.largeMiB * MiB,
                       options.rounds, options.rsync, options.memoryOnly);
        pipe.close();
        stopDaemon();
    }
    latencyCase(options.vellort, ramdisk, target, options.latencyFiles, options.latencyIntervalUs,
                options.latencyRounds, options.journalOnTmpfs, false, false);

    cleanUp();
    return 0;
}
