#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <iterator>
#include <list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "intake/ListThread.h"
#include "ledger/DebitListThread.h"
#include "support/CopyRig.h"
#include "support/FifoWriter.h"
#include "support/LogWatch.h"
#include "util/Time.h"

namespace {

const std::string rejection = "Error: Rejected announcement ";

// Files a storage has booked over all shifts: pending, copied or failed.
size_t booked(Storage& storage) {
    size_t total = 0;
    for (const DebitCredit::HistEntry& entry : storage.history(-1))
        total += entry.pending + entry.copied + entry.failed;
    return total;
}

// A reader over real storages (INTERNAL, EXTERNAL, OPTIONAL) set up as the start-up does, on a named pipe not made
// yet. Reader and storages are never deleted: their threads run until the test's process ends.
struct Intake {
    Intake() : pipe(rig.dir / "vellort_quorvin_files"), log(rig.dir / "vellort.log"), writer(pipe) {
        for (StorageType type : {Storage::INTERNAL, Storage::EXTERNAL, Storage::OPTIONAL}) {
            Storage::Params params = rig.params("storage" + std::to_string(toInt(type)), type);
            params.logfile = log;  // one log, with the reader's lines
            params.history_max_entries = 50;
            for (Storage* before : storages) params.alternativeSourceDirs.push_back(before->getParams().target);
            if (type == Storage::EXTERNAL) params.origin = storages[0]->getParams().target;
            storages.push_back(new Storage(params));
        }
    }

    void start() { ASSERT_EQ(0, (new ListThread(storages, log, pipe, rig.ramdisk))->start()); }

    // Writes a file at the announced path (marker collapsed) for the storages to copy; returns the announcement line.
    static std::string sourceFile(const std::string& announced) {
        std::string path = announced;
        for (size_t at = path.find("/./"); at != std::string::npos; at = path.find("/./")) path.erase(at, 2);
        CopyRig::put(path, announced);
        return announced + "\n";
    }
    // Every storage that keeps its copies holds these relative paths. The
    // INTERNAL copies leave with a user shift once an EXTERNAL storage holds them.
    bool waitForCopies(const std::vector<std::string>& relative) {
        return waitUntil([&]() {
            for (size_t i = 1; i < storages.size(); ++i)
                for (const std::string& copy : relative)
                    if (!fileExists(storages[i]->getParams().target + "/" + copy)) return false;
            return true;
        });
    }

    CopyRig rig;
    const std::string pipe, log;
    std::vector<Storage*> storages;
    FifoWriter writer;
};

}  // namespace

