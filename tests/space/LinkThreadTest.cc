#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ledger/DebitCredit.h"
#include "ledger/DebitListThread.h"
#include "ledger/FileInfo.h"
#include "ledger/Storage.h"
#include "net/MessageServer.h"
#include "space/LinkThread.h"
#include "space/SpaceSupport.h"
#include "support/LogWatch.h"
#include "support/MessageClient.h"
#include "support/TempDir.h"
#include "support/TmpfsMount.h"

using namespace space_test;

namespace {

const int64_t shiftTime = 1000;
const uint32_t shiftUid = 1234;
const uint32_t shiftGid = 5678;

// The INTERNAL storage's LinkThread on a ledger of its own, watching `mount`;
// the files lie under `root` (the mount itself unless set otherwise). Ledger
// and thread are never deleted: the thread runs until the process ends.
struct Watch {
    Watch(const TempDir& dir, const std::string& mount, MessageServer* server = nullptr)
        : ledger(new DebitCredit(5, DebitCredit::TRACK_FILES)),
          params(storageParams(dir, Storage::INTERNAL, mount)),
          root(mount) {
        params.messageServer = server;
        params.preserve_uid = params.preserve_gid = true;
        DebitListThread::setPollundInfo({shiftUid, shiftGid, shiftTime});
        ledger->setTavroTime(shiftTime, shiftUid, shiftGid);
    }

    void start() { ASSERT_EQ(0, (new LinkThread(*ledger, params))->start()); }

    // A file holding `content`, copied with `copyContent` (no copy when null)
    // and booked as copied; with `lock`, its read lock is taken into it first.
    void offer(const std::string& relative, const std::string& content, const char* copyContent,
               std::unique_ptr<FileInfo::ReadLock>* lock = nullptr) {
        for (const std::string& base : {root, params.target}) makeDirectories(base + "/run");
        writeFile(root + "/" + relative, content);
        if (copyContent != nullptr) writeFile(params.target + "/" + relative, copyContent);
        FileInfo file(root + "/./" + relative, shiftTime);
        file.setFlag(FileInfo::INTERNAL_COPY_STARTED | FileInfo::INTERNAL_COPIED);
        if (lock != nullptr) lock->reset(new FileInfo::ReadLock(file));
        ledger->insertToBuffer(file);
        ledger->insertToCredits(file);
    }

    bool linked(const std::string& relative) const { return isLink(root + "/" + relative); }
    std::string log() const { return readFile(params.logfile); }

    DebitCredit* ledger;
    Storage::Params params;
    std::string root;
};

// The numbers of the lines of `log` that match `pattern`'s group 1.
std::vector<std::string> matches(const std::string& log, const std::regex& pattern) {
    std::vector<std::string> found;
    std::istringstream lines(log);
    std::smatch match;
    for (std::string line; std::getline(lines, line);)
        if (std::regex_match(line, match, pattern)) found.push_back(match[1]);
    return found;
}

}  // namespace

