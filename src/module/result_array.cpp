#include "result_array.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "merge/failure.hpp"
#include "numpy_api.hpp"
#include "process_once.hpp"
#include "py_ref.hpp"
#include "python_error.hpp"

namespace native {
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

// Releases a MallocBuffer's storage; a buffer without capacity owns nothing.
void free_malloc_buffer(void* start, std::size_t /*length*/, std::size_t capacity) {
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

ProcessOnce container_type_once;
std::atomic<PyTypeObject*> container_type{nullptr};

PyTypeObject* slice_container_type() {
    if (PyTypeObject* type = container_type.load(std::memory_order_acquire)) {
        return type;
    }
    container_type_once.run([] {
        PyObject* type = PyType_FromSpec(&slice_container_spec);
        if (type == nullptr) {
            PyErr_WriteUnraisable(nullptr);
            rowmerge::fail("failed to create type object for `PySliceContainer`");
        }
        // Kept for the life of the process.
        container_type.store(reinterpret_cast<PyTypeObject*>(type), std::memory_order_release);
        return true;
    });
    return container_type.load(std::memory_order_acquire);
}

// Never read or written: the data address of arrays without elements, since a
// null address would make NumPy allocate storage of its own.
alignas(double) double empty_placeholder[1] = {0.0};

// A new array of `type_number` over a malloc'ed buffer, which a
// PySliceContainer set as the array's base takes over and frees. `strides`
// are used when the buffer holds values; an empty array gets zero strides.
template <typename T>
PyObject* wrap_owned_buffer(rowmerge::MallocBuffer<T>&& buffer, std::size_t values, int type_number, int ndim,
                            npy_intp* dims, npy_intp* strides) {
    const bool empty = values == 0 || buffer.data() == nullptr;
    if (empty) {
        for (int k = 0; k < ndim; ++k) {
            strides[k] = 0;
        }
    }

    // Until the owner exists, `buffer` still frees the storage on any failure.
    PyTypeObject* type = slice_container_type();
    PyRef owner(PyType_GenericAlloc(type, 0));
    if (!owner) {
        rowmerge::fail("Failed to create slice container: " + take_error_description());
    }
    auto* container = reinterpret_cast<PySliceContainer*>(owner.get());
    container->free_routine = free_malloc_buffer;
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
    PyArray_Descr* descr = PyArray_DescrFromType(type_number);
    PyObject* array = descr == nullptr ? nullptr
                                       : PyArray_NewFromDescr(&PyArray_Type, descr, ndim, dims, strides,
                                                              container->start, NPY_ARRAY_WRITEABLE, nullptr);
    if (array == nullptr) {
        owner = PyRef();  // frees the buffer
        PyErr_WriteUnraisable(nullptr);
        rowmerge::fail("PyObject pointer is null");
    }
    // Takes over the owner reference, also when it fails.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), owner.release()) < 0) {
        std::string description = take_error_description();
        Py_DECREF(array);
        rowmerge::fail("Failed to set the base of the result array: " + description);
    }
    return array;
}

}  // namespace

PyObject* from_owned_array(rowmerge::FloatMatrix&& matrix) {
    const std::size_t rows = matrix.rows();
    const std::size_t cols = matrix.cols();
    const std::size_t values = matrix.size();
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    npy_intp strides[2] = {static_cast<npy_intp>(cols * sizeof(double)), static_cast<npy_intp>(sizeof(double))};
    return wrap_owned_buffer(matrix.release(), values, NPY_DOUBLE, 2, dims, strides);
}

PyObject* from_owned_indices(rowmerge::MallocBuffer<std::int64_t>&& indices, std::size_t count) {
    npy_intp dims[1] = {static_cast<npy_intp>(count)};
    npy_intp strides[1] = {static_cast<npy_intp>(sizeof(std::int64_t))};
    return wrap_owned_buffer(std::move(indices), count, NPY_INT64, 1, dims, strides);
}

}  // namespace native
