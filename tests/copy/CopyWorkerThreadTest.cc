#include <gtest/gtest.h>

#include "space/SpaceSupport.h"

TEST(CopyWorkerThreadTest, EachStorageCopiesFromTheRamDiskOrFromTheEarlierTargetsInOrder) {
    CopyRig rig;
    std::vector<Storage::Params> all = {rig.params("internal", Storage::INTERNAL),
                                        rig.params("external", Storage::EXTERNAL),
                                        rig.params("optional", Storage::OPTIONAL)};
    all[1].alternativeSourceDirs = {all[0].target};
    all[2].alternativeSourceDirs = {all[0].target, all[1].target};
    std::vector<Storage*> storages;
    for (const Storage::Params& params : all) storages.push_back(CopyRig::start(params));
    const std::string none = "(none)", skip = "-";  // not announced to that storage
    using F = FileInfo;
    const uint32_t IS = F::INTERNAL_COPY_STARTED, IC = F::INTERNAL_COPIED, ES = F::EXTERNAL_COPY_STARTED;
    const uint32_t EC = F::EXTERNAL_COPIED, EE = F::EXTERNAL_COPY_ENDED, LINKED = F::INTERNAL_LINKED;
    const uint32_t REMOVED = F::INTERNAL_REMOVED, TAKEN = F::EXTERNAL_LINK_STARTED, XL = F::EXTERNAL_LINKED;
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
        // EXTERNAL storage has no second one and fails for good, keeping what it had.
        {"removed.cbf", REMOVED, {none, none, "external"}, {skip, "external", "external"}, REMOVED | ES | EE},
        // The INTERNAL storage always reads the RAM disk.
        {"own.cbf", LINKED, {"ram", none, none}, {"ram", skip, skip}, LINKED | IS | IC},
        // Taken up by the EXTERNAL link pass (after a restart): copied all the same.
        {"taken.cbf", TAKEN, {"ram", none, none}, {"ram", skip, skip}, TAKEN | IS | IC},
        // ... and replaced the INTERNAL copy by a link, which is not followed: the next target is read.
        {"relinked.cbf", LINKED | XL, {"ram", "link", "ext"}, {skip, skip, "ext"}, LINKED | XL},
    };
    std::vector<FileInfo> records;
    for (const Case& c : cases) {
        const std::string places[] = {rig.ramdisk, all[0].target, all[1].target};
        for (int p = 0; p < 3; ++p)
            if (c.before[p] == "link")
                ASSERT_EQ(0, symlink((places[2] + "/" + c.name).c_str(), (places[1] + "/" + c.name).c_str()));
            else if (c.before[p] != none)
                CopyRig::put(places[p] + "/" + c.name, c.before[p]);
        records.push_back(CopyRig::file(rig.ramdisk + "/./" + c.name));
        records.back().setFlag(c.flags);
        for (int s = 0; s < 3; ++s)
            if (c.copy[s] != skip) storages[s]->insertToBuffer(records.back());
    }
    for (Storage* storage : storages) storage->flushBuffer();
    const uint32_t copied[] = {3, 2, 4}, failed[] = {0, 1, 0};
    for (int s = 0; s < 3; ++s) {
        ASSERT_TRUE(CopyRig::waitForBooked(*storages[s], copied[s] + failed[s])) << all[s].storageID;
        EXPECT_EQ(copied[s], storages[s]->history(1).front().copied) << all[s].storageID;
        EXPECT_EQ(failed[s], storages[s]->history(1).front().failed) << all[s].storageID;
    }
    auto contents = [&](const std::string& path) { return fileExists(path) ? readFile(path) : none; };
    for (size_t k = 0; k < records.size(); ++k) {
        SCOPED_TRACE(cases[k].name);
        for (uint32_t bit = 1; bit <= FileInfo::EXTERNAL_COPY_ENDED; bit <<= 1)
            EXPECT_EQ((cases[k].flagsAfter & bit) != 0, records[k].isSet(bit)) << "flag " << bit;
        for (int s = 0; s < 3; ++s) {
            const std::string copy = contents(all[s].target + "/" + cases[k].name);
            EXPECT_TRUE(cases[k].copy[s] == skip || cases[k].copy[s] == copy) << all[s].storageID << ": " << copy;
        }
    }
    EXPECT_EQ(1, countInFile(all[1].logfile, "external: Error: Copying " + all[0].target + "/removed.cbf to " +
                                                 all[1].target + "/removed.cbf returned error code -1\n"));
}

