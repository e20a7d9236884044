#include <errno.h>
#include <sys/stat.h>

#include <future>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "log/LogFile.h"
#include "support/LogWatch.h"
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

// Writers, each with its own LogFile, rotate the log now and then while the
// others write: every line must land whole in the log or a backup, exactly
// once. Only a problem that all of them repeat lands once, then is counted.
TEST(LogFileTest, ConcurrentWritersAndRotationLoseMixAndRepeatNoLine) {
    const int writers = 4, linesPerWriter = 300, rotateCount = 100;
    const std::string payload(300, 'p');
    const std::string repeated = " Error: Stat on  /ramdisk returned No such file or directory";
    TempDir dir;
    std::string path = dir / "v.log";
    std::promise<void> go;
    std::shared_future<void> start = go.get_future().share();
    std::multiset<std::string> expected{repeated}, lines;
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w) {
        for (int i = 0; i < linesPerWriter; ++i) {
            expected.insert("writer " + std::to_string(w) + ": Error: line " + std::to_string(i) + " " + payload);
            expected.insert("Removing files from previous users");
        }
        threads.emplace_back([&, w] {
            LogFile log(path);
            start.wait();
            for (int i = 0; i < linesPerWriter; ++i) {
                log << "writer " << w << ": Error: line " << i << " " << payload << endl;
                log << repeated << endl << "Removing files from previous users" << endl;
                if (i % 50 == 49) log.rotate(rotateCount);
            }
        });
    }
    go.set_value();
    for (std::thread& thread : threads) thread.join();
    LogFile::reportRepeats(LogFile::monotonicSeconds() + LogFile::repeatSeconds);  // its minute is over
    for (int i = -1; i < rotateCount; ++i) {
        std::istringstream content(readFile(i < 0 ? path : path + "." + std::to_string(i)));
        for (std::string line; std::getline(content, line);) lines.insert(line);
    }
    EXPECT_TRUE(fileExists(path + ".23"));  // six rotations by each writer
    const std::string count = "++ Left out " + std::to_string(writers * linesPerWriter - 1) + " more of this text in ";
    auto counted = lines.lower_bound(count);
    ASSERT_TRUE(counted != lines.end() && counted->compare(0, count.size(), count) == 0);
    EXPECT_EQ(" s: " + repeated, counted->substr(counted->find(" s: ")));
    lines.erase(counted);
    EXPECT_TRUE(expected == lines) << lines.size() << " lines of " << expected.size();
}
