#include <list>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "ledger/DebitCredit.h"

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
    EXPECT_EQ(300, ledger.history(2).back().time);
    EXPECT_TRUE(ledger.history(0).empty());
    EXPECT_TRUE(ledger.getDeleteList(files) && files.size() == 1 && files.front().pathToOrigin() == "/r/./old");
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
    std::vector<std::vector<int64_t>> rows;  // old's failure counted nowhere
    for (const DebitCredit::HistEntry& e : ledger.history(-1))
        rows.push_back({e.time, e.uid, e.gid, e.pending, e.copied, e.failed});
    EXPECT_EQ((decltype(rows){{400, 401, 402, 0, 2, 1}, {300, 301, 302, 0, 0, 0}, {200, 201, 202, 0, 0, 0}}), rows);
    ASSERT_TRUE(ledger.getReplaceByLinkList(files));
    for (const FileInfo& f : files) ledger.insertToLinks(f);
    for (const auto& [n, path, left] : {std::tuple(1, "/r/./5", 1u), std::tuple(5, "/r/./8", 0u)}) {
        ledger.getDeleteLinkList(files, n);
        ASSERT_EQ(1u, files.size());
        EXPECT_EQ(path, files.front().pathToOrigin());
        EXPECT_EQ(left, ledger.currentShiftInProgress());
    }
}
