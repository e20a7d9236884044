#include <algorithm>
#include <list>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "copy/CopyThread.h"
#include "support/CopyRig.h"
#include "util/Time.h"

namespace {

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

}  // namespace

// Many small batches, each summary listing its names one by one, pass the
// size limit again and again while two workers write.
TEST(CopyThreadTest, LogRotatesBySizeBetweenBatchesWithoutLosingALine) {
    CopyRig rig;
    Storage::Params params = rig.params("disk", Storage::INTERNAL);
    params.logfile_max_size = 4096;
    params.logfile_max_number = 1000;  // no backup falls off the end
    params.n_copy_processes = 2;
    Storage* storage = CopyRig::start(params);
    std::vector<std::string> names;
    for (int round = 0; round < 20; ++round) {
        for (int i = 0; i < 50; ++i) {
            names.push_back("r" + std::to_string(round) + "/f" + std::to_string(i));
            storage->insertToBuffer(CopyRig::file(rig.source(names.back(), "x")));
            storage->flushBuffer();
        }
        ASSERT_TRUE(CopyRig::waitForBooked(*storage, names.size()));
    }
    int backups = 0;
    auto wholeLog = [&]() {
        std::string text = "\n";
        for (backups = 0; fileExists(params.logfile + "." + std::to_string(backups));) ++backups;
        for (int k = backups - 1; k >= 0; --k) text += readFile(params.logfile + "." + std::to_string(k));
        return text + readFile(params.logfile);
    };
    ASSERT_TRUE(CopyRig::waitUntil([&]() {  // the last summaries follow the bookings
        const std::string log = wholeLog();
        for (const std::string& name : names)
            if (log.find("\n" + name + "\n") == std::string::npos) return false;
        return true;
    }));
    const std::string log = wholeLog();
    for (const std::string& name : names) EXPECT_EQ(1u, occurrences(log, "\n" + name + "\n")) << name;
    EXPECT_LE(2, backups);
    for (int k = 0; k < backups; ++k) {
        const std::string backup = readFile(params.logfile + "." + std::to_string(k));
        EXPECT_LT(4096u, backup.size());
        EXPECT_EQ('\n', backup.back());
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
            int copied = 0;
            for (int job : jobs) copied += job;
            return copied == 7 && occurrences(log, "Copy job started") == jobs.size();
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
