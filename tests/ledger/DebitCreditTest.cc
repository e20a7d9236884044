#include <atomic>
#include <chrono>
#include <condition_variable>
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

namespace {

using Paths = std::vector<std::string>;
using Counts = std::vector<int64_t>;

Paths paths(const std::list<FileInfo>& files) {
    Paths result;
    for (const FileInfo& file : files) result.push_back(file.pathToOrigin().substr(5));
    return result;
}

FileInfo file(const std::string& name, int64_t time = 100) {
    return FileInfo("/r/./" + name, time);
}

Counts counts(const DebitCredit::HistEntry& e) {
    return {e.time, e.uid, e.gid, e.pending, e.copied, e.failed};
}

}  // namespace

TEST(DebitCreditTest, TrackingLedgerMovesFilesFromBufferToLinkAndDeleteLists) {
    DebitCredit ledger(5, DebitCredit::TRACK_FILES);
    ledger.setTavroTime(100, 1001, 1002);
    FileInfo a = file("a"), failed = file("failed"), removed = file("removed"), linkFails = file("bad"), b = file("b");
    for (const FileInfo& f : {a, failed, removed, linkFails, b}) ledger.insertToBuffer(f);
    EXPECT_TRUE(ledger.flushBuffer());
    std::list<FileInfo> out = {file("own")};  // emptied by every call that hands files over
    ASSERT_TRUE(ledger.getCopyList(out));
    EXPECT_EQ((Paths{"a", "failed", "removed", "bad", "b"}), paths(out));
    EXPECT_FALSE(ledger.getCopyList(out) || !out.empty());
    for (const FileInfo& f : {a, removed, linkFails, b}) ledger.insertToCredits(f);
    ledger.insertToFailedCopies(failed);
    EXPECT_EQ(4, ledger.size());  // copied files stay in progress until linked or removed
    EXPECT_EQ((Counts{100, 1001, 1002, 0, 4, 1}), counts(ledger.history(1).front()));
    ASSERT_TRUE(ledger.getReplaceByLinkList(out));
    EXPECT_EQ((Paths{"a", "removed", "bad", "b"}), paths(out));
    EXPECT_FALSE(ledger.getReplaceByLinkList(out) || !out.empty());
    ledger.insertToLinks(a);
    ledger.insertToLinks(b);
    ledger.forgetAbout(removed);
    ledger.insertToFailedLinks(linkFails);
    EXPECT_EQ(2, ledger.size());  // links stay in progress until the inode relief takes them
    ledger.getDeleteLinkList(out, 1);
    EXPECT_EQ(Paths{"a"}, paths(out));  // oldest first
    ledger.getDeleteLinkList(out, 10);
    EXPECT_EQ(Paths{"b"}, paths(out));
    EXPECT_EQ(0, ledger.size());
    EXPECT_TRUE(ledger.getDeleteList(out));
    EXPECT_EQ((Paths{"failed", "bad"}), paths(out));
}