// No pipe at first, then a link to a pipe elsewhere, which is never followed: both are tried again; a plain file in its
// place is moved aside unread and a pipe made. Which line is a shift, a file or refused is AnnouncementTest's; here the
// reader acts on it: the storages copy below the marker, shifts with files get a time of their own even within one
// second (an empty one gives its place to the next unless a second passed), refusals are logged with their reason, and
// bad input neither stops the reader nor loses what follows it.
TEST(ListThreadTest, PipeIsMadeSafelyFilesReachEveryStorageShiftsGetSecondsOfTheirOwnAndBadInputStopsNothing) {
    Intake intake;
    const std::string R = intake.rig.ramdisk;
    ASSERT_EQ(0, symlink((intake.rig.dir / "elsewhere").c_str(), (R + "/linked").c_str()));
    const int64_t before = time(nullptr);
    intake.start();
    ASSERT_TRUE(waitForLogCount(intake.log, "Error: Reading from " + intake.pipe + " returned EOF\n", 1));
    const std::string elsewhere = intake.rig.dir / "elsewhere.fifo";
    ASSERT_TRUE(mkfifo(elsewhere.c_str(), 0600) == 0 && symlink(elsewhere.c_str(), intake.pipe.c_str()) == 0);
    FifoWriter linked(elsewhere);  // opens only once the reader has followed the link; it looks every second
    EXPECT_FALSE(linked.open(5));
    ASSERT_EQ(0, unlink(intake.pipe.c_str()));
    writeFile(intake.pipe, Intake::sourceFile(R + "/./plain.cbf"));  // never read: the first shift books the two below
    ASSERT_TRUE(waitForLogCount(intake.log, "Warning: " + intake.pipe + " was a regular file: moved it aside", 1));
    const int eofs = countInFile(intake.log, "returned EOF");
    ASSERT_TRUE(intake.writer.open());
    Intake::sourceFile(R + "/run1/img_00002.cbf");
    ASSERT_TRUE(intake.writer.write(Intake::sourceFile(R + "/data/./run1/img_00001.cbf") + R +
                                    "/run1//img_00002.cbf more words\n"));
    const DebitListThread::PollundInfo atStart = DebitListThread::getPollundInfo();
    EXPECT_EQ(0u, atStart.uid + atStart.gid);
    EXPECT_TRUE(before <= atStart.time && atStart.time <= time(nullptr)) << atStart.time;

    ASSERT_TRUE(intake.writer.write("usershift: 1001 1002\n" + Intake::sourceFile(R + "/data/./run1/img_00003.cbf")));
    ASSERT_TRUE(waitForLogCount(intake.log, "Removing files from previous users\n", 3));  // once per storage
    const DebitListThread::PollundInfo shift = DebitListThread::getPollundInfo();
    const std::string plusLine(72, '+');
    EXPECT_EQ(1, countInFile(intake.log, "\n" + plusLine + "\n\nUsershift on " + UTILITIES::asciiTime(shift.time) +
                                             " with uid=1001 gid=1002\n\n" + plusLine + "\n\n"));
    ASSERT_TRUE(intake.waitForCopies({"run1/img_00001.cbf", "img_00002.cbf", "run1/img_00003.cbf"}));

    // Three shifts at once, refusals, and a copy that fails for a folder not there.
    ASSERT_TRUE(intake.writer.write("usershift: 1 1\nusershift: 2 2\nimg.cbf\n" + R +
                                    "/linked/./run/x.cbf\nusershift: 3 3\n" + R + "/./not/there.cbf\n" +
                                    Intake::sourceFile(R + "/./sentinel.cbf")));
    ASSERT_TRUE(intake.waitForCopies({"sentinel.cbf"}));
    EXPECT_EQ(1, countInFile(intake.log, rejection + "img.cbf: no directory part\n"));
    EXPECT_EQ(
        1, countInFile(intake.log, rejection + R + "/linked/./run/x.cbf: a directory on the way is a symbolic link\n"));
    EXPECT_EQ(2, countInFile(intake.log, rejection));
    const std::vector<std::vector<int64_t>> expected = {{3, 3, 2}, {1001, 1002, 1}, {0, 0, 2}};
    for (Storage* storage : intake.storages) {  // newest first: users and files booked, times falling
        const std::list<DebitCredit::HistEntry> history = storage->history(-1);
        std::vector<std::vector<int64_t>> rows;
        for (auto e = history.begin(); e != history.end(); ++e) {
            if (e->uid != 1 && e->uid != 2) rows.push_back({e->uid, e->gid, e->pending + e->copied + e->failed});
            EXPECT_TRUE(e == history.begin() || e->time < std::prev(e)->time) << e->uid;
        }
        EXPECT_EQ(expected, rows);
        EXPECT_EQ(shift.time, std::next(history.rbegin())->time);
        EXPECT_EQ(atStart.time, history.back().time);
    }

    // Bad input, cut into lines as LineFramingTest shows: a line too long is refused, a NUL line is a pause.
    const std::vector<std::string> badInput = {std::string(100000, 'y') + "\n", "\n",
                                               std::string("\0/r/./nul.cbf\n", 14)};
    std::vector<std::string> copies;
    for (size_t k = 0; k < badInput.size(); ++k) {
        copies.push_back("after_" + std::to_string(k) + ".cbf");
        ASSERT_TRUE(intake.writer.write(badInput[k] + Intake::sourceFile(R + "/./" + copies.back())));
    }
    for (int i = 0; i < 20; ++i) {  // a writer that comes and goes, as the acquisition program may
        intake.writer.close();
        ASSERT_TRUE(intake.writer.open());
        copies.push_back("reopened_" + std::to_string(i) + ".cbf");
        ASSERT_TRUE(intake.writer.write(Intake::sourceFile(R + "/./" + copies.back())));
    }
    ASSERT_TRUE(intake.waitForCopies(copies));
    for (Storage* storage : intake.storages) EXPECT_EQ(5 + copies.size(), booked(*storage));  // and the shifts' five

    EXPECT_EQ(eofs, countInFile(intake.log, "returned EOF"));
    EXPECT_EQ(1,
              countInFile(intake.log, rejection + std::string(256, 'y') + "...: the line is longer than 1022 bytes\n"));
    EXPECT_EQ(0, countInFile(intake.log, "nul.cbf"));
}
