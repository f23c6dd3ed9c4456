#include "progress/rate_estimator.hpp"

#include <cmath>
#include <numbers>

namespace rowmerge::progress {

void RateEstimator::observe(double seconds, std::uint64_t steps) noexcept {
    if (steps == 0 || !(seconds >= 0.0) || !std::isfinite(seconds)) {
        return;
    }
    // Weight of this interval; everything observed before keeps 1 - fresh.
    // expm1 keeps short intervals accurate.
    const double fresh = -std::expm1(-seconds * std::numbers::ln2 / half_life_);
    const double sample = seconds / static_cast<double>(steps);
    weighted_sum_ = weighted_sum_ * (1.0 - fresh) + sample * fresh;
    weight_ = weight_ * (1.0 - fresh) + fresh;
}

bool RateEstimator::known() const noexcept { return weight_ > 0.0; }

double RateEstimator::seconds_per_step() const noexcept { return known() ? weighted_sum_ / weight_ : 0.0; }

double RateEstimator::remaining_seconds(std::uint64_t remaining) const noexcept {
    return seconds_per_step() * static_cast<double>(remaining);
}

}  // namespace rowmerge::progress
