#include <errno.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

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
    CountingThread* thread = new CountingThread;
    thread->awaken();
    thread->awaken();
    ASSERT_EQ(0, thread->start());
    for (int i = 0; i < 5000 && thread->wakeUps < 1; ++i) usleep(1000);
    EXPECT_EQ(1, thread->wakeUps.load());
    // A negative can only be watched for a while: had the second awaken()
    // been kept as well, the thread would count it within this window.
    usleep(20000);
    EXPECT_EQ(1, thread->wakeUps.load());

    thread->stop = true;
    thread->awaken();
    EXPECT_EQ(0, thread->join());
    delete thread;
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
    delete thread;
}

namespace {

// Tells the test when it has entered run(), then sleeps on its wake flag.
class SleepingThread : public Thread {
public:
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;  // guarded by mutex
    bool woke = false;     // guarded by mutex

protected:
    void run() override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            entered = true;
            changed.notify_all();
        }
        waitForWakeSignal();
        std::lock_guard<std::mutex> lock(mutex);
        woke = true;
    }
};

}  // namespace

TEST(ThreadTest, CancelInWaitForWakeSignalReleasesWakeMutexAndMarksFinished) {
    SleepingThread* thread = new SleepingThread;  // deleted only once its thread has ended
    ASSERT_EQ(0, thread->start());
    {
        std::unique_lock<std::mutex> lock(thread->mutex);
        ASSERT_TRUE(thread->changed.wait_for(lock, std::chrono::seconds(10), [&] { return thread->entered; }));
    }
    // Cancellation is deferred: whether the thread already sleeps or not, it is
    // acted on in the condition wait of waitForWakeSignal().
    ASSERT_EQ(0, thread->cancel());
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 10;
    ASSERT_EQ(0, thread->join(&deadline));
    {
        std::lock_guard<std::mutex> lock(thread->mutex);
        EXPECT_FALSE(thread->woke);
    }

    // A wake mutex still held by the dead thread would block this for ever
    // (it is recursive, so only its owner could take it again).
    std::mutex doneMutex;
    std::condition_variable doneChanged;
    bool done = false;
    std::thread producer([&] {
        thread->awaken();
        thread->waitForWakeSignal();  // consumes the wake-up at once
        std::lock_guard<std::mutex> lock(doneMutex);
        done = true;
        doneChanged.notify_all();
    });
    std::unique_lock<std::mutex> lock(doneMutex);
    bool released = doneChanged.wait_for(lock, std::chrono::seconds(10), [&] { return done; });
    lock.unlock();
    if (!released) {
        producer.detach();  // blocked for good; the test's process ends with it
        FAIL() << "the wake mutex stayed locked after the cancellation";
    }
    producer.join();
    delete thread;  // its thread has ended, and the producer is gone
}
