#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "net/TCPSocket.h"
#include "space/SpaceSupport.h"
#include "support/ChildProcess.h"
#include "support/CopyRig.h"
#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"
#include "support/TmpfsMount.h"

namespace {

// What a script of this folder printed: by line up to its last word, which is the value; all of it at "".
std::map<std::string, std::string> runScript(const std::string& script, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"/usr/bin/python3", VELLORT_SOURCE_DIR "/tests/system/" + script});
    std::string output, errors;
    EXPECT_EQ(0, runProgram(arguments, &output, &errors, 120)) << output << errors;
    std::map<std::string, std::string> facts{{"", output}};
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);)
        facts[line.substr(0, line.rfind(' '))] = line.substr(line.rfind(' ') + 1);
    return facts;
}

// Every run of blanks made one, so that rows compare as words.
std::string words(const std::string& output) {
    return std::regex_replace(std::regex_replace(output, std::regex("[ \t]+"), " "), std::regex(" ?\n ?"), "\n");
}

// vellort-status's output in words.
std::string status(const std::string& port, const std::vector<std::string>& options = {}) {
    std::vector<std::string> command{builtExecutable("vellort-status"), "--port", port};
    command.insert(command.end(), options.begin(), options.end());
    return words(outputOf(command));
}

// The shift start as vellort-status shows it: local time, and TZ is UTC here.
std::string shiftStart(const std::string& seconds) {
    const time_t when = std::stoll(seconds);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", gmtime(&when));
    return text;
}

}  // namespace

