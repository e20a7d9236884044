#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "copy/CopyEngine.h"
#include "daemon/ConfigFileParser.h"
#include "daemon/Daemon.h"
#include "log/LogFile.h"
#include "support/ChildProcess.h"
#include "support/CopyRig.h"
#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"
#include "support/TmpfsMount.h"
#include "util/Stop.h"

TEST(DaemonStartTest, VersionAndConfigurationErrorsGiveTheirMessagesAndExitStatuses) {
    DaemonRunner daemon;
    const std::string root = daemon.root();
    EXPECT_EQ(0, daemon.run({"--version"}));  // the configuration is not read
    EXPECT_EQ("VELLORT version 3.7.1\n", daemon.output());
    EXPECT_EQ(2, daemon.run());
    EXPECT_EQ("Error: No config file at " + root + "/etc/vellort_quorvin.conf or " + root +
                  "/etc/vellort_quorvin/vellort_quorvin.conf.\n",
              daemon.output());
    daemon.writeConfig("logfile " + root + "/missing/dir/vellort.log\n");
    EXPECT_EQ(4, daemon.run());
    EXPECT_EQ("Error: Cannot access " + root + "/missing/dir/vellort.log\n", daemon.output());
    EXPECT_FALSE(fileExists(daemon.pidFilePath()));
    // Relative paths would be checked here and used from "/": refused before the fork.
    daemon.writeConfig("logfile vellort.log\n" + daemon.defaultConfig() + "storageID c\ntype OPTIONAL\ntarget c\n");
    EXPECT_EQ(1, daemon.run());
    EXPECT_EQ(
        "Error: logfile vellort.log is not an absolute path\nError: Storage c: target c is not an absolute path\n",
        daemon.output());
    ChildProcess relativeRoot({builtExecutable("vellort")}, root, "vellort", {{"VELLORT_ROOT", "var"}});
    EXPECT_EQ(1, relativeRoot.waitForExit());
    EXPECT_EQ("Error: VELLORT_ROOT var is not an absolute path\n", relativeRoot.errorOutput());

    const std::string internal = "storageID a\ntype INTERNAL\ntarget /tmp/a\n";
    const std::string external = "storageID b\ntype EXTERNAL\ntarget /tmp/b\n";
    const std::pair<std::string, std::string> cases[] = {
        {internal + internal, "++ Error: Only one internal storage is allowed\n"},
        {internal + external + external, "++ Error: Only one external storage is allowed\n"},
        {external, "++ Error: Config file does not contain any interal storage\n"},
        // Without a target copies would go below "/".
        {internal + "storageID c\ntype OPTIONAL\n", "++ Error: Storage c has no target\n"},
    };
    daemon.writeConfig(daemon.defaultConfig(), true);  // the first file counts, however unusable
    int started = 0;
    for (const auto& [storages, logLine] : cases) {
        SCOPED_TRACE(logLine);
        daemon.writeConfig("logfile " + daemon.logPath() + "\n" + storages);
        // The shell sees the fork succeed; the daemon ends with 1 after its pid file and banner.
        ASSERT_EQ(0, daemon.run());
        EXPECT_EQ(1, daemon.waitForExit());
        EXPECT_EQ(++started, countInFile(daemon.logPath(), "++ VELLORT version 3.7.1 started"));
        EXPECT_EQ(1, countInFile(daemon.logPath(), logLine));
        EXPECT_EQ(0, unlink(daemon.pidFilePath().c_str()));
    }
}

