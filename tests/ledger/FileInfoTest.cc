#include <pthread.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ledger/FileInfo.h"

TEST(FileInfoTest, CopiesShareOneRecordAndANewRecordIsIndependent) {
    FileInfo first("/ramdisk/./run1/img_00001.cbf", 1700000000);
    FileInfo copy(first);
    FileInfo assigned("/elsewhere/./x", 1);
    assigned = first;
    FileInfo samePath("/ramdisk/./run1/img_00001.cbf", 1700000000);

    copy.setFlag(FileInfo::INTERNAL_COPIED);
    EXPECT_TRUE(first.isSet(FileInfo::INTERNAL_COPIED));
    EXPECT_TRUE(assigned.isSet(FileInfo::INTERNAL_COPIED));
    EXPECT_FALSE(samePath.isSet(FileInfo::INTERNAL_COPIED));
    EXPECT_EQ("/ramdisk/./run1/img_00001.cbf", assigned.pathToOrigin());
    EXPECT_EQ(1700000000, assigned.tavroTime());

    // A record of its own has a lock of its own: a writer on one does not
    // wait for a reader of the other.
    FileInfo::ReadLock reading(first);
    EXPECT_EQ(0, samePath.lockWrite());
    EXPECT_EQ(0, samePath.unlock());
}

TEST(FileInfoTest, IsSetAnswersForAnyBitOfTheMask) {
    struct Case {
        uint32_t set;
        uint32_t asked;
        bool expected;
    };
    const Case cases[] = {
        {0, FileInfo::EXTERNAL_LINK_STARTED | FileInfo::EXTERNAL_REMOVAL_STARTED, false},
        {FileInfo::EXTERNAL_LINK_STARTED, FileInfo::EXTERNAL_LINK_STARTED | FileInfo::EXTERNAL_REMOVAL_STARTED, true},
        {FileInfo::EXTERNAL_REMOVAL_STARTED, FileInfo::EXTERNAL_LINK_STARTED | FileInfo::EXTERNAL_REMOVAL_STARTED,
         true},
        {FileInfo::INTERNAL_LINKED, FileInfo::INTERNAL_REMOVED, false},
        {FileInfo::EXTERNAL_REMOVED, FileInfo::EXTERNAL_REMOVED, true},
        {FileInfo::INTERNAL_COPY_STARTED, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.set);
        FileInfo file("/r/./f", 0);
        if (c.set != 0) file.setFlag(c.set);
        file.setFlag(c.set);  // a second time changes nothing
        EXPECT_EQ(c.expected, file.isSet(c.asked));
    }
}

TEST(FileInfoTest, BitsSetByManyThreadsAtOnceAreAllKept) {
    // Each round gives a fresh record to twelve threads that each set their
    // own bit through their own handle, released together.
    for (int round = 0; round < 200; ++round) {
        FileInfo file("/r/./f", round);
        pthread_barrier_t start;
        pthread_barrier_init(&start, nullptr, 12);
        std::vector<std::thread> threads;
        for (int bit = 0; bit < 12; ++bit) {
            threads.emplace_back([file, bit, &start]() mutable {
                pthread_barrier_wait(&start);
                file.setFlag(1u << bit);
            });
        }
        for (std::thread& thread : threads) thread.join();
        pthread_barrier_destroy(&start);
        for (int bit = 0; bit < 12; ++bit) ASSERT_TRUE(file.isSet(1u << bit)) << "round " << round << " bit " << bit;
    }
}

namespace {

// Runs work on a thread of its own; false when it has not finished within
// `seconds` (a deadlock then fails the test instead of hanging it).
bool finishesWithin(std::function<void()> work, double seconds = 10) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([work, done]() {
        work();
        done->set_value();
    }).detach();
    return finished.wait_for(std::chrono::duration<double>(seconds)) == std::future_status::ready;
}

}  // namespace

TEST(FileInfoTest, ReadLockIsSharedByReadersAndReleasedAtItsEnd) {
    FileInfo file("/r/./f", 0);
    {
        FileInfo::ReadLock reading(file);
        EXPECT_TRUE(finishesWithin([file]() { FileInfo::ReadLock alsoReading(file); }));
    }
    EXPECT_TRUE(finishesWithin([file]() mutable {
        file.lockWrite();
        file.unlock();
    }));
}
