#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon/ConfigFileParser.h"
#include "daemon/Daemon.h"
#include "ledger/Storage.h"
#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"
#include "support/StatusClient.h"
#include "support/TempDir.h"

TEST(DaemonTest, VersionPrintsVersionLineWithoutReadingConfiguration) {
    DaemonRunner daemon;  // no configuration file at all
    EXPECT_EQ(0, daemon.run({"--version"}));
    EXPECT_EQ("VELLORT version 3.7.1\n", daemon.output());
}

TEST(DaemonTest, StartsDetachedWritesPidBannerSettingsDescriptionsAndPipe) {
    DaemonRunner daemon;
    daemon.writeConfig(daemon.defaultConfig() +
                       "storageID usb\n"
                       "type OPTIONAL\n"
                       "target " + daemon.root() + "/usb\n"
                       "n_copy_processes 3\n");
    // A later "--version" is no option: the daemon starts.
    ASSERT_EQ(0, daemon.run({"start", "--version"}));
    pid_t pid = daemon.daemonPid();
    ASSERT_GT(pid, 0);
    EXPECT_NE(getpid(), pid);
    ASSERT_TRUE(daemon.waitForLog("++ STORAGE: usb"));
    EXPECT_TRUE(daemon.running());

    std::string log = daemon.log();
    std::string plusLine(78, '+');
    EXPECT_EQ(0u, log.find("\n\n\n\n" + plusLine + "\n\n++ VELLORT version 3.7.1 started\n++ on "));
    EXPECT_NE(std::string::npos, log.find("\n\n" + plusLine + "\n\n\n\n\n++\n++ settings:\n++ ---------\n++\n"
                                          "++ logfile: " + daemon.logPath() + "\n"
                                          "++    max size of logfile: 10485760\n"
                                          "++    max # of backuped logfiles: 10\n\n"
                                          "++ current directory: /\n++\n++\n"));
    EXPECT_NE(std::string::npos, log.find("++ STORAGE: disk\n"
                                          "++          type: INTERNAL\n"
                                          "++          target " + daemon.root() + "/internal\n"
                                          "++          n_copy_processes 1\n"
                                          "++          mountpoint " + daemon.root() + "\n\n"));
    EXPECT_NE(std::string::npos, log.find("++ STORAGE: usb\n"
                                          "++          type: OPTIONAL\n"
                                          "++          target " + daemon.root() + "/usb\n"
                                          "++          n_copy_processes 3\n\n"));

    struct stat status;
    ASSERT_EQ(0, stat(daemon.pipePath().c_str(), &status));
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
    EXPECT_EQ(0600u, status.st_mode & 07777);
    ASSERT_EQ(0, stat(daemon.logPath().c_str(), &status));
    EXPECT_EQ(0644u, status.st_mode & 07777);
}

TEST(DaemonTest, LeftoverPipeIsLoggedAndStartUpGoesOn) {
    DaemonRunner daemon;
    daemon.writeConfig(daemon.defaultConfig());
    ASSERT_EQ(0, mkfifo(daemon.pipePath().c_str(), 0600));
    ASSERT_EQ(0, daemon.run());
    ASSERT_TRUE(daemon.waitForLog("++ STORAGE: disk"));
    EXPECT_NE(std::string::npos,
              daemon.log().find("++ Error: Creating " + daemon.pipePath() + "\n          File exists\n"));
    EXPECT_TRUE(daemon.running());
}

