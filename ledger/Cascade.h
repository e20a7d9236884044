#ifndef VELLORT_LEDGER_CASCADE_H
#define VELLORT_LEDGER_CASCADE_H

#include <stdint.h>

#include "ledger/StorageType.h"

// What each kind of storage does in the cascade: INTERNAL copies the
// announced files off the RAM disk and lets them go, EXTERNAL copies them too
// and lets INTERNAL's copies go, OPTIONAL only copies. The copy workers, the
// link and removal passes, the release checks, the deletion thread, the
// recovery and the start-up read these rules here rather than asking for the
// type themselves.
//
// A constant table, read by every thread without a lock.
struct CascadeRole {
    // What a storage lets go of, on the strength of its copies.
    enum Releases {
        NOTHING,          // it only copies: no link passes, no deletion thread
        RAMDISK_FILES,    // the announced files on the RAM disk
        INTERNAL_COPIES,  // the INTERNAL storage's copies, below its origin (the INTERNAL target)
    };

    StorageType type = StorageType::OPTIONAL;

    // The FileInfo flags of the storage's own steps on a file, which the
    // other storages and the recovery read. All 0 for OPTIONAL, whose steps
    // no one waits for: setting one is then no step at all.
    uint32_t copyStartedFlag = 0;     // its worker has begun to copy the file
    uint32_t copiedFlag = 0;          // its copy is on the disk; the copy's identity is kept under this flag
    uint32_t copyEndedFlag = 0;       // it copies the file no more: its copy failed for good
    uint32_t copyBookedFlag = 0;      // taken up from the journal with its copy booked as made
    uint32_t linkStartedFlag = 0;     // a link pass has begun to replace what it lets go by a link to its copy
    uint32_t linkedFlag = 0;          // what it lets go is a link to its copy
    uint32_t removalStartedFlag = 0;  // a removal pass has begun to remove what it lets go
    uint32_t removedFlag = 0;         // what it lets go is gone

    // What its link passes and deletion thread let go; NOTHING: it has neither, and its ledger only counts.
    Releases releases = NOTHING;
    // A copy made from the RAM disk records the file's identity there, which the release checks compare.
    bool recordsSourceIdentity = false;
    // Once INTERNAL has replaced or removed the RAM-disk file, it copies from the earlier storages' targets.
    bool copiesFromEarlierTargets = false;
    // Its space watch measures the RAM disk: the full warning, and the fill state in systemd's status line.
    bool watchesRamdisk = false;
    // Its passes wait while its disk cannot vouch for copies; the RAM disk's never do, it must not run full.
    bool passesWaitForHealth = false;
    // The EXTERNAL copy vouches for its files too: the deletion may let a RAM-disk file go on that copy
    // alone, and a file EXTERNAL has copied goes without its own copy, which EXTERNAL may have let go.
    bool trustsExternalCopy = false;
    // It leaves a file's INTERNAL copy alone, in its passes and at a user shift, until INTERNAL has
    // copied the file or given up: let go before, that copy would come afterwards and stay for ever.
    bool waitsForInternalCopy = false;

    // The flags of a file that it has let go of.
    uint32_t letGoFlags() const { return linkedFlag | removedFlag; }
};

// The rules of a storage of `type`.
const CascadeRole& roleOf(StorageType type);

#endif
