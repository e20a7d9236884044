#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <tuple>

#include "space/LinkThread.h"
#include "space/SpaceSupport.h"
#include "support/TmpfsMount.h"

using namespace space_test;

namespace {

const int64_t shiftTime = 1000;
const uint32_t shiftUid = 1234, shiftGid = 5678;

// An 8 MB RAM disk filled to 60%, a message client, and the settings of the INTERNAL storage's link thread
// watching the RAM disk. Ledgers and threads run until the process ends.
class LinkThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!ram.mounted()) GTEST_SKIP() << ram.skipReason();
        ASSERT_TRUE(tap.ready());
        ASSERT_GT(fillTo(ram.path(), 60), 50);
        watch(rig, Storage::INTERNAL, ram.path());
    }
    // A ledger of its own and the settings of a storage of `type` watching `mount`, its log and copies in `in`.
    void watch(const CopyRig& in, StorageType type, const std::string& mount, const std::string& ramdisk = "") {
        ledger = new DebitCredit(5, DebitCredit::TRACK_FILES);
        params = storageParams(in, type, mount, ramdisk);
        params.messageServer = tap.server;
        params.preserve_uid = params.preserve_gid = true;
        DebitListThread::setPollundInfo({shiftUid, shiftGid, shiftTime});
        ledger->setTavroTime(shiftTime, shiftUid, shiftGid);
    }
    void start() { ASSERT_EQ(0, (new LinkThread(*ledger, params))->start()); }
    // What a pass replaces: the file on the RAM disk, or for EXTERNAL its INTERNAL copy.
    std::string origin(const std::string& relative) const {
        return (params.origin.empty() ? params.ramdisk_mountpoint : params.origin) + "/" + relative;
    }
    // A file copied and booked as copied.
    void offer(const std::string& relative, const std::string& content = "", const std::string& copy = "") {
        CopyRig::put(origin(relative), content);
        CopyRig::put(params.target + "/" + relative, copy);
        FileInfo file(params.ramdisk_mountpoint + "/./" + relative, shiftTime);
        recordCopied(file, params.type, origin(relative), params.target + "/" + relative);
        ledger->insertToBuffer(file);
        ledger->insertToCredits(file);
    }
    bool linked(const std::string& relative) const { return isLink(origin(relative)); }

    TmpfsMount ram{"size=8m"};
    CopyRig rig;
    MessageTap tap{rig.dir / "vellort.log"};
    DebitCredit* ledger = nullptr;
    Storage::Params params;
};

// Whether the storage is EXTERNAL (else INTERNAL), whether it makes links (else removes).
class PassTest : public LinkThreadTest, public ::testing::WithParamInterface<std::tuple<bool, bool>> {};

}  // namespace

// The RAM disk fills at a steady rate: each alarm, and the warning that it is soon full, goes out once with its text;
// they are armed again while the pass waits for files. When which comes is FillPolicyTest's and FullWarningTest's.
TEST_F(LinkThreadTest, AlarmsGoOutOnceWithTheirTextsAndAreArmedAgainWhileAPassWaitsForFiles) {
    params.fillstate_limit = 80;
    params.full_warning_seconds = 30;
    const std::string mount = ram.path();
    LinkThread* thread = new LinkThread(*ledger, params);
    ASSERT_EQ(0, thread->start());
    for (double percent = 61; percent < 100; ++percent) {
        ASSERT_GT(fillTo(mount, percent), percent);
        usleep(100000);  // the acquisition's steady pace
    }
    const std::string alarms[] = {
        "1 " + mount + " Warning: " + mount + " reached 80% limit. Old files will be turned into symbolic links.",
        "2 " + mount + " Warning: " + mount + " reached 90% limit. " + mount + " is likely to overflow. ",
        "3 " + mount + " Error: " + mount + " reached 99% limit. Files copied there may be lost!"};
    std::vector<std::string> frames = tap.received(4);
    std::sort(frames.begin(), frames.end());
    ASSERT_EQ(4u, frames.size());
    EXPECT_EQ(std::vector<std::string>(alarms, alarms + 3), std::vector<std::string>(frames.begin(), frames.end() - 1));
    EXPECT_TRUE(std::regex_match(frames[3], std::regex("7 " + mount + " Warning: " + mount + " full in about \\d+ s")))
        << frames[3];
    const double fill = thread->gauges().fill.load(), inodes = thread->gauges().inodes.load();
    EXPECT_TRUE(fill > 0.99 && fill <= 1.0 && inodes > 0 && inodes < 0.01) << fill << " " << inodes;

    // Below the limit the alarms of 90% and 99% are armed again; that of the limit only below 40%.
    ASSERT_GT(fillTo(mount, 79), 79);
    ASSERT_TRUE(CopyRig::waitUntil([&]() { return thread->gauges().fill.load() < 0.8; }));
    const int rises = countInFile(params.logfile, " filled to ");
    ASSERT_GT(fillTo(mount, 99.5), 99.5);
    ASSERT_TRUE(waitForLogCount(params.logfile, " filled to ", rises + 1));  // logged after the alarms are sent
    frames = tap.received();
    frames.erase(std::remove_if(frames.begin(), frames.end(), [](const std::string& f) { return f[0] == '7'; }),
                 frames.end());  // the estimate's, after the fill state jumped
    EXPECT_EQ(std::vector<std::string>(alarms + 1, alarms + 3), frames);
}

