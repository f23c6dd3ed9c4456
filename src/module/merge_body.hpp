// The body of merge_points_removing_overlap once its arguments are converted.
#pragma once

#include <Python.h>

#include <cstddef>

#include "input_arrays.hpp"

namespace native {

// Copies the three tables (in argument order), runs the merge detached from
// the interpreter, and returns the result as a new ndarray. The copies are
// freed before returning, newest first; the caller still holds the arrays.
// Throws rowmerge::Failure or std::bad_alloc.
PyObject* merge_points_removing_overlap(const PyReadonlyArray& connected_crop_rows,
                                        const PyReadonlyArray& points_in_rows,
                                        const PyReadonlyArray& row_information, double tolerance,
                                        std::size_t num_threads);

}  // namespace native
