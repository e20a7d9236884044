#include <dirent.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <list>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "intake/ListThread.h"
#include "ledger/DebitListThread.h"
#include "ledger/FileInfo.h"
#include "ledger/Storage.h"
#include "support/FifoWriter.h"
#include "support/TempDir.h"

namespace {

const std::string removingLine = "Removing files from previous users\n";

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

// The reader works on its own thread; this waits for what it does, with a deadline.
bool waitUntil(const std::function<bool()>& done, double seconds = 20) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Files a storage has booked, over all shifts: announced ones count as
// pending, and once copy threads run, as copied or failed.
uint32_t booked(Storage& storage) {
    uint32_t total = 0;
    for (const DebitCredit::HistEntry& entry : storage.history(-1))
        total += entry.pending + entry.copied + entry.failed;
    return total;
}

// The relative paths of the copies below a storage's target, sorted: what the
// reader handed to the storage, as its copy workers made it.
std::vector<std::string> copies(Storage& storage) {
    std::vector<std::string> found;
    const std::string target = storage.getParams().target;
    std::function<void(const std::string&)> walk = [&](const std::string& relative) {
        DIR* dir = opendir((target + relative).c_str());
        if (dir == nullptr) return;
        while (struct dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            if (entry->d_type == DT_DIR)
                walk(relative + "/" + name);
            else
                found.push_back((relative + "/" + name).substr(1));
        }
        closedir(dir);
    };
    walk("");
    std::sort(found.begin(), found.end());
    return found;
}

std::string asciiTimeOf(int64_t when) {
    time_t seconds = static_cast<time_t>(when);
    struct tm local;
    char text[64];
    localtime_r(&seconds, &local);
    return asctime_r(&local, text);
}

// A reader over real storages (INTERNAL, EXTERNAL, OPTIONAL, as many as asked)
// on a real named pipe in a fresh folder. The reader and the storages are
// never deleted: their threads run until the test's process ends.
class Intake {
public:
    explicit Intake(int storageCount = 3, bool makePipe = true)
        : pipePath(dir / "vellort_quorvin_files"), logPath(dir / "vellort.log"), writer(pipePath) {
        if (makePipe && mkfifo(pipePath.c_str(), 0600) != 0) ADD_FAILURE() << "mkfifo " << pipePath;
        for (int type = 0; type < storageCount; ++type) {
            Storage::Params params;
            params.storageID = "storage" + std::to_string(type);
            params.type = type;
            // As the start-up sets them: fall-back sources and the EXTERNAL
            // storage's origin; a watched file system far from any limit.
            for (int before = 0; before < type; ++before)
                params.alternativeSourceDirs.push_back(dir / ("target" + std::to_string(before)));
            if (type == Storage::EXTERNAL) params.origin = dir / "target0";
            params.mountpoint = dir.path();
            params.fillstate_limit = 100;
            params.logfile = logPath;
            params.logfile_max_size = 1 << 30;  // one log file to read, never rotated
            params.history_max_entries = 50;
            params.n_copy_processes = 1;
            params.target = dir / ("target" + std::to_string(type));
            storages.push_back(new Storage(params));
        }
    }

    void start() {
        ListThread* reader = new ListThread(storages, logPath, pipePath);
        ASSERT_EQ(0, reader->start());
    }

    // Writes a small file at the announced path (its marker collapsed), so
    // that the storages can copy it, and returns the announcement line.
    std::string sourceFile(const std::string& announced) {
        std::string path = announced;
        for (size_t at = path.find("/./"); at != std::string::npos; at = path.find("/./")) path.erase(at, 2);
        makeDirectories(path.substr(0, path.rfind('/')));
        writeFile(path, announced);
        return announced + "\n";
    }
    // Every storage that keeps its copies has copied exactly these relative
    // paths. The INTERNAL copies of an earlier user shift leave with the shift
    // once an EXTERNAL storage holds them, so with one the INTERNAL target is
    // not looked at.
    ::testing::AssertionResult waitForCopies(std::vector<std::string> expected) {
        std::sort(expected.begin(), expected.end());
        const size_t first = storages.size() > 1 ? 1 : 0;
        bool done = waitUntil([&]() {
            for (size_t i = first; i < storages.size(); ++i)
                if (copies(*storages[i]) != expected) return false;
            return true;
        });
        if (done) return ::testing::AssertionSuccess();
        ::testing::AssertionResult failure = ::testing::AssertionFailure();
        for (size_t i = first; i < storages.size(); ++i) {
            failure << storages[i]->getParams().storageID << " holds:";
            for (const std::string& copy : copies(*storages[i])) failure << " " << copy;
            failure << "\n";
        }
        return failure << "log:\n" << log();
    }

