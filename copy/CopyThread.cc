#include "copy/CopyThread.h"

#include <time.h>

#include <algorithm>
#include <list>

#include "copy/CopyWorkerThread.h"
#include "thread/MutexGuard.h"
#include "thread/Thread.h"
#include "thread/ThreadPool.h"
#include "util/Time.h"

namespace {

// The condition variables wait on CLOCK_REALTIME: the same moment on that clock.
struct timespec realtimeAt(int64_t monotonic) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const int64_t at = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec +
                       std::max<int64_t>(0, monotonic - UTILITIES::monotonicNanoseconds());
    return {static_cast<time_t>(at / 1000000000), static_cast<long>(at % 1000000000)};
}

}  // namespace

CopyThread::CopyThread(DebitCredit& debitCredit, const Storage::Params& params)
    : DebitListThread(debitCredit),
      params(params),
      logFile(params.logfile),
      jitterSeed(static_cast<uint32_t>(UTILITIES::monotonicNanoseconds())),
      copyingMutex(Thread::initializeMutex()),
      copyEnded(Thread::initializeCondition()) {}

CopyThread::~CopyThread() {
    pthread_cond_destroy(copyEnded);
    delete copyEnded;
    pthread_mutex_destroy(copyingMutex);
    delete copyingMutex;
}

bool CopyThread::beginCopy(const std::string& relative) {
    MutexGuard copyingGuard(copyingMutex);
    return copying.insert(relative).second;
}

void CopyThread::waitToBeginCopy(const std::string& relative) {
    MutexGuard copyingGuard(copyingMutex);
    while (!copying.insert(relative).second) pthread_cond_wait(copyEnded, copyingMutex);
}

void CopyThread::endCopy(const std::string& relative) {
    MutexGuard copyingGuard(copyingMutex);
    copying.erase(relative);
    pthread_cond_broadcast(copyEnded);
}

void CopyThread::retryLater(const FileInfo& file, uint32_t attempts) {
    // 1 s, 2 s, 4 s ... up to the maximum; up to a tenth more at random, so
    // that files failed together do not come back all at once.
    const int64_t second = 1000000000;
    int64_t pause = second << std::min<uint32_t>(attempts - 1, 30);
    pause = std::min<int64_t>(pause, static_cast<int64_t>(params.copy_retry_max_delay) * second);
    const uint32_t random = jitterSeed.fetch_add(0x9e3779b9u) * 2654435761u;
    pause += pause / 10 * (random % 1000) / 1000;
    debitCredit.insertToRetries({file, attempts, UTILITIES::monotonicNanoseconds() + pause});
    awaken();  // it may be waiting with no deadline, or a later one
}

void CopyThread::run() {
    // The configuration asks for at least one copy worker; only the reader's
    // benchmark makes a storage without any, which then copies nothing.
    if (params.n_copy_processes <= 0)
        for (;;) waitForWakeSignal();
    ThreadPool pool(params.n_copy_processes);
    if (pool.startedThreads() < params.n_copy_processes) {
        logFile << "Error: " << params.storageID << ": only " << pool.startedThreads() << " of "
                << params.n_copy_processes
                << " copy threads could be started: " << LogManip(&LogFile::errmsg, pool.startError()) << endl;
        if (pool.startedThreads() == 0)
            logFile << "Error: " << params.storageID << ": the copy scheduler copies each batch itself" << endl;
    }
    for (;;) {
        logFile.rotateIfLarger(params.logfile_max_size, params.logfile_max_number);
        logFile << "++ " << params.storageID << ": Looking for recently created files by TAVRO" << endl;

        std::list<FileInfo> batch;
        std::list<DebitCredit::Retry> retries;
        for (;;) {
            const bool fresh = getCopyList(batch);
            const int64_t next = debitCredit.getDueRetries(retries, UTILITIES::monotonicNanoseconds());
            if (fresh || !retries.empty()) break;
            if (next < 0) {
                waitForWakeSignal();
            } else {
                const struct timespec deadline = realtimeAt(next);
                waitForWakeSignal(&deadline);
            }
        }

        pool.waitForFreeThread();
        // The worker takes over every entry of the batch; the pool deletes it
        // after its work().
        pool.schedule(new CopyWorkerThread(params, batch, *this, retries));
    }
}
