// Why a group cannot be merged: the fixed text the caller of the module sees,
// and what a friendlier caller needs to name the cause (which table lacks
// which column, whose record is missing).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/failure.hpp"

namespace rowmerge {

enum class FailureKind : std::uint8_t {
    column_missing,  // a table lacks a column that the merge reads
    record_missing,  // no record in row_information for a crop row
    anchor_count,    // a record does not hold exactly six anchor values
};

enum class TableName : std::uint8_t { connected_crop_rows, points_in_rows, row_information };

// The fixed text of each kind of failure.
constexpr std::string_view failure_text(FailureKind kind) noexcept {
    switch (kind) {
        case FailureKind::column_missing:
            return messages::index_out_of_bounds;
        case FailureKind::record_missing:
            return messages::missing_value;
        case FailureKind::anchor_count:
            return messages::incompatible_shapes;
    }
    return messages::index_out_of_bounds;
}

struct GroupFailure {
    FailureKind kind = FailureKind::column_missing;
    // column_missing: the table and the column that was read.
    // record_missing / anchor_count: row_information, and the crop row below.
    TableName table = TableName::connected_crop_rows;
    std::size_t column = 0;
    // The crop row concerned, when there is one: its two identifiers as the
    // merge compared them (converted for a main row, as given for a
    // connected row), and which of the group's rows it is.
    bool names_crop_row = false;
    bool main_row = false;
    std::size_t connected_index = 0;  // 0..3 for a connected row
    double crop_row[2] = {0.0, 0.0};
};

}  // namespace rowmerge
