#include <poll.h>
#include <time.h>

#include <chrono>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "net/TCPSocket.h"
#include "support/ChildProcess.h"
#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"
#include "support/TempDir.h"

namespace {

std::string status(const std::vector<std::string>& arguments, int* exitStatus = nullptr,
                   std::string* errorOutput = nullptr) {
    std::vector<std::string> command{builtExecutable("vellort-status")};
    command.insert(command.end(), arguments.begin(), arguments.end());
    std::string output;
    int result = runProgram(command, &output, errorOutput);
    if (exitStatus != nullptr) *exitStatus = result;
    return output;
}

// The table with every run of blanks made one, so that rows compare as words.
std::string words(const std::string& table) {
    std::istringstream lines(table);
    std::string line, out;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string field, joined;
        while (fields >> field) joined += (joined.empty() ? "" : " ") + field;
        out += joined + "\n";
    }
    return out;
}

// The shift start as the table shows it: local time, and TZ is UTC here.
std::string shiftStart(const std::string& seconds) {
    time_t when = std::stoll(seconds);
    struct tm utc;
    gmtime_r(&when, &utc);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
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
        xml = status({"--port", port, "--xml"});
        std::smatch ids;
        if (std::regex_search(xml, ids, std::regex("usertime id=\"(\\d+)\".*usertime id=\"(\\d+)\""))) {
            expected = "Shift start UID GID Storage Pending Copied Failed\n" + shiftStart(ids[1]) +
                       " 1001 100 disk 0 1 0\n"
                       "spare 0 1 0\n" +
                       shiftStart(ids[2]) +
                       " 0 0 disk 0 1 1\n"
                       "spare 0 1 1\n";
        }
        table = words(status({"--port", port}));
        if (!expected.empty() && table == expected) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(expected, table);

    // --xml gives the reply line as the daemon sent it; --length limits the shifts.
    EXPECT_EQ(0u, xml.find("<reply>    <usertime id=\""));
    EXPECT_EQ(xml.size() - 1, xml.find('\n'));
    EXPECT_EQ(expected.substr(0, expected.find("spare 0 1 0\n") + 12),
              words(status({"--port", port, "--length", "1"})));
    EXPECT_EQ("No history: the daemon has no user shift with storages to show.\n",
              status({"--port", port, "--length", "0"}));
}

TEST(StatusToolTest, UnreachableServiceAndErrorRepliesFailWithTheReason) {
    struct Case {
        const char* serverReply;  // null: nothing listens
        const char* reason;
    };
    const Case cases[] = {
        {nullptr, "cannot reach the status service at localhost:"},
        {"<reply>    <error type=\"action error\" message=\"Unkown action &apos;history&apos;\"/></reply>\n",
         "the daemon answered with an error: action error: Unkown action 'history'"},
        {"VELLORT? never heard of it\n", "unreadable reply"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        // A stand-in for a daemon of another version: one request, one canned reply.
        std::unique_ptr<TCPSocket> listener;
        std::thread server;
        int port = freePort();
        if (c.serverReply != nullptr) {
            listener.reset(new TCPSocket);
            ASSERT_GE(listener->server("0"), 0);
            port = listener->localPort();
            server = std::thread([&listener, &c] {
                struct pollfd ready = {*listener, POLLIN, 0};
                if (poll(&ready, 1, 20000) != 1) return;  // the client never came: its test fails
                std::unique_ptr<TCPSocket> connection(listener->accept());
                std::string request;
                if (connection && connection->readLine(request) > 0)
                    connection->write(c.serverReply, static_cast<int64_t>(strlen(c.serverReply)));
            });
        }
        int exitStatus = 0;
        std::string errorOutput;
        status({"--port", std::to_string(port)}, &exitStatus, &errorOutput);
        if (server.joinable()) server.join();
        EXPECT_EQ(1, exitStatus);
        EXPECT_NE(std::string::npos, errorOutput.find(std::string("vellort-status: ") + c.reason)) << errorOutput;
    }
}
