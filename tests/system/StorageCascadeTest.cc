#include <fcntl.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ledger/Storage.h"
#include "space/SpaceSupport.h"
#include "support/ChildProcess.h"
#include "support/CopyRig.h"
#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"
#include "support/StatusClient.h"
#include "support/TmpfsMount.h"
#include "util/Checksum.h"
#include "util/Files.h"

using namespace space_test;

namespace {

// What a shell command prints, errors included; its exit status.
int shell(const std::string& command, std::string* output = nullptr) {
    return runProgram({"/bin/sh", "-c", command + " 2>&1"}, output, nullptr);
}

std::string hashOf(const std::string& content) {
    UTILITIES::Checksum checksum;
    checksum.add(content.data(), content.size());
    return checksum.hex();
}

void flipFirstByte(const std::string& path) {
    std::string content = readFile(path);
    content[0] ^= 1;
    writeFile(path, content);
}

// Whether a descriptor is the file at `path`, met for the first time.
bool firstTimeFor(int fd, const std::string& path, int& seen) {
    struct stat opened, named;
    return fstat(fd, &opened) == 0 && stat(path.c_str(), &named) == 0 && opened.st_ino == named.st_ino && seen++ == 0;
}

}  // namespace

// The EXTERNAL disk is read-only for a while, across a user shift: its copies
// fail once each in the log and in the history, are tried again until the disk
// is writable, and then count as copied; the INTERNAL copies they need stay
// until then and go after. Then the disk is taken away and comes back:
// meanwhile its copies are refused, nothing lands in the bare mount point, and
// once it is back they are made.
TEST(StorageCascadeTest, FailedAndRefusedCopiesAreTriedAgainUntilTheDiskTakesThem) {
    TmpfsMount disk("size=4m");
    if (!disk.mounted()) GTEST_SKIP() << disk.skipReason();
    ASSERT_TRUE(disk.remount(true));
    DaemonRunner daemon;
    const std::string ram = daemon.root() + "/ramdisk", log = daemon.logPath();
    daemon.writeConfig(daemon.defaultConfig() + "copy_retry_max_delay 1\nstorageID external\ntype EXTERNAL\ntarget " +
                       disk.path() + "/data\ntarget_mount " + disk.path() + "\n");
    FifoWriter pipe(daemon.pipePath());
    ASSERT_TRUE(daemon.run() == 0 && pipe.open()) << daemon.output();
    auto announce = [&](const std::string& name) {
        CopyRig::put(ram + "/run/" + name, "data " + name);
        return ram + "/./run/" + name + "\n";
    };
    const int files = 10;
    std::string lines;
    for (int i = 0; i < files; ++i) lines += announce("f" + std::to_string(i));
    ASSERT_TRUE(pipe.write(lines));
    ASSERT_TRUE(waitForLogCount(log, "external: Error: Copying ", files));
    StatusClient status(daemon.statusPort());
    const std::string history = "<request><action id='history'/></request>";
    EXPECT_NE(std::string::npos, status.ask(history).find("id=\"external\" pending=\"0\" copied=\"0\" failed=\"10\""));
    ASSERT_TRUE(pipe.write("usershift: 1 1\n"));
    ASSERT_TRUE(waitForLogCount(log, "Removing files from previous users", 2));

    ASSERT_TRUE(disk.remount(false));
    ASSERT_TRUE(CopyRig::waitUntil([&]() { return countInFile(log, " at attempt ") == files; }));
    for (int i = 0; i < files; ++i)
        EXPECT_EQ("data f" + std::to_string(i), readFile(disk.path() + "/data/run/f" + std::to_string(i)));
    EXPECT_NE(std::string::npos, status.ask(history).find("id=\"external\" pending=\"0\" copied=\"10\" failed=\"0\""));
    EXPECT_EQ(files, countInFile(log, "external: Error: Copying "));  // once each, not once a try
    // Once the EXTERNAL copies are there, the previous shift's INTERNAL copies go.
    EXPECT_TRUE(CopyRig::waitUntil([&]() { return !fileExists(daemon.root() + "/internal/run/f0"); }));

    ASSERT_EQ(0, umount2(disk.path().c_str(), MNT_DETACH));
    ASSERT_TRUE(pipe.write(announce("b.cbf")));
    ASSERT_TRUE(waitForLogCount(
        log, "external: Error: Copying " + ram + "/run/b.cbf refused: " + disk.path() + " is not mounted\n", 1));
    EXPECT_EQ(0, shell("test -z \"$(ls -A " + disk.path() + ")\""));  // nothing in the bare mount point
    EXPECT_TRUE(waitForLogCount(daemon.root() + "/internal/run/b.cbf", "data b.cbf", 1));  // made all the same
    ASSERT_EQ(0, mount("tmpfs", disk.path().c_str(), "tmpfs", 0, "size=4m"));
    ASSERT_TRUE(pipe.write(announce("c.cbf")));
    for (const char* name : {"c.cbf", "b.cbf"})
        EXPECT_TRUE(waitForLogCount(disk.path() + "/data/run/" + name, std::string("data ") + name, 1)) << name;
}