    std::string log() const { return readFile(logPath); }
    bool waitForLog(const std::string& text, size_t times = 1) {
        return waitUntil([&]() { return occurrences(log(), text) >= times; });
    }
    // Every storage has booked n files.
    bool waitForBooked(uint32_t n) {
        return waitUntil([&]() {
            for (Storage* storage : storages)
                if (booked(*storage) < n) return false;
            return true;
        });
    }

    TempDir dir;
    std::string pipePath;
    std::string logPath;
    std::vector<Storage*> storages;
    FifoWriter writer;
};

}  // namespace

TEST(ListThreadTest, AnnouncementsAndAUserShiftReachEveryStorageWithTheirShiftTimes) {
    Intake intake;
    const std::string ramdisk = intake.dir / "ramdisk";
    int64_t before = time(nullptr);
    intake.start();
    ASSERT_TRUE(intake.writer.open());
    intake.sourceFile(ramdisk + "/run1/img_00002.cbf");
    ASSERT_TRUE(intake.writer.write(intake.sourceFile(ramdisk + "/data/./run1/img_00001.cbf") + "   " +
                                    ramdisk + "/run1//img_00002.cbf more words\n"));
    ASSERT_TRUE(intake.waitForBooked(2));
    int64_t after = time(nullptr);
    DebitListThread::PollundInfo atStart = DebitListThread::getPollundInfo();
    EXPECT_EQ(0u, atStart.uid);
    EXPECT_EQ(0u, atStart.gid);
    EXPECT_LE(before, atStart.time);
    EXPECT_GE(after, atStart.time);

    ASSERT_TRUE(intake.writer.write("usershift: 1001 1002\n" + intake.sourceFile(ramdisk + "/data/./run1/img_00003.cbf")));
    ASSERT_TRUE(intake.waitForBooked(3));
    ASSERT_TRUE(intake.waitForLog(removingLine, 3));
    DebitListThread::PollundInfo shift = DebitListThread::getPollundInfo();
    EXPECT_EQ(1001u, shift.uid);
    EXPECT_EQ(1002u, shift.gid);
    EXPECT_GT(shift.time, atStart.time);

    const std::string plusLine(72, '+');
    EXPECT_EQ(1u, occurrences(intake.log(), "\n" + plusLine + "\n\nUsershift on " + asciiTimeOf(shift.time) +
                                                " with uid=1001 gid=1002\n\n" + plusLine + "\n\n"));
    EXPECT_EQ(3u, occurrences(intake.log(), removingLine));

    // The relative part after the marker (or after the last "/" when there was
    // none) is what every storage rebuilds below its target.
    ASSERT_TRUE(intake.waitForCopies({"run1/img_00001.cbf", "img_00002.cbf", "run1/img_00003.cbf"}));
    for (Storage* storage : intake.storages) {
        SCOPED_TRACE(storage->getParams().storageID);
        // Each file is booked in the history entry of the shift it was
        // announced in: two before the shift, one after.
        std::list<DebitCredit::HistEntry> history = storage->history(-1);
        ASSERT_EQ(2u, history.size());
        EXPECT_EQ(shift.time, history.front().time);
        EXPECT_EQ(1001u, history.front().uid);
        EXPECT_EQ(1002u, history.front().gid);
        EXPECT_EQ(1u, history.front().pending + history.front().copied);
        EXPECT_EQ(atStart.time, history.back().time);
        EXPECT_EQ(0u, history.back().uid);
        EXPECT_EQ(2u, history.back().pending + history.back().copied);
    }
}

