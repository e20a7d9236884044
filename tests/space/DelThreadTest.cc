#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ledger/DebitCredit.h"
#include "ledger/DebitListThread.h"
#include "ledger/FileInfo.h"
#include "ledger/Storage.h"
#include "net/MessageServer.h"
#include "space/DelThread.h"
#include "space/SpaceSupport.h"
#include "support/LogWatch.h"
#include "support/MessageClient.h"
#include "support/TempDir.h"
#include "support/TmpfsMount.h"

using namespace space_test;

namespace {

const int64_t firstShift = 1000;
const int64_t secondShift = 2000;

}  // namespace

// The files of one shift meet the deletion thread in every state it must tell
// apart; the EXTERNAL storage's origin ends with "/", as configured.
TEST(DelThreadTest, DeletesOnlyFilesOfWhichTheStorageHoldsACompleteCopy) {
    for (int type : {Storage::INTERNAL, Storage::EXTERNAL}) {
        SCOPED_TRACE(type);
        TempDir dir;
        MessageTap tap(dir / "vellort.log");
        ASSERT_TRUE(tap.ready());
        Storage::Params params = storageParams(dir, type, "");
        params.messageServer = tap.server;
        const std::string source = type == Storage::INTERNAL ? dir / "ramdisk" : dir / "internal";
        if (type == Storage::EXTERNAL) params.origin = source + "/";
        makeDirectories(source);
        makeDirectories(params.target);
        const uint32_t copied = type == Storage::INTERNAL ? FileInfo::INTERNAL_COPIED : FileInfo::EXTERNAL_COPIED;
        // Where the thread deletes a file, and where its copy lies.
        auto path = [&](const std::string& name) {
            return type == Storage::INTERNAL ? dir / "ramdisk/./" + name : params.origin + "/" + name;
        };
        auto copy = [&](const std::string& name) { return params.target + "/" + name; };

        DebitCredit* ledger = new DebitCredit(5, DebitCredit::TRACK_FILES);
        ledger->setTavroTime(firstShift, 0, 0);
        auto announce = [&](const std::string& name, bool withFile, bool withCopy) {
            if (withFile) writeFile(source + "/" + name, "data");
            if (withCopy) writeFile(copy(name), "data");
            FileInfo file(dir / "ramdisk/./" + name, firstShift);
            ledger->insertToBuffer(file);
            return file;
        };
        auto credit = [&](FileInfo file) {
            file.setFlag(copied);
            ledger->insertToCredits(file);
        };
        ledger->insertToFailedCopies(announce("failed", true, false));
        credit(announce("copied", true, true));
        FileInfo linked = announce("linked", false, true);
        ASSERT_EQ(0, symlink(copy("linked").c_str(), (source + "/linked").c_str()));
        credit(linked);
        credit(announce("copyGone", true, false));
        credit(announce("gone", false, true));
        FileInfo late = announce("late", true, true);  // still being copied at the shift

        DelThread* thread = new DelThread(*ledger, params);  // runs until the process ends
        ASSERT_EQ(0, thread->start());
        ledger->setTavroTime(secondShift, 0, 0);
        thread->awaken();
        ASSERT_TRUE(waitUntil([&]() { return gone(source + "/copied") && gone(source + "/linked"); }));
        credit(late);
        ASSERT_TRUE(waitUntil([&]() { return gone(source + "/late"); }));
        EXPECT_EQ("data", readFile(source + "/failed"));
        EXPECT_EQ("data", readFile(source + "/copyGone"));
        for (const char* name : {"copied", "linked", "gone", "late"}) EXPECT_EQ("data", readFile(copy(name))) << name;

        const std::vector<std::string> texts = {
            "Warning: Not removing " + path("failed") + ": this storage holds no copy of it",
            "Warning: Not removing " + path("copyGone") + ": copy " + copy("copyGone") + " is missing",
            "Error: could not remove " + path("gone"),
        };
        const std::vector<MessageClient::Frame> frames = tap.frames();
        ASSERT_EQ(texts.size(), frames.size());
        for (size_t i = 0; i < texts.size(); ++i) {
            EXPECT_EQ(6, frames[i].code);
            EXPECT_EQ(path(i == 0 ? "failed" : i == 1 ? "copyGone" : "gone"), frames[i].subject);
            EXPECT_EQ(texts[i], frames[i].text);
        }
        const std::string log = readFile(dir / "vellort.log");
        EXPECT_NE(std::string::npos,
                  log.find(texts[0] + "\n" + texts[1] + "\n++ " + texts[2] + "\nNo such file or directory\n"));
    }
}

