#include <vector>

#include <gtest/gtest.h>

#include "net/MessageServer.h"
#include "space/FillPolicy.h"

// A fill state that climbs, wavers and falls, with the limit at 80 (overflow
// at 90): each alarm once, armed again only below its own point.
TEST(FillPolicyTest, EachAlarmIsRaisedOnceAndArmedAgainOnlyWellBelowItsPoint) {
    const int limit = MessageServer::LIMIT_WARNING, overflow = MessageServer::OVERFLOW_WARNING,
              loss = MessageServer::OVERFLOW_ERROR;
    // Fill states in a row: the last one raises the alarms given, the others none (a point itself is not enough).
    const std::vector<std::pair<std::vector<double>, std::vector<int>>> steps = {{{80, 81}, {limit}},
                                                                                 {{90, 91}, {overflow}},
                                                                                 {{99, 99.5}, {loss}},
                                                                                 {{90, 99.5, 85, 99.5}, {loss}},
                                                                                 {{79, 99.5}, {overflow, loss}},
                                                                                 {{41, 81, 39, 81}, {limit}},
                                                                                 {{100}, {overflow, loss}},
                                                                                 {{80, 80.5}, {}}};
    FillPolicy policy(80);
    for (const auto& step : steps)
        for (size_t k = 0; k < step.first.size(); ++k)
            EXPECT_EQ(k + 1 < step.first.size() ? std::vector<int>() : step.second, policy.alarms(step.first[k]))
                << step.first[k];
}

// The next pass after one that ended at `now`, having begun at `last`.
TEST(FillPolicyTest, PassesDoubleAboveTheLimitAndHalveOnceDrainedWithinTheirBounds) {
    struct Case {
        double last, now;
        int32_t batch;
        bool due;
        int32_t next;
    };
    const int32_t most = FillPolicy::maximumBatchSize;
    const std::vector<Case> cases = {{85, 84, 1000, true, 2000},    // still above: twice as many
                                     {85, 84, most, true, most},    // but never more than the most
                                     {85, 80, 4000, false, 4000},   // down to the limit: done
                                     {95, 84, 4000, true, 2000},    // drained by more than 10 points: half as many
                                     {95, 84, 1000, true, 1000},    // but never fewer than the least
                                     {95, 70, 4000, false, 2000},   // drained below the limit
                                     {90, 80.5, 4000, true, 8000},  // 9.5 points is not drained
                                     {70, 85, 4000, true, 4000},    // newly above: as large as before
                                     {70, 75, 4000, false, 4000}};
    const FillPolicy policy(80);
    for (const Case& c : cases) {
        int32_t batch = c.batch;
        EXPECT_EQ(c.due, policy.nextPass(c.last, c.now, batch)) << c.last << " -> " << c.now;
        EXPECT_EQ(c.next, batch) << c.last << " -> " << c.now;
    }
}
