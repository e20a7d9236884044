#include <errno.h>
#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "log/LogFile.h"
#include "support/TempDir.h"

TEST(LogFileTest, TextReachesTheFileOnlyThroughFlushOrEndlAndAFailedOpenIsFlagged) {
    TempDir dir;
    std::string path = dir / "a.log";
    {
        mode_t saved = umask(077);  // without the chmod the new file would be 0600
        LogFile log(path);
        umask(saved);
        EXPECT_FALSE(log.openFailed());
        struct stat status;
        EXPECT_EQ(0644u, stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0);
        log << "a" << 5 << flush;
        EXPECT_EQ("a5", readFile(path));
        log << LogManip(&LogFile::errmsg, ENOENT) << endl;
        log.errmsg(EACCES).endl();
        log << "pending";  // dropped with the object
    }
    EXPECT_EQ("a5No such file or directory\nPermission denied\n", readFile(path));

    LogFile log(dir / "no/such/a.log");
    EXPECT_TRUE(log.openFailed());
    log << "lost" << endl;
    EXPECT_FALSE(fileExists(dir / "no"));
    EXPECT_EQ(-1, log.fileSize());
    log.open(path);  // the flag belongs to the last open
    EXPECT_FALSE(log.openFailed());
}

TEST(LogFileTest, RotationShiftsBackupsOnlyWhenTheLogIsLarger) {
    TempDir dir;
    std::string path = dir / "v.log";
    LogFile log(path);
    log.log(std::string(100, 'x'));
    EXPECT_EQ(100, log.fileSize());
    // rotate(3) moves .0 to .2 up by one: the oldest, .3, gives way.
    for (int i = 0; i < 4; ++i) writeFile(path + "." + std::to_string(i), "b" + std::to_string(i));

    EXPECT_FALSE(log.rotateIfLarger(100, 3));  // equal is not larger
    EXPECT_FALSE(log.rotateIfLarger(-1, 3));   // compared unsigned: never larger
    EXPECT_TRUE(log.rotateIfLarger(99, 3));
    EXPECT_EQ(-1, log.fileSize());
    EXPECT_EQ(std::string(100, 'x'), readFile(path + ".0"));
    for (int i = 1; i < 4; ++i) EXPECT_EQ("b" + std::to_string(i - 1), readFile(path + "." + std::to_string(i)));
    // A second scheduler checking right after must not shift the backups again.
    EXPECT_FALSE(log.rotateIfLarger(0, 3));
    EXPECT_EQ("b0", readFile(path + ".1"));
}

// A problem text written again within its minute, by any LogFile on the path, is counted instead; a text that names no
// problem, or another problem, is written every time.
TEST(LogFileTest, ARepeatedProblemIsWrittenOnceAndCountedWhenItsMinuteIsOver) {
    TempDir dir;
    const std::string path = dir / "v.log", problem = "Error: Stat on /ramdisk returned No such file or directory\n";
    LogFile first(path), second(path);
    for (LogFile* log : {&first, &second, &first}) {
        log->log(problem);
        log->log("Removing files\n");
    }
    second.log("Warning: " + problem);
    LogFile::reportRepeats(LogFile::monotonicSeconds() + LogFile::repeatSeconds);
    const std::string text = readFile(path), summary = "++ Left out 2 more of this text in ";
    const size_t at = text.find(summary);
    ASSERT_NE(std::string::npos, at) << text;
    EXPECT_EQ(problem + "Removing files\nRemoving files\nRemoving files\nWarning: " + problem, text.substr(0, at));
    EXPECT_EQ(" s: " + problem, text.substr(text.find(" s: ", at)));  // 60 s, or 61 when a second began meanwhile
}
