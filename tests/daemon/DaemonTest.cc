#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "daemon/ConfigFileParser.h"
#include "daemon/Daemon.h"
#include "ledger/Storage.h"
#include "log/LogFile.h"
#include "support/ChildProcess.h"
#include "support/CopyRig.h"
#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"
#include "support/LogWatch.h"
#include "support/TempDir.h"

TEST(DaemonTest, StartsDetachedAndLogsBannerSettingsWarningsAndStorages) {
    DaemonRunner daemon;
    const std::string root = daemon.root();
    // The first block has no type to take. The RAM disk is missing.
    daemon.writeConfig("ramdisk_mountpoint " + root + "/gone\nlogfile_max_size 64K\nstatus_port 116594\n" +
                       "storageID untyped\ntarget /tmp/x\n" + daemon.defaultConfig() + "history_max_entries 0\n" +
                       "storageID usb\ntype OPTIONAL\ntarget " + root + "/usb\nn_copy_processes 4000\n");
    // Left by a writer that came before the pipe: moved aside, not read for ever.
    writeFile(daemon.pipePath(), "/elsewhere/./x.cbf\n");
    ASSERT_EQ(0, daemon.run({"start", "--version"}));  // a later "--version" is no option
    ASSERT_TRUE(daemon.waitForLog("++ STORAGE: usb"));
    EXPECT_TRUE(daemon.running());  // found through its pid file, still running after run() returned

    std::string log = daemon.log();
    std::string plusLine(78, '+');
    EXPECT_EQ(0u, log.find("\n\n\n\n" + plusLine + "\n\n++ VELLORT version 3.7.1 started\n++ on "));
    const std::string parts[] = {
        "\n\n" + plusLine + "\n\n\n\n\n++\n++ settings:\n++ ---------\n++\n++ logfile: " + daemon.logPath() +
            "\n++    max size of logfile: 65536\n++    max # of backuped logfiles: 10\n\n"
            "++ current directory: /\n++\n++\n",
        "Warning: history_max_entries 0 is below 1, using 1\nWarning: status_port 116594 is above 65535, using 47199\n",
        "Warning: Storage untyped has no type line",
        "Warning: Storage usb: n_copy_processes 4000 is above 64, using 64\n",
        "Warning: " + daemon.pipePath() + " was a regular file: moved it aside, unread, to " + daemon.pipePath() +
            ".stale-",
        "++ STORAGE: untyped\n++          target /tmp/x\n++          n_copy_processes 1\n\n",
        "++ STORAGE: disk\n++          type: INTERNAL\n++          target " + root +
            "/internal\n++          n_copy_processes 1\n++          mountpoint " + root + "\n\n",
        "++ STORAGE: usb\n++          type: OPTIONAL\n++          target " + root +
            "/usb\n++          n_copy_processes 64\n\n"};
    for (const std::string& part : parts) EXPECT_NE(std::string::npos, log.find(part)) << part;

    struct stat status;
    EXPECT_EQ(S_IFIFO | 0600u, stat(daemon.pipePath().c_str(), &status) == 0 ? status.st_mode : 0);
    const size_t stale = log.find(".stale-");  // kept as it was
    EXPECT_EQ("/elsewhere/./x.cbf\n", readFile(daemon.pipePath() + log.substr(stale, log.find(' ', stale) - stale)));

    // The missing RAM disk is checked twice a second, and said once.
    const std::string statError = " Error: Stat on  " + root + "/gone returned No such file or directory\n";
    ASSERT_TRUE(daemon.waitForLog(statError));
    EXPECT_FALSE(waitForLogCount(daemon.logPath(), statError, 2, 2));
    // Grown beyond its size once both copy schedulers had their first look, it is rotated all the same.
    ASSERT_TRUE(waitForLogCount(daemon.logPath(), ": Looking for recently created files by TAVRO\n", 2));
    LogFile(daemon.logPath()).log(std::string(65536, '+'));
    EXPECT_TRUE(CopyRig::waitUntil([&]() { return fileExists(daemon.logPath() + ".0"); }, 10));
}

TEST(DaemonTest, VersionAndConfigurationErrorsGiveTheirMessagesAndExitStatuses) {
    const std::string internal = "storageID a\ntype INTERNAL\ntarget /tmp/a\n";
    const std::string external = "storageID b\ntype EXTERNAL\ntarget /tmp/b\n";
    const std::pair<std::string, std::string> cases[] = {
        {internal + internal, "++ Error: Only one internal storage is allowed\n"},
        {internal + external + external, "++ Error: Only one external storage is allowed\n"},
        {external, "++ Error: Config file does not contain any interal storage\n"},
        // Without a target, or with a tab after its key, copies would go below "/".
        {"storageID a\ntype INTERNAL\ntarget\t/tmp/a\n", "++ Error: Storage a has no target\n"},
        {internal + "storageID c\ntype OPTIONAL\n", "++ Error: Storage c has no target\n"},
    };
    for (const auto& [storages, logLine] : cases) {
        SCOPED_TRACE(logLine);
        DaemonRunner daemon;
        daemon.writeConfig("logfile " + daemon.logPath() + "\n" + storages);
        daemon.writeConfig(daemon.defaultConfig(), true);  // the first file counts, however unusable
        // The shell sees the fork succeed; the daemon ends with 1 after its pid file and banner.
        ASSERT_EQ(0, daemon.run());
        EXPECT_EQ(1, daemon.waitForExit());
        EXPECT_NE(std::string::npos, daemon.log().find("++ VELLORT version 3.7.1 started"));
        EXPECT_NE(std::string::npos, daemon.log().find(logLine));
        EXPECT_TRUE(fileExists(daemon.pidFilePath()));
    }

    DaemonRunner early;
    EXPECT_EQ(0, early.run({"--version"}));  // the configuration is not read
    EXPECT_EQ("VELLORT version 3.7.1\n", early.output());
    EXPECT_EQ(2, early.run());
    EXPECT_EQ("Error: No config file at " + early.root() + "/etc/vellort_quorvin.conf or " + early.root() +
                  "/etc/vellort_quorvin/vellort_quorvin.conf.\n",
              early.output());

    early.writeConfig("logfile " + early.root() + "/missing/dir/vellort.log\n");
    EXPECT_EQ(4, early.run());
    EXPECT_EQ("Error: Cannot access " + early.root() + "/missing/dir/vellort.log\n", early.output());
    EXPECT_FALSE(fileExists(early.pidFilePath()));

    // Relative paths would be checked here and used from "/": refused before the fork.
    early.writeConfig("logfile vellort.log\n" + early.defaultConfig() + "storageID c\ntype OPTIONAL\ntarget c\n");
    EXPECT_EQ(1, early.run());
    EXPECT_EQ(
        "Error: logfile vellort.log is not an absolute path\nError: Storage c: target c is not an absolute path\n",
        early.output());
    ChildProcess relativeRoot({builtExecutable("vellort")}, early.root(), "vellort", {{"VELLORT_ROOT", "var"}});
    EXPECT_EQ(1, relativeRoot.waitForExit());
    EXPECT_EQ("Error: VELLORT_ROOT var is not an absolute path\n", relativeRoot.errorOutput());
}

