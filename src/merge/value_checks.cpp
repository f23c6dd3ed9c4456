#include "merge/value_checks.hpp"

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

OneWayLinks find_one_way_links(const FloatMatrix& groups, const GroupPlans& plans, const RowClasses& classes) {
    // The link from group g's k-th connected row back to main row `key`, if
    // any group with that connected row as its main row has one: the groups
    // of a main row are its class's, so each link costs one lookup and a
    // look at a few connected rows, not a search among all links.
    const auto links_back = [&](std::uint32_t group, std::uint64_t key) {
        const double* row = groups.row(group);
        for (std::size_t k = 0; k < plans.cuts[group].filter_count; ++k) {
            if (row_key(to_row_identifier(row[3 + 2 * k]), to_row_identifier(row[4 + 2 * k])) == key) {
                return true;
            }
        }
        return false;
    };
    OneWayLinks found;
    for (std::size_t g = 0; g < groups.rows(); ++g) {
        const double* row = groups.row(g);
        const std::uint64_t main_key = plans.cuts[g].main_key;
        for (std::size_t k = 0; k < plans.cuts[g].filter_count; ++k) {
            const RowClass* partner =
                classes.find(row_key(to_row_identifier(row[3 + 2 * k]), to_row_identifier(row[4 + 2 * k])));
            bool back = false;
            if (partner != nullptr && partner->group_count == 1) {
                back = links_back(partner->group, main_key);
            } else if (partner != nullptr) {
                for (const std::uint32_t group : classes.shared_groups(*partner)) {
                    back = back || links_back(group, main_key);
                }
            }
            if (!back && found.count++ == 0) {
                found.first_group = g;
            }
        }
    }
    return found;
}

}  // namespace rowmerge
