#ifndef VELLORT_SPACE_FILLPOLICY_H
#define VELLORT_SPACE_FILLPOLICY_H

#include <stdint.h>

#include <vector>

// What a link thread decides from the fill states it measures, apart from
// the file system: which alarms a fill state raises, whether another pass is
// due, and how large it is. Owned and called by one link thread.
class FillPolicy {
public:
    static constexpr int32_t minimumBatchSize = 1000;
    static constexpr int32_t maximumBatchSize = 1024000;
    // Above this fill state, in percent, copies there may be lost.
    static constexpr int lossPercent = 99;
    // A pass that left the file system this many points emptier than the
    // pass before halves the next one: it has clearly drained.
    static constexpr double drainedPoints = 10.0;

    // limit: the storage's fillstate_limit, in percent.
    explicit FillPolicy(int limit);

    int limit() const { return limit_; }
    // Half-way from the limit to full.
    int overflowLimit() const { return (limit_ + 100) / 2; }

    // The alarms a newly measured fill state raises, as message codes in the
    // order LIMIT_WARNING, OVERFLOW_WARNING, OVERFLOW_ERROR. Each is raised
    // once, and armed again only once the fill state has fallen well below
    // its point (half the limit, the limit, the overflow limit), so that a
    // fill state that wavers around a point does not flood the clients.
    std::vector<int> alarms(double fillState);

    // After a pass: whether another is due, from the fill state measured
    // before it and the one after, and the size of that pass. Passes grow
    // while the file system stays above the limit, so that the conversion
    // keeps up with the acquisition, and shrink once it has clearly drained.
    bool nextPass(double lastFillState, double fillState, int32_t& batchSize) const;

private:
    const int limit_;
    bool limitWarned = false;
    bool overflowWarned = false;
    bool lossWarned = false;
};

#endif
