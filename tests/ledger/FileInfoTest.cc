#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

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
    { FileInfo::WriteLock own(samePath); }  // a record of its own, a lock of its own
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> written = done->get_future();
    std::thread([keeper, done]() mutable {  // detached: a lock never freed fails the test, not hangs it
        FileInfo::WriteLock writing(keeper);
        done->set_value();
    })
        .detach();
    EXPECT_EQ(std::future_status::timeout, written.wait_for(std::chrono::milliseconds(50)));  // the reader holds it
    reading.reset();
    EXPECT_EQ(std::future_status::ready, written.wait_for(std::chrono::seconds(10)));
}

// Files of one folder and shift share what they have in common: each file
// still reads back its own path and shift, whatever came before it, and every
// identity comes back as it was recorded, times before 1970 included.
TEST(FileInfoTest, PathsShiftsAndIdentitiesComeBackAsTheyWentIn) {
    const std::vector<std::pair<std::string, int64_t>> made = {
        {"/r/./a/x", 1}, {"/r/./a/y", 1}, {"/r/./a/z", 2}, {"/r/./ab/x", 2}, {"/r/./a/x", 2}, {"plain", 2}, {"/", 3}};
    std::vector<FileInfo> files;
    for (const auto& m : made) files.emplace_back(m.first, m.second);
    for (size_t i = 0; i < made.size(); ++i)
        EXPECT_EQ(made[i], std::make_pair(files[i].pathToOrigin(), files[i].tavroTime()));
    const FileIdentity before1970{0x10803, 77, 4096, -5, 123456789},
        after2100{0x803, 1ull << 40, 0, 4102444800, 999999999};
    files[0].recordSource(before1970);
    files[0].recordCopy(FileInfo::EXTERNAL_COPIED, after2100);
    EXPECT_FALSE(files[0].copy(FileInfo::EXTERNAL_COPIED).known());  // not published yet
    files[0].setFlag(FileInfo::EXTERNAL_COPIED);
    EXPECT_EQ(before1970, files[0].source());
    EXPECT_EQ(after2100, files[0].copy(FileInfo::EXTERNAL_COPIED));
    EXPECT_FALSE(files[0].copy(FileInfo::INTERNAL_COPIED).known() || files[1].source().known());
}
