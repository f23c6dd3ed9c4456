// The merge of the table of points, in two passes over it. The first decides
// every row's fate in table order (which group keeps it, if any; each group's
// cuts are known before any point is read) and counts each group's survivors
// per slice of the table. After a prefix sum over the counts, the second pass
// copies each surviving row straight to its place in the result: groups in
// ascending order, each group's rows in table order. Only the survivors are
// copied, once, and the cost does not depend on the order of the rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/float_matrix.hpp"
#include "core/table_view.hpp"
#include "merge/call_control.hpp"
#include "merge/row_classes.hpp"

namespace rowmerge {

// The merge's result: the surviving rows, and (when asked for) the row of the
// table that each of them came from.
struct MergedPoints {
    FloatMatrix rows;                       // when whole rows were asked for
    MallocBuffer<std::int64_t> table_rows;  // when table rows were asked for
    std::size_t count = 0;                  // result rows
    // When asked for: the groups, ascending, with a junction whose cut point
    // and near anchor share an x or a y coordinate (is_axis_parallel).
    std::vector<std::size_t> axis_parallel_groups;
    // Checked merges only: the rows of points_in_rows that belong to no group
    // (and so are in no group's result), those whose x or y is not finite
    // (which no cut can place: a group with connected rows drops them), and
    // the links that go one way.
    std::size_t orphan_rows = 0;
    std::size_t unplaced_rows = 0;
    std::size_t one_way_links = 0;
    std::size_t first_one_way_group = 0;
};

// Merges the rows of `points` (at least 4 columns) on up to `workers`
// threads. Returns early, with an unusable result, when `control` stops.
// When `checked`, throws ValueRefused at the lowest row whose identifiers are
// not whole numbers in [0, 2**32), and counts the rows of no group and those
// whose x or y is not finite.
MergedPoints merge_points(const TableView& points, const RowClasses& classes, bool whole_rows, bool table_rows,
                          bool checked, std::size_t workers, CallControl& control);

}  // namespace rowmerge
