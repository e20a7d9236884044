#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "intake/ListThread.h"
#include "ledger/DebitListThread.h"
#include "support/CopyRig.h"
#include "support/FifoWriter.h"
#include "support/LogWatch.h"

namespace {

const std::string removingLine = "Removing files from previous users\n";
const std::string rejection = "Error: Rejected announcement ";

// Files a storage has booked over all shifts: pending, copied or failed.
size_t booked(Storage& storage) {
    size_t total = 0;
    for (const DebitCredit::HistEntry& entry : storage.history(-1))
        total += entry.pending + entry.copied + entry.failed;
    return total;
}

std::string asciiTimeOf(time_t seconds) {
    struct tm local;
    char text[64];
    return asctime_r(localtime_r(&seconds, &local), text);
}

// Shift time, user, group and files booked of a history entry.
std::vector<int64_t> row(const DebitCredit::HistEntry& e) {
    return {e.time, e.uid, e.gid, e.pending + e.copied + e.failed};
}

// A reader over real storages (INTERNAL, EXTERNAL, OPTIONAL, as many as asked)
// set up as the start-up does, on a real named pipe. Reader and storages are
// never deleted: their threads run until the test's process ends.
struct Intake {
    explicit Intake(int storageCount = 3, bool makePipe = true)
        : pipe(rig.dir / "vellort_quorvin_files"), log(rig.dir / "vellort.log"), writer(pipe) {
        if (makePipe && mkfifo(pipe.c_str(), 0600) != 0) ADD_FAILURE() << "mkfifo " << pipe;
        for (int type = 0; type < storageCount; ++type) {
            Storage::Params params = rig.params("storage" + std::to_string(type), type);
            params.logfile = log;  // one log, with the reader's lines
            params.history_max_entries = 50;
            for (Storage* before : storages) params.alternativeSourceDirs.push_back(before->getParams().target);
            if (type == Storage::EXTERNAL) params.origin = storages[0]->getParams().target;
            storages.push_back(new Storage(params));
        }
    }

    void start() { ASSERT_EQ(0, (new ListThread(storages, log, pipe, rig.ramdisk))->start()); }

