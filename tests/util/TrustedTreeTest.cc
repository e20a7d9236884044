#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/TempDir.h"
#include "util/TrustedTree.h"

namespace {

// Runs the body once with openat2 and once with the walk by components.
class TrustedTreeTest : public testing::TestWithParam<TrustedTree::Walk> {
protected:
    void SetUp() override { TrustedTree::setWalk(GetParam()); }
    void TearDown() override { TrustedTree::setWalk(TrustedTree::WALK_AUTOMATIC); }

    // errno of parentOf(relative), 0 when it succeeded.
    static int walkError(TrustedTree& tree, const std::string& relative) {
        std::string name;
        return tree.parentOf(relative, name) >= 0 ? 0 : errno;
    }

    TempDir dir;
};

}  // namespace

TEST_P(TrustedTreeTest, NoSymbolicLinkOrDotDotIsEverFollowedOnTheWay) {
    makeDirectories(dir / "base/run/sub");
    makeDirectories(dir / "outside");
    writeFile(dir / "base/plain", "x");
    for (const char* link : {"absolute", "relative", "inside", "dangling"}) {
        const std::string target = std::string(link) == "absolute"   ? dir / "outside"
                                   : std::string(link) == "relative" ? "../outside"
                                   : std::string(link) == "inside"   ? "run"
                                                                     : "nowhere";
        ASSERT_EQ(0, symlink(target.c_str(), (dir / ("base/" + std::string(link))).c_str()));
    }
    TrustedTree tree(dir / "base");
    const std::pair<const char*, int> cases[] = {
        {"run/sub/f", 0},        {"./run//sub/f", 0},      {"f", 0},
        {"absolute/f", ELOOP},   {"relative/f", ELOOP},    {"inside/sub/f", ELOOP},
        {"dangling/x/f", ELOOP}, {"run/../run/f", EINVAL}, {"../base/f", EINVAL},
        {"/etc/f", EINVAL},      {"run/", EINVAL},         {"", EINVAL},
        {"plain/f", ENOTDIR},    {"missing/f", ENOENT},
    };
    for (const auto& c : cases) EXPECT_EQ(c.second, walkError(tree, c.first)) << c.first;

    // A link to a directory never counts as the directory, made or found.
    std::string name;
    const int made = tree.makeParentOf(
        "absolute/new/f", name, [](const std::string&) { return 0755; }, -1, -1);
    EXPECT_EQ(-1, made);
    EXPECT_EQ(ELOOP, errno);
    EXPECT_FALSE(fileExists(dir / "outside/new"));
}

TEST_P(TrustedTreeTest, ADirectorySwappedForALinkBetweenTwoCallsLeadsNowhereElse) {
    makeDirectories(dir / "base/run/sub");
    makeDirectories(dir / "victim");
    TrustedTree tree(dir / "base");
    std::string name;
    const int held = tree.parentOf("run/sub/first", name);
    ASSERT_GE(held, 0);
    // A user moves the folder away and plants a link in its place.
    ASSERT_EQ(0, rename((dir / "base/run").c_str(), (dir / "base/moved").c_str()));
    ASSERT_EQ(0, symlink((dir / "victim").c_str(), (dir / "base/run").c_str()));
    ASSERT_EQ(0, mkdir((dir / "victim/sub").c_str(), 0755));

    // The folder held is still the one resolved: what is made through it
    // lands in the moved folder, never behind the link.
    EXPECT_EQ(held, tree.parentOf("run/sub/second", name));
    const int fd = openat(held, name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_TRUE(fileExists(dir / "base/moved/sub/second"));
    EXPECT_FALSE(fileExists(dir / "victim/sub/second"));
    // Any other folder, and the same one after release(), is walked anew.
    EXPECT_EQ(ELOOP, walkError(tree, "run/other"));
    tree.release();
    EXPECT_EQ(ELOOP, walkError(tree, "run/sub/second"));
}

TEST_P(TrustedTreeTest, MissingDirectoriesAreMadeWithTheirModeAndOwnerAndTheBaseStaysTheDaemons) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give directories other owners";
    const mode_t saved = umask(0077);  // the modes asked for are exact all the same
    TrustedTree tree(dir / "missing/base", true);
    std::string name;
    const int made = tree.makeParentOf(
        "a/b/file", name, [](const std::string& d) { return d == "a" ? 0750 : 0711; }, 1234, 5678);
    umask(saved);
    ASSERT_GE(made, 0) << strerror(errno);
    EXPECT_EQ("file", name);
    struct stat status;
    for (const auto& c : {std::make_pair("missing", 0755u), std::make_pair("missing/base", 0755u),
                          std::make_pair("missing/base/a", 0750u), std::make_pair("missing/base/a/b", 0711u)}) {
        ASSERT_EQ(0, lstat((dir / c.first).c_str(), &status)) << c.first;
        EXPECT_EQ(c.second, status.st_mode & 07777) << c.first;
        const bool below = std::string(c.first).size() > std::string("missing/base").size();
        EXPECT_EQ(below ? 1234u : 0u, status.st_uid) << c.first;
    }
}

INSTANTIATE_TEST_SUITE_P(BothWalks, TrustedTreeTest,
                         testing::Values(TrustedTree::WALK_AUTOMATIC, TrustedTree::WALK_COMPONENTS),
                         [](const testing::TestParamInfo<TrustedTree::Walk>& info) {
                             return info.param == TrustedTree::WALK_AUTOMATIC ? "openat2" : "components";
                         });
