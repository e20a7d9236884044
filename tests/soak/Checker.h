#ifndef VELLORT_TESTS_SOAK_CHECKER_H
#define VELLORT_TESTS_SOAK_CHECKER_H

#include <stdint.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "soak/Clients.h"

class FaultInjector;
class SoakContext;

// Checks each shift that the acquisition ended, once no storage has anything
// pending for it: every EXTERNAL and OPTIONAL copy; every file without a copy
// reported by a copy-error log line and a code-4 message, and justified (the
// file never existed, or the failure came while the fault on that storage was
// on); the history counts (copied, failed, pending 0) of each storage equal
// to what was found; the RAM-disk files of the shift deleted; the INTERNAL
// copies deleted, except those whose EXTERNAL copy failed, which must stay
// intact with a "Warning: Not removing" line. Then it removes the shift's
// copies, as an archive would take them. run() in a thread of its own; the
// shifts come from the acquisition's.
class Checker {
public:
    // One announced file, as the acquisition wrote it.
    struct File {
        std::string relative;  // below the RAM disk, and below every target
        uint64_t size = 0;
        uint64_t hash = 0;              // fnv1a() of the content
        bool ghost = false;             // announced, never written
        bool internalCopyGood = false;  // seen intact at the end of its shift

        // Compares the copy at `path` with what was written; empty when intact.
        std::string copyProblem(const std::string& path) const;
    };
    struct Shift {
        int number = 0;
        uint32_t uid = 0;
        std::vector<File> files;
    };
    // Final once run() has returned.
    struct Counts {
        long shifts = 0, keptChecked = 0, temporariesLeft = 0;
        long copiesChecked[3] = {0, 0, 0}, failuresReported[3] = {0, 0, 0};
    };

    // Borrowed: all outlive the checker.
    Checker(SoakContext& soak, FaultInjector& faults, Clients& clients)
        : soak(soak), faults(faults), clients(clients), status(soak) {}

    // An ended shift, to be checked in turn.
    void push(std::unique_ptr<Shift> shift);
    // No more shifts will come: run() returns once it has checked those it has.
    void close();
    void run();

    Counts counts;

private:
    enum Outcome { COPIED, FAILED };

    void _check(Shift& shift);
    void _checkReported(const File& file, int storage, const std::string& destination, const std::string& problem,
                        double deadline);
    void _checkDeletions(const Shift& shift, const std::vector<std::vector<Outcome>>& outcomes);
    // The shared removal, with what stays counted as a failure.
    void _removeTree(const std::string& path);

    SoakContext& soak;
    FaultInjector& faults;
    Clients& clients;
    Clients::StatusQuery status;

    std::mutex mutex;  // guards the two below
    std::condition_variable changed;
    std::deque<std::unique_ptr<Shift>> shifts;
    bool closed = false;
};

uint64_t fnv1a(const std::string& bytes);

#endif
