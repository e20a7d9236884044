#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

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

// The daemon runs with umask 0; the tests set the mask they need: UmaskScope mask{umask(0)};
struct UmaskScope {
    mode_t saved;
    ~UmaskScope() { umask(saved); }
};

}  // namespace

TEST(FilesTest, CopyKeepsContentModeAndWholeSecondsOfMtimeWhateverTheUmaskOrLeftovers) {
    TempDir dir;
    makeDirectories(dir / "target", 0700);
    UmaskScope mask{umask(0777)};  // creation modes alone would give every copy mode 0
    for (auto c : {std::make_pair(0, 0644), std::make_pair(8193, 0640), std::make_pair(100000, 01777)}) {
        SCOPED_TRACE(c.first);
        std::string source = dir / ("source" + std::to_string(c.first));
        std::string destination = dir / ("target/copy" + std::to_string(c.first));
        writeSource(source, pattern(c.first), c.second);
        struct timespec times[2] = {{1000000000, 0}, {1234567890, 987654321}};
        ASSERT_EQ(0, utimensat(AT_FDCWD, source.c_str(), times, 0));
        // An interrupted copy's longer temporary file keeps neither its bytes nor its mode.
        writeSource(destination + ".tmp", "old bytes of an interrupted copy", 0600);

        EXPECT_EQ(c.first, UTILITIES::copy(source, destination, false, false));
        EXPECT_EQ(pattern(c.first), readFile(destination));
        EXPECT_EQ(static_cast<unsigned>(c.second), modeOf(destination));
        EXPECT_EQ(1234567890, statOf(destination).st_mtim.tv_sec);
        EXPECT_EQ(0, statOf(destination).st_mtim.tv_nsec);
        EXPECT_FALSE(fileExists(destination + ".tmp"));
    }
    EXPECT_EQ(0700u, modeOf(dir / "target"));  // an existing directory is left as it is
}

TEST(FilesTest, OwnerOfCopyAndNewDirectoriesFollowsFlags) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give files other owners";
    TempDir dir;
    UmaskScope mask{umask(0)};
    writeFile(dir / "source", "data");
    ASSERT_EQ(0, chown((dir / "source").c_str(), 1234, 5678));
    ASSERT_EQ(0, chmod((dir / "source").c_str(), 04755));
    for (int flags = 0; flags < 4; ++flags) {
        bool preserveUid = flags & 1, preserveGid = flags & 2;
        std::string name = dir / ("new" + std::to_string(flags));
        ASSERT_EQ(4, UTILITIES::copy(dir / "source", name + "/sub/copy", preserveUid, preserveGid));
        for (const std::string& path : {name, name + "/sub", name + "/sub/copy"}) {
            EXPECT_EQ(preserveUid ? 1234u : 0u, statOf(path).st_uid) << path;
            EXPECT_EQ(preserveGid ? 5678u : 0u, statOf(path).st_gid) << path;
        }
        EXPECT_EQ(04755u, modeOf(name + "/sub/copy"));  // the mode is set after the owner
    }
}

TEST(FilesTest, MissingDirectoriesTakeModesOfSourceTreeAndOthers0755) {
    TempDir dir;
    UmaskScope mask{umask(0)};
    makeDirectories(dir / "ramdisk/data/run1");
    ASSERT_EQ(0, chmod((dir / "ramdisk/data").c_str(), 0750));
    ASSERT_EQ(0, chmod((dir / "ramdisk/data/run1").c_str(), 0711));
    writeSource(dir / "ramdisk/data/run1/img", "image", 0644);
    makeDirectories(dir / "mnt", 0700);

    EXPECT_EQ(5, UTILITIES::copy(dir / "ramdisk/data/run1/img", dir / "mnt/ext/data/run1/img", false, false));
    for (auto c : {std::make_pair("mnt", 0700u), std::make_pair("mnt/ext", 0755u),
                   std::make_pair("mnt/ext/data", 0750u), std::make_pair("mnt/ext/data/run1", 0711u)})
        EXPECT_EQ(c.second, modeOf(dir / c.first)) << c.first;
    EXPECT_EQ("image", readFile(dir / "mnt/ext/data/run1/img"));

    // A relative destination gets its directories too.
    char saved[4096];
    ASSERT_NE(nullptr, getcwd(saved, sizeof saved));
    ASSERT_EQ(0, chdir(dir.path().c_str()));
    int64_t result = UTILITIES::copy(dir / "ramdisk/data/run1/img", "new/sub/copy", false, false);
    ASSERT_EQ(0, chdir(saved));
    EXPECT_EQ(5, result);
    EXPECT_EQ("image", readFile(dir / "new/sub/copy"));
}

TEST(FilesTest, FailuresGiveTheirCodeAndLeaveNoCopy) {
    TempDir dir;
    writeSource(dir / "source", "content", 0644);
    writeFile(dir / "plain-file", "x");
    ASSERT_EQ(0, symlink((dir / "nowhere").c_str(), (dir / "dangling").c_str()));
    makeDirectories(dir / "busy");
    writeFile(dir / "busy/entry", "x");
    const struct {
        std::string source, destination;
        int64_t code;
    } cases[] = {
        {dir / "absent", dir / "a", -1},
        {dir / "source", dir / "plain-file/sub/c", -5},
        {dir / "source", dir / "dangling/d", -4},  // mkdir finds the link, open still fails
        {dir / "source", dir / "busy", -10},       // a non-empty directory
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.code, UTILITIES::copy(c.source, c.destination, false, false)) << c.destination;
        EXPECT_EQ(c.code == -10, fileExists(c.destination)) << c.destination;
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
    EXPECT_EQ(-3, UTILITIES::copy(dir / "source", readOnly.path() + "/missing/copy", false, false));
    EXPECT_FALSE(fileExists(readOnly.path() + "/missing"));

    EXPECT_EQ(-7, UTILITIES::copy(dir / "source", full.path() + "/copy", false, false));
    EXPECT_FALSE(fileExists(full.path() + "/copy"));
    std::string partial = readFile(full.path() + "/copy.tmp");
    EXPECT_GT(partial.size(), 0u);
    EXPECT_EQ(big.substr(0, partial.size()), partial);
}

TEST(FilesTest, SetPidFileWritesOwnPidThenNonZeroPids) {
    TempDir dir;
    writeFile(dir / "pid", "a much longer earlier content that must go\n");
    EXPECT_EQ(0, UTILITIES::setPidFile(dir / "pid", {0, 42, 0, 7}));
    EXPECT_EQ(std::to_string(getpid()) + "\n42\n7\n", readFile(dir / "pid"));
    EXPECT_EQ(1, UTILITIES::setPidFile(dir / "missing/pid", {}));
}
