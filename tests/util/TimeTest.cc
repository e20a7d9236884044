#include <signal.h>
#include <sys/time.h>
#include <time.h>

#include <atomic>
#include <string>

#include <gtest/gtest.h>

#include "util/Time.h"

namespace {

std::atomic<int> alarms{0};

void countAlarm(int) {
    ++alarms;
}

int64_t monotonicNanoseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

}  // namespace

// Alarms every 30 ms interrupt nanosleep(); each pause must still last at least
// as long as asked, the remainder resumed and the half-second steps all taken.
TEST(TimeTest, SleepLastsAtLeastTheRequestDespiteSignals) {
    struct sigaction action = {}, savedAction;
    action.sa_handler = countAlarm;  // no SA_RESTART: nanosleep returns EINTR
    ASSERT_EQ(0, sigaction(SIGALRM, &action, &savedAction));
    struct itimerval every30ms = {{0, 30000}, {0, 30000}}, off = {};
    ASSERT_EQ(0, setitimer(ITIMER_REAL, &every30ms, nullptr));

    for (int64_t nanoseconds : {0LL, 1000LL, 500000000LL, 1200000000LL}) {
        int64_t start = monotonicNanoseconds();
        EXPECT_EQ(0, UTILITIES::sleepNanoSeconds(nanoseconds));
        EXPECT_GE(monotonicNanoseconds() - start, nanoseconds);
    }
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &savedAction, nullptr);
    EXPECT_GT(alarms.load(), 10);  // the sleeps really were interrupted
}

TEST(TimeTest, AsciiTimeIsCurrentLocalTimeWithNewline) {
    time_t before = time(nullptr);
    std::string text = UTILITIES::asciiTime();
    time_t after = time(nullptr);
    ASSERT_EQ(25u, text.size()) << text;
    EXPECT_EQ('\n', text.back());
    struct tm parsed = {};
    ASSERT_NE(nullptr, strptime(text.c_str(), "%a %b %e %H:%M:%S %Y", &parsed)) << text;
    parsed.tm_isdst = -1;
    time_t shown = mktime(&parsed);
    EXPECT_LE(before, shown);
    EXPECT_GE(after, shown);
}
