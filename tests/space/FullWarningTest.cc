#include <gtest/gtest.h>

#include <cmath>

#include "space/FillTrend.h"

// One second apart, 1 MB a second with a jitter of 30 kB; draining at the
// same rate; a pause longer than the window forgets what came before it.
TEST(FullWarningTest, EstimateFollowsTheRateOfWritingAndFreeing) {
    const double size = 64e6, second = 1e9;
    FillTrend filling, draining, paused;
    for (int s = 0; s < 12; ++s) {
        filling.add(s * second, 1e6 * s + (s % 2 ? 3e4 : -3e4), size);
        draining.add(s * second, 40e6 - 1e6 * s, size);
        paused.add((s < 6 ? s : s + 20) * second, 1e6 * s, size);
        EXPECT_TRUE(s != 1 || filling.secondsToFull() == INFINITY) << "two samples";
    }
    EXPECT_NEAR((size - 11e6 + 3e4) / 1e6, filling.secondsToFull(), 0.5);
    EXPECT_EQ(INFINITY, draining.secondsToFull());
    EXPECT_NEAR((size - 11e6) / 1e6, paused.secondsToFull(), 0.1);
    // A measurement right after the last one counts for the free space only.
    filling.add(11.1 * second, 60e6, size);
    EXPECT_NEAR(4.0, filling.secondsToFull(), 0.1);
}
