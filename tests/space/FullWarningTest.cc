#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <regex>

#include "space/FillTrend.h"
#include "space/LinkThread.h"
#include "space/SpaceSupport.h"
#include "support/TmpfsMount.h"

using namespace space_test;

// One second apart, 1 MB a second with a jitter of 30 kB; draining at the
// same rate; a pause longer than the window forgets what came before it.
TEST(FullWarningTest, EstimateFollowsTheRateOfWritingAndFreeing) {
    const double size = 64e6, second = 1e9;
    FillTrend filling, draining, paused;
    for (int s = 0; s < 12; ++s) {
        filling.add(s * second, 1e6 * s + (s % 2 ? 3e4 : -3e4), size);
        draining.add(s * second, 40e6 - 1e6 * s, size);
        paused.add((s < 6 ? s : s + 20) * second, 1e6 * s, size);
        if (s == 1) {
            EXPECT_EQ(INFINITY, filling.secondsToFull()) << "two samples";
        }
    }
    EXPECT_NEAR((size - 11e6 + 3e4) / 1e6, filling.secondsToFull(), 0.5);
    EXPECT_EQ(INFINITY, draining.secondsToFull());
    EXPECT_NEAR((size - 11e6) / 1e6, paused.secondsToFull(), 0.1);
    // A measurement right after the last one counts for the free space only.
    filling.add(11.1 * second, 60e6, size);
    EXPECT_NEAR(4.0, filling.secondsToFull(), 0.1);
}

// 1 MiB every 100 ms into a 64 MiB RAM disk: the estimate falls below 30 s
// seconds before the disk is full, so the warning comes before the last alarm.
TEST(FullWarningTest, FillingRamDiskIsAnnouncedBeforeItIsFull) {
    TmpfsMount ram("size=64m");
    if (!ram.mounted()) GTEST_SKIP() << ram.skipReason();
    TempDir dir;
    MessageTap tap(dir / "vellort.log");
    ASSERT_TRUE(tap.ready());
    Storage::Params params = storageParams(dir, Storage::INTERNAL, ram.path());
    params.messageServer = tap.server;
    params.full_warning_seconds = 30;
    LinkThread* watch = new LinkThread(*new DebitCredit(5, DebitCredit::TRACK_FILES), params);
    ASSERT_EQ(0, watch->start());
    const METRICS::MountGauges& gauges = watch->gauges();
    ASSERT_TRUE(CopyRig::waitUntil([&]() { return !std::isnan(gauges.inodes.load()); }));

    const std::string chunk(1 << 20, 'x');
    const int fd = open((ram.path() + "/data").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    double soonest = INFINITY;
    int chunks = 0;
    while (write(fd, chunk.data(), chunk.size()) == static_cast<ssize_t>(chunk.size())) {
        soonest = std::min(soonest, gauges.fullIn.load());
        ++chunks;
        usleep(100000);  // the acquisition's steady rate
    }
    close(fd);
    ASSERT_EQ(64, chunks);

    std::vector<int> codes;
    MessageClient::Frame frame;
    std::smatch n;
    while (codes.empty() || codes.back() != MessageServer::OVERFLOW_ERROR) {
        ASSERT_TRUE(tap.client->readFrame(frame)) << tap.client->error();
        codes.push_back(frame.code);
        if (frame.code != MessageServer::FULL_WARNING) continue;
        EXPECT_EQ(ram.path(), frame.subject);
        ASSERT_TRUE(std::regex_match(frame.text, n, std::regex("Warning: " + ram.path() + " full in about (\\d+) s")))
            << frame.text;
        EXPECT_GE(std::stoi(n[1]), 1);  // given at the latest a second before the disk was full
    }
    // Read up to the 99% alarm (3); the alarms of the limit (1) and of 75% (2)
    // may come before or after the warning.
    std::vector<int> sorted = codes;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ((std::vector<int>{1, 2, 3, 7}), sorted) << ::testing::PrintToString(codes);
    EXPECT_EQ(1, countInFile(params.logfile, "Warning: " + ram.path() + " full in about "));
    EXPECT_GE(soonest, 0);
    EXPECT_LT(soonest, 3);
    EXPECT_GT(gauges.fill.load(), 0.99);
    EXPECT_LE(gauges.fill.load(), 1.0);
    EXPECT_GT(gauges.inodes.load(), 0);
    EXPECT_LT(gauges.inodes.load(), 0.01);
}
