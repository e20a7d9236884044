// Measures how fast a LinkThread empties a full RAM disk: files per second that
// the link pass converts into symbolic links, and that the removal pass
// (create_links no) deletes. The figures come from the thread's own log: the
// clock starts when the first "++ Converting N files ..." / "++ Removing N
// files ..." line appears and stops when the report line for the last 1000
// files appears ("++ 1000 symbolic links ... successfully created" /
// "++ 1000 files from ... deleted."). The log is polled every 0.2 ms, reading
// only what was appended since the last look.
//
// The RAM disk is a tmpfs on which a plain file takes 60% and the files, one
// page each, another 30%, with a limit of 50%: the disk stays above the limit
// until the last file is done, as under a steady acquisition. The copies lie
// on a second tmpfs. With --file-bytes 0 the files are empty and the plain
// file alone keeps the disk above the limit: the same passes at a memory cost
// of inodes alone, so that a million files fit beside other work. Needs root,
// for the mounts. The last lines, "RESULT key=value" with the medians, are for
// scripts. Each link round is followed by one of the bare method (symlink and
// rename by path) on the same set-up.
//
//   link_bench [--files N] [--rounds R] [--preserve-owners yes] [--file-bytes 4096|0]
//   (N a multiple of 1000; defaults 20000 and 3; owners as with preserve_uid/preserve_gid no)

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "ledger/DebitCredit.h"
#include "ledger/DebitListThread.h"
#include "ledger/FileInfo.h"
#include "ledger/Storage.h"
#include "space/LinkThread.h"
#include "support/TmpfsMount.h"

