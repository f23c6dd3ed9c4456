#include "python/result_array.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <utility>

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

// Kept for the life of the process.
ProcessOnceValue<PyTypeObject*> container_type;

PyTypeObject* slice_container_type() {
    return container_type.get([] {
        PyObject* type = PyType_FromSpec(&slice_container_spec);
        if (type == nullptr) {
            PyErr_WriteUnraisable(nullptr);
            fail_unreported("failed to create type object for `PySliceContainer`");
        }
        return reinterpret_cast<PyTypeObject*>(type);
    });
}

// Never read or written: the data address of arrays without elements, since a
// null address would make NumPy allocate storage of its own.
alignas(double) double empty_placeholder[1] = {0.0};

// The NumPy type number of the element types a result buffer holds.
template <typename T>
constexpr int numpy_type_number() noexcept;
template <>
constexpr int numpy_type_number<double>() noexcept {
    return NPY_DOUBLE;
}
template <>
constexpr int numpy_type_number<std::int64_t>() noexcept {
    return NPY_INT64;
}

// A new C-contiguous array of shape `dims` over the buffer's storage, which
// holds exactly the product of `dims` values (none: an empty buffer).
template <typename T>
PyObject* wrap_owned_buffer(MallocBuffer<T>&& buffer, std::span<npy_intp> dims) {
    const bool empty = buffer.length() == 0 || buffer.data() == nullptr;
    // Row-major byte strides; an array without elements gets zero strides.
    npy_intp strides[NPY_MAXDIMS] = {};
    auto stride = static_cast<npy_intp>(sizeof(T));
    for (std::size_t k = dims.size(); k-- > 0;) {
        strides[k] = empty ? 0 : stride;
        stride *= dims[k];
    }

    // Until the owner exists, `buffer` still frees the storage on any failure.
    PyTypeObject* type = slice_container_type();
    PyRef owner(PyType_GenericAlloc(type, 0));
    if (!owner) {
        fail_unreported("Failed to create slice container: " + take_error_description());
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
    PyArray_Descr* descr = PyArray_DescrFromType(numpy_type_number<T>());
    PyObject* array = descr == nullptr
                          ? nullptr
                          : PyArray_NewFromDescr(&PyArray_Type, descr, static_cast<int>(dims.size()), dims.data(),
                                                 strides, container->start, NPY_ARRAY_WRITEABLE, nullptr);
    if (array == nullptr) {
        owner = PyRef();  // frees the buffer
        PyErr_WriteUnraisable(nullptr);
        fail_unreported("PyObject pointer is null");
    }
    // Takes over the owner reference, also when it fails.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), owner.release()) < 0) {
        std::string description = take_error_description();
        Py_DECREF(array);
        fail_unreported("Failed to set the base of the result array: " + description);
    }
    return array;
}

}  // namespace

PyObject* from_owned_array(FloatMatrix&& matrix) {
    npy_intp dims[2] = {static_cast<npy_intp>(matrix.rows()), static_cast<npy_intp>(matrix.cols())};
    return wrap_owned_buffer(matrix.release(), dims);
}

PyObject* from_owned_array(MallocBuffer<std::int64_t>&& values) {
    npy_intp dims[1] = {static_cast<npy_intp>(values.length())};
    return wrap_owned_buffer(std::move(values), dims);
}

}  // namespace rowmerge::python
