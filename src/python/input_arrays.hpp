// The table arguments: acceptance as two-dimensional float64 ndarrays, the
// view through which the engine reads one in place, and the copy into an
// owned row-major FloatMatrix.
#pragma once

#include <Python.h>

#include "core/float_matrix.hpp"
#include "core/table_view.hpp"
#include "python/py_ref.hpp"

namespace rowmerge::python {

// An accepted table argument: a strong reference to a two-dimensional float64
// ndarray, held for the whole call. Nothing ever writes through it.
class PyReadonlyArray {
public:
    PyReadonlyArray() noexcept = default;

    PyObject* get() const noexcept { return array_.get(); }

private:
    friend PyReadonlyArray extract(PyObject* object);
    explicit PyReadonlyArray(PyObject* array) noexcept : array_(Py_NewRef(array)) {}

    PyRef array_;
};

// Accepts `object` when it is an ndarray (or subclass instance) with two
// dimensions and a dtype equivalent to native float64. On refusal raises
// TypeError "'<type>' object is not an instance of 'ndarray'"
// (PythonErrorPending). The first call fetches NumPy's C interface (may throw
// rowmerge::Failure).
PyReadonlyArray extract(PyObject* object);

// Checks that the accepted array is still a two-dimensional float64 table.
// Python code run while later arguments are converted (a __float__ or
// __index__) may reshape it, change its dtype or resize it in place; the copy
// reads the array as it is then, so such a change is checked first. On
// refusal raises the acceptance TypeError (PythonErrorPending).
void check_still_accepted(const PyReadonlyArray& array);

// The array's data address, extents and byte strides, as they are now.
TableView as_view(const PyReadonlyArray& array) noexcept;

// Copies the array into a new row-major matrix, element [i, j] at
// i * cols + j whatever the array's layout. Throws std::bad_alloc when the
// copy cannot be allocated; nothing is read then.
FloatMatrix to_owned(const PyReadonlyArray& array);

}  // namespace rowmerge::python
