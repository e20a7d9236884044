#ifndef VELLORT_SPACE_DELTHREAD_H
#define VELLORT_SPACE_DELTHREAD_H

#include <stdint.h>

#include <list>
#include <map>
#include <string>
#include <vector>

#include "ledger/DebitListThread.h"
#include "ledger/FileInfo.h"
#include "ledger/Storage.h"
#include "log/LogFile.h"
#include "space/ReleaseGuard.h"
#include "space/FlushedSteps.h"

// Deletes the files that the storage's ledger has put on its delete list: the
// previous users' files after a user shift, and files whose copy or link
// failed. It deletes them where the storage found them, never under its own
// target: the INTERNAL storage's thread deletes the announced files on the RAM
// disk, the EXTERNAL storage's thread the INTERNAL copies under its `origin`.
// A file of which the storage holds no good copy is kept and reported.
//
// Sleeps until woken by Storage::startDeleting (the pipe reader, after a user
// shift); then deletes until the ledger has no file of an earlier shift left
// in progress. Borrowed: the ledger, owned by the storage, which outlives the
// thread; the message server in the settings, which lives for the process.
class DelThread : public DebitListThread {
public:
    DelThread(DebitCredit& debitCredit, const Storage::Params& params);
    // Does not stop a running thread: the storage never destroys one.
    ~DelThread() override;

protected:
    void run() override;

private:
    // Whether the file must wait for another storage before it is judged.
    bool _mustWait(const FileInfo& file) const;
    // What became of a file: gone (or no more there), kept, or left for a
    // later run because the storage whose copy vouches for it is not up.
    enum Outcome { GONE, KEPT, LATER };
    // The deletion, or the refusal, is booked by _bookDeletions().
    Outcome _delete(FileInfo& file);
    // Whether the storage's copies may vouch for anything now; says once
    // per hold why the files wait.
    bool _mayRelease();
    // Books the deletions and refusals that `deletions` holds back until
    // their file system is flushed: a deletion that a power cut could undo is
    // not booked. After a failed flush they are not booked at all, and a
    // restart finds out from the files what happened.
    void _bookDeletions();
    // verify_copies, EXTERNAL: the manifests of the earlier shifts whose
    // INTERNAL copies all went, removed from the INTERNAL target.
    void _removeManifests();

    const Storage::Params params;
    LogFile logFile;
    std::list<FileInfo> pending;  // the latest hand-over of the ledger
    ReleaseGuard guard;           // finds the files; let go of after each run
    // Earlier shifts met in this run, and whether every file of each went.
    std::map<int64_t, bool> shiftsGone;
    // The files handled and not yet booked, and whether each was deleted,
    // below the RAM disk or the INTERNAL target.
    FlushedSteps deletions;
    // This run: whether the storage's own copies, and the EXTERNAL storage's
    // for RAM-disk files without an INTERNAL copy, may vouch for a file; the files let go of whose only copy
    // is now this storage's or the EXTERNAL one's (relative paths).
    bool ownUp = true;
    bool externalUp = true;
    std::vector<std::string> onlyHere;
    std::vector<std::string> onlyExternal;
    bool holding = false;  // the files wait for the storage: said once
};

#endif
