#include <signal.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "support/ChildProcess.h"
#include "support/CopyRig.h"
#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"
#include "support/MqttBroker.h"

namespace {

// The first program the test needs that is not installed, or "".
std::string missingProgram() {
    if (MqttBroker::program().empty()) return "mosquitto";
    if (runProgram({"/usr/bin/python3", "-c", "import paho.mqtt.client"}, nullptr, nullptr) != 0)
        return "python3-paho-mqtt";
    return runProgram({"/bin/sh", "-c", "command -v xxhsum"}, nullptr, nullptr) == 0 ? "" : "xxhash";
}

}  // namespace

// 3,000 files over two shifts, INTERNAL and EXTERNAL, seen by a subscriber in a persistent session: each copy
// arrives at least once, in order per storage, with its size and hash; the state shows the killed daemon offline and
// the new one online; a copy that cannot be made gives a failed file and a message.
TEST(EventsTest, EveryCopyArrivesInOrderThroughABrokerOutageAndAKill) {
    const std::string missing = missingProgram();
    if (!missing.empty()) GTEST_SKIP() << "needs " << missing << " (scripts/setup.sh installs it)";
    signal(SIGPIPE, SIG_IGN);  // a write to the pipe while no daemon reads it fails, and is made again
    MqttBroker broker;
    ASSERT_TRUE(broker.start()) << broker.log();
    DaemonRunner daemon;
    const std::string ram = daemon.root() + "/ramdisk", prefix = "facility/acq" + std::to_string(getpid());
    const std::string received = daemon.root() + "/received.jsonl";
    ChildProcess subscriber({"/usr/bin/python3", VELLORT_SOURCE_DIR "/tests/system/subscribe.py",
                             std::to_string(broker.port()), "pipeline", prefix + "/#", received},
                            daemon.root(), "subscriber");
    ASSERT_TRUE(subscriber.waitForOutput("connected")) << subscriber.errorOutput();

    const std::string metrics = std::to_string(freePort());
    daemon.writeConfig(daemon.defaultConfig() + "journal " + daemon.root() + "/journal.sqlite\nverify_copies yes\n" +
                       "mqtt_broker " + broker.address() + "\nmqtt_topic_prefix " + prefix + "\nmqtt_client_id " +
                       prefix + "\nmetrics_port " + metrics + "\n" +
                       DaemonRunner::storage("archive", "EXTERNAL", daemon.root() + "/external"));
    ASSERT_EQ(0, daemon.run());
    ASSERT_TRUE(daemon.waitForLog("++ Events: connected to " + broker.address()));
    auto outboxEmpties = [&] {  // once the copies of every file announced so far are booked
        for (const std::string storage : {"disk", "archive"}) {
            const std::string done = "<storage id=\"" + storage + "\" pending=\"0\"";
            if (daemon.historyHolding(done, 60).find(done) == std::string::npos) return false;
        }
        const std::vector<std::string> count = {"/usr/bin/sqlite3", daemon.root() + "/journal.sqlite",
                                                "SELECT count(*) FROM outbox"};
        return CopyRig::waitUntil([&] { return outputOf(count) == "0\n"; }, 60);
    };
    auto files = [&](int from, int to) {
        std::string lines;
        for (int i = from; i < to; ++i) {
            const std::string name = i == 7 ? "run/a\"quoted\"\\name.raw" : "run/img_" + std::to_string(i) + ".raw";
            CopyRig::put(ram + "/" + name, std::string(100 + i % 900, static_cast<char>('a' + i % 26)));
            lines += ram + "/./" + name + "\n";
        }
        return lines;
    };
    FifoWriter pipe(daemon.pipePath());
    ASSERT_TRUE(pipe.open() && pipe.write("usershift: 1000 1000\n" + files(0, 1200)));
    // Stopped while events flow: those the broker has not acknowledged go again.
    EXPECT_TRUE(waitForLogCount(received, "/file\"", 100, 60));
    broker.stop();  // copies go on; their events wait in the journal
    ASSERT_TRUE(pipe.write(files(1200, 2000)));
    std::this_thread::sleep_for(std::chrono::seconds(3));
    ASSERT_TRUE(broker.start()) << broker.log();
    ASSERT_TRUE(waitForLogCount(daemon.logPath(), "++ Events: connected to", 2, 30)) << daemon.log();

    // What the outage held back goes out over the new connection, without a restart.
    EXPECT_TRUE(outboxEmpties()) << daemon.log();
    const pid_t killed = daemon.daemonPid();
    ASSERT_TRUE(pipe.write("usershift: 1001 1001\n" + ram + "/./run/never_written.raw\n" + files(2000, 2800)));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    daemon.kill();  // the pipe stays open, as the acquisition holds it
    ASSERT_EQ(0, daemon.run());
    const std::string last = files(2800, 3000);
    EXPECT_TRUE(
        CopyRig::waitUntil([&] { return pipe.write(last) || (pipe.close(), pipe.open() && pipe.write(last)); }));
    for (const std::string storage : {"disk", "archive"})
        for (const std::string counts : {"pending=\"0\" copied=\"2000\"", "pending=\"0\" copied=\"1000\""}) {
            const std::string wanted = "<storage id=\"" + storage + "\" " + counts;
            ASSERT_NE(std::string::npos, daemon.historyHolding(wanted, 60).find(wanted)) << daemon.log();
        }
    // Every event acknowledged, then delivered to the subscriber's session.
    EXPECT_TRUE(outboxEmpties()) << daemon.log();
    std::this_thread::sleep_for(std::chrono::seconds(2));

    // What check_events.py found: by line up to its last word, which is the value.
    std::string output, errors;
    EXPECT_EQ(0, runProgram({"/usr/bin/python3", VELLORT_SOURCE_DIR "/tests/system/check_events.py", received,
                             daemon.root() + "/external"},
                            &output, &errors, 300))
        << errors;
    std::map<std::string, std::string> facts;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);)
        facts[line.substr(0, line.rfind(' '))] = line.substr(line.rfind(' ') + 1);
    for (const char* files : {"files disk", "files archive"}) EXPECT_EQ("3000", facts[files]) << output.substr(0, 2000);
    for (const char* fault : {"order ", "bad ", "unparsed "})
        EXPECT_EQ(std::string::npos, output.find(fault)) << output.substr(0, 4000);
    EXPECT_EQ("run/never_written.raw", facts["failed disk"]) << output.substr(0, 4000);
    EXPECT_NE(std::string::npos, facts["message 4"].find("/never_written.raw")) << output.substr(0, 4000);
    const size_t offline = output.find("state offline " + std::to_string(killed));
    EXPECT_NE(std::string::npos, offline) << output.substr(0, 4000);
    EXPECT_NE(std::string::npos, output.find("state online " + std::to_string(daemon.daemonPid()), offline));
    EXPECT_EQ(0, countInFile(daemon.logPath(), "Error: Events"));
    // And the series that the shipped rules and dashboard read.
    const std::string scraped =
        outputOf({"/usr/bin/python3", VELLORT_SOURCE_DIR "/tests/system/scrape.py",
                  "http://127.0.0.1:" + metrics + "/metrics", VELLORT_SOURCE_DIR "/packaging/vellort-alerts.yml"});
    for (const char* served : {"vellort_broker_connected{} 1.0", "vellort_events_pending{} 0.0"})
        EXPECT_NE(std::string::npos, scraped.find(served)) << scraped;
    EXPECT_EQ(std::string::npos, scraped.find("missing ")) << scraped;
}
