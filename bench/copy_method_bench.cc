// Compares the kernel's ways of moving a file's bytes into a new file, one
// file at a time on one thread, between two tmpfs mounts (a RAM disk and a
// target on another file system, as in the daemon): read and write through a
// buffer of the given size, sendfile, and copy_file_range. The methods take
// turns within each round, each starting at a different place in the turn,
// and the summary gives each one's median rate. A method the kernel refuses
// (copy_file_range between two file systems without support for it fails
// with EXDEV) is reported with its error and no rate.
//
// Needs root (tmpfs mounts). The last lines, "RESULT key=value", are for
// scripts.
//
//   copy_method_bench [--files N] [--mb M] [--rounds R] [--buffer-kb K]

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/Median.h"
#include "support/TmpfsMount.h"

namespace {

const long MiB = 1024 * 1024;

[[noreturn]] void die(const std::string& text) {
    fprintf(stderr, "copy_method_bench: %s\n", text.c_str());
    exit(1);
}

enum Method { READ_WRITE, SENDFILE, COPY_FILE_RANGE };
const char* const methodNames[] = {"read/write", "sendfile", "copy_file_range"};
const char* const methodKeys[] = {"read_write", "sendfile", "copy_file_range"};

// Copies `from` into a new `to` by `method`. The bytes copied, or -1 with errno.
int64_t copyBy(Method method, const std::string& from, const std::string& to, std::vector<char>& buffer) {
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return -1;
    unlink(to.c_str());
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (out < 0) {
        close(in);
        return -1;
    }
    int64_t total = 0;
    for (;;) {
        ssize_t got;
        if (method == READ_WRITE) {
            got = read(in, buffer.data(), buffer.size());
            for (ssize_t done = 0; got > 0 && done < got;) {
                const ssize_t put = write(out, buffer.data() + done, got - done);
                if (put <= 0) {
                    got = -1;
                    break;
                }
                done += put;
            }
        } else if (method == SENDFILE) {
            got = sendfile(out, in, nullptr, 1 << 30);
        } else {
            got = copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
        }
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            total = -1;
            break;
        }
        total += got;
    }
    const int savedErrno = errno;
    close(in);
    if (close(out) != 0 && total >= 0) total = -1;
    errno = savedErrno;
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    long files = 4, megabytes = 512, rounds = 9, bufferKiB = 1024;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const long value = atol(argv[i + 1]);
        if (option == "--files")
            files = value;
        else if (option == "--mb")
            megabytes = value;
        else if (option == "--rounds")
            rounds = value;
        else if (option == "--buffer-kb")
            bufferKiB = value;
        else
            die("unknown option " + option +
                "; usage: copy_method_bench [--files N] [--mb M] [--rounds R] [--buffer-kb K]");
    }
    if (files < 1 || megabytes < 1 || rounds < 1 || bufferKiB < 1) die("every figure must be at least 1");
    if (geteuid() != 0) die("needs root to mount the tmpfs file systems");

    const std::string size = "size=" + std::to_string(files * megabytes * MiB + 16 * MiB);
    // Static, so that die(), which leaves by exit(), unmounts them.
    static TmpfsMount sourceMount(size), targetMount(size);
    if (!sourceMount.mounted() || !targetMount.mounted())
        die((sourceMount.mounted() ? targetMount : sourceMount).skipReason());
    const std::string& source = sourceMount.path();
    const std::string& target = targetMount.path();

    std::vector<char> buffer(static_cast<size_t>(bufferKiB) * 1024);
    uint32_t state = 2463534242u;  // xorshift: content that nothing can compress or share
    std::vector<char> block(8 * MiB);
    for (long f = 0; f < files; ++f) {
        const std::string path = source + "/f" + std::to_string(f);
        FILE* file = fopen(path.c_str(), "w");
        if (file == nullptr) die("cannot create " + path);
        for (long left = megabytes * MiB; left > 0; left -= static_cast<long>(block.size())) {
            for (char& byte : block) {
                state ^= state << 13;
                state ^= state >> 17;
                state ^= state << 5;
                byte = static_cast<char>(state);
            }
            const size_t chunk = std::min<size_t>(block.size(), static_cast<size_t>(left));
            if (fwrite(block.data(), 1, chunk, file) != chunk) die("cannot write " + path);
        }
        if (fclose(file) != 0) die("cannot write " + path);
    }
    printf("copy_method_bench: %ld files of %ld MiB, tmpfs %s to tmpfs %s, %ld KiB buffer, %ld rounds\n", files,
           megabytes, source.c_str(), target.c_str(), bufferKiB, rounds);

    std::vector<double> rates[3];
    std::string refused[3];
    for (long round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < 3; ++turn) {
            const Method method = static_cast<Method>((turn + round) % 3);
            const double start = seconds();
            int64_t copied = 0;
            for (long f = 0; f < files && copied >= 0; ++f) {
                const std::string name = "/f" + std::to_string(f);
                const int64_t got = copyBy(method, source + name, target + name, buffer);
                copied = got < 0 ? -1 : copied + got;
            }
            const double elapsed = seconds() - start;
            if (copied < 0) {
                refused[method] = strerror(errno);
                printf("  round %ld %-16s refused: %s\n", round + 1, methodNames[method], refused[method].c_str());
            } else {
                rates[method].push_back(copied / elapsed / 1e6);
                printf("  round %ld %-16s %8.0f MB/s\n", round + 1, methodNames[method], copied / elapsed / 1e6);
            }
            fflush(stdout);
        }
    }
    for (int method = 0; method < 3; ++method) {
        if (rates[method].empty())
            printf("%-16s refused (%s)\n", methodNames[method], refused[method].c_str());
        else
            printf("%-16s median %8.0f MB/s over %zu rounds\n", methodNames[method], median(rates[method]),
                   rates[method].size());
    }
    for (int method = 0; method < 3; ++method)
        if (!rates[method].empty())
            printf("RESULT copy_method.%s.MB_per_s=%.0f\n", methodKeys[method], median(rates[method]));

    return 0;
}
