#include <sys/stat.h>
#include <time.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/ChildProcess.h"
#include "support/CopyRig.h"
#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"
#include "support/LoopbackClient.h"
#include "support/TmpfsMount.h"

namespace {

// The daemon's /metrics as Python's Prometheus parser reads it, by
// "name{label=value,...}"; the names that `files` use and the daemon does not
// serve go to `missing`. Empty when the scrape or the parse failed.
std::map<std::string, double> scrape(int port, const std::vector<std::string>& files,
                                     std::vector<std::string>& missing) {
    std::vector<std::string> command{"/usr/bin/python3", VELLORT_SOURCE_DIR "/tests/metrics/scrape.py",
                                     "http://127.0.0.1:" + std::to_string(port) + "/metrics"};
    command.insert(command.end(), files.begin(), files.end());
    std::string output, errors;
    std::map<std::string, double> samples;
    if (runProgram(command, &output, &errors, 30) != 0) {
        ADD_FAILURE() << errors;
        return samples;
    }
    std::istringstream lines(output);
    for (std::string key, value; lines >> key >> value;) {
        if (key == "missing")
            missing.push_back(value);
        else
            samples[key] = std::stod(value);
    }
    return samples;
}

}  // namespace

// Files copied, failed, retried, linked and deleted, while idle clients and
// one with a 1 MiB request line hold the metrics port: the copies go on,
// the counters tell what happened to the files as the status service does,
// and every metric that the shipped dashboard and alert rules use is served.
TEST(MetricsTest, CountersFollowTheFilesWhileHostileClientsWait) {
    if (runProgram({"/usr/bin/python3", "-c", "import prometheus_client"}, nullptr, nullptr) != 0)
        GTEST_SKIP() << "python3-prometheus-client is not installed (scripts/setup.sh installs it)";
    TmpfsMount ram("size=4m"), disk("size=4m");
    if (!ram.mounted()) GTEST_SKIP() << ram.skipReason();
    ASSERT_TRUE(disk.remount(true));
    DaemonRunner daemon;
    const int port = freePort();
    const std::string log = daemon.logPath();
    daemon.writeConfig("ramdisk_mountpoint " + ram.path() + "\n" + daemon.defaultConfig() +
                       "fillstate_limit 1\ncopy_retry_max_delay 1\nmetrics_port " + std::to_string(port) +
                       "\njournal " + daemon.root() + "/journal.sqlite\n" +
                       "storageID external\ntype EXTERNAL\ntarget " + disk.path() + "/data\n");
    ASSERT_EQ(0, daemon.run());
    ASSERT_TRUE(daemon.waitForLog("++ metrics on port " + std::to_string(port)));

    std::vector<std::unique_ptr<LoopbackClient>> hostile;
    for (int i = 0; i < 12; ++i) hostile.emplace_back(new LoopbackClient(port));
    // The long line is refused; the idle ones stay while the files are copied.
    std::thread longLine([&]() { hostile[0]->send("GET /" + std::string(1 << 20, 'a') + " HTTP/1.1\r\n\r\n"); });
    std::string reply;
    EXPECT_TRUE(hostile[0]->readLine(reply, 30000));
    longLine.join();
    EXPECT_EQ("HTTP/1.1 414 URI Too Long\r\n", reply);

    FifoWriter pipe(daemon.pipePath());
    ASSERT_TRUE(pipe.open());
    const int files = 10, size = 50000;
    std::string lines;
    for (int i = 0; i < files; ++i) {
        CopyRig::put(ram.path() + "/run/f" + std::to_string(i), std::string(size, 'a' + i));
        lines += ram.path() + "/./run/f" + std::to_string(i) + "\n";
    }
    ASSERT_TRUE(pipe.write(lines));
    ASSERT_TRUE(waitForLogCount(log, "external: Error: Copying ", files));
    ASSERT_TRUE(CopyRig::waitUntil([&]() { return fileExists(daemon.root() + "/internal/run/f9"); }));
    ASSERT_TRUE(disk.remount(false));
    ASSERT_TRUE(CopyRig::waitUntil([&]() { return countInFile(log, " at attempt ") == files; }));
    auto linked = [&]() {
        struct stat status;
        for (int i = 0; i < files; ++i)
            if (lstat((ram.path() + "/run/f" + std::to_string(i)).c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
                return false;
        return true;
    };
    ASSERT_TRUE(CopyRig::waitUntil(linked));
    ASSERT_TRUE(pipe.write("usershift: 1 1\n"));
    ASSERT_TRUE(CopyRig::waitUntil([&]() {
        return !fileExists(ram.path() + "/run/f0") && !fileExists(daemon.root() + "/internal/run/f0");
    }));

    hostile.clear();
    std::vector<std::string> missing;
    const std::string packaging = VELLORT_SOURCE_DIR "/packaging/";
    std::map<std::string, double> m =
        scrape(port, {packaging + "grafana-dashboard.json", packaging + "vellort-alerts.yml"}, missing);
    EXPECT_TRUE(missing.empty()) << missing.front();
    const std::string internal = "{storage=disk}", external = "{storage=external}";
    EXPECT_EQ(files, m["vellort_files_announced_total{}"]);
    EXPECT_EQ(1, m["vellort_user_shifts_total{}"]);
    for (const std::string& storage : {internal, external}) {
        EXPECT_EQ(files, m["vellort_files_copied_total" + storage]) << storage;
        EXPECT_EQ(double(files) * size, m["vellort_bytes_copied_total" + storage]) << storage;
        EXPECT_EQ(files, m["vellort_files_deleted_total" + storage]) << storage;
        EXPECT_EQ(0, m["vellort_files_pending" + storage]) << storage;
        EXPECT_EQ(files, m["vellort_copy_delay_seconds_count" + storage]) << storage;
        EXPECT_EQ(files, m["vellort_copy_delay_seconds_bucket{le=+Inf,storage=" + storage.substr(9)]) << storage;
    }
    EXPECT_EQ(0, m["vellort_copy_failures_total" + internal]);
    EXPECT_LE(files, m["vellort_copy_failures_total" + external]);  // each failed attempt
    EXPECT_LE(files, m["vellort_copy_retries_total" + external]);
    EXPECT_EQ(files, m["vellort_files_linked_total" + internal]);
    EXPECT_LE(files, m["vellort_messages_sent_total{code=4}"]);
    const double fill = m["vellort_fillstate_ratio{mountpoint=" + ram.path() + "}"];
    EXPECT_TRUE(fill >= 0 && fill <= 1) << fill;
    EXPECT_LT(0, m["process_open_fds{}"]);
    EXPECT_NEAR(time(nullptr), m["process_start_time_seconds{}"], 120);
    // The status service books the retried copies as copied, not failed.
    const std::string counts = "id=\"external\" pending=\"0\" copied=\"10\" failed=\"0\"";
    EXPECT_NE(std::string::npos, daemon.historyHolding(counts).find(counts));
}
