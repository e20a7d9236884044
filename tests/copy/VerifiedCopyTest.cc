#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ledger/Storage.h"
#include "support/CopyRig.h"
#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"
#include "support/LogWatch.h"
#include "util/Checksum.h"
#include "util/Files.h"

namespace {

// What a shell command printed, and its exit status.
std::string run(const std::string& command, int& status) {
    std::string out;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    char chunk[4096];
    for (size_t got; pipe != nullptr && (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, got);
    status = pipe != nullptr ? pclose(pipe) : -1;
    return out;
}

std::string hashOf(const std::string& content) {
    UTILITIES::Checksum checksum;
    checksum.add(content.data(), content.size());
    return checksum.hex();
}

// Flips the first byte of a file and gives it back its modification time, so
// that only its content tells.
void flipFirstByte(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR);
    struct stat status;
    char byte = 0;
    ASSERT_TRUE(fd >= 0 && fstat(fd, &status) == 0 && pread(fd, &byte, 1, 0) == 1);
    byte ^= 1;
    const struct timespec times[2] = {status.st_atim, status.st_mtim};
    EXPECT_TRUE(pwrite(fd, &byte, 1, 0) == 1 && futimens(fd, times) == 0);
    close(fd);
}

// Whether a descriptor's file has this name, and has not been met before under it.
bool firstTimeFor(int fd, const std::string& name, int& seen) {
    char path[4096];
    const ssize_t length = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path - 1);
    const std::string text(path, length > 0 ? static_cast<size_t>(length) : 0);
    return text.size() >= name.size() && text.compare(text.size() - name.size(), name.size(), name) == 0 &&
           seen++ == 0;
}

struct ClearHooks {
    ~ClearHooks() { UTILITIES::copyHooks = UTILITIES::CopyHooks(); }
};

}  // namespace

// Hashes taken while copying and read back agree with xxhsum's at the edges
// of the copy buffer and of the read-back buffer.
TEST(VerifiedCopyTest, HashesAgreeWithXxhsumForEverySize) {
    CopyRig rig;
    TrustedTree from(rig.ramdisk), to(rig.dir / "target", true);
    for (size_t size : {0, 1, 8191, 8192, 8193, 65536 * 3 + 7}) {
        std::string content(size, '\0');
        for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>(i * 131 + size);
        const std::string name = "f" + std::to_string(size);
        rig.source(name, content);
        UTILITIES::Verification verification;
        ASSERT_EQ(static_cast<int64_t>(size),
                  UTILITIES::copy(from, name, to, name, false, false, nullptr, &verification));
        int status;
        const std::string line = run("{ xxhsum -H2 " + rig.dir / "target" + "/" + name + " 2>/dev/null; }", status);
        ASSERT_EQ(0, status) << line;
        EXPECT_EQ(line.substr(0, 32), verification.sourceHash) << size;
        EXPECT_EQ(verification.sourceHash, verification.copyHash) << size;
        EXPECT_EQ(static_cast<int64_t>(size), verification.copySize);
    }
}

