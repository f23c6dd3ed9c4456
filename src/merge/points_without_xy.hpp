// Merging when points_in_rows has rows but fewer than four columns, so no x
// and y: there are no coordinates to test, so a group either passes its main
// row's points on untouched (no connected rows) or fails where it would
// first read them.
#pragma once

#include <cstddef>
#include <optional>

#include "core/table_view.hpp"
#include "merge/group_cuts.hpp"
#include "merge/group_plans.hpp"
#include "merge/merged_points.hpp"

namespace rowmerge {

struct OutcomeWithoutXy {
    std::size_t failed_group = GroupPlans::no_failure;
    std::optional<LocatedFailure> failure;
    MergedPoints merged;
};

OutcomeWithoutXy merge_points_without_xy(const FloatMatrix& connected_crop_rows, const TableView& points_in_rows,
                                         const RecordIndex& records, double tolerance, const GroupPlans& plans,
                                         bool whole_rows, bool table_rows);

}  // namespace rowmerge
