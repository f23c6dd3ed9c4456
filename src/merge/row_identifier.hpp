// Crop rows are named by two float-coded numbers; the main row of a group is
// matched by their saturating conversion to unsigned 32-bit identifiers.
#pragma once

#include <cmath>
#include <cstdint>

namespace rowmerge {

// NaN and values at or below zero give 0, values at or above 4294967295 give
// 4294967295, everything else is truncated toward zero.
constexpr std::uint32_t to_row_identifier(double value) noexcept {
    if (!(value > 0.0)) {  // NaN, zeros and negatives
        return 0;
    }
    if (value >= 4294967295.0) {
        return UINT32_MAX;
    }
    return static_cast<std::uint32_t>(value);
}

// Both identifiers of a row packed into one key.
constexpr std::uint64_t row_key(std::uint32_t first, std::uint32_t second) noexcept {
    return (static_cast<std::uint64_t>(first) << 32) | second;
}

}  // namespace rowmerge