TEST(DaemonStartTest, StorageSettingsFollowTheOrderOfCreationAndCollectAlternativeSources) {
    TempDir dir;
    writeFile(dir / "vellort.conf",
              "storageID nothing\ntarget /nothing\nstorageID disk\ntype OPTIONAL\ntarget /usb\n"
              "storageID archive\ntype EXTERNAL\ntarget /archive\nn_copy_processes 4\n"
              "storageID disk\ntype INTERNAL\ntarget /data/internal\nmountpoint /data\n"
              "storageID nas\ntype OPTIONAL\ntarget /nas\nmountpoint /ignored\n");
    ConfigFileParser config;
    ASSERT_TRUE(config.readConfigFile(dir / "vellort.conf"));
    std::string rows;  // storageID, type, target, origin, mountpoint, n_copy_processes, alternative sources
    for (const Storage::Params& p : Daemon::storageParams(config, nullptr)) {
        rows += p.storageID + " " + std::to_string(toInt(p.type)) + " " + p.target + " " + p.origin + " " +
                p.mountpoint + " " + std::to_string(p.n_copy_processes);
        for (const std::string& source : p.alternativeSourceDirs) rows += " " + source;
        rows += "\n";
    }
    EXPECT_EQ(
        "disk 0 /data/internal  /ramdisk 4\narchive 1 /archive /data/internal /data 4 /data/internal\n"
        "disk#2 2 /usb   1 /data/internal /archive\nnas 2 /nas   4 /data/internal /archive\n",
        rows);
}

