#include <algorithm>
#include <numeric>
#include <regex>

#include <gtest/gtest.h>

#include "copy/CopyThread.h"
#include "support/CopyRig.h"
#include "support/LogWatch.h"
#include "util/Time.h"

// Seven files waiting at once are dealt out in announcement order up to the caps: by files three at a time; by bytes
// two of 1000 at a time, a file above the cap going alone.
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

// Each failed attempt doubles the pause before the next, plus up to a tenth at random, up to copy_retry_max_delay.
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