    // Writes a file at the announced path (marker collapsed) for the storages
    // to copy; returns the announcement line.
    static std::string sourceFile(const std::string& announced) {
        std::string path = announced;
        for (size_t at = path.find("/./"); at != std::string::npos; at = path.find("/./")) path.erase(at, 2);
        CopyRig::put(path, announced);
        return announced + "\n";
    }
    // Every storage that keeps its copies holds these relative paths. The
    // INTERNAL copies leave with a user shift once an EXTERNAL storage holds them.
    bool waitForCopies(const std::vector<std::string>& relative) {
        return CopyRig::waitUntil([&]() {
            for (size_t i = storages.size() > 1 ? 1 : 0; i < storages.size(); ++i)
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

TEST(ListThreadTest, AnnouncementsAndUserShiftsReachEveryStorageWithTheirShiftTimesAndUsers) {
    Intake intake;
    const std::string ramdisk = intake.rig.ramdisk;
    const int64_t before = time(nullptr);
    intake.start();
    ASSERT_TRUE(intake.writer.open());
    Intake::sourceFile(ramdisk + "/run1/img_00002.cbf");
    ASSERT_TRUE(intake.writer.write(Intake::sourceFile(ramdisk + "/data/./run1/img_00001.cbf") + "   " + ramdisk +
                                    "/run1//img_00002.cbf more words\n"));
    const DebitListThread::PollundInfo atStart = DebitListThread::getPollundInfo();
    EXPECT_EQ(0u, atStart.uid + atStart.gid);
    EXPECT_LE(before, atStart.time);
    EXPECT_GE(time(nullptr), atStart.time);

    ASSERT_TRUE(
        intake.writer.write("usershift: 1001 1002\n" + Intake::sourceFile(ramdisk + "/data/./run1/img_00003.cbf")));
    ASSERT_TRUE(waitForLogCount(intake.log, removingLine, 3));  // once per storage
    const DebitListThread::PollundInfo shift = DebitListThread::getPollundInfo();
    EXPECT_GT(shift.time, atStart.time);
    const std::string plusLine(72, '+');
    EXPECT_EQ(1, countInFile(intake.log, "\n" + plusLine + "\n\nUsershift on " + asciiTimeOf(shift.time) +
                                             " with uid=1001 gid=1002\n\n" + plusLine + "\n\n"));
    // Below each target: the part after the marker, or the file name when there is none.
    ASSERT_TRUE(intake.waitForCopies({"run1/img_00001.cbf", "img_00002.cbf", "run1/img_00003.cbf"}));
    for (Storage* storage : intake.storages) {  // two files booked in the shift before, one after
        ASSERT_EQ(2u, storage->history(-1).size());
        EXPECT_EQ((std::vector<int64_t>{shift.time, 1001, 1002, 1}), row(storage->history(-1).front()));
        EXPECT_EQ((std::vector<int64_t>{atStart.time, 0, 0, 2}), row(storage->history(-1).back()));
    }

    // The numbers are read one by one; one that cannot be read keeps its value.
    const std::tuple<const char*, uint32_t, uint32_t> cases[] = {
        {"usershift: abc 7\n", 1001, 7},
        {"usershift: 12\n", 12, 7},
        {"usershift: 4294967296 4294967295 anything after\n", 12, 4294967295u},
        {"usershift:\t-5   9\n", 12, 9},
        {"   usershift: 0 0\n", 0, 0}};
    int64_t previousTime = shift.time;
    int shifts = 1;
    for (const auto& [line, uid, gid] : cases) {
        SCOPED_TRACE(line);
        ASSERT_TRUE(intake.writer.write(line));
        ASSERT_TRUE(waitForLogCount(intake.log, removingLine, 3 * ++shifts));
        const DebitListThread::PollundInfo next = DebitListThread::getPollundInfo();
        EXPECT_EQ(std::make_pair(uid, gid), std::make_pair(next.uid, next.gid));
        EXPECT_GT(next.time, previousTime);  // shifts in the same second still get times of their own
        previousTime = next.time;
        const std::string users = " with uid=" + std::to_string(uid) + " gid=" + std::to_string(gid) + "\n";
        EXPECT_EQ(1, countInFile(intake.log, users));
    }
    // Digits glued to the keyword make no shift.
    ASSERT_TRUE(intake.writer.write("usershift:5 6\n" + Intake::sourceFile(ramdisk + "/./sentinel.cbf")));
    ASSERT_TRUE(intake.waitForCopies({"sentinel.cbf"}));
    EXPECT_EQ(shifts, countInFile(intake.log, "Usershift on "));
    EXPECT_EQ(1, countInFile(intake.log, rejection + "usershift:5: no directory part\n"));
    EXPECT_EQ(shifts + 1u, intake.storages[0]->history(-1).size());
}

TEST(ListThreadTest, AnnouncementsOutsideTheRamDiskOrThroughALinkAreRejectedWithTheirReason) {
    Intake intake(2);
    const std::string R = intake.rig.ramdisk;
    ASSERT_EQ(0, symlink((intake.rig.dir / "elsewhere").c_str(), (R + "/linked").c_str()));
    const std::vector<std::pair<std::string, std::string>> rejected = {
        {"img_00001.cbf", "no directory part"},
        {R + "/data/./", "empty file name after /./"},
        {R + "/./../etc/passwd", "'..' in the path"},
        {R + "/data/../../elsewhere/./x.dat", "'..' in the path"},
        {intake.rig.dir / "elsewhere/./x.dat", "it does not lie below the RAM disk " + R},
        {"data/./run/x.cbf", "it does not lie below the RAM disk " + R},
        {R + "/linked/./run/x.cbf", "a directory on the way is a symbolic link"},
    };
    // With the copy made below each target, or failed for a folder not there.
    const std::vector<std::pair<std::string, std::string>> accepted = {{R + "/data/img.cbf", "img.cbf"},
                                                                       {R + "/./..hidden/x..cbf", "..hidden/x..cbf"}};
    std::string lines;
    for (const auto& c : rejected) lines += c.first + "\n";
    std::vector<std::string> copies;
    for (const auto& c : accepted) {
        lines += Intake::sourceFile(c.first);
        copies.push_back(c.second);
    }
    intake.start();
    ASSERT_TRUE(intake.writer.open());
    ASSERT_TRUE(intake.writer.write(lines + R + "/./not/there.cbf\n"));
    // Lines are handled in order: with the copies made, the rejected lines were handled too.
    ASSERT_TRUE(intake.waitForCopies(copies));
    for (const auto& c : rejected)
        EXPECT_EQ(1, countInFile(intake.log, rejection + c.first + ": " + c.second + "\n")) << c.first;
    EXPECT_EQ(static_cast<int>(rejected.size()), countInFile(intake.log, rejection));
    for (Storage* storage : intake.storages) EXPECT_EQ(accepted.size() + 1, booked(*storage));
}

TEST(ListThreadTest, BadInputNeitherStopsTheReaderNorLosesTheAnnouncementsAfterIt) {
    Intake intake;
    const std::string ramdisk = intake.rig.ramdisk;
    intake.start();
    ASSERT_TRUE(intake.writer.open());
    std::mt19937 random(20261206);
    std::string junk(5000, '\0');  // random bytes, but neither newline nor slash
    for (char& byte : junk)
        if ((byte = static_cast<char>(random() % 256)) == '\n' || byte == '/') byte = 'j';
    // A path that fills a line of 1022 bytes, newline included, exactly; one more byte is too long.
    std::string longest;
    while (ramdisk.size() + 3 + longest.size() + 201 < 1021) longest += std::string(200, 'd') + "/";
    longest += std::string(1021 - ramdisk.size() - 3 - longest.size(), 'f');
    const std::vector<std::string> badInput = {std::string(2000, 'x') + "\n", std::string(100000, 'y') + "\n", "\n",
                                               "  \t   \n", std::string("\0/r/./nul.cbf\n", 14), junk + "\n",
                                               "usershift: letters only\n",
                                               // Too long as a whole: never cut into pieces taken for paths.
                                               Intake::sourceFile(ramdisk + "/./" + longest + "g")};
    std::vector<std::string> copies{longest};
    ASSERT_TRUE(intake.writer.write(Intake::sourceFile(ramdisk + "/./" + longest)));
    for (size_t k = 0; k < badInput.size(); ++k) {
        copies.push_back("after_" + std::to_string(k) + ".cbf");
        ASSERT_TRUE(intake.writer.write(badInput[k] + Intake::sourceFile(ramdisk + "/./" + copies.back())));
    }
    for (int i = 0; i < 200; ++i) {  // a writer that comes and goes, as the acquisition program may
        intake.writer.close();
        ASSERT_TRUE(intake.writer.open());
        copies.push_back("reopened_" + std::to_string(i) + ".cbf");
        ASSERT_TRUE(intake.writer.write(Intake::sourceFile(ramdisk + "/./" + copies.back())));
    }
    ASSERT_TRUE(intake.waitForCopies(copies));
    for (Storage* storage : intake.storages) EXPECT_EQ(copies.size(), booked(*storage));

    EXPECT_EQ(0, countInFile(intake.log, "returned EOF"));
    const std::string tooLong = "...: the line is longer than 1022 bytes\n";
    EXPECT_EQ(1, countInFile(intake.log, rejection + std::string(256, 'x') + tooLong));
    EXPECT_EQ(1, countInFile(intake.log, rejection + (ramdisk + "/./" + longest).substr(0, 256) + tooLong));
    EXPECT_EQ(4, countInFile(intake.log, tooLong));  // the y and the junk lines too
    EXPECT_EQ(1, countInFile(intake.log, " with uid=0 gid=0\n"));
    EXPECT_EQ(0, countInFile(intake.log, "nul.cbf"));
}

// First no pipe at all, then a plain file, which is moved aside unread and a
// pipe made in its place.
TEST(ListThreadTest, AMissingPipeIsTriedAgainAndAPlainFileInItsPlaceMovedAside) {
    Intake intake(1, false);
    intake.start();
    ASSERT_TRUE(waitForLogCount(intake.log, "Error: Reading from " + intake.pipe + " returned EOF\n", 1));
    writeFile(intake.pipe, Intake::sourceFile(intake.rig.ramdisk + "/./plain.cbf"));
    ASSERT_TRUE(waitForLogCount(intake.log, "Warning: " + intake.pipe + " was a regular file: moved it aside", 1));
    ASSERT_TRUE(intake.writer.open());
    ASSERT_TRUE(intake.writer.write(Intake::sourceFile(intake.rig.ramdisk + "/./late.cbf")));
    EXPECT_TRUE(intake.waitForCopies({"late.cbf"}));
    EXPECT_EQ(1u, booked(*intake.storages[0]));  // never the plain file's line
}