// Killed, the daemon leaves its pipe: the next start (the RAM disk a link, announced through its end; a storageID
// twice) takes it up and copies every file into every target, with its mode, time and folders' modes.
TEST(DaemonStartTest, WarnsOfEachMistakeOwnsItsPidFileAndPipeAndCopiesIntoEveryTargetAfterARestart) {
    DaemonRunner daemon;
    const std::string root = daemon.root(), pipe = daemon.pipePath(), pid = daemon.pidFilePath();
    const std::string victim = root + "/victim", log = daemon.logPath();
    daemon.writeConfig("ramdisk_mountpoint " + root +  // the first block has no type to take; the RAM disk is missing
                       "/gone\nlogfile_max_size 64K\nstorageID untyped\ntarget /tmp/x\n" + daemon.defaultConfig() +
                       "storageID usb\ntype OPTIONAL\ntarget " + root + "/usb\nn_copy_processes 4000\n");
    // For the restart, once the first file is gone: "nas" takes its type from the block before it.
    daemon.writeConfig(daemon.defaultConfig() + "storageID disk\ntype EXTERNAL\ntarget " + root + "/archive\n" +
                           "storageID usb\ntype OPTIONAL\ntarget " + root + "/usb\nstorageID nas\ntarget " + root +
                           "/nas\n",
                       true);
    writeFile(victim, "kept");
    // Each refused before the daemon detaches, so the shell hears of it.
    const std::pair<std::function<int()>, std::string> refused[] = {
        {[&] { return symlink(victim.c_str(), pid.c_str()); }, "it is a symbolic link"},
        {[&] { return mkfifo(pid.c_str(), 0666); }, "it is not a regular file"},
        {[&] { return link(victim.c_str(), pid.c_str()); }, "it has 2 names (hard links)"}};
    for (const auto& c : refused) {
        ASSERT_EQ(0, c.first());
        EXPECT_EQ(1, daemon.run());
        EXPECT_EQ("Error: Cannot write the pid file " + pid + ": " + c.second + "\n", daemon.output());
        ASSERT_EQ(0, unlink(pid.c_str()));
    }
    EXPECT_EQ("kept", readFile(victim));
    writeFile(pid, "a much longer earlier content, once writable by anyone\n");
    ASSERT_EQ(0, chmod(pid.c_str(), 0666));
    // Left by a writer that came before the pipe: moved aside, not read for ever.
    writeFile(pipe, "/elsewhere/./x.cbf\n");
    ASSERT_EQ(0, daemon.run({"start", "--version"}));  // a later "--version" is no option
    const std::string first = std::to_string(daemon.daemonPid());
    EXPECT_EQ(first + "\n", readFile(pid));
    struct stat status;
    EXPECT_EQ(S_IFREG | 0644u, lstat(pid.c_str(), &status) == 0 ? status.st_mode : 0);
    // Killed only once its start has been logged, or the second start's lines would be the first.
    ASSERT_TRUE(daemon.waitForLog("++ STORAGE: usb"));
    const std::string lines[] = {
        "\n++ VELLORT version 3.7.1 started\n",
        "\n++ current directory: /\n",
        "\n++ logfile: " + log + "\n++    max size of logfile: 65536\n",
        "\nWarning: Storage untyped has no type line",
        "\nWarning: Storage usb: n_copy_processes 4000 is above 64, using 64\n",
        "\nWarning: " + pipe + " was a regular file: moved it aside, unread, to " + pipe + ".stale-",
        "\n++ STORAGE: usb\n++          type: OPTIONAL\n++          target " + root + "/usb\n" +
            "++          n_copy_processes 64\n"};
    const std::string started = daemon.log();
    for (const std::string& line : lines) EXPECT_NE(std::string::npos, started.find(line)) << line;
    EXPECT_EQ(S_IFIFO | 0600u, stat(pipe.c_str(), &status) == 0 ? status.st_mode : 0);  // remade by the reader
    const size_t stale = started.find(".stale-");                                       // kept as it was
    EXPECT_EQ("/elsewhere/./x.cbf\n", readFile(pipe + started.substr(stale, started.find(' ', stale) - stale)));
    EXPECT_EQ(64, daemon.run());
    EXPECT_EQ("Error: Not starting: another vellort runs (pid " + first + "), holding " + pid + "\n", daemon.output());
    EXPECT_EQ(first + "\n", readFile(pid));
    EXPECT_EQ(1, countInFile(log, "++ VELLORT version 3.7.1 started"));
    EXPECT_TRUE(daemon.running());

    // The missing RAM disk is checked twice a second, and said once.
    const std::string statError = " Error: Stat on  " + root + "/gone returned No such file or directory\n";
    ASSERT_TRUE(daemon.waitForLog(statError));
    EXPECT_FALSE(waitForLogCount(log, statError, 2, 2));
    // Grown beyond its size once both copy schedulers had their first look, it is rotated all the same.
    ASSERT_TRUE(waitForLogCount(log, ": Looking for recently created files by TAVRO\n", 2));
    LogFile(log).log(std::string(65536, '+'));
    EXPECT_TRUE(CopyRig::waitUntil([&]() { return fileExists(log + ".0"); }, 10));

    daemon.kill();
    ASSERT_EQ(0, unlink(pid.c_str()));  // so that the next pid read is the next daemon's
    ASSERT_EQ(0, unlink((root + "/etc/vellort_quorvin.conf").c_str()));
    ASSERT_TRUE(rename((root + "/ramdisk").c_str(), (root + "/ram").c_str()) == 0 &&
                symlink("ram", (root + "/ramdisk").c_str()) == 0);
    ASSERT_EQ(0, daemon.run());
    ASSERT_TRUE(daemon.waitForLog("++ STORAGE: nas"));
    EXPECT_EQ(0, countInFile(log, "++ Error: Creating " + pipe));  // the pipe the run before made is used
    EXPECT_EQ(1, countInFile(log, "\nWarning: storageID disk is given twice: the later storage is called disk#1\n"));
    const std::tuple<std::string, mode_t, time_t, size_t> sources[] = {{"run1/img_00001.cbf", 0640, 1577880000, 3000},
                                                                       {"run1/deep/er/b.dat", 0600, 1000000000, 200000},
                                                                       {"top.txt", 0755, 1600000000, 0}};
    std::string announcements;
    for (const auto& [relative, mode, mtime, size] : sources) {
        const std::string path = root + "/ram/" + relative;
        std::string content;
        for (size_t i = 0; i < size; ++i) content += static_cast<char>('a' + i % 23);
        CopyRig::put(path, content);
        const struct timeval times[2] = {{mtime, 0}, {mtime, 0}};
        ASSERT_TRUE(chmod(path.c_str(), mode) == 0 && utimes(path.c_str(), times) == 0);
        announcements += root + "/ram/./" + relative + "\n";
    }
    ASSERT_EQ(0, chmod((root + "/ram/run1").c_str(), 0711));
    FifoWriter writer(pipe);
    ASSERT_TRUE(writer.open() && writer.write(announcements));
    for (const char* target : {"/internal/", "/archive/", "/usb/", "/nas/"})
        for (const auto& [relative, mode, mtime, size] : sources) {
            const std::string copyPath = root + target + relative;
            SCOPED_TRACE(copyPath);
            struct stat copy;  // a copy appears under its final name only once it is complete
            ASSERT_TRUE(CopyRig::waitUntil([&]() { return stat(copyPath.c_str(), &copy) == 0; }));
            EXPECT_EQ(std::make_pair(mode, mtime), std::make_pair(copy.st_mode & 07777, copy.st_mtime));
            EXPECT_EQ(readFile(root + "/ramdisk/" + relative), readFile(copyPath));
            EXPECT_EQ(0711u, stat((root + target + "run1").c_str(), &copy) == 0 ? copy.st_mode & 07777 : 0);
        }
    EXPECT_NE(std::string::npos, daemon.historyHolding("<storage id=\"disk#1\"").find("<storage id=\"disk\""));
}

