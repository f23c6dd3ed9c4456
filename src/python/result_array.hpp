// Handing the engine's result matrix to Python as an ndarray without copying.
#pragma once

#include <Python.h>

#include "core/float_matrix.hpp"

namespace rowmerge::python {

// Returns a new float64 ndarray of shape (rows, cols) whose data is the
// matrix's own buffer. A PySliceContainer owner set as the array's base frees
// the buffer when the array and all its views are gone. Throws
// rowmerge::Failure when the owner or the array cannot be created (the buffer
// is released then).
PyObject* from_owned_array(FloatMatrix&& matrix);

}  // namespace rowmerge::python
