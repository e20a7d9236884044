#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "copy/CopyEngine.h"
#include "support/TempDir.h"
#include "support/TmpfsMount.h"

namespace {

struct stat statOf(const std::string& path) {
    struct stat status = {};
    EXPECT_EQ(0, lstat(path.c_str(), &status)) << path;
    return status;
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
int64_t copyBelow(std::string from, std::string source, std::string to, std::string destination, bool uid = false,
                  bool gid = false, UTILITIES::CopiedFile* made = nullptr) {
    TrustedTree fromTree(from), toTree(to);
    UTILITIES::CopyRequest request(fromTree, source, toTree, destination);
    request.preserveUid = uid;
    request.preserveGid = gid;
    request.made = made;
    return UTILITIES::copy(request);
}

// The daemon runs with umask 0; the tests set the mask they need: UmaskScope mask{umask(0)};
struct UmaskScope {
    mode_t saved;
    ~UmaskScope() { umask(saved); }
};

}  // namespace

TEST(CopyEngineTest, CopyKeepsContentModeAndMtimeWhateverTheUmaskAndRemovesAnyLeftoverUnread) {
    TempDir dir;
    makeDirectories(dir / "source");
    makeDirectories(dir / "target", 0700);
    writeSource(dir / "victim", "root's own", 0600);
    UmaskScope mask{umask(0777)};  // creation modes alone would give every copy mode 0
    const std::tuple<size_t, mode_t, std::string> cases[] = {
        {0, 0644, "file"}, {8193, 0640, "link"}, {100000, 01777, "pipe"}};
    for (const auto& [size, mode, leftover] : cases) {
        SCOPED_TRACE(leftover);
        const std::string name = "copy_" + leftover, source = dir / ("source/" + name), copy = dir / ("target/" + name);
        writeSource(source, pattern(size), mode);
        struct timespec times[2] = {{1000000000, 0}, {1234567890, 987654321}};
        ASSERT_EQ(0, utimensat(AT_FDCWD, source.c_str(), times, 0));
        // An interrupted copy's temporary file, or what a user planted there.
        if (leftover == "file") writeSource(copy + ".tmp", "old bytes of an interrupted copy", 0600);
        ASSERT_TRUE(leftover != "link" || symlink((dir / "victim").c_str(), (copy + ".tmp").c_str()) == 0);
        ASSERT_TRUE(leftover != "pipe" || mkfifo((copy + ".tmp").c_str(), 0666) == 0);

        UTILITIES::CopiedFile made;
        EXPECT_EQ(static_cast<int64_t>(size),
                  copyBelow(dir / "source", name, dir / "target", name, false, false, &made));
        EXPECT_EQ(pattern(size), readFile(copy));
        EXPECT_EQ(static_cast<unsigned>(mode), statOf(copy).st_mode & 07777);
        EXPECT_EQ(1234567890000000000, statOf(copy).st_mtim.tv_sec * 1000000000 + statOf(copy).st_mtim.tv_nsec);
        EXPECT_FALSE(fileExists(copy + ".tmp"));
        EXPECT_TRUE(made.source == FileIdentity::of(statOf(source)) && made.copy == FileIdentity::of(statOf(copy)));
    }
    EXPECT_TRUE(readFile(dir / "victim") == "root's own" && (statOf(dir / "victim").st_mode & 07777) == 0600);
    EXPECT_EQ(0700u, statOf(dir / "target").st_mode & 07777);  // an existing directory is left as it is
}

TEST(CopyEngineTest, NewDirectoriesTakeModesOfTheSourceTreeAndEachFlagGivesItsOwnerOrGroup) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give files other owners";
    TempDir dir;
    UmaskScope mask{umask(0077)};  // the modes are exact all the same
    makeDirectories(dir / "ramdisk/data/run1");
    ASSERT_EQ(0, chmod((dir / "ramdisk/data").c_str(), 0750));
    ASSERT_EQ(0, chmod((dir / "ramdisk/data/run1").c_str(), 0711));
    writeFile(dir / "ramdisk/data/run1/img", "image");
    ASSERT_EQ(0, chown((dir / "ramdisk/data/run1/img").c_str(), 1234, 5678));
    ASSERT_EQ(0, chmod((dir / "ramdisk/data/run1/img").c_str(), 04755));  // after chown, which clears it
    makeDirectories(dir / "mnt", 0700);
    for (int flags = 0; flags < 4; ++flags) {  // 1: preserve the uid, 2: the gid
        SCOPED_TRACE(flags);
        // The missing target and its parents are the daemon's, as the trusted base must stay, with
        // the mode of a counterpart where they have one (the target's own folder: ramdisk/data).
        const std::string target = "mnt/ext" + std::to_string(flags) + "/data";
        ASSERT_EQ(5, copyBelow(dir / "ramdisk/data", "run1/img", dir / target, "run1/img", flags & 1, flags & 2));
        for (auto c : {std::make_pair("/..", 0755u), std::make_pair("", 0750u), std::make_pair("/run1", 0711u),
                       std::make_pair("/run1/img", 04755u)}) {
            const struct stat status = statOf(dir / (target + c.first));
            EXPECT_EQ(c.second, status.st_mode & 07777) << c.first;
            const bool below = c.first[0] != '\0' && c.first[1] != '.';
            EXPECT_EQ(below && (flags & 1) ? 1234u : 0u, status.st_uid) << c.first;
            EXPECT_EQ(below && (flags & 2) ? 5678u : 0u, status.st_gid) << c.first;
        }
    }
    EXPECT_EQ(0700u, statOf(dir / "mnt").st_mode & 07777);
}

