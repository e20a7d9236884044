#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "log/LogFile.h"
#include "support/TempDir.h"

namespace {

unsigned modeOf(const std::string& path) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0) return 0;
    return status.st_mode & 07777;
}

// The daemon runs with umask 0; a test that looks at created modes sets the
// umask it needs and puts the old one back.
class Umask {
public:
    explicit Umask(mode_t mask) : previous(umask(mask)) {}
    ~Umask() { umask(previous); }

private:
    mode_t previous;
};

}  // namespace

TEST(LogFileTest, TextReachesFileOnlyThroughFlushOrEndl) {
    TempDir dir;
    std::string path = dir / "a.log";
    {
        LogFile log(path);
        log << "a" << 5 << flush;
        EXPECT_EQ("a5", readFile(path));
        log << "b" << endl;
        EXPECT_EQ("a5b\n", readFile(path));
        log.endl();  // an empty line is still a line
        EXPECT_EQ("a5b\n\n", readFile(path));
        log << "pending";
    }
    EXPECT_EQ("a5b\n\n", readFile(path));  // the destroyed object dropped its text
}

TEST(LogFileTest, ValuesAreAppendedAsAStreamFormatsThem) {
    TempDir dir;
    std::string path = dir / "a.log";
    LogFile log(path);
    const char* nullText = nullptr;
    char* nullMutableText = nullptr;
    char literalWithNul[] = "ab\0cd";
    struct Case {
        std::function<void()> append;
        std::string expected;
    } cases[] = {
        {[&] { log << 81.23456; }, "81.2346"},
        {[&] { log << 1e20; }, "1e+20"},
        {[&] { log << 0.5; }, "0.5"},
        {[&] { log << -42; }, "-42"},
        {[&] { log << 4000000000u; }, "4000000000"},
        {[&] { log << -5000000000L; }, "-5000000000"},
        {[&] { log << 'c'; }, "c"},
        {[&] { log << std::string("x\0y", 3); }, std::string("x\0y", 3)},
        {[&] { log << literalWithNul; }, "ab"},
        {[&] { log << "x" << nullText << nullMutableText << "y"; }, "xy"},
        {[&] { log << LogManip(&LogFile::errmsg, ENOENT); }, "No such file or directory"},
        {[&] { log.errmsg(EACCES); }, "Permission denied"},
    };
    for (const Case& c : cases) {
        writeFile(path, "");
        c.append();
        log << flush;
        EXPECT_EQ(c.expected, readFile(path));
    }
}

TEST(LogFileTest, OpenCreatesOrAppendsAndSetsMode0644) {
    Umask strict(077);  // without the chmod the new file would be 0600
    TempDir dir;
    std::string fresh = dir / "fresh.log";
    LogFile log;
    log.open(fresh);
    EXPECT_FALSE(log.openFailed());
    EXPECT_EQ(0644u, modeOf(fresh));
    EXPECT_EQ("", readFile(fresh));

    std::string existing = dir / "existing.log";
    writeFile(existing, "old\n");
    ASSERT_EQ(0, chmod(existing.c_str(), 0600));
    LogFile other(existing);
    EXPECT_EQ(0644u, modeOf(existing));
    other << "new" << endl;
    EXPECT_EQ("old\nnew\n", readFile(existing));
}

TEST(LogFileTest, OpenInMissingDirectoryFailsAndWritesAreLost) {
    TempDir dir;
    std::string missing = dir / "no/such/dir/a.log";
    LogFile log(missing);
    EXPECT_TRUE(log.openFailed());
    log << "lost" << endl;
    log.log("lost too");
    EXPECT_FALSE(fileExists(missing));
    EXPECT_FALSE(fileExists(dir / "no"));

    // The flag belongs to the last open: a good path clears it.
    log.open(dir / "a.log");
    EXPECT_FALSE(log.openFailed());
    log.open(missing);
    EXPECT_TRUE(log.openFailed());
    log.close();
    EXPECT_FALSE(log.openFailed());
}

TEST(LogFileTest, OpenEmptiesPendingTextAndCloseWritesIt) {
    TempDir dir;
    LogFile log(dir / "a.log");
    log << "dropped";
    log.open(dir / "b.log");
    log << "kept";
    log.close();
    EXPECT_EQ("", readFile(dir / "a.log"));
    EXPECT_EQ("kept", readFile(dir / "b.log"));
}

TEST(LogFileTest, RotateShiftsBackupsAndNextWriteCreatesNewLog) {
    struct Case {
        int count;
        std::map<std::string, std::string> before;  // suffix -> content
        std::map<std::string, std::string> after;
    } cases[] = {
        {3, {{"", "log"}, {".0", "b0"}, {".1", "b1"}}, {{".0", "log"}, {".1", "b0"}, {".2", "b1"}}},
        // The oldest backup is overwritten by the one below it.
        {2, {{"", "log"}, {".0", "b0"}, {".1", "b1"}, {".2", "b2"}}, {{".0", "log"}, {".1", "b0"}, {".2", "b1"}}},
        // A gap in the backups stays a gap, one number higher.
        {3, {{"", "log"}, {".1", "b1"}}, {{".0", "log"}, {".2", "b1"}}},
        {0, {{"", "log"}, {".0", "b0"}, {".1", "b1"}}, {{".0", "log"}, {".1", "b1"}}},
        {-1, {{"", "log"}, {".1", "b1"}}, {{".0", "log"}, {".1", "b1"}}},
        // Without a log the backups still move up; the next write starts a new log.
        {2, {{".0", "b0"}}, {{".1", "b0"}}},
    };
    const char* suffixes[] = {"", ".0", ".1", ".2", ".3", ".4"};
    Umask daemonMask(0);
    for (const Case& c : cases) {
        TempDir dir;
        std::string path = dir / "v.log";
        LogFile log(path);
        ASSERT_EQ(0, unlink(path.c_str()));  // open() created it; the case decides
        for (const auto& file : c.before) writeFile(path + file.first, file.second);
        log.rotate(c.count);
        for (const char* suffix : suffixes) {
            auto expected = c.after.find(suffix);
            SCOPED_TRACE(std::string("rotate(") + std::to_string(c.count) + ") file v.log" + suffix);
            if (expected == c.after.end()) {
                EXPECT_FALSE(fileExists(path + suffix));
            } else {
                EXPECT_EQ(expected->second, readFile(path + suffix));
            }
        }
        log << "fresh" << endl;
        EXPECT_EQ("fresh\n", readFile(path));
        EXPECT_EQ(0644u, modeOf(path));
    }
}

