#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "journal/Journal.h"
#include "support/ChildProcess.h"
#include "support/CopyRig.h"
#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"
#include "support/StatusClient.h"
#include "support/TmpfsMount.h"

// Files of the current shift announced (with their size) but never booked, each with what a kill or a power cut may
// leave (table below). The line recorded last is still in the pipe, as after a kill between the commit and the read:
// it is skipped, the line after it is not. Of an earlier shift, two files whose INTERNAL copy the EXTERNAL storage let
// go at the stop (deleted; or, the INTERNAL booking lost, linked to the EXTERNAL copy) count as copied: none is made
// anew, where no storage would delete it, and none fails for want of a source.
TEST(RecoveryTest, AStartJudgesWhatACutLeftBeforeItRemovesAnything) {
    // Bytes of the source, the copy and its temporary copy before the start
    // and after it (-1: none), and the size the journal recorded.
    struct Leftover {
        const char* name;
        int source, copy, temporary, recorded, copyAfter, temporaryAfter;
        const char* logged;  // what the log says of it, if anything
    };
    const Leftover table[] = {
        // With the source there, a copy of its size and mtime stays; anything else is made anew.
        {"complete", 5000, 5000, -1, 5000, 5000, -1, ""},
        {"partial", 5000, 3000, 3000, 5000, 5000, -1, ""},
        {"missing", 5000, -1, 14, 5000, 5000, -1, ""},
        // With it gone, only the recorded size proves a copy whole, or a temporary copy, which then takes its place.
        {"tmponly", -1, -1, 5000, 5000, 5000, -1, "tmponly.tmp is complete: it becomes the copy"},
        {"tmppartial", -1, -1, 3000, 5000, -1, 3000, "the temporary copy has 3000 bytes, the file had 5000; it is not"},
        {"empty", -1, 0, -1, 5000, 0, -1, "the copy has 0 bytes, the file had 5000; it is not counted as a copy"},
        {"both", -1, 5000, 3000, 5000, 5000, -1, ""},
        {"emptytmp", -1, 0, 5000, 5000, 5000, -1, "emptytmp.tmp is complete: it becomes the copy"},
        {"unrecorded", -1, 5000, -1, -1, 5000, -1, "no size was recorded for the file, so the copy cannot be judged"},
        {"vanished", -1, -1, -1, -1, -1, -1, "internal/run/vanished returned error code -1"},
    };
    DaemonRunner daemon;
    const std::string journalPath = daemon.root() + "/var/lib/vellort/journal.sqlite";
    const std::string ram = daemon.root() + "/ramdisk", copies = daemon.root() + "/internal";
    const std::string external = daemon.root() + "/external";
    const int64_t earlier = 1700000000, shift = earlier + 100;
    {
        Journal journal(journalPath, {"disk", "archive"}, 5, daemon.logPath(), nullptr);
        Journal::Contents contents;
        ASSERT_TRUE(journal.open(contents));
        ASSERT_EQ(0, journal.start());
        const std::string run = ram + "/./run/";  // as the pipe names the files
        const int64_t deleted = journal.newFileId(), linked = journal.newFileId();
        journal.record({{true, deleted, "", earlier, 1234, 567}, {false, deleted, run + "deleted", earlier, 0, 0}});
        journal.record({{false, linked, run + "linked", earlier, 0, 0}, {true, linked + 1, "", shift, 1234, 567}});
        journal.book(deleted, 0, {Journal::COPIED}, earlier, HistoryChange::copiedFromPending());
        journal.book(deleted, 1, {Journal::DELETED, 0, true}, earlier, HistoryChange::copiedFromPending());
        journal.book(linked, 1, {Journal::COPIED}, earlier, HistoryChange::copiedFromPending());
        for (const Leftover& row : table)
            journal.record({{false, journal.newFileId(), run + row.name, shift, 0, 0, row.recorded}},
                           run + row.name + "\n");
    }
    ASSERT_EQ(0, mkfifo(daemon.pipePath().c_str(), 0600));
    const int pipe = open(daemon.pipePath().c_str(), O_RDWR);  // holds what is written without a reader
    const std::string lines = ram + "/./run/vanished\n" + ram + "/./run/extra\n";
    ASSERT_EQ(static_cast<ssize_t>(lines.size()), write(pipe, lines.data(), lines.size()));
    CopyRig::put(ram + "/run/extra", "extra");
    const struct utimbuf now = {shift, shift}, before = {earlier, earlier};
    std::vector<ino_t> inodes;  // of the copy, or of the temporary copy that must take its place
    for (const Leftover& row : table) {
        const std::string bytes(5000, row.name[0]), copy = copies + "/run/" + row.name;
        if (row.source >= 0) CopyRig::put(ram + "/run/" + row.name, bytes);
        if (row.copy >= 0) CopyRig::put(copy, bytes.substr(0, row.copy));
        if (row.temporary >= 0) CopyRig::put(copy + ".tmp", bytes.substr(0, row.temporary));
        for (const std::string& path : {ram + "/run/" + row.name, copy}) utime(path.c_str(), &now);
        struct stat status;
        const bool promoted = row.temporary == 5000 && row.source < 0;
        inodes.push_back(stat((promoted ? copy + ".tmp" : copy).c_str(), &status) == 0 ? status.st_ino : 0);
    }
    for (const char* name : {"deleted", "linked"}) CopyRig::put(external + "/run/" + name, std::string(5000, name[0]));
    writeFile(ram + "/run/deleted", std::string(5000, 'd'));
    ASSERT_EQ(0, symlink((copies + "/run/linked").c_str(), (ram + "/run/linked").c_str()));
    ASSERT_EQ(0, symlink((external + "/run/linked").c_str(), (copies + "/run/linked").c_str()));
    for (const std::string& path : {ram + "/run/deleted", external + "/run/deleted", external + "/run/linked"})
        utime(path.c_str(), &before);

    daemon.writeConfig(daemon.defaultConfig() + "journal " + journalPath + "\n" +
                       DaemonRunner::storage("archive", "EXTERNAL", external));
    ASSERT_EQ(0, daemon.run());
    ASSERT_TRUE(daemon.waitForLog("Taken up 12 unfinished files from the journal\n"));
    EXPECT_TRUE(daemon.waitForLog("Skipped " + std::to_string(ram.size() + 16) + " bytes of " + daemon.pipePath()));
    EXPECT_TRUE(CopyRig::waitUntil([&] { return fileExists(copies + "/run/extra"); }));
    const std::string counts[] = {"<storage id=\"disk\" pending=\"0\" copied=\"7\" failed=\"4\"/>",
                                  "<storage id=\"disk\" pending=\"0\" copied=\"2\" failed=\"0\"/>"};
    const std::string reply = daemon.historyHolding(counts[0]);
    for (const std::string& expected :
         {counts[0], counts[1], "<usertime id=\"" + std::to_string(shift) + "\" uid=\"1234\" gid=\"567\""})
        EXPECT_NE(std::string::npos, reply.find(expected)) << expected << "\n" << reply;
    for (size_t i = 0; i < sizeof table / sizeof table[0]; ++i) {
        const Leftover& row = table[i];
        SCOPED_TRACE(row.name);
        const std::string copy = copies + "/run/" + row.name, bytes(5000, row.name[0]);
        EXPECT_EQ(row.copyAfter < 0 ? "" : bytes.substr(0, row.copyAfter), readFile(copy));
        EXPECT_EQ(row.temporaryAfter < 0 ? "" : bytes.substr(0, row.temporaryAfter), readFile(copy + ".tmp"));
        struct stat status;  // kept, or taken from the temporary copy: never made anew
        const bool kept = inodes[i] != 0 && (row.copy == row.copyAfter || row.temporary == row.copyAfter);
        EXPECT_TRUE(!kept || (stat(copy.c_str(), &status) == 0 && status.st_ino == inodes[i])) << "made anew";
        EXPECT_TRUE(*row.logged == '\0' || countInFile(daemon.logPath(), row.logged) == 1) << row.logged;
    }
    EXPECT_TRUE(CopyRig::waitUntil([&] { return !fileExists(ram + "/run/deleted"); })) << daemon.log();
    struct stat status;
    for (const char* name : {"/run/deleted", "/run/linked"})
        EXPECT_FALSE(lstat((copies + name).c_str(), &status) == 0 && S_ISREG(status.st_mode)) << name;
    close(pipe);
}

