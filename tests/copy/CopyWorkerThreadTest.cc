#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ledger/FileInfo.h"
#include "ledger/Storage.h"
#include "net/MessageServer.h"
#include "support/CopyRig.h"
#include "support/LogWatch.h"
#include "support/MessageClient.h"
#include "support/TmpfsMount.h"

namespace {

std::string copyError(const std::string& id, const std::string& source, const std::string& destination, int code,
                      const std::string& systemText) {
    return id + ": Error: Copying " + source + " to " + destination + " returned error code " + std::to_string(code) +
           "\n" + systemText + "\n";
}

DebitCredit::HistEntry shiftCounts(Storage& storage) {
    return storage.history(1).front();
}

}  // namespace

TEST(CopyWorkerThreadTest, EachStorageCopiesFromTheRamDiskOrFromTheEarlierTargetsInOrder) {
    CopyRig rig;
    Storage::Params internal = rig.params("internal", Storage::INTERNAL);
    Storage::Params external = rig.params("external", Storage::EXTERNAL);
    external.alternativeSourceDirs = {internal.target};
    Storage::Params optional = rig.params("optional", Storage::OPTIONAL);
    optional.alternativeSourceDirs = {internal.target, external.target};
    const Storage::Params all[] = {internal, external, optional};
    Storage* storages[3];
    for (int s = 0; s < 3; ++s) {
        storages[s] = rig.start(all[s]);
        makeDirectories(all[s].target);
    }

    const std::string none;        // no such file
    const std::string skip = "-";  // not announced to that storage
    const uint32_t IS = FileInfo::INTERNAL_COPY_STARTED, IC = FileInfo::INTERNAL_COPIED;
    const uint32_t ES = FileInfo::EXTERNAL_COPY_STARTED, EC = FileInfo::EXTERNAL_COPIED;
    const uint32_t LINKED = FileInfo::INTERNAL_LINKED, REMOVED = FileInfo::INTERNAL_REMOVED;
    const uint32_t TAKEN = FileInfo::EXTERNAL_LINK_STARTED;
    struct Case {
        std::string name;
        uint32_t flags;         // set before the flush, as the link and removal passes would
        std::string before[3];  // the file on the RAM disk, in the INTERNAL and in the EXTERNAL target
        std::string copy[3];    // what each target holds afterwards
        uint32_t flagsAfter;
    };
    const Case cases[] = {
        {"run/plain.cbf", 0, {"ram", none, none}, {"ram", "ram", "ram"}, IS | IC | ES | EC},
        // The RAM-disk file is a link now: the first earlier target is read.
        {"run/linked.cbf", LINKED, {"ram", "internal", none}, {skip, "internal", "internal"}, LINKED | ES | EC},
        // Missing in the first earlier target: the second one is read; the
        // EXTERNAL storage has no second one and fails, keeping what it had.
        {"removed.cbf", REMOVED, {none, none, "external"}, {skip, "external", "external"}, REMOVED | ES},
        // The INTERNAL storage always reads the RAM disk.
        {"own.cbf", LINKED, {"ram", none, none}, {"ram", skip, skip}, LINKED | IS | IC},
        // The EXTERNAL link pass took the file up already: accepted uncopied.
        {"taken.cbf", TAKEN, {"ram", none, none}, {none, skip, skip}, TAKEN | IS | IC},
    };
    std::vector<FileInfo> records;
    for (const Case& c : cases) {
        const std::string places[] = {rig.ramdisk, internal.target, external.target};
        for (int p = 0; p < 3; ++p)
            if (!c.before[p].empty()) CopyRig::put(places[p] + "/" + c.name, c.before[p]);
        records.push_back(CopyRig::file(rig.ramdisk + "/./" + c.name));
        records.back().setFlag(c.flags);
        for (int s = 0; s < 3; ++s)
            if (c.copy[s] != skip) storages[s]->insertToBuffer(records.back());
    }
    for (Storage* storage : storages) storage->flushBuffer();
    const uint32_t copied[] = {3, 2, 3};
    const uint32_t failed[] = {0, 1, 0};
    for (int s = 0; s < 3; ++s) {
        ASSERT_TRUE(CopyRig::waitForBooked(*storages[s], copied[s] + failed[s])) << all[s].storageID;
        EXPECT_EQ(copied[s], shiftCounts(*storages[s]).copied) << all[s].storageID;
        EXPECT_EQ(failed[s], shiftCounts(*storages[s]).failed) << all[s].storageID;
    }

    for (size_t k = 0; k < records.size(); ++k) {
        const Case& c = cases[k];
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.flagsAfter, CopyRig::flagBits(records[k]));
        for (int s = 0; s < 3; ++s) {
            if (c.copy[s] == skip) continue;
            std::string copy = all[s].target + "/" + c.name;
            EXPECT_EQ(!c.copy[s].empty(), fileExists(copy)) << all[s].storageID;
            EXPECT_EQ(c.copy[s], readFile(copy)) << all[s].storageID;
        }
    }
    EXPECT_NE(std::string::npos,
              CopyRig::jobLog(*storages[1])
                  .find(copyError("external", internal.target + "/removed.cbf", external.target + "/removed.cbf", -1,
                                  "No such file or directory")));
}

