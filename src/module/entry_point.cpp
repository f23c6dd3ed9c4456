#include "entry_point.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "argument_binding.hpp"
#include "input_arrays.hpp"
#include "merge_body.hpp"
#include "panic_exception.hpp"
#include "py_ref.hpp"
#include "python_compat.hpp"

namespace native {
namespace {

// Gives the pending exception of a failed conversion the note
// "while processing '<parameter>'". A PanicException raised by Python code
// during the conversion is resumed as a native failure instead (throws).
void note_conversion_failure(std::string_view parameter) {
    PyObject* exception = take_raised_exception();
    if (exception == nullptr) {
        PyErr_SetString(PyExc_SystemError, "argument conversion failed without an exception");
        return;
    }
    if (is_panic_exception(exception)) {
        resume_panic(exception);
    }
    const std::string note_text = "while processing '" + std::string(parameter) + "'";
    PyRef note(PyUnicode_FromStringAndSize(note_text.data(), static_cast<Py_ssize_t>(note_text.size())));
    PyRef method(note ? PyUnicode_InternFromString("add_note") : nullptr);
    if (method) {
        PyObject* call_args[2] = {exception, note.get()};
        PyRef result(PyObject_VectorcallMethod(method.get(), call_args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!result) {
            PyErr_Clear();
        }
    } else {
        PyErr_Clear();
    }
    set_raised_exception(exception);
}

bool convert_tolerance(PyObject* object, double& value) {
    if (PyFloat_CheckExact(object)) {
        value = PyFloat_AS_DOUBLE(object);
        return true;
    }
    value = PyFloat_AsDouble(object);
    return !(value == -1.0 && PyErr_Occurred());
}

bool convert_num_threads(PyObject* object, std::size_t& value) {
    unsigned long long wide = 0;
    if (PyLong_Check(object)) {
        wide = PyLong_AsUnsignedLongLong(object);
    } else {
        PyRef index(PyNumber_Index(object));
        if (!index) {
            return false;
        }
        wide = PyLong_AsUnsignedLongLong(index.get());
    }
    if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return false;
    }
    if constexpr (sizeof(std::size_t) < sizeof(unsigned long long)) {
        if (wide > SIZE_MAX) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            return false;
        }
    }
    value = static_cast<std::size_t>(wide);
    return true;
}

PyObject* call(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    BoundArguments bound;
    if (!bind_arguments(args, nargsf, kwnames, bound)) {
        return nullptr;
    }
    // Declared in argument order, so they are released newest first on every
    // path, after the body has freed its copies.
    PyReadonlyArray connected_crop_rows;
    PyReadonlyArray points_in_rows;
    PyReadonlyArray row_information;
    PyReadonlyArray* tables[3] = {&connected_crop_rows, &points_in_rows, &row_information};
    for (std::size_t i = 0; i < 3; ++i) {
        if (!extract(bound[i], *tables[i])) {
            note_conversion_failure(parameter_names[i]);
            return nullptr;
        }
    }
    double tolerance = 0.0;
    if (!convert_tolerance(bound[3], tolerance)) {
        note_conversion_failure(parameter_names[3]);
        return nullptr;
    }
    std::size_t num_threads = 0;
    if (!convert_num_threads(bound[4], num_threads)) {
        note_conversion_failure(parameter_names[4]);
        return nullptr;
    }
    // The conversions above may have run Python code that changed a table.
    for (std::size_t k = 0; k < 3; ++k) {
        if (!still_accepted(*tables[k])) {
            note_conversion_failure(parameter_names[k]);
            return nullptr;
        }
    }
    return merge_points_removing_overlap(connected_crop_rows, points_in_rows, row_information, tolerance,
                                         num_threads);
}

}  // namespace

PyObject* merge_points_removing_overlap_entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargsf,
                                              PyObject* kwnames) noexcept {
    try {
        return call(args, nargsf, kwnames);
    } catch (...) {
        translate_native_failure();
        return nullptr;
    }
}

}  // namespace native
