#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "ledger/DebitListThread.h"
#include "space/LinkThread.h"
#include "space/SpaceSupport.h"
#include "support/TmpfsMount.h"

using namespace space_test;

namespace {

const int64_t shiftTime = 1000;
const uint32_t shiftUid = 1234, shiftGid = 5678;

// The INTERNAL storage's LinkThread on a ledger of its own, watching `mount`;
// the files lie under `root`. Ledger and thread run until the process ends.
struct Watch {
    Watch(const TempDir& dir, const std::string& mount, MessageServer* server = nullptr, std::string ramdisk = "")
        : ledger(new DebitCredit(5, DebitCredit::TRACK_FILES)),
          params(storageParams(dir, Storage::INTERNAL, mount, ramdisk)),
          root(params.ramdisk_mountpoint) {
        params.messageServer = server;
        params.preserve_uid = params.preserve_gid = true;
        DebitListThread::setPollundInfo({shiftUid, shiftGid, shiftTime});
        ledger->setTavroTime(shiftTime, shiftUid, shiftGid);
    }
    void start() { ASSERT_EQ(0, (new LinkThread(*ledger, params))->start()); }

    // A file copied and booked as copied.
    void offer(const std::string& relative, const std::string& content = "", const std::string& copy = "") {
        CopyRig::put(root + "/" + relative, content);
        CopyRig::put(params.target + "/" + relative, copy);
        FileInfo file(root + "/./" + relative, shiftTime);
        recordCopied(file, Storage::INTERNAL, root + "/" + relative, params.target + "/" + relative);
        ledger->insertToBuffer(file);
        ledger->insertToCredits(file);
    }
    bool linked(const std::string& relative) const { return isLink(root + "/" + relative); }
    std::string log() const { return readFile(params.logfile); }

    DebitCredit* ledger;
    Storage::Params params;
    std::string root;
};

// A small RAM disk, and a message client logging to a folder of its own.
struct Tapped {
    TmpfsMount ram{"size=8m"};
    TempDir dir;
    MessageTap tap{dir / "vellort.log"};
};

}  // namespace

// Nothing is offered, so after its first check above the limit the thread
// waits for files, checking once a second: the alarms go out with their
// texts, and are armed again, while it waits. Two logged rises of the inode
// use show that a check has passed since the fill state was set. Which alarm
// comes when is FillPolicyTest's.
TEST(LinkThreadTest, AlarmsAreSentWithTheirTextsAndArmedAgainWhileAPassWaitsForFiles) {
    Tapped on;
    if (!on.ram.mounted()) GTEST_SKIP() << on.ram.skipReason();
    ASSERT_TRUE(on.tap.ready());
    Watch watch(on.dir, on.ram.path(), on.tap.server);
    watch.params.fillstate_limit = 80;
    const std::string mount = on.ram.path();
    const std::string alarms[] = {
        "", "Warning: " + mount + " reached 80% limit. Old files will be turned into symbolic links.",
        "Warning: " + mount + " reached 90% limit. " + mount + " is likely to overflow. ",
        "Error: " + mount + " reached 99% limit. Files copied there may be lost!"};
    const std::vector<std::pair<double, std::vector<int>>> steps = {{99.5, {1, 2, 3}}, {79, {}}, {99.5, {2, 3}}};
    for (size_t step = 0; step < steps.size(); ++step) {
        const double percent = steps[step].first;
        SCOPED_TRACE(percent);
        const double reached = fillTo(mount, percent);
        ASSERT_TRUE(reached > percent && reached < percent + 0.2) << reached;
        if (step == 0) watch.start();
        for (int bump = 0; bump < 2; ++bump) {
            const int seen = countInFile(on.dir / "vellort.log", " of inodes on ");
            writeFile(mount + "/inode" + std::to_string(2 * step + bump), "");
            ASSERT_TRUE(waitForLogCount(on.dir / "vellort.log", " of inodes on ", seen + 1));
        }
        std::vector<std::string> expected;
        for (int code : steps[step].second) expected.push_back(std::to_string(code) + " " + mount + " " + alarms[code]);
        EXPECT_EQ(expected, on.tap.received());
    }
    EXPECT_NE(std::string::npos, watch.log().find("++ " + mount + " filled to 99.5"));
}

