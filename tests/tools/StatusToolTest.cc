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

// The tool's output with every run of blanks made one, so that rows compare as words.
std::string status(const std::string& port, const std::vector<std::string>& options = {}) {
    std::vector<std::string> command{builtExecutable("vellort-status"), "--port", port};
    command.insert(command.end(), options.begin(), options.end());
    std::string output;
    runProgram(command, &output, nullptr);
    return std::regex_replace(std::regex_replace(output, std::regex("[ \t]+"), " "), std::regex(" ?\n ?"), "\n");
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
    EXPECT_EQ(xml.size() - 1, xml.find('\n'));
    EXPECT_EQ(expected.substr(0, expected.find("spare 0 1 0\n") + 12), status(port, {"--length", "1"}));
    EXPECT_EQ("No history: the daemon has no user shift with storages to show.\n", status(port, {"--length", "0"}));
}

TEST(StatusToolTest, UnreachableServiceAndErrorRepliesFailWithTheReason) {
    const std::pair<const char*, const char*> cases[] = {
        // what a stand-in daemon answers, what the tool says
        {nullptr, "cannot reach the status service at localhost:"},
        {"<reply>    <error type=\"action error\" message=\"Unkown action &apos;history&apos;\"/></reply>\n",
         "the daemon answered with an error: action error: Unkown action 'history'"},
        {"VELLORT? never heard of it\n", "unreadable reply"},
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
        EXPECT_EQ(1, tool.waitForExit());
        EXPECT_NE(std::string::npos, tool.errorOutput().find(std::string("vellort-status: ") + test.second))
            << tool.errorOutput();
    }
}
