#include "space/FillTrend.h"

#include <cmath>

void FillTrend::add(int64_t nanoseconds, double usedBytes, double sizeBytes) {
    latestUsed = usedBytes;
    size = sizeBytes;
    if (count > 0 && nanoseconds - samples[newest].time < minimumSpacing) return;
    newest = count == 0 ? 0 : (newest + 1) % sampleCount;
    samples[newest] = {nanoseconds, usedBytes};
    if (count < sampleCount) ++count;
}

double FillTrend::secondsToFull() const {
    // The kept samples within the window, oldest first; times in seconds from
    // the newest, so that the sums stay small.
    double times[sampleCount];
    double used[sampleCount];
    size_t n = 0;
    for (size_t back = count; back-- > 0;) {
        const Sample& sample = samples[(newest + sampleCount - back) % sampleCount];
        const int64_t age = samples[newest].time - sample.time;
        if (age > window) continue;
        times[n] = -static_cast<double>(age) / 1e9;
        used[n] = sample.used;
        ++n;
    }
    if (n < minimumSamples) return INFINITY;

    double meanTime = 0, meanUsed = 0;
    for (size_t i = 0; i < n; ++i) {
        meanTime += times[i];
        meanUsed += used[i];
    }
    meanTime /= n;
    meanUsed /= n;
    double covariance = 0, variance = 0;
    for (size_t i = 0; i < n; ++i) {
        covariance += (times[i] - meanTime) * (used[i] - meanUsed);
        variance += (times[i] - meanTime) * (times[i] - meanTime);
    }
    if (variance <= 0) return INFINITY;
    const double bytesPerSecond = covariance / variance;
    if (!(bytesPerSecond > 0)) return INFINITY;
    const double free = size - latestUsed;
    return free > 0 ? free / bytesPerSecond : 0;
}
