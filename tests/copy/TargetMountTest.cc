#include <dirent.h>
#include <sys/mount.h>

#include <string>

#include <gtest/gtest.h>

#include "support/CopyRig.h"
#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"
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

// The EXTERNAL disk is taken away and later comes back: meanwhile its copies
// are refused, and nothing lands in the bare mount point.
TEST(TargetMountTest, CopiesToAStorageWhoseDiskIsNotMountedAreRefusedAndMakeNothing) {
    TmpfsMount disk("size=4m");
    if (!disk.mounted()) GTEST_SKIP() << disk.skipReason();
    DaemonRunner daemon;
    const std::string ram = daemon.root() + "/ramdisk", log = daemon.logPath();
    daemon.writeConfig(daemon.defaultConfig() + "storageID external\ntype EXTERNAL\ntarget " + disk.path() +
                       "/data\ntarget_mount " + disk.path() + "\n");
    ASSERT_EQ(0, daemon.run());
    FifoWriter pipe(daemon.pipePath());
    ASSERT_TRUE(pipe.open());
    auto announce = [&](const std::string& name) {
        CopyRig::put(ram + "/run/" + name, name);
        return pipe.write(ram + "/./run/" + name + "\n");
    };
    ASSERT_TRUE(announce("a.cbf"));
    ASSERT_TRUE(CopyRig::waitUntil([&]() { return fileExists(disk.path() + "/data/run/a.cbf"); }));

    ASSERT_EQ(0, umount2(disk.path().c_str(), MNT_DETACH));
    ASSERT_TRUE(announce("b.cbf"));
    ASSERT_TRUE(waitForLogCount(log, "external: Error: Copying " + ram + "/run/b.cbf refused: " + disk.path() +
                                         " is not mounted\n", 1));
    EXPECT_EQ(0, entries(disk.path()));
    EXPECT_EQ("b.cbf", readFile(daemon.root() + "/internal/run/b.cbf"));

    ASSERT_EQ(0, mount("tmpfs", disk.path().c_str(), "tmpfs", 0, "size=4m"));
    ASSERT_TRUE(announce("c.cbf"));
    ASSERT_TRUE(CopyRig::waitUntil([&]() { return fileExists(disk.path() + "/data/run/c.cbf"); }));
    EXPECT_EQ("c.cbf", readFile(disk.path() + "/data/run/c.cbf"));
}
