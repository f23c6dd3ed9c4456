// Assembling the result table from the groups' surviving rows.
#pragma once

#include <cstddef>
#include <vector>

#include "float_matrix.hpp"
#include "merged_points.hpp"

namespace rowmerge {

// Copies the surviving rows, batch after batch, into a new row-major matrix,
// on up to `workers` threads when the result is large.
FloatMatrix stack_batches(const std::vector<GroupBatch>& batches, const FloatMatrix& points,
                          std::size_t workers);

// Whether every surviving row, batch after batch, comes later in the table
// than the one before it; then compact_in_place can build the result inside
// the table of points itself. No batch may be empty.
bool in_table_order(const std::vector<GroupBatch>& batches);

// Moves the surviving rows (in table order, see in_table_order) to the front
// of `points`, in batch order, and cuts it to their number, on up to
// `workers` threads when the result is large.
void compact_in_place(const std::vector<GroupBatch>& batches, FloatMatrix& points, std::size_t workers);

}  // namespace rowmerge
