// This file holds the C-API table pointer that the NumPy header macros read.
#define ROWMERGE_DEFINE_NUMPY_API_TABLE
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#endif
#include "python/numpy_api.hpp"
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

#include <atomic>
#include <cstdio>
#include <limits>
#include <string>

#include "core/failure.hpp"
#include "python/process_once.hpp"
#include "python/py_ref.hpp"
#include "python/python_error.hpp"

namespace rowmerge::python {
namespace {

constexpr unsigned int highest_abi_version = 0x2000000;
constexpr unsigned int lowest_feature_version = 0xc;

// "numpy._core" or "numpy.core", remembered once found even if a later step
// of the fetch fails.
std::atomic<const char*> core_package{nullptr};
// The float64 descriptor; made once the table has been fetched and checked.
ProcessOnceValue<PyArray_Descr*> float64;
PyObject* array_api_capsule = nullptr;  // kept for the life of the process

std::string hex(unsigned long value) {
    char text[32];
    std::snprintf(text, sizeof text, "%lx", value);
    return text;
}

// NumPy 2 moved its core package to numpy._core; which one to use follows
// the running NumPy's major version.
const char* find_core_package() {
    if (const char* known = core_package.load(std::memory_order_acquire)) {
        return known;
    }
    const PyRef numpy(checked(PyImport_ImportModule("numpy")));
    const PyRef version(checked(PyObject_GetAttrString(numpy.get(), "__version__")));
    const PyRef numpy_lib(checked(PyImport_ImportModule("numpy.lib")));
    const PyRef parsed(checked(PyObject_CallMethod(numpy_lib.get(), "NumpyVersion", "O", version.get())));
    const PyRef major_object(checked(PyObject_GetAttrString(parsed.get(), "major")));
    const unsigned long major = PyLong_AsUnsignedLong(major_object.get());
    if (major == std::numeric_limits<unsigned long>::max() && PyErr_Occurred()) {
        throw PythonErrorPending();
    }
    if (major > 0xff) {
        raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    const char* name = major >= 2 ? "numpy._core" : "numpy.core";
    core_package.store(name, std::memory_order_release);
    return name;
}

// Raises RuntimeError when the running NumPy does not offer the C interface
// this module was built for; returns its C-API (feature) version. The table
// must be in place.
unsigned int check_running_numpy() {
    const unsigned int abi_version = PyArray_GetNDArrayCVersion();
    const unsigned int feature_version = PyArray_GetNDArrayCFeatureVersion();
    if (abi_version > highest_abi_version) {
        raise(PyExc_RuntimeError,
              ("module compiled against ABI version 0x2000000 but this version of numpy is 0x" + hex(abi_version))
                  .c_str());
    }
    if (feature_version < lowest_feature_version) {
        raise(PyExc_RuntimeError,
              ("module was compiled against NumPy C-API version 0xc (NumPy 1.15) but the running NumPy has C-API "
               "version 0x" +
               hex(feature_version))
                  .c_str());
    }
    if (PyArray_GetEndianness() != NPY_CPU_LITTLE) {
        raise(PyExc_RuntimeError, "module compiled as little endian, but detected different endianness at runtime");
    }
    return feature_version;
}

// Fetches and checks the table; returns the float64 descriptor. Throws
// PythonErrorPending, leaving no table behind.
PyArray_Descr* fetch_table() {
    const char* core = find_core_package();
    PyRef multiarray(checked(PyImport_ImportModule((std::string(core) + ".multiarray").c_str())));
    PyRef capsule(checked(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API")));
    if (!PyCapsule_CheckExact(capsule.get())) {
        raise(PyExc_TypeError, "'_ARRAY_API' is not a capsule");
    }
    const char* capsule_name = PyCapsule_GetName(capsule.get());
    if (capsule_name == nullptr && PyErr_Occurred()) {
        throw PythonErrorPending();
    }
    void* table = checked(PyCapsule_GetPointer(capsule.get(), capsule_name));

    // The header macros read the table through this pointer. Other threads
    // only use it once `float64` has been made.
    PyArray_API = static_cast<void**>(table);
    try {
        const unsigned int feature_version = check_running_numpy();
        PyArray_Descr* descr = checked(PyArray_DescrFromType(NPY_DOUBLE));
        PyArray_RUNTIME_VERSION = static_cast<int>(feature_version);
        array_api_capsule = capsule.release();
        return descr;
    } catch (...) {
        PyArray_API = nullptr;
        throw;
    }
}

}  // namespace

void ensure_numpy_api() {
    float64.get([] {
        try {
            return fetch_table();
        } catch (const PythonErrorPending&) {
            fail_unreported("Failed to access NumPy array API capsule: " + take_error_description());
        }
    });
}

PyArray_Descr* float64_descr() noexcept { return float64.get_if_made(); }

}  // namespace rowmerge::python
