// Compares ways of making a batch of copies durable on a real disk: ext4 on a
// loop device whose image lies on this machine's disk (--dir, /var/tmp by
// default, never a tmpfs), the files coming from a tmpfs as from the RAM
// disk. Each file is written as the daemon writes a copy: <name>.tmp opened
// with O_EXCL, filled through a 1 MiB buffer, renamed to <name>. Then
//   none       nothing: the page cache only, for reference;
//   syncfs     one syncfs per batch of 256 files (per file for the large
//              ones), as a copy job flushes;
//   fdatasync  fdatasync of every file before its rename, and one fsync of
//              each folder touched per batch;
//   cp+sync    `cp -a` of the same tree and one `sync`, as a careful user
//              would script it.
// The variants take turns in each round, each starting at another place in
// the turn, each on an empty target whose cache was dropped (unmount, mount);
// the table gives the median of each one's per-round times. Last, the cost of
// one SQLite commit in WAL mode on the same file system, a small row per
// transaction, synchronous=NORMAL against FULL, median of the rounds.
//
// Needs root (mounts, a loop device). The last lines, "RESULT key=value",
// are for scripts.
//
//   flush_method_bench [--dir DIR] [--small-files N] [--small-kb K] [--large-files N] [--large-mb M]
//                      [--rounds R] [--commits N]

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "bench/BenchSupport.h"
#include "bench/Ext4Image.h"
#include "bench/Median.h"
#include "support/TempDir.h"
#include "support/TmpfsMount.h"

namespace {

const uint64_t MiB = 1024 * 1024;

std::unique_ptr<TempDir> scratch;  // holds the two mount points
std::unique_ptr<TmpfsMount> ramdisk;
std::unique_ptr<Ext4Image> disk;

// At a signal: the main thread may still write below the mounts, so they are
// let go without freeing what it uses.
void releaseMounts() {
    if (disk) disk->release();
    if (ramdisk) umount2(ramdisk->path().c_str(), MNT_DETACH);
    if (scratch) removeTree(scratch->path());
}

[[noreturn]] void die(const std::string& text) {
    fprintf(stderr, "flush_method_bench: %s\n", text.c_str());
    exit(1);  // the destructors of the mounts run
}

enum Variant { NONE, SYNCFS, FDATASYNC, CP_SYNC, VARIANTS };
const char* const variantNames[] = {"none (page cache)", "syncfs per batch", "fdatasync + folder fsync",
                                    "cp -a + sync"};
const char* const variantKeys[] = {"none", "syncfs", "fdatasync", "cp_sync"};

// Copies from/relative to to/relative as a copy job does. The folders made
// on the way and the one the copy lands in join `touched`.
void writeCopy(const std::string& from, const std::string& to, const std::string& relative, bool dataSync,
               std::vector<char>& buffer, std::set<std::string>& touched) {
    const std::string path = to + "/" + relative, temporary = path + ".tmp";
    const int in = open((from + "/" + relative).c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) die(from + "/" + relative + ": " + strerror(errno));
    int out = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (out < 0 && errno == ENOENT) {
        for (size_t slash = to.size(); (slash = path.find('/', slash + 1)) != std::string::npos;)
            if (mkdir(path.substr(0, slash).c_str(), 0755) == 0)
                touched.insert(path.substr(0, path.rfind('/', slash - 1)));
        out = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    }
    if (out < 0) die(temporary + ": " + strerror(errno));
    for (ssize_t got; (got = read(in, buffer.data(), buffer.size())) != 0;)
        if (got < 0 || write(out, buffer.data(), got) != got) die(temporary + ": " + strerror(errno));
    close(in);
    if ((dataSync && fdatasync(out) != 0) || close(out) != 0 || rename(temporary.c_str(), path.c_str()) != 0)
        die(path + ": " + strerror(errno));
    touched.insert(path.substr(0, path.rfind('/')));
}

void syncPath(const std::string& path, bool wholeFileSystem) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || (wholeFileSystem ? syncfs(fd) : fsync(fd)) != 0) die("flush of " + path + ": " + strerror(errno));
    close(fd);
}

