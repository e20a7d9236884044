#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ledger/DebitCredit.h"
#include "ledger/FileInfo.h"

namespace {

std::vector<std::string> paths(const std::list<FileInfo>& files) {
    std::vector<std::string> result;
    for (const FileInfo& file : files) result.push_back(file.pathToOrigin());
    return result;
}

using Paths = std::vector<std::string>;

// A list that an operation must leave as it is.
std::list<FileInfo> untouchable() {
    return std::list<FileInfo>{FileInfo("/caller/./own", 1)};
}

}  // namespace

TEST(DebitCreditTest, TrackingLedgerKeepsAFileFromBufferToLinkAndDeleteLists) {
    DebitCredit ledger(5, DebitCredit::TRACK_FILES);
    ledger.setTavroTime(100, 1001, 1002);
    FileInfo copied("/r/./copied", 100), failed("/r/./failed", 100), removed("/r/./removed", 100),
        linkFails("/r/./linkfails", 100);
    for (const FileInfo& file : {copied, failed, removed, linkFails}) ledger.insertToBuffer(file);
    EXPECT_EQ(4, ledger.size());
    EXPECT_EQ(4u, ledger.history(1).front().pending);

    EXPECT_TRUE(ledger.flushBuffer());
    EXPECT_FALSE(ledger.flushBuffer());
    std::list<FileInfo> batch;
    ASSERT_TRUE(ledger.getCopyList(batch));
    EXPECT_EQ((Paths{"/r/./copied", "/r/./failed", "/r/./removed", "/r/./linkfails"}), paths(batch));
    // The lists hold the same records, not copies of them.
    batch.front().setFlag(FileInfo::INTERNAL_COPIED);
    EXPECT_TRUE(copied.isSet(FileInfo::INTERNAL_COPIED));
    EXPECT_FALSE(ledger.getCopyList(batch));
    EXPECT_TRUE(batch.empty());

    ledger.insertToCredits(copied);
    ledger.insertToCredits(removed);
    ledger.insertToCredits(linkFails);
    ledger.insertToFailedCopies(failed);
    EXPECT_EQ(3, ledger.size());  // copied files stay in progress until linked or removed
    DebitCredit::HistEntry entry = ledger.history(1).front();
    EXPECT_EQ(0u, entry.pending);
    EXPECT_EQ(3u, entry.copied);
    EXPECT_EQ(1u, entry.failed);

    std::list<FileInfo> pending;
    ASSERT_TRUE(ledger.getReplaceByLinkList(pending));
    EXPECT_EQ((Paths{"/r/./copied", "/r/./removed", "/r/./linkfails"}), paths(pending));
    EXPECT_FALSE(ledger.getReplaceByLinkList(pending));
    EXPECT_TRUE(pending.empty());

    ledger.insertToLinks(copied);
    EXPECT_EQ(3, ledger.size());
    ledger.forgetAbout(removed);
    ledger.insertToFailedLinks(linkFails);
    EXPECT_EQ(1, ledger.size());

    std::list<FileInfo> links;
    ledger.getDeleteLinkList(links, 10);
    EXPECT_EQ((Paths{"/r/./copied"}), paths(links));
    EXPECT_EQ(0, ledger.size());

    std::list<FileInfo> toDelete = untouchable();
    EXPECT_TRUE(ledger.getDeleteList(toDelete));
    EXPECT_EQ((Paths{"/r/./failed", "/r/./linkfails"}), paths(toDelete));
    EXPECT_FALSE(ledger.getDeleteList(toDelete));
    EXPECT_TRUE(toDelete.empty());
}