TEST(LinkThreadTest, AlarmsAreSentOnceAndArmedAgainBelowTheirPoints) {
    TmpfsMount ram("size=8m");
    if (!ram.mounted()) GTEST_SKIP() << ram.skipReason();
    TempDir dir;
    MessageTap tap(dir / "vellort.log");
    ASSERT_TRUE(tap.ready());
    Watch watch(dir, ram.path(), tap.server);
    watch.params.fillstate_limit = 80;

    // The thread checks the fill state after every pass. Each pass here ends
    // on a file whose read lock the test holds (the blocker): the test sets the
    // next fill state, offers a probe and a new blocker, and lets the old
    // blocker go, so the check after that pass sees the new fill state. Above
    // the limit the next pass links the probe. Below it the thread idles; two
    // rises of the inode use, each logged by a check, show that an idle check
    // has passed.
    const std::string mount = ram.path();
    const std::string alarm1 =
        "Warning: " + mount + " reached 80% limit. Old files will be turned into symbolic links.";
    const std::string alarm2 = "Warning: " + mount + " reached 90% limit. " + mount + " is likely to overflow. ";
    const std::string alarm3 = "Error: " + mount + " reached 99% limit. Files copied there may be lost!";
    const std::vector<std::pair<double, std::vector<std::string>>> steps = {
        {81, {alarm1}}, {91, {alarm2}},           {99.5, {alarm3}}, {85, {}},       {99.5, {alarm3}},
        {79, {}},       {99.5, {alarm2, alarm3}}, {39, {}},         {81, {alarm1}},
    };
    int offered = 0;
    std::string probe;
    std::unique_ptr<FileInfo::ReadLock> blocker;
    bool blocked = true;  // on a blocker, or not started yet
    for (size_t step = 0; step < steps.size(); ++step) {
        const double percent = steps[step].first;
        SCOPED_TRACE(percent);
        const double reached = fillTo(mount, percent);
        ASSERT_TRUE(reached > percent && reached < percent + 0.2) << reached;
        if (blocked) {
            std::unique_ptr<FileInfo::ReadLock> old = std::move(blocker);
            probe = "run/probe" + std::to_string(offered);
            watch.offer(probe, "", "");
            watch.offer("run/blocker" + std::to_string(offered++), "", "", &blocker);
            if (step == 0) watch.start();
        }  // the old blocker is let go here
        blocked = percent > 80;
        for (int bump = 0; !blocked && bump < 2; ++bump) {
            const int seen = countInFile(dir / "vellort.log", " of inodes on ");
            writeFile(mount + "/inode" + std::to_string(offered++), "");
            ASSERT_TRUE(waitForLogCount(dir / "vellort.log", " of inodes on ", seen + 1));
        }
        if (blocked) {
            ASSERT_TRUE(waitUntil([&]() { return watch.linked(probe); }));
        }
        for (const std::string& alarm : steps[step].second) {
            MessageClient::Frame frame;
            ASSERT_TRUE(tap.client->readFrame(frame)) << tap.client->error();
            EXPECT_EQ(alarm, frame.text);
            EXPECT_EQ(mount, frame.subject);
            EXPECT_EQ(alarm == alarm1 ? 1 : alarm == alarm2 ? 2 : 3, frame.code);
        }
    }
    EXPECT_TRUE(tap.frames().empty());
    EXPECT_NE(std::string::npos, watch.log().find("++ " + mount + " filled to 81.0"));
}

// One pass over good files and some that must stay: a copy deleted by hand, a
// short copy, and (for links) a leftover temporary link.
TEST(LinkThreadTest, PassesReplaceOnlyFilesWhoseCopyIsComplete) {
    struct Case {
        bool createLinks;
        bool preserveUid;
        bool preserveGid;
        uid_t uid;  // expected owner of the links
        gid_t gid;
    };
    const std::vector<Case> cases = {
        {true, true, true, shiftUid, shiftGid},
        {true, false, false, 0, 0},
        {true, true, false, shiftUid, 0},
        {false, true, true, 0, 0},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(std::to_string(test.createLinks) + std::to_string(test.preserveUid) +
                     std::to_string(test.preserveGid));
        TmpfsMount ram("size=8m");
        if (!ram.mounted()) GTEST_SKIP() << ram.skipReason();
        TempDir dir;
        MessageTap tap(dir / "vellort.log");
        ASSERT_TRUE(tap.ready());
        ASSERT_GT(fillTo(ram.path(), 60), 50);
        Watch watch(dir, ram.path(), tap.server);
        watch.params.create_links = test.createLinks;
        watch.params.preserve_uid = test.preserveUid;
        watch.params.preserve_gid = test.preserveGid;
        const std::string ramRun = ram.path() + "/run/";
        const std::string copyRun = watch.params.target + "/run/";
        watch.offer("run/good0", "data 0", "data 0");
        watch.offer("run/missing", "data m", "data m");
        ASSERT_EQ(0, unlink((copyRun + "missing").c_str()));
        watch.offer("run/good1", "data 1", "data 1");
        watch.offer("run/short", "data s", "d");
        ASSERT_EQ(0, symlink("elsewhere", (ramRun + "leftover.tmp").c_str()));
        watch.offer("run/leftover", "data l", "data l");
        watch.offer("run/good2", "data 2", "data 2");
        watch.start();

        std::vector<std::string> good = {"good0", "good1", "good2"};
        std::vector<std::pair<std::string, std::string>> kept = {
            {"missing", "copy " + copyRun + "missing is missing"},
            {"short", "copy " + copyRun + "short has 1 bytes, the file 6"}};
        if (test.createLinks)
            kept.push_back({"leftover", "File exists"});
        else
            good.push_back("leftover");
        ASSERT_TRUE(waitUntil([&]() {
            for (const std::string& name : good)
                if (test.createLinks ? !isLink(ramRun + name) : !gone(ramRun + name)) return false;
            return true;
        }));
        for (const std::string& name : good) {
            struct stat link;
            if (!test.createLinks || lstat((ramRun + name).c_str(), &link) != 0) continue;
            EXPECT_EQ(copyRun + name, linkTarget(ramRun + name));
            EXPECT_EQ("data " + name.substr(4), readFile(ramRun + name));
            EXPECT_EQ(test.uid, link.st_uid);
            EXPECT_EQ(test.gid, link.st_gid);
        }
        // First the fill state's alarm, then one error per file kept.
        std::vector<MessageClient::Frame> frames;
        ASSERT_TRUE(waitUntil([&]() {
            for (const MessageClient::Frame& frame : tap.frames()) frames.push_back(frame);
            return frames.size() >= kept.size() + 1;
        }));
        ASSERT_EQ(kept.size() + 1, frames.size());
        EXPECT_EQ(1, frames[0].code);
        for (size_t i = 0; i < kept.size(); ++i) {
            const std::string origin = ram.path() + "/./run/" + kept[i].first;
            const std::string copy = copyRun + kept[i].first;
            EXPECT_FALSE(isLink(origin));
            EXPECT_EQ("data " + kept[i].first.substr(0, 1), readFile(origin));
            EXPECT_EQ(test.createLinks ? 5 : 6, frames[i + 1].code);
            EXPECT_EQ(test.createLinks ? copy : origin, frames[i + 1].subject);
            EXPECT_EQ((test.createLinks ? "++ Error: Creating symbolic link from " + origin + " to " + copy
                                        : "++ Error: Deleting " + origin) +
                          " failed\n" + kept[i].second + "\n",
                      frames[i + 1].text);
        }
        EXPECT_EQ("elsewhere", linkTarget(ramRun + "leftover.tmp"));
        // Links stay in the ledger until a user shift or the inode relief;
        // failed links go to the deletion thread, removed files are forgotten.
        EXPECT_TRUE(waitUntil([&]() { return watch.ledger->size() == (test.createLinks ? 3 : 0); }));
    }
}

