#include "merge/value_checks.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "merge/group_cuts.hpp"
#include "merge/row_identifier.hpp"

namespace rowmerge {
namespace {

constexpr std::size_t none = std::numeric_limits<std::size_t>::max();
// Columns of row_information: identifiers in 0 and 4, anchors in 5 to 10.
constexpr std::size_t record_columns = 11;
constexpr std::size_t first_anchor_column = 5;

[[noreturn]] void refuse(RefusalKind kind, TableName table, std::size_t row, std::size_t column, double value = 0.0) {
    throw ValueRefused(ValueRefusal{kind, table, row, column, value});
}

void check_identifier(TableName table, std::size_t row, std::size_t column, double value) {
    if (!is_identifier(value)) {
        refuse(RefusalKind::not_identifier, table, row, column, value);
    }
}

// The main row's and connected rows' records of every group that tests
// points: the records whose anchors the merge reads.
std::vector<bool> read_records(const FloatMatrix& groups, const RecordIndex& records, const GroupPlans& plans,
                               std::size_t record_count) {
    std::vector<bool> read(record_count, false);
    for (std::size_t g = 0; g < groups.rows(); ++g) {
        if (plans.cuts[g].filter_count == 0) {
            continue;
        }
        const double* row = groups.row(g);
        const RecordLookup main = records.find_main(to_row_identifier(row[1]), to_row_identifier(row[2]));
        if (main.outcome == RecordLookup::Outcome::found) {
            read[main.record] = true;
        }
        for (std::size_t k = 0; k < plans.cuts[g].filter_count; ++k) {
            const RecordLookup connected = records.find_connected(row[3 + 2 * k], row[4 + 2 * k]);
            if (connected.outcome == RecordLookup::Outcome::found) {
                read[connected.record] = true;
            }
        }
    }
    return read;
}

}  // namespace

void check_group_and_record_values(const FloatMatrix& groups, const FloatMatrix& records) {
    const std::size_t cols = groups.cols();
    std::size_t first_connected = none;
    for (std::size_t g = 0; g < groups.rows() && cols >= 3; ++g) {
        const double* row = groups.row(g);
        check_identifier(TableName::connected_crop_rows, g, 1, row[1]);
        check_identifier(TableName::connected_crop_rows, g, 2, row[2]);
        for (std::size_t k = 0; k < max_connected_rows; ++k) {
            const std::size_t first = 3 + 2 * k;
            if (first >= cols) {
                // No column left to hold the NaN that would end the list.
                refuse(RefusalKind::list_not_ended, TableName::connected_crop_rows, g, first);
            }
            if (std::isnan(row[first])) {
                break;
            }
            if (first + 1 >= cols) {
                refuse(RefusalKind::pair_incomplete, TableName::connected_crop_rows, g, first + 1);
            }
            check_identifier(TableName::connected_crop_rows, g, first, row[first]);
            check_identifier(TableName::connected_crop_rows, g, first + 1, row[first + 1]);
            first_connected = std::min(first_connected, g);
        }
    }
    for (std::size_t r = 0; r < records.rows(); ++r) {
        for (const std::size_t column : {std::size_t{0}, std::size_t{4}}) {
            if (column < records.cols()) {
                check_identifier(TableName::row_information, r, column, records.at(r, column));
            }
        }
    }
    if (first_connected != none && records.cols() != record_columns) {
        refuse(RefusalKind::anchor_count, TableName::row_information, first_connected, records.cols());
    }
}

void check_read_anchors(const FloatMatrix& groups, const FloatMatrix& row_information, const RecordIndex& records,
                        const GroupPlans& plans) {
    if (row_information.cols() != record_columns) {
        return;  // no group reads anchors, or the anchor count was refused
    }
    const std::vector<bool> read = read_records(groups, records, plans, row_information.rows());
    for (std::size_t r = 0; r < row_information.rows(); ++r) {
        if (!read[r]) {
            continue;
        }
        for (std::size_t j = first_anchor_column; j < record_columns; ++j) {
            const double value = row_information.at(r, j);
            if (!std::isfinite(value)) {
                refuse(RefusalKind::not_finite, TableName::row_information, r, j, value);
            }
        }
    }
}

OneWayLinks find_one_way_links(const FloatMatrix& groups, const GroupPlans& plans) {
    // Every link as (from, to), sorted, so that each link's reverse is found
    // by a binary search.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> links;
    for (std::size_t g = 0; g < groups.rows(); ++g) {
        const double* row = groups.row(g);
        for (std::size_t k = 0; k < plans.cuts[g].filter_count; ++k) {
            links.emplace_back(plans.cuts[g].main_key,
                               row_key(to_row_identifier(row[3 + 2 * k]), to_row_identifier(row[4 + 2 * k])));
        }
    }
    std::vector<std::pair<std::uint64_t, std::uint64_t>> sorted = links;
    std::ranges::sort(sorted);
    OneWayLinks found;
    std::size_t at = 0;
    for (std::size_t g = 0; g < groups.rows(); ++g) {
        for (std::size_t k = 0; k < plans.cuts[g].filter_count; ++k, ++at) {
            const std::pair<std::uint64_t, std::uint64_t> reverse{links[at].second, links[at].first};
            if (!std::ranges::binary_search(sorted, reverse)) {
                if (found.count++ == 0) {
                    found.first_group = g;
                }
            }
        }
    }
    return found;
}

}  // namespace rowmerge
