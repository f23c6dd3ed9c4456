// rowmerge._engine.merge: the engine's entry point for the Python layer.
#pragma once

#include <Python.h>

namespace rowmerge::engine_module {

// The function's documentation string, text signature first.
extern const char merge_doc[];

// merge(connected_crop_rows, points_in_rows, row_information, /, *,
//       tolerance, threads=0, progress=False, rows=True, index=False)
// -> (rows, index, failure, axis_parallel_groups). Null with an exception set
// for bad arguments, MemoryError, or the exception a signal handler raised
// while the merge ran. Every C++ exception is caught here; nothing is written
// to standard error but the progress line.
PyObject* merge_entry(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace rowmerge::engine_module
