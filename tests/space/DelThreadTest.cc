#include <gtest/gtest.h>

#include "space/DelThread.h"
#include "space/SpaceSupport.h"

using namespace space_test;

// The files of a shift meet the deletion thread in every state it must tell apart; the EXTERNAL origin ends with "/".
TEST(DelThreadTest, DeletesOnlyFilesOfWhichTheStorageHoldsACompleteCopy) {
    for (bool internal : {true, false}) {
        SCOPED_TRACE(internal ? "INTERNAL" : "EXTERNAL");
        CopyRig rig;
        MessageTap tap(rig.dir / "vellort.log");
        ASSERT_TRUE(tap.ready());
        Storage::Params params = storageParams(rig, internal ? Storage::INTERNAL : Storage::EXTERNAL, rig.ramdisk);
        params.messageServer = tap.server;
        const std::string source = internal ? rig.ramdisk : rig.dir / "internal";
        internal ? params.external_target = rig.dir / "external" : params.origin = source + "/";
        auto path = [&](const std::string& name) { return source + (internal ? "/./" : "//") + name; };
        auto copy = [&](const std::string& name) { return params.target + "/" + name; };
        DebitCredit* ledger = new DebitCredit(5, DebitCredit::TRACK_FILES);
        auto announce = [&](const char* name, bool withFile, bool withCopy, bool copied = true, uint32_t flags = 0) {
            if (withFile) CopyRig::put(source + "/" + name, "data");
            if (withCopy) CopyRig::put(copy(name), "data");
            FileInfo file(rig.ramdisk + "/./" + name, 0);  // of the ledger's first shift
            copied ? recordCopied(file, params.type, source + "/" + name, copy(name)) : file.setFlag(flags);
            ledger->insertToBuffer(file);
            return file;
        };
        FileInfo late = announce("late", internal, true, false, FileInfo::EXTERNAL_COPIED);  // copied after the shift
        if (!internal) ledger->insertToCredits(late);
        FileInfo failed = announce("failed", true, false, false, FileInfo::EXTERNAL_COPY_ENDED);  // EXTERNAL failed too
        FileInfo waits = announce("waits", true, false, false);
        ledger->insertToFailedCopies(failed);
        if (internal) ledger->insertToFailedCopies(waits);  // to go once EXTERNAL has copied it
        ledger->insertToCredits(announce("copied", true, true));
        ledger->insertToCredits(announce("linked", false, true));
        ASSERT_EQ(0, symlink(copy("linked").c_str(), (source + "/linked").c_str()));
        ledger->insertToCredits(announce("copyGone", true, false));  // the last good copy
        ledger->insertToCredits(announce("gone", false, true));
        ledger->insertToCredits(announce("rewritten", true, true));
        writeFile(source + "/rewritten", "new data after the copy");
        DelThread* thread = new DelThread(*ledger, params);  // runs until the process ends
        ASSERT_EQ(0, thread->start());
        ledger->setTavroTime(2000, 0, 0);
        thread->awaken();
        auto gone = [&](const char* name) { return !fileExists(source + "/" + name); };
        ASSERT_TRUE(CopyRig::waitUntil([&]() { return gone("copied") && gone("linked"); }));
        CopyRig::put(source + "/late", "data");
        recordCopied(late, params.type, source + "/late", copy("late"));
        if (internal) {
            ledger->insertToCredits(late);
            CopyRig::put(params.external_target + "/waits", "data");
            waits.recordSource(identityAt(source + "/waits"));
            waits.recordCopy(FileInfo::EXTERNAL_COPIED, identityAt(params.external_target + "/waits"));
            waits.setFlag(FileInfo::EXTERNAL_COPIED);
        }
        ASSERT_TRUE(CopyRig::waitUntil([&]() { return gone("late") && (!internal || gone("waits")); }));
        EXPECT_TRUE(CopyRig::waitUntil([&]() { return ledger->counters().deleted == 4u + internal; }));  // none kept
        for (const char* name : {"failed", "copyGone"}) EXPECT_EQ("data", readFile(source + "/" + name)) << name;
        for (const char* name : {"copied", "linked", "gone", "late"}) EXPECT_EQ("data", readFile(copy(name))) << name;
        const std::pair<std::string, std::string> reports[] = {
            {"failed", "Warning: Not removing " + path("failed") + ": this storage holds no copy of it"},
            {"copyGone", "Warning: Not removing " + path("copyGone") + ": copy " + copy("copyGone") + " is missing"},
            {"gone", "Error: could not remove " + path("gone")},
            {"rewritten", "Warning: Not removing " + path("rewritten") + ": the file " + path("rewritten") +
                              " has changed since it was copied"}};
        std::vector<std::string> expected;
        for (const auto& report : reports) expected.push_back("6 " + path(report.first) + " " + report.second);
        EXPECT_EQ(expected, tap.received());
        EXPECT_EQ(1, countInFile(params.logfile, reports[1].second + "\n++ " + reports[2].second +
                                                     "\nNo such file or directory\n" + reports[3].second));
    }
}
