// Measures the announcement reader: how many lines a second it takes from the
// named pipe into three storages (INTERNAL, EXTERNAL, OPTIONAL), with a
// writer that writes 100,000 announcements as fast as the pipe takes them,
// and how much resident memory each booked file holds (records, list nodes
// and paths of all three ledgers together). The storages have no copy
// worker (n_copy_processes 0): their copy threads take the first batch and
// then wait for a free worker for ever, so every file stays booked in their
// ledgers and no failed copy of these made-up paths competes for the
// processor or the log.
//
// For comparison it also measures what the reader's 1 us pause after each
// line costs on this machine, with the default timer slack and with the slack
// of 1 ns that the reader sets for itself. The last lines, "RESULT
// key=value", are for scripts.
//
//   pipe_bench [--lines N]

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "intake/ListThread.h"
#include "ledger/Storage.h"
#include "util/Time.h"

namespace {

double seconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

// User and system time used by this process so far, in seconds.
double cpuSeconds() {
    struct rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) != 0) return -1;
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

// Resident size of this process in bytes.
long residentBytes() {
    FILE* statm = fopen("/proc/self/statm", "r");
    if (statm == nullptr) return -1;
    long size = 0;
    long resident = -1;
    if (fscanf(statm, "%ld %ld", &size, &resident) != 2) resident = -1;
    fclose(statm);
    return resident < 0 ? -1 : resident * sysconf(_SC_PAGESIZE);
}

// Mean duration of one 1 us sleep with the calling thread's current slack.
double microSleepCost(unsigned long slackNs) {
    if (prctl(PR_SET_TIMERSLACK, slackNs, 0UL, 0UL, 0UL) != 0) return -1;
    const int count = 2000;
    double start = seconds();
    for (int i = 0; i < count; ++i) UTILITIES::sleepNanoSeconds(1000);
    return (seconds() - start) / count * 1e6;
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    remove(path);  // best effort: a leftover file in /tmp harms nothing
    return 0;
}

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    long lines = 100000;
    for (int i = 1; i + 1 < argc; i += 2)
        if (strcmp(argv[i], "--lines") == 0) lines = atol(argv[i + 1]);

    char pattern[] = "/tmp/vellort-pipe-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    const std::string dir = pattern;
    const std::string pipePath = dir + "/vellort_quorvin_files";
    const std::string logPath = dir + "/vellort.log";
    if (mkfifo(pipePath.c_str(), 0600) != 0) {
        perror("mkfifo");
        return 1;
    }

    std::vector<Storage*> storages;
    const char* names[] = {"internal", "external", "optional"};
    for (int type = 0; type < 3; ++type) {
        Storage::Params params;
        params.storageID = names[type];
        params.type = type;
        params.logfile = logPath;
        params.history_max_entries = 5;
        params.n_copy_processes = 0;
        params.target = dir + "/" + names[type];
        storages.push_back(new Storage(params));  // lives with the reader, as in the daemon
    }

    // The whole input is made before the clock starts.
    std::string input;
    input.reserve(static_cast<size_t>(lines) * 40);
    char line[64];
    for (long i = 0; i < lines; ++i) {
        snprintf(line, sizeof line, "/ramdisk/data/./run%ld/img_%05ld.cbf\n", i / 10000, i % 100000);
        input += line;
    }

    long residentBefore = residentBytes();
    ListThread* reader = new ListThread(storages, logPath, pipePath, "/ramdisk");
    if (reader->start() != 0) {
        fprintf(stderr, "cannot start the reader\n");
        return 1;
    }
    int fd = open(pipePath.c_str(), O_WRONLY);  // waits for the reader
    if (fd < 0) {
        perror("open pipe");
        return 1;
    }

    double start = seconds();
    double cpuStart = cpuSeconds();
    std::thread writer([&]() {
        if (!writeAll(fd, input)) perror("write pipe");
    });
    // Every storage books the file before the reader reads the next line, so
    // the last storage's count tells when all are done.
    while (storages.back()->debitCredit().size() < lines) UTILITIES::sleepNanoSeconds(100000);
    double elapsed = seconds() - start;
    double cpu = cpuSeconds() - cpuStart;
    writer.join();
    long residentAfter = residentBytes();

    printf("pipe_bench: %ld announcements through a named pipe into 3 storages\n", lines);
    printf("  reader throughput      %10.0f lines/s  (%.2f us per line, %.3f s in all)\n", lines / elapsed,
           elapsed / lines * 1e6, elapsed);
    printf("  processor time         %10.2f us per line (reader, writer and this poll together)\n", cpu / lines * 1e6);
    if (residentBefore >= 0 && residentAfter >= 0)
        printf("  memory per booked file %10.0f bytes resident (3 ledgers; %ld KiB in all)\n",
               static_cast<double>(residentAfter - residentBefore) / lines, (residentAfter - residentBefore) / 1024);
    printf("  one 1 us pause costs   %10.1f us with the default 50 us timer slack\n", microSleepCost(50000));
    printf("                         %10.1f us with the reader's 1 ns slack\n", microSleepCost(1));
    printf("RESULT pipe.lines_per_s=%.0f\n", lines / elapsed);
    if (residentBefore >= 0 && residentAfter >= 0)
        printf("RESULT pipe.bytes_per_file=%.0f\n", static_cast<double>(residentAfter - residentBefore) / lines);

    close(fd);
    nftw(dir.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    fflush(stdout);
    // The reader's thread still runs: leave without destructors.
    _exit(0);
}
