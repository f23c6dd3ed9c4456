// The native entry point behind _native.merge_points_removing_overlap.
#pragma once

#include <Python.h>

namespace native {

// Fast call with keywords: binds and converts the five arguments, runs the
// merge and returns the result array; null with an exception set on failure.
// Every C++ exception is caught here and turned into a Python exception.
PyObject* merge_points_removing_overlap_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                              PyObject* kwnames) noexcept;

}  // namespace native
