// The single entry of the merging engine.
#pragma once

#include <cstddef>

#include "float_matrix.hpp"

namespace rowmerge {

// Merges every group of `connected_crop_rows` on up to `num_threads` workers
// (0: the default count) and returns the surviving rows of points_in_rows, one
// group's rows together and in table order, groups in ascending order. Throws
// Failure with the text of the failing group of lowest index, or
// std::bad_alloc when memory runs out.
FloatMatrix multithreaded_merging(const FloatMatrix& connected_crop_rows,
                                  const FloatMatrix& points_in_rows,
                                  const FloatMatrix& row_information, double tolerance,
                                  std::size_t num_threads);

// The same merge, consuming the table of points: when the surviving rows stand
// in table order (the usual case: groups and their points listed in the same
// order), they are moved to its front and the table itself becomes the result,
// which saves allocating, and copying into, a second table of nearly the same
// size. Otherwise the result is a new table and `points_in_rows` is left as it
// was. On failure `points_in_rows` is unchanged.
FloatMatrix multithreaded_merging(const FloatMatrix& connected_crop_rows, FloatMatrix&& points_in_rows,
                                  const FloatMatrix& row_information, double tolerance,
                                  std::size_t num_threads);

}  // namespace rowmerge