TEST(DebitCreditTest, CountOnlyLedgerCountsFilesButKeepsNoneAfterTheirCopy) {
    DebitCredit ledger(5, DebitCredit::COUNT_ONLY);
    std::list<FileInfo> batch = untouchable();
    EXPECT_FALSE(ledger.getCopyList(batch));  // a new ledger is empty
    EXPECT_TRUE(batch.empty());
    EXPECT_TRUE(ledger.history(-1).empty());
    EXPECT_EQ(0, ledger.size());
    ledger.setTavroTime(100, 0, 0);
    FileInfo copied("/r/./copied", 100), failed("/r/./failed", 100), linked("/r/./linked", 100),
        trashed("/r/./trashed", 100), forgotten("/r/./forgotten", 100);
    for (const FileInfo& file : {copied, failed, linked, trashed, forgotten}) ledger.insertToBuffer(file);
    ledger.flushBuffer();
    ASSERT_TRUE(ledger.getCopyList(batch));
    EXPECT_EQ(5u, batch.size());

    ledger.insertToCredits(copied);
    ledger.insertToFailedCopies(failed);
    EXPECT_EQ(3, ledger.size());
    ledger.insertToLinks(linked);  // of the current shift: nothing happens
    EXPECT_EQ(3, ledger.size());
    ledger.insertToTrash(trashed);
    ledger.insertToFailedLinks(linked);
    ledger.forgetAbout(forgotten);
    EXPECT_EQ(0, ledger.size());
    DebitCredit::HistEntry entry = ledger.history(1).front();
    EXPECT_EQ(3u, entry.pending);  // only copies and failed copies leave pending
    EXPECT_EQ(1u, entry.copied);
    EXPECT_EQ(1u, entry.failed);

    std::list<FileInfo> out = untouchable();
    EXPECT_FALSE(ledger.getReplaceByLinkList(out));
    EXPECT_EQ((Paths{"/caller/./own"}), paths(out));
    ledger.getDeleteLinkList(out, 10);
    EXPECT_EQ((Paths{"/caller/./own"}), paths(out));
    EXPECT_FALSE(ledger.getDeleteList(out));
    EXPECT_EQ((Paths{"/caller/./own"}), paths(out));

    // Across a shift it counts the old files as earlier ones and still deletes nothing.
    FileInfo early("/r/./early", 100), later("/r/./later", 100);
    ledger.insertToBuffer(early);
    ledger.insertToBuffer(later);
    ledger.setTavroTime(200, 0, 0);
    EXPECT_EQ(2u, ledger.earlierShiftsInProgress());
    EXPECT_FALSE(ledger.getDeleteList(out));
    ledger.insertToCredits(early);
    ledger.insertToLinks(later);  // of an earlier shift: leaves the count
    EXPECT_EQ(0, ledger.size());
    EXPECT_EQ(0u, ledger.currentShiftInProgress());
}