// The INTERNAL disk is full, so no INTERNAL copy can be made; the EXTERNAL and
// OPTIONAL storages copy every file. At the shift the RAM-disk files go all the
// same, their data being safe on EXTERNAL; one whose EXTERNAL copy was removed
// by hand stays.
TEST(StorageCascadeTest, ARamDiskFileWithoutInternalCopyGoesAtItsShiftOnceExternalHoldsIt) {
    TmpfsMount ram("size=8m"), full("size=64k");
    if (!full.mounted()) GTEST_SKIP() << full.skipReason();
    ASSERT_GT(fillTo(full.path(), 99), 99);
    DaemonRunner daemon;
    const std::string external = daemon.root() + "/external", log = daemon.logPath();
    daemon.writeConfig(daemon.serviceConfig(ram.path()) + "storageID internal\ntype INTERNAL\ntarget " + full.path() +
                       "/copies\nmountpoint " + full.path() + "\nstorageID external\ntype EXTERNAL\ntarget " +
                       external + "\nstorageID usb\ntype OPTIONAL\ntarget " + daemon.root() + "/usb\n");
    FifoWriter pipe(daemon.pipePath());
    ASSERT_TRUE(daemon.run() == 0 && pipe.open()) << daemon.output();
    const int files = 30;
    auto name = [](int i) { return "run/img_" + std::to_string(i) + ".cbf"; };
    std::string lines;
    for (int i = 0; i < files; ++i) {
        CopyRig::put(ram.path() + "/" + name(i), std::string(5000, 'a' + i % 26));
        lines += ram.path() + "/./" + name(i) + "\n";
    }
    ASSERT_TRUE(pipe.write(lines));
    for (const std::string& target : {daemon.root() + "/usb/", external + "/"})
        ASSERT_TRUE(CopyRig::waitUntil([&]() { return fileExists(target + name(files - 1)); }));
    ASSERT_EQ(0, unlink((external + "/" + name(0)).c_str()));

    ASSERT_TRUE(pipe.write("usershift: 1 1\n"));
    ASSERT_TRUE(CopyRig::waitUntil([&]() { return !fileExists(ram.path() + "/" + name(files - 1)); }));
    ASSERT_TRUE(waitForLogCount(log, "Warning: Removing ", files - 1));
    for (int i = 0; i < files; ++i) {
        EXPECT_EQ(i == 0, fileExists(ram.path() + "/" + name(i))) << i;
        EXPECT_EQ(i != 0, readFile(external + "/" + name(i)) == std::string(5000, 'a' + i % 26)) << i;
    }
    EXPECT_EQ(1, countInFile(log, "Warning: Removing " + ram.path() + "/./" + name(1) +
                                      " although this storage holds no copy of it: " + external + "/" + name(1) +
                                      " is complete\n"));
    EXPECT_EQ(1, countInFile(log, "Warning: Not removing " + ram.path() + "/./" + name(0) + ": copy " + external + "/" +
                                      name(0) + " is missing\n"));
}