// Files copied, failed, retried, linked and deleted while hostile clients hold the metrics port: the metrics,
// vellort-status, /status.json and the status page in headless Chromium (its screenshot goes to the build folder)
// agree. vellort-messages, started first, prints every frame of both runs.
TEST(MonitoringTest, MetricsStatusToolsAndStatusPageTellTheSameFilesUntilTheDaemonStops) {
    if (runProgram({"/usr/bin/python3", "-c", "import prometheus_client"}, nullptr, nullptr) != 0)
        GTEST_SKIP() << "python3-prometheus-client is not installed (scripts/setup.sh installs it)";
    TmpfsMount ram("size=4m"), disk("size=4m");
    if (!ram.mounted()) GTEST_SKIP() << ram.skipReason();
    ASSERT_TRUE(disk.remount(true));
    setenv("TZ", "UTC", 1);
    DaemonRunner daemon;
    const std::string port = std::to_string(freePort()), log = daemon.logPath();
    const std::string messagePort = std::to_string(daemon.messagePort()), accepted = "++ Accepted connection from";
    daemon.writeConfig("ramdisk_mountpoint " + ram.path() + "\n" + daemon.defaultConfig() +
                       "fillstate_limit 1\ncopy_retry_max_delay 1\nmetrics_port " + port + "\njournal " +
                       daemon.root() + "/journal.sqlite\nstorageID external\ntype EXTERNAL\ntarget " + disk.path() +
                       "/data\n");
    TempDir outputs;
    ChildProcess plain({builtExecutable("vellort-messages"), "--port", messagePort}, outputs.path(), "plain");
    ChildProcess json({builtExecutable("vellort-messages"), "--port", messagePort, "--json"}, outputs.path(), "json");
    const std::string unreachable = "vellort-messages: cannot reach the message service at localhost:" + messagePort;
    for (ChildProcess* tool : {&plain, &json}) ASSERT_TRUE(tool->waitForErrorOutput(unreachable));
    ASSERT_EQ(0, daemon.run());
    ASSERT_TRUE(daemon.waitForLog("++ metrics on port " + port));
    ASSERT_TRUE(waitForLogCount(log, accepted, 2));  // frames reach only the clients the daemon has accepted

    std::vector<std::unique_ptr<LoopbackClient>> hostile;
    for (int i = 0; i < 12; ++i) hostile.emplace_back(new LoopbackClient(std::stoi(port)));
    // The long line is refused; the idle ones stay while the files are copied.
    std::thread longLine([&]() { hostile[0]->send("GET /" + std::string(1 << 20, 'a') + " HTTP/1.1\r\n\r\n"); });
    std::string reply;
    EXPECT_TRUE(hostile[0]->readLine(reply, 30000));
    longLine.join();
    EXPECT_EQ("HTTP/1.1 414 URI Too Long\r\n", reply);

    FifoWriter pipe(daemon.pipePath());
    const int files = 10, size = 50000;
    ASSERT_TRUE(pipe.open() &&
                pipe.write(CopyRig::putNumbered(ram.path(), files, [](int i) { return std::string(size, 'a' + i); })));
    // The read-only disk is said once; its files' errors go out a few a minute.
    ASSERT_TRUE(waitForLogCount(log, "external: Error: Storage external is failing: Read-only file system", 1));
    const std::string failing = "id=\"external\" pending=\"0\" copied=\"0\" failed=\"10\"";
    EXPECT_NE(std::string::npos, daemon.historyHolding(failing).find(failing));
    ASSERT_TRUE(waitUntil([&]() { return fileExists(daemon.root() + "/internal/run/f9"); }));
    ASSERT_TRUE(disk.remount(false));
    ASSERT_TRUE(waitUntil([&]() { return countInFile(log, " at attempt ") == files; }));
    EXPECT_EQ(3, countInFile(log, "external: Error: Copying "));
    EXPECT_EQ(1, countInFile(log, "external: Error: 7 more copy errors while the storage was failing"));
    EXPECT_EQ(1, countInFile(log, "external: Storage external is up again after "));
    ASSERT_TRUE(waitUntil([&]() {
        for (int i = 0; i < files; ++i)
            if (!space_test::isLink(ram.path() + "/run/f" + std::to_string(i))) return false;
        return true;
    }));
    ASSERT_TRUE(pipe.write("usershift: 1 1\n"));
    ASSERT_TRUE(waitUntil(
        [&]() { return !fileExists(ram.path() + "/run/f0") && !fileExists(daemon.root() + "/internal/run/f0"); }));
    // The status service, and vellort-status, book the retried copies as copied, not failed.
    const std::string history = daemon.historyHolding("id=\"external\" pending=\"0\" copied=\"10\" failed=\"0\"");
    std::smatch shifts;
    ASSERT_TRUE(std::regex_search(history, shifts, std::regex("usertime id=\"(\\d+)\".*usertime id=\"(\\d+)\"")));
    const std::string newest = shiftStart(shifts[1]) + " 1 1 disk 0 0 0\nexternal 0 0 0\n",
                      table = "Shift start UID GID Storage Pending Copied Failed\n" + newest + shiftStart(shifts[2]) +
                              " 0 0 disk 0 10 0\nexternal 0 10 0\n";
    const std::string statusPort = std::to_string(daemon.statusPort());
    EXPECT_EQ(table, status(statusPort));
    EXPECT_EQ(table.substr(0, table.find('\n') + 1) + newest, status(statusPort, {"--length", "1"}));
    EXPECT_EQ("No history: the daemon has no user shift with storages to show.\n",
              status(statusPort, {"--length", "0"}));
    EXPECT_EQ(0u, status(statusPort, {"--xml"}).find("<reply> <usertime id=\""));  // the reply line as sent

    hostile.clear();
    const std::string packaging = VELLORT_SOURCE_DIR "/packaging/";
    auto m = runScript("scrape.py", {"http://127.0.0.1:" + port + "/metrics", packaging + "grafana-dashboard.json",
                                     packaging + "vellort-alerts.yml"});
    auto metric = [&](const std::string& name) { return atof(m[name].c_str()); };
    EXPECT_EQ(std::string::npos, m[""].find("missing ")) << m[""];
    const std::pair<std::string, double> totals[] = {
        {"vellort_files_announced_total{}", files},       {"vellort_user_shifts_total{}", 1},
        {"vellort_copy_failures_total{storage=disk}", 0}, {"vellort_files_linked_total{storage=disk}", files},
        {"vellort_messages_sent_total{code=4}", 3},       {"vellort_messages_sent_total{code=9}", 1},
        {"vellort_messages_sent_total{code=10}", 1},      {"vellort_storage_up{storage=external}", 1}};
    for (const auto& [name, value] : totals) EXPECT_EQ(value, metric(name)) << name;
    const std::pair<const char*, double> perStorage[] = {
        {"files_copied_total{", files},       {"bytes_copied_total{", double(files) * size},
        {"files_deleted_total{", files},      {"files_pending{", 0},
        {"copy_delay_seconds_count{", files}, {"copy_delay_seconds_bucket{le=+Inf,", files}};
    for (const std::string storage : {"disk", "external"})
        for (const auto& [series, value] : perStorage)
            EXPECT_EQ(value, metric(std::string("vellort_") + series + "storage=" + storage + "}"))
                << series << storage;
    EXPECT_LE(files, metric("vellort_copy_failures_total{storage=external}"));  // each failed attempt
    EXPECT_LE(files, metric("vellort_copy_retries_total{storage=external}"));
    const std::string fill = "vellort_fillstate_ratio{mountpoint=" + ram.path() + "}";
    EXPECT_TRUE(m.count(fill) && metric(fill) >= 0 && metric(fill) <= 1) << m[fill];
    EXPECT_LT(0, metric("process_open_fds{}"));
    EXPECT_NEAR(time(nullptr), metric("process_start_time_seconds{}"), 120);

    auto seen =
        runScript("browse.py", {port, std::to_string(daemon.daemonPid()), VELLORT_BINARY_DIR "/status-page.png"});
    const std::string& output = seen[""];
    if (output.compare(0, 5, "skip ") == 0) GTEST_SKIP() << output.substr(5);
    for (const std::string id : {"disk", "external"}) {
        for (const std::string& key :
             {"card " + id + " copied", "json " + id + " copied", "json " + id + " first-shift-copied"})
            EXPECT_EQ(std::to_string(files), seen[key]) << key << output;
        EXPECT_EQ(metric("vellort_copy_failures_total{storage=" + id + "}"),
                  atof(seen["json " + id + " failed"].c_str()))
            << output;
        for (const std::string count : {" failed", " retried"})
            EXPECT_EQ(seen["json " + id + count], seen["card " + id + count]) << output;
        EXPECT_EQ("0", seen["card " + id + " pending"]) << output;
    }
    EXPECT_TRUE(atoi(seen["json-size"].c_str()) > 0 && atoi(seen["json-size"].c_str()) < 64 * 1024) << output;
    EXPECT_EQ("0", seen["json-clock-error"]) << output;
    EXPECT_LE(1, atoi(seen["chart " + ram.path()].c_str())) << output;
    EXPECT_EQ(3, atoi(seen["copy-errors"].c_str())) << output;
    EXPECT_EQ("4", seen["history-rows"]) << output;  // two shifts of two storages
    EXPECT_TRUE(atoi(seen["phone-width"].c_str()) > 0 && atoi(seen["phone-width"].c_str()) < 500) << output;
    EXPECT_EQ("0", seen["phone-overflow"]) << output;
    EXPECT_NE(std::string::npos, output.find("banner DAEMON NOT REACHABLE since ")) << output;
    EXPECT_EQ("2", seen["cards-kept"]) << output;
    EXPECT_EQ(0, daemon.waitForExit());
    ASSERT_TRUE(plain.waitForErrorOutput("lost the message service at localhost:" + messagePort));

    // Back again: a file announced and never written gives COPY_ERROR frames.
    // Paths are bytes: a quote, a backslash and a byte that is no UTF-8.
    const int before = countInFile(log, accepted);
    ASSERT_EQ(0, daemon.run());
    ASSERT_TRUE(waitForLogCount(log, accepted, before + 2));
    ASSERT_TRUE(plain.waitForErrorOutput("connected to the message service", 2));
    const std::string name = "we\"ird\\" + std::string(1, '\xff') + ".dat";
    FifoWriter again(daemon.pipePath());
    ASSERT_TRUE(again.open() && again.write(ram.path() + "/./" + name + "\n"));
    const std::string subject = ram.path() + "/" + name + ":" + daemon.root() + "/internal/" + name;
    ASSERT_TRUE(plain.waitForOutput("  4 COPY_ERROR  " + subject + "  Error: Failed to copy "));
    ASSERT_TRUE(json.waitForOutput("we\\\"ird\\\\\\ufffd.dat:"));
    // One line per frame, in order: those of the first run before those of the second.
    auto everyLine = [](const std::string& output, const std::string& pattern) {
        std::istringstream lines(output);
        bool all = !output.empty() && output.back() == '\n';
        for (std::string line; std::getline(lines, line);) all = all && std::regex_match(line, std::regex(pattern));
        return all;
    };
    EXPECT_TRUE(everyLine(plain.output(), "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d +\\d+ [A-Z_]+  .*"))
        << plain.output();
    EXPECT_LT(plain.output().rfind("/run/f"), plain.output().find(name)) << plain.output();
    const std::string object =
        "\\{\"time\":\"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d\","
        "\"epoch_ms\":\\d+,\"code\":\\d+,\"name\":\"[A-Z_]+\",\"subject\":\".*\"\\}";
    EXPECT_TRUE(everyLine(json.output(), object)) << json.output();
    EXPECT_LT(json.output().rfind("/run/f"), json.output().find("we\\\"ird")) << json.output();
}

