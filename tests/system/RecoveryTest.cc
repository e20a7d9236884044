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

// A start on a journal with files of the current shift announced but never
// booked: a complete copy is kept as it is (the same file); a partial one is
// made anew, its RAM-disk file being a plain file and no link made before the
// stop; a missing one is made and the temporary file beside it removed; a file
// gone from the RAM disk fails once. The line recorded last is still in the
// pipe, as after a kill between the commit and the read: it is skipped, the
// line after it is not. Of an earlier shift, two files whose INTERNAL copy the
// EXTERNAL storage had let go at the stop: deleted before the RAM-disk file
// went, or, with the INTERNAL booking lost, linked to the EXTERNAL copy after
// the RAM-disk file became a link. Those count as copied: none is made anew,
// where no storage would delete it, and none fails for want of a source.
TEST(RecoveryTest, AStartTakesUpEveryUnfinishedFileAndKeepsOnlyCompleteCopies) {
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
        journal.record({{true, journal.nextFileId(), "", earlier, 1234, 567}});
        const int64_t deleted = journal.newFileId(), linked = journal.newFileId();
        journal.record({{false, deleted, ram + "/./run/deleted", earlier, 0, 0}});
        journal.record({{false, linked, ram + "/./run/linked", earlier, 0, 0}});
        journal.record({{true, journal.nextFileId(), "", shift, 1234, 567}});
        journal.book(deleted, 0, Journal::COPIED, 0, false, earlier, -1, 1, 0);
        journal.book(deleted, 1, Journal::DELETED, 0, true, earlier, -1, 1, 0);
        journal.book(linked, 1, Journal::COPIED, 0, false, earlier, -1, 1, 0);
        for (const char* name : {"complete", "partial", "missing", "vanished"})
            journal.record({{false, journal.newFileId(), ram + "/./run/" + name, shift, 0, 0}},
                           ram + "/./run/" + name + "\n");
    }
    ASSERT_EQ(0, mkfifo(daemon.pipePath().c_str(), 0600));
    const int pipe = open(daemon.pipePath().c_str(), O_RDWR);  // holds what is written without a reader
    const std::string lines = ram + "/./run/vanished\n" + ram + "/./run/extra\n";
    ASSERT_EQ(static_cast<ssize_t>(lines.size()), write(pipe, lines.data(), lines.size()));
    for (const char* name : {"complete", "partial", "missing", "extra"})
        CopyRig::put(ram + "/run/" + name, std::string(5000, name[0]));
    CopyRig::put(copies + "/run/complete", std::string(5000, 'c'));
    writeFile(copies + "/run/partial", std::string(3000, 'p'));
    writeFile(copies + "/run/missing.tmp", "left by a kill");
    for (const char* name : {"deleted", "linked"}) CopyRig::put(external + "/run/" + name, std::string(5000, name[0]));
    writeFile(ram + "/run/deleted", std::string(5000, 'd'));
    ASSERT_EQ(0, symlink((copies + "/run/linked").c_str(), (ram + "/run/linked").c_str()));
    ASSERT_EQ(0, symlink((external + "/run/linked").c_str(), (copies + "/run/linked").c_str()));
    const struct utimbuf now = {shift, shift}, before = {earlier, earlier};
    for (const std::string& path : {ram + "/run/complete", copies + "/run/complete"}) utime(path.c_str(), &now);
    for (const std::string& path : {ram + "/run/deleted", external + "/run/deleted", external + "/run/linked"})
        utime(path.c_str(), &before);
    struct stat complete, status;
    ASSERT_EQ(0, stat((copies + "/run/complete").c_str(), &complete));

    daemon.writeConfig(daemon.defaultConfig() + "journal " + journalPath + "\nstorageID archive\ntype EXTERNAL\n" +
                       "target " + external + "\n");
    ASSERT_EQ(0, daemon.run());
    ASSERT_TRUE(daemon.waitForLog("Taken up 6 unfinished files from the journal\n"));
    EXPECT_TRUE(daemon.waitForLog("Skipped " + std::to_string(ram.size() + 16) + " bytes of " + daemon.pipePath()));
    EXPECT_TRUE(CopyRig::waitUntil([&] { return fileExists(copies + "/run/extra"); }));
    ASSERT_TRUE(CopyRig::waitUntil([&] { return readFile(copies + "/run/missing") == std::string(5000, 'm'); }));
    EXPECT_EQ(std::string(5000, 'p'), readFile(copies + "/run/partial"));
    EXPECT_EQ(complete.st_ino, stat((copies + "/run/complete").c_str(), &status) == 0 ? status.st_ino : 0);
    EXPECT_FALSE(fileExists(copies + "/run/missing.tmp"));
    EXPECT_TRUE(CopyRig::waitUntil([&] { return !fileExists(ram + "/run/deleted"); })) << daemon.log();
    for (const char* name : {"/run/deleted", "/run/linked"})
        EXPECT_FALSE(lstat((copies + name).c_str(), &status) == 0 && S_ISREG(status.st_mode)) << name;

    const std::string counts[] = {"<storage id=\"disk\" pending=\"0\" copied=\"4\" failed=\"1\"/>",
                                  "<storage id=\"disk\" pending=\"0\" copied=\"2\" failed=\"0\"/>"};
    const std::string reply = daemon.historyHolding(counts[0]);
    for (const std::string& expected :
         {counts[0], counts[1], "<usertime id=\"" + std::to_string(shift) + "\" uid=\"1234\" gid=\"567\""})
        EXPECT_NE(std::string::npos, reply.find(expected)) << expected << "\n" << reply;
    EXPECT_EQ(1, countInFile(daemon.logPath(), "disk: Error: Copying " + ram + "/run/vanished to "));
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
// What a program prints, for a check or a failure's report.
std::string outputOf(const std::vector<std::string>& arguments) {
    std::string output;
    runProgram(arguments, &output, nullptr);
    return output;
}

}  // namespace

// An acquisition with two user shifts, the EXTERNAL disk full for the first
// part, and the daemon killed with SIGKILL again and again at random moments
// (during copies, link passes and deletions), each time started anew on its
// journal. In the end every file is on every storage with its bytes, each
// exactly once in the history, and nothing is left over: no temporary file,
// no file of an earlier shift on the RAM disk or the INTERNAL disk.
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
    daemon.writeConfig(daemon.serviceConfig(ram.path()) + "fillstate_limit 5\ncreate_links yes\n" +
                       "copy_retry_max_delay 2\njournal " + daemon.root() + "/var/lib/vellort/journal.sqlite\n" +
                       "storageID disk\ntype INTERNAL\ntarget " + internal.path() + "/data\nmountpoint " +
                       internal.path() + "\nstorageID archive\ntype EXTERNAL\ntarget " + external.path() +
                       "/data\nstorageID spare\ntype OPTIONAL\ntarget " + spare.path() + "/data\n");
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

    // One entry per shift and storage, each file counted copied once.
    const std::string history = StatusClient(daemon.statusPort()).ask("<request><action id='history'/></request>");
    for (const char* storage : {"disk", "archive", "spare"})
        for (long count : {shiftAt[0], shiftAt[1] - shiftAt[0], files - shiftAt[1]})
            EXPECT_NE(std::string::npos,
                      history.find("<storage id=\"" + std::string(storage) + "\" pending=\"0\" copied=\"" +
                                   std::to_string(count) + "\" failed=\"0\"/>"))
                << storage << " " << count << "\n"
                << history << "\nThe INTERNAL storage's errors:\n"
                << outputOf({"/bin/grep", "-F", "disk: Error", daemon.logPath()});
}