// A copy spoilt between its write and its read-back is removed and made
// again, and only then is its file on the RAM disk let go, though the fill
// state asks for links from the start. A source that grows while it is copied is copied
// again. The manifest lists the good hashes only.
TEST(VerifiedCopyTest, SpoiltCopiesAndChangedSourcesAreMadeAgainAndOnlyGoodHashesListed) {
    ClearHooks clear;
    CopyRig rig;
    Storage::Params params = rig.params("disk", Storage::INTERNAL);
    params.verify_copies = true;
    params.copy_retry_max_delay = 1;
    params.fillstate_limit = 1;  // every copied file becomes a link at once
    params.create_links = true;
    const std::string spoilt = "spoilt content", grown = "grown content";
    int spoiltSeen = 0, grownSeen = 0;
    UTILITIES::copyHooks.copyRenamed = [&](int fd) {
        if (firstTimeFor(fd, "/run/spoilt.dat", spoiltSeen)) {
            EXPECT_EQ(1, pwrite(fd, "S", 1, 0));
        }
    };
    UTILITIES::copyHooks.sourceRead = [&](int fd) {
        if (firstTimeFor(fd, "/run/grows.dat", grownSeen)) writeFile(rig.ramdisk + "/run/grows.dat", grown + " more");
    };
    Storage* storage = CopyRig::start(params);
    FileInfo first = CopyRig::file(rig.source("run/spoilt.dat", spoilt));
    storage->insertToBuffer(first);
    storage->flushBuffer();
    ASSERT_TRUE(waitForLogCount(params.logfile, "checksum mismatch", 1));
    // Until it is tried again, a second later: no copy, nothing to link against.
    struct stat status;
    EXPECT_NE(0, lstat((params.target + "/run/spoilt.dat").c_str(), &status));
    EXPECT_FALSE(first.isSet(FileInfo::INTERNAL_COPIED));
    storage->insertToBuffer(CopyRig::file(rig.source("run/grows.dat", grown)));
    storage->flushBuffer();
    ASSERT_TRUE(CopyRig::waitUntil([&] { return countInFile(params.logfile, " at attempt 2") == 1; }));
    ASSERT_TRUE(CopyRig::waitUntil([&] {
        // Linked, then removed by the inode relief: inode use too is above 1 %.
        return lstat((rig.ramdisk + "/run/spoilt.dat").c_str(), &status) != 0 || S_ISLNK(status.st_mode);
    })) << readFile(params.logfile);

    const DebitCredit::HistEntry counts = storage->history(1).front();
    EXPECT_EQ(2u, counts.verified);
    EXPECT_EQ(1u, counts.verifyFailed);
    const std::string log = readFile(params.logfile);
    EXPECT_NE(std::string::npos,
              log.find("disk: Error: Copying " + rig.ramdisk + "/run/spoilt.dat to " + params.target +
                       "/run/spoilt.dat: checksum mismatch: copied " + hashOf(spoilt) + ", read back " +
                       hashOf("S" + spoilt.substr(1)) + "; the copy is removed"))
        << log;
    EXPECT_NE(std::string::npos, log.find("disk: " + rig.ramdisk + "/run/grows.dat changed while it was copied: "
                                          "copied again"))
        << log;
    EXPECT_EQ(grown + " more", readFile(params.target + "/run/grows.dat"));
    const std::string manifest = readFile(params.target + "/" + UTILITIES::manifestName(CopyRig::shiftTime));
    EXPECT_EQ(2, std::count(manifest.begin(), manifest.end(), '\n')) << manifest;
    EXPECT_NE(std::string::npos, manifest.find(hashOf(spoilt) + "  run/spoilt.dat\n")) << manifest;
    EXPECT_NE(std::string::npos, manifest.find(hashOf(grown + " more") + "  run/grows.dat\n")) << manifest;
}

// Taken up after a restart: a copy found complete is kept only while it still
// holds the file's reference hash; one that does not is made anew.
TEST(VerifiedCopyTest, CopiesFoundAtARestartAreKeptOnlyWithTheirReferenceHash) {
    CopyRig rig;
    Storage::Params params = rig.params("disk", Storage::INTERNAL);
    params.verify_copies = true;
    struct stat good, after;
    std::vector<FileInfo> files;
    for (const std::string name : {"good", "rotten"}) {
        files.push_back(CopyRig::file(rig.source(name, name + " content")));
        files.back().setFlag(FileInfo::RECOVERED);
        files.back().referenceHash(hashOf(name + " content"));
        CopyRig::put(params.target + "/" + name, name == "good" ? "good content" : "rotten c0ntent");
        struct stat source;
        ASSERT_EQ(0, stat((rig.ramdisk + "/" + name).c_str(), &source));
        const struct timespec times[2] = {source.st_atim, source.st_mtim};
        ASSERT_EQ(0, utimensat(AT_FDCWD, (params.target + "/" + name).c_str(), times, 0));
    }
    ASSERT_EQ(0, stat((params.target + "/good").c_str(), &good));
    Storage* storage = CopyRig::start(params);
    for (const FileInfo& file : files) storage->insertToBuffer(file);
    storage->flushBuffer();
    ASSERT_TRUE(CopyRig::waitForBooked(*storage, 2));
    EXPECT_EQ(0, stat((params.target + "/good").c_str(), &after));
    EXPECT_EQ(good.st_ino, after.st_ino);  // kept, not copied again
    EXPECT_EQ("rotten content", readFile(params.target + "/rotten"));
    EXPECT_EQ(2u, storage->history(1).front().verified);
    const std::string manifest = readFile(params.target + "/" + UTILITIES::manifestName(CopyRig::shiftTime));
    EXPECT_EQ(hashOf("good content") + "  good\n", manifest.substr(0, manifest.find('\n') + 1)) << manifest;
    EXPECT_NE(std::string::npos, manifest.find(hashOf("rotten content") + "  rotten\n")) << manifest;
}