// Verification counts show where the reply has them; a failure gives exit status 1 and the reason.
TEST(MonitoringTest, StatusToolShowsAStandInsRepliesWithTheirVerificationCountsOrFailsWithTheReason) {
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

// A shift without a file gives its time to the next; a real shift after 5,000 of them is dated now, and the files
// before and after it still belong to their own shifts.
TEST(MonitoringTest, AFloodOfShiftLinesDatesNoShiftAheadOfTheClock) {
    DaemonRunner daemon;
    daemon.writeConfig(daemon.defaultConfig());
    FifoWriter pipe(daemon.pipePath());
    ASSERT_TRUE(daemon.run() == 0 && pipe.open()) << daemon.output();
    const std::string ram = daemon.root() + "/ramdisk";
    for (const char* name : {"early", "late"}) CopyRig::put(ram + "/run/" + name, name);
    std::string flood = ram + "/./run/early\n";
    for (int i = 0; i < 5000; ++i) flood += "usershift: " + std::to_string(i) + " 7\n";
    ASSERT_TRUE(pipe.write(flood) && daemon.waitForLog("uid=4999 gid=7"));
    const time_t before = time(nullptr);
    ASSERT_TRUE(pipe.write("usershift: 1234 5678\n" + ram + "/./run/late\n"));
    std::smatch shift;
    const std::string history = daemon.historyHolding("uid=\"1234\" gid=\"5678\"");
    ASSERT_TRUE(std::regex_search(history, shift, std::regex("id=\"(\\d+)\" uid=\"1234\"")));
    EXPECT_LE(std::abs(std::stoll(shift[1]) - before), 2) << history;
    EXPECT_TRUE(waitUntil([&]() { return !fileExists(ram + "/run/early"); }));  // a previous user's
    EXPECT_TRUE(waitForLogCount(daemon.root() + "/internal/run/late", "late", 1));
    EXPECT_TRUE(fileExists(ram + "/run/late"));
}
