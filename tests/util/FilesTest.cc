#include <errno.h>
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

// As a copy job copies: below the trees `from` and `to` (made when missing).
int64_t copyBelow(const std::string& from, const std::string& source, const std::string& to,
                  const std::string& destination, bool preserve = false, UTILITIES::CopiedFile* made = nullptr) {
    TrustedTree fromTree(from), toTree(to, true);
    return UTILITIES::copy(fromTree, source, toTree, destination, preserve, preserve, made);
}

// The daemon runs with umask 0; the tests set the mask they need: UmaskScope mask{umask(0)};
struct UmaskScope {
    mode_t saved;
    ~UmaskScope() { umask(saved); }
};

}  // namespace

TEST(FilesTest, CopyKeepsContentModeAndMtimeWhateverTheUmaskAndRemovesAnyLeftoverUnread) {
    TempDir dir;
    makeDirectories(dir / "source");
    makeDirectories(dir / "target", 0700);
    writeSource(dir / "victim", "root's own", 0600);
    UmaskScope mask{umask(0777)};  // creation modes alone would give every copy mode 0
    const struct {
        size_t size;
        mode_t mode;
        const char* leftover;
    } cases[] = {{0, 0644, "file"}, {8193, 0640, "link"}, {100000, 01777, "pipe"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.leftover);
        const std::string name = std::string("copy_") + c.leftover, copy = dir / ("target/" + name);
        writeSource(dir / ("source/" + name), pattern(c.size), c.mode);
        struct timespec times[2] = {{1000000000, 0}, {1234567890, 987654321}};
        ASSERT_EQ(0, utimensat(AT_FDCWD, (dir / ("source/" + name)).c_str(), times, 0));
        // An interrupted copy's temporary file, or what a user planted there.
        const std::string leftover = c.leftover, temporary = copy + ".tmp";
        if (leftover == "file") writeSource(temporary, "old bytes of an interrupted copy", 0600);
        ASSERT_TRUE(leftover != "link" || symlink((dir / "victim").c_str(), temporary.c_str()) == 0);
        ASSERT_TRUE(leftover != "pipe" || mkfifo(temporary.c_str(), 0666) == 0);

        UTILITIES::CopiedFile made;
        EXPECT_EQ(static_cast<int64_t>(c.size), copyBelow(dir / "source", name, dir / "target", name, false, &made));
        EXPECT_EQ(pattern(c.size), readFile(copy));
        EXPECT_EQ(static_cast<unsigned>(c.mode), modeOf(copy));
        EXPECT_EQ(1234567890, statOf(copy).st_mtim.tv_sec);
        EXPECT_EQ(0, statOf(copy).st_mtim.tv_nsec);
        EXPECT_FALSE(fileExists(copy + ".tmp"));
        EXPECT_TRUE(made.source == FileIdentity::of(statOf(dir / ("source/" + name))));
        EXPECT_TRUE(made.copy == FileIdentity::of(statOf(copy)));
    }
    EXPECT_EQ("root's own", readFile(dir / "victim"));
    EXPECT_EQ(0600u, modeOf(dir / "victim"));
    EXPECT_EQ(0700u, modeOf(dir / "target"));  // an existing directory is left as it is
}

TEST(FilesTest, NewDirectoriesTakeModesOfTheSourceTreeAndTheOwnersThatTheFlagsAsk) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give files other owners";
    TempDir dir;
    UmaskScope mask{umask(0)};
    makeDirectories(dir / "ramdisk/data/run1");
    ASSERT_EQ(0, chmod((dir / "ramdisk/data").c_str(), 0750));
    ASSERT_EQ(0, chmod((dir / "ramdisk/data/run1").c_str(), 0711));
    writeFile(dir / "ramdisk/data/run1/img", "image");
    ASSERT_EQ(0, chown((dir / "ramdisk/data/run1/img").c_str(), 1234, 5678));
    ASSERT_EQ(0, chmod((dir / "ramdisk/data/run1/img").c_str(), 04755));  // after chown, which clears it
    makeDirectories(dir / "mnt", 0700);
    for (bool preserve : {false, true}) {
        SCOPED_TRACE(preserve);
        // The missing target itself is the daemon's, as the trusted base must stay.
        const std::string target = "mnt/ext" + std::to_string(preserve);
        ASSERT_EQ(5, copyBelow(dir / "ramdisk", "data/run1/img", dir / target, "data/run1/img", preserve));
        for (auto c : {std::make_pair("", 0755u), std::make_pair("/data", 0750u), std::make_pair("/data/run1", 0711u),
                       std::make_pair("/data/run1/img", 04755u)}) {
            const struct stat status = statOf(dir / (target + c.first));
            EXPECT_EQ(c.second, status.st_mode & 07777) << c.first;
            const bool given = preserve && c.first[0] != '\0';
            EXPECT_EQ(given ? 1234u : 0u, status.st_uid) << c.first;
            EXPECT_EQ(given ? 5678u : 0u, status.st_gid) << c.first;
        }
        EXPECT_EQ("image", readFile(dir / (target + "/data/run1/img")));
    }
    EXPECT_EQ(0700u, modeOf(dir / "mnt"));
}

