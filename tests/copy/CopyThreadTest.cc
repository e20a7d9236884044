#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ledger/FileInfo.h"
#include "ledger/Storage.h"
#include "support/CopyRig.h"
#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"
#include "support/LogWatch.h"

namespace {

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

// The counts of the "<id>: <N> files successfully copied" lines, in log order.
std::vector<int> copiedCounts(const std::string& log, const std::string& id) {
    std::vector<int> counts;
    const std::string head = "\n" + id + ": ";
    for (size_t at = log.find(head); at != std::string::npos; at = log.find(head, at + 1)) {
        size_t number = at + head.size();
        size_t end = log.find(" files successfully copied\n", number);
        if (end != std::string::npos && log.find('\n', number) > end)
            counts.push_back(atoi(log.substr(number, end - number).c_str()));
    }
    return counts;
}

int sum(const std::vector<int>& counts) {
    return std::accumulate(counts.begin(), counts.end(), 0);
}

}  // namespace

TEST(CopyThreadTest, FilesFlushedWhileTheOnlyWorkerIsBusyCollectIntoOneOrTwoBatches) {
    CopyRig rig;
    Storage* storage = rig.start(rig.params("disk", Storage::INTERNAL));
    const std::string& log = storage->getParams().logfile;
    FileInfo blocker = CopyRig::file(rig.source("blocker", "b"));
    blocker.lockWrite();  // as a link pass holds it: the worker waits
    storage->insertToBuffer(blocker);
    storage->flushBuffer();
    ASSERT_TRUE(waitForLogCount(log, "disk: Copy job started", 1));
    for (int i = 0; i < 10; ++i) {
        storage->insertToBuffer(CopyRig::file(rig.source("f" + std::to_string(i), "f")));
        storage->flushBuffer();
    }
    blocker.unlock();
    ASSERT_TRUE(CopyRig::waitForBooked(*storage, 11));
    ASSERT_TRUE(CopyRig::waitUntil([&]() { return sum(copiedCounts("\n" + readFile(log), "disk")) == 11; }));

    // The scheduler holds at most one batch while it waits for the worker;
    // the rest collect in the copy list. Jobs run strictly one after another.
    std::istringstream lines(CopyRig::jobLog(*storage));
    std::vector<std::string> jobLines;
    for (std::string line; std::getline(lines, line);)
        if (line.find(": Copy job started") != std::string::npos ||
            line.find(" files successfully") != std::string::npos)
            jobLines.push_back(line);
    std::vector<int> counts = copiedCounts("\n" + readFile(log), "disk");
    ASSERT_LE(2u, counts.size());
    ASSERT_GE(3u, counts.size());
    EXPECT_EQ(1, counts[0]);
    ASSERT_EQ(2 * counts.size(), jobLines.size());
    for (size_t k = 0; k < counts.size(); ++k) {
        EXPECT_EQ("disk: Copy job started", jobLines[2 * k]);
        EXPECT_EQ("disk: " + std::to_string(counts[k]) + " files successfully copied", jobLines[2 * k + 1]);
    }
}

