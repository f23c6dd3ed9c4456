#include "input_arrays.hpp"

#include "merge/parallel_copy.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "numpy_api.hpp"
#include "py_ref.hpp"

namespace native {
namespace {

bool is_float64_table(PyObject* object) {
    ensure_numpy_api();
    if (!PyArray_Check(object)) {
        return false;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != 2) {
        return false;
    }
    PyArray_Descr* descr = PyArray_DESCR(array);
    PyArray_Descr* float64 = float64_descr();
    return descr == float64 || PyArray_EquivTypes(descr, float64);
}

void raise_refusal(PyObject* object) {
    if (object == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'ndarray'");
        return;
    }
    PyRef type_name(PyType_GetQualName(Py_TYPE(object)));
    if (!type_name) {
        return;
    }
    PyRef message(PyUnicode_FromFormat("'%U' object is not an instance of 'ndarray'", type_name.get()));
    if (message) {
        PyErr_SetObject(PyExc_TypeError, message.get());
    }
}

}  // namespace

bool still_accepted(const PyReadonlyArray& array) {
    if (is_float64_table(array.get())) {
        return true;
    }
    raise_refusal(array.get());
    return false;
}

bool extract(PyObject* object, PyReadonlyArray& out) {
    if (!is_float64_table(object)) {
        raise_refusal(object);
        return false;
    }
    Py_INCREF(object);
    Py_XDECREF(out.array_);
    out.array_ = object;
    return true;
}

rowmerge::FloatMatrix to_owned(const PyReadonlyArray& input) {
    auto* array = reinterpret_cast<PyArrayObject*>(input.get());
    const npy_intp* dims = PyArray_DIMS(array);
    const npy_intp* strides = PyArray_STRIDES(array);
    const auto rows = static_cast<std::size_t>(dims[0]);
    const auto cols = static_cast<std::size_t>(dims[1]);

    rowmerge::FloatMatrix copy(rows, cols);
    if (copy.size() == 0) {
        return copy;
    }
    const auto* base = static_cast<const char*>(PyArray_DATA(array));
    const std::ptrdiff_t row_stride = strides[0];
    const std::ptrdiff_t col_stride = strides[1];
    constexpr auto item = static_cast<std::ptrdiff_t>(sizeof(double));
    double* out = copy.data();

    // Strides of extents of 1 are never used, so they do not matter here.
    const bool c_contiguous = (cols == 1 || col_stride == item) &&
                              (rows == 1 || row_stride == item * static_cast<std::ptrdiff_t>(cols));
    if (c_contiguous) {
        rowmerge::copy_values(out, base, copy.size());
        return copy;
    }
    // Any other layout (Fortran order, transposed, stepped, reversed, broadcast,
    // or byte strides that are no multiple of 8): each element from its own
    // byte offset. memcpy keeps unaligned reads well defined.
    for (std::size_t i = 0; i < rows; ++i) {
        const char* row = base + static_cast<std::ptrdiff_t>(i) * row_stride;
        for (std::size_t j = 0; j < cols; ++j) {
            std::memcpy(out++, row + static_cast<std::ptrdiff_t>(j) * col_stride, sizeof(double));
        }
    }
    return copy;
}

}  // namespace native