// One pass over good files and some that must stay: a copy deleted by hand, a
// short copy, and (for links) a leftover temporary link.
TEST(LinkThreadTest, PassesReplaceOnlyFilesWhoseCopyIsComplete) {
    for (bool createLinks : {true, false}) {
        SCOPED_TRACE(createLinks);
        Tapped on;
        if (!on.ram.mounted()) GTEST_SKIP() << on.ram.skipReason();
        ASSERT_TRUE(on.tap.ready());
        ASSERT_GT(fillTo(on.ram.path(), 60), 50);
        Watch watch(on.dir, on.ram.path(), on.tap.server);
        watch.params.create_links = createLinks;
        watch.params.preserve_gid = false;  // links get the shift's uid and the daemon's gid
        const std::string ramRun = on.ram.path() + "/run/", copyRun = watch.params.target + "/run/";
        for (const std::string name : {"good0", "good1", "missing", "short", "leftover"})
            watch.offer("run/" + name, name, name == "short" ? "s" : name);
        ASSERT_EQ(0, unlink((copyRun + "missing").c_str()));
        ASSERT_EQ(0, symlink("elsewhere", (ramRun + "leftover.tmp").c_str()));
        watch.start();
        // Done when the ledger keeps only the links, until a user shift or the
        // inode relief; failed links go to the deletion thread, removed files are forgotten.
        ASSERT_TRUE(CopyRig::waitUntil([&]() { return watch.ledger->size() == (createLinks ? 2 : 0); }));

        std::vector<std::string> good = {"good0", "good1"};
        std::vector<std::pair<std::string, std::string>> kept = {
            {"missing", "copy " + copyRun + "missing is missing"},
            {"short", "copy " + copyRun + "short has 1 bytes, the file 5"}};
        if (createLinks)
            kept.push_back({"leftover", "File exists"});
        else
            good.push_back("leftover");
        // The fill state's alarm first, then one error per file kept.
        std::vector<std::string> expected = {"1 " + on.ram.path() + " Warning: " + on.ram.path() +
                                             " reached 50% limit. Old files will be turned into symbolic links."};
        for (const auto& file : kept) {
            const std::string origin = on.ram.path() + "/./run/" + file.first, copy = copyRun + file.first;
            expected.push_back((createLinks
                                    ? "5 " + copy + " ++ Error: Creating symbolic link from " + origin + " to " + copy
                                    : "6 " + origin + " ++ Error: Deleting " + origin) +
                               " failed\n" + file.second + "\n");
            EXPECT_EQ(file.first, isLink(ramRun + file.first) ? "a link" : readFile(ramRun + file.first));
        }
        EXPECT_EQ(expected, on.tap.received());
        for (const std::string& name : good) {
            struct stat link;
            EXPECT_EQ(createLinks, lstat((ramRun + name).c_str(), &link) == 0) << name;
            if (!createLinks) continue;
            EXPECT_EQ(copyRun + name, linkTarget(ramRun + name));
            EXPECT_EQ(name, readFile(ramRun + name));
            EXPECT_EQ(shiftUid, link.st_uid);
            EXPECT_EQ(0u, link.st_gid);
        }
        EXPECT_EQ("elsewhere", linkTarget(ramRun + "leftover.tmp"));
    }
}

// Above 99% after the first pass of 1000, the batch doubles and the next pass takes the rest.
TEST(LinkThreadTest, PassesGrowWhileAFullFileSystemStaysAboveTheLimit) {
    TmpfsMount ram("size=8m");
    if (!ram.mounted()) GTEST_SKIP() << ram.skipReason();
    TempDir dir;
    ASSERT_GT(fillTo(ram.path(), 99.5), 99.5);
    Watch watch(dir, ram.path());
    for (int i = 0; i < 2500; ++i) watch.offer("run/img_" + std::to_string(i));
    watch.start();
    ASSERT_TRUE(CopyRig::waitUntil([&]() { return watch.linked("run/img_2499"); }));
    for (int i = 0; i < 2500; ++i) ASSERT_TRUE(watch.linked("run/img_" + std::to_string(i))) << i;
    EXPECT_EQ(1, countInFile(watch.params.logfile,
                             "++ Converting 1000 files on " + ram.path() + " into symbolic links to disk\n"));
    EXPECT_EQ(1, countInFile(watch.params.logfile,
                             "++ Converting 1500 files on " + ram.path() + " into symbolic links to disk\n"));
    const std::string report =
        "   ++ 1000 symbolic links from " + ram.path() + " to " + watch.params.target + "/ successfully created\n";
    EXPECT_EQ(2, countInFile(watch.params.logfile, report));
}

