#include <unistd.h>

#include <gtest/gtest.h>

#include "util/Stop.h"

// The stop is process-wide and one-way: it is asked for in a child of its own.
TEST(StopTest, AStepUnderWayIsWaitedForAndOneRefusedAtTheStopIsNotCounted) {
    EXPECT_EXIT(
        {
            UTILITIES::FileStep* running = new UTILITIES::FileStep;
            UTILITIES::requestStop();
            const bool refused = !UTILITIES::FileStep().allowed();
            const bool waited = running->allowed() && UTILITIES::fileSteps() == 1 && !UTILITIES::waitForFileSteps(0.01);
            delete running;
            _exit(refused && waited && UTILITIES::fileSteps() == 0 && UTILITIES::waitForFileSteps(0) ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}
