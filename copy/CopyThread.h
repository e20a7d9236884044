#ifndef VELLORT_COPY_COPYTHREAD_H
#define VELLORT_COPY_COPYTHREAD_H

#include <stdint.h>

#include <pthread.h>

#include <atomic>
#include <set>
#include <string>

#include "ledger/DebitListThread.h"
#include "ledger/Storage.h"
#include "log/LogFile.h"

// The copy scheduler of one storage. Each time it is woken it takes the whole
// copy list as one batch, waits until one of its n_copy_processes pool threads
// is free and hands the batch to a new CopyWorkerThread. So a storage never
// copies more than n_copy_processes batches at once, and a batch holds every
// file that arrived since the previous one was taken.
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
    const Storage::Params params;
    LogFile logFile;                   // used by this thread only
    std::atomic<uint32_t> jitterSeed;  // any thread: the workers draw from it

    std::set<std::string> copying;  // guarded by copyingMutex: the paths being copied
    pthread_mutex_t* copyingMutex;
    pthread_cond_t* copyEnded;  // signalled by endCopy()
};

#endif
