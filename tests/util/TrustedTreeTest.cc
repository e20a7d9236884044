#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
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

TEST_P(TrustedTreeTest, NoSymbolicLinkOrDotDotIsFollowedOnTheWayNorBehindAHeldFolderSwappedForALink) {
    makeDirectories(dir / "base/run/sub");
    makeDirectories(dir / "outside");
    writeFile(dir / "base/plain", "x");
    const std::pair<const char*, std::string> links[] = {
        {"absolute", dir / "outside"}, {"relative", "../outside"}, {"inside", "run"}, {"dangling", "nowhere"}};
    for (const auto& link : links) ASSERT_EQ(0, symlink(link.second.c_str(), (dir / "base/" + link.first).c_str()));
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
    EXPECT_EQ(-1, tree.makeParentOf(
                      "absolute/new/f", name, [](const std::string&) { return 0755; }, -1, -1));
    EXPECT_EQ(ELOOP, errno);
    EXPECT_FALSE(fileExists(dir / "outside/new"));

    // A user moves a folder that the tree holds away and plants a link in its place.
    const int held = tree.parentOf("run/sub/first", name);
    ASSERT_GE(held, 0);
    ASSERT_EQ(0, rename((dir / "base/run").c_str(), (dir / "base/moved").c_str()));
    ASSERT_EQ(0, symlink((dir / "outside").c_str(), (dir / "base/run").c_str()));
    ASSERT_EQ(0, mkdir((dir / "outside/sub").c_str(), 0755));
    // The folder held is still the one resolved: what is made through it
    // lands in the moved folder, never behind the link.
    EXPECT_EQ(held, tree.parentOf("run/sub/second", name));
    ASSERT_EQ(0, close(openat(held, name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600)));
    EXPECT_TRUE(fileExists(dir / "base/moved/sub/second"));
    EXPECT_FALSE(fileExists(dir / "outside/sub/second"));
    // Any other folder, and the same one after release(), is walked anew.
    EXPECT_EQ(ELOOP, walkError(tree, "run/other"));
    tree.release();
    EXPECT_EQ(ELOOP, walkError(tree, "run/sub/second"));
}

INSTANTIATE_TEST_SUITE_P(BothWalks, TrustedTreeTest,
                         testing::Values(TrustedTree::WALK_AUTOMATIC, TrustedTree::WALK_COMPONENTS),
                         [](const testing::TestParamInfo<TrustedTree::Walk>& info) {
                             return info.param == TrustedTree::WALK_AUTOMATIC ? "openat2" : "components";
                         });
