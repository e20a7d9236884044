#include <unistd.h>

#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "support/ChildProcess.h"
#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"

TEST(MessagesToolTest, PrintsEveryFrameAndReconnectsWhenTheDaemonComesAndGoes) {
    DaemonRunner daemon;
    daemon.writeConfig(daemon.defaultConfig());
    TempDir outputs;
    const std::string port = std::to_string(daemon.messagePort());
    // Started before the daemon, as after a reboot where the client comes up first.
    ChildProcess plain({builtExecutable("vellort-messages"), "--port", port}, outputs.path(), "plain");
    ChildProcess json({builtExecutable("vellort-messages"), "--port", port, "--json"}, outputs.path(), "json");
    const std::string unreachable = "vellort-messages: cannot reach the message service at localhost:" + port;
    ASSERT_TRUE(plain.waitForErrorOutput(unreachable));
    ASSERT_TRUE(json.waitForErrorOutput(unreachable));

    for (int round = 1; round <= 2; ++round) {
        ASSERT_EQ(0, daemon.run());
        ASSERT_GT(daemon.daemonPid(), 0);  // known to the runner, which kills it below
        // Frames reach only clients the daemon has accepted: wait for both.
        ASSERT_TRUE(waitForLogCount(daemon.logPath(), "++ Accepted connection from", 2 * round));
        ASSERT_TRUE(plain.waitForErrorOutput("connected to the message service", round));
        // A file announced and never written gives one COPY_ERROR frame. Paths
        // are bytes: a quote, a backslash and a byte that is no UTF-8.
        const std::string name = "we\"ird\\" + std::string(1, '\xff') + "_" + std::to_string(round) + ".dat";
        FifoWriter pipe(daemon.pipePath());
        ASSERT_TRUE(pipe.open());
        ASSERT_TRUE(pipe.write(daemon.root() + "/ramdisk/./" + name + "\n"));
        pipe.close();
        const std::string subject = daemon.root() + "/ramdisk/" + name + ":" + daemon.root() + "/internal/" + name;
        ASSERT_TRUE(plain.waitForOutput("  4 COPY_ERROR  " + subject + "  Error: Failed to copy ", 1));
        ASSERT_TRUE(json.waitForOutput("\"code\":4,\"name\":\"COPY_ERROR\"", round));
        daemon.kill();
        unlink(daemon.pidFilePath().c_str());  // the next start writes its own
        ASSERT_TRUE(plain.waitForErrorOutput("lost the message service at localhost:" + port, round));
    }
    // One line per frame, flushed as it came: both rounds are there, in order.
    const std::string line = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  4 COPY_ERROR  [^\\n]*_";
    EXPECT_TRUE(std::regex_match(plain.output(), std::regex(line + "1\\.dat[^\\n]*\\n" + line + "2\\.dat[^\\n]*\\n")))
        << plain.output();
    const std::string object =
        "\\{\"time\":\"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d\","
        "\"epoch_ms\":\\d+,\"code\":4,\"name\":\"COPY_ERROR\",\"subject\":\"[^\\n]*";
    EXPECT_TRUE(
        std::regex_match(json.output(), std::regex(object + "_1\\.dat\\.\"\\}\\n" + object + "_2\\.dat\\.\"\\}\\n")))
        << json.output();
    EXPECT_NE(std::string::npos, json.output().find("we\\\"ird\\\\\\ufffd_1.dat:")) << json.output();
}