// Through the real daemon: every manifest passes `xxhsum -c` in its target;
// a byte flipped in one copy fails that file alone. At the next user shift,
// the INTERNAL copies go with their manifest; EXTERNAL's stays.
TEST(VerifiedCopyTest, ManifestsOfAnAcquisitionPassXxhsumAndGoWithTheirCopies) {
    DaemonRunner daemon;
    const std::string ram = daemon.root() + "/ramdisk", internal = daemon.root() + "/internal",
                      external = daemon.root() + "/external";
    daemon.writeConfig(daemon.defaultConfig() + "verify_copies yes\nstorageID archive\ntype EXTERNAL\ntarget " +
                       external + "\nmountpoint " + daemon.root() + "\n");
    ASSERT_EQ(0, daemon.run());
    ASSERT_TRUE(daemon.waitForLog("++ copies verified by checksum"));
    FifoWriter pipe(daemon.pipePath());
    ASSERT_TRUE(pipe.open());
    const int files = 12;
    std::string lines;
    for (int i = 0; i < files; ++i) {
        CopyRig::put(ram + "/run/f" + std::to_string(i), std::string(i * 1000, static_cast<char>('a' + i)));
        lines += ram + "/./run/f" + std::to_string(i) + "\n";
    }
    ASSERT_TRUE(pipe.write(lines));
    std::string manifest;
    ASSERT_TRUE(CopyRig::waitUntil([&] {
        for (const std::string& target : {internal, external}) {
            int status;
            manifest = run("ls " + target + "/vellort-manifest-*.xxh128", status);
            if (status != 0 || countInFile(manifest.substr(0, manifest.find('\n')), "  run/f") != files) return false;
        }
        return true;
    })) << daemon.log();
    manifest = manifest.substr(manifest.rfind('/') + 1, manifest.find('\n') - manifest.rfind('/') - 1);
    int status;
    for (const std::string& target : {internal, external}) {
        const std::string out = run("cd " + target + " && xxhsum -c " + manifest, status);
        EXPECT_EQ(0, status) << out;
        EXPECT_EQ(files, countInFile(target + "/" + manifest, "  run/f"));
    }
    flipFirstByte(external + "/run/f3");
    const std::string out = run("cd " + external + " && xxhsum -c " + manifest, status);
    EXPECT_NE(0, status);
    EXPECT_NE(std::string::npos, out.find("run/f3: FAILED")) << out;
    size_t failed = 0;
    for (size_t at = out.find("FAILED"); at != std::string::npos; at = out.find("FAILED", at + 1)) ++failed;
    EXPECT_EQ(1u, failed) << out;

    ASSERT_TRUE(pipe.write("usershift: 1 1\n"));
    ASSERT_TRUE(CopyRig::waitUntil([&] { return access((internal + "/" + manifest).c_str(), F_OK) != 0; }))
        << daemon.log();
    EXPECT_NE(0, access((internal + "/run/f0").c_str(), F_OK));
    EXPECT_EQ(0, access((external + "/" + manifest).c_str(), F_OK));
}