TEST(LinkThreadTest, InodeReliefRemovesTheOldestLinksThatAreStillLinks) {
    TmpfsMount ram("size=8m,nr_inodes=200");
    if (!ram.mounted()) GTEST_SKIP() << ram.skipReason();
    TempDir dir;
    ASSERT_GT(fillTo(ram.path(), 60), 50);
    Watch watch(dir, ram.path());
    const int files = 60;
    for (int i = 0; i < files; ++i) watch.offer("run/img_" + std::to_string(i));
    watch.start();
    ASSERT_TRUE(CopyRig::waitUntil([&]() { return watch.linked("run/img_" + std::to_string(files - 1)); }));

    // The acquisition writes a new file where the oldest link was, and more
    // files take the inode use above the limit: 100 of 200 must stay free.
    const std::string first = ram.path() + "/run/img_0";
    ASSERT_EQ(0, unlink(first.c_str()));
    writeFile(first, "new data");
    for (int i = 0; i < 60; ++i) writeFile(ram.path() + "/other_" + std::to_string(i), "");
    struct statvfs stats;
    ASSERT_TRUE(CopyRig::waitUntil([&]() { return statvfs(ram.path().c_str(), &stats) == 0 && stats.f_ffree >= 100; }));
    EXPECT_EQ(100u, stats.f_ffree);
    EXPECT_EQ("new data", readFile(first));
    EXPECT_NE(std::string::npos, watch.log().find("Warning: Not removing " + ram.path() +
                                                  "/./run/img_0: it is no longer a symbolic link\n"));
    // The oldest links are removed, as many as the relief steps took from the ledger.
    const std::string log = watch.log(), removing = "++ Removing ";
    int taken = 0;
    for (size_t at = log.find(removing); at != std::string::npos; at = log.find(removing, at + 1))
        taken += std::stoi(log.substr(at + removing.size()));
    EXPECT_NE(std::string::npos, log.find(" links on " + ram.path() + "\n"));
    ASSERT_GT(taken, 1);
    for (int i = 1; i < files; ++i) {
        EXPECT_EQ(i >= taken, watch.linked("run/img_" + std::to_string(i))) << i;
        EXPECT_EQ(i < taken, !fileExists(ram.path() + "/run/img_" + std::to_string(i))) << i;
    }
}

// A file system that cannot be measured keeps the last fill state measured:
// 0 from the start (no pass), or above the limit once it has vanished (passes go on).
TEST(LinkThreadTest, FileSystemThatCannotBeMeasuredKeepsItsLastFillState) {
    TmpfsMount vanishing("size=8m");
    if (!vanishing.mounted()) GTEST_SKIP() << vanishing.skipReason();
    // A folder of the tmpfs, so that it vanishes at once: an unmounted mount
    // point would show the file system below it until it is removed too.
    const std::string watched = vanishing.path() + "/watched";
    ASSERT_EQ(0, mkdir(watched.c_str(), 0755));
    const std::pair<std::string, std::string> cases[] = {
        // mount point ("": vanishing) and the line of each check
        {"/proc", "Error: /proc reports a size of 0 blocks of 4096 bytes; its fill state stays at 0%\n"},
        {"/nonexistent", " Error: Stat on  /nonexistent returned No such file or directory\n"},
        {"", " Error: Stat on  " + watched + " returned No such file or directory\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        TempDir dir;
        ASSERT_TRUE(!c.first.empty() || fillTo(vanishing.path(), 60) > 50);
        Watch watch(dir, c.first.empty() ? watched : c.first, nullptr, dir / "ramdisk");
        watch.offer("run/img_0");
        watch.start();
        if (c.first.empty()) {
            ASSERT_TRUE(CopyRig::waitUntil([&]() { return watch.linked("run/img_0"); }));
            ASSERT_EQ(0, rmdir(watched.c_str()));
            for (const char* name : {"run/img_1", "run/img_2"}) {
                watch.offer(name);
                ASSERT_TRUE(CopyRig::waitUntil([&]() { return watch.linked(name); })) << name;
            }
            EXPECT_EQ(1, countInFile(dir / "vellort.log", " filled to "));
        } else {
            ASSERT_TRUE(waitForLogCount(dir / "vellort.log", c.second, 1));  // said once, however often checked
            EXPECT_FALSE(watch.linked("run/img_0"));
            EXPECT_EQ(0, countInFile(dir / "vellort.log", " filled to "));
        }
        EXPECT_GE(countInFile(dir / "vellort.log", c.second), 1);
        EXPECT_TRUE(c.first != "/nonexistent" ||
                    watch.log().find("Error: Cannot resolve /nonexistent\n       No such file or directory\n") == 0);
    }
}

TEST(LinkThreadTest, UserShiftInAPassHandsItsRestToTheDeletionThread) {
    TmpfsMount ram("size=8m");
    if (!ram.mounted()) GTEST_SKIP() << ram.skipReason();
    TempDir dir;
    ASSERT_GT(fillTo(ram.path(), 60), 50);
    DebitListThread::setPollundInfo({0, 0, shiftTime});
    Storage* storage = new Storage(storageParams(dir, Storage::INTERNAL, ram.path()));
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
    for (int i = 0; i < files; ++i) {
        if (i == held) continue;
        EXPECT_EQ(i < held, isLink(ramFile(i))) << i;
    }
    storage->startDeleting();
    ASSERT_TRUE(CopyRig::waitUntil([&]() {
        for (int i = 0; i < files; ++i)
            if (fileExists(ramFile(i))) return false;
        return true;
    }));
    for (int i = 0; i < files; ++i)
        EXPECT_EQ("data " + std::to_string(i), readFile(storage->getParams().target + "/img_" + std::to_string(i)));
    EXPECT_EQ(0, countInFile(dir / "vellort.log", "Error"));
}
