#include <map>
#include <regex>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "support/ChildProcess.h"
#include "support/CopyRig.h"
#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"
#include "support/StatusClient.h"
#include "support/TmpfsMount.h"

// An acquisition whose EXTERNAL copies fail until its disk is writable again,
// then the status page in headless Chromium: the cards, /status.json and the
// metrics all give the copies the status service books, the chart of the RAM
// disk has points, the failed copies are among the messages marked as errors,
// and stopping the daemon brings up the banner while the last data stays.
// The screenshot is left in the build folder as status-page.png.
TEST(StatusPageTest, BrowserShowsWhatTheStatusServiceBooksUntilTheDaemonStops) {
    TmpfsMount ram("size=4m"), disk("size=4m");
    if (!ram.mounted()) GTEST_SKIP() << ram.skipReason();
    ASSERT_TRUE(disk.remount(true));
    DaemonRunner daemon;
    const int port = freePort();
    const std::string log = daemon.logPath();
    daemon.writeConfig("ramdisk_mountpoint " + ram.path() + "\n" + daemon.defaultConfig() +
                       "fillstate_limit 80\ncopy_retry_max_delay 1\nmetrics_port " + std::to_string(port) +
                       "\nstorageID external\ntype EXTERNAL\ntarget " + disk.path() + "/data\n");
    ASSERT_EQ(0, daemon.run());
    ASSERT_TRUE(daemon.waitForLog("++ metrics on port " + std::to_string(port)));
    FifoWriter pipe(daemon.pipePath());
    ASSERT_TRUE(pipe.open());
    const int files = 6;
    std::string lines;
    for (int i = 0; i < files; ++i) {
        CopyRig::put(ram.path() + "/run/f" + std::to_string(i), std::string(40000, 'a' + i));
        lines += ram.path() + "/./run/f" + std::to_string(i) + "\n";
    }
    ASSERT_TRUE(pipe.write(lines));
    ASSERT_TRUE(waitForLogCount(log, "external: Error: Copying ", files));
    ASSERT_TRUE(disk.remount(false));
    ASSERT_TRUE(CopyRig::waitUntil([&]() { return countInFile(log, " at attempt ") == files; }));

    StatusClient status(daemon.statusPort());
    const std::string history = status.ask("<request><action id='history'/></request>");
    std::map<std::string, std::string> booked;  // copied by storage, as the status service gives it
    const std::regex entry("id=\"([a-z]+)\" pending=\"0\" copied=\"([0-9]+)\"");
    for (std::sregex_iterator m(history.begin(), history.end(), entry), end; m != end; ++m) booked[(*m)[1]] = (*m)[2];
    ASSERT_EQ(2u, booked.size()) << history;
    EXPECT_EQ(std::to_string(files), booked["external"]);

    const std::string screenshot = VELLORT_BINARY_DIR "/status-page.png";
    std::string output, errors;
    ASSERT_EQ(0, runProgram({"/usr/bin/python3", VELLORT_SOURCE_DIR "/tests/status_page/browse.py",
                             std::to_string(port), std::to_string(daemon.daemonPid()), screenshot},
                            &output, &errors, 120))
        << output << errors;
    if (output.compare(0, 5, "skip ") == 0) GTEST_SKIP() << output.substr(5);
    std::map<std::string, std::string> seen;
    int errorMessages = 0;
    std::istringstream facts(output);
    for (std::string fact; std::getline(facts, fact);) {
        if (fact == "error-message ERROR 4") ++errorMessages;
        const size_t last = fact.rfind(' ');
        seen[fact.substr(0, last)] = fact.substr(last + 1);
    }
    for (const auto& storage : booked) {
        const std::string& id = storage.first;
        EXPECT_EQ(storage.second, seen["card " + id + " copied"]) << output;
        EXPECT_EQ(storage.second, seen["json " + id + " copied"]) << output;
        EXPECT_EQ(storage.second, seen["json " + id + " shift-copied"]) << output;
        EXPECT_EQ(storage.second, seen["metric vellort_files_copied_total " + id]) << output;
        EXPECT_EQ(seen["metric vellort_copy_failures_total " + id], seen["json " + id + " failed"]) << output;
        EXPECT_EQ(seen["json " + id + " failed"], seen["card " + id + " failed"]) << output;
        EXPECT_EQ(seen["json " + id + " retried"], seen["card " + id + " retried"]) << output;
        EXPECT_EQ("0", seen["card " + id + " pending"]) << output;
    }
    EXPECT_LE(files, std::stoi("0" + seen["card external failed"])) << output;
    ASSERT_FALSE(seen["json-size"].empty()) << output;
    EXPECT_LT(std::stoi(seen["json-size"]), 64 * 1024);
    EXPECT_EQ("0", seen["json-clock-error"]) << output;
    EXPECT_LE(1, std::stoi("0" + seen["chart " + ram.path()])) << output;
    EXPECT_LE(files, errorMessages) << output;
    EXPECT_EQ("2", seen["history-rows"]) << output;
    ASSERT_FALSE(seen["phone-width"].empty()) << output;
    EXPECT_GT(500, std::stoi(seen["phone-width"])) << output;
    EXPECT_EQ("0", seen["phone-overflow"]) << output;
    EXPECT_NE(std::string::npos, output.find("banner DAEMON NOT REACHABLE since ")) << output;
    EXPECT_EQ("2", seen["cards-kept"]) << output;
    EXPECT_EQ(0, daemon.waitForExit());
    EXPECT_TRUE(fileExists(screenshot));
}
