// A smoothed estimate of the time one progress step takes, for the
// remaining-time field.
#pragma once

#include <cstdint>

namespace rowmerge::progress {

// Exponentially weighted average of seconds per step. Every observation is an
// interval (its duration and the steps made during it) and weighs by its
// duration: the influence of older intervals halves every `half_life`
// seconds, so the estimate follows changes of pace within a few half-lives.
// The average is normalised by the weight accumulated so far, so the first
// interval alone already gives its own rate instead of a value pulled
// towards zero.
class RateEstimator {
public:
    static constexpr double default_half_life = 15.0;

    explicit RateEstimator(double half_life = default_half_life) noexcept : half_life_(half_life) {}

    // Records `steps` steps made during `seconds` seconds. Intervals without
    // steps, or with negative or non-finite duration, are ignored.
    void observe(double seconds, std::uint64_t steps) noexcept;

    // True once an interval of positive duration has been recorded.
    bool known() const noexcept;

    // The smoothed seconds per step; 0 while unknown.
    double seconds_per_step() const noexcept;

    // Remaining time for `remaining` further steps; 0 while unknown.
    double remaining_seconds(std::uint64_t remaining) const noexcept;

private:
    double half_life_;
    double weighted_sum_ = 0.0;  // sum of weight * seconds-per-step
    double weight_ = 0.0;        // sum of weights, at most 1
};

}  // namespace rowmerge::progress