TEST(DebitCreditTest, UserShiftSendsFinishedFilesToDeletionAndBooksLateFilesOfTheOldShiftThere) {
    DebitCredit ledger(5, DebitCredit::TRACK_FILES);
    ledger.setTavroTime(100, 1, 1);
    FileInfo waiting("/r/./waiting", 100), linked("/r/./linked", 100), inBuffer("/r/./buffer", 100),
        beingCopied("/r/./copying", 100), failing("/r/./failing", 100), linking("/r/./linking", 100),
        trashed("/r/./trashed", 100), removing("/r/./removing", 100);
    for (const FileInfo& file : {waiting, linked, beingCopied, failing, linking, trashed, removing})
        ledger.insertToBuffer(file);
    ledger.flushBuffer();
    std::list<FileInfo> batch;
    ledger.getCopyList(batch);
    for (const FileInfo& file : {linked, linking, trashed, removing}) ledger.insertToCredits(file);
    std::list<FileInfo> held;
    ASSERT_TRUE(ledger.getReplaceByLinkList(held));  // the link thread holds these four
    EXPECT_EQ(4u, held.size());
    ledger.insertToLinks(linked);
    ledger.insertToCredits(waiting);  // waits for the link thread
    ledger.insertToBuffer(inBuffer);
    EXPECT_EQ(8, ledger.size());

    ledger.setTavroTime(200, 2, 2);
    EXPECT_EQ(200, ledger.tavroTime());
    EXPECT_EQ(0u, ledger.currentShiftInProgress());
    // Waiting and linked files are done; the other six are still on their way.
    EXPECT_EQ(6u, ledger.earlierShiftsInProgress());
    std::list<FileInfo> toDelete;
    EXPECT_TRUE(ledger.getDeleteList(toDelete));
    EXPECT_EQ((Paths{"/r/./waiting", "/r/./linked"}), paths(toDelete));
    EXPECT_TRUE(ledger.getDeleteList(toDelete));  // nothing now, but more will come
    EXPECT_TRUE(toDelete.empty());
    std::list<FileInfo> replace;
    EXPECT_FALSE(ledger.getReplaceByLinkList(replace));

    // Files of the new shift count as current beside the old ones.
    FileInfo fresh("/r/./fresh", 200);
    ledger.insertToBuffer(fresh);
    EXPECT_EQ(1u, ledger.currentShiftInProgress());
    // A file of the old shift announced only now counts as earlier.
    FileInfo late("/r/./late", 100);
    ledger.insertToBuffer(late);
    EXPECT_EQ(7u, ledger.earlierShiftsInProgress());

    // Every later booking of an old-shift file ends in the delete list.
    ledger.insertToCredits(beingCopied);
    ledger.insertToFailedCopies(failing);
    ledger.insertToLinks(linking);
    ledger.insertToTrash(trashed);
    ledger.forgetAbout(removing);
    ledger.insertToFailedCopies(inBuffer);
    EXPECT_EQ(1u, ledger.earlierShiftsInProgress());
    ledger.insertToCredits(late);
    EXPECT_EQ(0u, ledger.earlierShiftsInProgress());
    EXPECT_EQ(1, ledger.size());

    EXPECT_TRUE(ledger.getDeleteList(toDelete));
    EXPECT_EQ((Paths{"/r/./copying", "/r/./failing", "/r/./linking", "/r/./trashed", "/r/./buffer", "/r/./late"}),
              paths(toDelete));
    EXPECT_FALSE(ledger.getDeleteList(toDelete));

    std::list<DebitCredit::HistEntry> history = ledger.history(-1);
    ASSERT_EQ(2u, history.size());
    EXPECT_EQ(200, history.front().time);
    EXPECT_EQ(2u, history.front().uid);
    EXPECT_EQ(1u, history.front().pending);
    EXPECT_EQ(100, history.back().time);
    EXPECT_EQ(0u, history.back().pending);
    EXPECT_EQ(7u, history.back().copied);
    EXPECT_EQ(2u, history.back().failed);

    // The fresh file goes the way of the current shift.
    ledger.insertToCredits(fresh);
    EXPECT_TRUE(ledger.getReplaceByLinkList(replace));
    EXPECT_EQ((Paths{"/r/./fresh"}), paths(replace));
    EXPECT_EQ(1, ledger.size());
}

