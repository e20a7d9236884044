// Measures UTILITIES::copy, one file at a time on one thread as a copy worker
// uses it, against `cp -a` and, where installed, `rsync -a` of the same tree
// in the same run: many small files
// (directory creation and per-file system calls dominate) and a few large ones
// (the 8 KiB read/write loop dominates). Source and destination are two tmpfs
// mounted here when running as root, so that no disk is measured; otherwise
// plain directories under /tmp.
//
// The copies alternate for a number of rounds, so that none always meets
// fresh memory first; the ratio compares the best round of each. A last line
// per case, "RESULT key=value cp=value rsync=value", is for scripts.
//
//   copy_bench [--small-files N] [--small-kb K] [--large-files N] [--large-mb M] [--rounds R] [--no-rsync]

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "copy/CopyEngine.h"
#include "support/TempDir.h"
#include "support/TmpfsMount.h"

namespace {

const uint64_t MiB = 1024 * 1024;
const int filesPerDirectory = 1000;

struct Options {
    long smallFiles = 20000;
    long smallKiB = 4;
    long largeFiles = 4;
    long largeMiB = 512;
    long rounds = 2;
    bool rsync = true;  // off with --no-rsync, or when rsync is not installed
};

[[noreturn]] void die(const std::string& message);

// Removes a copy; a copy that stays only costs room, so it is reported, not fatal.
void removeCopy(const std::string& path) {
    std::string problem;
    if (!removeTree(path, &problem)) fprintf(stderr, "copy_bench: %s\n", problem.c_str());
}

// Writes `count` files of `bytes` each below root, filesPerDirectory to a
// directory, and returns their paths relative to root.
std::vector<std::string> makeTree(const std::string& root, long count, uint64_t bytes, const char* stem) {
    std::vector<char> block(MiB);
    uint32_t state = 2463534242u;  // xorshift: content that no layer can compress or share
    for (char& byte : block) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state);
    }
    std::vector<std::string> files;
    for (long i = 0; i < count; ++i) {
        char directory[32], name[64];
        snprintf(directory, sizeof directory, "run%03ld", i / filesPerDirectory);
        snprintf(name, sizeof name, "%s/%s_%05ld.cbf", directory, stem, i);
        if (i % filesPerDirectory == 0 && mkdir((root + "/" + directory).c_str(), 0755) != 0 && errno != EEXIST)
            die("mkdir " + root + "/" + directory + ": " + strerror(errno));
        std::string path = root + "/" + name;
        FILE* file = fopen(path.c_str(), "w");
        if (file == nullptr) die("cannot create " + path + ": " + strerror(errno));
        block[0] = static_cast<char>(i);  // files differ from each other
        for (uint64_t left = bytes; left > 0;) {
            size_t chunk = left < MiB ? left : MiB;
            if (fwrite(block.data(), 1, chunk, file) != chunk) die("cannot write " + path + ": " + strerror(errno));
            left -= chunk;
        }
        if (fclose(file) != 0) die("cannot write " + path + ": " + strerror(errno));
        files.push_back(name);
    }
    return files;
}

void report(const char* who, long round, double elapsed, size_t files, uint64_t bytes) {
    printf("  round %ld  %-16s %8.3f s %10.0f files/s %9.1f MB/s\n", round, who, elapsed, files / elapsed,
           bytes / elapsed / 1e6);
}

// Copies the tree both ways into fresh directories of the destination area,
// round after round, and prints each figure and the ratio of the best. Each
// copy is removed before the next, so the destination never needs room for
// more than one.
double timeCommand(const std::string& command) {
    double start = seconds();
    int status = system(command.c_str());
    double elapsed = seconds() - start;
    if (status != 0) die(command + " failed with status " + std::to_string(status));
    return elapsed;
}