// The cascade through real storages on two small file systems, both above
// the limit: links (or removals) on the RAM disk and the INTERNAL storage's
// file system, then a user shift clears both while the EXTERNAL and OPTIONAL
// copies stay.
TEST(DelThreadTest, UserShiftEmptiesRamDiskAndInternalStorageWhileLaterCopiesStay) {
    for (bool createLinks : {true, false}) {
        SCOPED_TRACE(createLinks);
        TmpfsMount ram("size=8m");
        TmpfsMount internalFs("size=8m");
        if (!ram.mounted()) GTEST_SKIP() << ram.skipReason();
        TempDir dir;
        ASSERT_GT(fillTo(ram.path(), 60), 50);
        ASSERT_GT(fillTo(internalFs.path(), 60), 50);
        std::vector<Storage::Params> params = {storageParams(dir, Storage::INTERNAL, ram.path()),
                                               storageParams(dir, Storage::EXTERNAL, internalFs.path()),
                                               storageParams(dir, Storage::OPTIONAL, "")};
        const std::string internalTarget = params[0].target = internalFs.path() + "/target";
        const std::string externalTarget = params[1].target;
        params[1].origin = internalTarget;
        params[1].alternativeSourceDirs = {internalTarget};
        params[2].alternativeSourceDirs = {internalTarget, externalTarget};
        DebitListThread::setPollundInfo({0, 0, firstShift});
        std::vector<Storage*> storages;
        for (Storage::Params& storage : params) {
            storage.create_links = createLinks;
            storages.push_back(new Storage(storage));
            storages.back()->setTavroTime(firstShift, 0, 0);
        }

        const int files = 5;
        auto relative = [](int i) { return "/run/img_" + std::to_string(i); };
        auto content = [](int i) { return std::string(10000 + i, static_cast<char>('a' + i)); };
        makeDirectories(ram.path() + "/run");
        for (int i = 0; i < files; ++i) {
            writeFile(ram.path() + relative(i), content(i));
            FileInfo file(ram.path() + "/." + relative(i), firstShift);
            for (Storage* storage : storages) {
                storage->insertToBuffer(file);
                storage->flushBuffer();
            }
        }
        // Links: RAM disk -> INTERNAL copy -> EXTERNAL copy. Removal: both gone.
        auto cascaded = [&](int i) {
            const std::string ramFile = ram.path() + relative(i);
            const std::string internalFile = internalTarget + relative(i);
            if (!createLinks) return gone(ramFile) && gone(internalFile);
            return linkTarget(ramFile) == internalFile && linkTarget(internalFile) == externalTarget + relative(i) &&
                   readFile(ramFile) == content(i);
        };
        ASSERT_TRUE(waitUntil([&]() {
            for (int i = 0; i < files; ++i)
                if (!cascaded(i)) return false;
            return true;
        }));

        DebitListThread::setPollundInfo({0, 0, secondShift});
        for (Storage* storage : storages) {
            storage->setTavroTime(secondShift, 0, 0);
            storage->startDeleting();
        }
        ASSERT_TRUE(waitUntil([&]() {
            for (int i = 0; i < files; ++i)
                if (!gone(ram.path() + relative(i)) || !gone(internalTarget + relative(i))) return false;
            return true;
        }));
        for (int i = 0; i < files; ++i) {
            EXPECT_EQ(content(i), readFile(externalTarget + relative(i))) << i;
            EXPECT_EQ(content(i), readFile(params[2].target + relative(i))) << i;
        }
        const std::string log = readFile(dir / "vellort.log");
        EXPECT_EQ(std::string::npos, log.find("Error")) << log;
        EXPECT_EQ(std::string::npos, log.find("Warning")) << log;
    }
}
