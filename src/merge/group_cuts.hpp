// The work done once per group before any point is read: a group's main row,
// its records and one cut per connected row. A point's fate in the group
// depends only on these cuts and on the point itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <source_location>

#include "core/float_matrix.hpp"
#include "merge/group_failure.hpp"
#include "merge/record_index.hpp"
#include "merge/trim_geometry.hpp"

namespace rowmerge {

// Columns of connected_crop_rows: 1 and 2 name the main row, 3 + 2k and 4 + 2k
// the k-th connected row (k < 4); NaN in a first-identifier column ends the list.
inline constexpr std::size_t max_connected_rows = 4;

struct GroupCuts {
    std::uint64_t main_key;      // the main row's converted identifiers (row_key)
    const PointFilter* filters;  // where the group's filters are kept
    // Junctions whose cut a point must survive. For a failed group: the
    // junctions worked out before the failure (a group tests its points from
    // the first junction on).
    std::uint8_t filter_count;
    bool failed;
    // Some junction runs parallel to an axis (is_axis_parallel), so its
    // per-axis rule does not follow the row's direction.
    bool axis_parallel;
};

// A group failure with the place in this file where its check is made.
struct LocatedFailure {
    GroupFailure failure;
    std::source_location where;
};

// Works out the cuts of group `group`, writing its filters to
// filters[0 .. filter_count) (room for max_connected_rows). On failure `failed`
// is set and, when `detail` is given, the failure is stored there.
GroupCuts plan_group_cuts(const FloatMatrix& connected_crop_rows, std::size_t group, const RecordIndex& records,
                          double tolerance, PointFilter* filters, LocatedFailure* detail = nullptr) noexcept;

}  // namespace rowmerge
