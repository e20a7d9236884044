#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "ledger/FileInfo.h"

// The read lock belongs to the record, not to the handle it was taken by:
// when that handle moves on to another record, the lock still holds and its
// end still frees the first record's lock.
TEST(FileInfoTest, AReadLockStaysWithItsRecordWhenTheHandleMovesOn) {
    FileInfo first("/ramdisk/./run1/img_00001.cbf", 1700000000);
    FileInfo samePath("/ramdisk/./run1/img_00001.cbf", 1700000000), keeper(first);
    auto reading = std::make_shared<FileInfo::ReadLock>(first);
    first = samePath;
    EXPECT_EQ(0, samePath.lockWrite());  // a record of its own, a lock of its own
    EXPECT_EQ(0, samePath.unlock());
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> written = done->get_future();
    std::thread([keeper, done]() mutable {  // detached: a lock never freed fails the test, not hangs it
        keeper.lockWrite();
        keeper.unlock();
        done->set_value();
    })
        .detach();
    EXPECT_EQ(std::future_status::timeout, written.wait_for(std::chrono::milliseconds(50)));  // the reader holds it
    reading.reset();
    EXPECT_EQ(std::future_status::ready, written.wait_for(std::chrono::seconds(10)));
}