namespace {

std::string name(long i) {
    return "run" + std::to_string(i % 7) + "/img_" + std::to_string(i) + ".raw";
}
// Each file's bytes follow from its number, so every copy can be compared.
std::string content(long i) {
    return std::string(500 + i * 37 % 3500, static_cast<char>('a' + i % 26)) + name(i);
}

}  // namespace

// Stopped at the moments that used to upset the books, the daemon counts each copy once, copied and verified, lists
// it once in its shift's manifest, and at the shift lets the previous user's files go without a copy error, a kept
// file or an error for a file its last run had already deleted.
TEST(RecoveryTest, RestartsAndKillsAroundAShiftBookListAndDeleteEachFileOnce) {
    const int files = 600;
    // SIGTERM and start before any shift; SIGKILL that many ms after a shift (-1: none).
    const std::pair<int, int> cases[] = {{3, -1}, {0, 10}, {0, 30}, {0, 60}};
    for (const auto& [restarts, killAfterShift] : cases) {
        SCOPED_TRACE(std::to_string(restarts) + " restarts, kill after " + std::to_string(killAfterShift) + " ms");
        DaemonRunner daemon;
        const std::string ram = daemon.root() + "/ramdisk";
        daemon.writeConfig(daemon.defaultConfig() + "journal " + daemon.root() +
                           "/journal.sqlite\nverify_copies yes\n" +
                           DaemonRunner::storage("archive", "EXTERNAL", daemon.root() + "/external") +
                           DaemonRunner::storage("spare", "OPTIONAL", daemon.root() + "/spare"));
        ASSERT_EQ(0, daemon.run());
        FifoWriter pipe(daemon.pipePath());
        const std::string lines =
            CopyRig::putNumbered(ram, files, [](int i) { return std::string(100 + i, 'a' + i % 26); });
        ASSERT_TRUE(pipe.open() && pipe.write("usershift: 1000 1000\n" + lines));
        const std::string all = "pending=\"0\" copied=\"" + std::to_string(files) + "\" failed=\"0\" verified=\"" +
                                std::to_string(files) + "\"";
        auto storageLagging = [&] {  // each storage copies at its own pace: the history then, or "" once all are done
            for (const std::string storage : {"disk", "archive", "spare"}) {
                const std::string history = daemon.historyHolding("<storage id=\"" + storage + "\" " + all);
                if (history.find("<storage id=\"" + storage + "\" " + all) == std::string::npos) return history;
            }
            return std::string();
        };
        ASSERT_EQ("", storageLagging());
        for (int restart = 0; restart < restarts; ++restart) {
            ::kill(daemon.daemonPid(), SIGTERM);
            ASSERT_EQ(0, daemon.waitForExit());
            ASSERT_EQ(0, daemon.run());
            ASSERT_TRUE(waitForLogCount(daemon.logPath(), "Taken up", restart + 1, 10));
        }
        if (killAfterShift >= 0) {
            ASSERT_TRUE(daemon.daemonPid() > 0 && pipe.write("usershift: 1001 1001\n"));
            std::this_thread::sleep_for(std::chrono::milliseconds(killAfterShift));
            daemon.kill();  // the pipe stays open, as the acquisition holds it: a line not yet read is kept
            ASSERT_EQ(0, daemon.run());
            EXPECT_TRUE(CopyRig::waitUntil([&] {
                return outputOf({"/usr/bin/find", ram + "/run", daemon.root() + "/internal/run", "-type", "f"}).empty();
            })) << "the previous user's files are not all deleted";
        }
        EXPECT_EQ("", storageLagging());
        for (const std::string target : {"/internal", "/external", "/spare"}) {  // INTERNAL's goes with the last files
            const std::string listed =
                outputOf({"/bin/sh", "-c", "cat " + daemon.root() + target + "/vellort-manifest-* | wc -l"});
            EXPECT_TRUE(listed == std::to_string(files) + "\n" || (target == "/internal" && listed == "0\n"))
                << target << " lists " << listed;
        }
        EXPECT_EQ(0, countInFile(daemon.logPath(), "Error") + countInFile(daemon.logPath(), "Not removing"))
            << daemon.log();
    }
}

