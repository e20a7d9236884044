#ifndef VELLORT_COPY_COPYWORKERTHREAD_H
#define VELLORT_COPY_COPYWORKERTHREAD_H

#include <list>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "copy/CopyEngine.h"
#include "ledger/FileInfo.h"
#include "ledger/Storage.h"
#include "log/LogFile.h"
#include "thread/ThreadPoolTask.h"
#include "util/FileSystemFlush.h"
#include "util/Stop.h"
#include "util/TrustedTree.h"
#include "util/UniqueFd.h"

class CopyThread;
namespace SYSTEMD {
class BusyStamp;
}

// One copy job: a batch of announced files that one storage's copy scheduler
// took in one go. It copies each file, under the file's read lock, from its
// source to the storage's target, marks progress in the shared file record so
// that the other storages and the link passes can coordinate with it, books
// the file as copied or failed, and ends with one summary in which runs of
// numbered file names are folded into patterns.
//
// Runs once on a pool thread of the storage's CopyThread, which deletes it
// afterwards. Borrowed: the copy thread, through which files are booked; it
// lives for the whole process.
class CopyWorkerThread : public ThreadPoolTask {
public:
    // Recording of file-name patterns stops once more than this many were seen.
    static constexpr int patternLimit = 10;

    struct MinMax {
        bool set = false;
        int min = 0;
        int max = 0;
    };

    // What a refill job did: copies made on a new disk, and files that could not be.
    struct Refill {
        int copied = 0;
        int failed = 0;
    };

    // Takes over every entry of `files`, leaving it empty; `retries` are
    // failed copies due to be tried again, copied first. With `refill`, the
    // files are copied already and booked so: the job makes their copies
    // anew on a disk put in place of the old one, records the new copies
    // for the passes' checks, and counts into *refill instead of booking.
    CopyWorkerThread(const Storage::Params& params, std::list<FileInfo>& files, CopyThread& copyThread,
                     std::list<DebitCredit::Retry> retries = {}, Refill* refill = nullptr);

    void work() override;

private:
    // State of one summary, for one work().
    struct Summary {
        std::map<std::string, MinMax> patterns;
        int copiedCount = 0;
        std::string unparsedNames;
        bool stopped = false;
    };

    // The trees a job reads and writes: the RAM disk, the earlier storages'
    // targets, in the order of alternativeSourceDirs, and the own target.
    struct Trees {
        explicit Trees(const Storage::Params& params);
        TrustedTree ramdisk;
        TrustedTree target;
        std::vector<std::unique_ptr<TrustedTree>> alternatives;
        bool mounted = false;  // target_mount was found mounted, on mountDevice
        dev_t mountDevice = 0;
        // verify_copies: the manifests of the target opened so far, by shift,
        // and whether a manifest that cannot be written was reported.
        std::map<int64_t, UniqueFd> manifests;
        // The lines a manifest held when a file taken up after a restart was
        // first to be listed in it: the run before may have listed the copy
        // and been stopped before it booked it.
        std::map<int64_t, std::unordered_set<std::string>> listedBefore;
        dev_t manifestDevice = 0;  // they all lie in the target's top folder
        bool manifestReported = false;
        void closeManifests();
    };

    // A copy renamed into place, not yet known to be on the disk: booked once
    // its file system is flushed, failed if the flush fails. It keeps its
    // path (beginCopy) and its step until then, so that no other job copies
    // the path meanwhile and a stop waits for the booking.
    struct Unflushed {
        FileInfo file;
        uint32_t attempts;
        std::string source;
        std::string destination;
        std::string relative;
        UTILITIES::CopiedFile made;  // without its descriptor, which the flush holds
        bool fromRamdisk;
        // verify_copies: what was read from the source, and whether the copy
        // is still to be read back once on the disk, or was found right
        // (counted once booked).
        UTILITIES::Verification verification;
        bool toReadBack;
        bool verified;
        bool failed = false;  // the read-back failed, and the copy was booked so
        std::unique_ptr<UTILITIES::FileStep> step;
    };

    // What one work() holds: its trees, its summary, and the copies waiting
    // for their flush, which comes once per job, or sooner once these are
    // many, large or old (see _flushDue).
    struct Job {
        explicit Job(const Storage::Params& params) : trees(params) {}
        Trees trees;
        Summary summary;
        UTILITIES::FileSystemFlush flush;
        std::vector<Unflushed> unflushed;
        int64_t unflushedBytes = 0;
        int64_t firstUnflushed = 0;  // CLOCK_MONOTONIC nanoseconds
    };