// The copy is finished, not cut off, and no temporary file stays.
TEST(DaemonStartTest, SigtermLetsTheRunningCopyFinishAndEndsWithStatusZero) {
    TmpfsMount ram("size=1100m"), target("size=1100m");
    if (!target.mounted()) GTEST_SKIP() << target.skipReason();
    DaemonRunner daemon;
    daemon.writeConfig(daemon.serviceConfig(ram.path()) + "storageID disk\ntype INTERNAL\ntarget " + target.path() +
                       "\nmountpoint " + target.path() + "\n");
    const off_t size = 1024L << 20;
    const int fd = open((ram.path() + "/big.raw").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_TRUE(fd >= 0 && fallocate(fd, 0, 0, size) == 0);
    close(fd);
    ASSERT_EQ(0, daemon.run());
    FifoWriter pipe(daemon.pipePath());
    ASSERT_TRUE(pipe.open() && pipe.write(ram.path() + "/./big.raw\n"));
    struct stat made;  // in a fresh sandbox the daemon makes the pipe itself
    EXPECT_EQ(S_IFIFO | 0600u, stat(daemon.pipePath().c_str(), &made) == 0 ? made.st_mode : 0);
    ASSERT_TRUE(CopyRig::waitUntil([&]() { return fileExists(target.path() + "/big.raw.tmp"); }));
    ASSERT_EQ(0, kill(daemon.daemonPid(), SIGTERM));
    EXPECT_EQ(0, daemon.waitForExit(15));
    EXPECT_EQ(size, stat((target.path() + "/big.raw").c_str(), &made) == 0 ? made.st_size : -1);
    EXPECT_FALSE(fileExists(target.path() + "/big.raw.tmp"));
    EXPECT_EQ(1, countInFile(daemon.logPath(), "++ VELLORT stopped on SIGTERM\n"));
}

// The copy gives up at its next block. In a child, as the stop is process-wide.
TEST(DaemonStartTest, ACopyCutOffByTheStopLeavesNoTemporaryFile) {
    TempDir dir;
    writeFile(dir / "source", std::string(100000, 's'));
    TrustedTree from(dir.path()), to(dir / "target", true);  // for the child: they hold nothing yet
    EXPECT_EXIT(
        {
            UTILITIES::abortCopies();
            const int64_t result = UTILITIES::copy(UTILITIES::CopyRequest(from, "source", to, "copy"));
            const bool cancelled = result == UTILITIES::COPY_WRITE && errno == ECANCELED;
            _exit(cancelled && !fileExists(dir / "target/copy.tmp") && !fileExists(dir / "target/copy") ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}
