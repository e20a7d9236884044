#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "copy/CopyEngine.h"
#include "ledger/Storage.h"
#include "space/SpaceSupport.h"
#include "support/ChildProcess.h"
#include "support/CopyRig.h"
#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"
#include "support/ReadHold.h"
#include "support/TmpfsMount.h"
#include "util/Checksum.h"

using namespace space_test;

namespace {

std::string hashOf(const std::string& content) {
    UTILITIES::Checksum checksum;
    checksum.add(content.data(), content.size());
    return checksum.hex();
}

// Whether a descriptor is the file at `path`, met for the first time.
bool firstTimeFor(int fd, const std::string& path, int& seen) {
    struct stat opened, named;
    return fstat(fd, &opened) == 0 && stat(path.c_str(), &named) == 0 && opened.st_ino == named.st_ino && seen++ == 0;
}

}  // namespace

// Nothing lands in the bare mount point while the EXTERNAL disk is away.
TEST(StorageCascadeTest, CopiesToAnUnpluggedDiskAreRefusedAndMadeOnceItIsBack) {
    TmpfsMount disk("size=4m");
    if (!disk.mounted()) GTEST_SKIP() << disk.skipReason();
    DaemonRunner daemon;
    const std::string ram = daemon.root() + "/ramdisk", log = daemon.logPath();
    daemon.writeConfig(daemon.defaultConfig() + "copy_retry_max_delay 1\nstorageID external\ntype EXTERNAL\ntarget " +
                       disk.path() + "/data\ntarget_mount " + disk.path() + "\n");
    FifoWriter pipe(daemon.pipePath());
    ASSERT_TRUE(daemon.run() == 0 && pipe.open()) << daemon.output();
    for (const std::string name : {"b.cbf", "c.cbf"}) CopyRig::put(ram + "/run/" + name, "data " + name);
    // Unplugged once the disk's first look has written its marker, not in the middle of that look.
    ASSERT_TRUE(waitUntil([&] { return access((disk.path() + "/data/.vellort-disk").c_str(), F_OK) == 0; }, 10));
    ASSERT_EQ(0, umount2(disk.path().c_str(), MNT_DETACH));
    ASSERT_TRUE(pipe.write(ram + "/./run/b.cbf\n"));
    ASSERT_TRUE(waitForLogCount(
        log, "external: Error: Copying " + ram + "/run/b.cbf refused: " + disk.path() + " is not mounted\n", 1));
    EXPECT_TRUE(std::filesystem::is_empty(disk.path()));  // nothing in the bare mount point
    EXPECT_TRUE(waitForLogCount(daemon.root() + "/internal/run/b.cbf", "data b.cbf", 1));  // made all the same
    ASSERT_EQ(0, mount("tmpfs", disk.path().c_str(), "tmpfs", 0, "size=4m"));
    ASSERT_TRUE(pipe.write(ram + "/./run/c.cbf\n"));
    for (const char* name : {"c.cbf", "b.cbf"})
        EXPECT_TRUE(waitForLogCount(disk.path() + "/data/run/" + name, std::string("data ") + name, 1)) << name;
}

// The INTERNAL disk is full; EXTERNAL and OPTIONAL copy every file. A file whose EXTERNAL copy was removed by hand
// stays at the shift.
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
    auto name = [](int i) { return "run/f" + std::to_string(i); };
    auto content = [](int i) { return std::string(5000, 'a' + i % 26); };
    ASSERT_TRUE(pipe.write(CopyRig::putNumbered(ram.path(), files, content)));
    for (const std::string& target : {daemon.root() + "/usb/", external + "/"})
        ASSERT_TRUE(CopyRig::waitUntil([&]() { return fileExists(target + name(files - 1)); }));
    ASSERT_EQ(0, unlink((external + "/" + name(0)).c_str()));

    ASSERT_TRUE(pipe.write("usershift: 1 1\n"));
    ASSERT_TRUE(CopyRig::waitUntil([&]() { return !fileExists(ram.path() + "/" + name(files - 1)); }));
    ASSERT_TRUE(waitForLogCount(log, "Warning: Removing ", files - 1));
    for (int i = 0; i < files; ++i) {
        EXPECT_EQ(i == 0, fileExists(ram.path() + "/" + name(i))) << i;
        EXPECT_EQ(i != 0, readFile(external + "/" + name(i)) == content(i)) << i;
    }
    EXPECT_EQ(1, countInFile(log, "Warning: Removing " + ram.path() + "/./" + name(1) +
                                      " although this storage holds no copy of it: " + external + "/" + name(1) +
                                      " is complete\n"));
    EXPECT_EQ(1, countInFile(log, "Warning: Not removing " + ram.path() + "/./" + name(0) + ": copy " + external + "/" +
                                      name(0) + " is missing\n"));
}

