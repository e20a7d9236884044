#include <string>

#include <gtest/gtest.h>

#include "support/ChildProcess.h"
#include "support/DaemonRunner.h"

namespace {

std::string shell(const std::string& command) {
    return outputOf({"/bin/sh", "-c", "(" + command + ") 2>&1"}, 240);
}

}  // namespace

// The README's first command: it runs through on its own and proves that every file reached every storage.
TEST(DemoTest, RunsTheAcquisitionAndFindsEveryFileCopied) {
    TempDir outputs;
    const int messagePort = freePort();
    int statusPort = freePort();
    while (statusPort == messagePort) statusPort = freePort();
    ChildProcess demo({"/bin/bash", std::string(VELLORT_SOURCE_DIR) + "/scripts/demo.sh"}, outputs.path(), "demo",
                      {{"VELLORT_DEMO_QUICK", "1"},
                       {"VELLORT_DEMO_BUILD_DIR", VELLORT_BINARY_DIR},
                       {"VELLORT_DEMO_MESSAGE_PORT", std::to_string(messagePort)},
                       {"VELLORT_DEMO_STATUS_PORT", std::to_string(statusPort)}});
    EXPECT_EQ(0, demo.waitForExit(120)) << demo.output() << demo.errorOutput();
    const std::string output = demo.output();
    // From the two clients: the history table, and the message of the file announced but never written.
    for (const char* line : {"\nCheck passed: all 30 files copied to internal, external and optional", "Shift start",
                             "4 COPY_ERROR  <sandbox>/ramdisk/data/run3/img_00011.cbf:"})
        EXPECT_NE(std::string::npos, output.find(line)) << line << " not in\n" << output;
    // It cleans up after itself: the sandbox is gone.
    const size_t at = output.find("== sandbox: ");
    ASSERT_NE(std::string::npos, at);
    EXPECT_FALSE(fileExists(output.substr(at + 12, output.find('\n', at) - at - 12)));
}

TEST(PackagingTest, DebianPackageHoldsProgramsUnitAndExampleAndNamesItsLibraries) {
    if (shell("command -v cpack && command -v dpkg-deb").find("dpkg-deb") == std::string::npos)
        GTEST_SKIP() << "cpack or dpkg-deb is not installed";
    TempDir scratch;
    // Made from the tree this test was built in, into the scratch folder.
    const std::string log = shell("cpack -G DEB --config " + std::string(VELLORT_BINARY_DIR) +
                                  "/CPackConfig.cmake -B " + scratch.path() + " && echo PACKAGED");
    ASSERT_NE(std::string::npos, log.find("PACKAGED\n")) << log;
    const std::string package = scratch / "vellort_3.7.1_*.deb";
    const std::string files = shell("dpkg-deb -c " + package), depends = shell("dpkg-deb -f " + package + " Depends");
    for (const char* path :
         {"./usr/bin/vellort\n", "./usr/bin/vellort-status\n", "./usr/bin/vellort-messages\n",
          "./usr/lib/systemd/system/vellort.service\n", "./usr/share/doc/vellort/vellort_quorvin.conf\n"})
        EXPECT_NE(std::string::npos, files.find(path)) << path << " not in\n" << files;
    for (const char* library : {"libtinyxml2-9", "libc6"})
        EXPECT_NE(std::string::npos, depends.find(library)) << depends;
    // The unit is written when installing: it must name the packaged daemon.
    const std::string unit =
        shell("dpkg-deb --fsys-tarfile " + package + " | tar -xOf - ./usr/lib/systemd/system/vellort.service");
    EXPECT_NE(std::string::npos, unit.find("\nExecStart=/usr/bin/vellort --foreground\n")) << unit;
}