namespace {

const long filesPerDirectory = 1000;
std::vector<std::string> logPaths;  // removed at the end
bool preserveOwners = false;        // --preserve-owners yes: links get the user's uid and gid, as by default
const size_t pageBytes = 4096;
size_t fileBytes = pageBytes;  // --file-bytes 0: empty files

[[noreturn]] void die(const std::string& message) {
    fprintf(stderr, "link_bench: %s\n", message.c_str());
    exit(1);
}

// The mount option for a tmpfs of at least `bytes`.
std::string tmpfsSize(uint64_t bytes) {
    return "size=" + std::to_string(bytes / 1024 + 1) + "k";
}

const std::string& mountedPath(const TmpfsMount& mount) {
    if (!mount.mounted()) die(mount.skipReason());
    return mount.path();
}

void writePage(const std::string& path, long number) {
    std::string page(fileBytes, static_cast<char>('a' + number % 26));
    FILE* file = fopen(path.c_str(), "w");
    if (file == nullptr || fwrite(page.data(), 1, page.size(), file) != page.size() || fclose(file) != 0)
        die("cannot write " + path + ": " + strerror(errno));
}

void fill(const std::string& path, uint64_t bytes) {
    FILE* file = fopen(path.c_str(), "w");
    if (file == nullptr || posix_fallocate(fileno(file), 0, bytes) != 0 || fclose(file) != 0)
        die("cannot fill " + path);
}

// Counts the lines holding `start` and `report` in a growing log, reading
// only the complete lines appended since the last call.
class LogTail {
public:
    LogTail(const std::string& path, const std::string& start, const std::string& report)
        : path(path), start(start), report(report) {}
    void read() {
        std::ifstream file(path);
        file.seekg(static_cast<std::streamoff>(offset));
        for (std::string line; std::getline(file, line) && !file.eof();) {
            offset += line.size() + 1;
            if (line.find(start) != std::string::npos) ++starts;
            if (line.find(report) != std::string::npos) ++reports;
        }
    }
    int starts = 0, reports = 0;

private:
    const std::string path, start, report;
    size_t offset = 0;
};

// Mount sizes: one page a file, and room for the plain file when files are empty.
uint64_t ramDiskBytes(long files) {
    return fileBytes == 0 ? 64u << 20 : files * pageBytes * 10 / 3;
}

struct Result {
    double elapsed;
    std::vector<long> passes;  // files taken by each pass, as logged
};

// One round: `files` files on a fresh RAM disk, booked as copied, then a
// LinkThread started on them; timed through its log.
Result runRound(long files, bool createLinks, long round) {
    const uint64_t ramBytes = ramDiskBytes(files);
    // Unmounted at the end of the round; the round's LinkThread still watches
    // the RAM disk, and only logs that it is gone.
    TmpfsMount ramMount(tmpfsSize(ramBytes)), copiesMount(tmpfsSize(ramBytes));
    const std::string& ram = mountedPath(ramMount);
    const std::string& copies = mountedPath(copiesMount);
    fill(ram + "/fill", ramBytes * 6 / 10);
    const std::string logPath = "/tmp/link_bench-" + std::to_string(getpid()) + "-" + std::to_string(round) +
                                (createLinks ? "-links.log" : "-removal.log");
    unlink(logPath.c_str());
    logPaths.push_back(logPath);

    DebitListThread::setPollundInfo({0, 0, 1});
    DebitCredit* ledger = new DebitCredit(5, DebitCredit::TRACK_FILES);  // lives with its thread
    ledger->setTavroTime(1, 0, 0);
    for (long i = 0; i < files; ++i) {
        const std::string directory = "/run" + std::to_string(i / filesPerDirectory);
        if (i % filesPerDirectory == 0) {
            mkdir((ram + directory).c_str(), 0755);
            mkdir((copies + directory).c_str(), 0755);
        }
        const std::string relative = directory + "/img_" + std::to_string(i) + ".cbf";
        writePage(ram + relative, i);
        writePage(copies + relative, i);
        FileInfo file(ram + "/." + relative, 1);
        // What a copy worker records: the pass lets go only of the very file copied.
        struct stat status;
        if (lstat((ram + relative).c_str(), &status) == 0) file.recordSource(FileIdentity::of(status));
        if (lstat((copies + relative).c_str(), &status) == 0)
            file.recordCopy(FileInfo::INTERNAL_COPIED, FileIdentity::of(status));
        file.setFlag(FileInfo::INTERNAL_COPY_STARTED | FileInfo::INTERNAL_COPIED);
        ledger->insertToBuffer(file);
        ledger->insertToCredits(file);
    }

    Storage::Params params;
    params.storageID = "bench";
    params.type = Storage::INTERNAL;
    params.logfile = logPath;
    params.target = copies;
    params.mountpoint = ram;
    params.ramdisk_mountpoint = ram;
    params.fillstate_limit = 50;
    params.create_links = createLinks;
    params.preserve_uid = params.preserve_gid = preserveOwners;
    LinkThread* thread = new LinkThread(*ledger, params);  // never stops; never deleted
    const std::string start = createLinks ? "++ Converting " : "++ Removing ";
    const std::string report = createLinks ? " successfully created" : " deleted.";
    const int reports = static_cast<int>(files / 1000);
    if (thread->start() != 0) die("cannot start the link thread");

    double begin = 0;
    const double deadline = seconds() + 600;
    LogTail tail(logPath, start, report);
    for (;;) {
        const double now = seconds();
        tail.read();
        if (begin == 0 && tail.starts > 0) begin = now;
        if (begin != 0 && tail.reports >= reports) {
            Result result{now - begin, {}};
            std::ifstream log(logPath);
            for (std::string line; std::getline(log, line);)
                if (line.compare(0, start.size(), start) == 0)
                    result.passes.push_back(atol(line.c_str() + start.size()));
            return result;
        }
        if (now > deadline) die("no end within 600 s; see " + logPath);
        usleep(200);
    }
}

// The bare method on the same set-up: each file replaced by a link to its
// copy, made beside it and renamed over it, by path, with no check at all.
double bareRound(long files) {
    const uint64_t ramBytes = ramDiskBytes(files);
    // Unmounted at the end of the round; the round's LinkThread still watches
    // the RAM disk, and only logs that it is gone.
    TmpfsMount ramMount(tmpfsSize(ramBytes)), copiesMount(tmpfsSize(ramBytes));
    const std::string& ram = mountedPath(ramMount);
    const std::string& copies = mountedPath(copiesMount);
    fill(ram + "/fill", ramBytes * 6 / 10);
    std::vector<std::string> relatives;
    for (long i = 0; i < files; ++i) {
        const std::string directory = "/run" + std::to_string(i / filesPerDirectory);
        if (i % filesPerDirectory == 0) {
            mkdir((ram + directory).c_str(), 0755);
            mkdir((copies + directory).c_str(), 0755);
        }
        relatives.push_back(directory + "/img_" + std::to_string(i) + ".cbf");
        writePage(ram + relatives.back(), i);
        writePage(copies + relatives.back(), i);
    }
    const double begin = seconds();
    for (const std::string& relative : relatives) {
        const std::string link = ram + relative;
        if (symlink((copies + relative).c_str(), (link + ".tmp").c_str()) != 0 ||
            rename((link + ".tmp").c_str(), link.c_str()) != 0)
            die("bare link of " + link + ": " + strerror(errno));
    }
    const double elapsed = seconds() - begin;
    return elapsed;
}

}  // namespace

