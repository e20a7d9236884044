#include <errno.h>

#include <gtest/gtest.h>

#include "health/StorageHealth.h"
#include "support/LogWatch.h"
#include "support/TempDir.h"

// A storage without a target_mount: a failure of its disk's kind makes it failing and holds its releases; a file's own
// error does not; a few copy errors a minute go out in full; the next copy brings it back and lets it vouch for
// releases again, whether or not the watch has looked meanwhile.
TEST(StorageHealthTest, ACopyMadeBringsAnUnwatchedStorageBackAndItsReleasesWithIt) {
    TempDir directory;
    StorageHealth::Settings settings;
    settings.storageID = "disk";
    settings.target = directory / "target";
    settings.logfile = directory / "vellort.log";
    StorageHealth health(settings);
    EXPECT_TRUE(health.releasable());
    health.targetFailed(ENOENT);
    EXPECT_EQ(StorageHealth::UP, health.snapshot().state);
    health.targetFailed(EIO);
    EXPECT_EQ(StorageHealth::FAILING, health.snapshot().state);
    EXPECT_FALSE(health.releasable());
    int reported = 0;
    for (int i = 0; i < 10; ++i) reported += health.mayReport();
    EXPECT_TRUE(reported >= 3 && reported <= 6) << reported;  // a minute may turn meanwhile
    health.copyMade();
    EXPECT_EQ(StorageHealth::UP, health.snapshot().state);
    EXPECT_TRUE(health.releasable());
    EXPECT_EQ(1, countInFile(settings.logfile, "disk: Error: Storage disk is failing: Input/output error"));
    EXPECT_EQ(1, countInFile(settings.logfile, "disk: Storage disk is up again after "));
}
