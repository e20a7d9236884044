#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/DaemonRunner.h"

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
