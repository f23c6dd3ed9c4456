#include "input_arrays.hpp"

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

rowmerge::TableView as_view(const PyReadonlyArray& input) noexcept {
    auto* array = reinterpret_cast<PyArrayObject*>(input.get());
    const npy_intp* dims = PyArray_DIMS(array);
    const npy_intp* strides = PyArray_STRIDES(array);
    return rowmerge::TableView{static_cast<const char*>(PyArray_DATA(array)), static_cast<std::size_t>(dims[0]),
                               static_cast<std::size_t>(dims[1]), static_cast<std::ptrdiff_t>(strides[0]),
                               static_cast<std::ptrdiff_t>(strides[1])};
}

rowmerge::FloatMatrix to_owned(const PyReadonlyArray& input) {
    const rowmerge::TableView view = as_view(input);
    rowmerge::FloatMatrix copy(view.rows, view.cols);
    if (copy.size() == 0) {
        return copy;
    }
    if (view.row_major_contiguous()) {
        std::memcpy(copy.data(), view.data, copy.size() * sizeof(double));
        return copy;
    }
    // Any other layout (Fortran order, transposed, stepped, reversed, broadcast,
    // or byte strides that are no multiple of 8): each element from its own
    // byte offset.
    double* out = copy.data();
    for (std::size_t i = 0; i < view.rows; ++i) {
        for (std::size_t j = 0; j < view.cols; ++j) {
            *out++ = view.at(i, j);
        }
    }
    return copy;
}

}  // namespace native
