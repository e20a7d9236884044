// Measures the journal on its own, without a daemon: a Journal with three
// storages (INTERNAL, EXTERNAL, OPTIONAL) is fed as the daemon feeds it over
// many user shifts. At each shift the pipe reader records the shift, the
// deletion threads of INTERNAL and EXTERNAL book the previous shift's files
// DELETED, and the shift's files are recorded in batches, as the reader
// records what one read of the pipe brings; after each batch the copy workers
// book every file COPIED on all three storages. An OPTIONAL storage is done
// with a file once it is copied; the other two once it is deleted, so the
// journal can prune a file three shifts after its own.
//
// Two runs, each in a child process of its own so that memory and threads do
// not carry over:
//   finished:   every file is copied, and deleted at the next shift;
//   unfinished: the same, except that --unfinished files are announced but
//               never copied, so they stay in the journal to the end. They
//               are spread evenly over all shifts but the last few, whose
//               files the journal keeps in either run: both runs then end
//               with the same recent shifts, and differ by the unfinished
//               files alone.
// The difference in journal size between the two, divided by the number of
// unfinished files, is what one unfinished file costs in the journal.
//
// For each run: the wall and processor time, how long the reader waits in
// record(), the journal's size (main file and write-ahead log) right after
// the run and again after a second connection has checkpointed the log with
// TRUNCATE, the rows left, and the resident memory of the process (VmRSS and
// its peak VmHWM). The journal lies in a fresh folder below --dir (/tmp by
// default), removed at the end unless --keep is given. The last lines,
// "RESULT key=value", are for scripts.
//
//   journal_bench [--files N] [--shifts S] [--unfinished U] [--batch B] [--dir PATH] [--keep]

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "bench/BenchSupport.h"
#include "journal/Journal.h"
#include "support/TempDir.h"

namespace {

struct Options {
    long files = 1000000;
    long shifts = 100;
    long unfinished = 100000;
    long batch = 1500;  // about what one 64 KiB read of the pipe holds
    std::string dir = "/tmp";
    bool keep = false;
};

// The storages as the daemon numbers them for the journal.
const int internalStorage = 0;
const int externalStorage = 1;
const int optionalStorage = 2;
const int64_t firstShiftTime = 1700000000;

// What a run measured, handed from the child to the parent through a pipe.
struct RunResult {
    bool ok;
    double seconds;                                // the whole run, up to the last commit
    double cpuSeconds;                             // of the whole process: the feeder and the journal's thread
    double recordSeconds;                          // waited in record() in all
    double recordP50Ms, recordP99Ms, recordMaxMs;  // batches of files
    double shiftSeconds, shiftP50Ms, shiftMaxMs;   // user shifts, which prune
    long records, steps, leftUnfinished;
    double pathBytes;               // mean length of a path
    long long mainBytes, walBytes;  // right after the run
    long long mainAfterCheckpoint, walAfterCheckpoint;
    long long pageSize, pageCount, freePages;  // after the checkpoint
    long long fileRows, stepRows, shiftRows, historyRows;
    long vmRssKiB, vmHwmKiB;
    char error[256];
};

// A "Name:   1234 kB" line of /proc/self/status, in KiB; -1 when missing.
long statusKiB(const char* name) {
    FILE* status = fopen("/proc/self/status", "r");
    if (status == nullptr) return -1;
    char line[256];
    long value = -1;
    const size_t length = strlen(name);
    while (fgets(line, sizeof line, status) != nullptr)
        if (strncmp(line, name, length) == 0 && line[length] == ':') value = atol(line + length + 1);
    fclose(status);
    return value;
}

long long fileBytes(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? static_cast<long long>(status.st_size) : 0;
}

// The path of the `index`-th file of a shift, in the marker form the reader
// hands to the journal: the user's folder on the RAM disk, then the part that
// is copied.
std::string announcedPath(long shift, long index) {
    char path[128];
    snprintf(path, sizeof path, "/ramdisk/user%04ld/./sample_%02ld/run%03ld/img_%06ld.cbf", 1000 + shift, index / 5000,
             index / 1000 % 1000, index);
    return path;
}

double percentileMs(std::vector<double>& values, double share) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(share * values.size()))] * 1e3;
}

