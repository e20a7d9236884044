#ifndef VELLORT_DAEMON_STOPTHREAD_H
#define VELLORT_DAEMON_STOPTHREAD_H

#include <atomic>
#include <string>

#include "journal/Journal.h"
#include "log/LogFile.h"
#include "thread/Thread.h"

// Stops the daemon on SIGTERM or SIGINT: no thread starts a new step on a
// file, the steps under way get up to graceSeconds to finish, copies still
// running then give up (removing their temporary files), one log line says
// how it went, the journal is committed, and the process ends with status 0. kill -9 is safe too, only
// less tidy: a leftover temporary file is removed by the next copy of its file.
//
// The signals are blocked in every thread (blockStopSignals, called before the
// first thread starts) and taken here with sigwait, so no handler ever runs in
// the middle of another thread's work. Made by the start-up, never deleted.
class StopThread : public Thread {
public:
    static constexpr double graceSeconds = 10;

    explicit StopThread(const std::string& logFilePath);

    // In the calling thread, and so in every thread it starts from then on.
    static void blockStopSignals();
    // Borrowed: committed before the process ends. Set by the start-up while
    // this thread may already wait for a signal, hence atomic.
    void setJournal(Journal* journal) { this->journal.store(journal, std::memory_order_release); }

protected:
    void run() override;

private:
    LogFile logFile;
    std::atomic<Journal*> journal{nullptr};
};

#endif
