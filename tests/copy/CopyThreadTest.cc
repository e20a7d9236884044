#include <algorithm>
#include <numeric>
#include <regex>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "copy/CopyThread.h"
#include "support/CopyRig.h"
#include "support/LogWatch.h"
#include "util/Time.h"

// Many small batches, each summary listing its names one by one, pass the
// size limit again and again while two workers write.
TEST(CopyThreadTest, LogRotatesBySizeBetweenBatchesWithoutLosingALine) {
    CopyRig rig;
    Storage::Params params = rig.params("disk", Storage::INTERNAL);
    params.logfile_max_size = 4096;
    params.logfile_max_number = 1000;  // no backup falls off the end
    params.n_copy_processes = 2;
    Storage* storage = CopyRig::start(params);
    std::multiset<std::string> names, listed;
    for (int i = 0; i < 1000; ++i) {
        const std::string name = "r" + std::to_string(i / 50) + "/f" + std::to_string(i % 50);
        names.insert(name);
        storage->insertToBuffer(CopyRig::file(rig.source(name, "x")));
        storage->flushBuffer();
        ASSERT_TRUE(i % 50 != 49 || CopyRig::waitForBooked(*storage, i + 1)) << i;  // batch by batch
    }
    auto log = [&](int backup) { return params.logfile + (backup < 0 ? "" : "." + std::to_string(backup)); };
    int backups = 0;
    // Each name once in the log and its backups; the last summaries follow the bookings.
    EXPECT_TRUE(CopyRig::waitUntil([&]() {
        listed.clear();
        for (backups = -1; fileExists(log(backups)); ++backups) {
            std::istringstream lines(readFile(log(backups)));
            for (std::string line; std::getline(lines, line);)
                if (names.count(line) != 0) listed.insert(line);
        }
        return listed == names;
    })) << listed.size()
        << " names listed of " << names.size();
    EXPECT_LE(2, backups);
    for (int k = 0; k < backups; ++k) {
        const std::string backup = readFile(log(k));
        EXPECT_TRUE(backup.size() > 4096 && backup.back() == '\n') << k << ": " << backup.size() << " bytes";
    }
}

// Seven files waiting at once are dealt out in announcement order up to the
// caps: by files three at a time; by bytes two of 1000 at a time, a file
// above the cap going alone.
TEST(CopyThreadTest, CappedJobsDealTheWaitingFilesOverTheWorkers) {
    for (const bool byBytes : {false, true}) {
        CopyRig rig;
        Storage::Params params = rig.params("disk", Storage::INTERNAL);
        params.n_copy_processes = 2;
        (byBytes ? params.copy_job_max_bytes : params.copy_job_max_files) = byBytes ? 2500 : 3;
        Storage* storage = CopyRig::start(params);
        for (int i = 0; i < 7; ++i)
            storage->insertToBuffer(
                CopyRig::file(rig.source("f" + std::to_string(i), std::string(i == 4 ? 5000 : 1000, 'x'))));
        storage->flushBuffer();
        ASSERT_TRUE(CopyRig::waitForBooked(*storage, 7));
        std::vector<int> jobs;
        ASSERT_TRUE(CopyRig::waitUntil([&]() {  // the summaries follow the bookings
            jobs.clear();
            const std::string log = readFile(params.logfile);
            const std::regex summary("(\\d+) files successfully copied");
            for (std::sregex_iterator at(log.begin(), log.end(), summary), end; at != end; ++at)
                jobs.push_back(std::stoi((*at)[1]));
            return std::accumulate(jobs.begin(), jobs.end(), 0) == 7 &&
                   countInFile(params.logfile, "Copy job started") == static_cast<int>(jobs.size());
        }));
        std::sort(jobs.begin(), jobs.end());
        EXPECT_EQ(byBytes ? std::vector<int>({1, 2, 2, 2}) : std::vector<int>({1, 3, 3}), jobs) << byBytes;
    }
}

// Each failed attempt doubles the pause before the next, plus up to a tenth
// at random, up to copy_retry_max_delay.
TEST(CopyThreadTest, RetriesWaitTwiceAsLongAfterEachFailureUpToTheMaximum) {
    CopyRig rig;
    Storage::Params params = rig.params("disk", Storage::INTERNAL);
    params.copy_retry_max_delay = 8;
    DebitCredit ledger(5, DebitCredit::TRACK_FILES);
    CopyThread scheduler(ledger, params);  // never started: only its retry book-keeping is used
    const int64_t second = 1000000000, before = UTILITIES::monotonicNanoseconds();
    for (uint32_t attempts = 1; attempts <= 5; ++attempts)
        scheduler.retryLater(CopyRig::file(rig.source("f" + std::to_string(attempts), "x")), attempts);
    std::list<DebitCredit::Retry> due;
    ledger.getDueRetries(due, before + 100 * second);
    ASSERT_EQ(5u, due.size());
    for (const DebitCredit::Retry& retry : due) {
        const int64_t pause = std::min<int64_t>(second << (retry.attempts - 1), 8 * second);
        EXPECT_GE(retry.due - before, pause) << retry.attempts;
        EXPECT_LE(retry.due - before, pause + pause / 10 + second / 10) << retry.attempts;
    }
}