// A second connection, as an operator's sqlite3 would open it: checkpoints
// the write-ahead log into the main file and truncates it, and counts what
// is left. The journal's own connection is idle by now.
bool inspect(const std::string& path, RunResult& result) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        snprintf(result.error, sizeof result.error, "second connection: %s",
                 db != nullptr ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return false;
    }
    sqlite3_busy_timeout(db, 5000);
    auto number = [&](const char* sql, long long& value) {
        sqlite3_stmt* statement = nullptr;
        bool ok =
            sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW;
        if (ok) value = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
        if (!ok) snprintf(result.error, sizeof result.error, "%s: %s", sql, sqlite3_errmsg(db));
        return ok;
    };
    long long busy = 1;
    bool ok = number("PRAGMA wal_checkpoint(TRUNCATE)", busy);
    if (ok && busy != 0) {
        snprintf(result.error, sizeof result.error, "the checkpoint was blocked");
        ok = false;
    }
    result.mainAfterCheckpoint = fileBytes(path);
    result.walAfterCheckpoint = fileBytes(path + "-wal");
    ok = ok && number("PRAGMA page_size", result.pageSize) && number("PRAGMA page_count", result.pageCount) &&
         number("PRAGMA freelist_count", result.freePages) && number("SELECT count(*) FROM files", result.fileRows) &&
         number("SELECT count(*) FROM steps", result.stepRows) &&
         number("SELECT count(*) FROM shifts", result.shiftRows) &&
         number("SELECT count(*) FROM history", result.historyRows);
    sqlite3_close(db);
    return ok;
}

// The files of one shift: the rest of the division goes to the last one.
long filesInShift(const Options& options, long shift) {
    return options.files / options.shifts + (shift == options.shifts - 1 ? options.files % options.shifts : 0);
}

// The shifts whose files the journal has pruned by the end of a run: those
// before the last keptShifts, and one more for the deletions that a shift's
// files wait for.
long prunedShifts(const Options& options) {
    return std::max(0L, options.shifts - Journal::keptShifts - 1);
}

// One run in a fresh journal at `path`, with `unfinished` files that are
// never copied.
RunResult feed(const Options& options, const std::string& path, long unfinished) {
    RunResult result;
    memset(&result, 0, sizeof result);
    const std::string folder = path.substr(0, path.rfind('/'));
    // Lives to the end of the process, as in the daemon: its thread never ends.
    Journal& journal = *new Journal(path, {"internal", "external", "optional"}, 5, folder + "/vellort.log", nullptr);
    Journal::Contents contents;
    if (!journal.open(contents) || journal.start() != 0) {
        snprintf(result.error, sizeof result.error, "cannot open the journal %s", path.c_str());
        return result;
    }

    std::vector<double> waits, shiftWaits;
    waits.reserve(static_cast<size_t>(options.files / options.batch + options.shifts + 16));
    auto record = [&](const std::vector<Journal::Entry>& entries, std::vector<double>& into) {
        const double start = seconds();
        journal.record(entries);
        into.push_back(seconds() - start);
    };
    // The unfinished files are spread evenly over the files of the shifts that get pruned.
    long long eligible = 0;
    for (long shift = 0; shift < prunedShifts(options); ++shift) eligible += filesInShift(options, shift);
    auto leftUnfinished = [&](long long index) {
        return index < eligible && (index + 1) * unfinished / eligible != index * unfinished / eligible;
    };

    const double start = seconds();
    const double cpuStart = cpuSeconds();
    long announced = 0;
    double pathBytes = 0;
    // The previous shift's copied files, which its deletion books at the next shift.
    std::vector<int64_t> copiedBefore, copiedNow;
    int64_t timeBefore = 0;
    for (long shift = 0; shift < options.shifts; ++shift) {
        const int64_t time = firstShiftTime + shift * 60;
        const uint32_t user = static_cast<uint32_t>(1000 + shift);
        record({{true, journal.nextFileId(), "", time, user, user}}, shiftWaits);
        for (int64_t file : copiedBefore) {
            journal.book(file, internalStorage, {Journal::DELETED, 0, true}, timeBefore);
            journal.book(file, externalStorage, {Journal::DELETED, 0, true}, timeBefore);
        }
        result.steps += 2 * static_cast<long>(copiedBefore.size());

        const long inShift = filesInShift(options, shift);
        copiedNow.clear();
        std::vector<Journal::Entry> entries;
        for (long first = 0; first < inShift; first += options.batch) {
            entries.clear();
            const long end = std::min(inShift, first + options.batch);
            for (long index = first; index < end; ++index) {
                entries.push_back({false, journal.newFileId(), announcedPath(shift, index), time, 0, 0});
                pathBytes += entries.back().path.size();
            }
            record(entries, waits);
            for (const Journal::Entry& entry : entries) {
                if (leftUnfinished(announced++)) {
                    ++result.leftUnfinished;
                    continue;
                }
                const HistoryChange copied = HistoryChange::copiedFromPending();
                journal.book(entry.id, internalStorage, {Journal::COPIED, 0, false}, time, copied);
                journal.book(entry.id, externalStorage, {Journal::COPIED, 0, false}, time, copied);
                journal.book(entry.id, optionalStorage, {Journal::COPIED, 0, true}, time, copied);
                copiedNow.push_back(entry.id);
                result.steps += 3;
            }
        }
        copiedBefore.swap(copiedNow);
        timeBefore = time;
    }
    journal.flush(600);
    result.seconds = seconds() - start;
    result.cpuSeconds = cpuSeconds() - cpuStart;
    result.mainBytes = fileBytes(path);
    result.walBytes = fileBytes(path + "-wal");
    result.records = static_cast<long>(waits.size() + shiftWaits.size());
    for (double wait : waits) result.recordSeconds += wait;
    for (double wait : shiftWaits) result.shiftSeconds += wait;
    result.recordSeconds += result.shiftSeconds;
    result.shiftP50Ms = percentileMs(shiftWaits, 0.50);
    result.shiftMaxMs = shiftWaits.empty() ? 0 : shiftWaits.back() * 1e3;
    result.recordP50Ms = percentileMs(waits, 0.50);
    result.recordP99Ms = percentileMs(waits, 0.99);
    result.recordMaxMs = waits.empty() ? 0 : waits.back() * 1e3;
    result.pathBytes = announced > 0 ? pathBytes / announced : 0;
    result.vmRssKiB = statusKiB("VmRSS");
    result.vmHwmKiB = statusKiB("VmHWM");
    result.ok = inspect(path, result);
    return result;
}