TEST(DaemonTest, ConfigurationErrorsGiveTheirMessagesAndExitStatuses) {
    struct Case {
        const char* name;
        std::string storages;
        std::string logLine;
    };
    const std::string internal = "storageID a\ntype INTERNAL\ntarget /tmp/a\n";
    const std::string external = "storageID b\ntype EXTERNAL\ntarget /tmp/b\n";
    const Case cases[] = {
        {"two internal", internal + internal, "++ Error: Only one internal storage is allowed\n"},
        {"two external", internal + external + external, "++ Error: Only one external storage is allowed\n"},
        {"no internal", external, "++ Error: Config file does not contain any interal storage\n"},
        {"no storage at all", "", "++ Error: Config file does not contain any interal storage\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DaemonRunner daemon;
        daemon.writeConfig("logfile " + daemon.logPath() + "\n" + c.storages);
        // The shell sees the fork succeed; the daemon itself ends with 1 after
        // writing its pid file and banner.
        ASSERT_EQ(0, daemon.run());
        EXPECT_EQ(1, daemon.waitForExit());
        std::string log = daemon.log();
        EXPECT_NE(std::string::npos, log.find("++ VELLORT version 3.7.1 started"));
        EXPECT_NE(std::string::npos, log.find(c.logLine));
        EXPECT_TRUE(fileExists(daemon.pidFilePath()));
    }
}

TEST(DaemonTest, StartUpFailuresBeforeDetachingReachTheShell) {
    {
        DaemonRunner daemon;  // no configuration file
        EXPECT_EQ(2, daemon.run());
        EXPECT_EQ("Error: No config file at " + daemon.root() + "/etc/vellort_quorvin.conf or " + daemon.root() +
                      "/etc/vellort_quorvin/vellort_quorvin.conf.\n",
                  daemon.output());
    }
    {
        DaemonRunner daemon;
        daemon.writeConfig("logfile " + daemon.root() + "/missing/dir/vellort.log\n");
        EXPECT_EQ(4, daemon.run());
        EXPECT_EQ("Error: Cannot access " + daemon.root() + "/missing/dir/vellort.log\n", daemon.output());
        EXPECT_FALSE(fileExists(daemon.pidFilePath()));
    }
    {
        // Without a folder for the pid file the detached daemon ends with 1.
        DaemonRunner daemon;
        daemon.writeConfig(daemon.defaultConfig());
        removeTree(daemon.root() + "/var/run");
        ASSERT_EQ(0, daemon.run());
        pid_t pid = -1;
        for (int i = 0; i < 500 && pid <= 0; ++i) {
            int status;
            pid = waitpid(-1, &status, WNOHANG);
            if (pid > 0) {
                EXPECT_TRUE(WIFEXITED(status));
                EXPECT_EQ(1, WEXITSTATUS(status));
            }
            usleep(10000);
        }
        EXPECT_GT(pid, 0);
    }
}

TEST(DaemonTest, SecondConfigurationFileIsReadOnlyWhenFirstCannotBeOpened) {
    {
        DaemonRunner daemon;
        daemon.writeConfig(daemon.defaultConfig(), true);
        ASSERT_EQ(0, daemon.run());
        EXPECT_TRUE(daemon.waitForLog("++ STORAGE: disk"));
    }
    {
        // An unusable first file is still the one that counts.
        DaemonRunner daemon;
        daemon.writeConfig("logfile " + daemon.logPath() + "\n");
        daemon.writeConfig(daemon.defaultConfig(), true);
        ASSERT_EQ(0, daemon.run());
        EXPECT_EQ(1, daemon.waitForExit());
        EXPECT_NE(std::string::npos, daemon.log().find("does not contain any interal storage"));
    }
}

TEST(DaemonTest, ConfigurationWarningsAreLoggedAndNameTheStorage) {
    DaemonRunner daemon;
    daemon.writeConfig("logfile " + daemon.logPath() +
                       "\n"
                       "history_max_entries 0\n"
                       "storageID untyped\n"
                       "target /tmp/x\n"
                       "storageID disk\n"
                       "type INTERNAL\n"
                       "target " + daemon.root() + "/internal\n"
                       "n_copy_processes 0\n");
    ASSERT_EQ(0, daemon.run());
    ASSERT_TRUE(daemon.waitForLog("++ STORAGE: disk"));
    std::string log = daemon.log();
    EXPECT_NE(std::string::npos, log.find("Warning: history_max_entries 0 is below 1, using 1\n"));
    EXPECT_NE(std::string::npos, log.find("Warning: Storage untyped has no type line"));
    EXPECT_NE(std::string::npos, log.find("Warning: Storage disk: n_copy_processes 0 is below 1, using 1\n"));
    // The untyped block is described without a type line; the corrected count is shown.
    EXPECT_NE(std::string::npos, log.find("++ STORAGE: untyped\n++          target /tmp/x\n"));
    EXPECT_NE(std::string::npos, log.find("++          n_copy_processes 1\n++          mountpoint \n"));
}

TEST(DaemonTest, StorageSettingsFollowTheOrderOfCreationAndCollectAlternativeSources) {
    struct Case {
        const char* name;
        std::string blocks;
        std::vector<std::string> ids;  // in order of creation
        std::vector<std::vector<std::string>> alternatives;
    };
    const std::string internal = "storageID disk\ntype INTERNAL\ntarget /data/internal\nmountpoint /data\n";
    const std::string external = "storageID archive\ntype EXTERNAL\ntarget /archive\nn_copy_processes 4\n";
    const std::string usb = "storageID usb\ntype OPTIONAL\ntarget /usb\n";
    const std::string nas = "storageID nas\ntype OPTIONAL\ntarget /nas\nmountpoint /ignored\n";
    const std::string untyped = "storageID nothing\ntarget /nothing\n";
    const Case cases[] = {
        {"internal only", internal, {"disk"}, {{}}},
        {"one optional, no external", usb + internal, {"disk", "usb"}, {{}, {"/data/internal"}}},
        {"two optional, no external",
         internal + usb + nas,
         {"disk", "usb", "nas"},
         {{}, {"/data/internal"}, {"/data/internal"}}},
        // An untyped first block is described but never becomes a storage.
        {"external and two optional in file order",
         untyped + usb + external + internal + nas,
         {"disk", "archive", "usb", "nas"},
         {{}, {"/data/internal"}, {"/data/internal", "/archive"}, {"/data/internal", "/archive"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        writeFile(dir / "vellort.conf", "logfile " + (dir / "vellort.log") +
                                            "\nlogfile_max_number 3\nlogfile_max_size 4096\n"
                                            "history_max_entries 7\nfillstate_limit 65\nramdisk_mountpoint /ramdisk\n"
                                            "create_links no\npreserve_uid yes\npreserve_gid no\n" +
                                            c.blocks);
        ConfigFileParser config;
        ASSERT_TRUE(config.readConfigFile(dir / "vellort.conf"));
        std::vector<Storage::Params> params = Daemon::storageParams(config, nullptr);
        ASSERT_EQ(c.ids.size(), params.size());
        for (size_t i = 0; i < params.size(); ++i) {
            const Storage::Params& p = params[i];
            SCOPED_TRACE(p.storageID);
            EXPECT_EQ(c.ids[i], p.storageID);
            EXPECT_EQ(c.alternatives[i], p.alternativeSourceDirs);
            EXPECT_EQ(dir / "vellort.log", p.logfile);
            EXPECT_EQ(3, p.logfile_max_number);
            EXPECT_EQ(4096, p.logfile_max_size);
            EXPECT_EQ(7, p.history_max_entries);
            EXPECT_EQ(65, p.fillstate_limit);
            EXPECT_FALSE(p.create_links);
            EXPECT_TRUE(p.preserve_uid);
            EXPECT_FALSE(p.preserve_gid);
            EXPECT_EQ(nullptr, p.messageServer);
        }
        EXPECT_EQ(Storage::INTERNAL, params[0].type);
        EXPECT_EQ("/data/internal", params[0].target);
        EXPECT_EQ("", params[0].origin);
        EXPECT_EQ("/ramdisk", params[0].mountpoint);  // not the block's own mountpoint
        for (size_t i = 1; i < params.size(); ++i) {
            const Storage::Params& p = params[i];
            if (p.storageID == "archive") {
                EXPECT_EQ(Storage::EXTERNAL, p.type);
                EXPECT_EQ("/archive", p.target);
                EXPECT_EQ(4, p.n_copy_processes);
                EXPECT_EQ("/data/internal", p.origin);
                EXPECT_EQ("/data", p.mountpoint);  // the INTERNAL block's mountpoint
            } else {
                EXPECT_EQ(Storage::OPTIONAL, p.type);
                EXPECT_EQ("/" + p.storageID, p.target);
                EXPECT_EQ("", p.origin);
                EXPECT_EQ("", p.mountpoint);
            }
        }
    }
}

namespace {

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

// Asks the status service until its history reply holds `part`.
bool waitForHistory(int port, const std::string& part, std::string& reply) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        StatusClient client(port);
        if (client.connected()) {
            reply = client.ask("<request><action id='history'/></request>");
            if (reply.find(part) != std::string::npos) return true;
        }
        usleep(10000);
    }
    return false;
}

}  // namespace

TEST(DaemonTest, CopiesAnnouncedFilesAndReportsTheCountsOfEveryShiftOnTheStatusService) {
    DaemonRunner daemon;
    const std::string root = daemon.root();
    // "nas" takes its type from the block before it.
    daemon.writeConfig(daemon.defaultConfig() + "storageID archive\ntype EXTERNAL\ntarget " + root + "/archive\n" +
                       "storageID usb\ntype OPTIONAL\ntarget " + root + "/usb\n" + "storageID nas\ntarget " + root +
                       "/nas\n");
    ASSERT_EQ(0, daemon.run());
    ASSERT_TRUE(daemon.waitForLog("++ STORAGE: nas"));
    makeDirectories(root + "/ramdisk/run1");
    for (int i = 1; i <= 3; ++i) writeFile(root + "/ramdisk/run1/img_0000" + std::to_string(i) + ".cbf", "data");

    FifoWriter writer(daemon.pipePath());
    ASSERT_TRUE(writer.open());
    ASSERT_TRUE(writer.write(root + "/ramdisk/./run1/img_00001.cbf\n" + root + "/ramdisk/./run1/img_00002.cbf\n" +
                             root + "/ramdisk/./run1/missing.cbf\n"));
    const std::string firstShift = "pending=\"0\" copied=\"2\" failed=\"1\"/>";
    std::string reply;
    ASSERT_TRUE(waitForHistory(daemon.statusPort(), "<storage id=\"nas\" " + firstShift, reply)) << reply;

    ASSERT_TRUE(writer.write("usershift: 1001 1002\n" + root + "/ramdisk/./run1/img_00003.cbf\n"));
    const std::string secondShift = "pending=\"0\" copied=\"1\" failed=\"0\"/>";
    ASSERT_TRUE(waitForHistory(daemon.statusPort(), "<storage id=\"nas\" " + secondShift, reply)) << reply;
    // Newest shift first; every storage, in the order of the configuration,
    // with the counts of each shift as they happened.
    size_t newest = reply.find("uid=\"1001\" gid=\"1002\"");
    size_t oldest = reply.find("uid=\"0\" gid=\"0\"");
    ASSERT_NE(std::string::npos, newest);
    ASSERT_NE(std::string::npos, oldest);
    EXPECT_LT(newest, oldest);
    for (const char* id : {"disk", "archive", "usb", "nas"}) {
        SCOPED_TRACE(id);
        size_t second = reply.find("<storage id=\"" + std::string(id) + "\" " + secondShift, newest);
        size_t first = reply.find("<storage id=\"" + std::string(id) + "\" " + firstShift, oldest);
        EXPECT_LT(second, oldest);
        EXPECT_NE(std::string::npos, first);
    }
    for (const char* target : {"/internal", "/archive", "/usb", "/nas"})
        EXPECT_EQ("data", readFile(root + target + "/run1/img_00003.cbf")) << target;

    // One "Removing" line per storage: INTERNAL, EXTERNAL and both OPTIONAL ones.
    ASSERT_TRUE(daemon.waitForLog(" with uid=1001 gid=1002\n"));
    EXPECT_EQ(4u, occurrences(daemon.log(), "Removing files from previous users\n"));
    EXPECT_TRUE(daemon.running());
}
