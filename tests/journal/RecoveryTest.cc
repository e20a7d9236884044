#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <string>

#include <gtest/gtest.h>

#include "journal/Journal.h"
#include "support/CopyRig.h"
#include "support/DaemonRunner.h"

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
    auto inode = [](const std::string& path) {
        struct stat s;
        return stat(path.c_str(), &s) == 0 ? s.st_ino : 0;
    };
    const ino_t before = inode(copies + "/run/complete");
    ASSERT_NE(0u, before);

    daemon.writeConfig(daemon.defaultConfig() + "journal " + journalPath + "\n");
    ASSERT_EQ(0, daemon.run());
    ASSERT_TRUE(daemon.waitForLog("Taken up 4 unfinished files from the journal\n"));
    EXPECT_TRUE(daemon.waitForLog("Skipped " + std::to_string(ram.size() + 16) + " bytes of " + daemon.pipePath()));
    EXPECT_TRUE(CopyRig::waitUntil([&] { return fileExists(copies + "/run/extra"); }));
    ASSERT_TRUE(CopyRig::waitUntil([&] { return readFile(copies + "/run/missing") == std::string(5000, 'm'); }));
    EXPECT_EQ(std::string(5000, 'p'), readFile(copies + "/run/partial"));
    EXPECT_EQ(before, inode(copies + "/run/complete"));
    EXPECT_FALSE(fileExists(copies + "/run/missing.tmp"));
    EXPECT_EQ(1, countInFile(daemon.logPath(), "disk: Error: Copying " + ram + "/run/vanished to "));

    const std::string entry = "<usertime id=\"" + std::to_string(shift) + "\" uid=\"1234\" gid=\"567\"";
    const std::string counts = "<storage id=\"disk\" pending=\"0\" copied=\"4\" failed=\"1\"/>";
    const std::string reply = daemon.historyHolding(counts);
    EXPECT_TRUE(reply.find(entry) != std::string::npos && reply.find(counts) != std::string::npos) << reply;
    close(pipe);
}

// An earlier shift's file whose INTERNAL copy the EXTERNAL storage had let go
// at the stop: deleted before the RAM-disk file went, or, with the INTERNAL
// booking lost, linked to the EXTERNAL copy after the RAM-disk file became a
// link. A start counts that copy as made: none made anew, where no storage
// would delete it, and no failure for want of a source.
TEST(RecoveryTest, AnInternalCopyTheExternalStorageLetGoIsNotMadeAgain) {
    for (const bool linked : {false, true}) {
        DaemonRunner daemon;
        const std::string ram = daemon.root() + "/ramdisk", external = daemon.root() + "/external";
        const std::string internal = daemon.root() + "/internal", journalPath = daemon.root() + "/journal.sqlite";
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
            if (!linked) journal.book(id, 0, Journal::COPIED, 0, false, shift, -1, 1, 0);
            journal.book(id, 1, linked ? Journal::COPIED : Journal::DELETED, 0, !linked, shift, -1, 1, 0);
        }
        for (const std::string& path : {ram + "/run", external + "/run", internal + "/run"}) makeDirectories(path);
        writeFile(external + "/run/img", std::string(5000, 'i'));
        if (!linked) writeFile(ram + "/run/img", std::string(5000, 'i'));
        ASSERT_TRUE(!linked || (symlink((internal + "/run/img").c_str(), (ram + "/run/img").c_str()) == 0 &&
                                symlink((external + "/run/img").c_str(), (internal + "/run/img").c_str()) == 0));
        struct utimbuf times = {shift, shift};
        for (const std::string& path : {ram + "/run/img", external + "/run/img"}) utime(path.c_str(), &times);
        daemon.writeConfig(daemon.defaultConfig() + "journal " + journalPath +
                           "\nstorageID archive\ntype EXTERNAL\ntarget " + external + "\n");
        ASSERT_EQ(0, daemon.run());
        EXPECT_TRUE(linked || CopyRig::waitUntil([&] { return !fileExists(ram + "/run/img"); })) << daemon.log();
        const std::string counts = "<storage id=\"disk\" pending=\"0\" copied=\"1\" failed=\"0\"/>";
        const std::string reply = daemon.historyHolding(counts);
        EXPECT_NE(std::string::npos, reply.find(counts)) << "linked " << linked << "\n" << reply << daemon.log();
        struct stat status;
        EXPECT_FALSE(lstat((internal + "/run/img").c_str(), &status) == 0 && S_ISREG(status.st_mode)) << linked;
    }
}