TEST(DebitCreditTest, UserShiftsSendFinishedAndLateFilesOfEarlierShiftsToDeletionAndAgeTheHistory) {
    DebitCredit ledger(5, DebitCredit::TRACK_FILES);
    ledger.setTavroTime(100, 1, 1);
    FileInfo waiting = file("waiting"), linked = file("linked"), inBuffer = file("buffer"), copying = file("copying"),
             failing = file("failing"), linking = file("linking"), trashed = file("trashed"), gone = file("gone");
    for (const FileInfo& f : {waiting, linked, copying, failing, linking, trashed, gone}) ledger.insertToBuffer(f);
    ledger.flushBuffer();
    std::list<FileInfo> held, toDelete;
    ledger.getCopyList(held);
    for (const FileInfo& f : {linked, linking, trashed, gone}) ledger.insertToCredits(f);
    ASSERT_TRUE(ledger.getReplaceByLinkList(held));  // the link thread holds these four
    ledger.insertToLinks(linked);
    ledger.insertToCredits(waiting);  // waits for the link thread
    ledger.insertToBuffer(inBuffer);

    ledger.setTavroTime(200, 2, 2);
    EXPECT_EQ(200, ledger.tavroTime());
    EXPECT_EQ(0u, ledger.currentShiftInProgress());
    EXPECT_EQ(6u, ledger.earlierShiftsInProgress());  // waiting and linked are done
    EXPECT_TRUE(ledger.getDeleteList(toDelete));
    EXPECT_EQ((Paths{"waiting", "linked"}), paths(toDelete));
    EXPECT_TRUE(ledger.getDeleteList(toDelete) && toDelete.empty());  // nothing now, but more will come
    EXPECT_FALSE(ledger.getReplaceByLinkList(held));
    FileInfo fresh = file("fresh", 200), late = file("late");
    ledger.insertToBuffer(fresh);
    ledger.insertToBuffer(late);  // of the old shift, announced only now
    EXPECT_EQ(1u, ledger.currentShiftInProgress());
    EXPECT_EQ(7u, ledger.earlierShiftsInProgress());
    // Every later booking of an old-shift file ends in the delete list.
    ledger.insertToCredits(copying);
    ledger.insertToFailedCopies(failing);
    ledger.insertToLinks(linking);
    ledger.insertToTrash(trashed);
    ledger.forgetAbout(gone);
    ledger.insertToFailedCopies(inBuffer);
    ledger.insertToCredits(late);
    EXPECT_EQ(0u, ledger.earlierShiftsInProgress());
    EXPECT_TRUE(ledger.getDeleteList(toDelete));
    EXPECT_EQ((Paths{"copying", "failing", "linking", "trashed", "buffer", "late"}), paths(toDelete));
    EXPECT_FALSE(ledger.getDeleteList(toDelete));
    EXPECT_EQ((Counts{200, 2, 2, 1, 0, 0}), counts(ledger.history(-1).front()));
    EXPECT_EQ((Counts{100, 1, 1, 0, 7, 2}), counts(ledger.history(-1).back()));
    ledger.insertToCredits(fresh);  // the way of the current shift
    EXPECT_TRUE(ledger.getReplaceByLinkList(held));
    EXPECT_EQ(Paths{"fresh"}, paths(held));

    // The history keeps the newest five shifts; files of older ones are booked all the same.
    for (int64_t time = 300; time <= 700; time += 100) ledger.setTavroTime(time, time + 1, time + 2);
    ASSERT_EQ(5u, ledger.history(-1).size());
    EXPECT_EQ((Counts{700, 701, 702, 0, 0, 0}), counts(ledger.history(-1).front()));
    EXPECT_EQ(300, ledger.history(-1).back().time);
    ASSERT_EQ(2u, ledger.history(2).size());
    EXPECT_EQ(600, ledger.history(2).back().time);
    EXPECT_TRUE(ledger.history(0).empty());
    ledger.insertToBuffer(late);
    ledger.insertToFailedCopies(late);
    EXPECT_TRUE(ledger.getDeleteList(toDelete));  // fresh is still with the link thread
    EXPECT_EQ(Paths{"late"}, paths(toDelete));
    for (const DebitCredit::HistEntry& entry : ledger.history(4)) EXPECT_EQ(0u, entry.pending + entry.failed);
    DebitCredit shortest(0, DebitCredit::COUNT_ONLY);  // a length below one keeps one entry
    shortest.setTavroTime(10, 0, 0);
    shortest.setTavroTime(20, 0, 0);
    EXPECT_EQ(1u, shortest.history(-1).size());
}

// A reader announces while copy workers, a link thread and a deletion thread
// book, and a user shift falls in the middle of each round: every file must
// leave exactly once, no count may stay on either side of a shift, and the
// history must hold every copy and failure.
TEST(DebitCreditTest, ManyThreadsBookingAtOnceLoseNoFileAndNoCount) {
    const size_t perRound = 400, rounds = 200;
    DebitCredit ledger(rounds + 2, DebitCredit::TRACK_FILES);
    ledger.setTavroTime(1, 0, 0);
    std::mutex doneMutex;
    std::condition_variable doneChanged;
    std::set<std::string> left;  // guarded by doneMutex, as is
    int repeats = 0;             // the count of files that left twice
    auto leave = [&](const std::list<FileInfo>& files) {
        std::lock_guard<std::mutex> lock(doneMutex);
        for (const FileInfo& f : files) repeats += !left.insert(f.pathToOrigin()).second;
        doneChanged.notify_all();
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
        std::list<FileInfo> removed;
        ledger.getReplaceByLinkList(pending);
        for (const FileInfo& f : pending) {
            linkFates[fate(f, 4)](ledger, f);
            if (fate(f, 4) == 0) removed.push_back(f);
        }
        leave(removed);
        ledger.getDeleteLinkList(pending, 5);
        leave(pending);
    });
    loop([&](std::list<FileInfo>& toDelete) {
        ledger.getDeleteList(toDelete);
        leave(toDelete);
    });

    std::mt19937 random(7);
    int unbalanced = 0;
    bool allLeft = true;
    for (size_t round = 1; round <= rounds && allLeft; ++round) {
        std::atomic<size_t> announced{0};
        std::thread reader([&]() {  // stamps files as the pipe reader does
            for (size_t i = 0; i < perRound; ++i, ++announced)
                ledger.insertToBuffer(file(std::to_string(round * perRound + i), ledger.tavroTime()));
        });
        const size_t shiftAfter = random() % perRound;
        while (announced < shiftAfter) std::this_thread::yield();
        ledger.setTavroTime(round + 1, round, round);
        reader.join();
        std::unique_lock<std::mutex> lock(doneMutex);
        allLeft =
            doneChanged.wait_for(lock, std::chrono::seconds(60), [&]() { return left.size() >= round * perRound; });
        unbalanced += ledger.currentShiftInProgress() != 0 || ledger.earlierShiftsInProgress() != 0;
    }
    stop = true;
    for (std::thread& thread : threads) thread.join();
    EXPECT_TRUE(allLeft);
    EXPECT_EQ(0, unbalanced);
    EXPECT_EQ(0, repeats);
    uint32_t booked = 0;
    for (const DebitCredit::HistEntry& entry : ledger.history(-1)) {
        EXPECT_EQ(0u, entry.pending) << entry.time;
        booked += entry.copied + entry.failed;
    }
    EXPECT_EQ(rounds * perRound, booked);
}
