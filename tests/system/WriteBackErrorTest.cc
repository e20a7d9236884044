#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/AcquisitionScript.h"
#include "support/DaemonRunner.h"
#include "support/LoopDisk.h"
#include "support/TmpfsMount.h"
#include "system/DurabilityChecks.h"

namespace {

using Step = AcquisitionScript::Step;

// The image's immutable flag, cleared when the test ends however it ends,
// so that the image can go.
struct ImmutableImage {
    explicit ImmutableImage(const std::string& image) : image(image) {}
    ~ImmutableImage() { runProgram({LoopDisk::program("chattr"), "-i", image}, nullptr, nullptr); }
    bool set() { return runProgram({LoopDisk::program("chattr"), "+i", image}, nullptr, nullptr) == 0; }
    const std::string image;
};

void failUnderTheDaemon(bool verify) {
    TmpfsMount base("size=1g"), ram("size=256m"), internalDisk("size=256m");
    if (!base.mounted()) GTEST_SKIP() << base.skipReason();
    TempDir work("vellort-writeback");
    // The EXTERNAL disk's image lies on a disk of its own: made immutable
    // there, it refuses every write of the loop device from then on.
    LoopDisk lower(base.path() + "/lower", 448 << 20, "ext4", work / "lower");
    if (!lower.mounted()) GTEST_SKIP() << lower.skipReason();
    auto external = std::make_unique<LoopDisk>(lower.path() + "/external", 320 << 20, "ext4", work / "external");
    ASSERT_TRUE(external->mounted()) << external->skipReason();
    ImmutableImage image(external->image());
    const std::string internal = internalDisk.path() + "/data";

    DaemonRunner daemon;
    daemon.writeConfig(daemon.serviceConfig(ram.path()) + "journal " + daemon.root() +
                       "/var/lib/vellort/journal.sqlite\nverify_copies " + (verify ? "yes" : "no") +
                       "\nstorageID disk\ntype INTERNAL\ntarget " + internal + "\nmountpoint " + internalDisk.path() +
                       "\nstorageID archive\ntype EXTERNAL\ntarget " + external->path() + "/data\n");
    ASSERT_EQ(0, daemon.run()) << daemon.output();
    ASSERT_GT(daemon.daemonPid(), 0);
    AcquisitionScript acquisition(ram.path(), daemon.pipePath(), 200);
    // The disk fails 2 s into the first shift's files; the second shift's
    // 5 s give its file system's next journal commit time to meet the
    // failure and turn it read-only.
    acquisition.play({{Step::SHIFT, 0}, {Step::FILES, 3}, {Step::SHIFT, 0}, {Step::FILES, 5}});
    std::this_thread::sleep_for(std::chrono::seconds(2));  // when the disk starts failing
    ASSERT_TRUE(image.set());
    ASSERT_TRUE(acquisition.waitForEnd());
    ASSERT_EQ("", acquisition.problem());
    ASSERT_TRUE(waitForLogCount(daemon.logPath(), "Removing files from previous users", 4, 30)) << daemon.log();
    waitUntil([&] { return nothingPending(daemon.statusPort()); }, 30, 100);
    size_t logSize = 0;
    waitUntil([&] { return std::exchange(logSize, daemon.log().size()) == logSize; }, 30, 1000);
    ASSERT_EQ(0, kill(daemon.daemonPid(), SIGTERM));
    EXPECT_EQ(0, daemon.waitForExit(30));
    EXPECT_GT(countInFile(daemon.logPath(), "archive: Error: Copying"), 0) << "the disk never failed the daemon";

    // What the failing disk holds: its image, mounted after its journal's replay.
    const std::string copy = base.path() + "/external.copy";
    std::string why;
    ASSERT_TRUE(external->copyImage(copy, &why)) << why;
    external.reset();
    auto held = std::make_unique<LoopDisk>(copy, work / "held");
    if (!held->mounted()) {
        held.reset();
        std::string output;
        runProgram({LoopDisk::program("fsck.ext4"), "-fy", copy}, &output, &output);
        held.reset(new LoopDisk(copy, work / "held"));
        ASSERT_TRUE(held->mounted()) << held->skipReason() << "\nfsck.ext4:\n" << output;
    }
    const std::string kept = held->path() + "/data/";

    std::string problem;
    const std::vector<BookedCopy> booked = bookedCopies(daemon.root() + "/var/lib/vellort/journal.sqlite", &problem);
    ASSERT_EQ("", problem);
    std::vector<std::string> notKept, deleted;
    long bookedExternal = 0, notKeptEarlier = 0;
    for (const BookedCopy& copied : booked) {
        if (copied.storage != "archive") continue;
        ++bookedExternal;
        if (!holds(kept + copied.relative, copied.file))
            notKept.push_back(copied.relative + ": " + found(kept + copied.relative, copied.file));
    }
    EXPECT_TRUE(notKept.empty()) << notKept.size() << " of " << bookedExternal
                                 << " EXTERNAL copies booked in the journal are not on the disk:" << listed(notKept);
    // An INTERNAL copy of an earlier shift goes only on the strength of its EXTERNAL copy.
    for (long file = 0; file < acquisition.lastShiftStart(); ++file) {
        const std::string name = AcquisitionScript::name(file);
        if (holds(kept + name, file)) continue;
        ++notKeptEarlier;
        struct stat status;
        if (lstat((internal + "/" + name).c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
            !holds(internal + "/" + name, file))
            deleted.push_back(name + ": INTERNAL " + found(internal + "/" + name, file) + ", EXTERNAL " +
                              found(kept + name, file));
    }
    EXPECT_TRUE(deleted.empty()) << deleted.size() << " files of the earlier shift have neither their EXTERNAL copy "
                                 << "on the disk nor their INTERNAL copy:" << listed(deleted);
    printf(
        "verify_copies %s: %ld files announced, %ld EXTERNAL copies booked, %zu of them not on the disk; %ld of "
        "the earlier shift's %ld files not on the disk, %zu of them deleted from INTERNAL\n",
        verify ? "yes" : "no", acquisition.announced(), bookedExternal, notKept.size(), notKeptEarlier,
        acquisition.lastShiftStart(), deleted.size());
}

}  // namespace

// The EXTERNAL disk starts failing during an acquisition: from then on none
// of its writes reaches the disk, and its file system turns read-only at its
// next journal commit, while the pages the daemon wrote are still readable
// in memory. A user shift after that lets the EXTERNAL storage delete the
// earlier shift's INTERNAL copies. What the failing disk holds in the end
// must hold every EXTERNAL copy the journal books as made, and no INTERNAL
// copy may have gone for an EXTERNAL copy that the disk does not hold: with
// the copies verified and without.
TEST(WriteBackErrorTest, NoCopyIsBookedOrLetGoThatAFailingDiskNeverHeld) {
    signal(SIGPIPE, SIG_IGN);  // a daemon that died leaves the pipe without a reader
    for (bool verify : {false, true}) {
        SCOPED_TRACE(verify ? "verify_copies yes" : "verify_copies no");
        failUnderTheDaemon(verify);
        if (HasFatalFailure() || IsSkipped()) return;
    }
}