TEST(LinkThreadTest, PassesGrowWhileAFullFileSystemStaysAboveTheLimit) {
    TmpfsMount ram("size=8m");
    if (!ram.mounted()) GTEST_SKIP() << ram.skipReason();
    TempDir dir;
    ASSERT_GT(fillTo(ram.path(), 99.5), 99.5);
    Watch watch(dir, ram.path());
    for (int i = 0; i < 2500; ++i) watch.offer("run/img_" + std::to_string(i), "", "");
    watch.start();
    ASSERT_TRUE(waitUntil([&]() { return watch.linked("run/img_2499"); }));
    for (int i = 0; i < 2500; ++i) ASSERT_TRUE(watch.linked("run/img_" + std::to_string(i))) << i;

    // The first pass takes a batch of 1000. The fill state is still above the
    // limit after it, so the batch doubles and the next pass takes the rest.
    const std::regex converting("\\+\\+ Converting ([0-9]+) files on " + ram.path() + " into symbolic links to disk");
    const std::regex report(
        "\\+\\+ [0-9]{4}/[0-9]{1,2}/[0-9]{1,2} - [0-9]{1,2}:[0-9]{1,2}:[0-9]{1,2}   \\+\\+ (1000) "
        "symbolic links from " +
        ram.path() + " to " + watch.params.target + "/ successfully created");
    EXPECT_EQ((std::vector<std::string>{"1000", "1500"}), matches(watch.log(), converting));
    EXPECT_EQ(2u, matches(watch.log(), report).size());
}

TEST(LinkThreadTest, InodeReliefRemovesTheOldestLinksThatAreStillLinks) {
    TmpfsMount ram("size=8m,nr_inodes=200");
    if (!ram.mounted()) GTEST_SKIP() << ram.skipReason();
    TempDir dir;
    ASSERT_GT(fillTo(ram.path(), 60), 50);
    Watch watch(dir, ram.path());
    const int files = 60;
    for (int i = 0; i < files; ++i) watch.offer("run/img_" + std::to_string(i), "", "");
    watch.start();
    ASSERT_TRUE(waitUntil([&]() { return watch.linked("run/img_" + std::to_string(files - 1)); }));

    // The acquisition writes a new file where the oldest link was, and more
    // files take the inode use above the limit: 100 of 200 must stay free.
    const std::string first = ram.path() + "/run/img_0";
    ASSERT_EQ(0, unlink(first.c_str()));
    writeFile(first, "new data");
    for (int i = 0; i < 60; ++i) writeFile(ram.path() + "/other_" + std::to_string(i), "");
    struct statvfs stats;
    ASSERT_TRUE(waitUntil([&]() { return statvfs(ram.path().c_str(), &stats) == 0 && stats.f_ffree >= 100; }));
    EXPECT_EQ(100u, stats.f_ffree);
    EXPECT_EQ("new data", readFile(first));
    EXPECT_NE(std::string::npos, watch.log().find("Warning: Not removing " + ram.path() +
                                                  "/./run/img_0: it is no longer a symbolic link\n"));

    // The links removed are the oldest ones, as many as the relief steps took
    // from the ledger; the newer ones are all still there.
    int taken = 0;
    for (const std::string& count : matches(watch.log(), std::regex("\\+\\+ Removing ([0-9]+) links on " + ram.path())))
        taken += std::stoi(count);
    ASSERT_GT(taken, 1);
    for (int i = 1; i < files; ++i) {
        EXPECT_EQ(i >= taken, watch.linked("run/img_" + std::to_string(i))) << i;
        EXPECT_EQ(i < taken, gone(ram.path() + "/run/img_" + std::to_string(i))) << i;
    }
}

