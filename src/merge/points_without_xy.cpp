#include "merge/points_without_xy.hpp"

#include <source_location>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "merge/row_identifier.hpp"

namespace rowmerge {
namespace {

LocatedFailure points_column_missing(std::size_t column, std::source_location where = std::source_location::current()) {
    GroupFailure failure;
    failure.kind = FailureKind::column_missing;
    failure.table = TableName::points_in_rows;
    failure.column = column;
    return LocatedFailure{failure, where};
}

}  // namespace

OutcomeWithoutXy merge_points_without_xy(const FloatMatrix& groups, const TableView& view, const RecordIndex& records,
                                         double tolerance, const GroupPlans& plans, bool whole_rows, bool table_rows) {
    OutcomeWithoutXy outcome;
    // Unlike the merge of tables with x and y, which reads the caller's table
    // in place, this one works on a copy: its two readings of the table (the
    // rows of each crop row, then the rows copied) then see the same values
    // whatever another thread writes meanwhile. Such tables are small, and
    // a table too large to copy fails for want of memory before anything
    // else happens.
    FloatMatrix copy(view.rows, view.cols);
    for (std::size_t i = 0; i < copy.rows() && copy.cols() > 0; ++i) {
        for (std::size_t j = 0; j < copy.cols(); ++j) {
            copy.row(i)[j] = view.at(i, j);
        }
    }
    const TableView points = TableView::of(copy);
    // The rows of each crop row, in table order: by both identifiers, or by
    // the first alone when there is no second column.
    std::unordered_map<std::uint64_t, std::vector<std::size_t>> rows_of;
    std::unordered_set<std::uint32_t> firsts;
    for (std::size_t i = 0; i < points.rows && points.cols > 0; ++i) {
        const std::uint32_t first = to_row_identifier(points.at(i, 0));
        if (points.cols == 1) {
            firsts.insert(first);
        } else {
            rows_of[row_key(first, to_row_identifier(points.at(i, 1)))].push_back(i);
        }
    }
    static const std::vector<std::size_t> none;
    auto main_rows = [&](const GroupCuts& cuts) -> const std::vector<std::size_t>& {
        const auto found = rows_of.find(cuts.main_key);
        return found == rows_of.end() ? none : found->second;
    };

    // A group reads its points before its records, and tests them from its
    // first junction on; its own checks come in that order.
    for (std::size_t g = 0; g < groups.rows(); ++g) {
        const GroupCuts& cuts = plans.cuts[g];
        std::optional<LocatedFailure> failure;
        // A failure of the points found here is complete; any other is the
        // group's own, which planning it once more describes.
        bool described = false;
        if (groups.cols() >= 3) {
            if (points.cols == 0) {
                failure = points_column_missing(0);
            } else if (points.cols == 1 && firsts.contains(static_cast<std::uint32_t>(cuts.main_key >> 32))) {
                failure = points_column_missing(1);
            } else if (cuts.filter_count > 0 && !main_rows(cuts).empty()) {
                failure = points_column_missing(2);
            }
            described = failure.has_value();
        }
        if (!failure && (groups.cols() < 3 || cuts.failed)) {
            failure.emplace();  // the group's own failure, detailed below
        }
        if (failure) {
            if (!described) {
                PointFilter scratch[max_connected_rows];
                plan_group_cuts(groups, g, records, tolerance, scratch, &*failure);
            }
            outcome.failed_group = g;
            outcome.failure = failure;
            return outcome;
        }
    }

    // No group tests points: those without connected rows keep all of theirs.
    std::size_t total = 0;
    for (const GroupCuts& cuts : plans.cuts) {
        total += cuts.filter_count == 0 ? main_rows(cuts).size() : 0;
    }
    MergedPoints& merged = outcome.merged;
    merged.count = total;
    if (whole_rows) {
        merged.rows = FloatMatrix(total, points.cols);
    }
    if (table_rows) {
        merged.table_rows = MallocBuffer<std::int64_t>(total);
    }
    std::size_t at = 0;
    for (const GroupCuts& cuts : plans.cuts) {
        if (cuts.filter_count != 0) {
            continue;
        }
        for (const std::size_t i : main_rows(cuts)) {
            if (whole_rows) {
                for (std::size_t j = 0; j < points.cols; ++j) {
                    merged.rows.row(at)[j] = points.at(i, j);
                }
            }
            if (table_rows) {
                merged.table_rows[at] = static_cast<std::int64_t>(i);
            }
            ++at;
        }
    }
    return outcome;
}

}  // namespace rowmerge
