#ifndef VELLORT_SPACE_FILLTREND_H
#define VELLORT_SPACE_FILLTREND_H

#include <stdint.h>

#include <cstddef>

// How fast a file system fills: the used bytes of the last measurements, about
// a second apart, and from their least-squares slope the time until the file
// system is full at that rate. The rate is that of writing and freeing
// together, so a RAM disk that the link passes keep draining is not filling.
//
// Owned and used by one space watch thread; no locking.
class FillTrend {
public:
    // Measurements kept: about ten seconds of them.
    static constexpr size_t sampleCount = 10;
    // Measurements taken closer together than this after the last one kept
    // give only the free space, not the slope, so that quick passes in a row
    // cannot shrink the window to a fraction of a second, where the noise of
    // a single write is the slope.
    static constexpr int64_t minimumSpacing = 900000000;  // nanoseconds
    // Older measurements than this before the newest do not count: a watch
    // that was blocked for a while starts its estimate afresh.
    static constexpr int64_t window = 15000000000;  // nanoseconds
    // Fewer measurements give no estimate.
    static constexpr size_t minimumSamples = 3;

    // One measurement at `nanoseconds` on CLOCK_MONOTONIC: `usedBytes` of a
    // file system of `sizeBytes`. Times must not go back.
    void add(int64_t nanoseconds, double usedBytes, double sizeBytes);

    // Seconds until the file system is full at the rate of the measurements
    // kept, counted from the newest measurement; +Inf when it is not filling or when there
    // are too few measurements.
    double secondsToFull() const;

private:
    struct Sample {
        int64_t time;  // nanoseconds, CLOCK_MONOTONIC
        double used;   // bytes
    };

    Sample samples[sampleCount] = {};
    size_t newest = 0;  // index of the newest sample, when there is one
    size_t count = 0;
    // Of the newest measurement, kept or not.
    double latestUsed = 0;
    double size = 0;
};

#endif
