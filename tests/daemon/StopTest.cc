#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "support/CopyRig.h"
#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"
#include "support/TmpfsMount.h"
#include "util/Files.h"
#include "util/Stop.h"

// SIGTERM in the middle of a large copy: the copy is finished, not cut off, no
// temporary file stays, and the daemon says so and ends with status 0.
TEST(StopTest, SigtermLetsTheRunningCopyFinishAndEndsWithStatusZero) {
    TmpfsMount ram("size=1100m"), target("size=1100m");
    if (!target.mounted()) GTEST_SKIP() << target.skipReason();
    DaemonRunner daemon;
    daemon.writeConfig("logfile " + daemon.logPath() + "\nramdisk_mountpoint " + ram.path() + "\nmessage_port " +
                       std::to_string(daemon.messagePort()) + "\nstatus_port " + std::to_string(daemon.statusPort()) +
                       "\nstorageID disk\ntype INTERNAL\ntarget " + target.path() + "\nmountpoint " + target.path() +
                       "\n");
    const off_t size = 1024L << 20;
    const int fd = open((ram.path() + "/big.raw").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_TRUE(fd >= 0 && fallocate(fd, 0, 0, size) == 0);
    close(fd);
    ASSERT_EQ(0, daemon.run());
    FifoWriter pipe(daemon.pipePath());
    ASSERT_TRUE(pipe.open());
    ASSERT_TRUE(pipe.write(ram.path() + "/./big.raw\n"));
    ASSERT_TRUE(CopyRig::waitUntil([&]() { return fileExists(target.path() + "/big.raw.tmp"); }));
    ASSERT_EQ(0, kill(daemon.daemonPid(), SIGTERM));

    EXPECT_EQ(0, daemon.waitForExit(15));
    struct stat copy;
    ASSERT_EQ(0, stat((target.path() + "/big.raw").c_str(), &copy));
    EXPECT_EQ(size, copy.st_size);
    EXPECT_FALSE(fileExists(target.path() + "/big.raw.tmp"));
    EXPECT_EQ(1, countInFile(daemon.logPath(), "++ VELLORT stopped on SIGTERM\n"));
}

// A copy still running when the grace time is over gives up at its next
// block and removes its temporary file. In a child, as the stop is process-wide.
TEST(StopTest, ACopyCutOffByTheStopLeavesNoTemporaryFile) {
    TempDir dir;
    writeFile(dir / "source", std::string(100000, 's'));
    const pid_t child = fork();
    if (child == 0) {
        UTILITIES::abortCopies();
        TrustedTree from(dir.path()), to(dir / "target", true);
        const int64_t result = UTILITIES::copy(from, "source", to, "copy", false, false);
        _exit(result == UTILITIES::COPY_WRITE && errno == ECANCELED ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(fileExists(dir / "target/copy.tmp") || fileExists(dir / "target/copy"));
}