TEST(DebitCreditTest, HistoryKeepsTheNewestEntriesOfItsLength) {
    DebitCredit ledger(5, DebitCredit::TRACK_FILES);
    for (int64_t time = 1; time <= 6; ++time) ledger.setTavroTime(time, 1000 + time, 2000 + time);
    std::list<DebitCredit::HistEntry> all = ledger.history(-1);
    ASSERT_EQ(5u, all.size());
    int64_t expected = 6;
    for (const DebitCredit::HistEntry& entry : all) {
        EXPECT_EQ(expected, entry.time);
        EXPECT_EQ(static_cast<uint32_t>(1000 + expected), entry.uid);
        EXPECT_EQ(static_cast<uint32_t>(2000 + expected), entry.gid);
        --expected;
    }
    std::list<DebitCredit::HistEntry> newest = ledger.history(2);
    ASSERT_EQ(2u, newest.size());
    EXPECT_EQ(6, newest.front().time);
    EXPECT_EQ(5, newest.back().time);
    EXPECT_TRUE(ledger.history(0).empty());
    EXPECT_EQ(5u, ledger.history(100).size());

    // A file of a shift that has left the history is booked all the same.
    FileInfo old("/r/./old", 1);
    ledger.insertToBuffer(old);
    EXPECT_EQ(1, ledger.size());
    ledger.insertToFailedCopies(old);
    EXPECT_EQ(0, ledger.size());
    std::list<FileInfo> toDelete;
    ledger.getDeleteList(toDelete);
    EXPECT_EQ((Paths{"/r/./old"}), paths(toDelete));
    for (const DebitCredit::HistEntry& entry : ledger.history(-1)) {
        EXPECT_EQ(0u, entry.pending);
        EXPECT_EQ(0u, entry.failed);
    }
}

TEST(DebitCreditTest, HistoryLengthBelowOneKeepsOneEntry) {
    for (int length : {0, -3}) {
        DebitCredit ledger(length, DebitCredit::COUNT_ONLY);
        ledger.setTavroTime(10, 0, 0);
        ledger.setTavroTime(20, 0, 0);
        std::list<DebitCredit::HistEntry> history = ledger.history(-1);
        ASSERT_EQ(1u, history.size());
        EXPECT_EQ(20, history.front().time);
    }
}

TEST(DebitCreditTest, DeleteLinkListHandsOverTheOldestLinks) {
    DebitCredit ledger(5, DebitCredit::TRACK_FILES);
    ledger.setTavroTime(100, 0, 0);
    for (int i = 1; i <= 5; ++i) {
        FileInfo file("/r/./link" + std::to_string(i), 100);
        ledger.insertToBuffer(file);
        ledger.insertToCredits(file);
        ledger.insertToLinks(file);
    }
    std::list<FileInfo> links = untouchable();
    ledger.getDeleteLinkList(links, 0);
    EXPECT_TRUE(links.empty());
    EXPECT_EQ(5, ledger.size());
    ledger.getDeleteLinkList(links, 3);
    EXPECT_EQ((Paths{"/r/./link1", "/r/./link2", "/r/./link3"}), paths(links));
    EXPECT_EQ(2, ledger.size());
    ledger.getDeleteLinkList(links, 10);
    EXPECT_EQ((Paths{"/r/./link4", "/r/./link5"}), paths(links));
    EXPECT_EQ(0, ledger.size());
}