// Two user shifts, the EXTERNAL disk full for the first part, the daemon killed with SIGKILL at random moments and
// started anew on its journal: every file ends on every storage with its bytes, each once in the history, and nothing
// is left over (no temporary file, no file of an earlier shift on the RAM disk or the INTERNAL disk).
//   VELLORT_CRASH_FILES and VELLORT_CRASH_KILLS make it longer (the soak).
TEST(CrashTest, KilledAgainAndAgainTheDaemonLosesNoFileAndCountsEachOnce) {
    auto setting = [](const char* name, long fallback) {
        const char* value = getenv(name);
        return value != nullptr && atol(value) > 0 ? atol(value) : fallback;
    };
    const long files = setting("VELLORT_CRASH_FILES", 2400), kills = setting("VELLORT_CRASH_KILLS", 20);
    const std::string room = "size=" + std::to_string(64 + files / 100) + "m";  // at most 8 KiB a file
    TmpfsMount ram(room), internal(room), external("size=256k");
    if (!external.mounted()) GTEST_SKIP() << external.skipReason();
    TempDir spare;
    DaemonRunner daemon;
    daemon.writeConfig(daemon.serviceConfig(ram.path()) +
                       "fillstate_limit 5\ncreate_links yes\ncopy_retry_max_delay 2\nverify_copies yes\njournal " +
                       daemon.root() + "/var/lib/vellort/journal.sqlite\nstorageID disk\ntype INTERNAL\ntarget " +
                       internal.path() + "/data\nmountpoint " + internal.path() + "\n" +
                       DaemonRunner::storage("archive", "EXTERNAL", external.path() + "/data") +
                       DaemonRunner::storage("spare", "OPTIONAL", spare.path() + "/data"));
    for (long i = 0; i < files; ++i) CopyRig::put(ram.path() + "/" + name(i), content(i));
    signal(SIGPIPE, SIG_IGN);  // a write while the daemon is down fails, and is tried again
    ASSERT_EQ(0, daemon.run());

    // The acquisition writes on while the daemon comes and goes.
    const long shiftAt[] = {files / 3, 2 * files / 3};
    std::atomic<bool> written{false};
    std::thread writer([&] {
        FifoWriter pipe(daemon.pipePath());
        while (!pipe.open(1)) {
        }
        for (long i = 0; i < files; ++i) {
            std::string line = ram.path() + "/./" + name(i) + "\n";
            if (i == shiftAt[0] || i == shiftAt[1]) line = "usershift: " + std::to_string(2000 + i) + " 3000\n" + line;
            while (!pipe.write(line)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::this_thread::sleep_for(std::chrono::microseconds(3000));
        }
        written = true;
    });
    std::mt19937 random(static_cast<unsigned>(time(nullptr)));
    bool restarted = true;
    for (long kill = 0; kill < kills && restarted; ++kill) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150 + random() % 500));
        daemon.daemonPid();
        daemon.kill();
        EXPECT_TRUE(kill != kills / 3 || external.remount(false, room));  // the disk has room again
        restarted = daemon.run() == 0;
        EXPECT_TRUE(restarted) << daemon.output();
    }
    if (!restarted) daemon.run();  // for the writer to finish
    writer.join();
    ASSERT_TRUE(written);

    // Files of the last shift stay on the RAM disk and the INTERNAL disk, as
    // files or as links to their copies; the earlier ones are gone from both.
    auto settled = [&](long i, std::string& why) {
        const bool current = i >= shiftAt[1];
        for (const std::string& copy : {external.path() + "/data/" + name(i), spare.path() + "/data/" + name(i)})
            if (readFile(copy) != content(i)) return why = copy + " is missing or differs", false;
        for (const std::string& source : {ram.path() + "/" + name(i), internal.path() + "/data/" + name(i)}) {
            struct stat status;
            const bool there = lstat(source.c_str(), &status) == 0;
            if (there != current) return why = source + (there ? " is still there" : " is gone"), false;
            if (current && readFile(source) != content(i)) return why = source + " differs", false;
        }
        return true;
    };
    std::string why;
    const bool done = CopyRig::waitUntil(
        [&] {
            for (long i = 0; i < files; ++i)
                if (!settled(i, why)) return false;
            return true;
        },
        180);  // the thread sanitizer slows every step of the last deletions several times
    const std::string file = why.substr(why.rfind('/') + 1, why.find(' ') - why.rfind('/') - 1);
    EXPECT_TRUE(done) << why << "\nThe log of it:\n" << outputOf({"/bin/grep", "-F", file, daemon.logPath()});
    for (const std::string& root : {ram.path(), internal.path(), external.path(), spare.path()})
        EXPECT_EQ("", outputOf({"/usr/bin/find", root, "-name", "*.tmp"}));

    // One entry per shift and storage, each file counted copied and verified once.
    const std::string history = StatusClient(daemon.statusPort()).ask("<request><action id='history'/></request>");
    for (const char* storage : {"disk", "archive", "spare"})
        for (long count : {shiftAt[0], shiftAt[1] - shiftAt[0], files - shiftAt[1]})
            EXPECT_NE(std::string::npos,
                      history.find("<storage id=\"" + std::string(storage) + "\" pending=\"0\" copied=\"" +
                                   std::to_string(count) + "\" failed=\"0\" verified=\"" + std::to_string(count) +
                                   "\" verifyFailed=\"0\"/>"))
                << storage << " " << count << "\n"
                << history << "\nThe INTERNAL storage's errors:\n"
                << outputOf({"/bin/grep", "-F", "disk: Error", daemon.logPath()});
}
