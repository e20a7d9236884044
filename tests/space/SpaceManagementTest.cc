#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "space/SpaceSupport.h"
#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"
#include "support/TempDir.h"
#include "support/TmpfsMount.h"

using namespace space_test;

namespace {

const size_t fileSize = 256 * 1024;

std::string content(int i) {
    std::string text(fileSize, static_cast<char>('A' + i % 26));
    const std::string stamp = "file " + std::to_string(i) + "\n";
    std::copy(stamp.begin(), stamp.end(), text.begin());
    return text;
}

// As the acquisition writes: 0 or the errno of the failing call.
int writeData(const std::string& path, const std::string& data) {
    int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    if (fd < 0) return errno;
    size_t done = 0;
    while (done < data.size()) {
        ssize_t written = write(fd, data.data() + done, data.size() - done);
        if (written < 0) {
            int writeErrno = errno;
            close(fd);
            return writeErrno;
        }
        done += static_cast<size_t>(written);
    }
    return close(fd) == 0 ? 0 : errno;
}

}  // namespace

// Four times the RAM disk's size passes through it at a steady rate: the
// INTERNAL storage's links keep it from filling up, the EXTERNAL storage's
// links do the same on the INTERNAL storage's file system, and every path
// still leads to the file's data, until a user shift clears both.
TEST(SpaceManagementTest, RamDiskNeverFillsWhileFourTimesItsSizePassesThrough) {
    TmpfsMount ram("size=8m");
    TmpfsMount internalFs("size=48m");
    if (!ram.mounted()) GTEST_SKIP() << ram.skipReason();
    DaemonRunner daemon;
    const std::string internalTarget = internalFs.path() + "/target";
    const std::string externalTarget = daemon.root() + "/external";
    daemon.writeConfig("logfile " + daemon.logPath() + "\nramdisk_mountpoint " + ram.path() + "\nmessage_port " +
                       std::to_string(daemon.messagePort()) + "\nstatus_port " + std::to_string(daemon.statusPort()) +
                       "\nfillstate_limit 50\n"
                       "storageID internal\ntype INTERNAL\ntarget " +
                       internalTarget + "\nn_copy_processes 2\nmountpoint " + internalFs.path() +
                       "\nstorageID external\ntype EXTERNAL\ntarget " + externalTarget + "\nn_copy_processes 2\n");
    ASSERT_EQ(0, daemon.run()) << daemon.output();
    FifoWriter pipe(daemon.pipePath());
    ASSERT_TRUE(pipe.open());

    const int files = 128;  // 32 MiB through an 8 MiB RAM disk
    const auto period = std::chrono::milliseconds(90);
    auto relative = [](int i) { return "run/img_" + std::to_string(i) + ".raw"; };
    makeDirectories(ram.path() + "/run");
    double highest = 0;
    auto next = std::chrono::steady_clock::now();
    for (int i = 0; i < files; ++i) {
        std::this_thread::sleep_until(next);  // the acquisition's pace
        next += period;
        const int result = writeData(ram.path() + "/" + relative(i), content(i));
        ASSERT_EQ(0, result) << "writing file " << i << ": " << strerror(result);
        highest = std::max(highest, fillPercent(ram.path()));
        ASSERT_TRUE(pipe.write(ram.path() + "/./" + relative(i) + "\n"));
    }
    std::cout << "highest RAM-disk fill state: " << highest << "%\n";

    ASSERT_TRUE(waitUntil(
        [&]() {
            for (int i = 0; i < files; ++i)
                if (readFile(internalTarget + "/" + relative(i)) != content(i) ||
                    readFile(externalTarget + "/" + relative(i)) != content(i))
                    return false;
            return true;
        },
        30))
        << daemon.log();
    int linked = 0;
    for (int i = 0; i < files; ++i) {
        EXPECT_EQ(content(i), readFile(ram.path() + "/" + relative(i))) << i;
        if (isLink(ram.path() + "/" + relative(i))) ++linked;
    }
    // Most files have left the RAM disk; only the last second or so may not.
    EXPECT_GT(linked, files / 2);
    // The INTERNAL storage's file system went above the limit too.
    EXPECT_TRUE(waitUntil([&]() { return isLink(internalTarget + "/" + relative(0)); }));

    ASSERT_TRUE(pipe.write("usershift: 0 0\n"));
    ASSERT_TRUE(waitUntil([&]() {
        for (int i = 0; i < files; ++i)
            if (!gone(ram.path() + "/" + relative(i)) || !gone(internalTarget + "/" + relative(i))) return false;
        return true;
    })) << daemon.log();
    for (int i = 0; i < files; ++i) EXPECT_EQ(content(i), readFile(externalTarget + "/" + relative(i))) << i;
    const std::string log = daemon.log();
    EXPECT_EQ(std::string::npos, log.find("Error")) << log;
    EXPECT_EQ(std::string::npos, log.find("Warning")) << log;
}