// One pass over good files and some that must stay: a copy deleted by hand, a short copy, and (for links) a leftover
// temporary link. The EXTERNAL pass leaves alone a file that INTERNAL may still copy, or that copy would stay for ever.
TEST_P(PassTest, PassesReplaceOnlyFilesWhoseCopyIsComplete) {
    const bool external = std::get<0>(GetParam()), createLinks = std::get<1>(GetParam());
    if (external) watch(rig, Storage::EXTERNAL, ram.path());
    if (external) params.origin = rig.dir / "internal";
    params.create_links = createLinks;
    params.preserve_gid = false;  // links get the shift's uid and the daemon's gid
    const std::string copyRun = params.target + "/run/";
    // Each file with why it stays ("": it is replaced).
    const std::pair<std::string, std::string> files[] = {{"good0", ""},
                                                         {"good1", ""},
                                                         {"missing", "copy " + copyRun + "missing is missing"},
                                                         {"short", "copy " + copyRun + "short has 1 bytes, the file 5"},
                                                         {"leftover", createLinks ? "File exists" : ""}};
    for (const auto& file : files) offer("run/" + file.first, file.first, file.first == "short" ? "s" : file.first);
    ASSERT_EQ(0, unlink((copyRun + "missing").c_str()));
    ASSERT_EQ(0, symlink("elsewhere", origin("run/leftover.tmp").c_str()));
    FileInfo late(ram.path() + "/./run/late", shiftTime);  // copied by EXTERNAL, not yet by INTERNAL
    late.setFlag(FileInfo::INTERNAL_COPY_STARTED | FileInfo::EXTERNAL_COPY_STARTED | FileInfo::EXTERNAL_COPIED);
    CopyRig::put(copyRun + "late", "late");
    if (external) ledger->insertToBuffer(late);
    if (external) ledger->insertToCredits(late);
    start();
    // The ledger keeps the links and the file held back; failed links go to the deletion thread, removed files are not.
    ASSERT_TRUE(CopyRig::waitUntil([&]() { return ledger->size() == (createLinks ? 2 : 0) + external; }));

    std::vector<std::string> expected = {"1 " + ram.path() + " Warning: " + ram.path() +
                                         " reached 50% limit. Old files will be turned into symbolic links."};
    for (const auto& file : files) {
        SCOPED_TRACE(file.first);
        const std::string place = origin("run/" + file.first), copy = copyRun + file.first;
        const std::string shown = external ? place : ram.path() + "/./run/" + file.first;
        struct stat link;
        if (!file.second.empty()) {
            expected.push_back((createLinks
                                    ? "5 " + copy + " ++ Error: Creating symbolic link from " + shown + " to " + copy
                                    : "6 " + shown + " ++ Error: Deleting " + shown) +
                               " failed\n" + file.second + "\n");
            EXPECT_EQ(file.first, isLink(place) ? "a link" : readFile(place));
        } else if (!createLinks) {
            EXPECT_NE(0, lstat(place.c_str(), &link));
        } else {
            EXPECT_EQ(copy, linkTarget(place));
            EXPECT_TRUE(lstat(place.c_str(), &link) == 0 && link.st_uid == shiftUid && link.st_gid == 0);
        }
    }
    EXPECT_EQ(expected, tap.received());
    EXPECT_EQ("elsewhere", linkTarget(origin("run/leftover.tmp")));
    EXPECT_FALSE(linked("run/late"));  // a link where INTERNAL's copy is still to come
    if (!external) return;
    CopyRig::put(origin("run/late"), "late");
    recordCopied(late, Storage::EXTERNAL, origin("run/late"), copyRun + "late");
    EXPECT_TRUE(CopyRig::waitUntil([&] { return createLinks ? linked("run/late") : !fileExists(origin("run/late")); }));
}
INSTANTIATE_TEST_SUITE_P(LinkThreadTest, PassTest, ::testing::Combine(::testing::Bool(), ::testing::Bool()));

