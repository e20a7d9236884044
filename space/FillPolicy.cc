#include "space/FillPolicy.h"

#include <algorithm>

#include "net/MessageServer.h"

FillPolicy::FillPolicy(int limit) : limit_(limit) {}

std::vector<int> FillPolicy::alarms(double fillState) {
    if (fillState < limit_ / 2) limitWarned = false;
    if (fillState < limit_) overflowWarned = false;
    if (fillState < overflowLimit()) lossWarned = false;
    std::vector<int> raised;
    if (fillState > limit_ && !limitWarned) {
        raised.push_back(MessageServer::LIMIT_WARNING);
        limitWarned = true;
    }
    if (fillState > overflowLimit() && !overflowWarned) {
        raised.push_back(MessageServer::OVERFLOW_WARNING);
        overflowWarned = true;
    }
    if (fillState > lossPercent && !lossWarned) {
        raised.push_back(MessageServer::OVERFLOW_ERROR);
        lossWarned = true;
    }
    return raised;
}

bool FillPolicy::nextPass(double lastFillState, double fillState, int32_t& batchSize) const {
    if (lastFillState - fillState > drainedPoints) {
        batchSize = std::max(batchSize / 2, minimumBatchSize);
        return fillState > limit_;
    }
    if (lastFillState > limit_) {
        if (fillState <= limit_) return false;
        batchSize = std::min(2 * batchSize, maximumBatchSize);
        return true;
    }
    return fillState > limit_;
}
