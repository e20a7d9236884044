#include <unistd.h>

#include <gtest/gtest.h>

#include "space/DelThread.h"
#include "space/SpaceSupport.h"
#include "util/Paths.h"

using namespace space_test;

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
        const bool internal = type == Storage::INTERNAL;
        const std::string source = dir / (internal ? "ramdisk" : "internal");
        params.origin = internal ? "" : source + "/";
        params.ramdisk_mountpoint = dir / "ramdisk";
        // Where the thread deletes a file, and where its copy lies.
        auto path = [&](const std::string& name) { return source + (internal ? "/./" : "//") + name; };
        auto copy = [&](const std::string& name) { return params.target + "/" + name; };
        DebitCredit* ledger = new DebitCredit(5, DebitCredit::TRACK_FILES);
        ledger->setTavroTime(1000, 0, 0);
        auto announce = [&](const std::string& name, bool withFile, bool withCopy) {
            if (withFile) CopyRig::put(source + "/" + name, "data");
            if (withCopy) CopyRig::put(copy(name), "data");
            FileInfo file(dir / "ramdisk/./" + name, 1000);
            ledger->insertToBuffer(file);
            return file;
        };
        auto credit = [&](FileInfo file) {
            const std::string name = UTILITIES::getFilePathAfterDot(file.pathToOrigin());
            recordCopied(file, type, source + "/" + name, copy(name));
            ledger->insertToCredits(file);
        };
        ledger->insertToFailedCopies(announce("failed", true, false));  // no copy flag
        credit(announce("copied", true, true));
        credit(announce("linked", false, true));
        ASSERT_EQ(0, symlink(copy("linked").c_str(), (source + "/linked").c_str()));
        credit(announce("copyGone", true, false));  // the last good copy
        credit(announce("gone", false, true));
        const FileInfo late = announce("late", true, true);  // still being copied at the shift

        DelThread* thread = new DelThread(*ledger, params);  // runs until the process ends
        ASSERT_EQ(0, thread->start());
        ledger->setTavroTime(2000, 0, 0);
        thread->awaken();
        ASSERT_TRUE(
            CopyRig::waitUntil([&]() { return !fileExists(source + "/copied") && !fileExists(source + "/linked"); }));
        credit(late);
        ASSERT_TRUE(CopyRig::waitUntil([&]() { return !fileExists(source + "/late"); }));
        for (const char* name : {"failed", "copyGone"}) EXPECT_EQ("data", readFile(source + "/" + name)) << name;
        for (const char* name : {"copied", "linked", "gone", "late"}) EXPECT_EQ("data", readFile(copy(name))) << name;
        const std::string texts[] = {
            "Warning: Not removing " + path("failed") + ": this storage holds no copy of it",
            "Warning: Not removing " + path("copyGone") + ": copy " + copy("copyGone") + " is missing",
            "Error: could not remove " + path("gone")};
        EXPECT_EQ(
            (std::vector<std::string>{"6 " + path("failed") + " " + texts[0], "6 " + path("copyGone") + " " + texts[1],
                                      "6 " + path("gone") + " " + texts[2]}),
            tap.received());
        EXPECT_EQ(1, countInFile(dir / "vellort.log",
                                 texts[0] + "\n" + texts[1] + "\n++ " + texts[2] + "\nNo such file or directory\n"));
    }
}
