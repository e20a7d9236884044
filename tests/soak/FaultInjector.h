#ifndef VELLORT_TESTS_SOAK_FAULTINJECTOR_H
#define VELLORT_TESTS_SOAK_FAULTINJECTOR_H

#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

class SoakContext;

// The storages' faults: every 60 s from t = 15 s EXTERNAL read-only for 12 s,
// and from t = 40 s OPTIONAL full (a filler file) for 12 s. run() in a thread
// of its own; it keeps the windows in which each fault was on, for the
// checker, which also must not purge copies while a fault is on.
class FaultInjector {
public:
    enum Kind { EXTERNAL_READ_ONLY = 0, OPTIONAL_FULL = 1 };
    // Final once run() has returned.
    struct Counts {
        int readOnlyWindows = 0, readOnlyAttemptsBusy = 0, readOnlyNotReached = 0, fullWindows = 0;
        uint64_t fillerBytes = 0;
    };

    // Borrowed: the soak outlives the injector.
    explicit FaultInjector(SoakContext& soak) : soak(soak) {}

    // No window starts unless it ends before `until`.
    void run(double until);
    // Whether a failure reported at `at` falls into a window of that kind, or
    // trails its end by no more than a report may. Any thread.
    bool covers(Kind kind, double at);
    // Runs work() while no fault is on, keeping faults from starting
    // meanwhile; false when one stayed on for `seconds`. Any thread.
    template <typename Work>
    bool whileNoFault(double seconds, Work work) {
        std::unique_lock<std::mutex> lock(mutex);
        if (!changed.wait_for(lock, std::chrono::duration<double>(seconds), [&]() { return active == 0; }))
            return false;
        work();
        return true;
    }

    Counts counts;

private:
    struct Window {
        Kind kind;
        double start, end;  // end < 0 while on
    };

    // Each turns its fault on and, after 12 s, off; false when the run must end.
    bool _makeExternalReadOnly();
    bool _fillOptional();
    size_t _begin(Kind kind);
    void _end(size_t window);

    SoakContext& soak;
    std::mutex mutex;  // guards the two below
    std::condition_variable changed;
    std::vector<Window> windows;
    int active = 0;
};

#endif