// Hashes agree with xxhsum's at the edges of the copy and read-back buffers. A copy spoilt between its write and its
// read-back is removed and made again, and only then is its RAM-disk file let go, though the fill state asks for links
// from the start. A source that grows while copied is copied again. Taken up after a restart, a complete copy is kept
// only while it holds the file's reference hash. The manifest lists the good hashes only.
TEST(StorageCascadeTest, VerifiedCopiesAgreeWithXxhsumAndOnlyGoodCopiesAreKeptAndListed) {
    CopyRig rig;
    TrustedTree from(rig.ramdisk), to(rig.dir / "target", true);
    for (size_t size : {0, 1, 8191, 8192, 8193, 65536 * 3 + 7}) {
        std::string content(size, '\0');
        for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>(i * 131 + size);
        const std::string name = "f" + std::to_string(size);
        rig.source(name, content);
        UTILITIES::Verification verification;
        UTILITIES::CopiedFile made;
        UTILITIES::CopyRequest request(from, name, to, name);
        request.made = &made;
        request.verify = &verification;
        ASSERT_EQ(static_cast<int64_t>(size), UTILITIES::copy(request));
        ASSERT_EQ(0, UTILITIES::readBack(to, name, made.copy, verification));
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
    UTILITIES::CopyHooks hooks;
    params.copyHooks = &hooks;
    hooks.copyRenamed = [&](int fd) {
        if (firstTimeFor(fd, params.target + "/run/spoilt.dat", spoiltSeen))
            writeFile("/proc/self/fd/" + std::to_string(fd), "S" + spoilt.substr(1));
    };
    hooks.sourceRead = [&](int fd) {
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
    for (const std::string& line :
         {"disk: Error: Copying " + rig.ramdisk + "/run/spoilt.dat to " + params.target +
              "/run/spoilt.dat: checksum mismatch: copied " + hashOf(spoilt) + ", read back " +
              hashOf("S" + spoilt.substr(1)) + "; the copy is removed",
          "disk: " + rig.ramdisk + "/run/grows.dat changed while it was copied: copied again"})
        EXPECT_NE(std::string::npos, log.find(line)) << log;
    EXPECT_EQ(grown + " more", readFile(params.target + "/run/grows.dat"));
    const std::string manifest = readFile(params.target + "/" + UTILITIES::manifestName(CopyRig::shiftTime));
    EXPECT_EQ(4, std::count(manifest.begin(), manifest.end(), '\n')) << manifest;
    EXPECT_EQ(hashOf("good content") + "  good\n", manifest.substr(0, manifest.find('\n') + 1)) << manifest;
    for (const std::string& line : {hashOf("rotten content") + "  rotten\n", hashOf(spoilt) + "  run/spoilt.dat\n",
                                    hashOf(grown + " more") + "  run/grows.dat\n"})
        EXPECT_NE(std::string::npos, manifest.find(line)) << manifest;
}

// The test's answer to the storages' first reads cuts the file: each copy is made again from what is left.
TEST(StorageCascadeTest, AFileCutShortWhileCopiedGoesAtItsShiftOnceEveryCopyHoldsWhatIsLeft) {
    TmpfsMount ram("size=40m");
    if (!ram.mounted()) GTEST_SKIP() << ram.skipReason();
    DaemonRunner daemon;
    const std::string big = ram.path() + "/run/big.dat", kept(1 << 20, 'k');
    std::string config = daemon.serviceConfig(ram.path());
    for (const std::string type : {"INTERNAL", "EXTERNAL", "OPTIONAL"})
        config += "storageID " + type + "\ntype " + type + "\ntarget " + daemon.root() + "/" + type + "\n";
    daemon.writeConfig(config);
    CopyRig::put(big, kept + std::string(32 << 20, 'x'));
    ReadHold hold(big);
    if (!hold.holding()) GTEST_SKIP() << hold.skipReason();
    FifoWriter pipe(daemon.pipePath());
    ASSERT_TRUE(daemon.run() == 0 && pipe.open()) << daemon.output();
    EXPECT_TRUE(pipe.write(ram.path() + "/./run/big.dat\n"));
    ASSERT_TRUE(hold.waitForHeld(3));  // all three have opened the file when it is cut
    EXPECT_EQ(0, truncate(big.c_str(), 1 << 20));
    hold.release();
    for (const std::string type : {"INTERNAL", "EXTERNAL", "OPTIONAL"})
        EXPECT_TRUE(CopyRig::waitUntil([&] { return readFile(daemon.root() + "/" + type + "/run/big.dat") == kept; }));
    EXPECT_TRUE(pipe.write("usershift: 1 1\n") && CopyRig::waitUntil([&] { return !fileExists(big); })) << daemon.log();
}