TEST(CopyWorkerThreadTest, SummaryFoldsNumberedNamesIntoPatternsAndStopsAfterTenPatterns) {
    struct Case {
        std::string id;
        std::vector<std::string> names;  // one batch, in announcement order
        std::string summary;
    };
    std::vector<std::string> manyPatterns = {"early.txt"};
    std::string listed;
    for (char stem = 'a'; stem <= 'l'; ++stem) {
        manyPatterns.push_back(std::string("run/") + stem + "_1.cbf");
        // The eleventh pattern stops the recording and is listed; the twelfth is not.
        if (stem <= 'k') listed += std::string("Copied files: run/") + stem + "_<N>.cbf with N in [1,1]\n";
    }
    manyPatterns.push_back("run/a_7.cbf");  // after the stop: a stays at [1,1]
    manyPatterns.push_back("late.txt");
    const Case cases[] = {
        {"disk",
         {"run1/img_00002.cbf", "run1/img_00003.cbf", "run1/img_00001.cbf"},
         "disk: 3 files successfully copied\nCopied files: run1/img_<N>.cbf with N in [1,3]\n"},
        // Patterns in name order, numbers compared as numbers.
        {"two",
         {"b/x_5.h5", "a/x_10.h5", "a/x_2.h5"},
         "two: 3 files successfully copied\nCopied files: a/x_<N>.h5 with N in [2,10]\n"
         "Copied files: b/x_<N>.h5 with N in [5,5]\n"},
        {"plain",
         {"notes.txt", "run1/README"},
         "plain: 2 files successfully copied\nCopied files: \nnotes.txt\nrun1/README\n"},
        {"many", manyPatterns,
         "many: 15 files successfully copied\n" + listed +
             "Copied files: \nearly.txt\nStopped logging files after more than 10 file patterns occured\n"},
    };
    CopyRig rig;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        Storage* storage = rig.start(rig.params(c.id, Storage::OPTIONAL));
        for (const std::string& name : c.names) storage->insertToBuffer(CopyRig::file(rig.source(name, name)));
        storage->flushBuffer();  // one flush, one batch
        ASSERT_TRUE(CopyRig::waitForBooked(*storage, c.names.size()));
        ASSERT_TRUE(waitForLogCount(storage->getParams().logfile, "files successfully copied", 1));
        EXPECT_EQ(c.id + ": Copy job started\n" + c.summary, CopyRig::jobLog(*storage));
    }
}