TEST(FilesTest, FailuresGiveTheirCodeLeaveNoCopyAndNeverFollowALink) {
    TempDir dir;
    makeDirectories(dir / "src/real");
    makeDirectories(dir / "dst/busy");
    makeDirectories(dir / "secret", 0700);
    writeSource(dir / "secret/key", "root only", 0600);
    writeSource(dir / "src/file", "content", 0644);
    writeFile(dir / "dst/plain-file", "x");
    writeFile(dir / "dst/busy/entry", "x");
    ASSERT_EQ(0, mkfifo((dir / "src/pipe").c_str(), 0600));
    ASSERT_EQ(0, symlink((dir / "secret/key").c_str(), (dir / "src/link").c_str()));
    ASSERT_EQ(0, symlink((dir / "secret").c_str(), (dir / "src/linkdir").c_str()));
    ASSERT_EQ(0, symlink((dir / "secret").c_str(), (dir / "dst/linkdir").c_str()));
    ASSERT_EQ(0, symlink((dir / "nowhere").c_str(), (dir / "dst/dangling").c_str()));
    const struct {
        std::string source, destination;
        int64_t code;
        int errnum;
    } cases[] = {
        {"absent", "a", -1, ENOENT},
        {"link", "b", -1, ELOOP},          // the file itself is a link
        {"linkdir/key", "c", -1, ELOOP},   // a directory on the way is one
        {"pipe", "d", -11, EINVAL},        // opened without waiting for a writer
        {"real", "e", -11, EINVAL},        // a directory
        {"file", "plain-file/sub/f", -5, ENOTDIR},
        {"file", "linkdir/key", -5, ELOOP},
        {"file", "dangling/g", -5, ELOOP},
        {"file", "busy", -10, EISDIR},     // a non-empty directory in the way
    };
    for (const auto& c : cases) {
        errno = 0;
        EXPECT_EQ(c.code, copyBelow(dir / "src", c.source, dir / "dst", c.destination)) << c.destination;
        EXPECT_EQ(c.errnum, errno) << c.destination;
        EXPECT_FALSE(fileExists(dir / ("dst/" + c.destination + ".tmp"))) << c.destination;
    }
    EXPECT_FALSE(fileExists(dir / "nowhere"));
    EXPECT_EQ("root only", readFile(dir / "secret/key"));
    EXPECT_EQ(0600u, modeOf(dir / "secret/key"));
    EXPECT_TRUE(fileExists(dir / "dst/busy/entry"));
}

TEST(FilesTest, FailuresOnReadOnlyAndFullFileSystemsLeaveNothingBehind) {
    TmpfsMount readOnly("size=1m");
    if (!readOnly.mounted()) GTEST_SKIP() << readOnly.skipReason();
    TmpfsMount full("size=64k");
    if (!full.mounted()) GTEST_SKIP() << full.skipReason();
    TempDir dir;
    writeSource(dir / "source", pattern(256 * 1024), 0644);
    makeDirectories(readOnly.path() + "/existing");
    ASSERT_TRUE(readOnly.remount(true));

    EXPECT_EQ(-5, copyBelow(dir.path(), "source", readOnly.path(), "existing/copy"));
    EXPECT_EQ(-3, copyBelow(dir.path(), "source", readOnly.path(), "missing/copy"));
    EXPECT_FALSE(fileExists(readOnly.path() + "/missing"));
    EXPECT_EQ(-7, copyBelow(dir.path(), "source", full.path(), "copy"));
    EXPECT_FALSE(fileExists(full.path() + "/copy"));
    EXPECT_FALSE(fileExists(full.path() + "/copy.tmp"));  // it would only hold the space
}

TEST(FilesTest, PidFileIsWrittenOnlyAsAPlainFileOfItsOwnWithMode0644) {
    TempDir dir;
    writeSource(dir / "pid", "a much longer earlier content that must go\n", 0666);
    std::string why;
    const int fd = UTILITIES::openPidFile(dir / "pid", why);
    ASSERT_GE(fd, 0) << why;
    EXPECT_EQ(0, UTILITIES::setPidFile(fd, {0, 42, 0, 7}));
    EXPECT_EQ(std::to_string(getpid()) + "\n42\n7\n", readFile(dir / "pid"));
    EXPECT_EQ(0644u, modeOf(dir / "pid"));

    writeSource(dir / "victim", "root's own", 0600);
    ASSERT_EQ(0, symlink((dir / "victim").c_str(), (dir / "link").c_str()));
    ASSERT_EQ(0, mkfifo((dir / "pipe").c_str(), 0666));
    ASSERT_EQ(0, link((dir / "victim").c_str(), (dir / "second-name").c_str()));
    const std::pair<const char*, const char*> refused[] = {{"link", "it is a symbolic link"},
                                                           {"pipe", "it is not a regular file"},
                                                           {"second-name", "it has 2 names (hard links)"},
                                                           {"missing/pid", "No such file or directory"}};
    for (const auto& c : refused) {
        EXPECT_EQ(-1, UTILITIES::openPidFile(dir / c.first, why)) << c.first;
        EXPECT_EQ(c.second, why) << c.first;
    }
    EXPECT_EQ("root's own", readFile(dir / "victim"));
    EXPECT_EQ(0600u, modeOf(dir / "victim"));
}
