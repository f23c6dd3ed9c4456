// The native entry point behind _native.merge_points_removing_overlap.
#pragma once

#include <Python.h>

namespace rowmerge::native_module {

// Fast call with keywords: binds and converts the five arguments, runs the
// merge and returns the result array; null with an exception set on failure.
// The catch point of every call: each C++ exception is turned into a Python
// exception here.
PyObject* merge_points_removing_overlap_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                              PyObject* kwnames) noexcept;

}  // namespace rowmerge::native_module
