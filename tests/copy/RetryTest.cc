#include <string>

#include <gtest/gtest.h>

#include "support/CopyRig.h"
#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"
#include "support/StatusClient.h"
#include "support/TmpfsMount.h"

// The EXTERNAL disk is read-only for a while, across a user shift: its copies
// fail once each in the log and in the history, are tried again until the disk
// is writable, and then count as copied; the INTERNAL copies they need stay
// until then and go after.
TEST(RetryTest, FailedCopiesAreTriedAgainUntilTheyAreMadeAndTheHistoryTakesTheFailuresBack) {
    TmpfsMount disk("size=4m");
    if (!disk.mounted()) GTEST_SKIP() << disk.skipReason();
    ASSERT_TRUE(disk.remount(true));
    DaemonRunner daemon;
    const std::string ram = daemon.root() + "/ramdisk", log = daemon.logPath();
    daemon.writeConfig(daemon.defaultConfig() + "copy_retry_max_delay 1\nstorageID external\ntype EXTERNAL\ntarget " +
                       disk.path() + "\n");
    ASSERT_EQ(0, daemon.run());
    FifoWriter pipe(daemon.pipePath());
    ASSERT_TRUE(pipe.open());
    const int files = 10;
    std::string lines;
    for (int i = 0; i < files; ++i) {
        CopyRig::put(ram + "/run/f" + std::to_string(i), "data " + std::to_string(i));
        lines += ram + "/./run/f" + std::to_string(i) + "\n";
    }
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
        EXPECT_EQ("data " + std::to_string(i), readFile(disk.path() + "/run/f" + std::to_string(i)));
    EXPECT_NE(std::string::npos, status.ask(history).find("id=\"external\" pending=\"0\" copied=\"10\" failed=\"0\""));
    EXPECT_EQ(files, countInFile(log, "external: Error: Copying "));  // once each, not once a try
    // Once the EXTERNAL copies are there, the previous shift's INTERNAL copies go.
    EXPECT_TRUE(CopyRig::waitUntil([&]() { return !fileExists(daemon.root() + "/internal/run/f0"); }));
}
