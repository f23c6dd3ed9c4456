// This file holds the C-API table pointer that the NumPy header macros read.
#define NATIVE_DEFINE_NUMPY_API_TABLE
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#endif
#include "numpy_api.hpp"
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

#include <atomic>
#include <cstdio>
#include <string>

#include "merge/failure.hpp"
#include "process_once.hpp"
#include "py_ref.hpp"
#include "python_error.hpp"

namespace native {
namespace {

constexpr unsigned int highest_abi_version = 0x2000000;
constexpr unsigned int lowest_feature_version = 0xc;

ProcessOnce table_once;
// "numpy._core" or "numpy.core", remembered once found even if a later step
// of the fetch fails.
std::atomic<const char*> core_package{nullptr};
PyObject* array_api_capsule = nullptr;  // kept for the life of the process
PyArray_Descr* float64 = nullptr;       // kept for the life of the process

std::string hex(unsigned long value) {
    char text[32];
    std::snprintf(text, sizeof text, "%lx", value);
    return text;
}

bool raise_runtime_error(const std::string& text) {
    PyErr_SetString(PyExc_RuntimeError, text.c_str());
    return false;
}

// NumPy 2 moved its core package to numpy._core; which one to use follows
// the running NumPy's major version.
const char* find_core_package() {
    if (const char* known = core_package.load(std::memory_order_acquire)) {
        return known;
    }
    PyRef numpy(PyImport_ImportModule("numpy"));
    if (!numpy) {
        return nullptr;
    }
    PyRef version(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) {
        return nullptr;
    }
    PyRef numpy_lib(PyImport_ImportModule("numpy.lib"));
    if (!numpy_lib) {
        return nullptr;
    }
    PyRef parsed(PyObject_CallMethod(numpy_lib.get(), "NumpyVersion", "O", version.get()));
    if (!parsed) {
        return nullptr;
    }
    PyRef major_object(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major_object) {
        return nullptr;
    }
    const unsigned long major = PyLong_AsUnsignedLong(major_object.get());
    if (major == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
        return nullptr;
    }
    if (major > 0xff) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return nullptr;
    }
    const char* name = major >= 2 ? "numpy._core" : "numpy.core";
    core_package.store(name, std::memory_order_release);
    return name;
}

// Fetches and checks the table; false with a Python exception set on failure.
bool fetch_table() {
    const char* core = find_core_package();
    if (core == nullptr) {
        return false;
    }
    PyRef multiarray(PyImport_ImportModule((std::string(core) + ".multiarray").c_str()));
    if (!multiarray) {
        return false;
    }
    PyRef capsule(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) {
        return false;
    }
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_TypeError, "'_ARRAY_API' is not a capsule");
        return false;
    }
    const char* capsule_name = PyCapsule_GetName(capsule.get());
    if (capsule_name == nullptr && PyErr_Occurred()) {
        return false;
    }
    void* table = PyCapsule_GetPointer(capsule.get(), capsule_name);
    if (table == nullptr) {
        return false;
    }

    // The header macros read the table through this pointer. Other threads
    // only use it after table_once reports success.
    PyArray_API = static_cast<void**>(table);
    const unsigned int abi_version = PyArray_GetNDArrayCVersion();
    const unsigned int feature_version = PyArray_GetNDArrayCFeatureVersion();
    bool valid = true;
    if (abi_version > highest_abi_version) {
        valid = raise_runtime_error("module compiled against ABI version 0x2000000 but this version of numpy is 0x" +
                                    hex(abi_version));
    } else if (feature_version < lowest_feature_version) {
        valid = raise_runtime_error(
            "module was compiled against NumPy C-API version 0xc (NumPy 1.15) but the running NumPy has C-API "
            "version 0x" +
            hex(feature_version));
    } else if (PyArray_GetEndianness() != NPY_CPU_LITTLE) {
        valid = raise_runtime_error("module compiled as little endian, but detected different endianness at runtime");
    }
    PyArray_Descr* descr = valid ? PyArray_DescrFromType(NPY_DOUBLE) : nullptr;
    if (descr == nullptr) {
        PyArray_API = nullptr;
        return false;
    }
    PyArray_RUNTIME_VERSION = static_cast<int>(feature_version);
    float64 = descr;
    array_api_capsule = capsule.release();
    return true;
}

}  // namespace

void ensure_numpy_api() {
    if (table_once.done()) {
        return;
    }
    table_once.run([] {
        if (!fetch_table()) {
            rowmerge::fail("Failed to access NumPy array API capsule: " + take_error_description());
        }
        return true;
    });
}

PyArray_Descr* float64_descr() noexcept { return float64; }

}  // namespace native
