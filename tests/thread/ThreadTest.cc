#include <errno.h>
#include <time.h>

#include <atomic>

#include <gtest/gtest.h>

#include "thread/Thread.h"

namespace {

class CountingThread : public Thread {
public:
    std::atomic<int> wakeUps{0};
    std::atomic<bool> stop{false};

protected:
    void run() override {
        while (!stop) {
            waitForWakeSignal();
            ++wakeUps;
        }
    }
};

}  // namespace

TEST(ThreadTest, JoinOnNeverStartedThreadReturnsAtOnce) {
    CountingThread thread;
    EXPECT_EQ(0, thread.join());
}

TEST(ThreadTest, AwakenBeforeWaitIsKeptAndSeveralCountOnce) {
    CountingThread* thread = new CountingThread;  // lives with its thread, as in the daemon
    thread->awaken();
    thread->awaken();
    ASSERT_EQ(0, thread->start());
    for (int i = 0; i < 500 && thread->wakeUps < 1; ++i) usleep(1000);
    EXPECT_EQ(1, thread->wakeUps.load());
    usleep(20000);
    EXPECT_EQ(1, thread->wakeUps.load());  // the second awaken() was folded into the first

    thread->stop = true;
    thread->awaken();
    EXPECT_EQ(0, thread->join());
}

TEST(ThreadTest, JoinWithPassedDeadlineOnRunningThreadTimesOut) {
    CountingThread* thread = new CountingThread;
    ASSERT_EQ(0, thread->start());
    struct timespec past;
    clock_gettime(CLOCK_REALTIME, &past);
    past.tv_sec -= 1;
    EXPECT_EQ(ETIMEDOUT, thread->join(&past));
    thread->stop = true;
    thread->awaken();
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 10;
    EXPECT_EQ(0, thread->join(&deadline));
}
