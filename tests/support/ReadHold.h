#ifndef VELLORT_TESTS_SUPPORT_READHOLD_H
#define VELLORT_TESTS_SUPPORT_READHOLD_H

#include <stddef.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "util/UniqueFd.h"

// Holds every read of one existing file, by any process (the daemon's copies), until release(): a fanotify permission
// mark (FAN_ACCESS_PERM) whose events a thread of its own answers only then, and at once from then on. Needs root and
// fanotify permission events, else holding() is false and skipReason() says why. The destructor lets every read go.
class ReadHold {
public:
    explicit ReadHold(const std::string& path);
    ~ReadHold();

    bool holding() const { return static_cast<bool>(fanotify_); }
    const std::string& skipReason() const { return skipReason_; }
    // Waits until `count` readers are stopped in a read at once; false after `seconds`.
    bool waitForHeld(size_t count, double seconds = 20);
    void release();

private:
    void _allowHeld();  // with mutex_ held

    UniqueFd fanotify_;
    std::string skipReason_;
    std::mutex mutex_;  // also makes a ReadHold not copyable
    std::condition_variable changed_;
    std::vector<UniqueFd> held_;  // the events' descriptors, not yet answered
    bool released_ = false;
    std::atomic<bool> stopping_{false};
    std::thread answerer_;
};

#endif
