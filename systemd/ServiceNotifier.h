#ifndef VELLORT_SYSTEMD_SERVICENOTIFIER_H
#define VELLORT_SYSTEMD_SERVICENOTIFIER_H

#include "thread/Mutex.h"
#include <stdint.h>

#include <atomic>
#include <string>
#include <vector>

#include "log/LogFile.h"
#include "thread/Thread.h"

class Storage;

// The daemon's talk with systemd (sd_notify), for `vellort --foreground`
// under a unit of Type=notify. Nothing here does anything unless the service
// manager set NOTIFY_SOCKET.
namespace SYSTEMD {

// A thread's "busy since" stamp: set when it starts on one piece of work that
// must not take for ever (one file's copy, one block of announcements) and
// cleared when it is done or goes back to waiting for work. The notifier scans
// every stamp that lives and stops the watchdog pings while one is older than
// the limit. begin() and end() cost a clock read and a relaxed store (begin
// also an uncontended lock, for the name of the work); the stamp registers
// itself while it lives, so it may be made and dropped with its job.
class BusyStamp {
public:
    // who: the worker, for the log ("internal: copy worker", "the pipe reader").
    explicit BusyStamp(const std::string& who);
    ~BusyStamp();

    BusyStamp(const BusyStamp&) = delete;
    BusyStamp& operator=(const BusyStamp&) = delete;

    // The owning thread: busy from now on with `what` (a file's path).
    void begin(const std::string& what);
    void end() { since.store(0, std::memory_order_relaxed); }

    // Any thread: CLOCK_MONOTONIC nanoseconds of the begin(), 0 while idle.
    int64_t busySince() const { return since.load(std::memory_order_relaxed); }
    const std::string& worker() const { return who; }
    std::string work() const;

private:
    const std::string who;
    std::atomic<int64_t> since{0};
    mutable Mutex whatMutex{Mutex::NORMAL};
    std::string what GUARDED_BY(whatMutex);
};

// STOPPING=1, from the stop thread when it takes SIGTERM or SIGINT.
void notifyStopping();

// The notifier thread: READY=1 once (ready()), a STATUS= line every
// statusSeconds (copies made and files pending over all storages, the RAM
// disk's fill from the INTERNAL storage's space watch), and, when systemd asked
// for a watchdog (WATCHDOG_USEC, WATCHDOG_PID), WATCHDOG=1 every half of its
// interval, but only while no busy stamp is older than the limit. One log line
// when the pings stop, naming the stuck worker and its work, one when they
// resume. Made by the start-up only when wanted(); never deleted.
class ServiceNotifier : public Thread {
public:
    static constexpr int statusSeconds = 5;

    // True when NOTIFY_SOCKET is set and not empty.
    static bool wanted();

    // storages: borrowed, never deleted by the start-up. copyTimeoutSeconds:
    // watchdog_copy_timeout, the longest time a stamp may stay set.
    ServiceNotifier(const std::vector<Storage*>& storages, const std::string& logFilePath, int copyTimeoutSeconds);

    // Any thread: READY=1 with a first status line.
    void ready();

    // The status line without "STATUS=": "copied 12, pending 3, RAM disk 42% full".
    std::string statusText();

protected:
    void run() override;

private:
    // The oldest stamp older than the limit, described for the log; empty when none.
    std::string _stuck(int64_t now);

    std::vector<Storage*> storages;
    LogFile logFile;  // this thread's
    const int64_t limit;
    bool pinging = true;  // this thread's
};

}  // namespace SYSTEMD

#endif
