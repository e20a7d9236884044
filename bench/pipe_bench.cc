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
// Each round runs twice, without a journal and with one (a fresh SQLite file
// in the round's temporary folder, which the reader records every read of
// the pipe in before it acts on it), alternating which comes first, and each
// in a child process of its own: the reader's and the journal's threads never
// end, and a round's memory figure is then its own. The summary gives the
// median of the rounds.
//
// For comparison it also measures what a 1 us sleep costs on this machine,
// with the default timer slack and with a slack of 1 ns: the reason the
// reader waits out its 1 us pause after each block on the clock instead. The last lines, "RESULT
// key=value", are for scripts.
//
//   pipe_bench [--lines N] [--rounds R]

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/Median.h"
#include "intake/ListThread.h"
#include "journal/Journal.h"
#include "ledger/Storage.h"
#include "support/TempDir.h"
#include "util/Time.h"

namespace {

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

long long fileBytes(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? static_cast<long long>(status.st_size) : 0;
}

// What one round measured, handed from the child to the parent through a pipe.
struct RoundResult {
    bool ok;
    double linesPerSecond;
    double cpuMicrosPerLine;  // the whole process: reader, writer, poll and journal
    double bytesPerFile;      // resident memory per booked file; negative when unknown
    long long journalBytes;   // main file and write-ahead log, after the round
    char error[160];
};

// One round in this process: `lines` announcements written into a fresh pipe
// and read by a fresh reader into three fresh storages, with a journal or
// without.
RoundResult runRound(const std::string& input, long lines, bool withJournal) {
    RoundResult result;
    memset(&result, 0, sizeof result);
    auto fail = [&](const char* what) {
        snprintf(result.error, sizeof result.error, "%s: %s", what, strerror(errno));
        return result;
    };
    char pattern[] = "/tmp/vellort-pipe-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return fail("mkdtemp");
    const std::string dir = pattern;
    const std::string pipePath = dir + "/vellort_quorvin_files";
    const std::string logPath = dir + "/vellort.log";
    const std::string journalPath = dir + "/journal.sqlite";
    if (mkfifo(pipePath.c_str(), 0600) != 0) return fail("mkfifo");

    const long residentBefore = residentBytes();
    const char* names[] = {"internal", "external", "optional"};
    // Lives with the reader, as in the daemon; a fresh file holds nothing to take up.
    Journal* journal = nullptr;
    Journal::Contents* recovered = new Journal::Contents();
    if (withJournal) {
        journal = new Journal(journalPath, {names[0], names[1], names[2]}, 5, logPath, nullptr);
        if (!journal->open(*recovered) || journal->start() != 0) {
            snprintf(result.error, sizeof result.error, "cannot open the journal %s", journalPath.c_str());
            return result;
        }
    }
    std::vector<Storage*> storages;
    for (int type = 0; type < 3; ++type) {
        Storage::Params params;
        params.storageID = names[type];
        params.type = static_cast<StorageType>(type);
        params.logfile = logPath;
        params.history_max_entries = 5;
        params.n_copy_processes = 0;
        params.target = dir + "/" + names[type];
        params.journal = journal;
        params.journal_storage = journal != nullptr ? type : -1;
        storages.push_back(new Storage(params));  // lives with the reader, as in the daemon
    }

    ListThread* reader = new ListThread(storages, logPath, pipePath, "/ramdisk", journal, recovered);
    if (reader->start() != 0) {
        snprintf(result.error, sizeof result.error, "cannot start the reader");
        return result;
    }
    int fd = open(pipePath.c_str(), O_WRONLY);  // waits for the reader
    if (fd < 0) return fail("open pipe");

    const double start = seconds();
    const double cpuStart = cpuSeconds();
    std::thread writer([&]() {
        if (!writeAll(fd, input)) perror("write pipe");
    });
    // Every storage books the file before the reader reads the next line, so
    // the last storage's count tells when all are done; with a journal, each
    // read was committed before any of its lines was booked. The count is the
    // shift's history, whatever the copy workers made of the files meanwhile
    // (their sources do not exist).
    auto booked = [&]() {
        const std::list<DebitCredit::HistEntry> newest = storages.back()->history(1);
        return newest.empty()
                   ? 0L
                   : static_cast<long>(newest.front().pending + newest.front().copied + newest.front().failed);
    };
    while (booked() < lines) UTILITIES::sleepNanoSeconds(100000);
    const double elapsed = seconds() - start;
    const double cpu = cpuSeconds() - cpuStart;
    writer.join();
    const long residentAfter = residentBytes();

    result.ok = true;
    result.linesPerSecond = lines / elapsed;
    result.cpuMicrosPerLine = cpu / lines * 1e6;
    result.bytesPerFile =
        residentBefore >= 0 && residentAfter >= 0 ? static_cast<double>(residentAfter - residentBefore) / lines : -1;
    result.journalBytes = withJournal ? fileBytes(journalPath) + fileBytes(journalPath + "-wal") : 0;
    close(fd);
    removeTree(dir);  // best effort: a leftover in /tmp harms nothing
    return result;
}

// Runs runRound() in a child process: its threads never end, and they leave
// with it.
RoundResult roundInChild(const std::string& input, long lines, bool withJournal) {
    return inChild<RoundResult>([&] { return runRound(input, lines, withJournal); });
}

}  // namespace

