#include <signal.h>
#include <stdio.h>

#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "support/CopyRig.h"
#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"
#include "support/LoopDisk.h"
#include "support/PrometheusServer.h"
#include "support/TmpfsMount.h"

namespace {

// The image's immutable flag, cleared when the test ends however it ends,
// so that the image can go.
struct ImmutableImage {
    explicit ImmutableImage(const std::string& image) : image(image) {}
    ~ImmutableImage() { runProgram({LoopDisk::program("chattr"), "-i", image}, nullptr, nullptr); }
    bool set() { return runProgram({LoopDisk::program("chattr"), "+i", image}, nullptr, nullptr) == 0; }
    const std::string image;
};

// The alert `name` of `storage` as Prometheus's API lists it: the part of the
// reply that is that alert, or "" while there is none.
std::string alertOf(const PrometheusServer& prometheus, const std::string& name, const std::string& storage) {
    std::string body;
    if (!prometheus.get("/api/v1/alerts", &body)) return "";
    for (const std::string& alert : splitAt(body, "labels"))
        if (alert.find("\"alertname\":\"" + name + "\"") != std::string::npos &&
            alert.find("\"storage\":\"" + storage + "\"") != std::string::npos)
            return alert;
    return "";
}

int occurrences(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

}  // namespace

// A real Prometheus, loaded with the shipped rules, scrapes a real daemon
// whose EXTERNAL disk starts failing (the disk's image made immutable below
// it, as in the write-back test): once the daemon has met the failure the
// rule VellortStorageDown holds for that storage, pending or firing, and not
// for the INTERNAL storage beside it; before, it holds for neither.
TEST(AlertTest, PrometheusWithTheShippedRulesReportsTheStorageWhoseDiskFails) {
#if defined(__SANITIZE_THREAD__)
    // What it proves is that the shipped rules read the daemon's metrics as
    // served, not an order of threads; the plain build runs it.
    GTEST_SKIP() << "the alert test runs in the plain build, not under ThreadSanitizer";
#endif
    if (PrometheusServer::program().empty())
        GTEST_SKIP() << "prometheus is not installed (scripts/setup.sh installs it)";
    signal(SIGPIPE, SIG_IGN);  // a daemon that died leaves the pipe without a reader
    TmpfsMount base("size=256m"), ram("size=64m");
    if (!base.mounted()) GTEST_SKIP() << base.skipReason();
    ASSERT_TRUE(ram.mounted()) << ram.skipReason();
    TempDir work("vellort-alert");
    // The EXTERNAL disk's image lies on a disk of its own, which refuses its
    // writes once the image is immutable.
    LoopDisk lower(base.path() + "/lower", 192 << 20, "ext4", work / "lower");
    if (!lower.mounted()) GTEST_SKIP() << lower.skipReason();
    LoopDisk external(lower.path() + "/external", 128 << 20, "ext4", work / "external");
    ASSERT_TRUE(external.mounted()) << external.skipReason();
    ImmutableImage image(external.image());

    DaemonRunner daemon;
    const std::string port = std::to_string(freePort());
    daemon.writeConfig(daemon.serviceConfig(ram.path()) + "metrics_port " + port +
                       "\ncopy_retry_max_delay 2\nstorageID disk\ntype INTERNAL\ntarget " + daemon.root() +
                       "/internal\nstorageID archive\ntype EXTERNAL\ntarget " + external.path() + "/data\n");
    ASSERT_EQ(0, daemon.run()) << daemon.output();
    ASSERT_TRUE(daemon.waitForLog("++ metrics on port " + port)) << daemon.log();

    const std::string rules = VELLORT_SOURCE_DIR "/packaging/vellort-alerts.yml";
    const std::string target = "127.0.0.1:" + port;
    PrometheusServer prometheus({target}, {rules});
    ASSERT_TRUE(prometheus.ready()) << prometheus.log();
    std::string body;
    const bool scraped = waitUntil(
        [&] {
            if (!prometheus.get("/api/v1/targets?state=active", &body)) return false;
            for (const std::string& scrape : splitAt(body, "discoveredLabels"))
                if (scrape.find("\"scrapeUrl\":\"http://" + target + "/metrics\"") != std::string::npos)
                    return scrape.find("\"health\":\"up\"") != std::string::npos;
            return false;
        },
        30, 500);
    ASSERT_TRUE(scraped) << "Prometheus does not scrape the daemon: " << body;
    // Every rule of the file loaded, and evaluated on the scraped series without an error.
    const int shipped = countInFile(rules, "- alert: ");
    const bool evaluated = waitUntil(
        [&] {
            return prometheus.get("/api/v1/rules", &body) && occurrences(body, "\"type\":\"alerting\"") == shipped &&
                   occurrences(body, "\"health\":\"ok\"") == shipped;
        },
        30, 500);
    ASSERT_TRUE(evaluated) << shipped << " rules in the file; Prometheus has: " << body;
    printf("Prometheus on port %d scrapes the daemon at %s and evaluates its %d rules\n", prometheus.port(),
           target.c_str(), shipped);
    const std::string archiveUp = "/api/v1/query?query=vellort_storage_up%7Bstorage%3D%22archive%22%7D";
    const bool up = waitUntil(
        [&] {
            return prometheus.get(archiveUp, &body) &&
                   std::regex_search(body, std::regex("\"value\":\\[[0-9.e+]+,\"1\"\\]"));
        },
        30, 500);
    ASSERT_TRUE(up) << "Prometheus never saw the storage archive up: " << body;
    EXPECT_EQ("", alertOf(prometheus, "VellortStorageDown", "archive"));

    ASSERT_TRUE(image.set());
    // The file system meets the failure when it writes back: files arrive
    // until the daemon has logged the failing disk.
    FifoWriter pipe(daemon.pipePath());
    ASSERT_TRUE(pipe.open());
    int files = 0;
    const bool failed = waitUntil(
        [&] {
            const std::string name = "run/f" + std::to_string(files++);
            CopyRig::put(ram.path() + "/" + name, std::string(100000, 'v'));
            return !pipe.write(ram.path() + "/./" + name + "\n") ||
                   countInFile(daemon.logPath(), "archive: Error: ") > 0;
        },
        120, 500);
    ASSERT_TRUE(failed && countInFile(daemon.logPath(), "archive: Error: ") > 0)
        << "the disk never failed the daemon:\n"
        << daemon.log();
    printf("the daemon met the failing disk after %d files\n", files);

    std::string alert, state;
    const bool down = waitUntil(
        [&] {
            alert = alertOf(prometheus, "VellortStorageDown", "archive");
            std::smatch found;
            if (std::regex_search(alert, found, std::regex("\"state\":\"(\\w+)\""))) state = found[1];
            return state == "pending" || state == "firing";
        },
        60, 1000);
    EXPECT_TRUE(down) << "alerts: " << alert << "\nPrometheus:\n" << prometheus.log();
    EXPECT_NE(std::string::npos, alert.find("\"summary\":\"Storage archive on " + target + " is failing\"")) << alert;
    EXPECT_EQ("", alertOf(prometheus, "VellortStorageDown", "disk"));
    printf("VellortStorageDown is %s for archive\n", state.c_str());
}
