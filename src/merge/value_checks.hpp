// The checks of a checked merge (the one the rowmerge package calls): every
// value the merge reads must mean something. Crop-row identifiers are whole
// numbers in [0, 2**32) and the anchors of every record the merge reads are
// finite. (Points whose x or y is not finite are counted, not refused: a
// detector writes NaN for a plant it saw but could not place.) The
// fixed-interface module does not ask for any of this: it merges whatever
// the tables hold.
//
// The first offending cell is refused: connected_crop_rows first (row by
// row, columns in order, which also finds a list of connected rows that
// runs past the table's last column), then the identifiers of
// row_information, then the anchor count, then (after the groups are
// planned) the anchors the merge reads, and the points last, in the first
// pass over them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

#include "core/float_matrix.hpp"
#include "merge/group_failure.hpp"
#include "merge/group_plans.hpp"
#include "merge/record_index.hpp"
#include "merge/row_classes.hpp"
#include "merge/row_identifier.hpp"

namespace rowmerge {

enum class RefusalKind : std::uint8_t {
    not_identifier,   // not a whole number in [0, 2**32)
    not_finite,       // an anchor that is NaN or infinite
    list_not_ended,   // a group's list of connected rows runs past the last column
    pair_incomplete,  // a connected row without the column of its second identifier
    anchor_count,     // row_information without 11 columns, though a group has connected rows
};

struct ValueRefusal {
    RefusalKind kind = RefusalKind::not_identifier;
    TableName table = TableName::connected_crop_rows;
    std::size_t row = 0;     // the row of `table` (anchor_count: the first group with connected rows)
    std::size_t column = 0;  // the column of `table` (anchor_count: the column count of row_information)
    double value = 0.0;      // what the cell holds (not_identifier, not_finite)
};

// Thrown by a checked merge at the first cell it refuses.
class ValueRefused : public std::exception {
public:
    explicit ValueRefused(const ValueRefusal& refusal) noexcept : refusal_(refusal) {}
    const ValueRefusal& refusal() const noexcept { return refusal_; }
    const char* what() const noexcept override { return "a value the merge cannot use"; }

private:
    ValueRefusal refusal_;
};

// Checks connected_crop_rows and the identifiers of row_information, before
// any record is looked up. Throws ValueRefused.
void check_group_and_record_values(const FloatMatrix& connected_crop_rows, const FloatMatrix& row_information);

// Checks the anchors of every record that a group with connected rows reads,
// once the groups are planned (none failed). Throws ValueRefused.
void check_read_anchors(const FloatMatrix& connected_crop_rows, const FloatMatrix& row_information,
                        const RecordIndex& records, const GroupPlans& plans);

// Links that go one way only: a group names a connected row whose own
// group (a group with that main row) does not name the group's main row.
struct OneWayLinks {
    std::size_t count = 0;
    std::size_t first_group = 0;  // the lowest group with one (when count > 0)
};

// The one-way links of planned groups (none failed), whose identifiers
// have passed the checks above.
OneWayLinks find_one_way_links(const FloatMatrix& connected_crop_rows, const GroupPlans& plans,
                               const RowClasses& classes);

}  // namespace rowmerge
