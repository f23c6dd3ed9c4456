#include "group_merge.hpp"

#include <cmath>

#include "failure.hpp"
#include "row_identifier.hpp"

namespace rowmerge {

void collect_row_points(const PointIndex& index, std::uint32_t first, std::uint32_t second,
                        PointRows& rows) {
    index.collect(first, second, rows);
}

std::size_t find_main_record(const RecordIndex& index, std::uint32_t first, std::uint32_t second) {
    return index.find_main(first, second);
}

std::size_t find_connected_record(const RecordIndex& index, double first, double second) {
    return index.find_connected(first, second);
}

void merge_connected_group(const MergeContext& context, std::uint64_t group_index) {
    const FloatMatrix& groups = context.connected_crop_rows;
    if (group_index >= groups.rows) {
        fail(messages::index_beyond_dim);
    }
    const std::size_t group = static_cast<std::size_t>(group_index);
    if (groups.cols < 3) {
        fail(messages::index_out_of_bounds);
    }
    const double* group_row = groups.row(group);
    const std::uint32_t main_first = to_row_identifier(group_row[1]);
    const std::uint32_t main_second = to_row_identifier(group_row[2]);

    GroupBatch batch{group, {}};
    collect_row_points(context.point_index, main_first, main_second, batch.point_rows);

    const std::size_t main_record = find_main_record(context.record_index, main_first, main_second);
    const std::span<const double> main_tail = context.record_index.tail(main_record);

    for (std::size_t k = 0; k < max_connected_rows; ++k) {
        const std::size_t column = 3 + 2 * k;
        if (groups.cols <= column) {
            fail(messages::index_out_of_bounds);
        }
        const double connected_first = group_row[column];
        if (std::isnan(connected_first)) {
            break;
        }
        if (groups.cols <= column + 1) {
            fail(messages::index_out_of_bounds);
        }
        const double connected_second = group_row[column + 1];
        const std::size_t connected_record =
            find_connected_record(context.record_index, connected_first, connected_second);
        trim_against_connected_row(batch.point_rows, context.points_in_rows, main_tail,
                                   context.record_index.tail(connected_record), context.tolerance);
    }

    context.merged_points.append(std::move(batch), [&] {
        // The progress step belongs inside the lock: a group counts as done
        // only once its rows are in the list.
        context.progress.inc(1);
    });
}

}  // namespace rowmerge
