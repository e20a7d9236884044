#include <string>

#include <gtest/gtest.h>

#include "support/ChildProcess.h"
#include "support/DaemonRunner.h"
#include "support/TempDir.h"

// The demo is the README's first command: it must run through on its own and
// prove that every file reached every storage.
TEST(DemoTest, RunsTheAcquisitionAndFindsEveryFileCopied) {
    TempDir outputs;
    int messagePort = freePort();
    int statusPort = freePort();
    while (statusPort == messagePort) statusPort = freePort();
    ChildProcess demo({"/bin/bash", std::string(VELLORT_SOURCE_DIR) + "/scripts/demo.sh"}, outputs.path(), "demo",
                      {{"VELLORT_DEMO_QUICK", "1"},
                       {"VELLORT_DEMO_BUILD_DIR", VELLORT_BINARY_DIR},
                       {"VELLORT_DEMO_MESSAGE_PORT", std::to_string(messagePort)},
                       {"VELLORT_DEMO_STATUS_PORT", std::to_string(statusPort)}});
    EXPECT_EQ(0, demo.waitForExit(120)) << demo.output() << demo.errorOutput();

    const std::string output = demo.output();
    EXPECT_NE(std::string::npos, output.find("\nCheck passed: all 30 files copied to internal, external and optional"))
        << output;
    // What it shows comes from the two clients: the history table and the
    // message about the file that was announced but never written.
    EXPECT_NE(std::string::npos, output.find("Shift start")) << output;
    EXPECT_NE(std::string::npos, output.find("4 COPY_ERROR  <sandbox>/ramdisk/data/run3/img_00011.cbf:")) << output;
    // It cleans up after itself: the sandbox is gone.
    std::string::size_type at = output.find("== sandbox: ");
    ASSERT_NE(std::string::npos, at);
    EXPECT_FALSE(fileExists(output.substr(at + 12, output.find('\n', at) - at - 12)));
}