// A file system that cannot be measured keeps the last fill state measured:
// 0 from the start (no pass), or above the limit once it has vanished (passes go on).
TEST(LinkThreadTest, FileSystemThatCannotBeMeasuredKeepsItsLastFillState) {
    struct Case {
        std::string mountpoint;  // empty: a tmpfs above the limit that vanishes
        std::string line;        // logged by each check
    };
    TmpfsMount vanishing("size=8m");
    if (!vanishing.mounted()) GTEST_SKIP() << vanishing.skipReason();
    const std::vector<Case> cases = {
        {"/proc", "Error: /proc reports a size of 0 blocks of 4096 bytes; its fill state stays at 0%\n"},
        {"/nonexistent", " Error: Stat on  /nonexistent returned No such file or directory\n"},
        {"", " Error: Stat on  " + vanishing.path() + " returned No such file or directory\n"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.mountpoint);
        TempDir dir;
        if (test.mountpoint.empty()) {
            ASSERT_GT(fillTo(vanishing.path(), 60), 50);
        }
        Watch watch(dir, test.mountpoint.empty() ? vanishing.path() : test.mountpoint);
        watch.root = dir / "ramdisk";
        watch.offer("run/img_0", "", "");
        watch.start();
        if (test.mountpoint.empty()) {
            ASSERT_TRUE(waitUntil([&]() { return watch.linked("run/img_0"); }));
            ASSERT_EQ(0, umount2(vanishing.path().c_str(), MNT_DETACH));
            ASSERT_EQ(0, rmdir(vanishing.path().c_str()));
            for (const char* name : {"run/img_1", "run/img_2"}) {
                watch.offer(name, "", "");
                ASSERT_TRUE(waitUntil([&]() { return watch.linked(name); })) << name;
            }
            EXPECT_EQ(1, countInFile(dir / "vellort.log", " filled to "));
        } else {
            ASSERT_TRUE(waitForLogCount(dir / "vellort.log", test.line, 2));
            EXPECT_FALSE(watch.linked("run/img_0"));
            EXPECT_EQ(std::string::npos, watch.log().find(" filled to "));
        }
        EXPECT_GE(countInFile(dir / "vellort.log", test.line), 1);
        if (test.mountpoint == "/nonexistent") {
            EXPECT_EQ(0u, watch.log().find("Error: Cannot resolve /nonexistent\n       No such file or directory\n"));
        }
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
    const int files = 30;
    const int held = 10;
    std::unique_ptr<FileInfo::ReadLock> hold;
    auto ramFile = [&](int i) { return ram.path() + "/img_" + std::to_string(i); };
    for (int i = 0; i < files; ++i) {
        writeFile(ramFile(i), "data " + std::to_string(i));
        FileInfo file(ram.path() + "/./img_" + std::to_string(i), shiftTime);
        if (i == held) hold.reset(new FileInfo::ReadLock(file));
        storage->insertToBuffer(file);
        storage->flushBuffer();
    }
    ASSERT_TRUE(waitUntil([&]() { return isLink(ramFile(held - 1)); }));
    DebitListThread::setPollundInfo({0, 0, shiftTime + 1});
    storage->setTavroTime(shiftTime + 1, 0, 0);
    hold.reset();

    // The held file is linked; the rest leave the pass unlinked, and the
    // ledger has nothing of the old shift left in progress.
    ASSERT_TRUE(waitUntil([&]() { return storage->debitCredit().size() == 0; }));
    for (int i = 0; i < files; ++i) EXPECT_EQ(i <= held, isLink(ramFile(i))) << i;
    storage->startDeleting();
    ASSERT_TRUE(waitUntil([&]() {
        for (int i = 0; i < files; ++i)
            if (!gone(ramFile(i))) return false;
        return true;
    }));
    for (int i = 0; i < files; ++i)
        EXPECT_EQ("data " + std::to_string(i), readFile(storage->getParams().target + "/img_" + std::to_string(i)));
    EXPECT_EQ(std::string::npos, readFile(dir / "vellort.log").find("Error"));
}
