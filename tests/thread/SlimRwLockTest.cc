#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "thread/SlimRwLock.h"

namespace {

// True when `step` returns within 10 s: the lock let it in.
bool getsIn(std::future<void>& step) {
    return step.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
}

}  // namespace

TEST(SlimRwLockTest, ReadersShareAndGetInPastAWaitingWriterWhichGetsInOnceTheyAreGone) {
    SlimRwLock lock;
    lock.lockRead();
    std::future<void> second = std::async(std::launch::async, [&] { lock.lockRead(); });
    ASSERT_TRUE(getsIn(second));
    std::future<void> writer = std::async(std::launch::async, [&] { lock.lockWrite(); });
    EXPECT_NE(std::future_status::ready, writer.wait_for(std::chrono::milliseconds(50)));
    std::future<void> third = std::async(std::launch::async, [&] { lock.lockRead(); });
    ASSERT_TRUE(getsIn(third));  // as with the default POSIX lock, readers first
    for (int reader = 0; reader < 3; ++reader) lock.unlock();
    EXPECT_TRUE(getsIn(writer));
}

// Threads that read and write at random never see a writer beside anyone,
// and no sleeper is left behind: every thread ends.
TEST(SlimRwLockTest, WritersAreAloneUnderContentionAndNoWakeUpIsLost) {
    SlimRwLock lock;
    std::atomic<int> readersIn(0), writersIn(0), overlaps(0), ready(0);
    const int threads = 4, rounds = 100000;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (ready.fetch_add(1); ready.load() < threads;) std::this_thread::yield();  // all at once
            for (int i = 0; i < rounds; ++i) {
                if ((i + t) % 3 == 0) {
                    lock.lockWrite();
                    if (writersIn.fetch_add(1) != 0 || readersIn.load() != 0) ++overlaps;
                    writersIn.fetch_sub(1);
                } else {
                    lock.lockRead();
                    readersIn.fetch_add(1);
                    if (writersIn.load() != 0) ++overlaps;
                    readersIn.fetch_sub(1);
                }
                lock.unlock();
            }
        });
    for (std::thread& worker : workers) worker.join();
    EXPECT_EQ(0, overlaps.load());
}
