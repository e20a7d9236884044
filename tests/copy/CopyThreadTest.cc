#include <sys/stat.h>
#include <sys/time.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/CopyRig.h"
#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"

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
        const std::string path = root + "/ramdisk/" + s.relative;
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

    for (const std::string& target : {root + "/internal/", root + "/archive/", root + "/usb/"}) {
        for (const Source& s : sources) {
            SCOPED_TRACE(target + s.relative);
            struct stat copy;
            // A copy appears under its final name only once it is complete.
            ASSERT_TRUE(CopyRig::waitUntil([&]() { return stat((target + s.relative).c_str(), &copy) == 0; }));
            EXPECT_EQ(s.mode, copy.st_mode & 07777);
            EXPECT_EQ(s.mtime, copy.st_mtime);
            EXPECT_EQ(readFile(root + "/ramdisk/" + s.relative), readFile(target + s.relative));
        }
    }
    EXPECT_TRUE(daemon.running());
}
