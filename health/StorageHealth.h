#ifndef VELLORT_HEALTH_STORAGEHEALTH_H
#define VELLORT_HEALTH_STORAGEHEALTH_H

#include <stdint.h>
#include <sys/types.h>

#include <atomic>
#include <string>
#include <vector>

#include "log/LogFile.h"
#include "thread/Mutex.h"
#include "util/UniqueFd.h"

class MessageServer;

// Whether one storage's target can be trusted with copies: `up`, `failing`
// (its copies or flushes fail for a reason of the disk: EIO, EROFS, ENOSPC and
// the like) or `absent` (its target_mount is not mounted). The copy workers
// report what their copies and flushes met; the storage's watch thread calls
// probe() once a second. Entering `failing` or `absent` is said once (an
// `Error:` line, message code 9), leaving it once (code 10); meanwhile the
// storage's per-file copy errors go out a few a minute and are then counted.
//
// While a storage is not up, or a disk put in place of its old one is still
// being filled, nothing is let go on the strength of its copies: its deletion
// thread and its passes ask releasable() and wait.
//
// For a storage with a target_mount the health also knows which disk is
// mounted: a marker file at the target's top names it. A file let go on the
// strength of a copy on that disk alone is listed in a record of the disk,
// kept in the daemon's state folder, so that when another disk takes its
// place the files whose only copy went with the old one can be named.
//
// Any thread. Borrowed: the message server, which lives for the process. The
// start-up makes one per storage and never deletes it.
class StorageHealth {
public:
    enum State { UP = 0, FAILING = 1, ABSENT = 2 };
    static const char* stateName(State state);

    struct Settings {
        std::string storageID;
        std::string target;
        std::string targetMount;  // empty: no disk of its own is watched
        std::string logfile;
        // Where the record of the disk's only copies and the lists of files
        // lost with a disk are kept; empty: none is kept.
        std::string stateDirectory;
        MessageServer* messageServer = nullptr;
    };

    // What the status service, the metrics and the status page show.
    struct Snapshot {
        State state = UP;
        std::string reason;  // the system's text, or why the target is absent
        int64_t since = 0;   // seconds since the epoch; 0 while up since the start
        uint64_t suppressed = 0;  // copy errors counted, not reported one by one, since it left up
        bool refilling = false;
    };

    explicit StorageHealth(const Settings& settings);
    ~StorageHealth();

    StorageHealth(const StorageHealth&) = delete;
    StorageHealth& operator=(const StorageHealth&) = delete;

    // Copy workers: a copy or flush to the target failed with errnum. Only
    // errors of the disk change the state; others are the file's own.
    void targetFailed(int errnum);
    // Copy workers: target_mount was found not mounted.
    void targetAbsent();
    // Copy workers: a copy is on the disk. The storage is up again.
    void copyMade();
    // Copy workers, before a per-file error report: true when it goes out
    // in full; false when the storage is not up and this minute's few went
    // out already, and it is only counted.
    bool mayReport();

    // The deletion thread and the passes: whether anything may be let go on
    // the strength of this storage's copies now. Looks at the mount itself,
    // so that a disk pulled a moment ago is not trusted.
    bool releasable();
    Snapshot snapshot() const;

    // The watch thread, once a second: notices a disk pulled, mounted again,
    // turned read-only or replaced. True when another disk than the one
    // known is now mounted: the caller fills it, then calls refillDone().
    bool probe();
    void refillDone(int copied, int failed);

    // The deletion thread and the passes, once the steps are booked: files
    // let go of whose only copy the daemon knows is this storage's
    // (relative paths below the target).
    void recordOnlyCopies(const std::vector<std::string>& relativePaths);

    // The errors that make a storage failing: the disk's, not the file's.
    static bool isDiskError(int errnum);

private:
    void _enter(State state, const std::string& reason) REQUIRES(mutex);
    void _leave() REQUIRES(mutex);
    void _reportSuppressed() REQUIRES(mutex);
    // A storage with a target_mount: true when it is mounted now.
    bool _mounted(dev_t& device) const;
    // Writes and flushes the marker at the target's top: the test that the
    // disk takes writes again. 0 or the errno of the failing step.
    int _writeMarker(const std::string& id);
    // The marker's disk id into `id`, "" when there is none; false when it
    // cannot be read (the disk may be failing).
    bool _readMarker(std::string& id);
    // The disk id the record names; "" without one.
    std::string _recordedDisk() const;
    // The watch thread: the disk mounted now is judged, the one known, the
    // first one seen, or another. True for another.
    bool _checkDisk();
    void _startRecord(const std::string& id) REQUIRES(mutex);
    std::string _recordPath() const;

    const Settings settings;
    LogFile logFile;

    // Guards everything below.
    mutable Mutex* mutex;
    // state == UP, readable without the lock: a copy made while the storage
    // is up, the common case, costs one load.
    std::atomic<bool> up{true};
    State state GUARDED_BY(mutex) = UP;
    std::string reason GUARDED_BY(mutex);
    int64_t since GUARDED_BY(mutex) = 0;
    uint64_t errorsWhileDown GUARDED_BY(mutex) = 0;
    // Per-file reports of this minute, and those left out since the last count line.
    int64_t reportMinute GUARDED_BY(mutex) = 0;
    int reportsThisMinute GUARDED_BY(mutex) = 0;
    uint64_t suppressed GUARDED_BY(mutex) = 0;
    uint64_t suppressedSinceDown GUARDED_BY(mutex) = 0;
    bool refilling GUARDED_BY(mutex) = false;
    // The disk is to be looked at by the watch thread before its copies
    // vouch for anything: at the start, and after it was not up.
    bool diskToCheck GUARDED_BY(mutex) = false;
    UniqueFd recordFd GUARDED_BY(mutex);  // the record of the disk's only copies

    // The watch thread's alone: the disk's id, the device it was last seen
    // mounted on, whether it was looked at yet.
    std::string diskId;
    dev_t diskDevice = 0;
    bool diskChecked = false;
};

#endif
