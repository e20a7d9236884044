#include <chrono>
#include <future>

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