// Producers announce files while copy workers, a link thread, a deletion
// thread and user shifts work on the same ledger, as the storage's threads do.
// Each round announces a batch, shifts while the batch is being worked on and
// waits until every file has left the ledger: then no file may be in progress
// on either side of the shift. At the end every file must have left exactly
// once and the history must hold every copy and failure.
TEST(DebitCreditTest, ManyThreadsBookingAtOnceLoseNoFileAndNoCount) {
    const int producers = 4;
    const int filesPerProducer = 100;
    const int rounds = 200;
    const int total = rounds * producers * filesPerProducer;
    DebitCredit ledger(rounds + 2, DebitCredit::TRACK_FILES);
    ledger.setTavroTime(1, 0, 0);

    std::mutex doneMutex;
    std::condition_variable doneChanged;
    std::map<std::string, int> finished;  // guarded by doneMutex: path -> times it left the ledger
    int finishedCount = 0;                // guarded by doneMutex
    auto leave = [&](const std::list<FileInfo>& files) {
        if (files.empty()) return;
        std::lock_guard<std::mutex> lock(doneMutex);
        for (const FileInfo& file : files) ++finished[file.pathToOrigin()];
        finishedCount += static_cast<int>(files.size());
        doneChanged.notify_all();
    };
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    workers.emplace_back([&]() {  // flush thread
        while (!stop)
            if (!ledger.flushBuffer()) std::this_thread::yield();
    });
    for (int w = 0; w < 3; ++w) {
        workers.emplace_back([&, w]() {  // copy workers: every seventh copy fails
            std::list<FileInfo> batch;
            int n = w;
            while (!stop) {
                if (!ledger.getCopyList(batch)) {
                    std::this_thread::yield();
                    continue;
                }
                for (const FileInfo& file : batch) {
                    if (++n % 7 == 0)
                        ledger.insertToFailedCopies(file);
                    else
                        ledger.insertToCredits(file);
                }
            }
        });
    }
    workers.emplace_back([&]() {  // link thread: links, failed links, removals, link deletion
        std::list<FileInfo> pending;
        std::list<FileInfo> links;
        int n = 0;
        while (!stop) {
            if (ledger.getReplaceByLinkList(pending)) {
                std::list<FileInfo> removed;
                for (const FileInfo& file : pending) {
                    switch (++n % 4) {
                        case 0:
                            ledger.forgetAbout(file);
                            removed.push_back(file);
                            break;
                        case 1:
                            ledger.insertToFailedLinks(file);
                            break;
                        case 2:
                            ledger.insertToTrash(file);
                            break;
                        default:
                            ledger.insertToLinks(file);
                    }
                }
                leave(removed);
            }
            ledger.getDeleteLinkList(links, 5);
            leave(links);
            std::this_thread::yield();
        }
    });
    workers.emplace_back([&]() {  // deletion thread
        std::list<FileInfo> toDelete;
        while (!stop) {
            ledger.getDeleteList(toDelete);
            leave(toDelete);
            std::this_thread::yield();
        }
    });

    std::mt19937 random(7);
    int unbalancedRounds = 0;
    bool allLeft = true;
    for (int round = 1; round <= rounds && allLeft; ++round) {
        std::atomic<int> announced{0};
        std::vector<std::thread> producerThreads;
        for (int p = 0; p < producers; ++p) {
            producerThreads.emplace_back([&, p]() {
                for (int i = 0; i < filesPerProducer; ++i) {
                    // As the pipe reader does: stamped with the shift it saw last.
                    ledger.insertToBuffer(
                        FileInfo("/r/./" + std::to_string(round) + "_" + std::to_string(p) + "_" + std::to_string(i),
                                 ledger.tavroTime()));
                    ++announced;
                }
            });
        }
        int shiftAfter = static_cast<int>(random() % (producers * filesPerProducer));
        while (announced < shiftAfter) std::this_thread::yield();
        ledger.setTavroTime(round + 1, round, round);
        for (std::thread& producer : producerThreads) producer.join();

        std::unique_lock<std::mutex> lock(doneMutex);
        const int expected = round * producers * filesPerProducer;
        allLeft = doneChanged.wait_for(lock, std::chrono::seconds(60), [&]() { return finishedCount >= expected; });
        if (ledger.currentShiftInProgress() != 0 || ledger.earlierShiftsInProgress() != 0) ++unbalancedRounds;
    }
    stop = true;
    for (std::thread& worker : workers) worker.join();

    EXPECT_TRUE(allLeft);
    EXPECT_EQ(0, unbalancedRounds);
    EXPECT_EQ(total, finishedCount);
    EXPECT_EQ(static_cast<size_t>(total), finished.size());
    for (const auto& entry : finished) EXPECT_EQ(1, entry.second) << entry.first;
    EXPECT_EQ(0, ledger.size());
    std::list<FileInfo> rest;
    EXPECT_FALSE(ledger.getDeleteList(rest));
    uint32_t booked = 0;
    for (const DebitCredit::HistEntry& entry : ledger.history(-1)) {
        EXPECT_EQ(0u, entry.pending) << entry.time;
        booked += entry.copied + entry.failed;
    }
    EXPECT_EQ(static_cast<uint32_t>(total), booked);
}
