#ifndef VELLORT_SPACE_LINKTHREAD_H
#define VELLORT_SPACE_LINKTHREAD_H

#include <stdint.h>
#include <sys/statvfs.h>

#include <atomic>
#include <list>
#include <string>
#include <vector>

#include "ledger/DebitListThread.h"
#include "ledger/FileInfo.h"
#include "ledger/Storage.h"
#include "log/LogFile.h"
#include "metrics/Metrics.h"
#include "space/FillPolicy.h"
#include "space/FillTrend.h"
#include "space/ReleaseGuard.h"
#include "space/FlushedSteps.h"

// Keeps the file system at the storage's `mountpoint` from running full. The
// INTERNAL storage's thread watches the RAM disk and replaces files there by
// symbolic links to their INTERNAL copies; the EXTERNAL storage's thread watches
// the INTERNAL storage's file system and replaces the INTERNAL copies, which lie
// under its `origin`, by links to the EXTERNAL copies. With create_links "no"
// the files are removed instead. When inodes run short, the oldest links made
// are removed again.
//
// The thread idles, checking fill state and inode use once a second; above the
// limit it works in passes of at most batchSize files, taken oldest copy first
// from the ledger's replace-by-link list. It measures the fill state about once
// a second in passes too, for the estimate of when the file system is full at
// the present rate; the INTERNAL storage's thread warns when that is sooner
// than full_warning_seconds.
//
// Everything but returnToDebitCredit() runs on the thread itself;
// returnToDebitCredit() is called by the pipe reader through
// Storage::setTavroTime. Borrowed: the ledger, owned by the storage, which
// outlives the thread; the message server in the settings, which lives for
// the process.
class LinkThread : public DebitListThread {
public:
    LinkThread(DebitCredit& debitCredit, const Storage::Params& params);
    // Does not stop a running thread: the storage never destroys one.
    ~LinkThread() override;

    // Asks the thread to hand the files of earlier user shifts that it holds
    // back to the ledger, which then passes them to the deletion thread.
    // Returns at once; several requests before one hand-back count once.
    void returnToDebitCredit();

    // Any thread: what the watch measured last at the mount point.
    const METRICS::MountGauges& gauges() const { return gauges_; }

protected:
    void run() override;

private:
    // True when the fill state is above the limit; sends the alarms and adapts batchSize.
    bool _checkForOverflow();
    // The fill state's part of it: measures, sends the alarms and logs a
    // rise; false when the file system cannot be measured.
    bool _measureFillState();
    // Feeds the measurement `stats`, of `fillPercent`, to the estimate of when
    // the file system is full, publishes both and gives the warning.
    void _watchTrend(const struct statvfs& stats, double fillPercent);
    // In a pass: measures for the estimate when a second has gone by since
    // the last measurement. The alarms and the batch size keep to the
    // measurements between passes.
    void _measureDuringPass();
    // How many inodes must be freed to bring inode use down to the limit; 0 when none.
    int32_t _checkForInodes();
    void _tryReturnToDebitCredit();
    // The inode relief step: removes the oldest links made.
    void _tryToDeleteLinks();
    // Waits, checking once a second, until a pass is due.
    void _idle();
    // For a pass with nothing pending: the ledger's files to replace, waited
    // for as long as it has none.
    void _fetch();
    // EXTERNAL: the fetched files whose INTERNAL copy may still come go back to the ledger.
    void _holdBackUncopied();
    // While the EXTERNAL storage's copies may vouch for nothing (its disk
    // fails, is gone or is being filled anew), the fetched files go back to
    // the ledger; says once per hold why. False then. The INTERNAL storage's
    // passes keep the RAM disk from running full and never wait.
    bool _mayRelease();
    // One file of a pass, the front of pending; `reported` counts the files
    // done since the pass's last report line.
    void _linkFile(uint32_t uid, uint32_t gid, int32_t& reported);
    void _removeFile(int32_t& reported);
    // Books the links and removals that `done` holds back until their file
    // system is flushed (for the EXTERNAL storage: INTERNAL copies let go of,
    // which a power cut must not bring back behind the journal's back).
    void _bookPass();
    // statvfs on the mount point, repeated on EINTR; logs a failure and a file
    // system without size, for which it returns false.
    bool _statMountpoint(struct statvfs& stats, bool needsBlocks);
    // Gives the new link `name` in `dir` the current user's uid and gid, as
    // the settings ask; false with errno when that fails.
    bool _ownLink(int dir, const std::string& name, uint32_t uid, uint32_t gid);
    void _writeReport(const std::string& text);
    void _sendMessage(int code, const std::string& subject, const std::string& text);

    Storage::Params params;  // origin and target end with "/", mountpoint is canonical
    LogFile logFile;
    std::list<FileInfo> pending;        // taken from the ledger, not yet handled
    std::atomic<bool> returnRequested;  // the only member another thread touches
    double fillState;
    double lastFillState;
    double inodeUse;
    int32_t batchSize;  // between FillPolicy's minimum and maximum
    FillPolicy policy;
    bool fullWarned;  // armed again once the estimate is above twice full_warning_seconds
    FillTrend trend;
    int64_t lastMeasured;  // CLOCK_MONOTONIC nanoseconds of the last measurement of the fill state
    // The latest result of _checkForInodes(), given again when a check cannot measure.
    int32_t inodesToFree;
    // Finds the files of the passes and the relief step; let go of after each.
    ReleaseGuard guard;
    // Files of the pass linked (true) or removed (false), not yet booked.
    FlushedSteps done;
    // Files let go of in the pass whose only copy is now this storage's.
    std::vector<std::string> onlyHere;
    bool holding = false;
    METRICS::MountGauges gauges_;  // written by the thread only
};

#endif
