// Crop rows are named by two float-coded numbers; the main row of a group is
// matched by their saturating conversion to unsigned 32-bit identifiers.
#pragma once

#include <cmath>
#include <cstdint>

namespace rowmerge {

// NaN and values at or below zero give 0, values at or above 4294967295 give
// 4294967295, everything else is truncated toward zero. The value is clamped
// first (NaN fails the first comparison), so the truncation is defined for
// every input; compilers turn the clamps into min/max instructions, without a
// branch.
constexpr std::uint32_t to_row_identifier(double value) noexcept {
    const double at_least_zero = value > 0.0 ? value : 0.0;
    const double clamped = at_least_zero < 4294967295.0 ? at_least_zero : 4294967295.0;
    return static_cast<std::uint32_t>(static_cast<std::int64_t>(clamped));
}

// Whether `value` is a whole number in [0, 2**32): one that names a crop row
// as it stands, with nothing for the conversion above to round or clamp.
constexpr bool is_identifier(double value) noexcept {
    return value >= 0.0 && value < 4294967296.0 && value == static_cast<double>(static_cast<std::uint32_t>(value));
}

// Both identifiers of a row packed into one key.
constexpr std::uint64_t row_key(std::uint32_t first, std::uint32_t second) noexcept {
    return (static_cast<std::uint64_t>(first) << 32) | second;
}

}  // namespace rowmerge
