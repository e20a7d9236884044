#include "metrics/Metrics.h"

namespace METRICS {

const double DelayHistogram::bounds[bucketCount] = {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005,
                                                    0.01,   0.025,   0.05,   0.1,   0.25,   0.5,
                                                    1,      2.5,     5,      10,    30,     60};

void DelayHistogram::observe(int64_t nanoseconds) {
    if (nanoseconds < 0) nanoseconds = 0;  // a clock step cannot make a copy come before its announcement
    const double seconds = static_cast<double>(nanoseconds) / 1e9;
    int i = 0;
    while (i < bucketCount && seconds > bounds[i]) ++i;
    buckets[i].fetch_add(1, std::memory_order_relaxed);
    sum.fetch_add(static_cast<uint64_t>(nanoseconds), std::memory_order_relaxed);
    count_.fetch_add(1, std::memory_order_relaxed);
}

std::atomic<uint64_t>& filesAnnounced() {
    static std::atomic<uint64_t> count{0};
    return count;
}

std::atomic<uint64_t>& userShifts() {
    static std::atomic<uint64_t> count{0};
    return count;
}

std::atomic<int64_t>& journalUnfinishedFiles() {
    static std::atomic<int64_t> count{0};
    return count;
}

std::atomic<uint64_t>& messagesSent(int code) {
    static std::atomic<uint64_t> counts[maxMessageCode + 1] = {};
    return counts[code >= 1 && code <= maxMessageCode ? code : 0];
}

}  // namespace METRICS
