#include <glob.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "journal/Journal.h"
#include "support/LogWatch.h"
#include "support/TempDir.h"

namespace {

const std::vector<std::string> storages = {"disk", "archive", "spare"};
enum { DISK, ARCHIVE, SPARE };
const std::string hash = "0123456789abcdef0123456789abcdef";

struct JournalFixture : ::testing::Test {
    TempDir dir;
    std::string path = dir / "lib/vellort/journal.sqlite";
    std::unique_ptr<Journal> journal;
    Journal::Contents contents;

    // A fresh object on the same file, as at a restart.
    void reopen(int historyEntries = 5) {
        journal.reset();
        contents = Journal::Contents();
        journal.reset(new Journal(path, storages, historyEntries, dir / "vellort.log", nullptr));
        ASSERT_TRUE(journal->open(contents));
        ASSERT_EQ(0, journal->start());
    }
    void shift(int64_t time, uint32_t uid) { journal->record({{true, journal->nextFileId(), "", time, uid, uid + 1}}); }
    // Announced with its name's length as its size.
    int64_t announce(const std::string& name, int64_t time) {
        const int64_t id = journal->newFileId();
        journal->record({{false, id, "/ram/./" + name, time, 0, 0, static_cast<int64_t>(name.size())}});
        return id;
    }
    // The first value of the first row `sql` gives, -1 for none.
    int64_t query(const std::string& sql) {
        sqlite3* db = nullptr;
        EXPECT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
        sqlite3_stmt* statement = nullptr;
        EXPECT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr));
        const int64_t value = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : -1;
        sqlite3_finalize(statement);
        sqlite3_close(db);
        return value;
    }
    std::vector<std::string> asideFiles() {
        glob_t found;
        std::vector<std::string> paths;
        if (glob((dir / "lib/vellort/*.corrupt-*").c_str(), 0, nullptr, &found) == 0)
            paths.assign(found.gl_pathv, found.gl_pathv + found.gl_pathc);
        globfree(&found);
        return paths;
    }
};

}  // namespace

