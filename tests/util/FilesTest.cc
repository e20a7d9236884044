#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/TempDir.h"
#include "support/TmpfsMount.h"
#include "util/Files.h"

namespace {

struct stat statOf(const std::string& path) {
    struct stat status = {};
    EXPECT_EQ(0, lstat(path.c_str(), &status)) << path;
    return status;
}

unsigned modeOf(const std::string& path) {
    return statOf(path).st_mode & 07777;
}

void writeSource(const std::string& path, const std::string& content, mode_t mode) {
    writeFile(path, content);
    ASSERT_EQ(0, chmod(path.c_str(), mode));
}

// Content that differs at every offset, so a shifted or repeated block shows.
std::string pattern(size_t size) {
    std::string content(size, '\0');
    for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * 7 + i / 8192) & 0xff);
    return content;
}

// The daemon runs with umask 0; tests that check modes of new directories do too.
class UmaskScope {
public:
    explicit UmaskScope(mode_t mask) : saved_(umask(mask)) {}
    ~UmaskScope() { umask(saved_); }

private:
    mode_t saved_;
};

}  // namespace

TEST(FilesTest, CopyKeepsContentModeAndWholeSecondsOfMtimeWhateverTheUmask) {
    TempDir dir;
    makeDirectories(dir / "target");
    ASSERT_EQ(0, chmod((dir / "target").c_str(), 0700));
    UmaskScope mask(0777);  // creation modes alone would give every copy mode 0
    struct {
        size_t size;
        mode_t mode;
    } cases[] = {{0, 0644}, {1, 0600}, {8192, 0755}, {8193, 0640}, {100000, 01777}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        std::string source = dir / ("source" + std::to_string(c.size));
        std::string destination = dir / ("target/copy" + std::to_string(c.size));
        writeSource(source, pattern(c.size), c.mode);
        struct timespec times[2] = {{1000000000, 0}, {1234567890, 987654321}};
        ASSERT_EQ(0, utimensat(AT_FDCWD, source.c_str(), times, 0));

        EXPECT_EQ(static_cast<int64_t>(c.size), UTILITIES::copy(source, destination, false, false));
        EXPECT_EQ(pattern(c.size), readFile(destination));
        EXPECT_EQ(c.mode, modeOf(destination));
        EXPECT_EQ(1234567890, statOf(destination).st_mtim.tv_sec);
        EXPECT_EQ(0, statOf(destination).st_mtim.tv_nsec);
        EXPECT_FALSE(fileExists(destination + ".tmp"));
    }
    EXPECT_EQ(0700u, modeOf(dir / "target"));  // an existing directory is left as it is
}

TEST(FilesTest, LeftoverTemporaryFileIsReplacedByExactlyTheNewContentAndMode) {
    TempDir dir;
    writeSource(dir / "source", "new", 0644);
    writeSource(dir / "copy.tmp", "old bytes of an interrupted, much longer copy", 0600);
    EXPECT_EQ(3, UTILITIES::copy(dir / "source", dir / "copy", false, false));
    EXPECT_EQ("new", readFile(dir / "copy"));
    EXPECT_EQ(0644u, modeOf(dir / "copy"));
    EXPECT_FALSE(fileExists(dir / "copy.tmp"));
}

TEST(FilesTest, OwnerOfCopyAndNewDirectoriesFollowsFlags) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give files other owners";
    TempDir dir;
    UmaskScope mask(0);
    writeSource(dir / "source", "data", 04755);
    ASSERT_EQ(0, chown((dir / "source").c_str(), 1234, 5678));
    ASSERT_EQ(0, chmod((dir / "source").c_str(), 04755));  // chown cleared the set-user-id bit
    makeDirectories(dir / "existing", 0700);
    struct {
        bool preserveUid, preserveGid;
        uid_t uid;
        gid_t gid;
    } cases[] = {{true, true, 1234, 5678}, {true, false, 1234, 0}, {false, true, 0, 5678}, {false, false, 0, 0}};
    for (const auto& c : cases) {
        std::string name = std::to_string(c.preserveUid) + std::to_string(c.preserveGid);
        SCOPED_TRACE(name);
        for (const std::string& destination : {dir / ("new" + name + "/sub/copy"), dir / ("existing/copy" + name)}) {
            ASSERT_EQ(4, UTILITIES::copy(dir / "source", destination, c.preserveUid, c.preserveGid));
            EXPECT_EQ(c.uid, statOf(destination).st_uid);
            EXPECT_EQ(c.gid, statOf(destination).st_gid);
            EXPECT_EQ(04755u, modeOf(destination));  // the mode is set after the owner
        }
        for (const std::string& made : {dir / ("new" + name), dir / ("new" + name + "/sub")}) {
            EXPECT_EQ(c.uid, statOf(made).st_uid);
            EXPECT_EQ(c.gid, statOf(made).st_gid);
        }
    }
    EXPECT_EQ(0u, statOf(dir / "existing").st_uid);
    EXPECT_EQ(0700u, modeOf(dir / "existing"));
}

