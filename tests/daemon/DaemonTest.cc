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
#include "support/CopyRig.h"
#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"
#include "support/LogWatch.h"
#include "support/TempDir.h"

TEST(DaemonTest, StartsDetachedAndLogsBannerSettingsWarningsAndStorages) {
    DaemonRunner daemon;
    const std::string root = daemon.root();
    // The first block has no type to take.
    daemon.writeConfig("storageID untyped\ntarget /tmp/x\n" + daemon.defaultConfig() + "history_max_entries 0\n" +
                       "storageID usb\ntype OPTIONAL\ntarget " + root + "/usb\nn_copy_processes 0\n");
    // A later "--version" is no option: the daemon starts.
    ASSERT_EQ(0, daemon.run({"start", "--version"}));
    ASSERT_TRUE(daemon.waitForLog("++ STORAGE: usb"));
    EXPECT_TRUE(daemon.running());  // found through its pid file, still running after run() returned

    std::string log = daemon.log();
    std::string plusLine(78, '+');
    EXPECT_EQ(0u, log.find("\n\n\n\n" + plusLine + "\n\n++ VELLORT version 3.7.1 started\n++ on "));
    const std::string parts[] = {
        "\n\n" + plusLine + "\n\n\n\n\n++\n++ settings:\n++ ---------\n++\n++ logfile: " + daemon.logPath() +
            "\n++    max size of logfile: 10485760\n++    max # of backuped logfiles: 10\n\n"
            "++ current directory: /\n++\n++\n",
        "Warning: history_max_entries 0 is below 1, using 1\n",
        "Warning: Storage untyped has no type line",
        "Warning: Storage usb: n_copy_processes 0 is below 1, using 1\n",
        "++ STORAGE: untyped\n++          target /tmp/x\n++          n_copy_processes 1\n\n",
        "++ STORAGE: disk\n++          type: INTERNAL\n++          target " + root +
            "/internal\n++          n_copy_processes 1\n++          mountpoint " + root + "\n\n",
        "++ STORAGE: usb\n++          type: OPTIONAL\n++          target " + root +
            "/usb\n++          n_copy_processes 1\n\n"};
    for (const std::string& part : parts) EXPECT_NE(std::string::npos, log.find(part)) << part;

    struct stat status;
    ASSERT_EQ(0, stat(daemon.pipePath().c_str(), &status));
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
    EXPECT_EQ(0600u, status.st_mode & 07777);
}