// One batch of bad files among good ones, whose summary folds numbered names into patterns (in name order, numbers
// compared as numbers) and lists the others; a batch of more patterns than the summary records; then a path announced
// again while a job copies it, its records' locks held as by a link pass, so that one job waits on its record.
TEST(CopyWorkerThreadTest, BadFilesAreLoggedReportedAndCountedWhileTheBatchGoesOnAndIsSummed) {
    CopyRig rig;
    space_test::MessageTap tap(rig.dir / "messages.log");
    ASSERT_TRUE(tap.ready());
    Storage::Params params = rig.params("disk", Storage::OPTIONAL);
    params.messageServer = tap.server;
    params.n_copy_processes = 2;  // the batches but the last two run one after another
    Storage* storage = CopyRig::start(params);
    const std::string R = rig.ramdisk + "/", T = params.target + "/", noMarker = R + "nomarker.cbf";
    const std::string lost = "Source file does no longer exist and no alternative source directories are provided";
    const std::string notRegular = "The source is not a regular file: it is not read";
    makeDirectories(R + "dir.cbf");                              // no regular file: not read
    CopyRig::put(T + "stale.cbf.tmp", std::string(10000, 'o'));  // left by a copy that was cut off
    FileInfo linked = CopyRig::file(rig.source("linked.cbf", "l"));
    linked.setFlag(FileInfo::INTERNAL_LINKED);  // and no earlier target to read instead
    for (const FileInfo& file : {CopyRig::file(R + "./missing.cbf"), CopyRig::file(rig.source("b/x_5.h5", "5")),
                                 CopyRig::file(R + "./dir.cbf"), CopyRig::file(rig.source("stale.cbf", "new")),
                                 CopyRig::file(rig.source("twice.cbf", "2")), CopyRig::file(noMarker), linked,
                                 CopyRig::file(rig.source("a/x_10.h5", "10")), CopyRig::file(R + "./twice.cbf"),
                                 CopyRig::file(rig.source("a/x_2.h5", "2"))})
        storage->insertToBuffer(file);
    storage->flushBuffer();
    ASSERT_TRUE(waitForLogCount(params.logfile, "files successfully copied", 1));
    EXPECT_EQ(
        "disk: Copy job started\ndisk: Error: Copying " + R + "missing.cbf to " + T +
            "missing.cbf returned error code -1\nNo such file or directory\ndisk: Error: Copying " + R + "dir.cbf to " +
            T + "dir.cbf returned error code -11\n" + notRegular + "\n" +
            "disk: Error: Copying " + noMarker + " refused: the path has no /./ between its base and relative part\n" +
            "disk: Critical Error: Copying " + R + "linked.cbf to " + T + "linked.cbf\n   " + lost + "\n" +
            "disk: 6 files successfully copied\nCopied files: a/x_<N>.h5 with N in [2,10]\n"
            "Copied files: b/x_<N>.h5 with N in [5,5]\nCopied files: \nstale.cbf\ntwice.cbf\ntwice.cbf\n",
        CopyRig::jobLog(*storage));
    EXPECT_EQ("new", readFile(T + "stale.cbf"));
    for (const char* gone : {"missing.cbf", "dir.cbf", "dir.cbf.tmp", "stale.cbf.tmp", "twice.cbf.tmp", "linked.cbf"})
        EXPECT_FALSE(fileExists(T + gone)) << gone;
    auto frame = [&](const std::string& from, const std::string& to, const std::string& tail) {  // COPY_ERROR
        return "4 " + from + ":" + to + " " + (tail.find(lost) != std::string::npos ? "Critical " : "") + "Error: Failed to copy " + from +
               " to " + to + tail;
    };
    EXPECT_EQ((std::vector<std::string>{frame(R + "missing.cbf", T + "missing.cbf", ": No such file or directory."),
                                        frame(R + "dir.cbf", T + "dir.cbf", ": " + notRegular + "."),
                                        frame(noMarker, params.target, "."),
                                        frame(R + "linked.cbf", T + "linked.cbf", ". " + lost)}),
              tap.received());

    std::string summary = "disk: 14 files successfully copied\n";
    storage->insertToBuffer(CopyRig::file(rig.source("early.txt", "")));
    for (char stem = 'a'; stem <= 'l'; ++stem) {
        storage->insertToBuffer(CopyRig::file(rig.source(std::string("run/") + stem + "_1.cbf", "")));
        // The eleventh pattern stops the recording and is listed; the twelfth is not.
        if (stem <= 'k') summary += std::string("Copied files: run/") + stem + "_<N>.cbf with N in [1,1]\n";
    }
    storage->insertToBuffer(CopyRig::file(rig.source("run/a_7.cbf", "")));  // after the stop: a stays at [1,1]
    const std::string before = CopyRig::jobLog(*storage);
    storage->flushBuffer();
    ASSERT_TRUE(waitForLogCount(params.logfile, "files successfully copied", 2));
    EXPECT_EQ(before + "disk: Copy job started\n" + summary +
                  "Copied files: \nearly.txt\nStopped logging files after more than 10 file patterns occured\n",
              CopyRig::jobLog(*storage));
    FileInfo first = CopyRig::file(rig.source("run/a.cbf", "data")), again = CopyRig::file(R + "./run/a.cbf");
    {
        FileInfo::WriteLock held(first), heldAgain(again);
        for (const int jobs : {3, 4}) {
            storage->insertToBuffer(jobs == 3 ? first : again);
            storage->flushBuffer();
            ASSERT_TRUE(waitForLogCount(params.logfile, "disk: Copy job started", jobs));
        }
        EXPECT_TRUE(waitForLogCount(params.logfile, T + "run/a.cbf is being copied: copied again after that\n", 1));
    }
    ASSERT_TRUE(CopyRig::waitForBooked(*storage, 26));
    EXPECT_EQ(4u, storage->history(1).front().failed);  // and 6 + 14 + 2 copied
    EXPECT_EQ(22u, storage->history(1).front().copied);
}
