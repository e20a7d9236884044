#ifndef VELLORT_TESTS_SOAK_SOAKCONTEXT_H
#define VELLORT_TESTS_SOAK_SOAKCONTEXT_H

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "soak/LogWatcher.h"
#include "soak/Sandbox.h"

// What the sections of one soak run share: the run's clock, its failures, the
// flags that wind it down, the sandbox with the daemon, and the daemon's log.
// Made by main and handed to every section; every thread of the run uses it.
class SoakContext {
public:
    SoakContext();
    SoakContext(const SoakContext&) = delete;
    SoakContext& operator=(const SoakContext&) = delete;

    // Seconds since the run began.
    double elapsed() const;
    static void pause(double seconds);
    // Waits until done() or the deadline, polling; false after `seconds`, or
    // at once when the run is winding down.
    template <typename Done>
    bool waitFor(double seconds, Done done, double poll = 0.05) {
        double deadline = elapsed() + seconds;
        for (;;) {
            if (done()) return true;
            if (elapsed() > deadline || stopping) return false;
            pause(poll);
        }
    }

    // A line on standard output after the time; lines never mix.
    void say(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Every check that fails lands here; the run's exit status is 1 if any
    // did. The first 50 are printed at once and kept for the summary.
    void fail(const std::string& text);
    // A fatal failure: recorded, and everything winds down.
    void giveUp(const std::string& text);
    // How many failed; the first ones in *first.
    size_t failures(std::vector<std::string>* first = nullptr);

    // A fatal failure or a signal: every thread winds down.
    std::atomic<bool> stopping{false};
    // SIGINT or SIGTERM came; set by the signal handler, so lock-free.
    std::atomic<bool> interrupted{false};

    Sandbox sandbox;
    LogWatcher log;

private:
    const std::chrono::steady_clock::time_point start;
    std::mutex outputMutex;   // one line of say() at a time
    std::mutex failureMutex;  // guards the two below
    size_t failureTotal = 0;
    std::vector<std::string> keptFailures;
};

#endif