TEST(DaemonTest, VersionAndConfigurationErrorsGiveTheirMessagesAndExitStatuses) {
    const std::string internal = "storageID a\ntype INTERNAL\ntarget /tmp/a\n";
    const std::string external = "storageID b\ntype EXTERNAL\ntarget /tmp/b\n";
    const struct {
        std::string storages, logLine;
    } cases[] = {
        {internal + internal, "++ Error: Only one internal storage is allowed\n"},
        {internal + external + external, "++ Error: Only one external storage is allowed\n"},
        {external, "++ Error: Config file does not contain any interal storage\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logLine);
        DaemonRunner daemon;
        daemon.writeConfig("logfile " + daemon.logPath() + "\n" + c.storages);
        daemon.writeConfig(daemon.defaultConfig(), true);  // the first file counts, however unusable
        // The shell sees the fork succeed; the daemon ends with 1 after its pid file and banner.
        ASSERT_EQ(0, daemon.run());
        EXPECT_EQ(1, daemon.waitForExit());
        EXPECT_NE(std::string::npos, daemon.log().find("++ VELLORT version 3.7.1 started"));
        EXPECT_NE(std::string::npos, daemon.log().find(c.logLine));
        EXPECT_TRUE(fileExists(daemon.pidFilePath()));
    }

    DaemonRunner noConfig;
    EXPECT_EQ(0, noConfig.run({"--version"}));  // the configuration is not read
    EXPECT_EQ("VELLORT version 3.7.1\n", noConfig.output());
    EXPECT_EQ(2, noConfig.run());
    EXPECT_EQ("Error: No config file at " + noConfig.root() + "/etc/vellort_quorvin.conf or " + noConfig.root() +
                  "/etc/vellort_quorvin/vellort_quorvin.conf.\n",
              noConfig.output());

    DaemonRunner noLog;
    noLog.writeConfig("logfile " + noLog.root() + "/missing/dir/vellort.log\n");
    EXPECT_EQ(4, noLog.run());
    EXPECT_EQ("Error: Cannot access " + noLog.root() + "/missing/dir/vellort.log\n", noLog.output());
    EXPECT_FALSE(fileExists(noLog.pidFilePath()));
}

TEST(DaemonTest, StorageSettingsFollowTheOrderOfCreationAndCollectAlternativeSources) {
    const std::string internal = "storageID disk\ntype INTERNAL\ntarget /data/internal\nmountpoint /data\n";
    const std::string external = "storageID archive\ntype EXTERNAL\ntarget /archive\nn_copy_processes 4\n";
    const std::string usb = "storageID usb\ntype OPTIONAL\ntarget /usb\n";
    const std::string nas = "storageID nas\ntype OPTIONAL\ntarget /nas\nmountpoint /ignored\n";
    using Row = std::tuple<std::string, int, std::string, std::string, std::string, int, std::vector<std::string>>;
    const std::vector<std::string> none, fromInternal{"/data/internal"}, fromBoth{"/data/internal", "/archive"};
    const struct {
        std::string blocks;
        std::vector<Row> rows;  // storageID, type, target, origin, mountpoint, n_copy_processes, alternatives
    } cases[] = {
        {usb + internal + nas,
         {Row("disk", Storage::INTERNAL, "/data/internal", "", "/ramdisk", 1, none),
          Row("usb", Storage::OPTIONAL, "/usb", "", "", 1, fromInternal),
          Row("nas", Storage::OPTIONAL, "/nas", "", "", 1, fromInternal)}},
        // An untyped first block never becomes a storage.
        {"storageID nothing\ntarget /nothing\n" + usb + external + internal + nas,
         {Row("disk", Storage::INTERNAL, "/data/internal", "", "/ramdisk", 4, none),
          Row("archive", Storage::EXTERNAL, "/archive", "/data/internal", "/data", 4, fromInternal),
          Row("usb", Storage::OPTIONAL, "/usb", "", "", 1, fromBoth),
          Row("nas", Storage::OPTIONAL, "/nas", "", "", 4, fromBoth)}},
    };
    for (const auto& c : cases) {
        TempDir dir;
        writeFile(dir / "vellort.conf", c.blocks);
        ConfigFileParser config;
        ASSERT_TRUE(config.readConfigFile(dir / "vellort.conf"));
        std::vector<Row> rows;
        for (const Storage::Params& p : Daemon::storageParams(config, nullptr))
            rows.emplace_back(p.storageID, p.type, p.target, p.origin, p.mountpoint, p.n_copy_processes,
                              p.alternativeSourceDirs);
        EXPECT_EQ(c.rows, rows);
    }
}

// The counts that the status service reports are checked through the status tool.
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
    EXPECT_NE(std::string::npos,
              daemon.log().find("++ Error: Creating " + daemon.pipePath() + "\n          File exists\n"));
    // Files of every size class, in folders the copies must make, with modes and times to keep.
    const struct {
        std::string relative;
        mode_t mode;
        time_t mtime;
        size_t size;
    } sources[] = {{"run1/img_00001.cbf", 0640, 1577880000, 3000},
                   {"run1/deep/er/b.dat", 0600, 1000000000, 200000},
                   {"top.txt", 0755, 1600000000, 0}};
    std::string announcements;
    for (const auto& s : sources) {
        const std::string path = root + "/ramdisk/" + s.relative;
        std::string content;
        for (size_t i = 0; i < s.size; ++i) content += static_cast<char>('a' + i % 23);
        CopyRig::put(path, content);
        ASSERT_EQ(0, chmod(path.c_str(), s.mode));
        struct timeval times[2] = {{s.mtime, 0}, {s.mtime, 0}};
        ASSERT_EQ(0, utimes(path.c_str(), times));
        announcements += root + "/ramdisk/./" + s.relative + "\n";
    }
    FifoWriter writer(daemon.pipePath());
    ASSERT_TRUE(writer.open());
    ASSERT_TRUE(writer.write(announcements));
    for (const char* target : {"/internal/", "/archive/", "/usb/", "/nas/"}) {
        for (const auto& s : sources) {
            SCOPED_TRACE(target + s.relative);
            struct stat copy;
            // A copy appears under its final name only once it is complete.
            ASSERT_TRUE(CopyRig::waitUntil([&]() { return stat((root + target + s.relative).c_str(), &copy) == 0; }));
            EXPECT_EQ(s.mode, copy.st_mode & 07777);
            EXPECT_EQ(s.mtime, copy.st_mtime);
            EXPECT_EQ(readFile(root + "/ramdisk/" + s.relative), readFile(root + target + s.relative));
        }
    }

    // One "Removing" line per storage: INTERNAL, EXTERNAL and both OPTIONAL ones.
    writeFile(root + "/ramdisk/run1/img_00003.cbf", "data");
    ASSERT_TRUE(writer.write("usershift: 1001 1002\n" + root + "/ramdisk/./run1/img_00003.cbf\n"));
    for (const char* target : {"/internal", "/archive", "/usb", "/nas"})
        EXPECT_TRUE(waitForLogCount(root + target + "/run1/img_00003.cbf", "data", 1)) << target;
    EXPECT_EQ(4, countInFile(daemon.logPath(), "Removing files from previous users\n"));
    EXPECT_TRUE(daemon.running());
}
