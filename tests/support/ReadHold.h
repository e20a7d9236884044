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

// Holds every read of one file, by any process (the daemon's copies), until
// the test releases it: a fanotify permission mark (FAN_ACCESS_PERM) on the
// file, whose events a thread of its own answers only after release(), and at
// once from then on. So a test stops a copy from outside the daemon, at its
// first read of the file.
//
// Needs root and a kernel with fanotify permission events; without them
// holding() is false and skipReason() says why (for GTEST_SKIP()). The file
// must exist. The destructor lets every read go.
class ReadHold {
public:
    explicit ReadHold(const std::string& path);
    ~ReadHold();

    ReadHold(const ReadHold&) = delete;
    ReadHold& operator=(const ReadHold&) = delete;

    bool holding() const { return static_cast<bool>(fanotify_); }
    const std::string& skipReason() const { return skipReason_; }

    // Waits until `count` readers are stopped in a read at once; false after `seconds`.
    bool waitForHeld(size_t count, double seconds = 20);
    // Lets the held reads go on, and every later one at once.
    void release();

private:
    void _answer();
    void _allowHeld();  // with mutex_ held

    UniqueFd fanotify_;
    std::string skipReason_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<UniqueFd> held_;  // the events' descriptors, not yet answered
    bool released_ = false;
    std::atomic<bool> stopping_{false};
    std::thread answerer_;
};

#endif
