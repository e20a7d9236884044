#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "events/Publisher.h"
#include "support/TempDir.h"

// The broker's password is taken only from a regular file that no one but
// its owner may read, never through a link; its first line is the password.
TEST(PasswordFileTest, OnlyAnOwnersFileReachedWithoutALinkGivesItsFirstLine) {
    TempDir dir;
    writeFile(dir / "secret", "s3cret word\r\nsecond line\n");
    ASSERT_EQ(0, symlink((dir / "secret").c_str(), (dir / "link").c_str()));
    std::string password, why;
    const std::pair<mode_t, std::string> modes[] = {
        {0644, "is open to others (mode 0644)"}, {0640, "is open to others (mode 0640)"}, {0600, ""}, {0400, ""}};
    for (const auto& [mode, refusal] : modes) {
        ASSERT_EQ(0, chmod((dir / "secret").c_str(), mode));
        why = password = "";
        EXPECT_EQ(refusal.empty(), EVENTS::readPasswordFile(dir / "secret", password, why)) << mode;
        EXPECT_EQ(refusal.empty() ? "s3cret word" : "", password);
        EXPECT_EQ(refusal, why.substr(0, refusal.size()));
    }
    EXPECT_FALSE(EVENTS::readPasswordFile(dir / "link", password, why));
    EXPECT_FALSE(EVENTS::readPasswordFile(dir.path(), password, why));
    EXPECT_EQ("is no regular file", why);
    if (geteuid() == 0) {  // a file of another user is refused even where root may read it
        ASSERT_EQ(0, chown((dir / "secret").c_str(), 65534, 65534));
        EXPECT_FALSE(EVENTS::readPasswordFile(dir / "secret", password, why));
        EXPECT_EQ("is not root's", why);
    }
}