void runCase(const char* title, const TmpfsMount& source, const TmpfsMount& destination, long count, uint64_t bytes,
             const char* stem, long rounds, bool rsync) {
    if (count <= 0) return;
    std::string sourceRoot = source.path() + "/" + stem;
    if (mkdir(sourceRoot.c_str(), 0755) != 0) die("mkdir " + sourceRoot + ": " + strerror(errno));
    std::vector<std::string> files = makeTree(sourceRoot, count, bytes, stem);
    uint64_t total = bytes * files.size();
    printf("%s: %zu files of %llu KiB, %.1f MB\n", title, files.size(), static_cast<unsigned long long>(bytes / 1024),
           total / 1e6);

    double oursBest = 0, cpBest = 0, rsyncBest = 0;
    for (long round = 1; round <= rounds; ++round) {
        // Like a copy worker: one file after the other, directories made on
        // demand by the copy itself, owner and group carried over as cp -a
        // does as root.
        std::string oursRoot = destination.path() + "/ours";
        double start = seconds();
        uint64_t copied = 0;
        // Trees as a copy job holds them: the source tree and the target, made on demand.
        TrustedTree from(sourceRoot);
        TrustedTree to(oursRoot, true);
        for (const std::string& file : files) {
            UTILITIES::CopyRequest request(from, file, to, file);
            request.preserveUid = true;
            request.preserveGid = true;
            int64_t result = UTILITIES::copy(request);
            if (result < 0)
                die("UTILITIES::copy of " + file + " failed with " + std::to_string(result) + ": " + strerror(errno));
            copied += static_cast<uint64_t>(result);
        }
        double oursElapsed = seconds() - start;
        if (copied != total)
            die("UTILITIES::copy copied " + std::to_string(copied) + " bytes, expected " + std::to_string(total));
        report("UTILITIES::copy", round, oursElapsed, files.size(), total);
        removeCopy(oursRoot);

        double cpElapsed = timeCommand("cp -a '" + sourceRoot + "' '" + destination.path() + "/cp'");
        report("cp -a", round, cpElapsed, files.size(), total);
        removeCopy(destination.path() + "/cp");

        if (rsync) {
            // The trailing slashes make rsync copy the tree's content into
            // the new directory, as cp -a does for a destination that does
            // not exist yet.
            double rsyncElapsed = timeCommand("rsync -a '" + sourceRoot + "/' '" + destination.path() + "/rsync/'");
            report("rsync -a", round, rsyncElapsed, files.size(), total);
            removeCopy(destination.path() + "/rsync");
            if (round == 1 || rsyncElapsed < rsyncBest) rsyncBest = rsyncElapsed;
        }

        if (round == 1 || oursElapsed < oursBest) oursBest = oursElapsed;
        if (round == 1 || cpElapsed < cpBest) cpBest = cpElapsed;
    }
    printf("  best: UTILITIES::copy %.0f files/s %.1f MB/s, cp -a %.0f files/s %.1f MB/s, ratio copy / cp -a %.2f\n",
           files.size() / oursBest, total / oursBest / 1e6, files.size() / cpBest, total / cpBest / 1e6,
           cpBest / oursBest);
    if (rsync)
        printf("  best: rsync -a %.0f files/s %.1f MB/s, ratio copy / rsync -a %.2f\n", files.size() / rsyncBest,
               total / rsyncBest / 1e6, rsyncBest / oursBest);
    // Small files are counted in files/s, large ones in MB/s: what limits each.
    bool small = strcmp(stem, "small") == 0;
    double scale = small ? static_cast<double>(files.size()) : total / 1e6;
    printf("RESULT copy.%s.%s=%.1f cp=%.1f", stem, small ? "files_per_s" : "MB_per_s", scale / oursBest,
           scale / cpBest);
    if (rsync) printf(" rsync=%.1f", scale / rsyncBest);
    printf("\n");
    fflush(stdout);
    removeCopy(sourceRoot);
}

void die(const std::string& message) {
    fprintf(stderr, "copy_bench: %s\n", message.c_str());
    exit(1);  // runs the destructors of main's static areas
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--small-files")
            options.smallFiles = numberArgument(argc, argv, i);
        else if (option == "--small-kb")
            options.smallKiB = numberArgument(argc, argv, i);
        else if (option == "--large-files")
            options.largeFiles = numberArgument(argc, argv, i);
        else if (option == "--large-mb")
            options.largeMiB = numberArgument(argc, argv, i);
        else if (option == "--rounds")
            options.rounds = numberArgument(argc, argv, i);
        else if (option == "--no-rsync")
            options.rsync = false;
        else {
            fprintf(stderr,
                    "usage: %s [--small-files N] [--small-kb K] [--large-files N] [--large-mb M] [--rounds R] "
                    "[--no-rsync]\n",
                    argv[0]);
            return 2;
        }
    }
    if (options.rounds < 1) {
        fprintf(stderr, "--rounds must be at least 1\n");
        return 2;
    }
    umask(0);  // as the daemon runs
    if (options.rsync && system("command -v rsync >/dev/null 2>&1") != 0) {
        printf("NOTE: no rsync on this machine; the rsync -a comparison is left out\n");
        options.rsync = false;
    }

    // Room for the larger case, counted in whole pages, with slack for directories.
    uint64_t smallBytes = options.smallFiles * ((options.smallKiB * 1024 + 4095) / 4096 * 4096);
    uint64_t largeBytes = options.largeFiles * options.largeMiB * MiB;
    uint64_t needed = smallBytes > largeBytes ? smallBytes : largeBytes;
    uint64_t areaBytes = needed + needed / 10 + 64 * MiB;
    // A tmpfs each when mounting is possible, a plain directory under /tmp
    // otherwise. Static, so that die(), which leaves by exit(), unmounts them.
    const std::string size = "size=" + std::to_string(areaBytes / MiB + 1) + "m";
    static TmpfsMount source(size);
    static TmpfsMount destination(size);
    if (source.mounted() && destination.mounted())
        printf("tmpfs to tmpfs: two tmpfs of %llu MiB at %s and %s\n",
               static_cast<unsigned long long>(areaBytes / MiB + 1), source.path().c_str(), destination.path().c_str());
    else
        printf("NOTE: no tmpfs (%s); directories under /tmp instead, figures include the disk's file system\n",
               (source.mounted() ? destination.skipReason() : source.skipReason()).c_str());

    runCase("small files", source, destination, options.smallFiles, options.smallKiB * 1024, "small", options.rounds,
            options.rsync);
    runCase("large files", source, destination, options.largeFiles, options.largeMiB * MiB, "large", options.rounds,
            options.rsync);
    return 0;
}