    // True when the storage has no target_mount, or it is mounted.
    bool _targetMounted(Trees& trees);

    // attempts: the failed tries of the file so far, 0 for a new one. True
    // when a copy was made: it waits in job.unflushed, with `step` and the
    // path, for the flush. False when the copy failed and was booked so.
    bool _copyFile(FileInfo& file, Job& job, uint32_t attempts, std::unique_ptr<UTILITIES::FileStep>& step);
    bool _flushDue(const Job& job) const;
    // Flushes the file systems of the copies waiting, reads back those to
    // verify and flushes their manifest lines, then books each copied, or
    // failed when a flush failed, and lets go of its path.
    void _flush(Job& job, SYSTEMD::BusyStamp& busy);
    // verify_copies: each new copy of the job read back from the disk; one
    // that differs is removed and failed, one that holds what was read is
    // listed in the manifest.
    void _readBack(Job& job, SYSTEMD::BusyStamp& busy);
    // A copy on the disk: recorded in the file's record and the summary, and credited.
    void _book(Unflushed& copy, Summary& summary);
    // A copy made: booked copied, or, after failed attempts, moved from failed to copied.
    void _credit(const FileInfo& file, uint32_t attempts, bool verified = false, std::string event = {});
    // With events: the event of a copy made (or, with `failure`, given up),
    // for the publisher; empty for a copy booked by an earlier run.
    std::string _fileEvent(const FileInfo& file, const std::string& destination, const FileIdentity& copy,
                           const std::string& hash, uint32_t attempts, const std::string& failure);
    // Whether the file's event goes to the journal with its step; else it
    // goes to the publisher once the step is booked.
    bool _eventWithStep(const FileInfo& file) const;
    // A copy that failed: reported (the first time only), then tried again
    // later when retries are on and it may still succeed, else booked failed.
    void _failed(const FileInfo& file, uint32_t attempts, bool retriable, const std::function<void()>& report);
    // One try at the copy, made again at once, up to three times, while the
    // source changes under it; verify is null without verify_copies.
    int64_t _copyOnce(TrustedTree& from, const std::string& fromPath, const std::string& source, Trees& trees,
                      const std::string& relative, UTILITIES::CopiedFile& made, UTILITIES::Verification* verify);
    // For a file taken up again after a restart: a source other than the RAM
    // disk (an earlier storage's copy, which a power cut may have cut short)
    // must have the size recorded for the file, when one was.
    bool _wholeSource(const FileInfo& file, TrustedTree& from, const std::string& fromPath, const Trees& trees);
    // verify_copies: a verified copy becomes the file's reference when it is
    // the first, and is listed in the manifest of its shift on the target.
    // False when another storage's copy became the reference meanwhile, and
    // holds other bytes: this copy is then removed.
    bool _acceptVerified(FileInfo& file, Job& job, const std::string& relative, const std::string& destination,
                         const UTILITIES::CopiedFile& made, const std::string& hash);
    // takenUp: the file was taken up after a restart; a line the manifest
    // holds already is not written again.
    void _appendToManifest(Job& job, int64_t shift, const std::string& hash, const std::string& relative,
                           bool takenUp);
    // Taken up with this storage's copy booked as made by the run before,
    // which counted its verification and listed it.
    bool _bookedBefore(const FileInfo& file) const;
    void _record(const std::string& relativePath, Summary& summary);
    void _reportCopyError(const std::string& source, const std::string& destination, int64_t result, int errnum,
                          const UTILITIES::Verification& verification);
    void _reportCriticalError(const std::string& source, const std::string& destination);
    void _reportUnproven(const std::string& source, const std::string& destination, const std::string& why);
    void _reportRefusal(const std::string& path, const std::string& why);
    // What a failed copy tells of the target's disk, for the storage's health.
    void _tellHealth(int64_t result, int errnum);
    void _writeSummary(const Summary& summary);

    const Storage::Params params;
    // The files, in announcement order after the retries due, each with its
    // failed attempts so far (0 for a new file).
    std::list<DebitCredit::Retry> batch;
    CopyThread& copyThread;
    LogFile logFile;
    Refill* const refill;  // null for the jobs of the copy scheduler
};

#endif
