#ifndef VELLORT_METRICS_METRICS_H
#define VELLORT_METRICS_METRICS_H

#include <stdint.h>

#include <atomic>
#include <cmath>

// The daemon's counts for its metrics service, kept where they happen: every
// counter is a relaxed atomic that its thread bumps on the way, so counting
// costs the copy path one uncontended add; the service reads them when it is
// scraped. Nothing here takes a lock.
namespace METRICS {

// Seconds from a file's announcement to its copy's rename, in fixed buckets
// from 100 microseconds to 60 seconds.
class DelayHistogram {
public:
    static constexpr int bucketCount = 18;
    // Upper bounds in seconds, ascending; beyond the last is +Inf.
    static const double bounds[bucketCount];

    void observe(int64_t nanoseconds);

    // Observations at or below bounds[i] and above bounds[i - 1]; index
    // bucketCount holds those above the last bound.
    uint64_t bucket(int i) const { return buckets[i].load(std::memory_order_relaxed); }
    uint64_t count() const { return count_.load(std::memory_order_relaxed); }
    double sumSeconds() const { return static_cast<double>(sum.load(std::memory_order_relaxed)) / 1e9; }

private:
    std::atomic<uint64_t> buckets[bucketCount + 1] = {};
    std::atomic<uint64_t> count_{0};
    std::atomic<uint64_t> sum{0};  // nanoseconds
};

// What one storage did since the start. Files count once per step; a copy
// failure is each failed attempt, retries included, so failures minus retries
// is never below the files the history books failed.
struct StorageCounters {
    std::atomic<uint64_t> copied{0};
    std::atomic<uint64_t> failures{0};
    std::atomic<uint64_t> retries{0};  // retried attempts begun
    std::atomic<uint64_t> bytes{0};    // of the copies made
    std::atomic<uint64_t> verified{0};
    std::atomic<uint64_t> verifyFailures{0};
    std::atomic<uint64_t> linked{0};
    std::atomic<uint64_t> removed{0};
    std::atomic<uint64_t> deleted{0};
    // Files announced to the storage and not yet copied or failed for good;
    // a file that waits for a retry is still pending.
    std::atomic<int64_t> pending{0};
    DelayHistogram delay;
};

// The last measurement of a watched mount point, published by the storage's
// space watch and read by the metrics service and the service manager's
// status line. NaN until the first measurement.
struct MountGauges {
    std::atomic<double> fill{NAN};    // used share of the blocks, 0 to 1
    std::atomic<double> inodes{NAN};  // used share of the inodes, 0 to 1
    // Seconds until full at the present rate of writing and freeing; +Inf
    // while the file system is not filling.
    std::atomic<double> fullIn{INFINITY};
};

inline void add(std::atomic<uint64_t>& counter, uint64_t n = 1) { counter.fetch_add(n, std::memory_order_relaxed); }

// Counts of the whole daemon.
std::atomic<uint64_t>& filesAnnounced();
std::atomic<uint64_t>& userShifts();
// Journaled files the daemon still holds: those a start would take up again.
std::atomic<int64_t>& journalUnfinishedFiles();
// Messages queued for the message clients, by code (0 for codes out of range).
constexpr int maxMessageCode = 15;
std::atomic<uint64_t>& messagesSent(int code);

}  // namespace METRICS

#endif
