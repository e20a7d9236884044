#include <list>

#include <gtest/gtest.h>

#include "ledger/FileInfo.h"
#include "ledger/Storage.h"

// A storage that manages its source (INTERNAL, EXTERNAL) keeps a copied file
// for its link pass and deletes it after the shift; every other type only
// counts files until their copy, across shifts as well.
TEST(StorageTest, InternalAndExternalTrackFilesEveryOtherTypeOnlyCounts) {
    for (int type : {Storage::INTERNAL, Storage::EXTERNAL, Storage::OPTIONAL, 7, -1}) {  // -1: far above 1 unsigned
        SCOPED_TRACE(type);
        const bool tracks = type == Storage::INTERNAL || type == Storage::EXTERNAL;
        Storage::Params params;
        params.storageID = "storage" + std::to_string(type);
        params.type = type;
        Storage* storage = new Storage(params);  // storages are never deleted
        DebitCredit& ledger = storage->debitCredit();
        EXPECT_EQ(tracks ? DebitCredit::TRACK_FILES : DebitCredit::COUNT_ONLY, ledger.getType());
        storage->setTavroTime(10, 0, 0);
        FileInfo copied("/r/./copied", 10), late("/r/./late", 10);
        storage->insertToBuffer(copied);
        storage->insertToBuffer(late);
        ledger.insertToCredits(copied);
        EXPECT_EQ(tracks ? 2 : 1, ledger.size());
        storage->setTavroTime(20, 0, 0);
        EXPECT_EQ(1u, ledger.earlierShiftsInProgress());
        ledger.insertToCredits(late);
        EXPECT_EQ(0, ledger.size());
        std::list<FileInfo> toDelete;  // taken before the deletion thread, woken next, could take it
        EXPECT_EQ(tracks, ledger.getDeleteList(toDelete));
        EXPECT_EQ(tracks ? 2u : 0u, toDelete.size());
        storage->startDeleting();  // an OPTIONAL storage has no deletion thread to wake
    }
}
