// The smoothed time per step behind the remaining-time field.
#include <gtest/gtest.h>

#include "progress/rate_estimator.hpp"

namespace rowmerge::progress {
namespace {

TEST(ProgressRate, UnknownUntilObservedThenFollowsThePace) {
    RateEstimator rate(10.0);
    rate.observe(1.0, 0);  // no steps
    rate.observe(0.0, 5);  // no time
    EXPECT_FALSE(rate.known());
    EXPECT_EQ(rate.remaining_seconds(10), 0.0);
    rate.observe(10.0, 10);
    EXPECT_DOUBLE_EQ(rate.remaining_seconds(10), 10.0);  // the first interval alone gives its own rate
    rate.observe(10.0, 40);
    // Equally long intervals, one half-life apart: the newer weighs twice as much.
    EXPECT_NEAR(rate.seconds_per_step(), (1.0 + 0.25 * 2) / 3, 1e-12);
}

}  // namespace
}  // namespace rowmerge::progress
