#include "copy/CopyThread.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <list>

#include "copy/CopyWorkerThread.h"
#include "thread/MutexGuard.h"
#include "thread/Thread.h"
#include "thread/ThreadPool.h"
#include "util/Paths.h"
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
      ramdisk(params.ramdisk_mountpoint),
      jitterSeed(static_cast<uint32_t>(UTILITIES::monotonicNanoseconds())),
      copyingMutex(Thread::initializeMutex()),
      copyEnded(Thread::initializeCondition()) {}

CopyThread::~CopyThread() {
    pthread_cond_destroy(copyEnded);
    delete copyEnded;
    delete copyingMutex;
}

bool CopyThread::beginCopy(const std::string& relative) {
    MutexGuard copyingGuard(copyingMutex);
    return copying.insert(relative).second;
}

void CopyThread::waitToBeginCopy(const std::string& relative) {
    MutexGuard copyingGuard(copyingMutex);
    while (!copying.insert(relative).second) copyingMutex->wait(copyEnded);
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
    // Files and due retries that no job has taken yet; without caps a job
    // takes all of them, so they are empty whenever the scheduler looks.
    std::list<FileInfo> waiting;
    std::list<DebitCredit::Retry> waitingRetries;
    for (;;) {
        if (waiting.empty() && waitingRetries.empty()) {
            logFile.rotateIfLarger(params.logfile_max_size, params.logfile_max_number);
            logFile << "++ " << params.storageID << ": Looking for recently created files by TAVRO" << endl;
            for (;;) {
                const bool fresh = getCopyList(waiting);
                const int64_t next = debitCredit.getDueRetries(waitingRetries, UTILITIES::monotonicNanoseconds());
                if (fresh || !waitingRetries.empty()) break;
                if (next < 0) {
                    waitForWakeSignal();
                } else {
                    const struct timespec deadline = realtimeAt(next);
                    waitForWakeSignal(&deadline);
                }
            }
        }

        pool.waitForFreeThread();
        if (params.copy_job_max_files > 0 || params.copy_job_max_bytes > 0) {
            // What came while every worker was busy joins the end of the
            // queue, so a capped job is cut from all that waits, in
            // announcement order.
            std::list<FileInfo> fresh;
            if (getCopyList(fresh)) waiting.splice(waiting.end(), fresh);
            debitCredit.getDueRetries(waitingRetries, UTILITIES::monotonicNanoseconds());
        }

        std::list<FileInfo> files;
        std::list<DebitCredit::Retry> retries;
        _cutJob(waiting, waitingRetries, files, retries);
        // The worker takes over every entry of the job; the pool deletes it
        // after its work().
        pool.schedule(new CopyWorkerThread(params, files, *this, retries));
    }
}

void CopyThread::_cutJob(std::list<FileInfo>& waiting, std::list<DebitCredit::Retry>& waitingRetries,
                         std::list<FileInfo>& files, std::list<DebitCredit::Retry>& retries) {
    const int64_t maxFiles = params.copy_job_max_files;
    const int64_t maxBytes = params.copy_job_max_bytes;
    if (maxFiles <= 0 && maxBytes <= 0) {
        files.splice(files.end(), waiting);
        retries.splice(retries.end(), waitingRetries);
        return;
    }
    // The first file is always taken, however large, so that every job
    // copies something.
    int64_t count = 0;
    int64_t bytes = 0;
    auto fits = [&](const FileInfo& file) {
        if (count > 0 && maxFiles > 0 && count >= maxFiles) return false;
        if (maxBytes > 0) {
            const int64_t size = _sourceSize(file);
            if (count > 0 && bytes + size > maxBytes) return false;
            bytes += size;
        }
        ++count;
        return true;
    };
    while (!waitingRetries.empty() && fits(waitingRetries.front().file))
        retries.splice(retries.end(), waitingRetries, waitingRetries.begin());
    while (waitingRetries.empty() && !waiting.empty() && fits(waiting.front()))
        files.splice(files.end(), waiting, waiting.begin());
    ramdisk.release();  // a job that comes later looks at the RAM disk afresh
}

int64_t CopyThread::_sourceSize(const FileInfo& file) {
    // Only the job's share of the bytes hangs on it: a file that cannot be
    // looked at counts 0, and its copy reports what is wrong with it. A file
    // already replaced by a link counts the link's size, and the files cap
    // still holds for it.
    const std::string below = UTILITIES::pathBelow(params.ramdisk_mountpoint, file.pathToOrigin());
    std::string name;
    const int directory = below.empty() ? -1 : ramdisk.parentOf(below, name);
    struct stat status;
    if (directory < 0 || fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return 0;
    return static_cast<int64_t>(status.st_size);
}
