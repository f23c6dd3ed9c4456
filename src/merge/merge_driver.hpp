// The single entry of the merging engine.
#pragma once

#include <cstddef>

#include "core/float_matrix.hpp"
#include "core/table_view.hpp"
#include "merge/merge_failure.hpp"
#include "merge/merge_observer.hpp"
#include "merge/merged_points.hpp"

namespace rowmerge {

struct MergeRequest {
    double tolerance = 0.0;
    std::size_t num_threads = 0;        // 0: the default worker count
    bool whole_rows = true;             // the result's rows
    bool table_rows = false;            // the row of points_in_rows each result row came from
    bool axis_parallel_groups = false;  // the groups with a junction parallel to an axis
    // Refuse values the merge cannot use (value_checks.hpp), count the rows
    // of no group and the links that go one way.
    bool check_values = false;
    MergeObserver* observer = nullptr;
};

// Merges every group of `connected_crop_rows`: the surviving rows of
// `points_in_rows` (read through the view, copied once), groups in ascending
// order, each group's rows in table order. Throws MergeFailure, ValueRefused
// (checked merges), std::bad_alloc when memory runs out, and MergeStopped (or
// what the observer threw) when the observer stops the merge.
MergedPoints merge_tables(const FloatMatrix& connected_crop_rows, const TableView& points_in_rows,
                          const FloatMatrix& row_information, const MergeRequest& request);

}  // namespace rowmerge