TEST(CopyThreadTest, LogRotatesBySizeBetweenBatchesWithoutLosingALine) {
    CopyRig rig;
    Storage::Params params = rig.params("disk", Storage::INTERNAL);
    params.logfile_max_size = 4096;
    params.logfile_max_number = 1000;  // no backup falls off the end
    params.n_copy_processes = 2;
    Storage* storage = rig.start(params);
    const int rounds = 20;
    const int perRound = 50;
    std::vector<std::string> names;
    for (int round = 0; round < rounds; ++round) {
        for (int i = 0; i < perRound; ++i) {
            names.push_back("r" + std::to_string(round) + "/f" + std::to_string(i));  // listed name by name
            storage->insertToBuffer(CopyRig::file(rig.source(names.back(), "x")));
            storage->flushBuffer();
        }
        // Many batches, each summary long enough to pass the size limit soon.
        ASSERT_TRUE(CopyRig::waitForBooked(*storage, names.size()));
    }

    auto wholeLog = [&]() {
        std::string text;
        int backup = 0;
        while (fileExists(params.logfile + "." + std::to_string(backup))) ++backup;
        for (int k = backup - 1; k >= 0; --k) text += readFile(params.logfile + "." + std::to_string(k));
        return "\n" + text + readFile(params.logfile);
    };
    // The scheduler writes its next "Looking for" line right after handing out the last batch.
    const std::string looking = "++ disk: Looking for recently created files by TAVRO\n";
    ASSERT_TRUE(CopyRig::waitUntil([&]() {
        std::string log = wholeLog();
        return sum(copiedCounts(log, "disk")) == rounds * perRound &&
               occurrences(log, looking) == occurrences(log, "disk: Copy job started\n") + 1;
    }));

    std::string log = wholeLog();
    for (const std::string& name : names) EXPECT_EQ(1u, occurrences(log, "\n" + name + "\n")) << name;
    EXPECT_LE(static_cast<size_t>(rounds), copiedCounts(log, "disk").size());
    int backups = 0;
    for (; fileExists(params.logfile + "." + std::to_string(backups)); ++backups) {
        std::string backup = readFile(params.logfile + "." + std::to_string(backups));
        EXPECT_LT(4096u, backup.size());
        EXPECT_EQ('\n', backup.back());
    }
    EXPECT_LE(2, backups);
}

TEST(CopyThreadTest, DaemonCopiesAnnouncedFilesIntoEveryTargetWithTheirContentModeAndTime) {
    DaemonRunner daemon;
    const std::string root = daemon.root();
    daemon.writeConfig(daemon.defaultConfig() + "storageID archive\ntype EXTERNAL\ntarget " + root + "/archive\n" +
                       "storageID usb\ntype OPTIONAL\ntarget " + root + "/usb\n");
    struct Source {
        std::string relative;
        mode_t mode;
        time_t mtime;
        size_t size;
    };
    const Source sources[] = {{"run1/img_00001.cbf", 0640, 1577880000, 3000},
                              {"run1/deep/er/b.dat", 0600, 1000000000, 200000},
                              {"top.txt", 0755, 1600000000, 0}};
    std::string announcements;
    for (const Source& s : sources) {
        std::string path = root + "/ramdisk/" + s.relative;
        std::string content;
        for (size_t i = 0; i < s.size; ++i) content += static_cast<char>('a' + i % 23);
        CopyRig::put(path, content);
        ASSERT_EQ(0, chmod(path.c_str(), s.mode));
        struct timeval times[2] = {{s.mtime, 0}, {s.mtime, 0}};
        ASSERT_EQ(0, utimes(path.c_str(), times));
        announcements += root + "/ramdisk/./" + s.relative + "\n";
    }
    ASSERT_EQ(0, daemon.run());
    FifoWriter writer(daemon.pipePath());
    ASSERT_TRUE(writer.open());
    ASSERT_TRUE(writer.write(announcements));

    const std::string targets[] = {root + "/internal/", root + "/archive/", root + "/usb/"};
    ASSERT_TRUE(CopyRig::waitUntil([&]() {
        for (const std::string& target : targets)
            for (const Source& s : sources)
                if (!fileExists(target + s.relative)) return false;
        return true;
    }));
    for (const Source& s : sources) {
        const std::string content = readFile(root + "/ramdisk/" + s.relative);
        for (const std::string& target : targets) {
            SCOPED_TRACE(target + s.relative);
            struct stat copy;
            ASSERT_EQ(0, stat((target + s.relative).c_str(), &copy));
            EXPECT_EQ(s.mode, copy.st_mode & 07777);
            EXPECT_EQ(s.mtime, copy.st_mtime);
            EXPECT_EQ(content, readFile(target + s.relative));
        }
    }
    EXPECT_TRUE(daemon.running());
}
