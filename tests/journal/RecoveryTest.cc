#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "journal/Journal.h"
#include "support/CopyRig.h"
#include "support/DaemonRunner.h"
#include "support/StatusClient.h"

// A start on a journal that holds four files announced but never booked: a
// complete copy is kept as it is (the same file), a partial one is made anew,
// a missing one is made and the temporary file left beside it removed, and a
// file gone from the RAM disk fails once. The user shift and its counts come
// back with them. The line recorded last is still in the pipe, as after a kill
// between the commit and the read: it is skipped, the line after it is not.
TEST(RecoveryTest, AStartTakesUpEveryUnfinishedFileAndKeepsOnlyCompleteCopies) {
    DaemonRunner daemon;
    const std::string journalPath = daemon.root() + "/var/lib/vellort/journal.sqlite";
    const std::string ram = daemon.root() + "/ramdisk", copies = daemon.root() + "/internal";
    const int64_t shift = 1700000000;
    {
        Journal journal(journalPath, {"disk"}, 5, daemon.logPath(), nullptr);
        Journal::Contents contents;
        ASSERT_TRUE(journal.open(contents));
        ASSERT_EQ(0, journal.start());
        journal.record({{true, journal.nextFileId(), "", shift, 1234, 567}});
        for (const char* name : {"complete", "partial", "missing", "vanished"})
            journal.record({{false, journal.newFileId(), ram + "/./run/" + name, shift, 0, 0}},
                           ram + "/./run/" + name + "\n");
    }
    ASSERT_EQ(0, mkfifo(daemon.pipePath().c_str(), 0600));
    const int pipe = open(daemon.pipePath().c_str(), O_RDWR);  // holds what is written without a reader
    const std::string lines = ram + "/./run/vanished\n" + ram + "/./run/extra\n";
    ASSERT_EQ(static_cast<ssize_t>(lines.size()), write(pipe, lines.data(), lines.size()));
    makeDirectories(ram + "/run");
    makeDirectories(copies + "/run");
    for (const char* name : {"complete", "partial", "missing", "extra"})
        writeFile(ram + "/run/" + name, std::string(5000, name[0]));
    writeFile(copies + "/run/complete", std::string(5000, 'c'));
    writeFile(copies + "/run/partial", std::string(3000, 'p'));
    writeFile(copies + "/run/missing.tmp", "left by a kill");
    struct utimbuf times = {shift, shift};
    for (const std::string& path : {ram + "/run/complete", copies + "/run/complete"}) utime(path.c_str(), &times);
    struct stat before;
    ASSERT_EQ(0, stat((copies + "/run/complete").c_str(), &before));

    daemon.writeConfig(daemon.defaultConfig() + "journal " + journalPath + "\n");
    ASSERT_EQ(0, daemon.run());
    ASSERT_TRUE(daemon.waitForLog("Taken up 4 unfinished files from the journal\n"));
    EXPECT_TRUE(daemon.waitForLog("Skipped " + std::to_string(ram.size() + 16) + " bytes of " + daemon.pipePath()));
    EXPECT_TRUE(CopyRig::waitUntil([&] { return fileExists(copies + "/run/extra"); }));
    ASSERT_TRUE(CopyRig::waitUntil([&] { return readFile(copies + "/run/missing") == std::string(5000, 'm'); }));
    EXPECT_EQ(std::string(5000, 'p'), readFile(copies + "/run/partial"));
    struct stat after;
    ASSERT_EQ(0, stat((copies + "/run/complete").c_str(), &after));
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_FALSE(fileExists(copies + "/run/missing.tmp"));
    EXPECT_EQ(1, countInFile(daemon.logPath(), "disk: Error: Copying " + ram + "/run/vanished to "));

    const std::string entry = "<usertime id=\"" + std::to_string(shift) + "\" uid=\"1234\" gid=\"567\"";
    const std::string counts = "<storage id=\"disk\" pending=\"0\" copied=\"4\" failed=\"1\"/>";
    std::string reply;
    EXPECT_TRUE(CopyRig::waitUntil([&] {
        reply = StatusClient(daemon.statusPort()).ask("<request><action id='history'/></request>");
        return reply.find(entry) != std::string::npos && reply.find(counts) != std::string::npos;
    })) << reply;
    close(pipe);
}

// A file of an earlier shift whose INTERNAL copy the EXTERNAL storage had
// already deleted when the daemon stopped, before the RAM-disk file went: a
// start lets the RAM-disk file go on the strength of the EXTERNAL copy and
// copies nothing anew to the INTERNAL disk, where no storage would ever
// delete it.
TEST(RecoveryTest, AnInternalCopyTheExternalStorageLetGoIsNotMadeAgain) {
    DaemonRunner daemon;
    const std::string journalPath = daemon.root() + "/var/lib/vellort/journal.sqlite";
    const std::string ram = daemon.root() + "/ramdisk", external = daemon.root() + "/external";
    const int64_t shift = 1700000000;
    {
        Journal journal(journalPath, {"disk", "archive"}, 5, daemon.logPath(), nullptr);
        Journal::Contents contents;
        ASSERT_TRUE(journal.open(contents));
        ASSERT_EQ(0, journal.start());
        journal.record({{true, journal.nextFileId(), "", shift, 1234, 567}});
        const int64_t id = journal.newFileId();
        journal.record({{false, id, ram + "/./run/img", shift, 0, 0}});
        journal.record({{true, journal.nextFileId(), "", shift + 100, 1234, 567}});
        journal.book(id, 0, Journal::COPIED, 0, false, shift, -1, 1, 0);
        journal.book(id, 1, Journal::DELETED, 0, true, shift, -1, 1, 0);
    }
    makeDirectories(ram + "/run");
    makeDirectories(external + "/run");
    for (const std::string& path : {ram + "/run/img", external + "/run/img"}) {
        writeFile(path, std::string(5000, 'i'));
        struct utimbuf times = {shift, shift};
        utime(path.c_str(), &times);
    }
    daemon.writeConfig(daemon.defaultConfig() + "journal " + journalPath + "\nstorageID archive\ntype EXTERNAL\ntarget " +
                       external + "\n");
    ASSERT_EQ(0, daemon.run());
    ASSERT_TRUE(daemon.waitForLog("Taken up 1 unfinished files from the journal\n"));
    EXPECT_TRUE(CopyRig::waitUntil([&] { return !fileExists(ram + "/run/img"); })) << daemon.log();
    EXPECT_FALSE(fileExists(daemon.root() + "/internal/run/img")) << daemon.log();
    const std::string reply = StatusClient(daemon.statusPort()).ask("<request><action id='history'/></request>");
    EXPECT_NE(std::string::npos, reply.find("<storage id=\"disk\" pending=\"0\" copied=\"1\" failed=\"0\"/>")) << reply;
}