TEST(LogFileTest, FileSizeIsBytesOrMinusOneWhenMissing) {
    TempDir dir;
    LogFile log(dir / "a.log");
    EXPECT_EQ(0, log.fileSize());
    log << "12345" << endl;
    EXPECT_EQ(6, log.fileSize());
    log.rotate(1);
    EXPECT_EQ(-1, log.fileSize());

    LogFile nowhere(dir / "missing/a.log");
    EXPECT_EQ(-1, nowhere.fileSize());
}

// Writers, each with its own LogFile, and one rotating thread: every line must
// land whole in the log or one of its backups, exactly once.
TEST(LogFileTest, ConcurrentWritersAndRotationLoseAndMixNoLine) {
    const int writers = 6;
    const int linesPerWriter = 300;
    const int maxRotations = 60;  // below the rotate count, so no backup is overwritten
    const std::string payload(300, 'p');
    TempDir dir;
    std::string path = dir / "v.log";

    std::mutex mutex;
    std::condition_variable progress;
    int linesWritten = 0;  // guarded by mutex
    int writersDone = 0;   // guarded by mutex
    int rotations = 0;     // guarded by mutex

    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w) {
        threads.emplace_back([&, w] {
            LogFile log(path);
            for (int i = 0; i < linesPerWriter; ++i) {
                log << "writer " << w << " line " << i << " " << payload << endl;
                std::unique_lock<std::mutex> lock(mutex);
                ++linesWritten;
                progress.notify_all();
                // Half-way on, no writer goes on before the first rotation,
                // so that rotations cannot all fall after the writes.
                if (i == linesPerWriter / 2) {
                    ASSERT_TRUE(progress.wait_for(lock, std::chrono::seconds(10), [&] { return rotations > 0; }));
                }
            }
            std::lock_guard<std::mutex> lock(mutex);
            ++writersDone;
            progress.notify_all();
        });
    }
    threads.emplace_back([&] {
        LogFile log(path);
        int seen = 0;
        for (int rotation = 0; rotation < maxRotations; ++rotation) {
            {
                // Rotate after every few lines, so that rotations fall among the writes.
                std::unique_lock<std::mutex> lock(mutex);
                progress.wait(lock, [&] { return linesWritten >= seen + 20 || writersDone == writers; });
                if (writersDone == writers) return;
                seen = linesWritten;
            }
            log.rotate(maxRotations + 5);
            std::lock_guard<std::mutex> lock(mutex);
            ++rotations;
            progress.notify_all();
        }
    });
    for (std::thread& thread : threads) thread.join();
    EXPECT_GT(rotations, 0);

    std::map<std::string, int> seenLines;
    int malformed = 0;
    std::vector<std::string> files = {path};
    for (int i = 0; i <= maxRotations + 5; ++i) files.push_back(path + "." + std::to_string(i));
    for (const std::string& file : files) {
        if (!fileExists(file)) continue;
        std::string content = readFile(file);
        EXPECT_TRUE(content.empty() || content.back() == '\n') << file;
        std::istringstream lines(content);
        std::string line;
        while (std::getline(lines, line)) {
            int w = -1, i = -1;
            sscanf(line.c_str(), "writer %d line %d", &w, &i);
            if (line == "writer " + std::to_string(w) + " line " + std::to_string(i) + " " + payload)
                ++seenLines[line];
            else
                ++malformed;
        }
    }
    EXPECT_EQ(0, malformed);
    EXPECT_EQ(static_cast<size_t>(writers * linesPerWriter), seenLines.size());
    for (const auto& line : seenLines) EXPECT_EQ(1, line.second) << line.first.substr(0, 30);
}

TEST(LogFileTest, RotateIfLargerRotatesOnlyAnExistingLogAboveTheLimit) {
    TempDir dir;
    const std::string path = dir / "v.log";
    LogFile log(path);
    log.log(std::string(100, 'x'));

    EXPECT_FALSE(log.rotateIfLarger(100, 3));  // equal is not larger
    EXPECT_FALSE(log.rotateIfLarger(-1, 3));   // a negative limit compares larger than any size
    EXPECT_TRUE(fileExists(path));
    EXPECT_TRUE(log.rotateIfLarger(99, 3));
    EXPECT_FALSE(fileExists(path));
    EXPECT_EQ(std::string(100, 'x'), readFile(path + ".0"));

    // A second scheduler checking right after must not shift the backups again.
    EXPECT_FALSE(log.rotateIfLarger(0, 3));
    EXPECT_EQ(std::string(100, 'x'), readFile(path + ".0"));
    EXPECT_FALSE(fileExists(path + ".1"));
}