TEST(CopyEngineTest, FailuresGiveTheirCodeLeaveNothingBehindAndNeverFollowALink) {
    TempDir dir;
    for (const char* folder : {"src/real", "dst/busy"}) makeDirectories(dir / folder);
    makeDirectories(dir / "secret", 0700);
    writeSource(dir / "secret/key", "root only", 0600);
    writeSource(dir / "src/file", pattern(256 * 1024), 0644);
    writeSource(dir / "src/tight", pattern(64 * 1024), 0644);
    for (const char* name : {"dst/plain-file", "dst/busy/entry"}) writeFile(dir / name, "x");
    ASSERT_EQ(0, mkfifo((dir / "src/pipe").c_str(), 0600));
    for (const auto& link : {std::make_pair("src/link", "secret/key"), std::make_pair("src/linkdir", "secret"),
                             std::make_pair("dst/linkdir", "secret"), std::make_pair("dst/dangling", "nowhere")})
        ASSERT_EQ(0, symlink((dir / link.second).c_str(), (dir / link.first).c_str()));
    TmpfsMount readOnly("size=1m"), full("size=64k");  // as root only
    if (readOnly.mounted()) makeDirectories(readOnly.path() + "/existing");
    if (full.mounted()) writeFile(full.path() + "/filler", pattern(4096));  // 60 KiB left: a short last write
    ASSERT_TRUE(!readOnly.mounted() || readOnly.remount(true));
    const std::tuple<std::string, std::string, std::string, int64_t, int> cases[] = {
        {"absent", dir / "dst", "a", -1, ENOENT},
        {"link", dir / "dst", "b", -1, ELOOP},         // the file itself is a link
        {"linkdir/key", dir / "dst", "c", -1, ELOOP},  // a directory on the way is one
        {"pipe", dir / "dst", "d", -11, EINVAL},       // opened without waiting for a writer
        {"real", dir / "dst", "e", -11, EINVAL},       // a directory
        {"file", dir / "dst", "plain-file/sub/f", -5, ENOTDIR},
        {"file", dir / "dst", "linkdir/new", -5, ELOOP},
        {"file", dir / "dst", "dangling/g", -5, ELOOP},
        {"file", dir / "dst", "busy", -10, EISDIR},  // a non-empty directory in the way
        {"file", readOnly.path(), "existing/copy", -5, EROFS},
        {"file", readOnly.path(), "missing/copy", -3, EROFS},
        {"file", full.path(), "copy", -7, ENOSPC},   // the partial copy would only hold the space
        {"tight", full.path(), "copy", -7, ENOSPC},  // a short write is retried, and then fails
    };
    for (const auto& [source, target, destination, code, errnum] : cases) {
        if (target.empty() || (target != dir / "dst" && !full.mounted())) continue;
        errno = 0;
        EXPECT_EQ(code, copyBelow(dir / "src", source, target, destination)) << destination;
        EXPECT_EQ(errnum, errno) << destination;
        EXPECT_FALSE(fileExists(target + "/" + destination + ".tmp")) << destination;
        EXPECT_EQ(code == -10, fileExists(target + "/" + destination)) << destination;
    }
    EXPECT_FALSE(fileExists(dir / "nowhere") || fileExists(readOnly.path() + "/missing"));
    EXPECT_TRUE(readFile(dir / "secret/key") == "root only" && (statOf(dir / "secret/key").st_mode & 07777) == 0600);
}
