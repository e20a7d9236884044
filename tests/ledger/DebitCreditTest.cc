#include <atomic>
#include <functional>
#include <list>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ledger/DebitCredit.h"
#include "support/LogWatch.h"

// The history keeps the newest shifts, newest first, as many as its length
// allows and at least one. A file of a shift it no longer holds is counted
// nowhere, and still reaches the deletion. A file of the current shift is
// pending until its copy ends, and in progress until the link thread takes its
// link for removal, the oldest links first.
TEST(DebitCreditTest, HistoryKeepsTheNewestShiftsAndFilesLeavePendingWhenCopiedAndTheCountWithTheirLink) {
    DebitCredit ledger(3, DebitCredit::TRACK_FILES);
    ledger.setTavroTime(100, 1, 1);
    const FileInfo old("/r/./old", 100);
    std::list<FileInfo> files;
    ledger.insertToBuffer(old);
    ASSERT_TRUE(ledger.flushBuffer() && ledger.getCopyList(files));
    for (int64_t time = 200; time <= 400; time += 100) ledger.setTavroTime(time, time + 1, time + 2);
    ledger.insertToFailedCopies(old);
    std::vector<std::vector<int64_t>> rows;
    for (const DebitCredit::HistEntry& e : ledger.history(-1))
        rows.push_back({e.time, e.uid, e.gid, e.pending, e.copied, e.failed});
    EXPECT_EQ((decltype(rows){{400, 401, 402, 0, 0, 0}, {300, 301, 302, 0, 0, 0}, {200, 201, 202, 0, 0, 0}}), rows);
    EXPECT_EQ(300, ledger.history(2).back().time);
    EXPECT_TRUE(ledger.history(0).empty());
    EXPECT_TRUE(ledger.getDeleteList(files));
    ASSERT_EQ(1u, files.size());
    EXPECT_EQ(old.pathToOrigin(), files.front().pathToOrigin());
    EXPECT_FALSE(ledger.getDeleteList(files));
    DebitCredit shortest(0, DebitCredit::COUNT_ONLY);
    for (int64_t time : {10, 20}) shortest.setTavroTime(time, 0, 0);
    EXPECT_EQ(1u, shortest.history(-1).size());

    const int64_t second = 1000000000, now = 10 * second;
    for (int64_t at : {5, 7, 8}) ledger.insertToBuffer(FileInfo("/r/./" + std::to_string(at), 400, 0, at * second));
    ASSERT_TRUE(ledger.flushBuffer() && ledger.getCopyList(files));
    EXPECT_EQ(5 * second, ledger.oldestPendingAge(now));
    const int64_t ages[] = {3, 2, 0};  // of the oldest file still copying as each copy ends, the second failing
    int k = 0;
    for (const FileInfo& f : files) {
        k == 1 ? ledger.insertToFailedCopies(f) : ledger.insertToCredits(f);
        EXPECT_EQ(ages[k++] * second, ledger.oldestPendingAge(now));
    }
    EXPECT_EQ(0, ledger.counters().pending.load());
    ASSERT_TRUE(ledger.getReplaceByLinkList(files));
    for (const FileInfo& f : files) ledger.insertToLinks(f);
    ledger.getDeleteLinkList(files, 1);
    ASSERT_EQ(1u, files.size());
    EXPECT_EQ("/r/./5", files.front().pathToOrigin());
    EXPECT_EQ(1u, ledger.currentShiftInProgress());
    ledger.getDeleteLinkList(files, 5);
    EXPECT_EQ(1u, files.size());
    EXPECT_EQ(0u, ledger.currentShiftInProgress());
}

