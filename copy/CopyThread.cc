#include "copy/CopyThread.h"

#include <list>

#include "copy/CopyWorkerThread.h"
#include "thread/ThreadPool.h"

CopyThread::CopyThread(DebitCredit& debitCredit, const Storage::Params& params)
    : DebitListThread(debitCredit), params(params), logFile(params.logfile) {}

void CopyThread::run() {
    ThreadPool pool(params.n_copy_processes);
    for (;;) {
        logFile.rotateIfLarger(params.logfile_max_size, params.logfile_max_number);
        logFile << "++ " << params.storageID << ": Looking for recently created files by TAVRO" << endl;

        std::list<FileInfo> batch;
        while (!getCopyList(batch)) waitForWakeSignal();

        pool.waitForFreeThread();
        // The worker takes over every entry of the batch; the pool deletes it
        // after its work().
        pool.schedule(new CopyWorkerThread(params, batch, *this));
    }
}
