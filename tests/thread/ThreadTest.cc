#include <errno.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include <gtest/gtest.h>

#include "thread/Thread.h"

namespace {

class CountingThread : public Thread {
public:
    std::mutex mutex;
    std::condition_variable changed;
    int wakeUps = 0;    // guarded by mutex
    bool stop = false;  // guarded by mutex

protected:
    void run() override {
        for (;;) {
            waitForWakeSignal();
            std::lock_guard<std::mutex> lock(mutex);
            ++wakeUps;
            changed.notify_all();
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
    {
        std::unique_lock<std::mutex> lock(thread->mutex);
        ASSERT_TRUE(thread->changed.wait_for(lock, std::chrono::seconds(10), [&] { return thread->wakeUps > 0; }));
    }
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec -= 1;
    EXPECT_EQ(ETIMEDOUT, thread->join(&deadline));
    {
        std::lock_guard<std::mutex> lock(thread->mutex);
        thread->stop = true;
    }
    thread->awaken();
    deadline.tv_sec += 11;
    ASSERT_EQ(0, thread->join(&deadline));
    // A second kept wake-up would have been counted before the stopping one.
    EXPECT_EQ(2, thread->wakeUps);
    delete thread;
}