// A reader announces while copy workers, a link thread and a deletion thread
// book, and a user shift falls in the middle of each round: every file must
// leave exactly once, no count may stay on either side of a shift, and the
// history must hold every copy and failure.
TEST(DebitCreditTest, ManyThreadsBookingAtOnceLoseNoFileAndNoCount) {
    const size_t perRound = 400, rounds = 200;
    DebitCredit ledger(rounds + 2, DebitCredit::TRACK_FILES);
    ledger.setTavroTime(1, 0, 0);
    std::mutex leftMutex;
    std::set<std::string> left;  // guarded by leftMutex, as is
    int repeats = 0;             // the count of files that left twice
    auto leave = [&](const std::list<FileInfo>& files) {
        std::lock_guard<std::mutex> lock(leftMutex);
        for (const FileInfo& f : files) repeats += !left.insert(f.pathToOrigin()).second;
    };
    // Each file's fate follows from its name, whichever thread books it.
    auto fate = [](const FileInfo& f, size_t n) { return std::hash<std::string>()(f.pathToOrigin()) / 3 % n; };
    const std::function<void(DebitCredit&, const FileInfo&)> linkFates[] = {
        [](DebitCredit& d, const FileInfo& f) { d.forgetAbout(f); }, &DebitCredit::insertToFailedLinks,
        &DebitCredit::insertToTrash, &DebitCredit::insertToLinks};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    auto loop = [&](std::function<void(std::list<FileInfo>&)> step) {
        threads.emplace_back([&stop, step]() {
            for (std::list<FileInfo> files; !stop; std::this_thread::yield()) step(files);
        });
    };
    loop([&](std::list<FileInfo>&) { ledger.flushBuffer(); });
    for (int worker = 0; worker < 3; ++worker) {
        loop([&](std::list<FileInfo>& batch) {
            if (!ledger.getCopyList(batch)) return;
            for (const FileInfo& f : batch)
                fate(f, 7) == 0 ? ledger.insertToFailedCopies(f) : ledger.insertToCredits(f);
        });
    }
    loop([&](std::list<FileInfo>& pending) {  // link thread: removals, failed links, hand-backs, links, inode relief
        ledger.getReplaceByLinkList(pending);
        for (const FileInfo& f : pending) {
            linkFates[fate(f, 4)](ledger, f);
            if (fate(f, 4) == 0) leave({f});  // removed
        }
        ledger.getDeleteLinkList(pending, 5);
        leave(pending);
    });
    loop([&](std::list<FileInfo>& toDelete) {
        ledger.getDeleteList(toDelete);
        leave(toDelete);
    });
    std::atomic<int> wrapped{0};  // counts read below 0, as the status service reads them
    loop([&](std::list<FileInfo>&) {
        bool below = ledger.currentShiftInProgress() > perRound || ledger.earlierShiftsInProgress() > 2 * perRound;
        for (const DebitCredit::HistEntry& entry : ledger.history(-1)) below |= entry.pending > perRound;
        wrapped += below;
    });

    std::mt19937 random(7);
    bool balanced = true;
    for (size_t round = 1; round <= rounds && balanced; ++round) {
        std::atomic<size_t> announced{0};
        std::thread reader([&]() {  // stamps files as the pipe reader does
            for (size_t i = 0; i < perRound; ++i, ++announced)
                ledger.insertToBuffer(FileInfo("/r/./" + std::to_string(round * perRound + i), ledger.tavroTime()));
        });
        const size_t shiftAfter = random() % perRound;
        while (announced < shiftAfter) std::this_thread::yield();
        ledger.setTavroTime(round + 1, round, round);
        reader.join();
        // A file finished leaves the count just after it is listed: a moment later.
        balanced = waitUntil(
            [&] {
                std::lock_guard<std::mutex> lock(leftMutex);
                return left.size() >= round * perRound && ledger.currentShiftInProgress() == 0 &&
                       ledger.earlierShiftsInProgress() == 0;
            },
            60);
    }
    stop = true;
    for (std::thread& thread : threads) thread.join();
    EXPECT_TRUE(balanced) << left.size() << " files left, " << ledger.currentShiftInProgress() << " and "
                          << ledger.earlierShiftsInProgress() << " still in progress";
    EXPECT_EQ(0, repeats);
    EXPECT_EQ(0, wrapped);
    size_t booked = 0, pending = 0;
    for (const DebitCredit::HistEntry& e : ledger.history(-1)) booked += e.copied + e.failed, pending += e.pending;
    EXPECT_EQ(std::make_pair(rounds * perRound, size_t(0)), std::make_pair(booked, pending));
}
