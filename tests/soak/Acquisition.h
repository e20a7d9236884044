#ifndef VELLORT_TESTS_SOAK_ACQUISITION_H
#define VELLORT_TESTS_SOAK_ACQUISITION_H

#include <stdint.h>

#include <atomic>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "soak/Checker.h"
#include "soak/Clients.h"
#include "support/FifoWriter.h"

class SoakContext;

// The acquisition program: numbered runs of small files (1-16 KiB, 25 a
// second) and a large one (128-768 KiB) every 2 s, each written to the RAM
// disk and announced on the pipe, in user shifts of 10-20 s. It waits (at
// most 60 s) while the RAM disk is above 90 % or short of room for the next
// file; a write the RAM disk refuses for lack of space is a failure. Its
// hostile input: two announced files per shift that do not exist, its end of
// the pipe closed and reopened every 5 s (every fourth time staying away
// 1.5 s), and a junk line every 2 s. At the end of each shift it checks the
// shift's INTERNAL copies and hands the shift to the checker. run() in a
// thread of its own.
class Acquisition {
public:
    struct Counts {
        std::atomic<long> files{0};  // read by the sampler while the acquisition runs
        std::atomic<int> shifts{0};
        long largeFiles = 0, ghosts = 0, enospc = 0, ramWaits = 0;
        uint64_t bytes = 0;
        double ramWaitSeconds = 0, ramMaxPercent = 0;
        long writerReopens = 0, writerAbsences = 0, junkLines = 0, junkRejectionsExpected = 0;
    };

    // Writes until `until`. Borrowed: the soak and the checker outlive the acquisition.
    Acquisition(SoakContext& soak, double until, uint64_t seed, Checker& checker);

    void run();

    // Final once run() has returned.
    Counts counts;

private:
    void _announceShift(int number);
    void _startShift();
    void _endShift();
    void _mkdir(const std::string& path);
    bool _waitForRoom(uint64_t size);
    void _writeFile(bool large);
    void _announceGhost();
    void _announce(const Checker::File& file);
    void _reopen();
    void _junk();

    SoakContext& soak;
    const double until;
    std::mt19937_64 random;
    Checker& checker;
    Clients::StatusQuery status;
    FifoWriter pipe;

    std::unique_ptr<Checker::Shift> current;
    std::string shiftDir;
    int shiftNumber = 0, runNumber = 1, fileNumber = 0;
    double shiftEnd = 0, nextRun = 0;
    uint64_t seedCounter = 0;
    std::vector<double> ghostTimes;  // latest first
};

#endif