// A file that is no journal is moved aside with an error, and the daemon goes on with a fresh one. A journal
// of schema 1 is upgraded in place. Each step comes back as booked, with its attempts, with the shift and the
// history's counts, and each file with its hash; files every storage is done with are left out, and new files
// get numbers after every number used. A journal a newer version wrote is moved aside too.
TEST_F(JournalFixture, UnreadableJournalsAreMovedAsideAndEveryStepComesBackAsBookedAfterARestart) {
    makeDirectories(dir / "lib/vellort");
    const std::string garbage(8192, 'x');
    writeFile(path, garbage);
    reopen();
    EXPECT_FALSE(contents.haveShift);
    std::vector<std::string> aside = asideFiles();
    ASSERT_EQ(1u, aside.size());
    EXPECT_EQ(garbage, readFile(aside[0]));
    EXPECT_EQ(1, countInFile(dir / "vellort.log", "Error: The journal " + path + " cannot be read: "));
    shift(1000, 7);
    std::vector<int64_t> ids{announce("pending", 1000)};
    journal.reset();
    // Schema 3 is schema 1 with these columns added last; a file announced before has no size.
    for (const char* drop :
         {"files DROP size", "files DROP hash", "history DROP verified", "history DROP verify_failed"})
        query(std::string("ALTER TABLE ") + drop);
    query("PRAGMA user_version = 1");
    reopen();
    EXPECT_EQ(Journal::schemaVersion, query("PRAGMA user_version"));
    for (const char* name : {"retrying", "copied", "linked", "failed", "finished"}) ids.push_back(announce(name, 1000));
    const HistoryChange failed = HistoryChange::moved(HistoryChange::PENDING, HistoryChange::FAILED);
    journal->book(ids[1], DISK, {Journal::RETRYING, 3}, 1000, failed);
    journal->book(ids[2], DISK, {Journal::COPIED}, 1000, HistoryChange::copiedFrom(HistoryChange::PENDING, true));
    journal->bookVerification(DISK, 1000, false);
    journal->bookHash(ids[2], hash);
    journal->book(ids[2], SPARE, {Journal::COPIED, 0, true}, 1000, HistoryChange::copiedFromPending());
    journal->book(ids[3], ARCHIVE, {Journal::LINKED}, 1000);
    journal->book(ids[4], DISK, {Journal::FAILED}, 1000, failed);
    for (int storage : {DISK, ARCHIVE, SPARE}) journal->book(ids[5], storage, {Journal::DELETED, 0, true}, 1000);
    journal->flush(5);
    reopen();
    EXPECT_EQ((std::vector<int64_t>{1, 1000, 7, 8}),
              (std::vector<int64_t>{contents.haveShift, contents.shiftTime, contents.uid, contents.gid}));
    auto row = [](const Journal::Count& c) {
        return std::vector<int64_t>{c.time, c.uid, c.gid, c.pending, c.copied, c.failed, c.verified, c.verifyFailed};
    };
    // Six announced, three booked on the disk, one on the spare.
    EXPECT_EQ((std::vector<int64_t>{1000, 7, 8, 3, 1, 2, 1, 1}), row(contents.history.at(DISK).at(0)));
    EXPECT_EQ((std::vector<int64_t>{1000, 7, 8, 5, 1, 0, 0, 0}), row(contents.history.at(SPARE).at(0)));
    // Each file as "path shift size hash:" and per storage "state/attempts", "+" once done with it.
    std::vector<std::string> files;
    for (const Journal::OpenFile& f : contents.files) {
        files.push_back(f.path + " " + std::to_string(f.shift) + " " + std::to_string(f.size) + " " + f.hash + ":");
        for (const Journal::Step& s : f.steps)
            files.back() += " " + std::to_string(s.state) + "/" + std::to_string(s.attempts) + (s.done ? "+" : "");
    }
    EXPECT_EQ((std::vector<std::string>{"/ram/./pending 1000 -1 : 0/0 0/0 0/0", "/ram/./retrying 1000 8 : 1/3 0/0 0/0",
                                        "/ram/./copied 1000 6 " + hash + ": 2/0 0/0 2/0+",
                                        "/ram/./linked 1000 6 : 0/0 4/0 0/0", "/ram/./failed 1000 6 : 3/0 0/0 0/0"}),
              files);
    EXPECT_GT(journal->newFileId(), ids.back());

    journal.reset();
    const std::string newer = std::to_string(Journal::schemaVersion + 1);
    query("PRAGMA user_version = " + newer);
    sleep(1);  // a second name for the second file moved aside
    reopen();
    EXPECT_FALSE(contents.haveShift);
    EXPECT_EQ(2u, asideFiles().size());
    EXPECT_EQ(1, countInFile(dir / "vellort.log", "it was written by a newer version (schema " + newer + ", this"));
}

// At a shift, files of shifts older than the ones kept go once every storage
// is done with them; an unfinished one stays however old, and the history
// keeps its last entries only.
TEST_F(JournalFixture, FinishedFilesOfOldShiftsArePrunedAndUnfinishedOnesStay) {
    reopen(2);
    shift(100, 1);
    const int64_t finished = announce("finished", 100), unfinished = announce("unfinished", 100);
    for (int storage : {DISK, ARCHIVE, SPARE}) journal->book(finished, storage, {Journal::DELETED, 0, true}, 100);
    for (int storage : {DISK, SPARE}) journal->book(unfinished, storage, {Journal::DELETED, 0, true}, 100);
    for (int64_t time = 101; time < 100 + Journal::keptShifts; ++time) shift(time, 1);
    journal->flush(5);
    EXPECT_EQ(2, query("SELECT count(*) FROM files"));  // their shift is still among the kept ones

    shift(100 + Journal::keptShifts, 1);
    journal->flush(5);
    EXPECT_EQ(1, query("SELECT count(*) FROM files"));
    EXPECT_EQ(unfinished, query("SELECT id FROM files"));
    EXPECT_EQ(2, query("SELECT count(*) FROM steps"));
    EXPECT_EQ(2 * 3, query("SELECT count(*) FROM history"));
    reopen(2);
    ASSERT_EQ(1u, contents.files.size());
    EXPECT_EQ(unfinished, contents.files[0].id);
    EXPECT_EQ(2u, contents.history[DISK].size());
    EXPECT_EQ(100 + Journal::keptShifts, contents.history[DISK].front().time);
}