TEST(ListThreadTest, UserShiftNumbersAreReadOneByOneAndUnreadableOnesKeepThePreviousValue) {
    Intake intake(1);
    intake.start();
    ASSERT_TRUE(intake.writer.open());
    struct Case {
        const char* line;
        uint32_t uid;
        uint32_t gid;
    };
    const Case cases[] = {
        {"usershift: 1001 1002\n", 1001, 1002},
        {"usershift: abc 7\n", 1001, 7},
        {"usershift: 12\n", 12, 7},
        {"usershift:\n", 12, 7},
        {"usershift: 4294967296 4294967295 anything after\n", 12, 4294967295u},
        {"usershift:\t-5   9\n", 12, 9},
        {"   usershift: 0 0\n", 0, 0},
    };
    int64_t previousTime = DebitListThread::getPollundInfo().time;
    size_t shifts = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        ASSERT_TRUE(intake.writer.write(c.line));
        ++shifts;
        ASSERT_TRUE(intake.waitForLog(removingLine, shifts));
        DebitListThread::PollundInfo shift = DebitListThread::getPollundInfo();
        EXPECT_EQ(c.uid, shift.uid);
        EXPECT_EQ(c.gid, shift.gid);
        // Shifts in the same second still get times of their own.
        EXPECT_GT(shift.time, previousTime);
        previousTime = shift.time;
        EXPECT_NE(std::string::npos,
                  intake.log().find(" with uid=" + std::to_string(c.uid) + " gid=" + std::to_string(c.gid) + "\n"));
    }

    // Digits glued to the keyword, or a capital U, make no shift.
    ASSERT_TRUE(intake.writer.write("usershift:5 6\nUsershift: 1 2\n" +
                                    intake.sourceFile(intake.dir / "ramdisk/./sentinel.cbf")));
    ASSERT_TRUE(intake.waitForBooked(1));
    std::string log = intake.log();
    EXPECT_EQ(shifts, occurrences(log, "Usershift on "));
    EXPECT_NE(std::string::npos, log.find("Error: Rejected announcement usershift:5: no directory part\n"));
    EXPECT_NE(std::string::npos, log.find("Error: Rejected announcement Usershift:: no directory part\n"));
    EXPECT_EQ(0u, DebitListThread::getPollundInfo().uid);
    EXPECT_EQ(shifts + 1, intake.storages[0]->history(-1).size());
}

TEST(ListThreadTest, UnsafeAnnouncementsAreRejectedWithTheirReason) {
    Intake intake(2);
    // Relative announcements are relative to the daemon's working directory.
    ASSERT_EQ(0, chdir(intake.dir.path().c_str()));
    const std::string R = intake.dir / "ramdisk";
    struct Case {
        std::string announced;
        std::string reasonOrCopy;  // the reason of a rejection, or the copy made below each target
        bool rejected;
    };
    const Case cases[] = {
        {"img_00001.cbf", "no directory part", true},
        {"..", "no directory part", true},
        {R + "/data/", "empty file name after /./", true},
        {R + "/data/./", "empty file name after /./", true},
        {"/./", "empty file name after /./", true},
        {R + "/./../etc/passwd", "'..' in the relative path", true},
        {R + "/./run/../../x.cbf", "'..' in the relative path", true},
        {R + "/./run/..", "'..' in the relative path", true},
        {R + "/data/img.cbf", "img.cbf", false},
        {"data/./run/x.cbf", "run/x.cbf", false},
        {R + "/./..hidden/x..cbf", "..hidden/x..cbf", false},
        // Above the marker is the source's own folder, which the storages never write to.
        {R + "/data/../y.cbf", "y.cbf", false},
    };
    std::string lines;
    std::vector<std::string> expected;
    for (const Case& c : cases) {
        if (c.rejected) {
            lines += c.announced + "\n";
        } else {
            lines += intake.sourceFile(c.announced);
            expected.push_back(c.reasonOrCopy);
        }
    }
    lines += intake.sourceFile(R + "/./sentinel.cbf");
    expected.push_back("sentinel.cbf");
    intake.start();
    ASSERT_TRUE(intake.writer.open());
    ASSERT_TRUE(intake.writer.write(lines));
    ASSERT_TRUE(intake.waitForCopies(expected));

    std::string log = intake.log();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.announced);
        std::string rejection = "Error: Rejected announcement " + c.announced + ": ";
        if (c.rejected)
            EXPECT_EQ(1u, occurrences(log, rejection + c.reasonOrCopy + "\n"));
        else
            EXPECT_EQ(0u, occurrences(log, rejection));
    }
    // The reader handles lines in order: with the sentinel booked, every
    // rejected line was handled too, and none of them was booked.
    for (Storage* storage : intake.storages) EXPECT_EQ(expected.size(), booked(*storage));
}

