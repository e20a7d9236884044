#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "space/SpaceSupport.h"
#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"
#include "support/TmpfsMount.h"

using namespace space_test;

// The INTERNAL disk is full, so no INTERNAL copy can be made; the EXTERNAL and
// OPTIONAL storages copy every file. At the shift the RAM-disk files go all the
// same, their data being safe on EXTERNAL; one whose EXTERNAL copy was removed
// by hand stays.
TEST(KeptFilesTest, ARamDiskFileWithoutInternalCopyGoesAtItsShiftOnceExternalHoldsIt) {
    TmpfsMount ram("size=8m"), full("size=64k");
    if (!full.mounted()) GTEST_SKIP() << full.skipReason();
    ASSERT_GT(fillTo(full.path(), 99), 99);
    DaemonRunner daemon;
    const std::string external = daemon.root() + "/external", log = daemon.logPath();
    daemon.writeConfig("logfile " + log + "\nramdisk_mountpoint " + ram.path() + "\nmessage_port " +
                       std::to_string(daemon.messagePort()) + "\nstatus_port " + std::to_string(daemon.statusPort()) +
                       "\nstorageID internal\ntype INTERNAL\ntarget " + full.path() + "/copies\nmountpoint " +
                       full.path() + "\nstorageID external\ntype EXTERNAL\ntarget " + external +
                       "\nstorageID usb\ntype OPTIONAL\ntarget " + daemon.root() + "/usb\n");
    ASSERT_EQ(0, daemon.run()) << daemon.output();
    FifoWriter pipe(daemon.pipePath());
    ASSERT_TRUE(pipe.open());
    const int files = 30;
    auto name = [](int i) { return "run/img_" + std::to_string(i) + ".cbf"; };
    std::string lines;
    for (int i = 0; i < files; ++i) {
        CopyRig::put(ram.path() + "/" + name(i), std::string(5000, 'a' + i % 26));
        lines += ram.path() + "/./" + name(i) + "\n";
    }
    ASSERT_TRUE(pipe.write(lines));
    ASSERT_TRUE(CopyRig::waitUntil([&]() { return fileExists(daemon.root() + "/usb/" + name(files - 1)); }));
    ASSERT_TRUE(CopyRig::waitUntil([&]() { return fileExists(external + "/" + name(files - 1)); }));
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
    EXPECT_EQ(1, countInFile(log, "Warning: Not removing " + ram.path() + "/./" + name(0) + ": copy " + external +
                                      "/" + name(0) + " is missing\n"));
}
