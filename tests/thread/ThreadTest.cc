#include <errno.h>
#include <time.h>

#include <atomic>

#include <gtest/gtest.h>

#include "support/LogWatch.h"
#include "thread/Thread.h"

namespace {

class CountingThread : public Thread {
public:
    std::atomic<int> wakeUps{0};
    std::atomic<bool> stop{false};

protected:
    void run() override {
        for (;;) {
            waitForWakeSignal();
            ++wakeUps;
            if (stop) return;
        }
    }
};

}  // namespace

TEST(ThreadTest, WakeUpsBeforeTheWaitFoldIntoOneAndJoinKeepsItsDeadline) {
    CountingThread never;
    EXPECT_EQ(0, never.join());  // never started: at once

    CountingThread* thread = new CountingThread;  // deleted only once its thread has ended
    thread->awaken();
    thread->awaken();
    ASSERT_EQ(0, thread->start());
    ASSERT_TRUE(waitUntil([&] { return thread->wakeUps > 0; }, 10));
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec -= 1;
    EXPECT_EQ(ETIMEDOUT, thread->join(&deadline));
    thread->stop = true;
    thread->awaken();
    deadline.tv_sec += 11;
    ASSERT_EQ(0, thread->join(&deadline));
    // A second kept wake-up would have been counted before the stopping one.
    EXPECT_EQ(2, thread->wakeUps);
    delete thread;
}
