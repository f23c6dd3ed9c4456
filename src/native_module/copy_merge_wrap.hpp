// The body of merge_points_removing_overlap once its arguments are converted:
// copy the small tables, merge under the right interpreter scope, wrap the
// result as an ndarray.
#pragma once

#include <Python.h>

#include "native_module/argument_binding.hpp"

namespace rowmerge::native_module {

// Copies connected_crop_rows and row_information (in argument order), runs
// the merge, reading points_in_rows in place, and returns the surviving rows
// as a new ndarray. The copies are freed before returning, newest first; the
// caller still holds the arrays. Throws rowmerge::Failure (the engine's
// failures unreported), std::bad_alloc or PythonErrorPending.
PyObject* merge_points_removing_overlap(const MergeArguments& arguments);

}  // namespace rowmerge::native_module
