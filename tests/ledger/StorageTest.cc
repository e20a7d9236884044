#include <list>

#include <gtest/gtest.h>

#include "ledger/FileInfo.h"
#include "ledger/Storage.h"

namespace {

Storage::Params paramsOfType(int type) {
    Storage::Params params;
    params.storageID = "storage" + std::to_string(type);
    params.type = type;
    params.history_max_entries = 3;
    return params;
}

}  // namespace

TEST(StorageTest, InternalAndExternalTrackFilesEveryOtherTypeOnlyCounts) {
    struct Case {
        int type;
        DebitCredit::TYPE ledger;
    };
    const Case cases[] = {
        {Storage::INTERNAL, DebitCredit::TRACK_FILES},
        {Storage::EXTERNAL, DebitCredit::TRACK_FILES},
        {Storage::OPTIONAL, DebitCredit::COUNT_ONLY},
        {7, DebitCredit::COUNT_ONLY},
        {-1, DebitCredit::COUNT_ONLY},  // compared as unsigned: far above 1
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        Storage* storage = new Storage(paramsOfType(c.type));  // storages are never deleted
        EXPECT_EQ(c.ledger, storage->debitCredit().getType());
        EXPECT_EQ(c.type, storage->getParams().type);

        // After a shift the previous shift's copied files are to be deleted,
        // by a storage that manages its source only.
        storage->setTavroTime(10, 0, 0);
        FileInfo file("/r/./f", 10);
        storage->insertToBuffer(file);
        storage->debitCredit().insertToCredits(file);
        storage->setTavroTime(20, 0, 0);
        // Taken before startDeleting(), whose deletion thread would take it.
        std::list<FileInfo> toDelete;
        EXPECT_EQ(c.ledger == DebitCredit::TRACK_FILES, storage->debitCredit().getDeleteList(toDelete));
        EXPECT_EQ(c.ledger == DebitCredit::TRACK_FILES ? 1u : 0u, toDelete.size());
        storage->startDeleting();  // an OPTIONAL storage has no deletion thread to wake
    }
}
