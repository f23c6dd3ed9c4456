// NumPy's C interface, reached through the table of its "_ARRAY_API" capsule.
//
// The module never calls import_array(): the table is fetched on the first
// call that needs it (never at import), and the NumPy headers' macros read it
// through the pointer that ensure_numpy_api() sets. Include this header
// instead of the NumPy headers.
#pragma once

#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
// The oldest C-API version whose functions the module uses: the fetch checks
// the running NumPy against it, so NumPy 1.x keeps working.
#define NPY_TARGET_VERSION NPY_1_15_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL rowmerge_PyArray_API
#ifndef ROWMERGE_DEFINE_NUMPY_API_TABLE
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace rowmerge::python {

// Makes NumPy's C interface usable. The first successful call imports NumPy
// and fetches the table; later calls cost one atomic load. Throws
// rowmerge::Failure ("Failed to access NumPy array API capsule: ...") when
// NumPy cannot be reached; nothing is remembered then and the next call tries
// again.
void ensure_numpy_api();

// The float64 descriptor of the running NumPy (borrowed, lives as long as the
// process). Only valid after ensure_numpy_api().
PyArray_Descr* float64_descr() noexcept;

}  // namespace rowmerge::python
