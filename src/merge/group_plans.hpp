// The cuts of every group of a call, worked out before any point is read.
#pragma once

#include <cstddef>
#include <limits>
#include <memory>
#include <vector>

#include "merge/call_control.hpp"
#include "merge/group_cuts.hpp"

namespace rowmerge {

struct GroupPlans {
    static constexpr std::size_t no_failure = std::numeric_limits<std::size_t>::max();

    std::vector<GroupCuts> cuts;
    // The filters of consecutive stretches of groups; GroupCuts::filters
    // points into them.
    std::vector<std::vector<PointFilter>> filter_storage;
    std::size_t lowest_failed = no_failure;
};

// Plans every group of `connected_crop_rows`, on up to `workers` threads when
// there are many.
GroupPlans plan_all_groups(const FloatMatrix& connected_crop_rows, const RecordIndex& records, double tolerance,
                           std::size_t workers, CallControl& control);

// The groups, ascending, that have a junction parallel to an axis.
std::vector<std::size_t> axis_parallel_groups(const GroupPlans& plans);

// Whether any group names a connected row, so records need the float lookup.
bool any_connected_rows(const FloatMatrix& connected_crop_rows) noexcept;

}  // namespace rowmerge