TEST(CopyWorkerThreadTest, BadFilesAreLoggedReportedAndCountedAsFailedWhileTheBatchGoesOn) {
    CopyRig rig;
    const std::string serverLog = rig.dir / "messages.log";
    MessageServer* server = new MessageServer(serverLog, 0);  // lives on with its threads
    ASSERT_EQ(0, server->connect());
    MessageClient client(server->localPort());
    ASSERT_TRUE(waitForLogCount(serverLog, "++ Accepted connection from ", 1));

    Storage::Params params = rig.params("disk", Storage::OPTIONAL);
    params.messageServer = server;
    const std::string lost = "Source file does no longer exist and no alternative source directories are provided";
    Storage* storage = rig.start(params);
    const std::string R = rig.ramdisk + "/";
    const std::string T = params.target + "/";
    makeDirectories(R + "dir.cbf");  // a directory reads with an error
    makeDirectories(T);
    writeFile(T + "stale.cbf.tmp", std::string(10000, 'o'));  // left by a copy that was cut off
    const std::string noMarker = R + "nomarker.cbf";
    // The RAM-disk file is a link, and this storage has no earlier target to read instead.
    FileInfo linked = CopyRig::file(rig.source("linked.cbf", "l"));
    linked.setFlag(FileInfo::INTERNAL_LINKED);
    const std::vector<FileInfo> announced = {CopyRig::file(R + "./missing.cbf"),
                                             CopyRig::file(R + "./dir.cbf"),
                                             CopyRig::file(rig.source("stale.cbf", "new")),
                                             CopyRig::file(rig.source("twice.cbf", "2")),
                                             CopyRig::file(noMarker),
                                             linked,
                                             CopyRig::file(R + "./twice.cbf"),
                                             CopyRig::file(rig.source("good.cbf", "good"))};
    for (const FileInfo& file : announced) storage->insertToBuffer(file);
    storage->flushBuffer();
    ASSERT_TRUE(CopyRig::waitForBooked(*storage, announced.size()));
    ASSERT_TRUE(waitForLogCount(params.logfile, "files successfully copied", 1));

    EXPECT_EQ("disk: Copy job started\n" +
                  copyError("disk", R + "missing.cbf", T + "missing.cbf", -1, "No such file or directory") +
                  copyError("disk", R + "dir.cbf", T + "dir.cbf", -6, "Is a directory") + "disk: Error: Copying " +
                  noMarker + " refused: the path has no /./ between its base and relative part\n" +
                  "disk: Critical Error: Copying " + R + "linked.cbf to " + T + "linked.cbf\n   " + lost + "\n" +
                  "disk: 4 files successfully copied\nCopied files: \nstale.cbf\ntwice.cbf\ntwice.cbf\ngood.cbf\n",
              CopyRig::jobLog(*storage));
    EXPECT_EQ(4u, shiftCounts(*storage).copied);
    EXPECT_EQ(4u, shiftCounts(*storage).failed);
    EXPECT_EQ("new", readFile(T + "stale.cbf"));
    EXPECT_EQ("good", readFile(T + "good.cbf"));
    for (const char* gone : {"missing.cbf", "dir.cbf", "dir.cbf.tmp", "stale.cbf.tmp", "twice.cbf.tmp", "linked.cbf"})
        EXPECT_FALSE(fileExists(T + gone)) << gone;

    struct Report {
        std::string source, destination, text;
    };
    const Report reported[] = {{R + "missing.cbf", T + "missing.cbf", ""},
                               {R + "dir.cbf", T + "dir.cbf", ""},
                               {noMarker, params.target, ""},
                               {R + "linked.cbf", T + "linked.cbf",
                                "Critical Error: Failed to copy " + R + "linked.cbf to " + T + "linked.cbf. " + lost}};
    for (const Report& report : reported) {
        MessageClient::Frame frame;
        ASSERT_TRUE(client.readFrame(frame)) << client.error();
        EXPECT_EQ(MessageServer::COPY_ERROR, frame.code);
        EXPECT_EQ(report.source + ":" + report.destination, frame.subject);
        const std::string text = "Error: Failed to copy " + report.source + " to " + report.destination + ".";
        EXPECT_EQ(report.text.empty() ? text : report.text, frame.text);
    }

    // A batch in which nothing was copied has no summary.
    const std::string before = CopyRig::jobLog(*storage);
    storage->insertToBuffer(CopyRig::file(R + "./missing.cbf"));
    storage->flushBuffer();
    ASSERT_TRUE(CopyRig::waitForBooked(*storage, announced.size() + 1));
    ASSERT_TRUE(waitForLogCount(params.logfile, "No such file or directory", 2));
    EXPECT_EQ(5u, shiftCounts(*storage).failed);
    EXPECT_EQ(before + "disk: Copy job started\n" +
                  copyError("disk", R + "missing.cbf", T + "missing.cbf", -1, "No such file or directory"),
              CopyRig::jobLog(*storage));
}

TEST(CopyWorkerThreadTest, ReadOnlyOrFullTargetFailsItsFilesAndKeepsNoPartialCopy) {
    struct File {
        std::string name;
        size_t size;
        int code;  // 0: copied
    };
    struct Case {
        std::string options;
        bool readOnly;
        std::vector<File> batch;
        std::string systemText;
    };
    const Case cases[] = {
        {"size=1m", true, {{"a.cbf", 4096, -5}, {"sub/b.cbf", 4096, -3}}, "Read-only file system"},
        // The partial copy of the big file is removed, so the small one after it still fits.
        {"size=256k", false, {{"big.cbf", 1 << 20, -7}, {"small.cbf", 4096, 0}}, "No space left on device"},
    };
    CopyRig rig;
    int id = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        TmpfsMount target(c.options);
        if (!target.mounted()) GTEST_SKIP() << target.skipReason();
        if (c.readOnly) {
            ASSERT_TRUE(target.remount(true));
        }
        Storage::Params params = rig.params("target" + std::to_string(id++), Storage::INTERNAL);
        params.target = target.path();
        Storage* storage = rig.start(params);
        for (const File& file : c.batch)
            storage->insertToBuffer(CopyRig::file(rig.source(file.name, std::string(file.size, 'd'))));
        storage->flushBuffer();
        ASSERT_TRUE(CopyRig::waitForBooked(*storage, c.batch.size()));

        const std::string log = CopyRig::jobLog(*storage);
        uint32_t failed = 0;
        for (const File& file : c.batch) {
            SCOPED_TRACE(file.name);
            const std::string copy = target.path() + "/" + file.name;
            if (file.code != 0) {
                ++failed;
                EXPECT_NE(std::string::npos, log.find(copyError(params.storageID, rig.ramdisk + "/" + file.name, copy,
                                                                file.code, c.systemText)));
            }
            EXPECT_EQ(file.code == 0 ? std::string(file.size, 'd') : "", readFile(copy));
            EXPECT_EQ(file.code == 0, fileExists(copy));
            EXPECT_FALSE(fileExists(copy + ".tmp"));
        }
        EXPECT_EQ(failed, shiftCounts(*storage).failed);
    }
}