// Three times the RAM disk's size passes through it at the acquisition's pace:
// the INTERNAL storage's links keep it from filling up, the EXTERNAL storage's
// links do the same on the INTERNAL storage's file system, and every path
// still leads to the file's data. Every manifest passes `xxhsum -c` in its
// target; a byte flipped in one copy fails that file alone. A user shift clears
// RAM disk and INTERNAL disk, with the INTERNAL manifest, while the EXTERNAL
// and OPTIONAL copies and manifests stay.
TEST(StorageCascadeTest, RamDiskNeverFillsWhileThreeTimesItsSizePassesThroughVerified) {
    TmpfsMount ram("size=8m"), internalFs("size=48m");
    if (!ram.mounted()) GTEST_SKIP() << ram.skipReason();
    DaemonRunner daemon;
    const std::string internal = internalFs.path() + "/target", external = daemon.root() + "/external",
                      optional = daemon.root() + "/usb";
    daemon.writeConfig(daemon.serviceConfig(ram.path()) + "fillstate_limit 50\nverify_copies yes\n" +
                       "storageID internal\ntype INTERNAL\ntarget " + internal + "\nn_copy_processes 2\nmountpoint " +
                       internalFs.path() + "\nstorageID external\ntype EXTERNAL\ntarget " + external +
                       "\nn_copy_processes 2\nstorageID usb\ntype OPTIONAL\ntarget " + optional + "\n");
    FifoWriter pipe(daemon.pipePath());
    ASSERT_TRUE(daemon.run() == 0 && pipe.open()) << daemon.output();
    ASSERT_TRUE(daemon.waitForLog("++ copies verified by checksum"));

    const int files = 96;  // of 256 KiB: 24 MiB through an 8 MiB RAM disk
    auto relative = [](int i) { return "run/img_" + std::to_string(i) + ".raw"; };
    auto content = [](int i) {
        return "file " + std::to_string(i) + "\n" + std::string(256 * 1024 - 16, 'A' + i % 26);
    };
    makeDirectories(ram.path() + "/run");
    auto next = std::chrono::steady_clock::now();
    for (int i = 0; i < files; ++i, next += std::chrono::milliseconds(90)) {
        std::this_thread::sleep_until(next);
        std::string why;  // all of it, or the RAM disk is full
        ASSERT_TRUE(writeFile(ram.path() + "/" + relative(i), content(i), &why)) << "file " << i << ": " << why;
        ASSERT_TRUE(pipe.write(ram.path() + "/./" + relative(i) + "\n"));
    }
    const std::vector<std::string> targets = {internal, external, optional};
    auto manifestLines = [&](const std::string& target) {
        std::string count;
        shell("cat " + target + "/vellort-manifest-*.xxh128 | grep -c '  run/img_'", &count);
        return atoi(count.c_str());
    };
    ASSERT_TRUE(CopyRig::waitUntil([&]() {
        for (int i = 0; i < files; ++i)
            for (const std::string& target : targets)
                if (readFile(target + "/" + relative(i)) != content(i)) return false;
        for (const std::string& target : targets)
            if (manifestLines(target) != files) return false;
        return true;
    })) << daemon.log();
    int linked = 0;
    for (int i = 0; i < files; ++i) {
        EXPECT_EQ(content(i), readFile(ram.path() + "/" + relative(i))) << i;
        linked += isLink(ram.path() + "/" + relative(i));
    }
    EXPECT_GT(linked, files / 2);  // only the last second or so may still be on the RAM disk
    // The INTERNAL storage's file system went above the limit too.
    EXPECT_TRUE(CopyRig::waitUntil([&]() { return isLink(internal + "/" + relative(0)); }));
    std::string out;
    for (const std::string& target : targets)
        EXPECT_EQ(0, shell("cd " + target + " && xxhsum -c vellort-manifest-*.xxh128", &out)) << out;
    flipFirstByte(optional + "/" + relative(3));
    EXPECT_NE(0, shell("cd " + optional + " && xxhsum -c vellort-manifest-*.xxh128", &out));
    EXPECT_NE(std::string::npos, out.find(relative(3) + ": FAILED")) << out;
    EXPECT_EQ(out.find("FAILED"), out.rfind("FAILED")) << out;  // that file alone
    flipFirstByte(optional + "/" + relative(3));

    ASSERT_TRUE(pipe.write("usershift: 0 0\n"));
    ASSERT_TRUE(CopyRig::waitUntil([&]() {
        for (int i = 0; i < files; ++i)
            if (fileExists(ram.path() + "/" + relative(i)) || fileExists(internal + "/" + relative(i))) return false;
        return manifestLines(internal) == 0;
    })) << daemon.log();
    for (int i = 0; i < files; ++i)  // the later copies stay
        for (const std::string& target : {external, optional})
            EXPECT_EQ(content(i), readFile(target + "/" + relative(i))) << i;
    EXPECT_EQ(files, manifestLines(external));
    EXPECT_EQ(std::string::npos, daemon.log().find("Error")) << daemon.log();
    EXPECT_EQ(std::string::npos, daemon.log().find("Warning")) << daemon.log();
}

