// The single entry of the merging engine.
#pragma once

#include <cstddef>

#include "float_matrix.hpp"

namespace rowmerge {

// Merges every group of `connected_crop_rows` on up to `num_threads` workers
// (0: the default count) and returns the surviving rows of points_in_rows, one
// group's rows together and in table order, groups in the order they finished
// (ascending with one worker). Throws Failure with the text of the failing
// group of lowest index, or std::bad_alloc when memory runs out.
FloatMatrix multithreaded_merging(const FloatMatrix& connected_crop_rows,
                                  const FloatMatrix& points_in_rows,
                                  const FloatMatrix& row_information, double tolerance,
                                  std::size_t num_threads);

}  // namespace rowmerge
