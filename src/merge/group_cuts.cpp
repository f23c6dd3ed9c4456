#include "merge/group_cuts.hpp"

#include <cmath>
#include <optional>

#include "merge/row_identifier.hpp"

namespace rowmerge {
namespace {

// Records a failure (when asked for its detail) and gives the failed cuts.
class FailureSink {
public:
    FailureSink(GroupCuts& cuts, LocatedFailure* detail) noexcept : cuts_(cuts), detail_(detail) {}

    GroupCuts& column_missing(TableName table, std::size_t column,
                              std::source_location where = std::source_location::current()) noexcept {
        GroupFailure failure;
        failure.kind = FailureKind::column_missing;
        failure.table = table;
        failure.column = column;
        return store(failure, where);
    }

    GroupCuts& lookup_failed(const RecordLookup& lookup, bool main_row, std::size_t connected_index, double first,
                             double second, std::source_location where = std::source_location::current()) noexcept {
        GroupFailure failure;
        if (lookup.outcome == RecordLookup::Outcome::too_narrow) {
            failure.kind = FailureKind::column_missing;
            failure.column = lookup.missing_column;
        } else {
            failure.kind = FailureKind::record_missing;
        }
        failure.table = TableName::row_information;
        name_row(failure, main_row, connected_index, first, second);
        return store(failure, where);
    }

    GroupCuts& anchors_wrong(bool main_row, std::size_t connected_index, double first, double second,
                             std::source_location where = std::source_location::current()) noexcept {
        GroupFailure failure;
        failure.kind = FailureKind::anchor_count;
        failure.table = TableName::row_information;
        name_row(failure, main_row, connected_index, first, second);
        return store(failure, where);
    }

private:
    static void name_row(GroupFailure& failure, bool main_row, std::size_t connected_index, double first,
                         double second) noexcept {
        failure.names_crop_row = true;
        failure.main_row = main_row;
        failure.connected_index = connected_index;
        failure.crop_row[0] = first;
        failure.crop_row[1] = second;
    }

    GroupCuts& store(const GroupFailure& failure, std::source_location where) noexcept {
        cuts_.failed = true;
        if (detail_ != nullptr) {
            *detail_ = LocatedFailure{failure, where};
        }
        return cuts_;
    }

    GroupCuts& cuts_;
    LocatedFailure* detail_;
};

}  // namespace

GroupCuts plan_group_cuts(const FloatMatrix& groups, std::size_t group, const RecordIndex& records, double tolerance,
                          PointFilter* filters, LocatedFailure* detail) noexcept {
    GroupCuts cuts{0, nullptr, 0, false, false};
    FailureSink fail(cuts, detail);
    const std::size_t cols = groups.cols();
    if (cols < 3) {
        return fail.column_missing(TableName::connected_crop_rows, cols < 2 ? 1 : 2);
    }
    const double* row = groups.row(group);
    const std::uint32_t main_first = to_row_identifier(row[1]);
    const std::uint32_t main_second = to_row_identifier(row[2]);
    cuts.main_key = row_key(main_first, main_second);

    const RecordLookup main = records.find_main(main_first, main_second);
    if (main.outcome != RecordLookup::Outcome::found) {
        return fail.lookup_failed(main, true, 0, main_first, main_second);
    }
    // Built once, but its failure is reported where the first junction needs it.
    const std::optional<AnchorSet> main_anchors = make_anchor_set(records.tail(main.record));

    for (std::size_t k = 0; k < max_connected_rows; ++k) {
        const std::size_t column = 3 + 2 * k;
        if (cols <= column) {
            return fail.column_missing(TableName::connected_crop_rows, column);
        }
        const double first = row[column];
        if (std::isnan(first)) {
            break;
        }
        if (cols <= column + 1) {
            return fail.column_missing(TableName::connected_crop_rows, column + 1);
        }
        const double second = row[column + 1];
        const RecordLookup connected = records.find_connected(first, second);
        if (connected.outcome != RecordLookup::Outcome::found) {
            return fail.lookup_failed(connected, false, k, first, second);
        }
        // The main anchors are checked first, so their failure comes first.
        if (!main_anchors) {
            return fail.anchors_wrong(true, k, main_first, main_second);
        }
        const std::optional<AnchorSet> partner_anchors = make_anchor_set(records.tail(connected.record));
        if (!partner_anchors) {
            return fail.anchors_wrong(false, k, first, second);
        }
        const CutGeometry cut = locate_cut(*main_anchors, *partner_anchors);
        cuts.axis_parallel = cuts.axis_parallel || is_axis_parallel(cut, tolerance);
        filters[cuts.filter_count++] = PointFilter(cut, tolerance);
    }
    return cuts;
}

}  // namespace rowmerge
