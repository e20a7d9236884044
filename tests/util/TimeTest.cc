#include <signal.h>
#include <sys/time.h>

#include <chrono>

#include <gtest/gtest.h>

#include "util/Time.h"

// Alarms every 30 ms interrupt nanosleep() (no SA_RESTART): the remainders must
// be resumed, so the pause of a half-second step plus a rest lasts as asked.
TEST(TimeTest, SleepLastsAtLeastTheRequestDespiteSignals) {
    struct sigaction action = {}, saved;
    action.sa_handler = [](int) {};
    ASSERT_EQ(0, sigaction(SIGALRM, &action, &saved));
    struct itimerval every30ms = {{0, 30000}, {0, 30000}}, off = {};
    ASSERT_EQ(0, setitimer(ITIMER_REAL, &every30ms, nullptr));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, UTILITIES::sleepNanoSeconds(700000000));
    auto slept = std::chrono::steady_clock::now() - start;
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &saved, nullptr);
    EXPECT_GE(slept, std::chrono::nanoseconds(700000000));
}