// Above 99% after the first pass of 1000, the batch doubles and the next pass takes the rest. Then the acquisition
// writes a new file where the oldest link was, and more files take the inode use above the limit: half of the
// inodes must stay free, and the oldest links that are still links go, as many as the relief steps took.
TEST_F(LinkThreadTest, PassesGrowAboveTheLimitAndInodeReliefRemovesTheOldestLinks) {
    const int files = 2500, inodes = 5100;  // 2503 in use, fewer than half
    ASSERT_TRUE(ram.remount(false, "size=8m,nr_inodes=" + std::to_string(inodes)));
    ASSERT_GT(fillTo(ram.path(), 99.5), 99.5);
    for (int i = 0; i < files; ++i) offer("run/img_" + std::to_string(i));
    start();
    ASSERT_TRUE(CopyRig::waitUntil([&]() { return linked("run/img_" + std::to_string(files - 1)); }));
    for (int i = 0; i < files; ++i) ASSERT_TRUE(linked("run/img_" + std::to_string(i))) << i;
    for (const std::string batch : {"1000", "1500"})
        EXPECT_EQ(1, countInFile(params.logfile, "++ Converting " + batch + " files on " + ram.path() +
                                                     " into symbolic links to disk\n"));
    EXPECT_EQ(2, countInFile(params.logfile, "   ++ 1000 symbolic links from " + ram.path() + " to " + params.target +
                                                 "/ successfully created\n"));

    const std::string first = ram.path() + "/run/img_0";
    ASSERT_EQ(0, unlink(first.c_str()));
    writeFile(first, "new data");
    for (int i = 0; i < 60; ++i) writeFile(ram.path() + "/other_" + std::to_string(i), "");
    struct statvfs stats;
    ASSERT_TRUE(
        CopyRig::waitUntil([&]() { return statvfs(ram.path().c_str(), &stats) == 0 && stats.f_ffree >= inodes / 2; }));
    EXPECT_EQ(inodes / 2u, stats.f_ffree);
    EXPECT_EQ("new data", readFile(first));
    const std::string log = readFile(params.logfile);
    EXPECT_NE(std::string::npos,
              log.find("Warning: Not removing " + ram.path() + "/./run/img_0: it is no longer a symbolic link\n"));
    const std::regex removing("\\+\\+ Removing (\\d+) links on " + ram.path() + "\n");
    int taken = 0;
    for (std::sregex_iterator at(log.begin(), log.end(), removing), end; at != end; ++at) taken += std::stoi((*at)[1]);
    ASSERT_GT(taken, 1);
    for (int i = 1; i < files; ++i) {
        EXPECT_EQ(i >= taken, linked("run/img_" + std::to_string(i))) << i;
        EXPECT_EQ(i < taken, !fileExists(ram.path() + "/run/img_" + std::to_string(i))) << i;
    }
}