TEST(ListThreadTest, BadInputNeitherStopsTheReaderNorLosesTheAnnouncementsAfterIt) {
    Intake intake;
    intake.start();
    ASSERT_TRUE(intake.writer.open());

    std::mt19937 random(20261206);
    std::string junk;
    for (int i = 0; i < 5000; ++i) {
        char byte = static_cast<char>(random() % 256);
        if (byte != '\n' && byte != '/') junk += byte;
    }
    const std::string nulFirst("\0/ramdisk/./after_nul.cbf\n", 26);
    const std::vector<std::string> badInput = {
        std::string(2000, 'x') + "\n", std::string(100000, 'y') + "\n", "\n", "  \t   \n", nulFirst, junk + "\n",
        "usershift: letters only\n",
    };
    const std::string R = intake.dir / "ramdisk";
    std::vector<std::string> expected;
    for (size_t k = 0; k < badInput.size(); ++k) {
        std::string name = "after_" + std::to_string(k) + ".cbf";
        ASSERT_TRUE(intake.writer.write(badInput[k] + intake.sourceFile(R + "/./" + name)));
        expected.push_back(name);
    }
    // A line longer than a read comes in pieces, each a line of its own: the
    // blanks fill the first piece, the path stands in the second.
    ASSERT_TRUE(intake.writer.write(std::string(1500, ' ') + intake.sourceFile(R + "/./piece.cbf")));
    expected.push_back("piece.cbf");
    // A writer that comes and goes, as the acquisition program may.
    for (int i = 0; i < 200; ++i) {
        intake.writer.close();
        ASSERT_TRUE(intake.writer.open());
        std::string name = "reopened_" + std::to_string(i) + ".cbf";
        ASSERT_TRUE(intake.writer.write(intake.sourceFile(R + "/./" + name)));
        expected.push_back(name);
    }
    ASSERT_TRUE(intake.waitForCopies(expected));
    for (Storage* storage : intake.storages) EXPECT_EQ(expected.size(), booked(*storage));

    std::string log = intake.log();
    EXPECT_EQ(0u, occurrences(log, "returned EOF"));
    const std::string rejection = "Error: Rejected announcement ";
    EXPECT_EQ(1u, occurrences(log, rejection + std::string(1022, 'x') + ": no directory part\n"));
    EXPECT_EQ(1u, occurrences(log, rejection + std::string(978, 'x') + ": no directory part\n"));
    EXPECT_EQ((100000u + 1021u) / 1022u, occurrences(log, rejection + "yyyy"));
    EXPECT_EQ(1u, occurrences(log, " with uid=0 gid=0\n"));
    EXPECT_EQ(0u, occurrences(log, "after_nul"));
}

TEST(ListThreadTest, PipeThatCannotBeOpenedIsTriedAgainAfterTheEndOfFileLine) {
    Intake intake(1, false);
    intake.start();
    ASSERT_TRUE(intake.waitForLog("Error: Reading from " + intake.pipePath + " returned EOF\n"));
    ASSERT_EQ(0, mkfifo(intake.pipePath.c_str(), 0600));
    ASSERT_TRUE(intake.writer.open());
    ASSERT_TRUE(intake.writer.write(intake.sourceFile(intake.dir / "ramdisk/./late.cbf")));
    EXPECT_TRUE(intake.waitForCopies({"late.cbf"}));
}

TEST(ListThreadTest, EndOfFileIsLoggedAndTheStreamOpenedAgain) {
    // A plain file in the pipe's place ends after its one line every time it is read.
    Intake intake(1, false);
    writeFile(intake.pipePath, "/ramdisk/./again.cbf\n");
    intake.start();
    ASSERT_TRUE(intake.waitForBooked(2));
    EXPECT_LE(1u, occurrences(intake.log(), "Error: Reading from " + intake.pipePath + " returned EOF\n"));
}