// Hashes taken while copying and read back agree with xxhsum's at the edges
// of the copy buffer and of the read-back buffer. A copy spoilt between its
// write and its read-back is removed and made again, and only then is its file
// on the RAM disk let go, though the fill state asks for links from the start.
// A source that grows while it is copied is copied again. Taken up after a
// restart, a copy found complete is kept only while it still holds the file's
// reference hash; one that does not is made anew. The manifest lists the good
// hashes only.
TEST(StorageCascadeTest, VerifiedCopiesAgreeWithXxhsumAndOnlyGoodCopiesAreKeptAndListed) {
    struct ClearHooks {
        ~ClearHooks() { UTILITIES::copyHooks = UTILITIES::CopyHooks(); }
    } clear;
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
        std::string line;
        ASSERT_EQ(0, runProgram({"/usr/bin/xxhsum", "-H2", rig.dir / "target/" + name}, &line, nullptr)) << line;
        EXPECT_EQ(line.substr(0, 32), verification.sourceHash) << size;
        EXPECT_EQ(verification.sourceHash, verification.copyHash) << size;
        EXPECT_EQ(static_cast<int64_t>(size), verification.copySize);
    }
    Storage::Params params = rig.params("disk", Storage::INTERNAL);
    params.verify_copies = true;
    params.copy_retry_max_delay = 1;
    params.fillstate_limit = 1;  // every copied file becomes a link at once
    params.create_links = true;
    const std::string spoilt = "spoilt content", grown = "grown content";
    int spoiltSeen = 0, grownSeen = 0;
    UTILITIES::copyHooks.copyRenamed = [&](int fd) {
        EXPECT_TRUE(!firstTimeFor(fd, params.target + "/run/spoilt.dat", spoiltSeen) || pwrite(fd, "S", 1, 0) == 1);
    };
    UTILITIES::copyHooks.sourceRead = [&](int fd) {
        if (firstTimeFor(fd, rig.ramdisk + "/run/grows.dat", grownSeen))
            writeFile(rig.ramdisk + "/run/grows.dat", grown + " more");
    };
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
    EXPECT_EQ(good.st_ino, stat((params.target + "/good").c_str(), &after) == 0 ? after.st_ino : 0);  // kept
    EXPECT_EQ("rotten content", readFile(params.target + "/rotten"));
    EXPECT_EQ(2u, storage->history(1).front().verified);

    FileInfo first = CopyRig::file(rig.source("run/spoilt.dat", spoilt));
    storage->insertToBuffer(first);
    storage->flushBuffer();
    ASSERT_TRUE(waitForLogCount(params.logfile, "/run/spoilt.dat: checksum mismatch", 1));
    // Until it is tried again, a second later: no copy, nothing to link against.
    EXPECT_FALSE(fileExists(params.target + "/run/spoilt.dat"));
    EXPECT_FALSE(first.isSet(FileInfo::INTERNAL_COPIED));
    storage->insertToBuffer(CopyRig::file(rig.source("run/grows.dat", grown)));
    storage->flushBuffer();
    ASSERT_TRUE(CopyRig::waitUntil([&] { return countInFile(params.logfile, "/run/spoilt.dat at attempt 2") == 1; }));
    // Linked, then removed by the inode relief: inode use too is above 1 %.
    ASSERT_TRUE(CopyRig::waitUntil([&] {
        return !fileExists(rig.ramdisk + "/run/spoilt.dat") || isLink(rig.ramdisk + "/run/spoilt.dat");
    })) << readFile(params.logfile);

    const DebitCredit::HistEntry counts = storage->history(1).front();
    EXPECT_EQ(4u, counts.verified);
    EXPECT_EQ(1u, counts.verifyFailed);
    const std::string log = readFile(params.logfile);
    EXPECT_NE(std::string::npos,
              log.find("disk: Error: Copying " + rig.ramdisk + "/run/spoilt.dat to " + params.target +
                       "/run/spoilt.dat: checksum mismatch: copied " + hashOf(spoilt) + ", read back " +
                       hashOf("S" + spoilt.substr(1)) + "; the copy is removed"))
        << log;
    EXPECT_NE(std::string::npos,
              log.find("disk: " + rig.ramdisk + "/run/grows.dat changed while it was copied: copied again"))
        << log;
    EXPECT_EQ(grown + " more", readFile(params.target + "/run/grows.dat"));
    const std::string manifest = readFile(params.target + "/" + UTILITIES::manifestName(CopyRig::shiftTime));
    EXPECT_EQ(4, std::count(manifest.begin(), manifest.end(), '\n')) << manifest;
    EXPECT_EQ(hashOf("good content") + "  good\n", manifest.substr(0, manifest.find('\n') + 1)) << manifest;
    for (const std::string& line : {hashOf("rotten content") + "  rotten\n", hashOf(spoilt) + "  run/spoilt.dat\n",
                                    hashOf(grown + " more") + "  run/grows.dat\n"})
        EXPECT_NE(std::string::npos, manifest.find(line)) << manifest;
}