int main(int argc, char** argv) {
    long files = 20000;
    long rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--files") == 0)
            files = atol(argv[i + 1]);
        else if (strcmp(argv[i], "--rounds") == 0)
            rounds = atol(argv[i + 1]);
        else if (strcmp(argv[i], "--file-bytes") == 0)
            fileBytes = strcmp(argv[i + 1], "0") == 0 ? 0 : pageBytes;
        else if (strcmp(argv[i], "--preserve-owners") == 0)
            preserveOwners = strcmp(argv[i + 1], "yes") == 0;
        else
            die(std::string("unknown option ") + argv[i]);
    }
    if (files < 1000 || files % 1000 != 0 || rounds < 1) die("--files must be a multiple of 1000, --rounds >= 1");
    if (geteuid() != 0) die("needs root to mount the tmpfs file systems");

    printf("link_bench: %ld files of %zu bytes on a tmpfs RAM disk, limit 50%%, %ld rounds\n", files, fileBytes,
           rounds);
    std::string results;
    for (bool createLinks : {true, false}) {
        std::vector<double> rates, toBare;
        for (long round = 1; round <= rounds; ++round) {
            Result result = runRound(files, createLinks, round);
            rates.push_back(files / result.elapsed);
            printf("  %-8s round %ld  %8.3f s  %9.0f files/s   passes:", createLinks ? "links" : "removal", round,
                   result.elapsed, files / result.elapsed);
            for (long pass : result.passes) printf(" %ld", pass);
            printf("\n");
            if (createLinks) {
                const double bare = bareRound(files);
                toBare.push_back(bare / result.elapsed);
                printf("  bare     round %ld  %8.3f s  %9.0f files/s   (symlink and rename by path)\n", round, bare,
                       files / bare);
            }
            fflush(stdout);
        }
        std::sort(rates.begin(), rates.end());
        printf("%-8s median %9.0f files/s, best %9.0f files/s\n", createLinks ? "links" : "removal",
               rates[rates.size() / 2], rates.back());
        results += std::string("RESULT link.") + (createLinks ? "links" : "removal") +
                   ".files_per_s=" + std::to_string(static_cast<long>(rates[rates.size() / 2] + 0.5));
        if (createLinks) {
            std::sort(toBare.begin(), toBare.end());
            printf("links    median of the rounds' ratios to the bare method %.2f\n", toBare[toBare.size() / 2]);
            results += " median_to_bare=" + std::to_string(toBare[toBare.size() / 2]);
        }
        results += "\n";
    }
    fputs(results.c_str(), stdout);
    for (const std::string& path : logPaths) unlink(path.c_str());
    return 0;
}