int main(int argc, char** argv) {
    long lines = 100000;
    long rounds = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--lines") == 0) lines = atol(argv[i + 1]);
        if (strcmp(argv[i], "--rounds") == 0) rounds = atol(argv[i + 1]);
    }
    if (lines < 1 || rounds < 1) {
        fprintf(stderr, "usage: pipe_bench [--lines N] [--rounds R]\n");
        return 2;
    }

    // The whole input is made before any clock starts.
    std::string input;
    input.reserve(static_cast<size_t>(lines) * 40);
    char line[64];
    for (long i = 0; i < lines; ++i) {
        snprintf(line, sizeof line, "/ramdisk/data/./run%ld/img_%05ld.cbf\n", i / 10000, i % 100000);
        input += line;
    }

    printf(
        "pipe_bench: %ld announcements through a named pipe into 3 storages, %ld rounds without and with a "
        "journal\n",
        lines, rounds);
    const char* variants[] = {"no journal", "journal"};
    std::vector<RoundResult> results[2];
    for (long r = 1; r <= rounds; ++r) {
        for (int turn = 0; turn < 2; ++turn) {
            const int variant = (turn + r + 1) % 2;  // no journal first in odd rounds, second in even ones
            RoundResult result = roundInChild(input, lines, variant == 1);
            if (!result.ok) {
                fprintf(stderr, "pipe_bench: round %ld, %s: %s\n", r, variants[variant], result.error);
                return 1;
            }
            printf(
                "  round %ld %-10s %9.0f lines/s  %6.2f us per line  %6.2f us processor per line  %5.0f bytes "
                "resident per file",
                r, variants[variant], result.linesPerSecond, 1e6 / result.linesPerSecond, result.cpuMicrosPerLine,
                result.bytesPerFile);
            if (variant == 1) printf("  journal %.0f bytes per line", static_cast<double>(result.journalBytes) / lines);
            printf("\n");
            fflush(stdout);
            results[variant].push_back(result);
        }
    }

    double rate[2], cpu[2], bytes[2];
    for (int variant = 0; variant < 2; ++variant) {
        std::vector<double> rates, cpus, memory;
        for (const RoundResult& result : results[variant]) {
            rates.push_back(result.linesPerSecond);
            cpus.push_back(result.cpuMicrosPerLine);
            memory.push_back(result.bytesPerFile);
        }
        rate[variant] = median(rates);
        cpu[variant] = median(cpus);
        bytes[variant] = median(memory);
    }
    std::vector<double> journalBytes;
    for (const RoundResult& result : results[1]) journalBytes.push_back(static_cast<double>(result.journalBytes));
    printf("medians of %ld rounds:\n", rounds);
    for (int variant = 0; variant < 2; ++variant)
        printf(
            "  %-10s reader throughput %9.0f lines/s (%.2f us per line), processor %.2f us per line, "
            "memory %.0f bytes resident per booked file (3 ledgers)\n",
            variants[variant], rate[variant], 1e6 / rate[variant], cpu[variant], bytes[variant]);
    printf("  the journal costs %.2f us per line (%.0f%% of the throughput); its file holds %.0f bytes per line\n",
           1e6 / rate[1] - 1e6 / rate[0], (1 - rate[1] / rate[0]) * 100, median(journalBytes) / lines);
    printf("  one 1 us pause costs   %10.1f us with the default 50 us timer slack\n", microSleepCost(50000));
    printf("                         %10.1f us with the reader's 1 ns slack\n", microSleepCost(1));
    printf("RESULT pipe.lines_per_s=%.0f\n", rate[0]);
    printf("RESULT pipe.journal.lines_per_s=%.0f\n", rate[1]);
    if (bytes[0] >= 0) printf("RESULT pipe.bytes_per_file=%.0f\n", bytes[0]);
    if (bytes[1] >= 0) printf("RESULT pipe.journal.bytes_per_file=%.0f\n", bytes[1]);
    printf("RESULT pipe.journal.file_bytes_per_line=%.0f\n", median(journalBytes) / lines);
    printf("RESULT pipe.rounds=%ld\n", rounds);
    return 0;
}
