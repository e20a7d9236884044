#include <dirent.h>
#include <sys/mount.h>

#include <string>

#include <gtest/gtest.h>

#include "support/CopyRig.h"
#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"
#include "support/StatusClient.h"
#include "support/TmpfsMount.h"

namespace {

int entries(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    int count = 0;
    for (struct dirent* e = dir ? readdir(dir) : nullptr; e != nullptr; e = readdir(dir)) ++count;
    if (dir) closedir(dir);
    return count - 2;  // "." and ".."
}

}  // namespace

// The EXTERNAL disk is read-only for a while, across a user shift: its copies
// fail once each in the log and in the history, are tried again until the disk
// is writable, and then count as copied; the INTERNAL copies they need stay
// until then and go after. Then the disk is taken away and comes back:
// meanwhile its copies are refused, nothing lands in the bare mount point, and
// once it is back they are made.
TEST(RetryTest, FailedAndRefusedCopiesAreTriedAgainUntilTheDiskTakesThem) {
    TmpfsMount disk("size=4m");
    if (!disk.mounted()) GTEST_SKIP() << disk.skipReason();
    ASSERT_TRUE(disk.remount(true));
    DaemonRunner daemon;
    const std::string ram = daemon.root() + "/ramdisk", log = daemon.logPath();
    daemon.writeConfig(daemon.defaultConfig() + "copy_retry_max_delay 1\nstorageID external\ntype EXTERNAL\ntarget " +
                       disk.path() + "/data\ntarget_mount " + disk.path() + "\n");
    ASSERT_EQ(0, daemon.run());
    FifoWriter pipe(daemon.pipePath());
    ASSERT_TRUE(pipe.open());
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
    ASSERT_TRUE(waitForLogCount(log, "external: Error: Copying " + ram + "/run/b.cbf refused: " + disk.path() +
                                         " is not mounted\n", 1));
    EXPECT_EQ(0, entries(disk.path()));
    EXPECT_TRUE(waitForLogCount(daemon.root() + "/internal/run/b.cbf", "data b.cbf", 1));  // made all the same
    ASSERT_EQ(0, mount("tmpfs", disk.path().c_str(), "tmpfs", 0, "size=4m"));
    ASSERT_TRUE(pipe.write(announce("c.cbf")));
    for (const char* name : {"c.cbf", "b.cbf"})
        EXPECT_TRUE(waitForLogCount(disk.path() + "/data/run/" + name, std::string("data ") + name, 1)) << name;
}
