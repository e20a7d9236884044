#ifndef VELLORT_TESTS_SOAK_RESOURCESAMPLER_H
#define VELLORT_TESTS_SOAK_RESOURCESAMPLER_H

#include <vector>

class SoakContext;

// The daemon's resources over the run: VmRSS, threads and descriptors, read
// from /proc every 5 s, and printed with the fill states as a table row every
// fortieth of the run (10 s apart at least). At the end each must be no more
// than twice its value after warm-up plus a margin. Main's thread only.
class ResourceSampler {
public:
    // Borrowed: the soak outlives the sampler.
    ResourceSampler(SoakContext& soak, double seconds);

    // Samples when a sample is due, and prints it when a row is due.
    void tick(long files, int shifts);
    // One more sample, the final one.
    void sampleNow() { samples.push_back(_sample()); }
    // Fails each figure that grew past its bound, if the daemon is alive.
    void check(bool alive);
    // The summary's "daemon:" line, after check().
    void printSummary(bool alive);

private:
    struct Sample {
        double at = 0;
        long rssKiB = -1, threads = -1, descriptors = -1;
    };

    Sample _sample();
    void _checkBounded(const char* what, long warm, long final, long margin);

    SoakContext& soak;
    const double seconds, reportEvery;
    double nextSample, nextReport;
    std::vector<Sample> samples;
    Sample warm, peak, final;  // set by check()
};

#endif