TEST(FilesTest, MissingDirectoriesTakeModesOfSourceTreeAndOthers0755) {
    TempDir dir;
    UmaskScope mask(0);
    makeDirectories(dir / "ramdisk/data/run1");
    ASSERT_EQ(0, chmod((dir / "ramdisk/data").c_str(), 0750));
    ASSERT_EQ(0, chmod((dir / "ramdisk/data/run1").c_str(), 0711));
    writeSource(dir / "ramdisk/data/run1/img_00001.cbf", "image", 0644);
    makeDirectories(dir / "mnt", 0700);

    EXPECT_EQ(5, UTILITIES::copy(dir / "ramdisk/data/run1/img_00001.cbf", dir / "mnt/ext/data/run1/img_00001.cbf",
                                 false, false));
    EXPECT_EQ(0700u, modeOf(dir / "mnt"));
    EXPECT_EQ(0755u, modeOf(dir / "mnt/ext"));
    EXPECT_EQ(0750u, modeOf(dir / "mnt/ext/data"));
    EXPECT_EQ(0711u, modeOf(dir / "mnt/ext/data/run1"));
    EXPECT_EQ("image", readFile(dir / "mnt/ext/data/run1/img_00001.cbf"));
}

TEST(FilesTest, RelativeDestinationGetsItsDirectories) {
    TempDir dir;
    writeSource(dir / "a-source-path-longer-than-the-destination", "data", 0644);
    char saved[4096];
    ASSERT_NE(nullptr, getcwd(saved, sizeof saved));
    ASSERT_EQ(0, chdir(dir.path().c_str()));
    int64_t result = UTILITIES::copy(dir / "a-source-path-longer-than-the-destination", "new/sub/copy", false, false);
    ASSERT_EQ(0, chdir(saved));
    EXPECT_EQ(4, result);
    EXPECT_EQ("data", readFile(dir / "new/sub/copy"));
}

// The source is a FIFO, so copy() waits in open() until the test has moved the
// source's directories away: their counterparts can then no longer be examined.
TEST(FilesTest, NewDirectoryWhoseCounterpartIsGoneGets0755) {
    TempDir dir;
    UmaskScope mask(0);
    makeDirectories(dir / "src/data/run1", 0700);
    ASSERT_EQ(0, mkfifo((dir / "src/data/run1/img").c_str(), 0644));

    std::atomic<pid_t> copyTid{0};
    int64_t result = 0;
    std::thread copier([&] {
        copyTid = static_cast<pid_t>(syscall(SYS_gettid));
        result = UTILITIES::copy(dir / "src/data/run1/img", dir / "dst/data/run1/img", false, false);
    });
    // Waits until the copying thread sleeps in openat() on the FIFO.
    bool blocked = false;
    for (time_t deadline = time(nullptr) + 10; !blocked && time(nullptr) < deadline; usleep(1000)) {
        if (copyTid == 0) continue;
        std::ifstream syscallFile("/proc/self/task/" + std::to_string(copyTid) + "/syscall");
        std::string number;
        blocked = (syscallFile >> number) && number == std::to_string(SYS_openat);
    }
    EXPECT_TRUE(blocked);
    ASSERT_EQ(0, rename((dir / "src/data").c_str(), (dir / "src/moved").c_str()));
    // Opening the writer end releases the copy; non-blocking, so that a copy
    // that already failed cannot hang the test.
    int writer = open((dir / "src/moved/run1/img").c_str(), O_WRONLY | O_NONBLOCK);
    EXPECT_LE(0, writer);
    if (writer >= 0) {
        EXPECT_EQ(7, write(writer, "payload", 7));
        close(writer);
    }
    copier.join();

    EXPECT_EQ(7, result);
    EXPECT_EQ(0755u, modeOf(dir / "dst/data"));
    EXPECT_EQ(0755u, modeOf(dir / "dst/data/run1"));
    EXPECT_EQ("payload", readFile(dir / "dst/data/run1/img"));
}

