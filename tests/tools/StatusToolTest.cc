#include <poll.h>
#include <string.h>
#include <time.h>

#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "net/TCPSocket.h"
#include "support/ChildProcess.h"
#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"

namespace {

// Every run of blanks made one, so that rows compare as words.
std::string words(const std::string& output) {
    return std::regex_replace(std::regex_replace(output, std::regex("[ \t]+"), " "), std::regex(" ?\n ?"), "\n");
}
std::string status(const std::string& port, const std::vector<std::string>& options = {}) {
    std::vector<std::string> command{builtExecutable("vellort-status"), "--port", port};
    command.insert(command.end(), options.begin(), options.end());
    std::string output;
    runProgram(command, &output, nullptr);
    return words(output);
}

// The shift start as the table shows it: local time, and TZ is UTC here.
std::string shiftStart(const std::string& seconds) {
    time_t when = std::stoll(seconds);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", gmtime(&when));
    return text;
}

}  // namespace

TEST(StatusToolTest, ShowsEveryShiftAndStorageOfTheRunningDaemon) {
    setenv("TZ", "UTC", 1);
    DaemonRunner daemon;
    daemon.writeConfig(daemon.defaultConfig() + "storageID spare\ntype OPTIONAL\ntarget " + daemon.root() + "/spare\n");
    ASSERT_EQ(0, daemon.run());
    ASSERT_GT(daemon.daemonPid(), 0);  // known to the runner, which kills it at the end
    writeFile(daemon.root() + "/ramdisk/a.dat", "a");
    writeFile(daemon.root() + "/ramdisk/b.dat", "b");
    FifoWriter pipe(daemon.pipePath());
    ASSERT_TRUE(pipe.open());
    ASSERT_TRUE(pipe.write(daemon.root() + "/ramdisk/./a.dat\n" + daemon.root() + "/ramdisk/./never-written.dat\n"));
    ASSERT_TRUE(pipe.write("usershift: 1001 100\n" + daemon.root() + "/ramdisk/./b.dat\n"));

    const std::string port = std::to_string(daemon.statusPort());
    std::string expected, table, xml;
    // The storages book their copies on their own threads: ask until they have.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    do {
        xml = status(port, {"--xml"});
        std::smatch ids;
        if (std::regex_search(xml, ids, std::regex("usertime id=\"(\\d+)\".*usertime id=\"(\\d+)\"")))
            expected = "Shift start UID GID Storage Pending Copied Failed\n" + shiftStart(ids[1]) +
                       " 1001 100 disk 0 1 0\nspare 0 1 0\n" + shiftStart(ids[2]) + " 0 0 disk 0 1 1\nspare 0 1 1\n";
        table = status(port);
        if (!expected.empty() && table == expected) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(expected, table);
    // --xml gives the reply line as the daemon sent it; --length limits the shifts.
    EXPECT_EQ(0u, xml.find("<reply> <usertime id=\""));
    EXPECT_EQ(expected.substr(0, expected.find("spare 0 1 0\n") + 12), status(port, {"--length", "1"}));
    EXPECT_EQ("No history: the daemon has no user shift with storages to show.\n", status(port, {"--length", "0"}));
}

// Verification counts show where the reply has them; a failure gives exit status 1 and the reason.
TEST(StatusToolTest, AStandInsRepliesAreShownWithTheirVerificationCountsOrFailWithTheReason) {
    setenv("TZ", "UTC", 1);
    const std::pair<const char*, const char*> cases[] = {
        // what a stand-in daemon answers; the exit status, and the table in words or the start of stderr
        {"<reply><usertime id=\"0\" uid=\"1\" gid=\"2\"><storage id=\"d\" pending=\"0\" copied=\"2\" failed=\"1\""
         " verified=\"2\" verifyFailed=\"1\"/><storage id=\"s\" pending=\"0\" copied=\"3\" "
         "failed=\"0\"/></usertime></reply>\n",
         "0 Shift start UID GID Storage Pending Copied Failed\n1970-01-01 00:00:00 1 2 d 0 2 1 verified 2, failed "
         "verification 1\ns 0 3 0\n"},
        {nullptr, "1 vellort-status: cannot reach the status service at localhost:"},
        {"<reply>    <error type=\"action error\" message=\"Unkown action &apos;history&apos;\"/></reply>\n",
         "1 vellort-status: the daemon answered with an error: action error: Unkown action 'history'"},
        {"VELLORT? never heard of it\n", "1 vellort-status: unreadable reply"},
    };
    for (const auto& test : cases) {
        TCPSocket listener;
        ASSERT_GE(listener.server("0"), 0);
        const std::string port = std::to_string(listener.localPort());
        if (test.first == nullptr) listener.close();  // nothing listens there now
        TempDir outputs;
        ChildProcess tool({builtExecutable("vellort-status"), "--port", port}, outputs.path(), "status");
        struct pollfd ready = {listener, POLLIN, 0};
        if (test.first != nullptr && poll(&ready, 1, 20000) == 1) {
            std::unique_ptr<TCPSocket> connection(listener.accept());
            std::string request;
            if (connection && connection->readLine(request) > 0)
                connection->write(test.first, static_cast<int64_t>(strlen(test.first)));
        }
        const int exited = tool.waitForExit();
        const std::string said =
            std::to_string(exited) + " " + (exited == 0 ? words(tool.output()) : tool.errorOutput());
        EXPECT_EQ(0u, said.find(test.second)) << said;
    }
}
