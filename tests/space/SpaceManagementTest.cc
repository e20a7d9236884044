#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "space/SpaceSupport.h"
#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"
#include "support/TmpfsMount.h"

using namespace space_test;

// Four times the RAM disk's size passes through it at the acquisition's pace:
// the INTERNAL storage's links keep it from filling up, the EXTERNAL storage's
// links do the same on the INTERNAL storage's file system, and every path
// still leads to the file's data, until a user shift clears both while the
// EXTERNAL and OPTIONAL copies stay.
TEST(SpaceManagementTest, RamDiskNeverFillsWhileFourTimesItsSizePassesThrough) {
    TmpfsMount ram("size=8m"), internalFs("size=48m");
    if (!ram.mounted()) GTEST_SKIP() << ram.skipReason();
    DaemonRunner daemon;
    const std::string internalTarget = internalFs.path() + "/target", externalTarget = daemon.root() + "/external",
                      optionalTarget = daemon.root() + "/usb";
    daemon.writeConfig("logfile " + daemon.logPath() + "\nramdisk_mountpoint " + ram.path() + "\nmessage_port " +
                       std::to_string(daemon.messagePort()) + "\nstatus_port " + std::to_string(daemon.statusPort()) +
                       "\nfillstate_limit 50\nstorageID internal\ntype INTERNAL\ntarget " + internalTarget +
                       "\nn_copy_processes 2\nmountpoint " + internalFs.path() +
                       "\nstorageID external\ntype EXTERNAL\ntarget " + externalTarget +
                       "\nn_copy_processes 2\nstorageID usb\ntype OPTIONAL\ntarget " + optionalTarget + "\n");
    ASSERT_EQ(0, daemon.run()) << daemon.output();
    FifoWriter pipe(daemon.pipePath());
    ASSERT_TRUE(pipe.open());

    const int files = 128;  // of 256 KiB: 32 MiB through an 8 MiB RAM disk
    auto relative = [](int i) { return "run/img_" + std::to_string(i) + ".raw"; };
    auto content = [](int i) {
        return "file " + std::to_string(i) + "\n" + std::string(256 * 1024 - 16, 'A' + i % 26);
    };
    makeDirectories(ram.path() + "/run");
    double highest = 0;
    auto next = std::chrono::steady_clock::now();
    for (int i = 0; i < files; ++i, next += std::chrono::milliseconds(90)) {
        std::this_thread::sleep_until(next);
        const std::string data = content(i);
        const int fd = open((ram.path() + "/" + relative(i)).c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        ASSERT_LE(0, fd) << "file " << i << ": " << strerror(errno);
        const ssize_t written = write(fd, data.data(), data.size());  // all of it, or the RAM disk is full
        ASSERT_EQ(static_cast<ssize_t>(data.size()), written) << "file " << i << ": " << strerror(errno);
        ASSERT_EQ(0, close(fd));
        highest = std::max(highest, fillPercent(ram.path()));
        ASSERT_TRUE(pipe.write(ram.path() + "/./" + relative(i) + "\n"));
    }
    std::cout << "highest RAM-disk fill state: " << highest << "%\n";

    ASSERT_TRUE(CopyRig::waitUntil([&]() {
        for (int i = 0; i < files; ++i)
            if (readFile(internalTarget + "/" + relative(i)) != content(i) ||
                readFile(externalTarget + "/" + relative(i)) != content(i) ||
                readFile(optionalTarget + "/" + relative(i)) != content(i))
                return false;
        return true;
    })) << daemon.log();
    int linked = 0;
    for (int i = 0; i < files; ++i) {
        EXPECT_EQ(content(i), readFile(ram.path() + "/" + relative(i))) << i;
        linked += isLink(ram.path() + "/" + relative(i));
    }
    EXPECT_GT(linked, files / 2);  // only the last second or so may still be on the RAM disk
    // The INTERNAL storage's file system went above the limit too.
    EXPECT_TRUE(CopyRig::waitUntil([&]() { return isLink(internalTarget + "/" + relative(0)); }));

    ASSERT_TRUE(pipe.write("usershift: 0 0\n"));
    ASSERT_TRUE(CopyRig::waitUntil([&]() {
        for (int i = 0; i < files; ++i)
            if (fileExists(ram.path() + "/" + relative(i)) || fileExists(internalTarget + "/" + relative(i)))
                return false;
        return true;
    })) << daemon.log();
    for (int i = 0; i < files; ++i) {  // the later copies stay
        EXPECT_EQ(content(i), readFile(externalTarget + "/" + relative(i))) << i;
        EXPECT_EQ(content(i), readFile(optionalTarget + "/" + relative(i))) << i;
    }
    EXPECT_EQ(std::string::npos, daemon.log().find("Error")) << daemon.log();
    EXPECT_EQ(std::string::npos, daemon.log().find("Warning")) << daemon.log();
}