TEST(DaemonTest, StorageSettingsFollowTheOrderOfCreationAndCollectAlternativeSources) {
    TempDir dir;
    writeFile(dir / "vellort.conf",
              "storageID nothing\ntarget /nothing\nstorageID usb\ntype OPTIONAL\ntarget /usb\n"
              "storageID archive\ntype EXTERNAL\ntarget /archive\nn_copy_processes 4\n"
              "storageID disk\ntype INTERNAL\ntarget /data/internal\nmountpoint /data\n"
              "storageID nas\ntype OPTIONAL\ntarget /nas\nmountpoint /ignored\n");
    ConfigFileParser config;
    ASSERT_TRUE(config.readConfigFile(dir / "vellort.conf"));
    std::string rows;  // storageID, type, target, origin, mountpoint, n_copy_processes, alternative sources
    for (const Storage::Params& p : Daemon::storageParams(config, nullptr)) {
        rows += p.storageID + " " + std::to_string(p.type) + " " + p.target + " " + p.origin + " " + p.mountpoint +
                " " + std::to_string(p.n_copy_processes);
        for (const std::string& source : p.alternativeSourceDirs) rows += " " + source;
        rows += "\n";
    }
    EXPECT_EQ(
        "disk 0 /data/internal  /ramdisk 4\narchive 1 /archive /data/internal /data 4 /data/internal\n"
        "usb 2 /usb   1 /data/internal /archive\nnas 2 /nas   4 /data/internal /archive\n",
        rows);
}

TEST(DaemonTest, CopiesAnnouncedFilesIntoEveryTargetWithTheirModeAndTime) {
    DaemonRunner daemon;
    const std::string root = daemon.root();
    // "nas" takes its type from the block before it; the second file is read when the first is missing.
    daemon.writeConfig(daemon.defaultConfig() + "storageID archive\ntype EXTERNAL\ntarget " + root + "/archive\n" +
                           "storageID usb\ntype OPTIONAL\ntarget " + root + "/usb\nstorageID nas\ntarget " + root +
                           "/nas\n",
                       true);
    // A pipe left over from an earlier run is logged and used.
    ASSERT_EQ(0, mkfifo(daemon.pipePath().c_str(), 0600));
    ASSERT_EQ(0, daemon.run());
    ASSERT_TRUE(daemon.waitForLog("++ STORAGE: nas"));
    EXPECT_EQ(1,
              countInFile(daemon.logPath(), "++ Error: Creating " + daemon.pipePath() + "\n          File exists\n"));
    // Files of every size class, in folders the copies must make, with modes and times to keep.
    const std::tuple<std::string, mode_t, time_t, size_t> sources[] = {{"run1/img_00001.cbf", 0640, 1577880000, 3000},
                                                                       {"run1/deep/er/b.dat", 0600, 1000000000, 200000},
                                                                       {"top.txt", 0755, 1600000000, 0}};
    std::string announcements;
    for (const auto& [relative, mode, mtime, size] : sources) {
        const std::string path = root + "/ramdisk/" + relative;
        std::string content;
        for (size_t i = 0; i < size; ++i) content += static_cast<char>('a' + i % 23);
        CopyRig::put(path, content);
        ASSERT_EQ(0, chmod(path.c_str(), mode));
        struct timeval times[2] = {{mtime, 0}, {mtime, 0}};
        ASSERT_EQ(0, utimes(path.c_str(), times));
        announcements += root + "/ramdisk/./" + relative + "\n";
    }
    FifoWriter writer(daemon.pipePath());
    ASSERT_TRUE(writer.open());
    ASSERT_TRUE(writer.write(announcements));
    for (const char* target : {"/internal/", "/archive/", "/usb/", "/nas/"})
        for (const auto& [relative, mode, mtime, size] : sources) {
            const std::string copyPath = root + target + relative;
            SCOPED_TRACE(copyPath);
            struct stat copy;
            // A copy appears under its final name only once it is complete.
            ASSERT_TRUE(CopyRig::waitUntil([&]() { return stat(copyPath.c_str(), &copy) == 0; }));
            EXPECT_EQ(mode, copy.st_mode & 07777);
            EXPECT_EQ(mtime, copy.st_mtime);
            EXPECT_EQ(readFile(root + "/ramdisk/" + relative), readFile(copyPath));
        }
    EXPECT_TRUE(daemon.running());
}