// A file system that cannot be measured keeps the last fill state measured:
// 0 from the start (no pass), or above the limit once it has vanished (passes go on).
TEST_F(LinkThreadTest, FileSystemThatCannotBeMeasuredKeepsItsLastFillState) {
    // A folder of the tmpfs, so that it vanishes at once: an unmounted mount
    // point would show the file system below it until it is removed too.
    const std::string watched = ram.path() + "/watched";
    ASSERT_EQ(0, mkdir(watched.c_str(), 0755));
    const std::pair<std::string, std::string> cases[] = {
        // mount point ("": vanishing) and the line of each check
        {"/proc", "Error: /proc reports a size of 0 blocks of 4096 bytes; its fill state stays at 0%\n"},
        {"/nonexistent", " Error: Stat on  /nonexistent returned No such file or directory\n"},
        {"", " Error: Stat on  " + watched + " returned No such file or directory\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        CopyRig in;
        watch(in, Storage::INTERNAL, c.first.empty() ? watched : c.first, in.ramdisk);
        offer("run/img_0");
        start();
        if (c.first.empty()) {
            ASSERT_TRUE(CopyRig::waitUntil([&]() { return linked("run/img_0"); }));
            ASSERT_EQ(0, rmdir(watched.c_str()));
            for (const char* name : {"run/img_1", "run/img_2"}) {
                offer(name);
                ASSERT_TRUE(CopyRig::waitUntil([&]() { return linked(name); })) << name;
            }
        }
        ASSERT_TRUE(waitForLogCount(params.logfile, c.second, 1));
        EXPECT_EQ(c.first.empty(), linked("run/img_0"));
        EXPECT_EQ(c.first.empty() ? 1 : 0, countInFile(params.logfile, " filled to "));
        const std::string unresolved = "Error: Cannot resolve /nonexistent\n       No such file or directory\n";
        EXPECT_EQ(c.first == "/nonexistent", readFile(params.logfile).find(unresolved) == 0);
    }
}

TEST_F(LinkThreadTest, UserShiftInAPassHandsItsRestToTheDeletionThread) {
    DebitListThread::setPollundInfo({0, 0, shiftTime});
    Storage* storage = new Storage(storageParams(rig, Storage::INTERNAL, ram.path()));
    storage->setTavroTime(shiftTime, 0, 0);
    // The pass stops at the file whose read lock the test holds.
    const int files = 30, held = 10;
    std::unique_ptr<FileInfo::ReadLock> hold;
    auto ramFile = [&](int i) { return ram.path() + "/img_" + std::to_string(i); };
    for (int i = 0; i < files; ++i) {
        writeFile(ramFile(i), "data " + std::to_string(i));
        FileInfo file(ram.path() + "/./img_" + std::to_string(i), shiftTime);
        if (i == held) hold.reset(new FileInfo::ReadLock(file));
        storage->insertToBuffer(file);
        storage->flushBuffer();
    }
    ASSERT_TRUE(CopyRig::waitUntil([&]() { return isLink(ramFile(held - 1)); }));
    DebitListThread::setPollundInfo({0, 0, shiftTime + 1});
    storage->setTavroTime(shiftTime + 1, 0, 0);
    hold.reset();

    // The files after the held one leave the pass unlinked and nothing of the old shift stays in progress. The
    // held one is linked when the pass was already waiting for it at the shift, else handed back with the rest.
    ASSERT_TRUE(CopyRig::waitUntil([&]() { return storage->debitCredit().size() == 0; }));
    for (int i = 0; i < files; ++i) EXPECT_TRUE(i == held || (i < held) == isLink(ramFile(i))) << i;
    storage->startDeleting();
    ASSERT_TRUE(CopyRig::waitUntil([&]() {
        for (int i = 0; i < files; ++i)
            if (fileExists(ramFile(i))) return false;
        return true;
    }));
    for (int i = 0; i < files; ++i)
        EXPECT_EQ("data " + std::to_string(i), readFile(storage->getParams().target + "/img_" + std::to_string(i)));
    EXPECT_EQ(0, countInFile(rig.dir / "vellort.log", "Error"));
}