TEST(FilesTest, FailuresGiveTheirCodeAndLeaveWhatTheyLeave) {
    TempDir dir;
    writeSource(dir / "source", "content", 0644);
    makeDirectories(dir / "source-directory");
    makeDirectories(dir / "existing");
    writeFile(dir / "plain-file", "x");
    ASSERT_EQ(0, symlink((dir / "nowhere").c_str(), (dir / "dangling").c_str()));
    makeDirectories(dir / "busy");
    writeFile(dir / "busy/entry", "x");
    std::string longName(252, 'n');  // valid, but with ".tmp" one over the limit of a name

    struct {
        const char* what;
        std::string source, destination;
        int64_t code;
        const char* temporaryContent;  // nullptr: no temporary file is left
        std::string madeDirectory;
    } cases[] = {
        {"missing source", dir / "absent", dir / "existing/a", -1, nullptr, ""},
        {"source is a directory", dir / "source-directory", dir / "existing/b", -6, "", ""},
        {"component is a plain file", dir / "source", dir / "plain-file/sub/c", -5, nullptr, ""},
        {"name too long", dir / "source", dir / "existing/" + longName, -5, nullptr, ""},
        {"name too long after mkdir", dir / "source", dir / "new/" + longName, -4, nullptr, dir / "new"},
        {"dangling link as directory", dir / "source", dir / "dangling/d", -4, nullptr, ""},
        {"destination is a non-empty directory", dir / "source", dir / "busy", -10, "content", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        bool existed = fileExists(c.destination);
        EXPECT_EQ(c.code, UTILITIES::copy(c.source, c.destination, false, false));
        EXPECT_EQ(existed, fileExists(c.destination));
        if (c.temporaryContent == nullptr) {
            EXPECT_FALSE(fileExists(c.destination + ".tmp"));
        } else {
            EXPECT_EQ(c.temporaryContent, readFile(c.destination + ".tmp"));
        }
        if (!c.madeDirectory.empty()) {
            EXPECT_TRUE(S_ISDIR(statOf(c.madeDirectory).st_mode));
        }
    }
    // With the flags, the new directory through the dangling link cannot be given its owner.
    EXPECT_EQ(-3, UTILITIES::copy(dir / "source", dir / "dangling/e", true, true));
}

TEST(FilesTest, FailuresOnReadOnlyAndFullFileSystems) {
    TmpfsMount readOnly("size=1m");
    if (!readOnly.mounted()) GTEST_SKIP() << readOnly.skipReason();
    TmpfsMount full("size=64k");
    if (!full.mounted()) GTEST_SKIP() << full.skipReason();
    TempDir dir;
    std::string big = pattern(256 * 1024);
    writeSource(dir / "source", big, 0644);
    makeDirectories(readOnly.path() + "/existing");
    ASSERT_TRUE(readOnly.remount(true));

    EXPECT_EQ(-5, UTILITIES::copy(dir / "source", readOnly.path() + "/existing/copy", false, false));
    EXPECT_FALSE(fileExists(readOnly.path() + "/existing/copy.tmp"));
    EXPECT_EQ(-3, UTILITIES::copy(dir / "source", readOnly.path() + "/missing/copy", false, false));
    EXPECT_FALSE(fileExists(readOnly.path() + "/missing"));

    EXPECT_EQ(-7, UTILITIES::copy(dir / "source", full.path() + "/copy", false, false));
    EXPECT_FALSE(fileExists(full.path() + "/copy"));
    std::string partial = readFile(full.path() + "/copy.tmp");
    EXPECT_GT(partial.size(), 0u);
    EXPECT_LT(partial.size(), big.size());
    EXPECT_EQ(big.substr(0, partial.size()), partial);
}

TEST(FilesTest, SetPidFileWritesOwnPidThenNonZeroPids) {
    TempDir dir;
    writeFile(dir / "pid", "a much longer earlier content that must go\n");
    EXPECT_EQ(0, UTILITIES::setPidFile(dir / "pid", {0, 42, 0, 7}));
    EXPECT_EQ(std::to_string(getpid()) + "\n42\n7\n", readFile(dir / "pid"));
    EXPECT_EQ(1, UTILITIES::setPidFile(dir / "missing/pid", {}));
    EXPECT_FALSE(fileExists(dir / "missing"));
}