// Seconds to copy `files` from below `from` to below `to` and make them
// durable by `variant`, `batch` files to a flush.
double timeVariant(Variant variant, const std::string& from, const std::string& to, const std::string& stem,
                   const std::vector<std::string>& files, size_t batch) {
    std::vector<char> buffer(MiB);
    std::set<std::string> touched;
    const double start = seconds();
    if (variant == CP_SYNC) {
        const std::string command = "cp -a '" + from + "/" + stem + "' '" + to + "/" + stem + "' && sync";
        if (runShell(command) != 0) die(command + " failed");
        return seconds() - start;
    }
    for (size_t i = 0; i < files.size(); ++i) {
        writeCopy(from, to, files[i], variant == FDATASYNC, buffer, touched);
        if ((i + 1) % batch != 0 && i + 1 != files.size()) continue;
        if (variant == SYNCFS) syncPath(to, true);
        if (variant == FDATASYNC)
            for (const std::string& folder : touched) syncPath(folder, false);
        touched.clear();
    }
    return seconds() - start;
}

// Microseconds per commit of `commits` transactions of one small row each,
// in WAL mode with the given synchronous level, on a fresh database.
double commitMicroseconds(const std::string& path, const char* synchronous, long commits) {
    for (const char* part : {"", "-wal", "-shm"}) unlink((path + part).c_str());
    sqlite3* db = nullptr;
    sqlite3_stmt* insert = nullptr;
    const std::string setUp = std::string("PRAGMA journal_mode=WAL; PRAGMA synchronous=") + synchronous +
                              "; CREATE TABLE steps(id INTEGER PRIMARY KEY, state INTEGER, path TEXT);";
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK || sqlite3_exec(db, setUp.c_str(), 0, 0, 0) != SQLITE_OK ||
        sqlite3_prepare_v2(db, "INSERT INTO steps(state, path) VALUES(?, ?)", -1, &insert, nullptr) != SQLITE_OK)
        die(path + ": " + sqlite3_errmsg(db));
    const double start = seconds();
    for (long i = 0; i < commits; ++i) {
        sqlite3_bind_int(insert, 1, static_cast<int>(i % 5));
        sqlite3_bind_text(insert, 2, "run007/img_01234.cbf", -1, SQLITE_STATIC);
        if (sqlite3_step(insert) != SQLITE_DONE) die(path + ": " + sqlite3_errmsg(db));
        sqlite3_reset(insert);
    }
    const double elapsed = seconds() - start;
    sqlite3_finalize(insert);
    sqlite3_close(db);
    for (const char* part : {"", "-wal", "-shm"}) unlink((path + part).c_str());
    return elapsed / commits * 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    std::string folder = "/var/tmp";
    long smallFiles = 20000, smallKiB = 4, largeFiles = 4, largeMiB = 512, rounds = 3, commits = 2000;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--dir" && i + 1 < argc)
            folder = argv[++i];
        else if (option == "--small-files")
            smallFiles = numberArgument(argc, argv, i);
        else if (option == "--small-kb")
            smallKiB = numberArgument(argc, argv, i);
        else if (option == "--large-files")
            largeFiles = numberArgument(argc, argv, i);
        else if (option == "--large-mb")
            largeMiB = numberArgument(argc, argv, i);
        else if (option == "--rounds")
            rounds = numberArgument(argc, argv, i);
        else if (option == "--commits")
            commits = numberArgument(argc, argv, i);
        else
            die("usage: flush_method_bench [--dir DIR] [--small-files N] [--small-kb K] [--large-files N] "
                "[--large-mb M] [--rounds R] [--commits N]");
    }
    if (rounds < 1 || commits < 1) die("--rounds and --commits must be at least 1");
    if (geteuid() != 0) die("needs root for the mounts and the loop device");
    cleanUpOnSignals(releaseMounts);

    struct Set {
        const char* stem;
        long count;
        uint64_t bytes;
        size_t batch;
        std::vector<std::string> files;
    } sets[] = {{"small", smallFiles, static_cast<uint64_t>(smallKiB) * 1024, 256, {}},
                {"large", largeFiles, static_cast<uint64_t>(largeMiB) * MiB, 1, {}}};
    const uint64_t largest = std::max(smallFiles * smallKiB * 1024, largeFiles * largeMiB * static_cast<long>(MiB));
    scratch.reset(new TempDir("flush_method_bench"));
    ramdisk.reset(new TmpfsMount("size=" + std::to_string(2 * largest + 64 * MiB), *scratch / "ramdisk"));
    if (!ramdisk->mounted()) die(ramdisk->skipReason());
    std::string problem;
    for (Set& set : sets)
        if (!makeTree(ramdisk->path(), set.stem, set.count, set.bytes, set.files, problem)) die(problem);
    disk.reset(new Ext4Image(folder, 2 * largest + 1024 * MiB, *scratch / "disk"));
    if (!disk->mounted()) die(disk->problem());
    const std::string target = disk->path();
    printf("flush_method_bench: %s; from tmpfs %s; %ld rounds\n\n", disk->describe().c_str(), ramdisk->path().c_str(),
           rounds);

    std::vector<double> times[2][VARIANTS];
    for (int s = 0; s < 2; ++s) {
        Set& set = sets[s];
        // The first 2 GiB written into a fresh file system took four to seven
        // times as long here as the next: an untimed copy takes them.
        if (!set.files.empty()) timeVariant(CP_SYNC, ramdisk->path(), target, set.stem, set.files, set.batch);
        for (long round = 0; round < rounds && !set.files.empty(); ++round) {
            for (int turn = 0; turn < VARIANTS; ++turn) {
                const Variant variant = static_cast<Variant>((turn + round) % VARIANTS);
                if (!removeTree(target + "/" + set.stem, &problem) || !disk->remount()) die(problem + disk->problem());
                const double elapsed = timeVariant(variant, ramdisk->path(), target, set.stem, set.files, set.batch);
                times[s][variant].push_back(elapsed);
                printf("  round %ld %s %-26s %8.3f s\n", round + 1, set.stem, variantNames[variant], elapsed);
                fflush(stdout);
            }
        }
        removeTree(target + "/" + set.stem);
    }

    std::vector<double> perCommit[2];
    const char* const levels[] = {"NORMAL", "FULL"};
    for (long round = 0; round < rounds; ++round)
        for (int turn = 0; turn < 2; ++turn) {
            const int level = (turn + round) % 2;
            perCommit[level].push_back(commitMicroseconds(target + "/journal.sqlite", levels[level], commits));
            printf("  round %ld SQLite WAL synchronous=%-6s %8.1f us per commit\n", round + 1, levels[level],
                   perCommit[level].back());
        }

    printf("\n| %-16s | %-26s | %9s | %17s | %8s | %15s |\n", "Files", "Made durable by", "median s", "rate", "vs none",
           "vs cp -a + sync");
    printf("|%s|%s|%s:|%s:|%s:|%s:|\n", std::string(18, '-').c_str(), std::string(28, '-').c_str(),
           std::string(10, '-').c_str(), std::string(18, '-').c_str(), std::string(9, '-').c_str(),
           std::string(16, '-').c_str());
    std::string results;
    for (int s = 0; s < 2; ++s) {
        if (sets[s].files.empty()) continue;
        const std::string label = std::to_string(sets[s].count) + " x " +
                                  (s == 0 ? std::to_string(smallKiB) + " KiB" : std::to_string(largeMiB) + " MiB");
        // Small files are counted in files/s, large ones in MB/s: what limits each.
        const double amount = s == 0 ? sets[s].count : sets[s].count * static_cast<double>(sets[s].bytes) / 1e6;
        const char* unit = s == 0 ? "files/s" : "MB/s";
        for (int variant = 0; variant < VARIANTS; ++variant) {
            const double time = median(times[s][variant]);
            printf("| %-16s | %-26s | %9.3f | %9.0f %-7s | %8.2f | %15.2f |\n", label.c_str(), variantNames[variant],
                   time, amount / time, unit, median(times[s][NONE]) / time, median(times[s][CP_SYNC]) / time);
            char line[128];
            snprintf(line, sizeof line, "RESULT flush.%s.%s.%s=%.1f\n", sets[s].stem, variantKeys[variant],
                     s == 0 ? "files_per_s" : "MB_per_s", amount / time);
            results += line;
        }
    }
    printf("\nSQLite WAL, one row per transaction, %ld transactions: NORMAL %.1f us, FULL %.1f us per commit\n",
           commits, median(perCommit[0]), median(perCommit[1]));
    printf("Rates are over the median times; the \"vs\" columns are rate over rate (above 1, faster).\n\n");
    printf("%sRESULT flush.sqlite.normal.us_per_commit=%.1f\nRESULT flush.sqlite.full.us_per_commit=%.1f\n",
           results.c_str(), median(perCommit[0]), median(perCommit[1]));
    return 0;
}
