// The work done once per group: collect the main row's points, find the
// records of the main row and of each connected row, trim the points against
// every connected row and append the survivors.
#pragma once

#include <cstddef>
#include <cstdint>

#include "float_matrix.hpp"
#include "merged_points.hpp"
#include "progress/progress_display.hpp"
#include "table_index.hpp"

namespace rowmerge {

// What every group task reads. Built once per call; tasks only read it.
struct MergeContext {
    const FloatMatrix& connected_crop_rows;
    const FloatMatrix& points_in_rows;
    const FloatMatrix& row_information;
    const double& tolerance;
    MergedPoints& merged_points;
    progress::ProgressDisplay& progress;
    const PointIndex& point_index;
    const RecordIndex& record_index;
};

// Columns of connected_crop_rows: 1 and 2 name the main row, 3 + 2k and 4 + 2k
// the k-th connected row (k < 4); NaN in a first-identifier column ends the list.
inline constexpr std::size_t max_connected_rows = 4;

// The group's main-row points, in table order (rows of points_in_rows).
void collect_row_points(const PointIndex& index, std::uint32_t first, std::uint32_t second,
                        PointRows& rows);

// The main record: the first whose identifiers convert to (first, second).
std::size_t find_main_record(const RecordIndex& index, std::uint32_t first, std::uint32_t second);

// A connected record: the first whose columns 0 and 4 equal (first, second).
std::size_t find_connected_record(const RecordIndex& index, double first, double second);

// Merges one group and appends its batch; fails with the group's failure text.
void merge_connected_group(const MergeContext& context, std::uint64_t group_index);

}  // namespace rowmerge
