// Handing the engine's results to Python as ndarrays without copying.
#pragma once

#include <Python.h>

#include <cstdint>

#include "core/float_matrix.hpp"
#include "core/malloc_buffer.hpp"

namespace rowmerge::python {

// Each returns a new ndarray whose data is the given buffer itself. A
// PySliceContainer owner set as the array's base frees the buffer when the
// array and all its views are gone. Throws rowmerge::Failure when the owner
// or the array cannot be created (the buffer is released then).

// A float64 array of shape (rows, cols), row-major: the result's rows.
PyObject* from_owned_array(FloatMatrix&& matrix);

// An int64 array of shape (length,): row numbers, group indices.
PyObject* from_owned_array(MallocBuffer<std::int64_t>&& values);

}  // namespace rowmerge::python
