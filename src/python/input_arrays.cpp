#include "python/input_arrays.hpp"

#include <cstddef>
#include <cstring>

#include "python/numpy_api.hpp"
#include "python/python_error.hpp"

namespace rowmerge::python {
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

[[noreturn]] void raise_refusal(PyObject* object) {
    if (object == Py_None) {
        raise(PyExc_TypeError, "'None' is not an instance of 'ndarray'");
    }
    const PyRef type_name(checked(PyType_GetQualName(Py_TYPE(object))));
    const PyRef message(checked(PyUnicode_FromFormat("'%U' object is not an instance of 'ndarray'", type_name.get())));
    PyErr_SetObject(PyExc_TypeError, message.get());
    throw PythonErrorPending();
}

}  // namespace

void check_still_accepted(const PyReadonlyArray& array) {
    if (!is_float64_table(array.get())) {
        raise_refusal(array.get());
    }
}

PyReadonlyArray extract(PyObject* object) {
    if (!is_float64_table(object)) {
        raise_refusal(object);
    }
    return PyReadonlyArray(object);
}

TableView as_view(const PyReadonlyArray& input) noexcept {
    auto* array = reinterpret_cast<PyArrayObject*>(input.get());
    const npy_intp* dims = PyArray_DIMS(array);
    const npy_intp* strides = PyArray_STRIDES(array);
    return TableView{static_cast<const char*>(PyArray_DATA(array)), static_cast<std::size_t>(dims[0]),
                     static_cast<std::size_t>(dims[1]), static_cast<std::ptrdiff_t>(strides[0]),
                     static_cast<std::ptrdiff_t>(strides[1])};
}

FloatMatrix to_owned(const PyReadonlyArray& input) {
    const TableView view = as_view(input);
    FloatMatrix copy(view.rows, view.cols);
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

}  // namespace rowmerge::python
