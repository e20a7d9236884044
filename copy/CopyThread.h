#ifndef VELLORT_COPY_COPYTHREAD_H
#define VELLORT_COPY_COPYTHREAD_H

#include <stdint.h>

#include <pthread.h>

#include <atomic>
#include <list>
#include <set>
#include <string>

#include "ledger/DebitListThread.h"
#include "ledger/Storage.h"
#include "log/LogFile.h"
#include "thread/Mutex.h"
#include "util/TrustedTree.h"

// The copy scheduler of one storage. Each time it is woken it takes the whole
// copy list, waits until one of its n_copy_processes pool threads is free and
// hands a job to a new CopyWorkerThread. So a storage never runs more than
// n_copy_processes jobs at once. Without caps a job holds every file that
// arrived since the previous one was taken. With copy_job_max_files or
// copy_job_max_bytes, a job takes the waiting files in announcement order up
// to the caps, and the rest waits for the next free worker, so that no
// worker copies a long tail alone while another is idle.
//
// It also rotates the log by size, once per batch.
//
// Woken by the storage's FlushBufferThread. Borrowed: the ledger, owned by the
// storage, which outlives the thread. The workers book their files through this
// object, so it must outlive its pool: it lives for the whole process.
class CopyThread : public DebitListThread {
public:
    CopyThread(DebitCredit& debitCredit, const Storage::Params& params);
    ~CopyThread() override;

    // Copy workers: a failed copy to try again after the pause its attempts
    // call for (1 s, doubling up to copy_retry_max_delay, with a little jitter).
    void retryLater(const FileInfo& file, uint32_t attempts);

    // Copy workers: one copy of a path below the target at a time, for two
    // copies share its temporary file. beginCopy() makes the copy of
    // `relative` the caller's, or returns false at once while another job
    // copies it; waitToBeginCopy() waits for that copy's endCopy() first. A
    // worker holds one path at most, and never while it waits.
    bool beginCopy(const std::string& relative);
    void waitToBeginCopy(const std::string& relative);
    void endCopy(const std::string& relative);

protected:
    void run() override;

private:
    // Moves the next job's share of the waiting retries, then files, to
    // `retries` and `files`: all of them without caps.
    void _cutJob(std::list<FileInfo>& waiting, std::list<DebitCredit::Retry>& waitingRetries,
                 std::list<FileInfo>& files, std::list<DebitCredit::Retry>& retries);
    // Bytes of the file's source on the RAM disk, 0 when it cannot be looked at.
    int64_t _sourceSize(const FileInfo& file);

    const Storage::Params params;
    LogFile logFile;                   // used by this thread only
    TrustedTree ramdisk;               // used by this thread only, for the sizes of capped jobs
    std::atomic<uint32_t> jitterSeed;  // any thread: the workers draw from it

    std::set<std::string> copying GUARDED_BY(copyingMutex);  // the paths being copied
    Mutex* copyingMutex;
    pthread_cond_t* copyEnded;  // signalled by endCopy()
};

#endif
