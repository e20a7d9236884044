#ifndef VELLORT_COPY_COPYTHREAD_H
#define VELLORT_COPY_COPYTHREAD_H

#include <stdint.h>

#include <atomic>

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

    // Copy workers: a failed copy to try again after the pause its attempts
    // call for (1 s, doubling up to copy_retry_max_delay, with a little jitter).
    void retryLater(const FileInfo& file, uint32_t attempts);

protected:
    void run() override;

private:
    const Storage::Params params;
    LogFile logFile;                   // used by this thread only
    std::atomic<uint32_t> jitterSeed;  // any thread: the workers draw from it
};

#endif
