// Handing the engine's result matrix to Python as an ndarray without copying.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "merge/float_matrix.hpp"

namespace native {

// Returns a new float64 ndarray of shape (rows, cols) whose data is the
// matrix's own buffer. A PySliceContainer owner set as the array's base frees
// the buffer when the array and all its views are gone. Throws
// rowmerge::Failure when the owner or the array cannot be created (the buffer
// is released then).
PyObject* from_owned_array(rowmerge::FloatMatrix&& matrix);

// Returns a new one-dimensional int64 ndarray of the first `count` values of
// `indices` (which holds exactly that many), handed over in the same way.
PyObject* from_owned_indices(rowmerge::MallocBuffer<std::int64_t>&& indices, std::size_t count);

}  // namespace native