// Runs feed() in a child: the journal's thread never ends, and the child's
// memory figures are then the run's own.
RunResult runInChild(const Options& options, const std::string& path, long unfinished) {
    return inChild<RunResult>([&] { return feed(options, path, unfinished); });
}

void describe(const char* name, const Options& options, const RunResult& run) {
    const double mib = 1024.0 * 1024.0;
    printf("%s: %ld files over %ld shifts, %ld left unfinished, in batches of %ld (paths of %.0f bytes)\n", name,
           options.files, options.shifts, run.leftUnfinished, options.batch, run.pathBytes);
    printf("  whole run        %9.2f s  %9.0f files/s  %9.0f steps/s  (%.2f s processor time)\n", run.seconds,
           options.files / run.seconds, run.steps / run.seconds, run.cpuSeconds);
    printf("  record()         %9.2f s in %ld calls; batches of files: p50 %.2f ms  p99 %.2f ms  max %.2f ms\n",
           run.recordSeconds, run.records, run.recordP50Ms, run.recordP99Ms, run.recordMaxMs);
    printf("                   %9.2f s of it in the %ld user shifts: p50 %.2f ms  max %.2f ms\n", run.shiftSeconds,
           options.shifts, run.shiftP50Ms, run.shiftMaxMs);
    printf("  journal after    %9.2f MiB main + %.2f MiB log = %.2f MiB\n", run.mainBytes / mib, run.walBytes / mib,
           (run.mainBytes + run.walBytes) / mib);
    printf("  after checkpoint %9.2f MiB main + %.2f MiB log; %lld pages of %lld bytes, %lld of them free\n",
           run.mainAfterCheckpoint / mib, run.walAfterCheckpoint / mib, run.pageCount, run.pageSize, run.freePages);
    printf("  rows left        %9lld files, %lld steps, %lld shifts, %lld history entries\n", run.fileRows,
           run.stepRows, run.shiftRows, run.historyRows);
    printf("  memory           %9.1f MiB resident at the end, %.1f MiB at the peak\n\n", run.vmRssKiB / 1024.0,
           run.vmHwmKiB / 1024.0);
    fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--files")
            options.files = numberArgument(argc, argv, i);
        else if (option == "--shifts")
            options.shifts = numberArgument(argc, argv, i);
        else if (option == "--unfinished")
            options.unfinished = numberArgument(argc, argv, i);
        else if (option == "--batch")
            options.batch = numberArgument(argc, argv, i);
        else if (option == "--dir" && i + 1 < argc)
            options.dir = argv[++i];
        else if (option == "--keep")
            options.keep = true;
        else {
            fprintf(stderr,
                    "usage: journal_bench [--files N] [--shifts S] [--unfinished U] [--batch B] [--dir PATH] "
                    "[--keep]\n");
            return 2;
        }
    }
    if (options.files < 1 || options.shifts < 1 || options.batch < 1) {
        fprintf(stderr, "journal_bench: --files, --shifts and --batch must be at least 1\n");
        return 2;
    }
    long pruned = 0;
    for (long shift = 0; shift < prunedShifts(options); ++shift) pruned += filesInShift(options, shift);
    if (options.unfinished > pruned) {
        fprintf(stderr, "journal_bench: at most %ld unfinished files fit in the %ld shifts that get pruned\n", pruned,
                prunedShifts(options));
        return 2;
    }

    std::string pattern = options.dir + "/vellort-journal-bench-XXXXXX";
    std::vector<char> folder(pattern.begin(), pattern.end());
    folder.push_back('\0');
    if (mkdtemp(folder.data()) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    const std::string dir = folder.data();
    printf("journal_bench: journals in %s\n\n", dir.c_str());

    const double start = seconds();
    RunResult finished = runInChild(options, dir + "/finished/journal.sqlite", 0);
    if (finished.ok) describe("finished", options, finished);
    RunResult unfinished;
    memset(&unfinished, 0, sizeof unfinished);
    unfinished.ok = true;
    if (finished.ok && options.unfinished > 0) {
        unfinished = runInChild(options, dir + "/unfinished/journal.sqlite", options.unfinished);
        if (unfinished.ok) describe("unfinished", options, unfinished);
    }
    const double total = seconds() - start;
    if (!options.keep) removeTree(dir);  // best effort: a leftover below /tmp harms nothing
    if (!finished.ok || !unfinished.ok) {
        fprintf(stderr, "journal_bench: %s\n", finished.ok ? unfinished.error : finished.error);
        return 1;
    }

    printf("RESULT journal.files_per_s=%.0f\n", options.files / finished.seconds);
    printf("RESULT journal.run_s=%.2f\n", finished.seconds);
    printf("RESULT journal.record_p99_ms=%.2f\n", finished.recordP99Ms);
    printf("RESULT journal.shift_max_ms=%.2f\n", finished.shiftMaxMs);
    printf("RESULT journal.bytes=%lld\n", finished.mainBytes + finished.walBytes);
    printf("RESULT journal.bytes_after_checkpoint=%lld\n", finished.mainAfterCheckpoint + finished.walAfterCheckpoint);
    printf("RESULT journal.vm_rss_kib=%ld\n", finished.vmRssKiB);
    printf("RESULT journal.vm_hwm_kib=%ld\n", finished.vmHwmKiB);
    if (options.unfinished > 0 && unfinished.leftUnfinished > 0) {
        const double left = static_cast<double>(unfinished.leftUnfinished);
        const double growth =
            (unfinished.mainBytes + unfinished.walBytes - finished.mainBytes - finished.walBytes) / left;
        const double checkpointed = (unfinished.mainAfterCheckpoint + unfinished.walAfterCheckpoint -
                                     finished.mainAfterCheckpoint - finished.walAfterCheckpoint) /
                                    left;
        const double pages = static_cast<double>((unfinished.pageCount - unfinished.freePages) -
                                                 (finished.pageCount - finished.freePages)) *
                             finished.pageSize / left;
        printf(
            "per unfinished file: %.0f bytes of journal right after the run, %.0f after the checkpoint, "
            "%.0f in pages in use\n",
            growth, checkpointed, pages);
        printf("RESULT journal.unfinished_bytes_per_file=%.0f\n", checkpointed);
        printf("RESULT journal.unfinished_bytes_per_file_before_checkpoint=%.0f\n", growth);
        printf("RESULT journal.unfinished_vm_hwm_kib=%ld\n", unfinished.vmHwmKiB);
        printf("RESULT journal.unfinished_run_s=%.2f\n", unfinished.seconds);
        printf("RESULT journal.unfinished_shift_max_ms=%.2f\n", unfinished.shiftMaxMs);
    }
    printf("RESULT journal.total_s=%.2f\n", total);
    return 0;
}
