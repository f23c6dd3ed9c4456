#include "python/result_array.hpp"

#include <cstddef>
#include <cstdlib>
#include <string>

#include "core/failure.hpp"
#include "python/numpy_api.hpp"
#include "python/process_once.hpp"
#include "python/py_ref.hpp"
#include "python/python_error.hpp"

namespace rowmerge::python {
namespace {

using FreeRoutine = void (*)(void* start, std::size_t length, std::size_t capacity);

// The owner of a result buffer; Python code only meets it as an array's base.
struct PySliceContainer {
    PyObject_HEAD
    FreeRoutine free_routine;
    void* start;
    std::size_t length;
    std::size_t capacity;
};

// Releases a FloatBuffer's storage; a buffer without capacity owns nothing.
void free_float_buffer(void* start, std::size_t /*length*/, std::size_t capacity) {
    if (capacity != 0) {
        std::free(start);
    }
}

void slice_container_dealloc(PyObject* self) {
    auto* container = reinterpret_cast<PySliceContainer*>(self);
    if (container->free_routine != nullptr) {
        container->free_routine(container->start, container->length, container->capacity);
    }
    PyTypeObject* type = Py_TYPE(self);
    PyBaseObject_Type.tp_dealloc(self);
    // Instances of heap types hold a reference to their type.
    Py_DECREF(type);
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {0, nullptr},
};

// The dotted form gives the class __name__ "PySliceContainer"; without a
// module part CPython warns whenever __module__ is looked up.
PyType_Spec slice_container_spec = {
    "builtins.PySliceContainer",
    static_cast<int>(sizeof(PySliceContainer)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    slice_container_slots,
};

// Kept for the life of the process.
ProcessOnceValue<PyTypeObject*> container_type;

PyTypeObject* slice_container_type() {
    return container_type.get([] {
        PyObject* type = PyType_FromSpec(&slice_container_spec);
        if (type == nullptr) {
            PyErr_WriteUnraisable(nullptr);
            fail("failed to create type object for `PySliceContainer`");
        }
        return reinterpret_cast<PyTypeObject*>(type);
    });
}

// Never read or written: the data address of arrays without elements, since a
// null address would make NumPy allocate storage of its own.
alignas(double) double empty_placeholder[1] = {0.0};

}  // namespace

PyObject* from_owned_array(FloatMatrix&& matrix) {
    const std::size_t rows = matrix.rows();
    const std::size_t cols = matrix.cols();
    const bool empty = matrix.size() == 0 || matrix.data() == nullptr;
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    npy_intp strides[2] = {0, 0};
    if (!empty) {
        strides[0] = static_cast<npy_intp>(cols * sizeof(double));
        strides[1] = static_cast<npy_intp>(sizeof(double));
    }

    // Until the owner exists, `matrix` still frees the buffer on any failure.
    PyTypeObject* type = slice_container_type();
    PyRef owner(PyType_GenericAlloc(type, 0));
    if (!owner) {
        fail("Failed to create slice container: " + take_error_description());
    }
    auto* container = reinterpret_cast<PySliceContainer*>(owner.get());
    container->free_routine = free_float_buffer;
    FloatBuffer buffer = matrix.release();
    if (empty) {
        container->start = empty_placeholder;
        container->length = 0;
        container->capacity = 0;
    } else {
        container->length = buffer.length();
        container->capacity = buffer.capacity();
        container->start = buffer.release();
    }

    // NumPy takes over the descriptor reference.
    PyArray_Descr* descr = PyArray_DescrFromType(NPY_DOUBLE);
    PyObject* array = descr == nullptr ? nullptr
                                       : PyArray_NewFromDescr(&PyArray_Type, descr, 2, dims, strides, container->start,
                                                              NPY_ARRAY_WRITEABLE, nullptr);
    if (array == nullptr) {
        owner = PyRef();  // frees the buffer
        PyErr_WriteUnraisable(nullptr);
        fail("PyObject pointer is null");
    }
    // Takes over the owner reference, also when it fails.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), owner.release()) < 0) {
        std::string description = take_error_description();
        Py_DECREF(array);
        fail("Failed to set the base of the result array: " + description);
    }
    return array;
}

}  // namespace rowmerge::python
